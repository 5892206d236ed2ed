#include "kernel/emulated_interface.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "gtest/gtest.h"
#include "tests/fake_kernel.h"

namespace {

const char DEFAULTS_FILE[] = "25\n500\n64\n256\n15\n30\n5\n60\n2\n";

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void spit(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// Each test gets a root-owned scratch folder; the state folder inside it does not exist yet.
class EmulatedInterface : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "the emulated interface answers root only";
    }
    char pattern[] = "/tmp/corvane-test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch = pattern;
    state = scratch + "/state";
  }
  void TearDown() override {
    if (!scratch.empty()) {
      ASSERT_EQ(std::system(("rm -rf " + scratch).c_str()), 0);
    }
  }

  long call(int func, long data) { return emulated_flush_call(state.c_str(), func, data); }
  long read_parameter(int index, std::int32_t& value) { return call(2 * index + 2, reinterpret_cast<long>(&value)); }
  long write_parameter(int index, long value) { return call(2 * index + 3, value); }
  std::string file() { return slurp(state + "/parameters"); }

  std::string scratch;
  std::string state;
};

TEST_F(EmulatedInterface, DefaultsWithoutAFolder) {
  for (int i = 0; i < 9; ++i) {
    std::int32_t value = -99;
    EXPECT_EQ(read_parameter(i, value), 0);
    EXPECT_EQ(value, EMULATED_PARAMETERS[static_cast<std::size_t>(i)].default_value);
  }
  struct stat status;
  EXPECT_NE(stat(state.c_str(), &status), 0) << "a read creates nothing";
}

TEST_F(EmulatedInterface, WriteCreatesTheFolderAndKeepsTheValue) {
  ASSERT_EQ(write_parameter(3, 40), 0);
  struct stat status;
  ASSERT_EQ(stat(state.c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0755U);
  EXPECT_EQ(file(), "25\n500\n64\n40\n15\n30\n5\n60\n2\n");
  std::int32_t value = 0;
  EXPECT_EQ(read_parameter(3, value), 0);
  EXPECT_EQ(value, 40);
}

TEST_F(EmulatedInterface, RangesAreEnforced) {
  for (std::size_t i = 0; i < 9; ++i) {
    const int index = static_cast<int>(i);
    const EmulatedParameter& range = EMULATED_PARAMETERS[i];
    EXPECT_EQ(write_parameter(index, range.minimum - 1L), -EINVAL) << i;
    EXPECT_EQ(write_parameter(index, range.maximum + 1L), -EINVAL) << i;
    EXPECT_EQ(write_parameter(index, -1), -EINVAL) << i;
    if constexpr (sizeof(long) > 4) {
      // The data word is wider than a parameter: its upper half must not be cut off.
      EXPECT_EQ(write_parameter(index, static_cast<long>(INT64_C(0x100000000) + range.minimum)), -EINVAL) << i;
    }
    EXPECT_EQ(write_parameter(index, range.minimum), 0) << i;
    EXPECT_EQ(write_parameter(index, range.maximum), 0) << i;
    std::int32_t value = 0;
    EXPECT_EQ(read_parameter(index, value), 0);
    EXPECT_EQ(value, range.maximum);
  }
  // Generous enough for any value an administrator could mean.
  EXPECT_LE(EMULATED_PARAMETERS[0].maximum, 100);
  EXPECT_LE(EMULATED_PARAMETERS[4].maximum, 100);
  EXPECT_GE(EMULATED_PARAMETERS[5].maximum, 3600);
  EXPECT_GE(EMULATED_PARAMETERS[1].maximum, 500000);
}

TEST_F(EmulatedInterface, RejectedValueChangesNothing) {
  ASSERT_EQ(write_parameter(2, 7), 0);
  const std::string before = file();
  EXPECT_EQ(write_parameter(0, 101), -EINVAL);
  EXPECT_EQ(file(), before);
}

TEST_F(EmulatedInterface, OtherCodes) {
  EXPECT_EQ(call(1, 0), 0) << "a flush request";
  EXPECT_EQ(call(20, 0), -EINVAL);
  EXPECT_EQ(call(-1, 0), -EINVAL);
  EXPECT_EQ(call(1000, 0), -EINVAL);
  EXPECT_EQ(call(2, 0), -EFAULT) << "a read into no integer";
  struct stat status;
  EXPECT_NE(stat(state.c_str(), &status), 0) << "none of these touches the state";
}

// Starts a process that asks to become the flush daemon; it ends only if refused, with
// 100 plus the error number.
pid_t start_flush_daemon(const std::string& state) {
  const pid_t child = fork();
  if (child == 0) {
    fake_kernel::state().real_libc = true;
    _exit(100 + static_cast<int>(-emulated_flush_call(state.c_str(), 0, 0)));
  }
  return child;
}

// The status of child if it ends within the time, or -1.
int ended_within(pid_t child, int milliseconds) {
  for (int waited = 0; waited < milliseconds; waited += 10) {
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 999;
    usleep(10000);
  }
  return -1;
}

TEST_F(EmulatedInterface, FlushDaemonIsOneAtATime) {
  const pid_t first = start_flush_daemon(state);
  ASSERT_GT(first, 0);
  // The first holds its lock once its descriptor table shows the lock file.
  const std::string lock = state + "/daemon.lock";
  bool holding = false;
  for (int tries = 0; tries < 500 && !holding; ++tries) {
    usleep(10000);
    holding = std::system(("ls -l /proc/" + std::to_string(first) + "/fd | grep -q " + lock).c_str()) == 0;
  }
  ASSERT_TRUE(holding);
  const pid_t second = start_flush_daemon(state);
  EXPECT_EQ(ended_within(second, 5000), 100 + EBUSY);
  EXPECT_EQ(ended_within(first, 100), -1) << "the first serves on";
  kill(first, SIGKILL);
  waitpid(first, nullptr, 0);
  const pid_t third = start_flush_daemon(state);
  EXPECT_EQ(ended_within(third, 300), -1) << "the lock went with the first";
  kill(third, SIGKILL);
  waitpid(third, nullptr, 0);
}

TEST_F(EmulatedInterface, OnlyRootIsAnswered) {
  ASSERT_EQ(seteuid(65534), 0);
  std::int32_t value = 0;
  const long answers[] = {call(0, 0), call(1, 0), read_parameter(0, value), write_parameter(3, 1), call(20, 0)};
  ASSERT_EQ(seteuid(0), 0);
  for (const long answer : answers) EXPECT_EQ(answer, -EPERM);
}

TEST_F(EmulatedInterface, UntrustedStateIsRefused) {
  struct Case {
    const char* name;
    void (*spoil)(const std::string& state);
  };
  const Case cases[] = {
      {"folder owned by nobody", [](const std::string& s) { ASSERT_EQ(chown(s.c_str(), 65534, 65534), 0); }},
      {"folder writable by group", [](const std::string& s) { ASSERT_EQ(chmod(s.c_str(), 0775), 0); }},
      {"folder writable by others", [](const std::string& s) { ASSERT_EQ(chmod(s.c_str(), 0757), 0); }},
      {"file owned by nobody",
       [](const std::string& s) { ASSERT_EQ(chown((s + "/parameters").c_str(), 65534, 0), 0); }},
      {"file writable by others", [](const std::string& s) { ASSERT_EQ(chmod((s + "/parameters").c_str(), 0646), 0); }},
      {"file is a link",
       [](const std::string& s) {
         ASSERT_EQ(rename((s + "/parameters").c_str(), (s + "/real").c_str()), 0);
         ASSERT_EQ(symlink("real", (s + "/parameters").c_str()), 0);
       }},
  };
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    ASSERT_EQ(write_parameter(1, 77), 0);
    c.spoil(state);
    const std::string before = slurp(state + "/parameters");
    std::int32_t value = 0;
    EXPECT_LT(read_parameter(1, value), 0) << c.name;
    EXPECT_LT(write_parameter(1, 88), 0) << c.name;
    EXPECT_EQ(slurp(state + "/parameters"), before) << c.name;
  }
}

