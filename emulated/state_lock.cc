#include "emulated/state_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "emulated/state_dir.h"

namespace {

constexpr mode_t LOCK_MODE = 0600;
// Tries at a lock whose file is removed again and again, before giving up.
constexpr int LOCK_TRIES = 100;

}  // namespace

int take_lock(int dirfd, const char* name, bool wait, bool create) {
  for (int tries = 0; tries < LOCK_TRIES; ++tries) {
    // Without blocking: a fifo or a device must be refused by the check, not waited on.
    const int fd = open_state_file(dirfd, name, O_RDONLY | O_NONBLOCK | (create ? O_CREAT : 0), LOCK_MODE, true);
    if (fd < 0) return fd;
    int result = 0;
    while (flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
      if (errno != EINTR) {
        result = errno == EWOULDBLOCK ? -EBUSY : -errno;
        break;
      }
    }
    // A lock had, or refused, on a file that has lost its name says nothing.
    if (!still_named(dirfd, name, fd)) {
      close(fd);
      continue;
    }
    if (result == 0) return fd;
    close(fd);
    return result;
  }
  return -EAGAIN;
}

bool lock_still_named(const char* state_dir, int dirfd, const char* name, int lock) {
  return still_named(AT_FDCWD, state_dir, dirfd) && still_named(dirfd, name, lock);
}
