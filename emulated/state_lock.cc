#include "emulated/state_lock.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "emulated/state_dir.h"

namespace {

constexpr mode_t LOCK_MODE = 0600;
// Tries at a lock whose file is removed again and again, before giving up, where there
// is no time left to wait.
constexpr int LOCK_TRIES = 100;
constexpr std::int64_t NANOSECONDS = 1'000'000'000;
// A waiting writer tries again after a millisecond at first, then less and less often.
constexpr std::int64_t FIRST_PAUSE = NANOSECONDS / 1000;
constexpr std::int64_t LONGEST_PAUSE = NANOSECONDS / 50;

// An earlier release kept the writers' lock in a file; where one is left, it goes, so
// that the folder can take its place.
bool remove_old_writer_lock(int dirfd) {
  struct stat status = {};
  return fstatat(dirfd, WRITER_LOCK, &status, AT_SYMLINK_NOFOLLOW) == 0 && trusted(status, StateKind::PRIVATE_FILE) &&
         unlinkat(dirfd, WRITER_LOCK, 0) == 0;
}

// The writers' lock is a folder, any other a file.
int open_lock(int dirfd, const char* name, bool folder, bool create) {
  if (!folder) {
    // Without blocking: a fifo or a device must be refused by the check, not waited on.
    return open_state_file(dirfd, name, O_RDONLY | O_NONBLOCK | (create ? O_CREAT : 0), LOCK_MODE, true);
  }
  int fd = open_private_folder(dirfd, name, create);
  if (fd == -ENOTDIR && create && remove_old_writer_lock(dirfd)) fd = open_private_folder(dirfd, name, create);
  // Anything but a folder in the writers' lock's place is refused as any other lock is.
  return fd == -ENOTDIR ? -EACCES : fd;
}

// Poll with nothing to watch is a sleep, and one call fewer for the program to bind.
void pause_for(std::int64_t nanoseconds) {
  const timespec pause = {static_cast<time_t>(nanoseconds / NANOSECONDS), static_cast<long>(nanoseconds % NANOSECONDS)};
  ppoll(nullptr, 0, &pause, nullptr);
}

// One try at the lock: the descriptor that holds it, or a negative error number. Sets
// named to whether what was opened still had the lock's name after the try.
int try_lock(int dirfd, const char* name, bool folder, bool create, bool& named) {
  named = true;
  const int fd = open_lock(dirfd, name, folder, create);
  if (fd < 0) return fd;
  int result = 0;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) {
      result = errno == EWOULDBLOCK ? -EBUSY : -errno;
      break;
    }
  }
  named = still_named(dirfd, name, fd);
  if (result == 0 && named) return fd;
  close(fd);
  return result == 0 ? -EAGAIN : result;
}

int take(int dirfd, const char* name, bool folder, std::int64_t deadline, bool create) {
  std::int64_t pause = FIRST_PAUSE;
  for (int tries = 1;; ++tries) {
    bool named = true;
    const int result = try_lock(dirfd, name, folder, create, named);
    const std::int64_t left = deadline - monotonic_ns();
    // A lock had, or refused, on what has lost its name says nothing.
    if (!named) {
      if (left <= 0 && tries >= LOCK_TRIES) return -EAGAIN;
      continue;
    }
    if (result != -EBUSY || left <= 0) return result;
    pause_for(std::min(pause, left));
    pause = std::min(2 * pause, LONGEST_PAUSE);
  }
}

}  // namespace

std::int64_t monotonic_ns() {
  timespec time = {};
  clock_gettime(CLOCK_MONOTONIC, &time);
  return time.tv_sec * NANOSECONDS + time.tv_nsec;
}

int take_writers_lock(int dirfd, std::int64_t deadline) { return take(dirfd, WRITER_LOCK, true, deadline, true); }

int take_daemon_lock(int dirfd, bool create) { return take(dirfd, DAEMON_LOCK, false, 0, create); }
