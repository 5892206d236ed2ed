#include "emulated/state_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr mode_t STATE_DIR_MODE = 0755;
constexpr mode_t PRIVATE_DIR_MODE = 0700;
constexpr int OPEN_FLAGS = O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;

// Tries at a file whose name comes and goes between the two opens of open_made, before
// giving up.
constexpr int OPEN_TRIES = 100;

// The descriptor once it passed the check, or the negative error number.
int checked(int fd, StateKind kind) {
  fd = off_standard_streams(fd);
  if (fd < 0) return -errno;
  struct stat status = {};
  int result = fstatat(fd, "", &status, AT_EMPTY_PATH) != 0 ? -errno : 0;
  if (result == 0 && !trusted(status, kind)) result = -EACCES;
  if (result == 0) return fd;
  close(fd);
  return result;
}

// Opens name with O_CREAT, and gives what it made exactly mode, whatever the caller's
// umask; what was there already keeps its own mode, to be checked.
int open_made(int dirfd, const char* name, int flags, mode_t mode) {
  for (int tries = 0; tries < OPEN_TRIES; ++tries) {
    int fd = openat(dirfd, name, flags | O_EXCL, mode);
    if (fd >= 0) {
      if (fchmod(fd, mode) != 0) {
        // Made by root alone and still private, which the check accepts.
      }
      return fd;
    }
    if (errno != EEXIST || (flags & O_EXCL) != 0) return -1;
    fd = openat(dirfd, name, flags & ~O_CREAT, mode);
    if (fd >= 0 || errno != ENOENT) return fd;
  }
  return -1;
}

// Opens the folder path in dirfd, making it first where it is missing and create is set.
// The folder is made under a umask of 0, so that it has its mode from the start: root
// without the capability to override modes could not even open one that the caller's
// umask had closed, let alone open it up again.
int open_folder(int dirfd, const char* path, bool create, StateKind kind) {
  constexpr int flags = O_RDONLY | O_DIRECTORY | OPEN_FLAGS;
  int fd = openat(dirfd, path, flags);
  if (fd < 0 && errno == ENOENT && create) {
    const mode_t caller_umask = umask(0);
    const bool made = mkdirat(dirfd, path, kind == StateKind::FOLDER ? STATE_DIR_MODE : PRIVATE_DIR_MODE) == 0;
    const int error = errno;
    umask(caller_umask);
    if (!made && error != EEXIST) return -error;
    fd = openat(dirfd, path, flags);
  }
  return checked(fd, kind);
}

}  // namespace

int off_standard_streams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int error = errno;
  close(fd);
  errno = error;
  return moved;
}

bool trusted(const struct stat& status, StateKind kind) {
  const bool folder = kind == StateKind::FOLDER || kind == StateKind::PRIVATE_FOLDER;
  const bool right_type = folder ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode);
  const bool private_to_root = kind == StateKind::PRIVATE_FOLDER || kind == StateKind::PRIVATE_FILE;
  const mode_t forbidden = private_to_root ? S_IRWXG | S_IRWXO : S_IWGRP | S_IWOTH;
  return right_type && status.st_uid == 0 && (status.st_mode & forbidden) == 0;
}

int open_state_dir(const char* path, bool create) { return open_folder(AT_FDCWD, path, create, StateKind::FOLDER); }

int open_private_folder(int dirfd, const char* name, bool create) {
  return open_folder(dirfd, name, create, StateKind::PRIVATE_FOLDER);
}

int open_state_file(int dirfd, const char* name, int flags, mode_t mode, bool private_to_root) {
  flags |= OPEN_FLAGS;
  const int fd = (flags & O_CREAT) != 0 ? open_made(dirfd, name, flags, mode) : openat(dirfd, name, flags, mode);
  return checked(fd, private_to_root ? StateKind::PRIVATE_FILE : StateKind::PUBLIC_FILE);
}

bool still_named(int dirfd, const char* name, int fd) {
  struct stat named = {};
  struct stat opened = {};
  return fstatat(dirfd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && fstatat(fd, "", &opened, AT_EMPTY_PATH) == 0 &&
         named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

bool same_file_unchanged(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}
