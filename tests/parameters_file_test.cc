#include "emulated/parameters_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "emulated/state_dir.h"
#include "gtest/gtest.h"
#include "tests/fake_kernel.h"
#include "tests/state_folder.h"

namespace {

class ParametersFile : public StateFolder {};

TEST_F(ParametersFile, CorruptFileFailsWithEioAndStays) {
  const char* const corrupt[] = {
      "",
      "25\n500\n64\n256\n15\n30\n5\n60\n",          // eight lines
      "25\n500\n64\n256\n15\n30\n5\n60\n2\n2\n",    // ten
      "25\n500\n64\n256\n15\n30\n5\n60\n2",         // no last line feed
      "25\n00000500\n64\n256\n15\n30\n5\n60\n2\n",  // eight digits
      "101\n500\n64\n256\n15\n30\n5\n60\n2\n",      // out of range
      "25\n500\n64\n256\n15\n0\n5\n60\n2\n",        // an ageing time of 0
      "-1\n500\n64\n256\n15\n30\n5\n60\n2\n",
      "25\n5OO\n64\n256\n15\n30\n5\n60\n2\n",
      "25 \n500\n64\n256\n15\n30\n5\n60\n2\n",
      "garbage",
  };
  for (const char* text : corrupt) {
    unlink((state + "/parameters").c_str());
    ASSERT_EQ(write_parameter(1, 500), 0);
    spit(state + "/parameters", text);
    std::int32_t value = 0;
    EXPECT_EQ(read_parameter(1, value), -EIO) << text;
    EXPECT_EQ(write_parameter(1, 9), -EIO) << text;
    EXPECT_EQ(file(), text);
  }
  spit(state + "/parameters", std::string(4096, '1'));
  std::int32_t value = 0;
  EXPECT_EQ(read_parameter(1, value), -EIO) << "an overlong file";
}

// Nine writers side by side, each setting its own parameter again and again, while
// nothing happens to the folder, and while the writers' lock is removed again and again:
// every write succeeds and the last value of each stands.
TEST_F(ParametersFile, WritersSideBySideLoseNoUpdate) {
  struct Case {
    const char* name;
    const char* meanwhile;  // a shell command on the state folder, %s
  };
  const Case cases[] = {
      {"nothing else", nullptr},
      {"lock removed again and again", "while :; do rm -rf %s/parameters.lock 2>/dev/null; done"},
  };
  constexpr int ROUNDS = 60;
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    ASSERT_EQ(write_parameter(0, 0), 0);
    pid_t remover = -1;
    if (c.meanwhile != nullptr) {
      remover = fork();
      ASSERT_GE(remover, 0);
      if (remover == 0) {
        setpgid(0, 0);
        _exit(run_on(c.meanwhile, state));
      }
    }
    pid_t writers[9];
    for (int i = 0; i < 9; ++i) {
      writers[i] = fork();
      ASSERT_GE(writers[i], 0);
      if (writers[i] == 0) {
        for (int round = 1; round <= ROUNDS; ++round) {
          if (write_parameter(i, round) != 0) _exit(1);
        }
        _exit(0);
      }
    }
    for (const pid_t writer : writers) {
      int status = 0;
      ASSERT_EQ(waitpid(writer, &status, 0), writer);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.name;
    }
    if (remover > 0) {
      kill(-remover, SIGKILL);
      waitpid(remover, nullptr, 0);
    }
    EXPECT_EQ(file(), "60\n60\n60\n60\n60\n60\n60\n60\n60\n") << c.name;
  }
}

TEST_F(ParametersFile, KilledWriterNeverLeavesATornFile) {
  ASSERT_EQ(write_parameter(1, 1), 0);
  unsigned seed = 1;
  for (int attempt = 0; attempt < 200; ++attempt) {
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      for (long value = 0;; value = (value + 1) % 1000000) write_parameter(1, value);
    }
    usleep(static_cast<useconds_t>(rand_r(&seed) % 2000));
    kill(writer, SIGKILL);
    ASSERT_EQ(waitpid(writer, nullptr, 0), writer);
    std::int32_t value = -1;
    ASSERT_EQ(read_parameter(1, value), 0) << "attempt " << attempt << ": " << file();
  }
  EXPECT_EQ(write_parameter(2, 3), 0) << "a leftover temporary file is no obstacle";
}

