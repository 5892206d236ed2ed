#include "emulated/parameters_file.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "gtest/gtest.h"
#include "tests/fake_kernel.h"
#include "tests/state_folder.h"

namespace {

class ParametersFile : public StateFolder {};

TEST_F(ParametersFile, CorruptFileFailsWithEioAndStays) {
  const char* const corrupt[] = {
      "",
      "25\n500\n64\n256\n15\n30\n5\n60\n",        // eight lines
      "25\n500\n64\n256\n15\n30\n5\n60\n2\n2\n",  // ten
      "25\n500\n64\n256\n15\n30\n5\n60\n2",       // no last line feed
      "101\n500\n64\n256\n15\n30\n5\n60\n2\n",    // out of range
      "25\n500\n64\n256\n15\n0\n5\n60\n2\n",      // an ageing time of 0
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
// nothing happens to the folder, and while the writers' lock file is removed again and
// again: every write succeeds and the last value of each stands.
TEST_F(ParametersFile, WritersSideBySideLoseNoUpdate) {
  struct Case {
    const char* name;
    const char* meanwhile;  // a shell command on the state folder, %s
  };
  const Case cases[] = {
      {"nothing else", nullptr},
      {"lock file removed again and again", "while :; do rm -f %s/parameters.lock; sleep 0.002; done"},
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

// At the instant a writer has written its temporary file, and before it replaces the
// parameters file, its lock file is removed and something happens meanwhile. The writer
// must find out that its lock is gone: it neither puts back values that lack a write
// made meanwhile nor leaves its temporary file behind, and what it renames was made
// durable first. A stray temporary file is swept by the next write.
TEST_F(ParametersFile, AWriterThatLostItsLockLosesNothingAndLeavesNothing) {
  struct Case {
    const char* name;
    const char* meanwhile;  // %s: the state folder
    long result;
    const char* file;
  };
  const Case cases[] = {
      {"another writer writes", "rm %s/parameters.lock", 0, "11\n20\n64\n256\n15\n30\n5\n60\n2\n"},
      {"the lock file becomes a fifo", "rm %s/parameters.lock && mkfifo -m 0600 %s/parameters.lock", -EACCES,
       "10\n500\n64\n256\n15\n30\n5\n60\n2\n"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(write_parameter(0, 10), 0);
    spit(state + "/parameters.123.new", "stray");
    std::string fsynced;
    fake_kernel::state().on_fsync = [&](int fd) {
      std::array<char, 256> path = {};
      fsynced = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path.data(), path.size() - 1) > 0
                    ? path.data()
                    : "";
      ASSERT_EQ(run_on(c.meanwhile, state), 0) << c.meanwhile;
      if (c.result == 0) {
        ASSERT_EQ(write_parameter(1, 20), 0);
      }
    };
    EXPECT_EQ(write_parameter(0, 11), c.result) << c.name;
    EXPECT_EQ(file(), c.file) << c.name;
    EXPECT_TRUE(fsynced.starts_with(state + "/parameters.") && fsynced.ends_with(".new")) << c.name << ": " << fsynced;
    EXPECT_EQ(run_on("ls %s | grep -q 'new$'", state), 256) << c.name << ": a temporary file is left";
    fake_kernel::state().on_fsync = nullptr;
    ASSERT_EQ(run_on("rm -rf %s", state), 0);
  }
}

}  // namespace
