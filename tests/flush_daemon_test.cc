#include "emulated/flush_daemon.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/fake_kernel.h"
#include "tests/state_folder.h"

namespace {

class FlushDaemon : public StateFolder {
 protected:
  std::string lock() const { return state + "/daemon.lock"; }
};

// A daemon that serves a folder of its own beside others, and the pipe its flushes are
// counted on.
struct Counted {
  std::string state;
  pid_t pid;
  int syncs;
};

Counted start_counted(const std::string& folder, bool without_inotify = false, bool without_streams = false) {
  int syncs[2] = {-1, -1};
  EXPECT_EQ(pipe2(syncs, O_NONBLOCK), 0);
  const pid_t pid = start_flush_daemon(folder, syncs[1], without_inotify, without_streams);
  close(syncs[1]);
  return {folder, pid, syncs[0]};
}

// One daemon holds the lock at a time. The first flushes at once, since no flush is
// recorded; the one that takes the lock from it flushes an ageing time after that flush.
TEST_F(FlushDaemon, OneAtATime) {
  int syncs[2];
  ASSERT_EQ(pipe2(syncs, O_NONBLOCK), 0);
  const pid_t first = start_flush_daemon(state, syncs[1]);
  ASSERT_GT(first, 0);
  ASSERT_TRUE(comes_to_hold(first, lock()));
  usleep(100000);
  EXPECT_EQ(flushes(syncs[0]), 1) << "the first flushes as it takes the lock";
  const pid_t second = start_flush_daemon(state, syncs[1]);
  EXPECT_EQ(ended_within(second, 5000), 100 + EBUSY);
  EXPECT_EQ(ended_within(first, 100), -1) << "the first serves on";
  kill_and_reap(first);
  flushes(syncs[0]);
  const pid_t third = start_flush_daemon(state, syncs[1]);
  EXPECT_EQ(ended_within(third, 300), -1) << "the lock went with the first";
  EXPECT_EQ(flushes(syncs[0]), 0) << "the third goes by the first one's flush";
  kill_and_reap(third);
  close(syncs[0]);
  close(syncs[1]);
}

// The daemon flushes an ageing time after the last flush, whoever made it; a record put
// forward by hand again and again puts it off to two ageing times after its own at most.
TEST_F(FlushDaemon, FlushesAnAgeingTimeAfterTheLastFlushByAnyone) {
  ASSERT_EQ(emulated_flush_call(state.c_str(), 2 * 5 + 3, 2), 0);
  ASSERT_EQ(emulated_flush_call(state.c_str(), 2 * 6 + 3, 2), 0);
  const Counted daemon = start_counted(state);
  ASSERT_TRUE(comes_to_hold(daemon.pid, lock()));
  usleep(100000);
  EXPECT_EQ(flushes(daemon.syncs), 1) << "no flush recorded";
  usleep(1000000);
  const std::string record = state + "/flushed";
  const timespec now[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
  ASSERT_EQ(utimensat(AT_FDCWD, record.c_str(), now, 0), 0) << "another process's flush";
  usleep(1500000);
  EXPECT_EQ(flushes(daemon.syncs), 0) << "two seconds after its own flush, not after the other";
  usleep(800000);
  EXPECT_EQ(flushes(daemon.syncs), 1) << "two seconds after the other";
  for (int i = 0; i < 45; ++i, usleep(200000)) ASSERT_EQ(utimensat(AT_FDCWD, record.c_str(), now, 0), 0);
  const int in_nine_seconds = flushes(daemon.syncs);
  EXPECT_GE(in_nine_seconds, 2) << "every four seconds at most";
  EXPECT_LE(in_nine_seconds, 3) << "and no more often";
  kill_and_reap(daemon.pid);
  close(daemon.syncs);
}

// Whatever is done to the folder while a daemon serves, and whoever starts next, within a
// look one daemon serves, and it holds the lock where the next one looks for it.
TEST_F(FlushDaemon, OneAtATimeWhateverIsDoneToTheFolder) {
  struct Case {
    const char* name;
    const char* command;  // %s: the state folder
  };
  const Case cases[] = {
      {"folder removed", "rm -rf %s"},
      {"lock file removed", "rm %s/daemon.lock"},
      {"folder moved away", "mv %s %s.moved"},
      {"folder and lock file removed again and again",
       "perl -e 'for (1..1000000) { unlink \"%s/daemon.lock\"; rmdir \"%s\" }'"},
  };
  for (const Case& c : cases) {
    for (const int pause_ms : {0, 500}) {
      const pid_t first = start_flush_daemon(state);
      ASSERT_TRUE(comes_to_hold(first, lock())) << c.name;
      ASSERT_EQ(run_on(c.command, state), 0) << c.command;
      usleep(static_cast<useconds_t>(pause_ms) * 1000);
      const pid_t second = start_flush_daemon(state);
      int first_status = -1;
      int second_status = -1;
      for (int waited = 0; waited < 6000 && first_status == -1 && second_status == -1; waited += 10) {
        first_status = ended_within(first, 0);
        second_status = ended_within(second, 10);
      }
      const std::string what = std::string(c.name) + ", second started after " + std::to_string(pause_ms) + " ms";
      EXPECT_EQ(std::max(first_status, second_status), 100 + EBUSY) << what;
      const pid_t serving = first_status == -1 ? first : second;
      EXPECT_TRUE(comes_to_hold(serving, lock())) << what;
      const pid_t third = start_flush_daemon(state);
      EXPECT_EQ(ended_within(third, 5000), 100 + EBUSY) << what;
      kill_and_reap(serving);
      ASSERT_EQ(std::system(("rm -rf " + state + " " + state + ".moved").c_str()), 0);
    }
  }
}

// Whatever is wrong with the folder, the daemon flushes on, with the defaults, and takes
// the folder once it is put right. The daemons run side by side, each in a folder of its
// own, to wait out the default period once.
TEST_F(FlushDaemon, ServesThroughEveryFaultAndTakesTheFolderOncePutRight) {
  struct Case {
    const char* name;
    const char* spoil;  // %s: the state folder, made and empty
    const char* mend;
  };
  const Case cases[] = {
      {"open to all", "chmod 0777 %s", "chmod 0755 %s"},
      {"owned by nobody", "chown 65534 %s", "chown 0 %s"},
      {"a link", "mv %s %s.real && ln -s %s.real %s", "rm %s && mv %s.real %s"},
      {"lock file a fifo", "mkfifo -m 0600 %s/daemon.lock", "rm %s/daemon.lock"},
  };
  std::vector<Counted> daemons;
  for (const Case& c : cases) {
    const std::string folder = state + "." + std::to_string(daemons.size());
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(run_on(c.spoil, folder), 0) << c.spoil;
    daemons.push_back(start_counted(folder));
  }
  usleep(5500000);
  for (std::size_t i = 0; i < daemons.size(); ++i) {
    EXPECT_EQ(ended_within(daemons[i].pid, 10), -1) << cases[i].name;
    EXPECT_EQ(flushes(daemons[i].syncs), 2) << cases[i].name << ": at once, with no record to go by, and 5 s later";
    ASSERT_EQ(run_on(cases[i].mend, daemons[i].state), 0) << cases[i].mend;
  }
  for (std::size_t i = 0; i < daemons.size(); ++i) {
    EXPECT_TRUE(comes_to_hold(daemons[i].pid, daemons[i].state + "/daemon.lock")) << cases[i].name;
    kill_and_reap(daemons[i].pid);
    close(daemons[i].syncs);
  }
}

// The lock holder looks at what it holds at every flush, with or without a watch: a lock
// file changed in place is let go within a period and a second, while the flushing goes
// on, and taken again as fast once put right. A folder changed in place is refused to
// everybody else, and the lock held on it stays held. The daemons run side by side, each
// in a folder of its own.
TEST_F(FlushDaemon, LetsALockChangedInPlaceGoAndTakesItBackPutRight) {
  struct Case {
    const char* name;
    const char* spoil;  // %s: the state folder
    const char* mend;
    bool let_go;
  };
  const Case cases[] = {
      {"folder open to all", "chmod 0777 %s", "chmod 0755 %s", false},
      {"folder owned by nobody", "chown 65534 %s", "chown 0 %s", false},
      {"lock file readable by others", "chmod 0644 %s/daemon.lock", "chmod 0600 %s/daemon.lock", true},
  };
  struct Daemon : Counted {
    std::string what;
    const Case* c;
  };
  std::vector<Daemon> daemons;
  for (const bool without_inotify : inotify_cases()) {
    for (const Case& c : cases) {
      const std::string folder = state + "." + std::to_string(daemons.size());
      ASSERT_EQ(emulated_flush_call(folder.c_str(), 2 * 6 + 3, 1), 0);
      daemons.push_back({start_counted(folder, without_inotify),
                         std::string(c.name) + (without_inotify ? ", without inotify" : ""), &c});
    }
  }
  for (const Daemon& d : daemons) {
    ASSERT_TRUE(comes_to_hold(d.pid, d.state + "/daemon.lock")) << d.what;
    ASSERT_EQ(run_on(d.c->spoil, d.state), 0) << d.c->spoil;
    flushes(d.syncs);
  }
  usleep(2100000);
  for (const Daemon& d : daemons) {
    EXPECT_TRUE(comes_to_hold(d.pid, d.state + "/daemon.lock", !d.c->let_go, 0)) << d.what << ": let go or held";
    EXPECT_GE(flushes(d.syncs), 1) << d.what << ": the flushing goes on";
    ASSERT_EQ(run_on(d.c->mend, d.state), 0) << d.c->mend;
  }
  usleep(2100000);
  for (const Daemon& d : daemons) {
    EXPECT_TRUE(comes_to_hold(d.pid, d.state + "/daemon.lock", true, 0)) << d.what << ": the lock is held";
    EXPECT_GE(flushes(d.syncs), 1) << d.what << ": the flushing goes on";
    EXPECT_EQ(ended_within(d.pid, 0), -1) << d.what;
    kill_and_reap(d.pid);
    close(d.syncs);
  }
}

// The period follows what the file says, and nothing else: not the wall clock, which may
// be stepped; not a failure that says nothing about the file, such as a daemon held to
// three descriptors; but a file or folder removed, which the listing shows as the
// defaults, and a same-size change in place within the same second. Each daemon serves a
// folder of its own, on a period of a second at first, and its flushes are counted in two
// windows: after something happened, and after its descriptors are given back.
TEST_F(FlushDaemon, FollowsTheFileAndNothingElse) {
  struct Case {
    const char* name;
    const char* meanwhile;            // %s: the daemon's folder; "limit": three descriptors, then a write
    int first_period, second_period;  // what it flushes on in each window, in seconds
  };
  const Case cases[] = {
      {"the wall clock runs backwards", nullptr, 1, 1},
      {"the parameters file removed", "rm %s/parameters", 5, 5},
      {"the folder removed", "rm -r %s", 5, 5},
      {"a same-size change in place within the second", "sed 7s/1/2/ %s/parameters >%s.x && cat %s.x >%s/parameters", 2,
       2},
      {"held to three descriptors while the file changes", "limit", 1, 2},
  };
  struct Daemon : Counted {
    const Case* c;
  };
  std::vector<Daemon> daemons;
  for (const Case& c : cases) {
    const std::string folder = state + "." + std::to_string(daemons.size());
    ASSERT_EQ(emulated_flush_call(folder.c_str(), 2 * 6 + 3, 1), 0);
    fake_kernel::state().wall_clock_backwards = c.meanwhile == nullptr;
    // Without standard streams, where a file opened at the limit lands on descriptor 0.
    daemons.push_back({start_counted(folder, false, true), &c});
    fake_kernel::state().wall_clock_backwards = false;
  }
  for (const Daemon& d : daemons) ASSERT_TRUE(comes_to_hold(d.pid, d.state + "/daemon.lock")) << d.c->name;
  // The change in place comes within the second of the write before it, which the daemon
  // read: the file's change time differs from the one read in its nanoseconds alone.
  timespec wall = {};
  do {
    usleep(10000);
    clock_gettime(CLOCK_REALTIME, &wall);
  } while (wall.tv_nsec > 100'000'000);
  for (const Daemon& d : daemons) ASSERT_EQ(emulated_flush_call(d.state.c_str(), 2 * 6 + 3, 1), 0);
  usleep(200000);
  rlimit before = {};
  for (const Daemon& d : daemons) {
    if (d.c->meanwhile == nullptr) continue;
    if (std::string(d.c->meanwhile) != "limit") {
      ASSERT_EQ(run_on(d.c->meanwhile, d.state), 0) << d.c->meanwhile;
      continue;
    }
    // The soft limit alone: raising a hard one again takes a capability that root may lack.
    ASSERT_EQ(prlimit(d.pid, RLIMIT_NOFILE, nullptr, &before), 0);
    const rlimit three = {3, before.rlim_max};
    ASSERT_EQ(prlimit(d.pid, RLIMIT_NOFILE, &three, nullptr), 0);
    ASSERT_EQ(emulated_flush_call(d.state.c_str(), 2 * 6 + 3, 2), 0);
  }
  constexpr int WINDOW_MS = 4500;
  auto expect_periods = [&](int Case::*period, const char* window) {
    for (const Daemon& d : daemons) flushes(d.syncs);
    usleep(WINDOW_MS * 1000);
    for (const Daemon& d : daemons) {
      const int seconds = d.c->*period;
      const int count = flushes(d.syncs);
      EXPECT_GE(count, WINDOW_MS / 1000 / seconds) << d.c->name << ", " << window;
      EXPECT_LE(count, WINDOW_MS / 1000 / seconds + 1) << d.c->name << ", " << window;
    }
  };
  usleep(1000000);
  expect_periods(&Case::first_period, "first window");
  for (const Daemon& d : daemons) {
    if (d.c->meanwhile != nullptr && std::string(d.c->meanwhile) == "limit") {
      ASSERT_EQ(prlimit(d.pid, RLIMIT_NOFILE, &before, nullptr), 0);
    }
  }
  usleep(1200000);
  expect_periods(&Case::second_period, "second window");
  for (const Daemon& d : daemons) {
    EXPECT_EQ(ended_within(d.pid, 0), -1) << d.c->name;
    kill_and_reap(d.pid);
    close(d.syncs);
  }
}

// On a period of an hour, what the watch reports counts at once: a lowered period is
// flushed on within moments. What it does not report counts within the 5 s between two
// looks: the parent moved away and made anew while the daemon held no lock. Each daemon
// serves a folder of its own.
TEST_F(FlushDaemon, SeesAChangeAtOnceOrWithinALookOnALongPeriod) {
  struct Case {
    const char* name;
    const char* before;  // %s: the daemon's folder's parent, before the daemon starts
    const char* change;  // the same, while it serves
    bool flush;          // the change is a period lowered to a second, to be flushed on
    int within_ms;
  };
  const Case cases[] = {
      {"a period lowered", "true", nullptr, true, 300},
      {"parent moved away and made anew", "chown 65534 %s/state",
       "mkdir -p %s.new/state && mv %s %s.old && mv %s.new %s", false, 6000},
  };
  for (const Case& c : cases) {
    const std::string parent = scratch + "/" + std::to_string(&c - cases);
    const std::string folder = parent + "/state";
    ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
    ASSERT_EQ(emulated_flush_call(folder.c_str(), 2 * 5 + 3, 3600), 0);
    ASSERT_EQ(emulated_flush_call(folder.c_str(), 2 * 6 + 3, 3600), 0);
    ASSERT_EQ(run_on(c.before, parent), 0) << c.name;
    const Counted daemon = start_counted(folder);
    ASSERT_TRUE(comes_to_hold(daemon.pid, folder + "/daemon.lock", c.flush)) << c.name;
    // Past the second since the flush at the start, by which the lowered period is due.
    usleep(1200000);
    flushes(daemon.syncs);
    if (c.flush) {
      ASSERT_EQ(emulated_flush_call(folder.c_str(), 2 * 6 + 3, 1), 0);
      usleep(static_cast<useconds_t>(c.within_ms) * 1000);
      EXPECT_EQ(flushes(daemon.syncs), 1) << c.name;
    } else {
      ASSERT_EQ(run_on(c.change, parent), 0) << c.name;
      EXPECT_TRUE(comes_to_hold(daemon.pid, folder + "/daemon.lock", true, c.within_ms)) << c.name;
    }
    EXPECT_EQ(ended_within(daemon.pid, 0), -1) << c.name;
    kill_and_reap(daemon.pid);
    close(daemon.syncs);
  }
}

// No watch reports the folder's parent moved away and made anew: at its next flush the
// first daemon finds that the path names another folder, and one daemon is left, holding
// the lock of the folder that the path names.
TEST_F(FlushDaemon, OneAtATimeWhenTheParentIsMovedAway) {
  const std::string parent = scratch + "/p";
  const std::string folder = parent + "/state";
  for (const bool without_inotify : inotify_cases()) {
    ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
    ASSERT_EQ(emulated_flush_call(folder.c_str(), 2 * 6 + 3, 1), 0);
    const pid_t first = start_flush_daemon(folder, -1, without_inotify);
    ASSERT_TRUE(comes_to_hold(first, folder + "/daemon.lock"));
    ASSERT_EQ(run_on("mv %s %s.moved && mkdir -m 0755 %s", parent), 0);
    ASSERT_EQ(emulated_flush_call(folder.c_str(), 2 * 6 + 3, 1), 0);
    const pid_t second = start_flush_daemon(folder, -1, without_inotify);
    EXPECT_TRUE(comes_to_hold(second, folder + "/daemon.lock"));
    EXPECT_EQ(ended_within(first, 2100), 100 + EBUSY) << "without inotify: " << without_inotify;
    EXPECT_EQ(ended_within(second, 0), -1);
    kill_and_reap(second);
    if (ended_within(first, 0) == -1) kill_and_reap(first);
    ASSERT_EQ(run_on("rm -rf %s %s.moved", parent), 0);
  }
}

// Without inotify the daemon takes its folder and lock and reads its period all the
// same: of three starts one serves, and it follows the period that the file says. The
// writer and the daemons run under a umask that would shut everybody else out of what
// they make.
TEST_F(FlushDaemon, WithoutInotifyOneServesAndFollowsThePeriod) {
  if (const char* why = why_inotify_cannot_be_withheld()) GTEST_SKIP() << why;
  int syncs[2];
  ASSERT_EQ(pipe2(syncs, O_NONBLOCK), 0);
  const mode_t umask_before = umask(0777);
  ASSERT_EQ(write_parameter(6, 1), 0);
  std::vector<pid_t> daemons;
  for (int i = 0; i < 3; ++i) daemons.push_back(start_flush_daemon(state, syncs[1], true));
  umask(umask_before);
  close(syncs[1]);
  int ended = 0;
  for (const pid_t daemon : daemons) ended += ended_within(daemon, 2000) == 100 + EBUSY ? 1 : 0;
  EXPECT_EQ(ended, 2) << "one serves";
  for (const auto& [name, mode] :
       {std::pair{"", 0755U}, {"/parameters", 0644U}, {"/parameters.lock", 0700U}, {"/daemon.lock", 0600U}}) {
    struct stat status = {};
    ASSERT_EQ(stat((state + name).c_str(), &status), 0) << name;
    EXPECT_EQ(status.st_mode & 07777, mode) << name;
  }
  flushes(syncs[0]);
  usleep(3500000);
  const int fast = flushes(syncs[0]);
  EXPECT_GE(fast, 3) << "every second";
  EXPECT_LE(fast, 4);
  ASSERT_EQ(write_parameter(6, 2), 0);
  usleep(1100000);  // the flush after the write reads the new period
  flushes(syncs[0]);
  usleep(4500000);
  const int slow = flushes(syncs[0]);
  EXPECT_GE(slow, 2) << "every two seconds";
  EXPECT_LE(slow, 3);
  // Asleep on a period of an hour, it counts a lowered period at its next look, within 5 s.
  ASSERT_EQ(write_parameter(5, 3600), 0);
  ASSERT_EQ(write_parameter(6, 3600), 0);
  usleep(2100000);
  flushes(syncs[0]);
  ASSERT_EQ(write_parameter(6, 1), 0);
  usleep(6000000);
  EXPECT_GE(flushes(syncs[0]), 2) << "a period lowered from an hour counts within 6 s";
  for (const pid_t daemon : daemons) {
    if (ended_within(daemon, 0) == -1) kill_and_reap(daemon);
  }
  close(syncs[0]);
}

// Only root can put a file into the folder, yet a device there must not reach the
// daemon: a terminal would become its controlling terminal, whose hang-up ends it. The
// terminal is bound over the parameters file in a mount namespace of the daemon's own.
TEST_F(FlushDaemon, PlantedTerminalIsNeitherTakenNorRead) {
  ASSERT_EQ(write_parameter(6, 1), 0);
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  const std::string device = ptsname(terminal);
  const std::string parameters = state + "/parameters";
  const pid_t daemon = fork();
  ASSERT_GE(daemon, 0);
  if (daemon == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(device.c_str(), parameters.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      _exit(1);
    }
    close(terminal);
    fake_kernel::state().real_libc = true;
    setsid();
    _exit(100 + static_cast<int>(-emulated_flush_call(state.c_str(), 0, 0)));
  }
  ASSERT_TRUE(comes_to_hold(daemon, lock()));
  usleep(300000);
  std::ifstream stat_file("/proc/" + std::to_string(daemon) + "/stat");
  std::string field;
  std::vector<std::string> fields;
  while (stat_file >> field) fields.push_back(field);
  ASSERT_GT(fields.size(), 6U);
  EXPECT_EQ(fields[6], "0") << "the daemon has a controlling terminal";
  close(terminal);
  EXPECT_EQ(ended_within(daemon, 300), -1) << "the terminal's hang-up ended the daemon";
  kill_and_reap(daemon);
}

}  // namespace
