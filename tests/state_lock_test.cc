#include "emulated/state_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "gtest/gtest.h"
#include "tests/state_folder.h"

namespace {

class StateLock : public StateFolder {};

// An ordinary user takes an exclusive lock on everything in the state folder that it can
// open, the folder included, and holds them; a write must not wait for it.
TEST_F(StateLock, NobodyElseCanStallAWrite) {
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
// and left as it is, but for the lock file of an earlier release, which it replaces.
TEST_F(StateLock, TheWritersLockIsAFolderOfRootsAlone) {
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
      {"a link", "rm -r %s && mkdir -m 0700 %s.real && ln -s %s.real %s", -EACCES},
      {"a fifo", "rm -r %s && mkfifo -m 0600 %s", -EACCES},
      {"a file open to others", "rm -r %s && touch %s && chmod 0644 %s", -EACCES},
      {"an earlier release's lock file", "rm -r %s && touch %s && chmod 0600 %s", 0},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(std::system(("rm -rf " + lock + " " + lock + ".real && mkdir -m 0700 " + lock).c_str()), 0);
    ASSERT_EQ(run_on(c.command, lock), 0) << c.command;
    EXPECT_EQ(write_parameter(3, c.error == 0 ? 41 : 42), c.error) << c.name;
  }
  EXPECT_EQ(file(), "25\n500\n64\n41\n15\n30\n5\n60\n2\n");
  ASSERT_EQ(lstat(lock.c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode)) << "the earlier lock file gave way to the folder";
}

}  // namespace
