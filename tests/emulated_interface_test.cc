#include "emulated/emulated_interface.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "gtest/gtest.h"
#include "tests/state_folder.h"

namespace {

class EmulatedInterface : public StateFolder {};

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
  // Past the last write code, 19: no tenth parameter, to read or to write.
  std::int32_t tenth = -99;
  EXPECT_EQ(call(20, reinterpret_cast<long>(&tenth)), -EINVAL);
  EXPECT_EQ(tenth, -99);
  EXPECT_EQ(call(21, 5), -EINVAL);
  EXPECT_EQ(call(20, 0), -EINVAL);
  EXPECT_EQ(call(-1, 0), -EINVAL);
  EXPECT_EQ(call(1000, 0), -EINVAL);
  EXPECT_EQ(call(2, 0), -EFAULT) << "a read into no integer";
  struct stat status;
  EXPECT_NE(stat(state.c_str(), &status), 0) << "none of these touches the state";
}

// Anybody reads the values; only root writes, flushes or serves.
TEST_F(EmulatedInterface, OnlyRootChangesAnything) {
  ASSERT_EQ(write_parameter(3, 40), 0);
  ASSERT_EQ(chmod(scratch.c_str(), 0755), 0);
  ASSERT_EQ(seteuid(65534), 0);
  std::int32_t value = 0;
  const long read = read_parameter(3, value);
  const long answers[] = {call(0, 0), call(1, 0), write_parameter(3, 1), call(20, 0)};
  ASSERT_EQ(seteuid(0), 0);
  EXPECT_EQ(read, 0);
  EXPECT_EQ(value, 40);
  for (const long answer : answers) EXPECT_EQ(answer, -EPERM);
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

}  // namespace
