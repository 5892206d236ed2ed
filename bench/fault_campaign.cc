// A randomized fault campaign against the emulated flush interface: flush daemons started
// and killed at random, writers and readers all the while, and faults drawn from a table
// done to the state folder and undone a moment later, while a table of invariants is
// checked all through. Run by bench/fault-campaign, as root, in a private mount and PID
// namespace. Ends with status 0 when no invariant was broken.
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
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
#include <vector>

#include "emulated/emulated_interface.h"
#include "tests/no_inotify.h"

namespace {

const std::string ROOT = "/run/c", PARENT = ROOT + "/p", STATE = PARENT + "/corvane", OTHER = ROOT + "/other";
const std::string FILES[] = {"daemon.lock", "parameters.lock", "parameters"};
const std::string RM = "rm -rf ";
int flush_pipe[2];
std::mt19937_64 rng;

long now_ms() {
  timespec t = {};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}
long pick(long low, long high) { return std::uniform_int_distribution<long>(low, high)(rng); }
bool chance(double p) { return std::bernoulli_distribution(p)(rng); }
int sh(const std::string& command) { return std::system(("{ " + command + "; } 2>/dev/null").c_str()); }
// Puts b's entry in a's place and the other way round, in one step.
bool exchange(const std::string& a, const std::string& b) {
  return renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0;
}

// The faults: each done and undone by the campaign; one of a kind at a time. A fault that
// shows readers and writers another state than the folder's own, or may put back an older
// file, taints the parameters: until a write made with no such fault under way, any
// value that any state held is accepted.
struct Fault {
  const char* name;
  bool taints;
  std::function<bool()> apply;
  std::function<void()> undo;
  long longest = 400;  // undone after 10 ms up to this long
};
// The state file that a fifo, a folder or a link stands in for, one of each at a time.
std::array<std::size_t, 3> planted;
std::string at(std::size_t file) { return STATE + "/" + FILES[file]; }
// What the state file is when nothing is wrong: the writers' lock a folder, the others files.
bool right_type(std::size_t file, const struct stat& s) { return file == 1 ? S_ISDIR(s.st_mode) : S_ISREG(s.st_mode); }
bool plant(std::size_t kind, const std::function<int(const char*)>& make) {
  const std::string file = at(planted[kind] = static_cast<std::size_t>(pick(0, 2)));
  if (rename(file.c_str(), (file + ".aside").c_str()) != 0 && errno != ENOENT) return false;
  return make(file.c_str()) == 0;
}
// Puts the file back where the plant still stands; one made right since stays.
void unplant(std::size_t kind) {
  struct stat s;
  const std::string file = at(planted[kind]);
  if (lstat(file.c_str(), &s) == 0 && !right_type(planted[kind], s) && !exchange(file + ".aside", file)) sh(RM + file);
  sh(RM + file + ".aside");
}
// The mount over the folder, wherever the folder is now: its parent may be away or old.
void unmount_state() {
  for (const std::string& folder : {STATE, PARENT + ".away/corvane", PARENT + ".old/corvane"}) {
    while (umount2(folder.c_str(), MNT_DETACH) == 0) {
    }
  }
}
struct Write {
  int index, value;
  long started, ended = -1;
  long paused = 0;  // stopped, in all
};
std::map<pid_t, Write> writes;  // under way
pid_t start_write(int index, int value, bool confined = false);
struct Daemon {
  long started;
  int fds = -1;  // descriptors and anonymous memory once it first held the lock
  long anonymous_kb = -1;
};
std::map<pid_t, Daemon> daemons;
std::map<pid_t, long> stopped;  // daemons and writers, since when
pid_t stopped_daemon = 0, stopped_writer = 0;
template <typename Processes>
pid_t any_of(const Processes& processes) {
  if (processes.empty()) return 0;
  auto p = processes.begin();
  std::advance(p, pick(0, static_cast<long>(processes.size()) - 1));
  return p->first;
}
// Stops a daemon or a writer that is under way, drawn at random, until it is continued.
bool stop(pid_t& which, pid_t pid) {
  which = pid;
  return pid != 0 && kill(pid, SIGSTOP) == 0 && stopped.emplace(pid, now_ms()).second;
}
void go_on(pid_t& which) {
  kill(which, SIGCONT);
  if (auto w = writes.find(which); w != writes.end()) w->second.paused += now_ms() - stopped[which];
  stopped.erase(which);
}
// A daemon's soft limit on descriptors, lowered to a few; the hard one stays, since
// raising a hard limit again takes a capability that root may lack.
pid_t limited = 0;
rlimit limited_from;
std::vector<std::pair<pid_t, long>> restored;  // daemons given their limit back, and when
bool limit_one() {
  limited = any_of(daemons);
  if (limited == 0 || prlimit(limited, RLIMIT_NOFILE, nullptr, &limited_from) != 0) return false;
  const rlimit few = {static_cast<rlim_t>(pick(3, 8)), limited_from.rlim_max};
  return prlimit(limited, RLIMIT_NOFILE, &few, nullptr) == 0;
}
void unlimit() {
  if (prlimit(limited, RLIMIT_NOFILE, &limited_from, nullptr) == 0) restored.emplace_back(limited, now_ms());
}
bool loose_modes = false;  // since the folder was opened to all, until things are put right
// Through a whole storm, now and then: the writers' lock removed again and again, with
// the new file in it, as rm -r would.
pid_t remover = 0;
long removing_storms = 0;
void remove_the_lock_again_and_again() {
  if ((remover = fork()) != 0) return;
  for (const std::string lock = at(1), inside = lock + "/new";; usleep(100)) {
    unlink(inside.c_str());
    rmdir(lock.c_str());
    unlink(lock.c_str());
  }
}
// A write of the first parameter, started for a fault done to it within its first
// millisecond, while it may still be at work.
pid_t a_writer() {
  const pid_t pid = start_write(0, static_cast<int>(pick(0, 100)));
  usleep(static_cast<useconds_t>(pick(0, 1000)));
  return pid;
}
bool fill_up() {
  struct statvfs fs;
  const int fd = open((ROOT + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
  const bool full =
      statvfs(ROOT.c_str(), &fs) == 0 && fallocate(fd, 0, 0, static_cast<off_t>(fs.f_bavail * fs.f_bsize)) == 0;
  return close(fd) == 0 && full;
}
// clang-format off
const std::vector<Fault> FAULTS = {
    {"folder removed", true, [] { return sh(RM + STATE) == 0; }, [] {}},
    {"folder moved away and back", true, [] { return rename(STATE.c_str(), (STATE + ".away").c_str()) == 0; },
     [] { if (rename((STATE + ".away").c_str(), STATE.c_str()) != 0) sh(RM + STATE + ".away"); }},
    {"parent moved away and back", true, [] { return rename(PARENT.c_str(), (PARENT + ".away").c_str()) == 0; },
     [] { rename((PARENT + ".away").c_str(), PARENT.c_str()); }},
    {"parent replaced by a new one", true,
     [] { return sh(RM + PARENT + ".old && mv " + PARENT + " " + PARENT + ".old && mkdir -m 0755 " + PARENT) == 0; }, [] {}},
    {"folder replaced by a link", true,
     [] { return rename(STATE.c_str(), (STATE + ".aside").c_str()) == 0 && symlink(OTHER.c_str(), STATE.c_str()) == 0; },
     [] { if (!exchange(STATE + ".aside", STATE)) rename((STATE + ".aside").c_str(), STATE.c_str()); sh(RM + STATE + ".aside"); }},
    {"folder open to all", false, [] { return chmod(STATE.c_str(), 0777) == 0 && (loose_modes = true); },
     [] { chmod(STATE.c_str(), 0755); }},
    {"folder owned by nobody", false, [] { return chown(STATE.c_str(), 65534, 65534) == 0; },
     [] { [[maybe_unused]] const int ignored = chown(STATE.c_str(), 0, 0); }},
    {"lock removed", false, [] { return sh("rm -r " + at(static_cast<std::size_t>(pick(0, 1)))) == 0; }, [] {}},
    {"fifo in a state file's place", true, [] { return plant(0, [](const char* p) { return mkfifo(p, 0600); }); }, [] { unplant(0); }},
    {"folder in a state file's place", true, [] { return plant(1, [](const char* p) { return mkdir(p, 0700); }); }, [] { unplant(1); }},
    {"link in a state file's place", true,
     [] { return plant(2, [](const char* p) { return symlink((OTHER + "/x").c_str(), p); }); }, [] { unplant(2); }},
    {"tmpfs over the folder", true, [] { return mount("tmpfs", STATE.c_str(), "tmpfs", 0, "mode=0755") == 0; }, unmount_state},
    {"bind mount over the folder", true,
     [] { return sh(RM + OTHER + "/b && mkdir -m 0755 " + OTHER + "/b") == 0 &&
                 mount((OTHER + "/b").c_str(), STATE.c_str(), nullptr, MS_BIND, nullptr) == 0; }, unmount_state},
    {"file system full", false, fill_up, [] { unlink((ROOT + "/filler").c_str()); }},
    {"remounted read-only", false, [] { return mount(nullptr, ROOT.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0; },
     [] { mount(nullptr, ROOT.c_str(), nullptr, MS_REMOUNT, nullptr); }},
    {"writer killed mid-write", false, [] { return kill(a_writer(), SIGKILL) == 0; }, [] {}},
    {"stray new file in the writers' lock", false, [] { return sh("touch " + at(1) + "/new") == 0; }, [] {}},
    {"flush daemon stopped", false, [] { return stop(stopped_daemon, any_of(daemons)); }, [] { go_on(stopped_daemon); }, 3000},
    {"writer stopped", false, [] { return stop(stopped_writer, a_writer()); }, [] { go_on(stopped_writer); }, 8000},
    {"flush daemon held to a few descriptors", false, limit_one, unlimit, 6000},
};
const char* const INVARIANTS[] = {
    "a daemon ends only with EBUSY, to a holder of the lock",
    "flushing never pauses longer than the period and a second",
    "once put right, one daemon holds the lock and flushes on the period",
    "a daemon whose limit is restored yields or holds the lock within a period and a second",
    "a write that succeeds holds until a later one",
    "a write that answers an error never shows up in a listing",
    "no write takes longer than its bound and a second",
    "every listing is whole",
    "what the interface makes has its mode, whatever the writer's umask and capabilities",
    "no new file left, daemons' descriptors and memory as at start",
};
// clang-format on
enum Invariant {
  ENDS_TO_A_HOLDER,
  FLUSHING_NEVER_PAUSES,
  ONE_HOLDER_ONCE_RIGHT,
  RESTORED_DAEMON_SETTLES,
  WRITES_HOLD,
  FAILED_WRITES_CHANGE_NOTHING,
  WRITES_END_IN_TIME,
  LISTINGS_WHOLE,
  MODES_EXACT,
  NOTHING_LEFT,
  INVARIANT_COUNT
};

long violations[INVARIANT_COUNT] = {};  // of each invariant
void violated(Invariant which, const std::string& what) {
  if (++violations[which] <= 5)
    std::printf("  at %ld ms: %s: %s\n", now_ms() % 10000000, INVARIANTS[which], what.c_str());
}

std::vector<Write> ended_writes;  // that succeeded or were killed, for the writes beside them
std::set<int> accepted[9];        // what a listing may show of each parameter, beside writes under way
std::set<int> refused[9];         // what writes that answered an error would have set
long taint_ended = 0;             // when the last tainting fault was undone; while one is active, 0
int tainting_active = 0;

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
pid_t start_write(int index, int value, bool confined) {
  const pid_t pid = start([=] {
    if (confined && !confine()) return 99;
    const long result = emulated_flush_call(STATE.c_str(), 2 * index + 3, value);
    return result == 0 ? 0 : 100 - static_cast<int>(result);
  });
  writes[pid] = {index, value, now_ms()};
  confined_writers += confined ? 1 : 0;
  return pid;
}
// A write that succeeded is what its parameter holds from now on, but for the writes that
// ran beside it, which may have replaced the file after it; one killed may have landed.
long writes_ended[3] = {};  // succeeded, failed, killed
void write_ended(Write w, bool succeeded, bool killed) {
  w.ended = now_ms();
  ++writes_ended[succeeded ? 0 : killed ? 2 : 1];
  std::erase_if(ended_writes, [&](const Write& e) { return e.ended < w.ended - 60000; });
  if (!succeeded && !killed) refused[w.index].insert(w.value);
  if (!succeeded && !killed) return;
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
  unmount_state();
  mount(nullptr, ROOT.c_str(), nullptr, MS_REMOUNT, nullptr);
  sh("rm -f " + ROOT + "/filler; mv -T " + PARENT + ".away " + PARENT + "; rm -rf " + STATE + ".away " + STATE +
     ".aside " + STATE + "/*.aside; [ ! -L " + STATE + " ] || rm " + STATE + "; chown 0:0 " + STATE + "; chmod 0755 " +
     STATE + "; cd " + STATE + " && for f in daemon.lock parameters; do [ ! -e $f ] || [ -f $f ] && [ ! -L $f ] || " +
     "rm -rf $f; done; [ ! -e parameters.lock ] || [ -d parameters.lock ] && [ ! -L parameters.lock ] || rm "
     "parameters.lock");
}

}  // namespace

// The flush daemons' flushes: each one a byte for the campaign to count.
extern "C" void sync() noexcept {
  const char flushed = 's';
  if (write(flush_pipe[1], &flushed, 1) != 1) {
    // The campaign stopped counting.
  }
}

int main(int argc, char* argv[]) {
  long seconds = 60;
  unsigned long long seed = std::random_device()();
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atol(argv[i + 1]);
    if (std::strcmp(argv[i], "--seed") == 0) seed = std::strtoull(argv[i + 1], nullptr, 10);
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("seed %llu\n", seed);
  rng.seed(seed);
  if (mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 || mkdir(ROOT.c_str(), 0755) != 0 ||
      mount("tmpfs", ROOT.c_str(), "tmpfs", 0, "mode=0755,size=2m") != 0 || mkdir(PARENT.c_str(), 0755) != 0 ||
      mkdir(OTHER.c_str(), 0755) != 0 || pipe2(flush_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
    std::perror("fault-campaign: setting up");
    return 2;
  }
  for (std::size_t i = 0; i < 9; ++i) accepted[i] = {EMULATED_PARAMETERS[i].default_value};

  std::vector<long> injected(FAULTS.size()), undo_at(FAULTS.size(), -1);
  std::vector<std::size_t> active;  // in the order they were done
  const long end = now_ms() + seconds * 1000;
  long flushes = 0, last_flush = now_ms(), gap_from = now_ms(), empty_since = -1, last_fault_change = 0;
  long worst_gap = 0, worst_gap_period = 0, storm_until = now_ms() + pick(2000, 6000), check_at = -1;
  std::vector<long> calm_flushes;
  long flush_before_last = now_ms();
  std::vector<std::pair<long, long>> periods;  // when, and the period that the file said then
  auto undo = [&](std::size_t k) {
    FAULTS[k].undo();
    std::erase(active, k);
    undo_at[k] = -1;
    last_fault_change = now_ms();
    if (FAULTS[k].taints) --tainting_active, taint_ended = now_ms();
  };
  start_daemon();
  start_daemon();
  for (bool finishing = false, done = false; !done; usleep(10000)) {
    const long t = now_ms();
    const bool calm = check_at >= 0;
    int status = 0;
    for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;) {
      const bool killed = WIFSIGNALED(status);
      stopped.erase(pid);
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      // In a storm, an undoing that failed may leave the folder other than it seems; once
      // put right, the daemon yielded to must be seen holding the lock.
      if (daemons.erase(pid) > 0 && !killed) {
        if (code != 100 + EBUSY) violated(ENDS_TO_A_HOLDER, "a daemon ended with status " + std::to_string(code));
        if (code == 100 + EBUSY && (daemons.empty() || (calm && t - last_fault_change > 300 && holder() == 0))) {
          violated(ENDS_TO_A_HOLDER, "a daemon yielded where no other holds the lock");
        }
      } else if (auto w = writes.find(pid); w != writes.end()) {
        write_ended(w->second, code == 0, killed);
        writes.erase(w);
      }
    }
    // What a listing shows, and the period that the file says, as a daemon reads it.
    ParameterValues values;
    const int listed = read_parameters(STATE.c_str(), values);
    if (listed == -EIO) violated(LISTINGS_WHOLE, "a listing met a file that is not nine numbers");
    if (listed != 0) set_defaults(values);
    for (std::size_t i = 0; i < 9 && listed == 0; ++i) {
      const bool under_way = std::any_of(writes.begin(), writes.end(), [&](const auto& w) {
        return w.second.index == int(i) && w.second.value == values[i];
      });
      if (!under_way && !accepted[i].contains(values[i])) {
        violated(refused[i].contains(values[i]) ? FAILED_WRITES_CHANGE_NOTHING : WRITES_HOLD,
                 "parameter " + std::to_string(i) + " reads " + std::to_string(values[i]));
        accepted[i].insert(values[i]);
      }
    }
    periods.emplace_back(t, std::min(values[5], values[6]) * 1000L);
    // In force: the longest that the file said since the flush before the last, which a
    // daemon may have read and followed since.
    std::erase_if(periods, [&](const auto& p) { return p.first < flush_before_last; });
    long period = 0;
    for (const auto& p : periods) period = std::max(period, p.second);
    // The flushes, and the gaps between them while a daemon lives.
    for (char flushed; read(flush_pipe[0], &flushed, 1) == 1;) {
      ++flushes;
      flush_before_last = last_flush;
      last_flush = t;
      if (calm && t > check_at) calm_flushes.push_back(t);
    }
    // Counted from the last flush, or from the start of the oldest daemon that lives, whose
    // first flush may come a whole period after it: a daemon that has lived that long,
    // with or without the lock, has flushed, or another has.
    long oldest = t;
    for (const auto& [pid, d] : daemons) oldest = std::min(oldest, d.started);
    // A stopped daemon may hold the lock, and nobody flushes in its place: a pause counts
    // from when it is continued.
    if (stopped_daemon != 0 && stopped.contains(stopped_daemon)) gap_from = t;
    const long gap = t - std::max({last_flush, oldest, gap_from});
    if (!daemons.empty() && gap > worst_gap) worst_gap = gap, worst_gap_period = period;
    if (!daemons.empty() && gap > period + 1000) {
      violated(FLUSHING_NEVER_PAUSES, "no flush for " + std::to_string(gap) + " ms, period " + std::to_string(period));
      gap_from = t;
    }
    for (auto& [pid, w] : writes) {
      const long ran = t - w.started - w.paused - (stopped.contains(pid) ? t - stopped[pid] : 0);
      if (ran > 6000 && kill(pid, SIGKILL) == 0) violated(WRITES_END_IN_TIME, "a write ran for 6 s");
    }
    // A daemon given its descriptors back has, within the longest period it may be on and
    // a second, yielded or taken the lock, unless something else happened meanwhile.
    std::erase_if(restored, [&](const auto& r) {
      if (t < r.second + std::max(period, 5000L) + 1000) return false;
      if (daemons.contains(r.first) && last_fault_change <= r.second && active.empty() && !holds_lock(r.first)) {
        violated(RESTORED_DAEMON_SETTLES, "a daemon serves on without the lock");
      }
      return true;
    });
    struct stat made;
    for (const auto& [path, mode] : {std::pair{STATE, 0755U}, {at(1), 0700U}, {at(2), 0644U}}) {
      if (lstat(path.c_str(), &made) == 0 && (path == at(2) ? S_ISREG(made.st_mode) : S_ISDIR(made.st_mode)) &&
          (path != STATE || !loose_modes) && (made.st_mode & 07777) != mode) {
        char mode_text[8];
        std::snprintf(mode_text, sizeof mode_text, "%o", made.st_mode & 07777);
        violated(MODES_EXACT, path + " has the mode " + mode_text);
      }
    }
    // A daemon's descriptors and memory once it first holds the lock.
    for (auto& [pid, d] : daemons) {
      if (int fds = 0; d.fds < 0 && t - d.started > 500 && holds_lock(pid, &fds)) {
        d.fds = fds;
        d.anonymous_kb = anonymous_kb(pid);
      }
    }
    // As systemd would: started again once none has lived for a second.
    if (!daemons.empty())
      empty_since = -1;
    else if (empty_since < 0)
      empty_since = t;
    else if (t - empty_since >= 1000)
      start_daemon();

    if (!calm && !finishing) {
      if (chance(0.01)) start_daemon();
      if (chance(0.005) && !daemons.empty()) {
        auto d = daemons.begin();
        std::advance(d, pick(0, static_cast<long>(daemons.size()) - 1));
        last_fault_change = t;
        kill(d->first, SIGKILL);
      }
      for (std::size_t k = 0; k < FAULTS.size(); ++k) {
        if (undo_at[k] >= 0 && t >= undo_at[k]) undo(k);
      }
      const auto k = static_cast<std::size_t>(pick(0, static_cast<long>(FAULTS.size()) - 1));
      if (active.size() < 3 && undo_at[k] < 0 && chance(0.15) && FAULTS[k].apply()) {
        ++injected[k];
        active.push_back(k);
        undo_at[k] = t + pick(10, FAULTS[k].longest);
        last_fault_change = t;
        if (FAULTS[k].taints) ++tainting_active, taint();
      }
    }
    if (!finishing || calm) {
      // More writers at a time while the lock is removed again and again; a third of
      // them confined.
      if (writes.size() < (remover != 0 ? 8U : 3U) && chance(remover != 0 ? 0.5 : 0.1)) {
        // Ageing times stay as they are while a calm times the flushes.
        const int index = static_cast<int>(calm && t > check_at - 500 ? pick(0, 4) : pick(0, 8));
        const auto& range = EMULATED_PARAMETERS[static_cast<std::size_t>(index)];
        start_write(index, static_cast<int>(index == 5 || index == 6 ? pick(1, 3) : pick(range.minimum, range.maximum)),
                    chance(1.0 / 3));
      }
    }
    finishing = finishing || t >= end;
    // A calm: every fault undone, no daemon killed; within a period and a second one
    // daemon holds the lock, and then flushes on the period that the file says.
    if (!calm && (t >= storm_until || (finishing && writes.empty()))) {
      while (!active.empty()) undo(active.back());
      if (remover != 0) kill(remover, SIGKILL), remover = 0;
      // What the undoing could not put back is put right, and may have lost the state.
      repair();
      taint();
      taint_ended = t;
      check_at = t + period + 1000;
      calm_flushes.clear();
    } else if (calm && t >= check_at && calm_flushes.size() >= 2) {
      const pid_t one = holder();
      if (daemons.size() != 1 || one == 0) {
        violated(ONE_HOLDER_ONCE_RIGHT,
                 std::to_string(daemons.size()) + " daemons, " + (one ? "one" : "none") + " holding the lock");
      }
      const long spacing = calm_flushes[1] - calm_flushes[0], said = std::min(values[5], values[6]) * 1000L;
      if (std::abs(spacing - said) > 300) {
        violated(ONE_HOLDER_ONCE_RIGHT,
                 "flushes " + std::to_string(spacing) + " ms apart, the file says " + std::to_string(said));
      }
      check_at = -1;
      storm_until = t + pick(5000, 20000);
      done = finishing;
      if (!done && chance(0.3)) remove_the_lock_again_and_again(), ++removing_storms, last_fault_change = t;
    }
  }

  // All done: the last write took away what writers left, and each daemon is as it started.
  start_write(0, 25);
  while (!writes.empty()) {
    int status = 0;
    const pid_t pid = wait(&status);
    if (writes.erase(pid) > 0 && status != 0) violated(WRITES_HOLD, "the last write failed");
  }
  if (sh("find " + STATE + " -name new -o -name '*.new' | grep -q .") == 0)
    violated(NOTHING_LEFT, "a new file is left");
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

  std::printf("faults injected, %ld seconds:\n", seconds);
  for (std::size_t k = 0; k < FAULTS.size(); ++k) std::printf("%8ld  %s\n", injected[k], FAULTS[k].name);
  std::printf("%8ld  storms with the writers' lock removed again and again\n", removing_storms);
  std::printf("%8ld  flush daemons, %ld writers started without capabilities, under umask 0777\n", confined_daemons,
              confined_writers);
  std::printf("violations:\n");
  long total = 0;
  for (int i = 0; i < INVARIANT_COUNT; ++i)
    total += violations[i], std::printf("%8ld  %s\n", violations[i], INVARIANTS[i]);
  std::printf("%ld flushes; the largest gap between two, %ld ms, against a period of %ld ms\n", flushes, worst_gap,
              worst_gap_period);
  std::printf("%ld writes answered 0, %ld an error, %ld were killed\n", writes_ended[0], writes_ended[1],
              writes_ended[2]);
  std::printf(total == 0 ? "fault campaign passed, seed %llu\n" : "fault campaign FAILED, seed %llu\n", seed);
  return total == 0 ? 0 : 1;
}
