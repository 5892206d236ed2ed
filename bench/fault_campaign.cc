// A randomized fault campaign against the emulated flush interface: flush daemons started
// and killed at random, writers and readers all the while, and faults drawn from a table
// done to the state folder and undone a moment later, while a table of invariants is
// checked all through. Run by bench/fault-campaign, as root, in a private mount and PID
// namespace. Ends with status 0 when no invariant was broken.
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
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
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "daemon/update_loop.h"
#include "emulated/emulated_interface.h"
#include "tests/no_inotify.h"

namespace {

const std::string ROOT = "/run/c", PARENT = ROOT + "/p", STATE = PARENT + "/corvane", OTHER = ROOT + "/other";
const std::string RM = "rm -rf ";
int flush_pipe[2];
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
// Puts b's entry in a's place and the other way round, in one step.
bool exchange(const std::string& a, const std::string& b) {
  return renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0;
}

// The faults come from a matrix: its rows are what the interface keeps and its
// processes, its columns what a root neighbour can do to each; a cell is done and undone a
// moment later. A cell that hides the folder's own state from readers and writers, or
// may put back an older file, taints the parameters: until a write made with no such
// fault under way, any value that any state held is accepted. An undoing that fails says
// so, and its cell taints until a calm has put things right: what it hid may come back.
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
};
enum { PARAMETERS_ROW = 2, WRITER_LOCK_ROW, DAEMON_LOCK_ROW, DAEMON_ROW = 6, UPDATE_ROW, WRITER_ROW, STARTER_ROW };
// One cell under way: what it was done to, and what it takes to undo it.
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
bool right_type(const Row& r, const struct stat& s) {
  return r.kind == A_FOLDER ? S_ISDIR(s.st_mode) : S_ISREG(s.st_mode);
}
bool right_type(const Row& r) {
  struct stat s;
  return lstat(r.path.c_str(), &s) == 0 && right_type(r, s);
}
bool loose_modes = false;  // since a mode was changed or a file planted or mounted over, until put right
// Makes something else and puts it in the file's place in one step, the file set aside.
// Where another cell has set the file aside already, nothing is done: what stands aside
// may be the state itself.
bool plant(const Row& r, const std::function<int(const char*)>& make) {
  const std::string aside = r.path + ".aside";
  if (r.kind == INSIDE) return make(r.path.c_str()) == 0;
  struct stat s;
  if (lstat(aside.c_str(), &s) == 0 || make(aside.c_str()) != 0) return false;
  if (!exchange(aside, r.path)) return sh(RM + aside), false;
  return loose_modes = true;
}
bool gone(const std::string& path) {
  struct stat s;
  return lstat(path.c_str(), &s) != 0 && errno == ENOENT;
}
// Puts the file back where the plant still stands, or where nothing stands now; one made
// right since stays. Undone once nothing stands aside and no plant in the file's place.
bool unplant(const Row& r, Active&) {
  const std::string aside = r.path + ".aside";
  if (r.kind == INSIDE) return true;
  if (right_type(r) || rename(aside.c_str(), r.path.c_str()) != 0) {
    if (!right_type(r) && !exchange(aside, r.path)) sh(RM + r.path);
    sh(RM + aside);
  }
  return gone(aside) && (right_type(r) || gone(r.path));
}
// Every mount below the campaign's own file system, wherever the folder is now; false
// where one stays.
bool unmount_all() {
  for (;;) {
    bool any = false, left = false;
    FILE* table = std::fopen("/proc/self/mountinfo", "r");
    char at[4096];
    while (table != nullptr && std::fscanf(table, "%*s %*s %*s %*s %4095s %*[^\n]", at) == 1) {
      if (std::string(at).rfind(ROOT + "/", 0) == 0) (umount2(at, MNT_DETACH) == 0 ? any : left) = true;
    }
    if (table != nullptr) std::fclose(table);
    if (!any) return table != nullptr && !left;
  }
}
bool set_flags(const std::string& path, int flags) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  const bool set = fd >= 0 && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  if (fd >= 0) close(fd);
  return set;
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
struct Write {
  int index, value;
  long started, ended = -1;
  long paused = 0;       // stopped, in all
  bool starts = false;   // a starting process's: once it answers 0, the service starts
  bool excused = false;  // under way when a calm put right a fault outside the promise: it may land, failed
};
std::map<pid_t, Write> writes;  // under way
pid_t start_write(int index, int value, bool confined = false, bool starts = false, int descriptors = 0);
struct Daemon {
  long started;
  int fds = -1;  // descriptors and anonymous memory once it first held the lock
  long anonymous_kb = -1;
  long first_flush = -1, last_flush = -1;
  long cpu_at = -1;  // processor time used, in ms, when a period of an hour was written
};
std::map<pid_t, Daemon> daemons;
std::map<pid_t, long> updates;  // update processes, and when each started
std::map<pid_t, long> stopped;  // stopped or frozen, since when
template <typename Processes>
pid_t any_of(const Processes& processes) {
  if (processes.empty()) return 0;
  auto p = processes.begin();
  std::advance(p, pick(0, static_cast<long>(processes.size()) - 1));
  return p->first;
}
void start_daemon();
void start_update();
pid_t holder();
// A process of the row: a daemon or an update process that lives, or a writer or a
// starting process started for the fault, done to it within its first millisecond,
// while it may still be at work.
pid_t a_process(const Row& r, int descriptors = 0) {
  if (&r == &ROWS[DAEMON_ROW]) return any_of(daemons);
  if (&r == &ROWS[UPDATE_ROW]) return any_of(updates);
  const bool starts = &r == &ROWS[STARTER_ROW];
  const pid_t pid =
      start_write(starts ? 6 : 0, static_cast<int>(starts ? pick(1, 3) : pick(0, 100)), false, starts, descriptors);
  usleep(static_cast<useconds_t>(pick(0, 1000)));
  return pid;
}
// Sends a process of the row the signal; none is no process group.
bool signal_one(const Row& r, int signal) {
  const pid_t pid = a_process(r);
  return pid > 0 && kill(pid, signal) == 0;
}
// Stops or freezes a process of the row that is not stopped already, until it goes on.
bool halt(const Row& r, Active& a, const std::function<bool(pid_t)>& act) {
  a.pid = a_process(r);
  return a.pid > 0 && !stopped.contains(a.pid) && act(a.pid) && stopped.emplace(a.pid, now_ms()).second;
}
void go_on(Active& a) {
  if (auto w = writes.find(a.pid); w != writes.end()) w->second.paused += now_ms() - stopped[a.pid];
  stopped.erase(a.pid);
}
// Frozen in a cgroup of the campaign's own for the row, where cgroup v2 allows one.
std::string cgroups;
bool freeze(const Row& r, pid_t pid, bool on) {
  const std::string group = cgroups + "/" + std::to_string(&r - ROWS);
  mkdir(group.c_str(), 0755);
  const std::string id = std::to_string(pid);
  return on ? put_text((group + "/cgroup.procs").c_str(), id.c_str()) &&
                  put_text((group + "/cgroup.freeze").c_str(), "1")
            : put_text((group + "/cgroup.freeze").c_str(), "0") &&
                  (put_text((cgroups + "/../cgroup.procs").c_str(), id.c_str()) || kill(pid, 0) != 0);
}
bool fill_up() {
  struct statvfs fs;
  const int fd = open((ROOT + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
  const bool full =
      statvfs(ROOT.c_str(), &fs) == 0 && fallocate(fd, 0, 0, static_cast<off_t>(fs.f_bavail * fs.f_bsize)) == 0;
  return close(fd) == 0 && full;
}
bool remount(const std::string& options) {
  return mount(nullptr, ROOT.c_str(), nullptr, MS_REMOUNT, options.c_str()) == 0;
}
constexpr int FILES = A_FOLDER | A_FILE;
// clang-format off
const std::vector<Column> COLUMNS = {
    {"remove", FILES, true, WITHIN, [](const Row& r, Active&) { return sh(RM + r.path) == 0; }},
    {"replace by a file", FILES | INSIDE, true, WITHIN, [](const Row& r, Active&) {
       // A copy of a regular file alone: cp would wait on a fifo for ever. Where the
       // parameters have no file to copy, or a writer makes one meanwhile, the plant holds
       // their defaults, which is what no file stands for.
       const bool copy = r.kind == A_FILE && right_type(r);
       return plant(r, [&](const char* p) {
         if (copy) return sh("cp -T " + r.path + " " + p);
         if (&r != &ROWS[PARAMETERS_ROW]) return sh(std::string("install -T -m 0600 /dev/null ") + p);
         ParameterValues values;
         std::array<char, PARAMETERS_LIMIT> text;
         set_defaults(values);
         const auto size = static_cast<ssize_t>(format_parameters(values, text));
         const int fd = open(p, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
         const bool made = fd >= 0 && write(fd, text.data(), static_cast<std::size_t>(size)) == size;
         return fd >= 0 && close(fd) == 0 && made ? 0 : 1; }); }, unplant},
    {"replace by a folder", FILES | INSIDE, true, WITHIN, [](const Row& r, Active&) {
       return plant(r, [&](const char* p) { return sh(std::string("mkdir -m ") + (r.kind == A_FOLDER ? "0755 " : "0700 ") + p + " && mkdir " + p + "/x"); }); }, unplant},
    {"replace by a fifo", FILES | INSIDE, true, WITHIN, [](const Row& r, Active&) { return plant(r, [](const char* p) { return mkfifo(p, 0600); }); }, unplant},
    {"replace by a link", FILES | INSIDE, true, WITHIN, [](const Row& r, Active&) {
       // To a new folder each time, so that no state seen through it is seen again.
       static long links = 0;
       const std::string to = OTHER + "/link." + std::to_string(++links);
       return mkdir(to.c_str(), 0755) == 0 && plant(r, [&](const char* p) { return symlink((r.kind == A_FOLDER ? to : to + "/x").c_str(), p); }); }, unplant},
    {"open to all", FILES, false, WITHIN, [](const Row& r, Active&) { return chmod(r.path.c_str(), r.kind == A_FOLDER ? 0777 : 0666) == 0 && (loose_modes = true); },
     [](const Row& r, Active&) { return chmod(r.path.c_str(), r.mode) == 0; }},
    {"close to all", FILES, false, WITHIN, [](const Row& r, Active&) { return chmod(r.path.c_str(), 0) == 0 && (loose_modes = true); },
     [](const Row& r, Active&) { return chmod(r.path.c_str(), r.mode) == 0; }},
    {"give to nobody", FILES, false, WITHIN, [](const Row& r, Active&) { return lchown(r.path.c_str(), 65534, 65534) == 0; },
     [](const Row& r, Active&) { return lchown(r.path.c_str(), 0, 0) == 0; }},
    {"stop", PROCESS, false, WITHIN, [](const Row& r, Active& a) { return halt(r, a, [](pid_t pid) { return kill(pid, SIGSTOP) == 0; }); },
     [](const Row&, Active& a) { go_on(a); return kill(a.pid, SIGCONT) == 0 || errno == ESRCH; }, 5000},
    {"freeze its cgroup", PROCESS, false, WITHIN, [](const Row& r, Active& a) { return halt(r, a, [&](pid_t pid) { return freeze(r, pid, true); }); },
     [](const Row& r, Active& a) { go_on(a); return freeze(r, a.pid, false); }, 5000},
    {"kill", PROCESS, false, WITHIN, [](const Row& r, Active&) { return signal_one(r, SIGKILL); }},
    {"lower its descriptor limit", PROCESS, false, WITHIN, [](const Row& r, Active& a) {
       // A writer or a start is made under it. Only the soft limit: raising a hard one again
       // takes a capability that root may lack.
       const auto few = static_cast<rlim_t>(pick(3, 8));
       if (&r >= &ROWS[WRITER_ROW]) return a_process(r, static_cast<int>(few)) != 0;
       if ((a.pid = a_process(r)) <= 0 || prlimit(a.pid, RLIMIT_NOFILE, nullptr, &a.limit) != 0) return false;
       const rlimit lowered = {few, a.limit.rlim_max};
       return prlimit(a.pid, RLIMIT_NOFILE, &lowered, nullptr) == 0; },
     [](const Row&, Active& a) { return a.pid == 0 || prlimit(a.pid, RLIMIT_NOFILE, &a.limit, nullptr) == 0 || errno == ESRCH; }, 6000},
    {"a signal it does not ignore", PROCESS, false, WITHIN, [](const Row& r, Active&) {
       const int signals[] = {SIGHUP, SIGUSR1, SIGWINCH, SIGCONT};
       return signal_one(r, signals[pick(0, 3)]); }},
    {"start again and again", PROCESS, false, WITHIN, [](const Row& r, Active&) {
       for (long i = 0, n = &r == &ROWS[WRITER_ROW] ? 16 : 4; i < n; ++i) {
         if (&r == &ROWS[DAEMON_ROW]) start_daemon(); else if (&r == &ROWS[UPDATE_ROW]) start_update(); else a_process(r);
       }
       return true; }},
    {"blocks full", SYSTEM, false, WITHIN, [](const Row&, Active&) { return fill_up(); }, [](const Row&, Active&) { return unlink((ROOT + "/filler").c_str()) == 0 || errno == ENOENT; }},
    {"inodes full", SYSTEM, false, WITHIN, [](const Row&, Active&) {
       struct statvfs fs;
       return statvfs(ROOT.c_str(), &fs) == 0 && remount("nr_inodes=" + std::to_string(fs.f_files - fs.f_ffree)); },
     [](const Row&, Active&) { return remount("nr_inodes=100000"); }},
    {"read-only", SYSTEM, false, WITHIN, [](const Row&, Active&) { return mount(nullptr, ROOT.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0; },
     [](const Row&, Active&) { return remount(""); }},
    {"move away and back", FILES, true, OUTSIDE, [](const Row& r, Active&) { return rename(r.path.c_str(), (r.path + ".away").c_str()) == 0; },
     [](const Row& r, Active&) { return rename((r.path + ".away").c_str(), r.path.c_str()) == 0 || (sh(RM + r.path + ".away"), false); }},
    {"swap with a stray", FILES, true, OUTSIDE, [](const Row& r, Active&) {
       // With what stood there before, kept by an earlier swap; where nothing is kept, the
       // file is moved away, to be swapped back over the one made meanwhile, which is kept.
       const std::string stray = r.path + ".stray";
       return gone(stray) ? rename(r.path.c_str(), stray.c_str()) == 0 : exchange(stray, r.path); },
     [](const Row& r, Active&) {
       const std::string stray = r.path + ".stray";
       return gone(r.path) ? rename(stray.c_str(), r.path.c_str()) == 0 : exchange(stray, r.path); }},
    {"mount over", FILES, true, OUTSIDE, [](const Row& r, Active&) {
       loose_modes = true;
       return r.kind == A_FOLDER ? mount("tmpfs", r.path.c_str(), "tmpfs", 0, "mode=0755") == 0
                               : right_type(r) && sh("cp " + r.path + " " + OTHER + "/" + r.label) == 0 && mount((OTHER + "/" + r.label).c_str(), r.path.c_str(), nullptr, MS_BIND, nullptr) == 0; },
     [](const Row&, Active&) { return unmount_all(); }},
    {"fill with 6000 names", A_FOLDER, false, OUTSIDE, [](const Row& r, Active&) { return fill(r.path); },
     [](const Row& r, Active&) { return sh("rm -rf " + r.path + "/fill.*") == 0; }},
    {"flock it as a stranger", FILES, false, OUTSIDE, [](const Row& r, Active& a) {
       // The campaign's own process holds the lock, as any other might, once the daemon
       // that holds it is killed, or the writer that holds it is done.
       a.fd = open(r.path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
       for (const long until = now_ms() + 100; a.fd >= 0 && now_ms() < until; usleep(1000)) {
         if (flock(a.fd, LOCK_EX | LOCK_NB) == 0) return true;
         if (const pid_t pid = holder(); pid != 0 && &r == &ROWS[DAEMON_LOCK_ROW]) kill(pid, SIGKILL);
       }
       if (a.fd >= 0) close(a.fd);
       return false; },
     [](const Row&, Active& a) { return close(a.fd) == 0; }, 6000},
    {"take a writer's name first", INSIDE, false, OUTSIDE, [](const Row&, Active& a) {
       // A folder that holds a file, which the holder may not clear, under the name of the
       // new file of a writer just started.
       const std::string lock = ROWS[WRITER_LOCK_ROW].path;
       struct stat s;
       if (lstat(lock.c_str(), &s) != 0 || !S_ISDIR(s.st_mode) || (a.pid = a_process(ROWS[WRITER_ROW])) <= 0) return false;
       const std::string name = lock + "/new-" + std::to_string(s.st_ino) + "-" + std::to_string(a.pid);
       return mkdir(name.c_str(), 0700) == 0 && mkdir((name + "/x").c_str(), 0700) == 0; },
     [](const Row&, Active& a) { return sh("rm -rf " + ROWS[WRITER_LOCK_ROW].path + "/new-*-" + std::to_string(a.pid)) == 0; }},
    {"chattr +i", FILES, false, OUTSIDE, [](const Row& r, Active&) { return set_flags(r.path, FS_IMMUTABLE_FL); },
     [](const Row& r, Active&) { return set_flags(r.path, 0); }},
    {"chattr +a", FILES, false, OUTSIDE, [](const Row& r, Active&) { return set_flags(r.path, FS_APPEND_FL); },
     [](const Row& r, Active&) { return set_flags(r.path, 0); }},
};
// clang-format on
// Which cells can apply at all: a column for the row's kind; a stranger's flock on the
// two locks alone; a freeze only where cgroup v2 gives the campaign a cgroup of its own.
bool applies(std::size_t row, std::size_t column) {
  const std::string_view name = COLUMNS[column].name;
  if (name == "flock it as a stranger") return row == WRITER_LOCK_ROW || row == DAEMON_LOCK_ROW;
  return (COLUMNS[column].kinds & ROWS[row].kind) != 0 && (name != "freeze its cgroup" || !cgroups.empty());
}
// Through a whole storm, now and then: the writers' lock removed, and, outside the
// promise, moved away and back too, again and again, with the new file in it, as rm -r
// or mv would.
pid_t remover = 0;
long storms[2] = {};  // removing, and moving too
void remove_the_lock_again_and_again(bool moving) {
  if ((remover = fork()) != 0) return;
  const std::string lock = ROWS[WRITER_LOCK_ROW].path, away = lock + ".away";
  const auto remove = [](const std::string& path) {
    if (DIR* files = opendir(path.c_str())) {
      for (dirent* e; (e = readdir(files)) != nullptr;) unlinkat(dirfd(files), e->d_name, 0);
      closedir(files);
    }
    rmdir(path.c_str());
    unlink(path.c_str());
  };
  for (long i = 0;; ++i, usleep(100)) {
    // Moved back where a lock made meanwhile allows it, removed where it does not.
    if (moving && i % 2 == 0 && rename(lock.c_str(), away.c_str()) == 0) {
      if (rename(away.c_str(), lock.c_str()) != 0) remove(away);
      continue;
    }
    remove(lock);
  }
}
const char* const INVARIANTS[] = {
    "a daemon ends only with EBUSY, to a holder of the lock",
    "flushing never pauses longer than the period and a second",
    "once put right, one daemon holds the lock and flushes on the period",
    "two flush daemons never both flush for longer than a look, 5 s, and a second",
    "a write that succeeds holds until a later one",
    "a write that answers an error never shows up in a listing",
    "no call takes longer than its bound and a second: a write 5 s, a listing none",
    "every listing is whole",
    "what the interface makes has its mode, whatever the writer's umask and capabilities",
    "no new file left, daemons' descriptors and memory as at start",
    "a period written counts within 5 s and a second",
    "a daemon on a period of an hour uses under 20 ms of processor time each 5 s",
    "an update process flushes every second, its delay",
    "once put right, every write answers 0",
};
enum Invariant {
  ENDS_TO_A_HOLDER,
  FLUSHING_NEVER_PAUSES,
  ONE_HOLDER_ONCE_RIGHT,
  TWO_FLUSHING,
  WRITES_HOLD,
  FAILED_WRITES_CHANGE_NOTHING,
  CALLS_END_IN_TIME,
  LISTINGS_WHOLE,
  MODES_EXACT,
  NOTHING_LEFT,
  PERIOD_COUNTS,
  QUIET_BETWEEN_FLUSHES,
  UPDATE_FLUSHES,
  CALM_WRITES_SUCCEED,
  INVARIANT_COUNT
};

long violations[INVARIANT_COUNT] = {};  // of each invariant
// The cells under way, and the last one undone, for a violation to name.
std::vector<Active> active;
std::string last_undone;
// From a cell outside the promise until a calm has put things right, only what holds even
// then is checked: calls answer within their bounds, the update process flushes, two
// daemons do not both flush for long, and once put right, writes answer 0 and one daemon
// serves.
bool outside = false;
long excused = 0;
void violated(Invariant which, const std::string& what) {
  const Invariant kept[] = {CALLS_END_IN_TIME, UPDATE_FLUSHES, TWO_FLUSHING, ONE_HOLDER_ONCE_RIGHT,
                            CALM_WRITES_SUCCEED};
  if (outside && std::find(std::begin(kept), std::end(kept), which) == std::end(kept)) {
    ++excused;
    return;
  }
  if (++violations[which] > 5) return;
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

// Whether pid holds a descriptor on the file that the lock's path names now.
bool holds_lock(pid_t pid, int* fds = nullptr) {
  struct stat lock;
  const bool named = lstat((STATE + "/daemon.lock").c_str(), &lock) == 0;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* listing = opendir(dir.c_str());
  bool holds = false;
  int count = 0;
  for (dirent* e; listing != nullptr && (e = readdir(listing)) != nullptr;) {
    struct stat s;
    if (e->d_name[0] == '.') continue;
    ++count;
    holds = holds || (named && stat((dir + "/" + e->d_name).c_str(), &s) == 0 && s.st_dev == lock.st_dev &&
                      s.st_ino == lock.st_ino);
  }
  if (listing != nullptr) closedir(listing);
  if (fds != nullptr) *fds = count;
  return holds;
}
long anonymous_kb(pid_t pid) {
  FILE* status = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  char line[256];
  long kb = -1;
  while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr) std::sscanf(line, "RssAnon: %ld", &kb);
  if (status != nullptr) std::fclose(status);
  return kb;
}
pid_t holder() {
  for (const auto& [pid, d] : daemons) {
    if (holds_lock(pid)) return pid;
  }
  return 0;
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
// Root without any capability, as under the boot unit, and under a umask that lets
// nothing through.
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
// A writer; a starting process is one too, whose write of the options' values, once it
// answers 0, starts a flush daemon and an update process.
pid_t start_write(int index, int value, bool confined, bool starts, int descriptors) {
  const pid_t pid = start([=] {
    const rlimit few = {static_cast<rlim_t>(descriptors), RLIM_INFINITY};
    if ((confined && !confine()) || (descriptors > 0 && setrlimit(RLIMIT_NOFILE, &few) != 0)) return 99;
    const long result = emulated_flush_call(STATE.c_str(), 2 * index + 3, value);
    return result == 0 ? 0 : 100 - static_cast<int>(result);
  });
  writes[pid] = {index, value, now_ms(), -1, 0, starts};
  confined_writers += confined ? 1 : 0;
  return pid;
}
// A write that succeeded is what its parameter holds from now on, but for the writes that
// ran beside it, which may have replaced the file after it; one killed may have landed.
long writes_ended[3] = {};  // succeeded, failed, killed
long calm_began = -1;       // while things are put right
void write_ended(Write w, bool succeeded, bool killed, int code) {
  w.ended = now_ms();
  if (!succeeded && !killed && calm_began >= 0 && w.started > calm_began) {
    violated(CALM_WRITES_SUCCEED,
             "a write of parameter " + std::to_string(w.index) + " ended with " + std::to_string(code));
  }
  ++writes_ended[succeeded ? 0 : killed ? 2 : 1];
  std::erase_if(ended_writes, [&](const Write& e) { return e.ended < w.ended - 60000; });
  if (!succeeded && !killed && !w.excused) refused[w.index].insert(w.value);
  if (!succeeded && !killed && !w.excused) return;
  std::set<int>& ok = accepted[w.index];
  if (succeeded && tainting_active == 0 && taint_ended < w.started) {
    ok = {w.value};
    for (const Write& e : ended_writes) {
      if (e.index == w.index && e.ended >= w.started) ok.insert(e.value);
    }
  }
  ok.insert(w.value);
  ended_writes.push_back(w);
}
void taint() {
  for (std::size_t i = 0; i < 9; ++i) accepted[i].insert(EMULATED_PARAMETERS[i].default_value);
}
// Whatever the undoing left, put right: no mount over the folder, the file system
// writable and with room, the folder in place, root's and closed, the state files regular.
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
     " && for f in daemon.lock parameters; do [ ! -e $f ] || [ -f $f ] && [ ! -L $f ] || rm -rf $f; done; [ ! -e " +
     "parameters.lock ] || [ -d parameters.lock ] && [ ! -L parameters.lock ] || rm parameters.lock; chown 0:0 " +
     "daemon.lock parameters parameters.lock; chmod 0600 daemon.lock; chmod 0644 parameters; chmod 0700 "
     "parameters.lock; rm -rf parameters.lock/fill.* parameters.lock/new-*/");
}

// The run's clocks, in milliseconds of the monotonic clock, and what it has seen.
struct Run {
  std::vector<std::pair<std::size_t, std::size_t>> cells;  // that can apply
  std::vector<std::vector<long>> injected;                 // how often each cell was done
  long end = 0;  // after which no fault is done, and the run ends at the next calm
  bool finishing = false, done = false;
  long storm_until = 0, check_at = -1;  // while a calm is under way, when its check starts
  long last_fault_change = 0;   // done or undone on what a daemon uses: the folder, its lock, itself, the file system
  ParameterValues values = {};  // as last listed
  std::vector<std::pair<long, long>> periods;  // when, and the period that the file said then
  long period = 0;  // in force: the longest that the file said since the flush before the last
  long flushes = 0, last_flush = 0, flush_before_last = 0, gap_from = 0, worst_gap = 0, worst_gap_period = 0;
  std::vector<long> calm_flushes;
  long last_update_flush = 0, update_gap_from = 0, empty_since = -1, updates_empty_since = -1;
  // A period of an hour written, then lowered: when, when to lower it, the lowering write,
  // whether and when it answered 0, and how often.
  long long_period_at = -1, lower_at = -1, lowered_at = -1, lowerings = 0;
  pid_t lowering = 0;
  bool lowered = false;
};
bool in_calm(const Run& run) { return run.check_at >= 0; }
bool near_daemons(std::size_t r) { return r < 2 || r == DAEMON_LOCK_ROW || r == DAEMON_ROW || ROWS[r].kind == SYSTEM; }
template <typename Processes>
bool any_stopped(const Processes& processes) {
  return std::any_of(processes.begin(), processes.end(), [](const auto& p) { return stopped.contains(p.first); });
}

void undo(Run& run, std::size_t k) {
  Active a = active[k];
  active.erase(active.begin() + static_cast<long>(k));
  const bool undone = COLUMNS[a.column].undo(ROWS[a.row], a);
  last_undone = std::string(COLUMNS[a.column].name) + " " + ROWS[a.row].name + (undone ? "" : ", which failed");
  if (near_daemons(a.row)) run.last_fault_change = now_ms();
  failed_undoings += undone ? 0 : 1;
  broken = broken || !undone;
  if (ROWS[a.row].state && COLUMNS[a.column].hides && undone) --tainting_active, taint_ended = now_ms();
}

// What ended: a daemon only to a holder of the lock; a write, weighed. A daemon that met the
// lock held by what was undone a moment ago may end after the undoing.
void reap(Run& run, long t) {
  int status = 0;
  for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;) {
    const bool killed = WIFSIGNALED(status);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    stopped.erase(pid);
    updates.erase(pid);
    // In a storm, an undoing that failed may leave the folder other than it seems; once
    // put right, the daemon yielded to must be seen holding the lock.
    if (daemons.erase(pid) > 0 && !killed) {
      if (code != 100 + EBUSY) violated(ENDS_TO_A_HOLDER, "a daemon ended with status " + std::to_string(code));
      if (code == 100 + EBUSY && t - run.last_fault_change > 300 &&
          (daemons.empty() || (in_calm(run) && holder() == 0))) {
        violated(ENDS_TO_A_HOLDER, "a daemon yielded where no other holds the lock");
      }
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

// The flushes, and the gaps between them while a daemon or an update process lives.
void check_flushes(Run& run, long t) {
  for (int record[2]; read(flush_pipe[0], record, sizeof record) == static_cast<ssize_t>(sizeof record);) {
    if (record[0] == 'u') {
      run.last_update_flush = t;
      continue;
    }
    ++run.flushes;
    run.flush_before_last = run.last_flush;
    run.last_flush = t;
    if (in_calm(run) && t > run.check_at) run.calm_flushes.push_back(t);
    if (auto d = daemons.find(record[1]); d != daemons.end()) daemon_flushed(run, d->first, d->second, t);
  }
  // Counted from the last flush, or from the start of the oldest daemon that lives, whose
  // first flush may come a whole period after it: a daemon that has lived that long,
  // with or without the lock, has flushed, or another has. A stopped daemon may hold the
  // lock, and nobody flushes in its place: a pause counts from when it is continued.
  long oldest = t, oldest_update = t;
  for (const auto& [pid, d] : daemons) oldest = std::min(oldest, d.started);
  for (const auto& [pid, started] : updates) oldest_update = std::min(oldest_update, started);
  if (any_stopped(daemons)) run.gap_from = t;
  if (any_stopped(updates)) run.update_gap_from = t;
  const long gap = t - std::max({run.last_flush, oldest, run.gap_from});
  if (!daemons.empty() && gap > run.worst_gap) run.worst_gap = gap, run.worst_gap_period = run.period;
  if (!daemons.empty() && gap > run.period + 1000) {
    violated(FLUSHING_NEVER_PAUSES,
             "no flush for " + std::to_string(gap) + " ms, period " + std::to_string(run.period));
    run.gap_from = t;
  }
  if (const long update_gap = t - std::max({run.last_update_flush, oldest_update, run.update_gap_from});
      !updates.empty() && update_gap > 2000) {
    violated(UPDATE_FLUSHES, "no flush request for " + std::to_string(update_gap) + " ms");
    run.update_gap_from = t;
  }
  // A period lowered from an hour counts within the 5 s between a daemon's looks.
  if (run.lowered_at >= 0 && run.last_flush > run.lowered_at) run.lowered_at = -1;
  if (run.lowered_at >= 0 && t - run.lowered_at > 6000 && !any_stopped(daemons)) {
    violated(PERIOD_COUNTS, "no flush " + std::to_string(t - run.lowered_at) + " ms after a period of an hour lowered");
    run.lowered_at = -1;
  }
}

// Writes within their bound, modes exact; each daemon's
// descriptors and memory once it first holds the lock; and, as systemd would, both kinds
// of process started again once none has lived for a second.
void check_processes(Run& run, long t) {
  for (auto& [pid, w] : writes) {
    const long ran = t - w.started - w.paused - (stopped.contains(pid) ? t - stopped[pid] : 0);
    if (ran > 6000 && kill(pid, SIGKILL) == 0) violated(CALLS_END_IN_TIME, "a write ran for 6 s");
  }
  struct stat made;
  for (const std::size_t r : {std::size_t{0}, std::size_t{PARAMETERS_ROW}, std::size_t{WRITER_LOCK_ROW}}) {
    if (lstat(ROWS[r].path.c_str(), &made) == 0 && right_type(ROWS[r], made) && !loose_modes &&
        (made.st_mode & 07777) != ROWS[r].mode) {
      char mode_text[8];
      std::snprintf(mode_text, sizeof mode_text, "%o", made.st_mode & 07777);
      violated(MODES_EXACT, ROWS[r].path + " has the mode " + mode_text);
    }
  }
  for (auto& [pid, d] : daemons) {
    if (int fds = 0; d.fds < 0 && t - d.started > 500 && holds_lock(pid, &fds)) {
      d.fds = fds;
      d.anonymous_kb = anonymous_kb(pid);
    }
  }
  for (auto [none, since, again] : {std::tuple{daemons.empty(), &run.empty_since, &start_daemon},
                                    std::tuple{updates.empty(), &run.updates_empty_since, &start_update}}) {
    if (!none)
      *since = -1;
    else if (*since < 0)
      *since = t;
    else if (t - *since >= 1000)
      again();
  }
}

// The processor time that a process has used, in milliseconds, or -1.
long cpu_ms(pid_t pid) {
  FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  char line[1024] = "";
  const bool read = stat != nullptr && std::fgets(line, sizeof line, stat) != nullptr;
  if (stat != nullptr) std::fclose(stat);
  const char* after = read ? std::strrchr(line, ')') : nullptr;
  unsigned long user = 0, system = 0;
  if (after == nullptr ||
      std::sscanf(after, ") %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2) {
    return -1;
  }
  return static_cast<long>((user + system) * 1000 / static_cast<unsigned long>(sysconf(_SC_CLK_TCK)));
}
// A daemon that sleeps a period of an hour uses next to no processor time: a look every
// 5 s is a few status calls, never a loop.
void check_cost(const Run& run, long t) {
  const long allowed = 20 * ((t - run.long_period_at) / 5000 + 1);
  for (auto& [pid, d] : daemons) {
    if (const long used = cpu_ms(pid) - d.cpu_at; d.cpu_at >= 0 && used > allowed) {
      violated(QUIET_BETWEEN_FLUSHES, "a daemon used " + std::to_string(used) + " ms of processor time in " +
                                          std::to_string(t - run.long_period_at) + " ms of a period of an hour");
    }
    d.cpu_at = -1;
  }
}

// A period of an hour is lowered when due, even once the run is finishing, and again
// where the lowering failed: a calm waits for the period that the file says. It is over
// once a flush followed the lowering.
void lower_long_period(Run& run, long t) {
  if (run.long_period_at < 0 || t < run.lower_at || writes.contains(run.lowering)) return;
  if (!run.lowered) {
    if (run.lowering == 0) check_cost(run, t), ++run.lowerings;
    run.lowering = start_write(6, static_cast<int>(pick(1, 3)));
  } else if (run.lowered_at < 0) {
    run.long_period_at = -1, run.lowering = 0, run.lowered = false;
  }
}

// Undoes the cells that are due, and now and then does a cell, up to three at a time,
// none while a period of an hour runs.
void inject(Run& run, long t) {
  for (std::size_t k = active.size(); k-- > 0;) {
    if (t >= active[k].undo_at) undo(run, k);
  }
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

// More writers at a time while the lock is removed or moved again and again; a third of
// them confined. Ageing times stay as they are while a calm times the flushes.
void start_writers(const Run& run, long t) {
  if (writes.size() >= (remover != 0 ? 16U : 3U) || !chance(remover != 0 ? 0.5 : 0.1) || run.long_period_at >= 0) {
    return;
  }
  const int index = static_cast<int>(in_calm(run) && t > run.check_at - 500 ? pick(0, 4) : pick(0, 8));
  const auto& range = EMULATED_PARAMETERS[static_cast<std::size_t>(index)];
  start_write(index, static_cast<int>(index == 5 || index == 6 ? pick(1, 3) : pick(range.minimum, range.maximum)),
              chance(1.0 / 3));
}

// A calm: every fault undone and what the undoing left put right; within a period and a
// second one daemon holds the lock, and then flushes on the period that the file says.
void begin_calm(Run& run, long t) {
  while (!active.empty()) undo(run, active.size() - 1);
  if (remover != 0) kill(remover, SIGKILL), remover = 0;
  // Many starts leave many update processes, as they would: one is enough from here on.
  while (updates.size() > 1) kill(updates.begin()->first, SIGKILL), updates.erase(updates.begin());
  // What the undoing could not put back is put right, and may have lost the state.
  repair();
  tainting_active = 0;
  broken = false;
  taint();
  // After a fault outside the promise, whatever the folder holds once put right stands,
  // and what holds then holds within a look: a daemon looks every 5 s, however long the
  // period it last read.
  const long look = outside ? 5000 : 0;
  ParameterValues values;
  if (outside && read_parameters(STATE.c_str(), values) == 0) {
    for (std::size_t i = 0; i < 9; ++i) accepted[i].insert(values[i]);
  }
  for (auto& [pid, w] : writes) w.excused = w.excused || outside;
  outside = false;
  taint_ended = t + look;
  run.check_at = t + (look > 0 ? look + 1000 : std::min(run.period, 6000L)) + 1000;
  run.calm_flushes.clear();
  calm_began = run.last_fault_change = now_ms() + look;  // writes started from then on answer 0
}
// Two flushes a period apart, or, after two periods and a look, none waited for longer.
// Then now and then a storm with the writers' lock removed or moved again and again; or
// a period of an hour, lowered a few seconds later while no fault is done: the daemons
// sleep the hour until their next look.
void end_calm(Run& run, long t, long said) {
  const pid_t one = holder();
  if (daemons.size() != 1 || one == 0) {
    violated(ONE_HOLDER_ONCE_RIGHT,
             std::to_string(daemons.size()) + " daemons, " + (one ? "one" : "none") + " holding the lock");
  }
  const long spacing = run.calm_flushes.size() >= 2 ? run.calm_flushes[1] - run.calm_flushes[0] : t - run.check_at;
  if (std::abs(spacing - said) > 300) {
    violated(ONE_HOLDER_ONCE_RIGHT,
             "flushes " + std::to_string(spacing) + " ms apart, the file says " + std::to_string(said));
  }
  run.check_at = -1;
  run.storm_until = t + pick(5000, 20000, schedule);
  run.done = run.finishing;
  const double storm = std::uniform_real_distribution<>(0, 1)(schedule);
  if (!run.done && storm < 0.3) {
    const bool moving = storm < 0.15;
    remove_the_lock_again_and_again(moving);
    ++storms[moving ? 1 : 0];
    outside = outside || moving;
    run.last_fault_change = t;
  }
  if (!run.done && storm >= 0.3 && storm < 0.5) {
    start_write(5, 3600), start_write(6, 3600), run.long_period_at = t, run.lower_at = t + pick(2000, 5000, schedule);
    for (auto& [pid, d] : daemons) d.cpu_at = cpu_ms(pid);
  }
  calm_began = -1;
}
void calm(Run& run, long t) {
  const long said = std::min(run.values[5], run.values[6]) * 1000L;
  if (!in_calm(run) && run.long_period_at < 0 && (t >= run.storm_until || (run.finishing && writes.empty()))) {
    begin_calm(run, t);
  } else if (in_calm(run) && t >= run.check_at &&
             (run.calm_flushes.size() >= 2 || t >= run.check_at + 2 * said + 6000)) {
    end_calm(run, t, said);
  }
}

// All done: the last write took away what writers left, and each daemon is as it started.
void finish() {
  start_write(0, 25);
  while (!writes.empty()) {
    int status = 0;
    const pid_t pid = wait(&status);
    if (writes.erase(pid) > 0 && status != 0) violated(WRITES_HOLD, "the last write failed");
  }
  if (sh("find " + STATE + " -name 'new-*' | grep -q .") == 0) violated(NOTHING_LEFT, "a new file is left");
  for (auto& [pid, d] : daemons) {
    int fds = 0;
    holds_lock(pid, &fds);
    if (d.fds >= 0 && (fds != d.fds || anonymous_kb(pid) > d.anonymous_kb + 8)) {
      violated(NOTHING_LEFT, "a daemon had " + std::to_string(d.fds) + " descriptors and " +
                                 std::to_string(d.anonymous_kb) + " kB, now " + std::to_string(fds) + " and " +
                                 std::to_string(anonymous_kb(pid)));
    }
    kill(pid, SIGKILL);
  }
  for (const auto& [pid, started] : updates) kill(pid, SIGKILL);
  while (wait(nullptr) > 0) {
  }
  if (!cgroups.empty()) sh("rmdir " + cgroups + "/* " + cgroups);
}

// The matrix of cells done, the violations of each invariant, and the verdict.
int report(const Run& run, long long seconds, long long seed) {
  std::printf("faults done, %lld seconds: what a root neighbour did (columns) to what (rows); - cannot apply\n",
              seconds);
  std::printf("%-27s", "");
  for (const Row& r : ROWS) std::printf(" %8.8s", r.label);
  std::printf("\n");
  for (std::size_t c = 0; c < COLUMNS.size(); ++c) {
    std::printf("%-27s", (COLUMNS[c].name + std::string(COLUMNS[c].promise == OUTSIDE ? "*" : "")).c_str());
    for (std::size_t r = 0; r < std::size(ROWS); ++r) {
      if (applies(r, c))
        std::printf(" %8ld", run.injected[r][c]);
      else
        std::printf(" %8s", "-");
    }
    std::printf("\n");
  }
  std::printf(
      "* outside the promise: until the next calm, only calls' bounds, the update process, two daemons'\n"
      "  flushes and what holds once things are put right are checked; %ld breaches of others not counted\n",
      excused);
  std::printf("%8ld  undoings failed, their taint kept until a calm put things right\n", failed_undoings);
  std::printf("%8ld  storms with the writers' lock removed again and again, %ld moved too (*)\n", storms[0], storms[1]);
  std::printf("%8ld  periods of an hour lowered while the daemons slept them\n", run.lowerings);
  std::printf("%8ld  flush daemons, %ld writers started without capabilities, under umask 0777\n", confined_daemons,
              confined_writers);
  std::printf("violations:\n");
  long total = 0;
  for (int i = 0; i < INVARIANT_COUNT; ++i)
    total += violations[i], std::printf("%8ld  %s\n", violations[i], INVARIANTS[i]);
  std::printf("%ld flushes; the largest gap between two, %ld ms, against a period of %ld ms\n", run.flushes,
              run.worst_gap, run.worst_gap_period);
  std::printf("%ld writes answered 0, %ld an error, %ld were killed\n", writes_ended[0], writes_ended[1],
              writes_ended[2]);
  std::printf(total == 0 ? "fault campaign passed, seed %lld\n" : "fault campaign FAILED, seed %lld\n", seed);
  return total == 0 ? 0 : 1;
}

}  // namespace

// The flush control call as the update process makes it.
long kernel_flush_call(int func, long data) { return emulated_flush_call(STATE.c_str(), func, data); }

// The flush daemons' and the update processes' flushes: each one a record of who flushed
// for the campaign to count, written whole in one step.
constexpr ssize_t FLUSH_RECORD = 2 * sizeof(int);
extern "C" void sync() noexcept {
  const int record[2] = {flush_mark, getpid()};
  if (write(flush_pipe[1], record, FLUSH_RECORD) != FLUSH_RECORD) {
    // The campaign stopped counting.
  }
}

// A whole number, or false.
bool whole_number(const char* text, long long& number) {
  char* end = nullptr;
  errno = 0;
  number = std::strtoll(text, &end, 10);
  return *text >= '0' && *text <= '9' && *end == '\0' && errno == 0;
}

int main(int argc, char* argv[]) {
  long long seconds = 60, seed = std::random_device()();
  for (int i = 1; i < argc; i += 2) {
    const bool known = std::strcmp(argv[i], "--seconds") == 0 || std::strcmp(argv[i], "--seed") == 0;
    if (!known || i + 1 >= argc ||
        !whole_number(argv[i + 1], std::strcmp(argv[i], "--seconds") == 0 ? seconds : seed)) {
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
  // A cgroup v2 of the campaign's own, where one can be made, for the freezes; those of
  // runs that were killed go, where they are empty.
  for (const char* v2 : {"/sys/fs/cgroup/unified", "/sys/fs/cgroup"}) {
    sh(std::string("rmdir ") + v2 + "/corvane-campaign-*/* " + v2 + "/corvane-campaign-*");
    const std::string group = std::string(v2) + "/corvane-campaign-" + std::to_string(seed);
    if (cgroups.empty() && access((std::string(v2) + "/cgroup.procs").c_str(), W_OK) == 0 &&
        mkdir(group.c_str(), 0755) == 0) {
      cgroups = group;
    }
  }
  for (std::size_t i = 0; i < 9; ++i) accepted[i] = {EMULATED_PARAMETERS[i].default_value};

  Run run;
  for (std::size_t r = 0; r < std::size(ROWS); ++r) {
    for (std::size_t c = 0; c < COLUMNS.size(); ++c) {
      if (applies(r, c)) run.cells.emplace_back(r, c);
    }
  }
  run.injected.assign(std::size(ROWS), std::vector<long>(COLUMNS.size()));
  const long begun = now_ms();
  run.end = begun + seconds * 1000;
  run.last_flush = run.flush_before_last = run.gap_from = run.last_update_flush = run.update_gap_from = begun;
  run.storm_until = begun + pick(2000, 6000, schedule);
  start_daemon();
  start_daemon();
  start_update();
  while (!run.done) {
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
    usleep(10000);
  }
  finish();
  return report(run, seconds, seed);
}
