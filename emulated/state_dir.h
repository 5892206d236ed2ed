#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdint>

// Opens name in the folder dirfd: a folder with O_DIRECTORY among flags, else a regular
// file. With O_CREAT, what is missing is made with exactly mode, whatever the umask
// (-EAGAIN: removed before it could be opened). What is opened must be root's, of its
// type and open to nobody beyond mode, or it could have been planted (-EACCES). Follows no
// link, blocks on nothing, closes on exec. Returns the descriptor or -errno.
int open_state(int dirfd, const char* name, int flags, mode_t mode);
inline constexpr mode_t STATE_FOLDER_MODE = S_IRWXU | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH;

// Removes what name names in the folder dirfd: anything but a folder with something in it.
void remove_name(int dirfd, const char* name);

// The status of what name in the folder dirfd names, no link followed, or without a name
// of the file open at dirfd; all zero for nothing.
inline struct stat status_of(int dirfd, const char* name = "") {
  struct stat status = {};
  if (fstatat(dirfd, name, &status, AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH) != 0) status = {};
  return status;
}

// Whether status is of what only root may have put there: root's, a folder or a regular
// file as asked, and open to nobody beyond mode.
inline bool trusted(const struct stat& status, bool folder, mode_t mode) {
  return (folder ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode)) && status.st_uid == 0 &&
         (status.st_mode & (S_IRWXG | S_IRWXO) & ~mode) == 0;
}

// Whether two statuses are of the same file, unchanged between them: a file rewritten in
// place keeps its inode but not its change time.
inline bool same_file_unchanged(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

inline constexpr std::int64_t SECOND_NS = 1'000'000'000;

// The time on the clock that steps are never taken on.
inline std::int64_t monotonic_ns() {
  timespec time = {};
  clock_gettime(CLOCK_MONOTONIC, &time);
  return time.tv_sec * SECOND_NS + time.tv_nsec;
}
