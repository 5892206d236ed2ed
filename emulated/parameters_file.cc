#include "emulated/parameters_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "common/folder_names.h"
#include "emulated/state_dir.h"

// A write is a read, change and replace under the writers' lock, a folder of root's alone
// held with flock. The writer clears the folder, makes its new file there as
// "new-INODE-PID" (the lock folder's and its own: no other writer's file has the name),
// looks that the parameters file is still the one it read, and puts the new file in
// place through the lock's name, in one rename. A lock removed meanwhile took the new file
// with it, and one made in its place holds no file of that name: the rename fails and the
// write starts over. A killed writer leaves the old file or the new one, and perhaps a
// new file in the lock, which the next writer clears.

namespace {

// What a try at the write answers where nothing was replaced and it is to be made anew.
constexpr int START_OVER = 1;
// A waiting writer tries again after a millisecond at first, then less and less often.
constexpr std::int64_t FIRST_PAUSE = SECOND_NS / 1000;
constexpr std::int64_t LONGEST_PAUSE = SECOND_NS / 50;
constexpr std::ptrdiff_t MOST_DIGITS = 7;  // of any parameter within its range
constexpr std::size_t NAME_AT = std::string_view(WRITER_LOCK).size() + 1;
constexpr mode_t PARAMETERS_MODE = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;
using NewPath = std::array<char, NAME_MAX>;

// Opens the lock anew at each try, so that a writer waits on the lock that the name
// names now, not on one removed since.
int take_writers_lock(int dirfd, std::int64_t deadline) {
  for (std::int64_t pause = FIRST_PAUSE;; pause = std::min(2 * pause, LONGEST_PAUSE)) {
    const int lock = open_state(dirfd, WRITER_LOCK, O_RDONLY | O_DIRECTORY | O_CREAT, S_IRWXU);
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) == 0) return lock;
    const int error = errno == EWOULDBLOCK ? EBUSY : errno;
    close(lock);
    const std::int64_t nap = std::min(pause, deadline - monotonic_ns());
    if (error != EBUSY || nap <= 0) return -error;
    const timespec wait = {static_cast<time_t>(nap / SECOND_NS), static_cast<long>(nap % SECOND_NS)};
    nanosleep(&wait, nullptr);
  }
}

// Whatever stands in the lock goes, but for a folder with something in it; the clearing
// stops at the write's deadline and leaves the rest to the next writer.
void clear_lock(int lock, std::int64_t deadline) {
  for_each_name(lock, [&](const char* name) {
    if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) remove_name(lock, name);
    return monotonic_ns() < deadline;
  });
}

// Makes the new file, durable, in the lock; path gets its path through the lock's name.
int write_new_file(int lock, const ParameterValues& values, NewPath& path) {
  const struct stat status = status_of(lock);
  std::snprintf(path.data(), path.size(), "%s/new-%llu-%ld", WRITER_LOCK,
                static_cast<unsigned long long>(status.st_ino), static_cast<long>(getpid()));
  std::array<char, PARAMETERS_LIMIT> text;
  const auto size = static_cast<ssize_t>(format_parameters(values, text));
  const int fd = open_state(lock, path.data() + NAME_AT, O_WRONLY | O_CREAT | O_EXCL, PARAMETERS_MODE);
  if (fd < 0) return fd;
  const ssize_t written = write(fd, text.data(), static_cast<std::size_t>(size));
  int result = written == size ? 0 : written < 0 ? -errno : -ENOSPC;
  if (result == 0 && fsync(fd) != 0) result = -errno;
  if (close(fd) != 0 && result == 0) result = -errno;
  return result;
}

