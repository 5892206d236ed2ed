// A randomized fault campaign against the emulated flush interface: flush daemons started
// and killed at random, writers and readers all the while, and faults drawn from a matrix
// done to the state folder and undone a moment later, while a table of invariants is
// checked all through. Run by bench/fault-campaign, as root, in a private mount and PID
// namespace. Ends with status 0 when no invariant was broken.
#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "daemon/update_loop.h"
#include "emulated/emulated_interface.h"
#include "tests/no_inotify.h"

namespace {
const std::string ROOT = "/run/c", PARENT = ROOT + "/p", STATE = PARENT + "/corvane", OTHER = ROOT + "/other";
int flush_pipe[2];
// What comes through the pipe: a flush ('s' by a daemon, 'u' by an update process) or a
// flush request ('r'), by whom and when.
struct Note {
  int mark;
  pid_t pid;
  long at;
};
// Everything drawn, and apart from it the storms' kinds and lengths, which the clock then
// does not shift: a seed throws the same storms however the processes run.
std::mt19937_64 rng, schedule;
long now_ms() {
  timespec t = {};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}
long pick(long low, long high, std::mt19937_64& from = rng) {
  return std::uniform_int_distribution<long>(low, high)(from);
}
bool chance(double p) { return std::bernoulli_distribution(p)(rng); }
int sh(const std::string& command) { return std::system(("{ " + command + "; } 2>/dev/null").c_str()); }
bool exchange(const std::string& a, const std::string& b) {
  return renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0;
}
bool gone(const std::string& path) {
  struct stat s;
  return lstat(path.c_str(), &s) != 0 && errno == ENOENT;
}
// The faults come from a matrix: its rows are what the interface keeps and its
// processes, its columns what a root neighbour can do to each, within the promise or
// outside it; a cell is done and undone a moment later. A cell that hides the state, or
// may put back an older file, taints the parameters: until a write made with no such
// fault under way, or after an undoing that failed until a calm, any value is accepted.
enum Kind { A_FOLDER = 1, A_FILE = 2, INSIDE = 4, PROCESS = 8, SYSTEM = 16 };
struct Row {
  const char* name;
  const char* label;  // in the matrix's head
  Kind kind;
  std::string path;    // a file's; for INSIDE, what is put into the writers' lock
  mode_t mode = 0;     // a file's, when nothing is wrong
  bool state = false;  // the folder, its parent or the parameters: hiding it taints
};
const Row ROWS[] = {
    {"state folder", "folder", A_FOLDER, STATE, 0755, true},
    {"its parent", "parent", A_FOLDER, PARENT, 0755, true},
    {"parameters", "params", A_FILE, STATE + "/parameters", 0644, true},
    {"parameters.lock", "p.lock", A_FOLDER, STATE + "/parameters.lock", 0700},
    {"daemon.lock", "d.lock", A_FILE, STATE + "/daemon.lock", 0600},
    {"inside parameters.lock", "in.lock", INSIDE, STATE + "/parameters.lock/new"},
    {"flush daemon", "daemon", PROCESS, ""},
    {"update process", "update", PROCESS, ""},
    {"writer", "writer", PROCESS, ""},
    {"starting process", "starter", PROCESS, ""},
    {"file system", "system", SYSTEM, ""},
    {"flush record", "record", A_FILE, STATE + "/flushed", 0600},
};
enum {
  PARAMETERS_ROW = 2,
  WRITER_LOCK_ROW,
  DAEMON_LOCK_ROW,
  DAEMON_ROW = 6,
  UPDATE_ROW,
  WRITER_ROW,
  STARTER_ROW,
  RECORD_ROW = 11
};
struct Active {
  std::size_t row, column;
  long undo_at;
  pid_t pid = 0;
  rlimit limit = {};
  int fd = -1;
};
enum Promise { WITHIN, OUTSIDE };
struct Column {
  const char* name;
  int kinds;
  bool hides;  // a file's state no longer seen, where the row is state
  Promise promise;
  std::function<bool(const Row&, Active&)> apply;
  std::function<bool(const Row&, Active&)> undo = [](const Row&, Active&) { return true; };  // false: it failed
  long longest = 400;  // undone after 10 ms up to this long
};
// What the state file is when nothing is wrong: the folders folders, the others files.
bool right_type(const Row& r, mode_t* mode = nullptr) {
  struct stat s;
  if (mode != nullptr) *mode = lstat(r.path.c_str(), &s) == 0 ? s.st_mode & 07777 : r.mode;
  return lstat(r.path.c_str(), &s) == 0 && (r.kind == A_FOLDER ? S_ISDIR(s.st_mode) : S_ISREG(s.st_mode));
}
bool loose_modes = false;  // since a mode was changed or a file planted or mounted over, until put right
// Makes something else and puts it in the file's place in one step, the file set aside.
// Where another cell has set it aside already, nothing is done: that may be the state.
bool plant(const Row& r, const std::function<int(const char*)>& make) {
  const std::string aside = r.path + ".aside";
  if (r.kind == INSIDE) return make(r.path.c_str()) == 0;
  if (!gone(aside) || make(aside.c_str()) != 0) return false;
  if (!exchange(aside, r.path)) return sh("rm -rf " + aside), false;
  return loose_modes = true;
}
// Puts the file back where the plant still stands or nothing does; one made right stays.
bool unplant(const Row& r, Active&) {
  const std::string aside = r.path + ".aside";
  if (r.kind == INSIDE) return true;
  if (right_type(r) || rename(aside.c_str(), r.path.c_str()) != 0) {
    if (!right_type(r) && !exchange(aside, r.path)) sh("rm -rf " + r.path);
    sh("rm -rf " + aside);
  }
  return gone(aside) && (right_type(r) || gone(r.path));
}
// Every mount below the campaign's own file system, wherever the folder is now, and those
// stacked on them.
bool unmount_all() {
  const std::string mounts = "awk '$5 ~ \"^" + ROOT + "/\" {print $5}' /proc/self/mountinfo";
  return sh("for i in 1 2 3 4; do " + mounts + " | xargs -r umount -l; done; [ -z \"$(" + mounts + ")\" ]") == 0;
}
// Thousands of names, no link followed: files, empty folders, and folders that hold one,
// which no holder of the writers' lock clears.
bool fill(const std::string& folder) {
  const int at = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int i = 0;
  for (bool made = at >= 0; made && i < 6000; ++i) {
    const std::string name = "fill." + std::to_string(i);
    const int fd = i % 3 == 0 ? openat(at, name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600) : -1;
    made = i % 3 == 0
               ? fd >= 0 && close(fd) == 0
               : mkdirat(at, name.c_str(), 0700) == 0 && (i % 3 == 1 || mkdirat(at, (name + "/x").c_str(), 0700) == 0);
  }
  if (at >= 0) close(at);
  return i > 1;
}
bool remount(const std::string& options) {
  return mount(nullptr, ROOT.c_str(), nullptr, MS_REMOUNT, options.c_str()) == 0;
}
long ageing_written = 0;  // when a write of an ageing time last began or ended
bool of_ageing(int index) { return index == 5 || index == 6; }
struct Write {
  int index, value;
  long started, ended = -1, paused = 0;  // paused: stopped, in all
  bool starts = false;                   // a starting process's: once it answers 0, the service starts
  bool excused = false;  // under way when a calm put right a fault outside the promise: it may land, failed
};
std::map<pid_t, Write> writes;  // under way
pid_t start_write(int index, int value, bool confined = false, bool starts = false, int descriptors = 0);
struct Daemon {
  long started;
  int fds = -1;  // descriptors and anonymous memory once it first held the lock
  long anonymous_kb = -1, first_flush = -1, last_flush = -1, cpu_at = -1;  // cpu_at: ms used, at a long period
};
std::map<pid_t, Daemon> daemons;
std::map<pid_t, long> updates;  // update processes, and when each started
std::map<pid_t, long> stopped;  // stopped or frozen, since when
void start_daemon();
void start_update();
pid_t holder();
template <typename Processes>
pid_t any_of(const Processes& all) {
  return all.empty() ? 0 : std::next(all.begin(), pick(0, static_cast<long>(all.size()) - 1))->first;
}
// A process of the row: a daemon or an update process that lives, or a writer or a starting
// process started for the fault, done to it within its first millisecond, while at work.
pid_t a_process(const Row& r, int descriptors = 0) {
  if (&r == &ROWS[DAEMON_ROW]) return any_of(daemons);
  if (&r == &ROWS[UPDATE_ROW]) return any_of(updates);
  const bool starts = &r == &ROWS[STARTER_ROW];
  const pid_t pid =
      start_write(starts ? 6 : 0, static_cast<int>(starts ? pick(1, 3) : pick(0, 100)), false, starts, descriptors);
  usleep(static_cast<useconds_t>(pick(0, 1000)));
  return pid;
}
// Stops or freezes a process of the row that is not stopped already, until it goes on.
bool halt(const Row& r, Active& a, const std::function<bool(pid_t)>& act) {
  a.pid = a_process(r);
  return a.pid > 0 && !stopped.contains(a.pid) && act(a.pid) && stopped.emplace(a.pid, now_ms()).second;
}
std::map<pid_t, long> went_on;  // when each halted process last went on
void go_on(Active& a) {
  went_on[a.pid] = now_ms();
  if (auto w = writes.find(a.pid); w != writes.end()) w->second.paused += now_ms() - stopped[a.pid];
  stopped.erase(a.pid);
}
// Frozen in a cgroup of the campaign's own for the row, where cgroup v2 allows one.
std::string cgroups;
bool freeze(const Row& r, pid_t pid, bool on) {
  const std::string group = cgroups + "/" + std::to_string(&r - ROWS), id = std::to_string(pid);
  mkdir(group.c_str(), 0755);
  if (on)
    return put_text((group + "/cgroup.procs").c_str(), id.c_str()) && put_text((group + "/cgroup.freeze").c_str(), "1");
  return put_text((group + "/cgroup.freeze").c_str(), "0") &&
         (put_text((cgroups + "/../cgroup.procs").c_str(), id.c_str()) || kill(pid, 0) != 0);
}
constexpr int FILES = A_FOLDER | A_FILE;
// clang-format off
const std::vector<Column> COLUMNS = {
    {"remove", FILES, true, WITHIN, [](const Row& r, Active&) { return sh("rm -rf " + r.path) == 0; }},
    {"replace by a file", FILES | INSIDE, true, WITHIN, [](const Row& r, Active&) {
       // A copy of a regular file alone: cp would wait on a fifo for ever. Where there is no
       // file to copy, the plant holds the defaults, which is what no file stands for.
       const bool copy = r.kind == A_FILE && right_type(r);
       return plant(r, [&](const char* p) {
         // A copy keeps its times, and a file made in place of the record dates from long ago:
         // a record put forward is a rewrite by hand, outside the promise.
         if (copy) return sh("cp -pT " + r.path + " " + p);
         if (&r != &ROWS[PARAMETERS_ROW]) return sh(std::string("install -T -m 0600 /dev/null ") + p + " && touch -m -d @0 " + p);
         ParameterValues values;
         std::array<char, PARAMETERS_LIMIT> text;
         set_defaults(values);
         return sh("umask 022; printf %s '" + std::string(text.data(), format_parameters(values, text)) + "' >" + p); }); }, unplant},
    {"replace by a folder", FILES | INSIDE, true, WITHIN, [](const Row& r, Active&) {
       return plant(r, [&](const char* p) { return sh(std::string("mkdir -m ") + (r.kind == A_FOLDER ? "0755 " : "0700 ") + p + " && mkdir " + p + "/x"); }); }, unplant},
    {"replace by a fifo", FILES | INSIDE, true, WITHIN, [](const Row& r, Active&) { return plant(r, [](const char* p) { return mkfifo(p, 0600); }); }, unplant},
    {"replace by a link", FILES | INSIDE, true, WITHIN, [](const Row& r, Active&) {
       // To a new folder each time, so that no state seen through it is seen again.
       static long links = 0;
       const std::string to = OTHER + "/link." + std::to_string(++links);
       return mkdir(to.c_str(), 0755) == 0 && plant(r, [&](const char* p) { return symlink((r.kind == A_FOLDER ? to : to + "/x").c_str(), p); }); }, unplant},
    {"open to all", FILES, false, WITHIN, [](const Row& r, Active&) { return chmod(r.path.c_str(), r.kind == A_FOLDER ? 0777 : 0666) == 0 && (loose_modes = true); }, [](const Row& r, Active&) { return chmod(r.path.c_str(), r.mode) == 0; }},
    {"close to all", FILES, false, WITHIN, [](const Row& r, Active&) { return chmod(r.path.c_str(), 0) == 0 && (loose_modes = true); }, [](const Row& r, Active&) { return chmod(r.path.c_str(), r.mode) == 0; }},
    {"give to nobody", FILES, false, WITHIN, [](const Row& r, Active&) { return lchown(r.path.c_str(), 65534, 65534) == 0; }, [](const Row& r, Active&) { return lchown(r.path.c_str(), 0, 0) == 0; }},
    {"stop", PROCESS, false, WITHIN, [](const Row& r, Active& a) { return halt(r, a, [](pid_t pid) { return kill(pid, SIGSTOP) == 0; }); },
     [](const Row&, Active& a) { go_on(a); return kill(a.pid, SIGCONT) == 0 || errno == ESRCH; }, 5000},
    {"freeze its cgroup", PROCESS, false, WITHIN, [](const Row& r, Active& a) { return halt(r, a, [&](pid_t pid) { return freeze(r, pid, true); }); },
     [](const Row& r, Active& a) { go_on(a); return freeze(r, a.pid, false); }, 5000},
    {"kill", PROCESS, false, WITHIN, [](const Row& r, Active& a) { return (a.pid = a_process(r)) > 0 && kill(a.pid, SIGKILL) == 0; }},
    {"lower its descriptor limit", PROCESS, false, WITHIN, [](const Row& r, Active& a) {
       // A writer or a start is made under it. Only the soft limit: raising a hard one again
       // takes a capability that root may lack.
       const auto few = static_cast<rlim_t>(pick(3, 8));
       if (&r >= &ROWS[WRITER_ROW]) return a_process(r, static_cast<int>(few)) != 0;
       if ((a.pid = a_process(r)) <= 0 || prlimit(a.pid, RLIMIT_NOFILE, nullptr, &a.limit) != 0) return false;
       const rlimit lowered = {few, a.limit.rlim_max};
       return prlimit(a.pid, RLIMIT_NOFILE, &lowered, nullptr) == 0; },
     [](const Row&, Active& a) { return a.pid == 0 || prlimit(a.pid, RLIMIT_NOFILE, &a.limit, nullptr) == 0 || errno == ESRCH; }, 6000},
    {"a signal it does not ignore", PROCESS, false, WITHIN, [](const Row& r, Active& a) {
       const int signals[] = {SIGHUP, SIGUSR1, SIGWINCH, SIGCONT};
       return (a.pid = a_process(r)) > 0 && kill(a.pid, signals[pick(0, 3)]) == 0; }},
    {"start again and again", PROCESS, false, WITHIN, [](const Row& r, Active&) {
       for (long i = 0, n = &r == &ROWS[WRITER_ROW] ? 16 : 4; i < n; ++i)
         if (&r == &ROWS[DAEMON_ROW]) start_daemon(); else if (&r == &ROWS[UPDATE_ROW]) start_update(); else a_process(r);
       return true; }},
    {"blocks full", SYSTEM, false, WITHIN, [](const Row&, Active&) {
       struct statvfs fs;
       const int fd = open((ROOT + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
       const bool full = statvfs(ROOT.c_str(), &fs) == 0 && fallocate(fd, 0, 0, static_cast<off_t>(fs.f_bavail * fs.f_bsize)) == 0;
       return close(fd) == 0 && full; }, [](const Row&, Active&) { return unlink((ROOT + "/filler").c_str()) == 0 || errno == ENOENT; }},
    {"inodes full", SYSTEM, false, WITHIN, [](const Row&, Active&) {
       struct statvfs fs;
       return statvfs(ROOT.c_str(), &fs) == 0 && remount("nr_inodes=" + std::to_string(fs.f_files - fs.f_ffree)); }, [](const Row&, Active&) { return remount("nr_inodes=100000"); }},
    {"read-only", SYSTEM, false, WITHIN, [](const Row&, Active&) { return mount(nullptr, ROOT.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0; }, [](const Row&, Active&) { return remount(""); }},
    {"move away and back", FILES, true, OUTSIDE, [](const Row& r, Active&) { return rename(r.path.c_str(), (r.path + ".away").c_str()) == 0; },
     [](const Row& r, Active&) { return rename((r.path + ".away").c_str(), r.path.c_str()) == 0 || (sh("rm -rf " + r.path + ".away"), false); }},
    {"swap with a stray", FILES, true, OUTSIDE, [](const Row& r, Active&) {
       // With what an earlier swap kept; else moved away, to swap back over the one made since.
       return gone(r.path + ".stray") ? rename(r.path.c_str(), (r.path + ".stray").c_str()) == 0 : exchange(r.path + ".stray", r.path); },
     [](const Row& r, Active&) { return gone(r.path) ? rename((r.path + ".stray").c_str(), r.path.c_str()) == 0 : exchange(r.path + ".stray", r.path); }},
    {"mount over", FILES, true, OUTSIDE, [](const Row& r, Active&) {
       loose_modes = true;
       return r.kind == A_FOLDER ? mount("tmpfs", r.path.c_str(), "tmpfs", 0, "mode=0755") == 0
                               : right_type(r) && sh("cp " + r.path + " " + OTHER + "/" + r.label) == 0 && mount((OTHER + "/" + r.label).c_str(), r.path.c_str(), nullptr, MS_BIND, nullptr) == 0; },
     [](const Row&, Active&) { return unmount_all(); }},
    {"fill with 6000 names", A_FOLDER, false, OUTSIDE, [](const Row& r, Active&) { return fill(r.path); }, [](const Row& r, Active&) { return sh("rm -rf " + r.path + "/fill.*") == 0; }},
    {"flock it as a stranger", FILES, false, OUTSIDE, [](const Row& r, Active& a) {
       // The campaign's own process, once the daemon holding it is killed or the writer done.
       a.fd = open(r.path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
       for (const long until = now_ms() + 100; a.fd >= 0 && now_ms() < until; usleep(1000)) {
         if (flock(a.fd, LOCK_EX | LOCK_NB) == 0) return true;
         if (const pid_t pid = holder(); pid != 0 && &r == &ROWS[DAEMON_LOCK_ROW]) kill(pid, SIGKILL);
       }
       if (a.fd >= 0) close(a.fd);
       return false; }, [](const Row&, Active& a) { return close(a.fd) == 0; }, 6000},
    {"take a writer's name first", INSIDE, false, OUTSIDE, [](const Row&, Active& a) {
       // A folder that the holder may not clear, named as the new file of a writer just started.
       const std::string lock = ROWS[WRITER_LOCK_ROW].path;
       struct stat s;
       if (lstat(lock.c_str(), &s) != 0 || !S_ISDIR(s.st_mode) || (a.pid = a_process(ROWS[WRITER_ROW])) <= 0) return false;
       const std::string name = lock + "/new-" + std::to_string(s.st_ino) + "-" + std::to_string(a.pid);
       return mkdir(name.c_str(), 0700) == 0 && mkdir((name + "/x").c_str(), 0700) == 0; },
     [](const Row&, Active& a) { return sh("rm -rf " + ROWS[WRITER_LOCK_ROW].path + "/new-*-" + std::to_string(a.pid)) == 0; }},
    {"chattr +i", FILES, false, OUTSIDE, [](const Row& r, Active&) { return sh("chattr +i -- " + r.path) == 0; }, [](const Row& r, Active&) { return sh("chattr -i -- " + r.path) == 0; }},
    {"chattr +a", FILES, false, OUTSIDE, [](const Row& r, Active&) { return sh("chattr +a -- " + r.path) == 0; }, [](const Row& r, Active&) { return sh("chattr -a -- " + r.path) == 0; }},
    {"put forward every 100 ms", A_FILE, false, OUTSIDE, [](const Row& r, Active& a) {
       // As root would by hand, to the present again and again, for up to four periods.
       if ((a.pid = fork()) == 0)
         for (const timespec now[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};; usleep(100000)) utimensat(AT_FDCWD, r.path.c_str(), now, AT_SYMLINK_NOFOLLOW);
       return a.pid > 0; },
     [](const Row&, Active& a) { return kill(a.pid, SIGKILL) == 0 || errno == ESRCH; }, 12000},
};
enum Invariant { ENDS_TO_A_HOLDER, FLUSHING_NEVER_PAUSES, PAUSES_BOUNDED, NONE_TOO_SOON, ONE_HOLDER_ONCE_RIGHT,
                 TWO_FLUSHING, WRITES_HOLD, FAILED_WRITES_CHANGE_NOTHING, CALLS_END_IN_TIME, LISTINGS_WHOLE,
                 MODES_EXACT, NOTHING_LEFT, PERIOD_COUNTS, QUIET_BETWEEN_FLUSHES, UPDATE_ASKS, CALM_WRITES_SUCCEED,
                 INVARIANT_COUNT };
const char* const INVARIANTS[] = {
    "a daemon ends only with EBUSY, to a holder of the lock", "flushing never pauses longer than the period and a second",
    "whatever is done, flushing never pauses longer than twice the period and a second",
    "no two flushes less than the period apart, unless a period was changed meanwhile",
    "once put right, one daemon holds the lock and flushes on the period",
    "two flush daemons never both flush for longer than a look, 5 s, and a second",
    "a write that succeeds holds until a later one", "a write that answers an error never shows up in a listing",
    "no call takes longer than its bound and a second: a write 5 s, a listing none", "every listing is whole",
    "what the interface makes has its mode, whatever the writer's umask and capabilities",
    "no new file left, daemons' descriptors and memory as at start", "a period written counts within 5 s and a second",
    "a daemon on a period of an hour uses under 20 ms of processor time each 5 s",
    "an update process asks for a flush every second, its delay", "once put right, every write answers 0"};
// clang-format on
// A column applies to its kinds of row; a stranger's flock to the locks; a freeze where
// cgroup v2 gives the campaign a cgroup of its own.
bool applies(std::size_t row, std::size_t column) {
  const char* name = COLUMNS[column].name;
  if (std::strcmp(name, "flock it as a stranger") == 0)
    return row == WRITER_LOCK_ROW || row == DAEMON_LOCK_ROW || row == RECORD_ROW;
  if (std::strcmp(name, "put forward every 100 ms") == 0) return row == RECORD_ROW;
  return (COLUMNS[column].kinds & ROWS[row].kind) != 0 &&
         (std::strcmp(name, "freeze its cgroup") != 0 || !cgroups.empty());
}
// Through a whole storm, now and then: the writers' lock removed, or, outside the promise,
// moved away and back too, again and again, with the new file in it, as rm -r or mv would.
pid_t remover = 0;
long storms[2] = {};  // removing, and moving too
void remove_the_lock_again_and_again(bool moving) {
  if ((remover = fork()) != 0) return;
  const std::string lock = ROWS[WRITER_LOCK_ROW].path, away = lock + ".away";
  std::error_code error;
  for (long i = 0;; ++i, usleep(100)) {
    // Moved back where a lock made meanwhile allows it, removed where it does not.
    const bool moved = moving && i % 2 == 0 && rename(lock.c_str(), away.c_str()) == 0;
    if (!moved || rename(away.c_str(), lock.c_str()) != 0) std::filesystem::remove_all(moved ? away : lock, error);
  }
}
long violations[INVARIANT_COUNT] = {};  // of each invariant
std::vector<Active> active;             // the cells under way, and the last one undone, for a violation to name
std::string last_undone;
// From a cell outside the promise until a calm has put things right, only what holds even
// then is counted: calls' bounds, the update process, two daemons, and once put right.
bool outside = false;
long excused = 0;
void violated(Invariant which, const std::string& what) {
  const Invariant kept[] = {CALLS_END_IN_TIME,     UPDATE_ASKS,         TWO_FLUSHING,
                            ONE_HOLDER_ONCE_RIGHT, CALM_WRITES_SUCCEED, PAUSES_BOUNDED};
  const bool counted = !outside || std::find(std::begin(kept), std::end(kept), which) != std::end(kept);
  excused += counted ? 0 : 1;
  if (!counted || ++violations[which] > 5) return;
  std::string cells;
  for (const Active& a : active) cells += std::string(", ") + COLUMNS[a.column].name + " " + ROWS[a.row].name;
  std::printf("  at %ld ms: %s: %s (under way: %s; last undone: %s)\n", now_ms() % 10000000, INVARIANTS[which],
              what.c_str(), cells.empty() ? "none" : cells.c_str() + 2, last_undone.c_str());
}
std::vector<Write> ended_writes;  // that succeeded or were killed, for the writes beside them
std::set<int> accepted[9];        // what a listing may show of each parameter, beside writes under way
std::set<int> refused[9];         // what writes that answered an error would have set
long taint_ended = 0;             // when the last tainting fault was undone; while one is active, 0
int tainting_active = 0;          // with those whose undoing failed, until things are put right
long failed_undoings = 0;
bool broken = false;  // since an undoing failed, until things are put right
// Whether pid holds a descriptor on the file that the lock's path names now; how many it holds.
bool holds_lock(pid_t pid, int* fds = nullptr) {
  struct stat lock, s;
  const bool named = lstat(ROWS[DAEMON_LOCK_ROW].path.c_str(), &lock) == 0;
  bool holds = false;
  int count = 0;
  std::error_code error;
  for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    ++count;
    holds = holds || (named && stat(e.path().c_str(), &s) == 0 && s.st_dev == lock.st_dev && s.st_ino == lock.st_ino);
  }
  if (fds != nullptr) *fds = count;
  return holds;
}
pid_t holder() {
  const auto one = std::find_if(daemons.begin(), daemons.end(), [](const auto& d) { return holds_lock(d.first); });
  return one == daemons.end() ? 0 : one->first;
}
std::string proc_line(pid_t pid, const char* file, const std::string& prefix) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  std::string line;
  while (std::getline(in, line) && line.rfind(prefix, 0) != 0) {
  }
  return line;
}
long anonymous_kb(pid_t pid) {
  const std::string line = proc_line(pid, "status", "RssAnon:");
  return line.empty() ? -1 : std::atol(line.c_str() + 8);
}
long cpu_ms(pid_t pid) {
  const std::string stat = proc_line(pid, "stat", "");
  const char* after = std::strrchr(stat.c_str(), ')');
  long user = 0, system = 0;
  if (after == nullptr ||
      std::sscanf(after, ") %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &user, &system) != 2)
    return -1;
  return (user + system) * 1000 / sysconf(_SC_CLK_TCK);
}
pid_t start(const std::function<int()>& child) {
  const pid_t pid = fork();
  if (pid == 0) {
    // Nothing of the campaign's but the flush counter, as the background processes start.
    dup2(flush_pipe[1], 3);
    flush_pipe[1] = 3;
    close_range(4, ~0U, 0);
    close_range(0, 2, 0);
    setsid();
    _exit(child());
  }
  return pid;
}
// Root without any capability, as under the boot unit, and under a umask that lets nothing.
long confined_daemons = 0, confined_writers = 0;
bool confine() {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  std::array<__user_cap_data_struct, 2> none = {};
  umask(0777);
  return syscall(SYS_capset, &header, none.data()) == 0;
}
// Half the daemons start where no inotify instance can be had: in a user namespace of
// their own, root mapped to root, that allows none. Half are confined.
void start_daemon() {
  const bool without_inotify = chance(0.5), confined = chance(0.5);
  daemons[start([=] {
    if ((without_inotify && !withhold_inotify()) || (confined && !confine())) return 99;
    return 100 - static_cast<int>(emulated_flush_call(STATE.c_str(), 0, 0));
  })] = {now_ms()};
  confined_daemons += confined ? 1 : 0;
}
// An update process as the service starts it, asking for a flush every second.
char flush_mark = 's';
void start_update() {
  updates[start([] {
    flush_mark = 'u';
    static char title[] = "update (corvane)";
    static char* argv[] = {title, nullptr};
    run_update_loop(Settings{1, 1}, argv, 1);
    return 0;
  })] = now_ms();
}
// A writer; a starting process's write, once it answers 0, starts the two processes too.
pid_t start_write(int index, int value, bool confined, bool starts, int descriptors) {
  const pid_t pid = start([=] {
    const rlimit few = {static_cast<rlim_t>(descriptors), RLIM_INFINITY};
    if ((confined && !confine()) || (descriptors > 0 && setrlimit(RLIMIT_NOFILE, &few) != 0)) return 99;
    const long result = emulated_flush_call(STATE.c_str(), 2 * index + 3, value);
    return result == 0 ? 0 : 100 - static_cast<int>(result);
  });
  writes[pid] = {index, value, now_ms(), -1, 0, starts};
  if (of_ageing(index)) ageing_written = now_ms();
  confined_writers += confined ? 1 : 0;
  return pid;
}
// A write that succeeded is what its parameter holds from now on, but for the writes that
// ran beside it, which may have replaced the file after it; one killed may have landed.
long writes_ended[3] = {};  // succeeded, failed, killed
long calm_began = -1;       // while things are put right, from when writes answer 0
void write_ended(Write w, bool succeeded, bool killed, int code) {
  w.ended = now_ms();
  if (of_ageing(w.index)) ageing_written = w.ended;
  if (!succeeded && !killed && calm_began >= 0 && w.started > calm_began)
    violated(CALM_WRITES_SUCCEED,
             "a write of parameter " + std::to_string(w.index) + " ended with " + std::to_string(code));
  ++writes_ended[succeeded ? 0 : killed ? 2 : 1];
  std::erase_if(ended_writes, [&](const Write& e) { return e.ended < w.ended - 60000; });
  if (!succeeded && !killed && !w.excused) refused[w.index].insert(w.value);
  if (!succeeded && !killed && !w.excused) return;
  std::set<int>& ok = accepted[w.index];
  if (succeeded && tainting_active == 0 && taint_ended < w.started) {
    ok = {w.value};
    for (const Write& e : ended_writes)
      if (e.index == w.index && e.ended >= w.started) ok.insert(e.value);
  }
  ok.insert(w.value);
  ended_writes.push_back(w);
}
void taint() {
  for (std::size_t i = 0; i < 9; ++i) accepted[i].insert(EMULATED_PARAMETERS[i].default_value);
}
// Whatever the undoing left, put right: no mount, the file system writable with room, the
// folder in place, root's and closed, the state files regular, nothing aside or planted.
void repair() {
  loose_modes = false;
  unmount_all();
  remount("nr_inodes=100000");
  const std::string p = PARENT, f = STATE;
  sh("find " + ROOT + " -xdev \\( -type f -o -type d \\) -exec chattr -i -a {} +; rm -f " + ROOT + "/filler");
  sh("for x in .away .aside .stray; do [ -e " + p + "$x ] || continue; [ -d " + p + " ] && [ ! -L " + p +
     " ] || rm -rf " + p + "; mv -T " + p + "$x " + p + "; rm -rf " + p + "$x; done; [ -d " + p + " ] && [ ! -L " + p +
     " ] || { rm -rf " + p + "; mkdir " + p + "; }; chown 0:0 " + p + "; chmod 0755 " + p + "; rm -rf " + p +
     "/fill.*");
  sh("mv -T " + f + ".away " + f + "; mv -T " + f + ".stray " + f + "; rm -rf " + f + ".away " + f + ".stray " + f +
     ".aside " + f + "/*.aside " + f + "/*.away " + f + "/*.stray " + f + "/fill.*; if [ -L " + f + " ] || { [ -e " +
     f + " ] && [ ! -d " + f + " ]; }; then rm -rf " + f + "; fi; chown 0:0 " + f + "; chmod 0755 " + f + "; cd " + f +
     " && for f in daemon.lock parameters flushed; do [ ! -e $f ] || [ -f $f ] && [ ! -L $f ] || rm -rf $f; done; "
     "[ ! -e parameters.lock ] || [ -d parameters.lock ] && [ ! -L parameters.lock ] || rm parameters.lock; chown "
     "0:0 daemon.lock parameters parameters.lock flushed; chmod 0600 daemon.lock flushed; chmod 0644 parameters; "
     "chmod 0700 parameters.lock; rm -rf parameters.lock/fill.* parameters.lock/new-*/");
}
// The run's clocks, in milliseconds of the monotonic clock, and what it has seen.
struct Run {
  std::vector<std::pair<std::size_t, std::size_t>> cells;  // that can apply
  std::vector<std::vector<long>> injected;                 // how often each cell was done
  long end = 0, storm_until = 0, check_at = -1;            // check_at: while a calm is under way
  long last_fault_change = 0;  // done or undone on what a daemon uses: the folder, its lock, itself, the file system
  bool finishing = false, done = false;
  ParameterValues values = {};                 // as last listed
  std::vector<std::pair<long, long>> periods;  // when, and the period that the file said then
  long period = 0;  // in force: the longest that the file said since the flush before the last
  long flushes = 0, last_flush = 0, flush_before_last = 0, gap_from = 0, worst_gap = 0, worst_gap_period = 0;
  long flushed_at = 0;  // when the last flush was made, as the process that made it told
  Note last_note = {};
  std::vector<long> calm_flushes;
  int pauses_told = 0;  // of the present gap, the bounds it was told past: 1 the period's, 2 twice it
  long last_request = 0, update_gap_from = 0, empty_since = -1, updates_empty_since = -1;
  // A period of an hour written: when, when to lower it, the lowering and when it answered 0.
  long long_period_at = -1, lower_at = -1, lowered_at = -1, lowerings = 0;
  pid_t lowering = 0;
  bool lowered = false;
};
bool in_calm(const Run& run) { return run.check_at >= 0; }
bool near_daemons(std::size_t r) {
  return r < 2 || r == DAEMON_LOCK_ROW || r == DAEMON_ROW || r == RECORD_ROW || ROWS[r].kind == SYSTEM;
}
template <typename Processes>
bool any_stopped(const Processes& all) {
  return std::any_of(all.begin(), all.end(), [](const auto& p) { return stopped.contains(p.first); });
}
void undo(Run& run, std::size_t k) {
  Active a = active[k];
  active.erase(active.begin() + static_cast<long>(k));
  const bool undone = COLUMNS[a.column].undo(ROWS[a.row], a);
  last_undone = std::string(COLUMNS[a.column].name) + " " + ROWS[a.row].name + (undone ? "" : ", which failed");
  if (near_daemons(a.row)) run.last_fault_change = now_ms();
  if (!undone) ++failed_undoings, broken = true;
  if (ROWS[a.row].state && COLUMNS[a.column].hides && undone) --tainting_active, taint_ended = now_ms();
}
// What ended: a daemon only to a holder of the lock (once put right, seen holding it); one
// that met the lock held by what was undone a moment ago may end after the undoing.
void reap(Run& run, long t) {
  int status = 0;
  for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;) {
    const bool killed = WIFSIGNALED(status);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    stopped.erase(pid);
    updates.erase(pid);
    if (daemons.erase(pid) > 0 && !killed) {
      if (code != 100 + EBUSY) violated(ENDS_TO_A_HOLDER, "a daemon ended with status " + std::to_string(code));
      if (code == 100 + EBUSY && t - run.last_fault_change > 300 &&
          (daemons.empty() || (in_calm(run) && holder() == 0)))
        violated(ENDS_TO_A_HOLDER, "a daemon yielded where no other holds the lock");
    } else if (auto w = writes.find(pid); w != writes.end()) {
      write_ended(w->second, code == 0, killed, code);
      if (w->second.starts && code == 0) start_daemon(), start_update();
      if (pid == run.lowering && code == 0) run.lowered_at = t, run.lowered = true;
      writes.erase(w);
    }
  }
}
// What a listing shows, and the period in force: the longest that the file said since the
// flush before the last, which a daemon may have read and followed since.
void check_listing(Run& run, long t) {
  const long asked = now_ms();
  const int listed = read_parameters(STATE.c_str(), run.values);
  if (const long took = now_ms() - asked; took > 1000)
    violated(CALLS_END_IN_TIME, "a listing took " + std::to_string(took) + " ms");
  if (listed == -EIO) violated(LISTINGS_WHOLE, "a listing met a file that is not nine numbers");
  if (listed != 0) set_defaults(run.values);
  for (std::size_t i = 0; i < 9 && listed == 0; ++i) {
    const int value = run.values[i];
    const bool under_way = std::any_of(writes.begin(), writes.end(), [&](const auto& w) {
      return w.second.index == static_cast<int>(i) && w.second.value == value;
    });
    if (!under_way && !accepted[i].contains(value)) {
      violated(refused[i].contains(value) ? FAILED_WRITES_CHANGE_NOTHING : WRITES_HOLD,
               "parameter " + std::to_string(i) + " reads " + std::to_string(value));
      accepted[i].insert(value);
    }
  }
  run.periods.emplace_back(t, std::min(run.values[5], run.values[6]) * 1000L);
  std::erase_if(run.periods, [&](const auto& p) { return p.first < run.flush_before_last; });
  run.period = 0;
  for (const auto& p : run.periods) run.period = std::max(run.period, p.second);
}
// Two daemons may both flush while none can hold the lock; from the last fault done or
// undone on, where none failed to undo, one of them sees within a look that it is to yield.
void daemon_flushed(const Run& run, pid_t pid, Daemon& d, long t) {
  if (d.first_flush < 0) d.first_flush = t;
  d.last_flush = t;
  for (const auto& [other, o] : daemons) {
    const long since = std::max({d.first_flush, o.first_flush, run.last_fault_change});
    if (other == pid || o.first_flush < 0 || broken || o.last_flush - since <= 6000) continue;
    violated(TWO_FLUSHING, std::to_string(o.last_flush - since) + " ms of flushes by two daemons");
    d.first_flush = t;
  }
}
// A flush less than the period after the one before, where nothing near the daemons was
// done or undone since that one and no ageing time was written within a look and a second,
// which a daemon may take to see it: one flush made twice.
void check_spacing(const Run& run, const Note& note) {
  const long at = note.at;
  const long said = std::min(run.values[5], run.values[6]) * 1000L;
  const bool near = std::any_of(active.begin(), active.end(), [](const Active& a) { return near_daemons(a.row); });
  const bool writing =
      std::any_of(writes.begin(), writes.end(), [](const auto& w) { return of_ageing(w.second.index); });
  if (run.flushes == 0 || near || writing || broken || run.flushed_at <= run.last_fault_change ||
      at - ageing_written <= 6000 || at - run.flushed_at >= said - 200)
    return;
  const auto by = [](const Note& n) {
    return std::string(1, static_cast<char>(n.mark)) + " " + std::to_string(n.pid) +
           (went_on.contains(n.pid) ? " (went on at " + std::to_string(went_on[n.pid] % 10000000) + ")" : "");
  };
  violated(NONE_TOO_SOON, "flushes " + std::to_string(at - run.flushed_at) + " ms apart, by " + by(run.last_note) +
                              " then " + by(note) + ", period " + std::to_string(said));
}
// The gaps between flushes, by any process of the service, while a daemon lives; a stopped
// daemon may hold the lock, and the update processes flush in its place only a period and
// a second after the last flush: a pause counts from when it goes on.
void check_flushes(Run& run, long t) {
  for (Note note; read(flush_pipe[0], &note, sizeof note) == static_cast<ssize_t>(sizeof note);) {
    if (note.mark == 'r') {
      run.last_request = t;
      continue;
    }
    check_spacing(run, note);
    run.flushed_at = note.at;
    run.last_note = note;
    ++run.flushes;
    run.flush_before_last = run.last_flush;
    run.last_flush = t;
    run.pauses_told = 0;
    if (in_calm(run) && t > run.check_at) run.calm_flushes.push_back(t);
    if (auto d = daemons.find(note.pid); d != daemons.end()) daemon_flushed(run, d->first, d->second, t);
  }
  long oldest = t, oldest_update = t;
  for (const auto& [pid, d] : daemons) oldest = std::min(oldest, d.started);
  for (const auto& [pid, started] : updates) oldest_update = std::min(oldest_update, started);
  if (any_stopped(daemons)) run.gap_from = t, run.pauses_told = 0;
  if (any_stopped(updates)) run.update_gap_from = t;
  const long gap = t - std::max({run.last_flush, oldest, run.gap_from});
  if (!daemons.empty() && gap > run.worst_gap) run.worst_gap = gap, run.worst_gap_period = run.period;
  for (const int times : {1, 2}) {
    if (daemons.empty() || gap <= times * run.period + 1000 || (run.pauses_told & times) != 0) continue;
    violated(times == 1 ? FLUSHING_NEVER_PAUSES : PAUSES_BOUNDED,
             "no flush for " + std::to_string(gap) + " ms, period " + std::to_string(run.period));
    run.pauses_told |= times;
  }
  if (const long update_gap = t - std::max({run.last_request, oldest_update, run.update_gap_from});
      !updates.empty() && update_gap > 2000) {
    violated(UPDATE_ASKS, "no flush request for " + std::to_string(update_gap) + " ms");
    run.update_gap_from = t;
  }
  // A period lowered from an hour counts within the 5 s between a daemon's looks.
  if (run.lowered_at >= 0 && run.last_flush > run.lowered_at) run.lowered_at = -1;
  if (run.lowered_at >= 0 && t - run.lowered_at > 6000 && !any_stopped(daemons)) {
    violated(PERIOD_COUNTS, "no flush " + std::to_string(t - run.lowered_at) + " ms after a period of an hour lowered");
    run.lowered_at = -1;
  }
}
// Writes within their bound, modes exact, a daemon's resources once it holds the lock; as
// systemd would, both kinds of process started again once none has lived for a second.
void check_processes(Run& run, long t) {
  for (auto& [pid, w] : writes) {
    const long ran = t - w.started - w.paused - (stopped.contains(pid) ? t - stopped[pid] : 0);
    if (ran > 6000 && kill(pid, SIGKILL) == 0) violated(CALLS_END_IN_TIME, "a write ran for 6 s");
  }
  for (const std::size_t r : {std::size_t{0}, std::size_t{PARAMETERS_ROW}, std::size_t{WRITER_LOCK_ROW}}) {
    if (mode_t mode = 0; right_type(ROWS[r], &mode) && !loose_modes && mode != ROWS[r].mode) {
      char text[8];
      std::snprintf(text, sizeof text, "%o", mode);
      violated(MODES_EXACT, ROWS[r].path + " has the mode " + text);
    }
  }
  for (auto& [pid, d] : daemons)
    if (int fds = 0; d.fds < 0 && t - d.started > 500 && holds_lock(pid, &fds))
      d.fds = fds, d.anonymous_kb = anonymous_kb(pid);
  const auto again = [t](bool none, long& since, void (*restart)()) {
    since = !none ? -1 : since < 0 ? t : since;
    if (none && t - since >= 1000) restart();
  };
  again(daemons.empty(), run.empty_since, start_daemon);
  again(updates.empty(), run.updates_empty_since, start_update);
}
// A period of an hour is lowered when due, even when finishing, and again where that failed:
// a calm waits for the period the file says. A daemon that slept it used next to no
// processor time: a look every 5 s is a few status calls, never a loop.
void lower_long_period(Run& run, long t) {
  if (run.long_period_at < 0 || t < run.lower_at || writes.contains(run.lowering)) return;
  if (run.lowered && run.lowered_at < 0) run.long_period_at = -1, run.lowering = 0, run.lowered = false;
  if (run.lowered || run.long_period_at < 0) return;
  for (auto& [pid, d] : daemons) {
    const long used = cpu_ms(pid) - d.cpu_at, allowed = 20 * ((t - run.long_period_at) / 5000 + 1);
    if (run.lowering == 0 && d.cpu_at >= 0 && used > allowed)
      violated(QUIET_BETWEEN_FLUSHES, "a daemon used " + std::to_string(used) + " ms of processor time in " +
                                          std::to_string(t - run.long_period_at) + " ms of a period of an hour");
    d.cpu_at = -1;
  }
  run.lowerings += run.lowering == 0 ? 1 : 0;
  run.lowering = start_write(6, static_cast<int>(pick(1, 3)));
}
// Undoes the cells due, and now and then does one, up to three at a time.
void inject(Run& run, long t) {
  for (std::size_t k = active.size(); k-- > 0;)
    if (t >= active[k].undo_at) undo(run, k);
  const auto [r, c] = run.cells[static_cast<std::size_t>(pick(0, static_cast<long>(run.cells.size()) - 1))];
  const bool under_way =
      std::any_of(active.begin(), active.end(), [&](const Active& a) { return a.row == r && a.column == c; });
  Active a = {r, c, t + pick(10, COLUMNS[c].longest)};
  const bool tainting = ROWS[r].state && COLUMNS[c].hides;
  if (run.long_period_at >= 0 || active.size() >= 3 || under_way || !chance(0.15)) return;
  outside = outside || COLUMNS[c].promise == OUTSIDE;
  if (COLUMNS[c].apply(ROWS[r], a)) {
    ++run.injected[r][c];
    active.push_back(a);
    if (near_daemons(r)) run.last_fault_change = t;
    if (tainting) ++tainting_active, taint();
  } else if (tainting) {
    // A removal that a flag stopped part way may have taken the parameters all the same.
    taint();
    taint_ended = run.last_fault_change = t;
  }
}
// More writers while the lock is removed again and again; ageing times kept while timed.
void start_writers(const Run& run, long t) {
  if (writes.size() >= (remover != 0 ? 16U : 3U) || !chance(remover != 0 ? 0.5 : 0.1) || run.long_period_at >= 0)
    return;
  const int index = static_cast<int>(in_calm(run) && t > run.check_at - 500 ? pick(0, 4) : pick(0, 8));
  const auto& range = EMULATED_PARAMETERS[static_cast<std::size_t>(index)];
  start_write(index, static_cast<int>(index == 5 || index == 6 ? pick(1, 3) : pick(range.minimum, range.maximum)),
              chance(1.0 / 3));
}
// A calm: every fault undone and put right; within a period and a second one daemon holds
// the lock and flushes on the period the file says. After a fault outside the promise, what
// the folder then holds stands, and all that holds, holds within a look (5 s).
void begin_calm(Run& run, long t) {
  while (!active.empty()) undo(run, active.size() - 1);
  if (remover != 0) kill(remover, SIGKILL), remover = 0;
  // Many starts leave many update processes, as they would: one is enough from here on.
  while (updates.size() > 1) kill(updates.begin()->first, SIGKILL), updates.erase(updates.begin());
  repair();
  tainting_active = 0, broken = false;
  taint();
  const long look = outside ? 5000 : 0;
  if (ParameterValues values; outside && read_parameters(STATE.c_str(), values) == 0)
    for (std::size_t i = 0; i < 9; ++i) accepted[i].insert(values[i]);
  for (auto& [pid, w] : writes) w.excused = w.excused || outside;
  // A pause begun outside the promise, where no daemon could serve, is not the calm's.
  if (outside) run.gap_from = t, run.pauses_told = 0;
  outside = false;
  taint_ended = t + look;
  run.check_at = t + (look > 0 ? look + 1000 : std::min(run.period, 6000L)) + 1000;
  run.calm_flushes.clear();
  calm_began = run.last_fault_change = now_ms() + look;
}
// Two flushes a period apart, or none waited longer. Then now and then a storm on the
// writers' lock, or a period of an hour, lowered a few seconds later, with no fault done.
void end_calm(Run& run, long t, long said) {
  const pid_t one = holder();
  if (daemons.size() != 1 || one == 0)
    violated(ONE_HOLDER_ONCE_RIGHT, std::to_string(daemons.size()) + (one ? " daemons, one holding" : " daemons"));
  const long spacing = run.calm_flushes.size() >= 2 ? run.calm_flushes[1] - run.calm_flushes[0] : t - run.check_at;
  if (std::abs(spacing - said) > 300)
    violated(ONE_HOLDER_ONCE_RIGHT, "flushes " + std::to_string(spacing) + " ms apart, not " + std::to_string(said));
  run.check_at = calm_began = -1;
  run.storm_until = t + pick(5000, 20000, schedule);
  run.done = run.finishing;
  const double storm = std::uniform_real_distribution<>(0, 1)(schedule);
  if (!run.done && storm < 0.3) {
    outside = storm < 0.15;
    remove_the_lock_again_and_again(outside);
    ++storms[outside ? 1 : 0];
    run.last_fault_change = t;
  } else if (!run.done && storm < 0.5) {
    start_write(5, 3600), start_write(6, 3600), run.long_period_at = t, run.lower_at = t + pick(2000, 5000, schedule);
    for (auto& [pid, d] : daemons) d.cpu_at = cpu_ms(pid);
  }
}
void calm(Run& run, long t) {
  const long said = std::min(run.values[5], run.values[6]) * 1000L;
  if (!in_calm(run) && run.long_period_at < 0 && (t >= run.storm_until || (run.finishing && writes.empty())))
    begin_calm(run, t);
  else if (in_calm(run) && t >= run.check_at && (run.calm_flushes.size() >= 2 || t >= run.check_at + 2 * said + 6000))
    end_calm(run, t, said);
}
// All done: the last write took away what writers left, and each daemon is as it started.
void finish() {
  start_write(0, 25);
  for (int status = 0; !writes.empty();)
    if (writes.erase(wait(&status)) > 0 && status != 0) violated(WRITES_HOLD, "the last write failed");
  if (sh("find " + STATE + " -name 'new-*' | grep -q .") == 0) violated(NOTHING_LEFT, "a new file is left");
  for (auto& [pid, d] : daemons) {
    int fds = 0;
    holds_lock(pid, &fds);
    if (d.fds >= 0 && (fds != d.fds || anonymous_kb(pid) > d.anonymous_kb + 8))
      violated(NOTHING_LEFT, "a daemon's descriptors and kB: " + std::to_string(d.fds) + " " +
                                 std::to_string(d.anonymous_kb) + ", then " + std::to_string(fds) + " " +
                                 std::to_string(anonymous_kb(pid)));
    kill(pid, SIGKILL);
  }
  for (const auto& [pid, started] : updates) kill(pid, SIGKILL);
  while (wait(nullptr) > 0) {
  }
  if (!cgroups.empty()) sh("rmdir " + cgroups + "/* " + cgroups);
}
// The matrix of cells done, the columns outside the promise starred, and the violations.
int report(const Run& run, long long seconds, long long seed) {
  std::printf("faults done, %lld seconds: what a root neighbour did (columns) to what (rows); - cannot apply\n%27s",
              seconds, "");
  for (const Row& r : ROWS) std::printf(" %8.8s", r.label);
  for (std::size_t c = 0; c < COLUMNS.size(); ++c) {
    std::printf("\n%-27s", (COLUMNS[c].name + std::string(COLUMNS[c].promise == OUTSIDE ? "*" : "")).c_str());
    for (std::size_t r = 0; r < std::size(ROWS); ++r)
      std::printf(" %8s", applies(r, c) ? std::to_string(run.injected[r][c]).c_str() : "-");
  }
  std::printf(
      "\n* outside the promise: until the next calm, only calls' bounds, the update process, two daemons'\n"
      "  flushes and what holds once things are put right are checked; %ld breaches of others not counted\n"
      "%8ld  undoings failed, their taint kept until a calm put things right\n"
      "%8ld  storms with the writers' lock removed again and again, %ld moved too (*)\n"
      "%8ld  periods of an hour lowered while the daemons slept them\n"
      "%8ld  flush daemons, %ld writers started without capabilities, under umask 0777\nviolations:\n",
      excused, failed_undoings, storms[0], storms[1], run.lowerings, confined_daemons, confined_writers);
  long total = 0;
  for (int i = 0; i < INVARIANT_COUNT; ++i)
    total += violations[i], std::printf("%8ld  %s\n", violations[i], INVARIANTS[i]);
  std::printf(
      "%ld flushes; the largest gap between two, %ld ms, against a period of %ld ms\n"
      "%ld writes answered 0, %ld an error, %ld were killed\nfault campaign %s, seed %lld\n",
      run.flushes, run.worst_gap, run.worst_gap_period, writes_ended[0], writes_ended[1], writes_ended[2],
      total == 0 ? "passed" : "FAILED", seed);
  return total == 0 ? 0 : 1;
}

}  // namespace

// The flush control call as the update process makes it, each request told to the campaign.
long kernel_flush_call(int func, long data) {
  const Note note = {'r', getpid(), now_ms()};
  if (func == FLUSH_REQUEST) [[maybe_unused]]
    const ssize_t written = write(flush_pipe[1], &note, sizeof note);
  return emulated_flush_call(STATE.c_str(), func, data);
}
// Each flush a note of who flushed and when, for the campaign to count, written whole at
// once; where the campaign stopped counting, nothing is lost.
extern "C" void sync() noexcept {
  const Note note = {flush_mark, getpid(), now_ms()};
  [[maybe_unused]] const ssize_t written = write(flush_pipe[1], &note, sizeof note);
}
int main(int argc, char* argv[]) {
  long long seconds = 60, seed = std::random_device()();
  for (int i = 1; i < argc; i += 2) {
    const bool known = std::strcmp(argv[i], "--seconds") == 0 || std::strcmp(argv[i], "--seed") == 0;
    const char* text = i + 1 < argc ? argv[i + 1] : "";
    char* end = nullptr;
    errno = 0;
    (std::strcmp(argv[i], "--seconds") == 0 ? seconds : seed) = std::strtoll(text, &end, 10);
    if (!known || *text < '0' || *text > '9' || *end != '\0' || errno != 0) {
      std::fprintf(stderr, "fault-campaign: %s takes a whole number\n", argv[i]);
      return 2;
    }
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("seed %lld\n", seed);
  rng.seed(static_cast<unsigned long long>(seed));
  schedule.seed(static_cast<unsigned long long>(seed) + 1);
  if (mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 || mkdir(ROOT.c_str(), 0755) != 0 ||
      mount("tmpfs", ROOT.c_str(), "tmpfs", 0, "mode=0755,size=2m,nr_inodes=100000") != 0 ||
      mkdir(PARENT.c_str(), 0755) != 0 || mkdir(OTHER.c_str(), 0755) != 0 ||
      pipe2(flush_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
    std::perror("fault-campaign: setting up");
    return 2;
  }
  // A cgroup v2 of the campaign's own for the freezes; those of killed runs go, if empty.
  for (const char* v2 : {"/sys/fs/cgroup/unified", "/sys/fs/cgroup"}) {
    sh(std::string("rmdir ") + v2 + "/corvane-campaign-*/* " + v2 + "/corvane-campaign-*");
    const std::string group = std::string(v2) + "/corvane-campaign-" + std::to_string(seed);
    if (cgroups.empty() && access((std::string(v2) + "/cgroup.procs").c_str(), W_OK) == 0 &&
        mkdir(group.c_str(), 0755) == 0)
      cgroups = group;
  }
  for (std::size_t i = 0; i < 9; ++i) accepted[i] = {EMULATED_PARAMETERS[i].default_value};
  Run run;
  for (std::size_t r = 0; r < std::size(ROWS); ++r)
    for (std::size_t c = 0; c < COLUMNS.size(); ++c)
      if (applies(r, c)) run.cells.emplace_back(r, c);
  run.injected.assign(std::size(ROWS), std::vector<long>(COLUMNS.size()));
  const long begun = now_ms();
  run.end = begun + seconds * 1000;
  run.last_flush = run.flush_before_last = run.gap_from = run.last_request = run.update_gap_from = begun;
  run.storm_until = begun + pick(2000, 6000, schedule);
  start_daemon(), start_daemon(), start_update();
  for (; !run.done; usleep(10000)) {
    const long t = now_ms();
    reap(run, t);
    check_listing(run, t);
    check_flushes(run, t);
    check_processes(run, t);
    lower_long_period(run, t);
    if (!in_calm(run) && !run.finishing) inject(run, t);
    if (!run.finishing || in_calm(run)) start_writers(run, t);
    run.finishing = run.finishing || t >= run.end;
    calm(run, t);
  }
  finish();
  return report(run, seconds, seed);
}
