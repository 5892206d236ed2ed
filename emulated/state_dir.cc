#include "emulated/state_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr mode_t STATE_DIR_MODE = 0755;
constexpr int OPEN_FLAGS = O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;

int check_owner(int fd, bool directory, mode_t forbidden) {
  struct stat status = {};
  if (fstatat(fd, "", &status, AT_EMPTY_PATH) != 0) return -errno;
  const bool right_type = directory ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode);
  if (!right_type || status.st_uid != 0 || (status.st_mode & forbidden) != 0) return -EACCES;
  return 0;
}

// The descriptor once it passed the check, or the negative error number.
int checked(int fd, bool directory, mode_t forbidden) {
  fd = off_standard_streams(fd);
  if (fd < 0) return -errno;
  const int result = check_owner(fd, directory, forbidden);
  if (result == 0) return fd;
  close(fd);
  return result;
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

int open_state_dir(const char* path, bool create) {
  constexpr int flags = O_RDONLY | O_DIRECTORY | OPEN_FLAGS;
  int fd = openat(AT_FDCWD, path, flags);
  if (fd < 0 && errno == ENOENT && create) {
    if (mkdir(path, STATE_DIR_MODE) != 0 && errno != EEXIST) return -errno;
    fd = openat(AT_FDCWD, path, flags);
  }
  return checked(fd, true, S_IWGRP | S_IWOTH);
}

int open_state_file(int dirfd, const char* name, int flags, mode_t mode, bool private_to_root) {
  const mode_t forbidden = private_to_root ? S_IRWXG | S_IRWXO : S_IWGRP | S_IWOTH;
  return checked(openat(dirfd, name, flags | OPEN_FLAGS, mode), false, forbidden);
}

bool still_named(int dirfd, const char* name, int fd) {
  struct stat named = {};
  struct stat opened = {};
  return fstatat(dirfd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && fstatat(fd, "", &opened, AT_EMPTY_PATH) == 0 &&
         named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}
