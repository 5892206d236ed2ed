#include "emulated/flush_daemon.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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

TEST_F(FlushDaemon, OneAtATime) {
  const pid_t first = start_flush_daemon(state);
  ASSERT_GT(first, 0);
  ASSERT_TRUE(comes_to_hold(first, lock()));
  const pid_t second = start_flush_daemon(state);
  EXPECT_EQ(ended_within(second, 5000), 100 + EBUSY);
  EXPECT_EQ(ended_within(first, 100), -1) << "the first serves on";
  kill_and_reap(first);
  const pid_t third = start_flush_daemon(state);
  EXPECT_EQ(ended_within(third, 300), -1) << "the lock went with the first";
  kill_and_reap(third);
}

// Whatever is done to the folder while a daemon serves, and whoever starts next, one
// daemon serves afterwards, and it holds the lock where the next one looks for it.
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
      const int first_status = ended_within(first, 1000);
      const int second_status = ended_within(second, 10);
      EXPECT_TRUE((first_status == -1) != (second_status == -1))
          << c.name << ", second started after " << pause_ms << " ms: " << first_status << " " << second_status;
      // Given the time to settle, the first has made the folder and its lock anew.
      if (pause_ms > 0) {
        EXPECT_EQ(first_status, -1) << c.name;
      }
      const pid_t serving = first_status == -1 ? first : second;
      EXPECT_TRUE(comes_to_hold(serving, lock())) << c.name;
      const pid_t third = start_flush_daemon(state);
      EXPECT_EQ(ended_within(third, 5000), 100 + EBUSY) << c.name;
      if (first_status == -1) kill_and_reap(first);
      if (second_status == -1) kill_and_reap(second);
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
  struct Daemon {
    std::string state;
    pid_t pid;
    int syncs;
  };
  std::vector<Daemon> daemons;
  for (const Case& c : cases) {
    const std::string folder = state + "." + std::to_string(daemons.size());
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(run_on(c.spoil, folder), 0) << c.spoil;
    int syncs[2];
    ASSERT_EQ(pipe2(syncs, O_NONBLOCK), 0);
    daemons.push_back({folder, start_flush_daemon(folder, syncs[1]), syncs[0]});
    close(syncs[1]);
  }
  usleep(5500000);
  for (std::size_t i = 0; i < daemons.size(); ++i) {
    char flushes[8];
    EXPECT_EQ(ended_within(daemons[i].pid, 10), -1) << cases[i].name;
    EXPECT_EQ(read(daemons[i].syncs, flushes, sizeof flushes), 1) << cases[i].name << ": one flush in 5.5 s";
    ASSERT_EQ(run_on(cases[i].mend, daemons[i].state), 0) << cases[i].mend;
  }
  for (std::size_t i = 0; i < daemons.size(); ++i) {
    EXPECT_TRUE(comes_to_hold(daemons[i].pid, daemons[i].state + "/daemon.lock")) << cases[i].name;
    kill_and_reap(daemons[i].pid);
    close(daemons[i].syncs);
  }
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