// One try under the lock: 0 once the file is replaced, START_OVER where the lock lost its
// name or the file changed since it was read, or a negative error number.
int replace(int dirfd, int lock, std::size_t index, std::int32_t value, std::int64_t deadline) {
  ParameterValues values;
  struct stat read_from = {};
  int result = load_parameters(dirfd, values, &read_from);
  if (result != 0) return result;
  clear_lock(lock, deadline);
  values[index] = value;
  NewPath path;
  result = write_new_file(lock, values, path);
  if (result == 0 && !same_file_unchanged(status_of(dirfd, PARAMETERS_FILE), read_from)) result = START_OVER;
  if (result == 0 && renameat(dirfd, path.data(), dirfd, PARAMETERS_FILE) != 0) result = -errno;
  if (result != 0) unlinkat(lock, path.data() + NAME_AT, 0);
  // A lock removed, or come to name something else, holds no new file of this writer's.
  return result == -ENOENT || result == -ENOTDIR ? START_OVER : result;
}

int store_once(const char* state_dir, std::size_t index, std::int32_t value, std::int64_t deadline) {
  const int dirfd = open_state(AT_FDCWD, state_dir, O_RDONLY | O_DIRECTORY | O_CREAT, STATE_FOLDER_MODE);
  const int lock = dirfd < 0 ? dirfd : take_writers_lock(dirfd, deadline);
  const int result = lock < 0 ? lock : replace(dirfd, lock, index, value, deadline);
  if (lock >= 0) close(lock);
  if (dirfd >= 0) close(dirfd);
  return result == -EAGAIN ? START_OVER : result;
}

}  // namespace

bool parse_parameters(std::string_view text, ParameterValues& values) {
  const char* at = text.data();
  const char* const end = at + text.size();
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::int32_t value = -1;
    const auto [next, error] = std::from_chars(at, end, value);
    if (error != std::errc() || *at == '-' || next - at > MOST_DIGITS || next == end || *next != '\n') return false;
    if (value < EMULATED_PARAMETERS[i].minimum || value > EMULATED_PARAMETERS[i].maximum) return false;
    values[i] = value;
    at = next + 1;
  }
  return at == end;
}

std::size_t format_parameters(const ParameterValues& values, std::span<char, PARAMETERS_LIMIT> text) {
  std::size_t size = 0;
  for (const std::int32_t value : values) {
    size += static_cast<std::size_t>(std::snprintf(text.data() + size, text.size() - size, "%d\n", value));
  }
  return size;
}

void set_defaults(ParameterValues& values) {
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = EMULATED_PARAMETERS[i].default_value;
}

int load_parameters(int dirfd, ParameterValues& values, struct stat* read_from) {
  const int fd = open_state(dirfd, PARAMETERS_FILE, O_RDONLY, PARAMETERS_MODE);
  if (fd == -ENOENT) set_defaults(values);
  if (fd < 0) return fd == -ENOENT ? 0 : fd;
  // One read takes the whole file: a read of a regular file stops short only at its end,
  // and a file that fills the buffer is too long.
  std::array<char, PARAMETERS_LIMIT> text;
  const ssize_t size = read(fd, text.data(), text.size());
  const auto length = static_cast<std::size_t>(size);
  int result = size < 0 ? -errno : length < text.size() && parse_parameters({text.data(), length}, values) ? 0 : -EIO;
  if (read_from != nullptr) *read_from = status_of(fd);
  close(fd);
  return result;
}

int read_parameters(const char* state_dir, ParameterValues& values) {
  const int dirfd = open_state(AT_FDCWD, state_dir, O_RDONLY | O_DIRECTORY, STATE_FOLDER_MODE);
  if (dirfd == -ENOENT) set_defaults(values);
  if (dirfd < 0) return dirfd == -ENOENT ? 0 : dirfd;
  const int result = load_parameters(dirfd, values);
  close(dirfd);
  return result;
}

int store_parameter(const char* state_dir, std::size_t index, long value) {
  if (value < EMULATED_PARAMETERS[index].minimum || value > EMULATED_PARAMETERS[index].maximum) return -EINVAL;
  const std::int64_t deadline = monotonic_ns() + WRITER_WAIT_NS;
  int result = START_OVER;
  while (result == START_OVER && monotonic_ns() < deadline) {
    result = store_once(state_dir, index, static_cast<std::int32_t>(value), deadline);
  }
  return result == START_OVER ? -EBUSY : result;
}
