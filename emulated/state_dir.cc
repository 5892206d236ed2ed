#include "emulated/state_dir.h"

#include <unistd.h>

#include <cerrno>

int open_state(int dirfd, const char* name, int flags, mode_t mode) {
  const bool folder = (flags & O_DIRECTORY) != 0;
  const bool create = (flags & O_CREAT) != 0;
  // Made under a umask of 0, what is made has its mode from the start: root without the
  // capability to override modes could not even open what the caller's umask had closed.
  const mode_t caller_umask = create ? umask(0) : 0;
  const int made = folder && create ? mkdirat(dirfd, name, mode) : 0;
  const int error = errno;
  int fd =
      openat(dirfd, name, (folder ? flags & ~O_CREAT : flags) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  if (create) umask(caller_umask);
  if (fd < 0 && made != 0 && error != EEXIST) return -error;
  // A folder made, or there already, and gone before it could be opened was removed meanwhile.
  if (fd < 0) return folder && create && errno == ENOENT ? -EAGAIN : -errno;
  const struct stat status = status_of(fd);
  const bool right_type = folder ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode);
  if (right_type && status.st_uid == 0 && (status.st_mode & (S_IRWXG | S_IRWXO) & ~mode) == 0) return fd;
  close(fd);
  return -EACCES;
}
