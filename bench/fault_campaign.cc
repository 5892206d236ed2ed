// A randomized fault campaign against the emulated flush interface: flush daemons started
// and killed at random, writers and readers all the while, and faults drawn from a table
// done to the state folder and undone a moment later, while a table of invariants is
// checked all through. Run by bench/fault-campaign, as root, in a private mount and PID
// namespace. Ends with status 0 when no invariant was broken.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
// Puts path2's entry in path1's place and the other way round, in one step.
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
};
std::string planted;  // the state file that a fifo, folder or link stands in for
bool plant(const std::function<int(const char*)>& make) {
  planted = STATE + "/" + FILES[static_cast<std::size_t>(pick(0, 2))];
  if (rename(planted.c_str(), (planted + ".aside").c_str()) != 0 && errno != ENOENT) return false;
  return make(planted.c_str()) == 0;
}
// Puts the file back where the plant still stands; a file put there since stays.
void unplant() {
  struct stat s;
  if (lstat(planted.c_str(), &s) == 0 && !S_ISREG(s.st_mode) && !exchange(planted + ".aside", planted)) {
    sh(RM + planted);
  }
  sh(RM + planted + ".aside");
}
// The mount over the folder, wherever the folder is now: its parent may be away or old.
void unmount_state() {
  for (const std::string& at : {STATE, PARENT + ".away/corvane", PARENT + ".old/corvane"}) {
    while (umount2(at.c_str(), MNT_DETACH) == 0) {
    }
  }
}
struct Write {
  int index, value;
  long started, ended = -1;
};
std::map<pid_t, Write> writes;  // under way
void start_write(int index, int value);
// A write of the first parameter, killed within its first three milliseconds.
bool kill_a_writer() {
  start_write(0, static_cast<int>(pick(0, 100)));
  usleep(static_cast<useconds_t>(pick(0, 3000)));
  return kill(std::prev(writes.end())->first, SIGKILL) == 0;
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
    {"folder open to all", false, [] { return chmod(STATE.c_str(), 0777) == 0; }, [] { chmod(STATE.c_str(), 0755); }},
    {"folder owned by nobody", false, [] { return chown(STATE.c_str(), 65534, 65534) == 0; },
     [] { [[maybe_unused]] const int ignored = chown(STATE.c_str(), 0, 0); }},
    {"lock file removed", false, [] { return unlink((STATE + "/" + FILES[static_cast<std::size_t>(pick(0, 1))]).c_str()) == 0; }, [] {}},
    {"fifo in a state file's place", true, [] { return plant([](const char* p) { return mkfifo(p, 0600); }); }, unplant},
    {"folder in a state file's place", true, [] { return plant([](const char* p) { return mkdir(p, 0700); }); }, unplant},
    {"link in a state file's place", true,
     [] { return plant([](const char* p) { return symlink((OTHER + "/x").c_str(), p); }); }, unplant},
    {"tmpfs over the folder", true, [] { return mount("tmpfs", STATE.c_str(), "tmpfs", 0, "mode=0755") == 0; }, unmount_state},
    {"bind mount over the folder", true,
     [] { return sh(RM + OTHER + "/b && mkdir -m 0755 " + OTHER + "/b") == 0 &&
                 mount((OTHER + "/b").c_str(), STATE.c_str(), nullptr, MS_BIND, nullptr) == 0; }, unmount_state},
    {"file system full", false, fill_up, [] { unlink((ROOT + "/filler").c_str()); }},
    {"remounted read-only", false, [] { return mount(nullptr, ROOT.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0; },
     [] { mount(nullptr, ROOT.c_str(), nullptr, MS_REMOUNT, nullptr); }},
    {"writer killed mid-write", false, kill_a_writer, [] {}},
    {"stray temporary file", false,
     [] { return sh("touch " + STATE + "/parameters." + std::to_string(pick(1, 1 << 20)) + ".new") == 0; }, [] {}},
};
const char* const INVARIANTS[] = {
    "a daemon ends only with EBUSY, to a holder of the lock",
    "flushing never pauses longer than the period and a second",
    "once put right, one daemon holds the lock and flushes on the period",
    "a write that succeeds holds, one that fails changes nothing, none hangs",
    "every listing is whole",
    "no temporary file left, daemons' descriptors and memory as at start",
};
// clang-format on
enum Invariant {
  ENDS_TO_A_HOLDER,
  FLUSHING_NEVER_PAUSES,
  ONE_HOLDER_ONCE_RIGHT,
  WRITES_HOLD,
  LISTINGS_WHOLE,
  NOTHING_LEFT
};

long violations[6] = {};  // of each invariant
void violated(Invariant which, const std::string& what) {
  if (++violations[which] <= 5)
    std::printf("  at %ld ms: %s: %s\n", now_ms() % 10000000, INVARIANTS[which], what.c_str());
}

struct Daemon {
  long started;
  int fds = -1;  // descriptors and anonymous memory once it first held the lock
  long anonymous_kb = -1;
};
std::map<pid_t, Daemon> daemons;
std::vector<Write> ended_writes;  // that succeeded or were killed, for the writes beside them
std::set<int> accepted[9];        // what a listing may show of each parameter, beside writes under way
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
// Half the daemons start where no inotify instance can be had: in a user namespace of
// their own, root mapped to root, that allows none.
void start_daemon() {
  const bool without_inotify = chance(0.5);
  daemons[start([=] {
    if (without_inotify && !withhold_inotify()) return 99;
    return 100 - static_cast<int>(emulated_flush_call(STATE.c_str(), 0, 0));
  })] = {now_ms()};
}
void start_write(int index, int value) {
  const pid_t pid = start([=] {
    const long result = emulated_flush_call(STATE.c_str(), 2 * index + 3, value);
    return result == 0 ? 0 : 100 - static_cast<int>(result);
  });
  writes[pid] = {index, value, now_ms()};
}
// A write that succeeded is what its parameter holds from now on, but for the writes that
// ran beside it, which may have replaced the file after it; one killed may have landed.
void write_ended(Write w, bool succeeded, bool killed) {
  w.ended = now_ms();
  std::erase_if(ended_writes, [&](const Write& e) { return e.ended < w.ended - 60000; });
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
  unmount_state();
  mount(nullptr, ROOT.c_str(), nullptr, MS_REMOUNT, nullptr);
  sh("rm -f " + ROOT + "/filler; mv -T " + PARENT + ".away " + PARENT + "; rm -rf " + STATE + ".away " + STATE +
     ".aside " + STATE + "/*.aside; [ ! -L " + STATE + " ] || rm " + STATE + "; chown 0:0 " + STATE + "; chmod 0755 " +
     STATE + "; cd " + STATE + " && for f in daemon.lock parameters.lock parameters; do [ ! -e $f ] || [ -f $f ] && " +
     "[ ! -L $f ] || rm -rf $f; done");
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
        violated(WRITES_HOLD, "parameter " + std::to_string(i) + " reads " + std::to_string(values[i]));
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
    const long gap = t - std::max({last_flush, oldest, gap_from});
    if (!daemons.empty() && gap > worst_gap) worst_gap = gap, worst_gap_period = period;
    if (!daemons.empty() && gap > period + 1000) {
      violated(FLUSHING_NEVER_PAUSES, "no flush for " + std::to_string(gap) + " ms, period " + std::to_string(period));
      gap_from = t;
    }
    for (auto& [pid, w] : writes) {
      if (t - w.started > 5000 && kill(pid, SIGKILL) == 0) violated(WRITES_HOLD, "a write hung for 5 s");
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
        undo_at[k] = t + pick(10, 400);
        last_fault_change = t;
        if (FAULTS[k].taints) ++tainting_active, taint();
      }
    }
    if (!finishing || calm) {
      if (writes.size() < 3 && chance(0.1)) {
        // Ageing times stay as they are while a calm times the flushes.
        const int index = static_cast<int>(calm && t > check_at - 500 ? pick(0, 4) : pick(0, 8));
        const auto& range = EMULATED_PARAMETERS[static_cast<std::size_t>(index)];
        start_write(index,
                    static_cast<int>(index == 5 || index == 6 ? pick(1, 3) : pick(range.minimum, range.maximum)));
      }
    }
    finishing = finishing || t >= end;
    // A calm: every fault undone, no daemon killed; within a period and a second one
    // daemon holds the lock, and then flushes on the period that the file says.
    if (!calm && (t >= storm_until || (finishing && writes.empty()))) {
      while (!active.empty()) undo(active.back());
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
    }
  }

  // All done: the last write swept what writers left, and each daemon is as it started.
  start_write(0, 25);
  while (!writes.empty()) {
    int status = 0;
    const pid_t pid = wait(&status);
    if (writes.erase(pid) > 0 && status != 0) violated(WRITES_HOLD, "the last write failed");
  }
  if (sh("ls " + STATE + " | grep -q '\\.new$'") == 0) violated(NOTHING_LEFT, "a temporary file is left: " + STATE);
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
  std::printf("violations:\n");
  long total = 0;
  for (int i = 0; i < 6; ++i) total += violations[i], std::printf("%8ld  %s\n", violations[i], INVARIANTS[i]);
  std::printf("%ld flushes; the largest gap between two, %ld ms, against a period of %ld ms\n", flushes, worst_gap,
              worst_gap_period);
  std::printf(total == 0 ? "fault campaign passed, seed %llu\n" : "fault campaign FAILED, seed %llu\n", seed);
  return total == 0 ? 0 : 1;
}