// At the instant a writer has made its new file durable, or between its last look and its
// replace, its lock is removed or moved, and something happens meanwhile. A writer whose
// lock lost its name never replaces the file of one who holds the lock that the name
// names now: each write that answers 0 holds, one that answers an error changed nothing,
// and none leaves its new file behind. Whatever a killed writer left in the lock, or
// anybody put there, is no obstacle, and nothing else in the folder is touched.
TEST_F(ParametersFile, AWriterThatLostItsLockLosesNothingAndLeavesNothing) {
  struct Case {
    const char* name;
    bool at_rename;         // or at the fsync
    const char* meanwhile;  // %s: the state folder
    bool another;           // another writer writes parameter 1 meanwhile
    long result;
    const char* file;
  };
  const char* const both = "11\n20\n64\n256\n15\n30\n5\n60\n2\n";
  const Case cases[] = {
      {"removed, another writer writes", false, "rm -r %s/parameters.lock", true, 0, both},
      {"moved away, another writer writes", false, "mv %s/parameters.lock %s/moved", true, 0, both},
      {"the lock becomes a fifo", false, "rm -r %s/parameters.lock && mkfifo -m 0600 %s/parameters.lock", false,
       -ENOTDIR, "10\n500\n64\n256\n15\n30\n5\n60\n2\n"},
      {"removed at the replace, another writer writes", true, "rm -r %s/parameters.lock", true, 0, both},
      {"moved away at the replace, another writer writes", true, "mv %s/parameters.lock %s/moved", true, 0, both},
      {"the lock becomes a file at the replace", true,
       "mv %s/parameters.lock %s/moved && install -m 0644 /dev/null %s/parameters.lock", false, -ENOTDIR,
       "10\n500\n64\n256\n15\n30\n5\n60\n2\n"},
      // Of the same size, within the same second: only the change time tells.
      {"rewritten in place by hand", false, "printf '10\\n501\\n64\\n256\\n15\\n30\\n5\\n60\\n2\\n' >%s/parameters",
       false, 0, "11\n501\n64\n256\n15\n30\n5\n60\n2\n"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(write_parameter(0, 10), 0);
    ASSERT_EQ(run_on("cd %s/parameters.lock && mkdir -p new/x full/x empty && mkfifo fifo && ln -s / link && "
                     "touch $(seq 2000)",
                     state),
              0);
    spit(state + "/parameters.orig-backup", "mine");
    std::string made;
    auto meanwhile = [&] {
      ASSERT_EQ(run_on(c.meanwhile, state), 0) << c.meanwhile;
      if (c.another) {
        ASSERT_EQ(write_parameter(1, 20), 0);
      }
    };
    fake_kernel::state().on_fsync = [&](int fd) {
      std::array<char, 256> path = {};
      made = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path.data(), path.size() - 1) > 0 ? path.data()
                                                                                                         : "";
      if (!c.at_rename) meanwhile();
    };
    if (c.at_rename) fake_kernel::state().on_rename = meanwhile;
    EXPECT_EQ(write_parameter(0, 11), c.result) << c.name;
    EXPECT_EQ(file(), c.file) << c.name;
    EXPECT_EQ(made.rfind(state + "/parameters.lock/new-", 0), 0U) << c.name << ": " << made;
    EXPECT_EQ(run_on("find %s -name 'new-*' | grep -q .", state), 256) << c.name << ": a new file is left";
    EXPECT_EQ(slurp(state + "/parameters.orig-backup"), "mine") << c.name;
    fake_kernel::state().on_fsync = nullptr;
    fake_kernel::state().on_rename = nullptr;
    ASSERT_EQ(run_on("rm -rf %s", state), 0);
  }
}

