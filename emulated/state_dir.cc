#include "emulated/state_dir.h"

#include <unistd.h>

#include <cerrno>

void remove_name(int dirfd, const char* name) {
  if (unlinkat(dirfd, name, 0) != 0 && errno == EISDIR) unlinkat(dirfd, name, AT_REMOVEDIR);
}

int open_state(int dirfd, const char* name, int flags, mode_t mode) {
  const bool folder = (flags & O_DIRECTORY) != 0;
  const bool make_folder = folder && (flags & O_CREAT) != 0;
  // Made under a umask of 0, what is made has its mode from the start: root without the
  // capability to override modes could not even open what the caller's umask had closed.
  const mode_t caller_umask = umask(0);
  const int made = make_folder ? mkdirat(dirfd, name, mode) : 0;
  const int error = errno;
  const int fd =
      openat(dirfd, name, (folder ? flags & ~O_CREAT : flags) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  umask(caller_umask);
  if (fd < 0) return -(made != 0 && error != EEXIST ? error : make_folder && errno == ENOENT ? EAGAIN : errno);
  if (trusted(status_of(fd), folder, mode)) return fd;
  close(fd);
  return -EACCES;
}