TEST_F(EmulatedInterface, LinkedFolderIsRefusedAndNothingWrittenThrough) {
  const std::string real = scratch + "/real";
  ASSERT_EQ(mkdir(real.c_str(), 0755), 0);
  ASSERT_EQ(symlink(real.c_str(), state.c_str()), 0);
  std::int32_t value = 0;
  EXPECT_LT(read_parameter(0, value), 0);
  EXPECT_LT(write_parameter(0, 5), 0);
  EXPECT_EQ(std::system(("test -z \"$(ls -A " + real + ")\"").c_str()), 0) << "something was written through";
  // A dangling link is not followed to create the folder either.
  ASSERT_EQ(unlink(state.c_str()), 0);
  ASSERT_EQ(symlink((scratch + "/elsewhere").c_str(), state.c_str()), 0);
  EXPECT_LT(write_parameter(0, 5), 0);
  struct stat status;
  EXPECT_NE(stat((scratch + "/elsewhere").c_str(), &status), 0);
}

TEST_F(EmulatedInterface, CorruptFileFailsWithEioAndStays) {
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

TEST_F(EmulatedInterface, WorksWithStandardStreamsClosedAndLeavesThemClosed) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(0);
    close(1);
    close(2);
    std::int32_t value = 0;
    const bool answered = write_parameter(4, 50) == 0 && read_parameter(4, value) == 0 && value == 50;
    const bool still_closed = fcntl(0, F_GETFD) < 0 && fcntl(1, F_GETFD) < 0 && fcntl(2, F_GETFD) < 0;
    _exit(answered && still_closed ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(EmulatedInterface, WritersSideBySideLoseNoUpdate) {
  constexpr int ROUNDS = 100;
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
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(file(), "100\n100\n100\n100\n100\n100\n100\n100\n100\n");
}

TEST_F(EmulatedInterface, KilledWriterNeverLeavesATornFile) {
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

}  // namespace