// A writer that holds the lock and never lets go, stopped or waiting on something else,
// stops every other writer for at most WRITER_WAIT_NS: then the write gives up with
// EBUSY, having changed nothing, and once the holder lets go a write goes through.
TEST_F(ParametersFile, AHeldLockStopsAWriteForFiveSecondsAtMost) {
  ASSERT_EQ(write_parameter(3, 40), 0);
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    fake_kernel::state().on_fsync = [](int) { raise(SIGSTOP); };
    _exit(write_parameter(3, 41) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(holder, &status, WUNTRACED), holder);
  ASSERT_TRUE(WIFSTOPPED(status)) << "the holder stops with its new file made";
  const std::int64_t start = monotonic_ns();
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) _exit(static_cast<int>(-write_parameter(3, 42)));
  EXPECT_EQ(ended_within(writer, 6000), EBUSY);
  const std::int64_t waited = monotonic_ns() - start;
  EXPECT_GE(waited, WRITER_WAIT_NS);
  if (ended_within(writer, 0) == -1) kill_and_reap(writer);
  EXPECT_EQ(file(), "25\n500\n64\n40\n15\n30\n5\n60\n2\n");
  // A writer that waits behind the holder goes through moments after it lets go.
  const pid_t waiting = fork();
  ASSERT_GE(waiting, 0);
  if (waiting == 0) _exit(write_parameter(3, 44) == 0 ? 0 : 1);
  usleep(1500000);
  kill(holder, SIGCONT);
  EXPECT_EQ(ended_within(holder, 5000), 0) << "the stopped writer goes on where it stopped";
  EXPECT_EQ(ended_within(waiting, 100), 0) << "a waiting writer tries again every 20 ms at least";
  EXPECT_EQ(file(), "25\n500\n64\n44\n15\n30\n5\n60\n2\n");
  EXPECT_EQ(write_parameter(3, 43), 0);
  EXPECT_EQ(file(), "25\n500\n64\n43\n15\n30\n5\n60\n2\n");
}

// An ordinary user takes an exclusive lock on everything in the state folder that it can
// open, the folder included, and holds them; a write must not wait for it.
TEST_F(ParametersFile, NobodyElseCanStallAWrite) {
  ASSERT_EQ(write_parameter(3, 40), 0);
  ASSERT_EQ(chmod(scratch.c_str(), 0755), 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(1);
    const int folder = open(state.c_str(), O_RDONLY | O_DIRECTORY);
    DIR* entries = opendir(state.c_str());
    int held = folder >= 0 && flock(folder, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
    for (dirent* entry = nullptr; entries != nullptr && (entry = readdir(entries)) != nullptr;) {
      if (entry->d_name[0] == '.') continue;
      const int fd = openat(folder, entry->d_name, O_RDONLY);
      if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ++held;
    }
    const char count = static_cast<char>('0' + held);
    if (write(ready[1], &count, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char count = 0;
  ASSERT_EQ(read(ready[0], &count, 1), 1);
  close(ready[0]);
  EXPECT_GE(count, '2') << "the folder and the parameters file at least";

  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) _exit(write_parameter(3, 41) == 0 ? 0 : 1);
  EXPECT_EQ(ended_within(writer, 3000), 0);
  if (ended_within(writer, 0) == -1) kill_and_reap(writer);
  kill_and_reap(holder);
  EXPECT_EQ(file(), "25\n500\n64\n41\n15\n30\n5\n60\n2\n");
}

// The writers' lock is a folder of root's alone; anything else in its place is refused
// and left as it is. What stands in it is cleared, but for a folder with something in it.
TEST_F(ParametersFile, TheWritersLockIsAFolderOfRootsAlone) {
  ASSERT_EQ(write_parameter(3, 40), 0);
  const std::string lock = state + "/" + WRITER_LOCK;
  struct stat status = {};
  ASSERT_EQ(lstat(lock.c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0700U);
  EXPECT_EQ(status.st_uid, 0U);

  struct Case {
    const char* name;
    const char* command;  // on the lock, %s
    long error;
  };
  const Case cases[] = {
      {"readable by others", "chmod 0705 %s", -EACCES},
      {"open to the group", "chmod 0710 %s", -EACCES},
      {"owned by nobody", "chown 65534 %s", -EACCES},
      {"a link", "rm -r %s && mkdir -m 0700 %s.real && ln -s %s.real %s", -ENOTDIR},
      {"a fifo", "rm -r %s && mkfifo -m 0600 %s", -ENOTDIR},
      {"a file of root's alone", "rm -r %s && touch %s && chmod 0600 %s", -ENOTDIR},
      {"full of anything", "cd %s && mkdir -p full/x empty && mkfifo fifo && ln -s / link && touch $(seq 100)", 0},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(std::system(("rm -rf " + lock + " " + lock + ".real && mkdir -m 0700 " + lock).c_str()), 0);
    ASSERT_EQ(run_on(c.command, lock), 0) << c.command;
    EXPECT_EQ(write_parameter(3, c.error == 0 ? 41 : 42), c.error) << c.name;
  }
  EXPECT_EQ(file(), "25\n500\n64\n41\n15\n30\n5\n60\n2\n");
  EXPECT_EQ(run_on("test \"$(ls -A %s)\" = full", lock), 0) << "what stands in the lock is cleared";
}

}  // namespace
