#include "emulated/state_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "emulated/state_dir.h"

namespace {

constexpr mode_t LOCK_MODE = 0600;

}  // namespace

int take_lock(int dirfd, const char* name, bool wait) {
  const int fd = open_state_file(dirfd, name, O_RDONLY | O_CREAT, LOCK_MODE, true);
  if (fd < 0) return fd;
  int result = 0;
  while (flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) {
      result = errno == EWOULDBLOCK ? -EBUSY : -errno;
      break;
    }
  }
  if (result == 0) return fd;
  close(fd);
  return result;
}
