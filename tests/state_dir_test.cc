#include "emulated/state_dir.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "gtest/gtest.h"
#include "tests/state_folder.h"

namespace {

class StateDir : public StateFolder {};

TEST_F(StateDir, UntrustedStateIsRefused) {
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
      {"file is a device",
       [](const std::string& s) {
         ASSERT_EQ(unlink((s + "/parameters").c_str()), 0);
         ASSERT_EQ(mknod((s + "/parameters").c_str(), S_IFCHR | 0644, makedev(1, 3)), 0);
       }},
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

TEST_F(StateDir, LinkedFolderIsRefusedAndNothingWrittenThrough) {
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

}  // namespace
