#include "kernel/emulated_interface.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <string_view>

#include "kernel/flush_call.h"

namespace {

using Values = std::array<std::int32_t, KERNEL_PARAMETER_COUNT>;

constexpr const char* PARAMETERS_FILE = "parameters";
constexpr const char* PARAMETERS_TEMPORARY = "parameters.new";
constexpr const char* DAEMON_LOCK = "daemon.lock";
constexpr std::size_t DATA_AGEING = 5;
constexpr std::size_t METADATA_AGEING = 6;
constexpr mode_t STATE_DIR_MODE = 0755;
// No parameter's range goes past seven decimal digits.
constexpr std::size_t MOST_DIGITS = 7;
constexpr long DECIMAL = 10;
// How the parameters file is opened for reading: never through a link, never blocking on
// something that is not a regular file.
constexpr int READ_FLAGS = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
// Nine lines of at most eight characters each; anything longer is not ours.
constexpr std::size_t PARAMETERS_LIMIT = 128;

// The background processes close descriptors 0 to 2, so a file opened there would take
// in whatever is later written to a standard stream. Moves such a descriptor above them.
int off_standard_streams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int error = errno;
  close(fd);
  errno = error;
  return moved;
}

// Only root may have put the state there: a folder or file that anybody else owns or may
// write could have been planted.
int check_owner(int fd, bool directory) {
  struct stat status = {};
  if (fstat(fd, &status) != 0) return -errno;
  const bool right_type = directory ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode);
  if (!right_type || status.st_uid != 0 || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) return -EACCES;
  return 0;
}

// Opens the state folder, creating it first if asked to. Returns the descriptor or a
// negative error number, -ENOENT for a missing folder that was not to be created.
int open_state_dir(const char* path, bool create) {
  constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(path, flags);
  if (fd < 0 && errno == ENOENT && create) {
    if (mkdir(path, STATE_DIR_MODE) != 0 && errno != EEXIST) return -errno;
    fd = open(path, flags);
  }
  fd = off_standard_streams(fd);
  if (fd < 0) return -errno;
  const int checked = check_owner(fd, true);
  if (checked != 0) {
    close(fd);
    return checked;
  }
  return fd;
}

// Nine lines of one decimal number each, every number within its parameter's range.
void set_defaults(Values& values) {
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = EMULATED_PARAMETERS[i].default_value;
}

bool parse_parameters(std::string_view text, Values& values) {
  std::size_t at = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    long value = 0;
    std::size_t digits = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      if (++digits > MOST_DIGITS) return false;
      value = value * DECIMAL + (text[at++] - '0');
    }
    if (digits == 0 || at == text.size() || text[at++] != '\n') return false;
    if (value < EMULATED_PARAMETERS[i].minimum || value > EMULATED_PARAMETERS[i].maximum) return false;
    values[i] = static_cast<std::int32_t>(value);
  }
  return at == text.size();
}

// One read takes the whole file: it is a regular file smaller than the buffer, and a read
// of a regular file stops short only at its end. A file that fills the buffer is too long.
int parse_file(int fd, Values& values) {
  std::array<char, PARAMETERS_LIMIT> text;
  ssize_t size = 0;
  do {
    size = read(fd, text.data(), text.size());
  } while (size < 0 && errno == EINTR);
  if (size < 0) return -errno;
  const auto length = static_cast<std::size_t>(size);
  if (length == text.size() || !parse_parameters({text.data(), length}, values)) return -EIO;
  return 0;
}

int read_file(int fd, Values& values) {
  const int checked = check_owner(fd, false);
  return checked != 0 ? checked : parse_file(fd, values);
}

// Fills values from the parameters file, or with the defaults while there is none.
int load_parameters(int dirfd, Values& values) {
  const int fd = off_standard_streams(openat(dirfd, PARAMETERS_FILE, READ_FLAGS));
  if (fd < 0) {
    if (errno != ENOENT) return -errno;
    set_defaults(values);
    return 0;
  }
  const int result = read_file(fd, values);
  close(fd);
  return result;
}

int read_parameters(const char* state_dir, Values& values) {
  const int dirfd = open_state_dir(state_dir, false);
  if (dirfd == -ENOENT) {
    set_defaults(values);
    return 0;
  }
  if (dirfd < 0) return dirfd;
  const int result = load_parameters(dirfd, values);
  close(dirfd);
  return result;
}

int write_all(int fd, const char* text, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    text += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

// Writes the new file beside the old one and renames it over the old, so that a reader,
// or a writer killed at any instant, meets either the old file or the new one, whole.
int replace_parameters(int dirfd, const Values& values) {
  std::array<char, PARAMETERS_LIMIT> text;
  std::size_t size = 0;
  for (const std::int32_t value : values) {
    size += static_cast<std::size_t>(std::snprintf(text.data() + size, text.size() - size, "%d\n", value));
  }
  // A writer that was killed leaves its temporary file; the next one starts afresh.
  if (unlinkat(dirfd, PARAMETERS_TEMPORARY, 0) != 0 && errno != ENOENT) return -errno;
  const int fd = off_standard_streams(
      openat(dirfd, PARAMETERS_TEMPORARY, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (fd < 0) return -errno;
  int result = write_all(fd, text.data(), size);
  if (result == 0 && fsync(fd) != 0) result = -errno;
  if (close(fd) != 0 && result == 0) result = -errno;
  if (result == 0 && renameat(dirfd, PARAMETERS_TEMPORARY, dirfd, PARAMETERS_FILE) != 0) result = -errno;
  if (result != 0) unlinkat(dirfd, PARAMETERS_TEMPORARY, 0);
  return result;
}

// A read-modify-write under an exclusive lock on the folder, so that writers side by side
// lose no update. Readers take no lock: the file is only ever replaced whole.
int store_parameter(const char* state_dir, std::size_t index, long value) {
  if (value < EMULATED_PARAMETERS[index].minimum || value > EMULATED_PARAMETERS[index].maximum) return -EINVAL;
  const int dirfd = open_state_dir(state_dir, true);
  if (dirfd < 0) return dirfd;
  int result = 0;
  while (flock(dirfd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      result = -errno;
      break;
    }
  }
  Values values;
  if (result == 0) result = load_parameters(dirfd, values);
  if (result == 0) {
    values[index] = static_cast<std::int32_t>(value);
    result = replace_parameters(dirfd, values);
  }
  close(dirfd);
  return result;
}

// A cycle's read is one open, read and close: the folder was checked when the daemon
// started, only root can put a file into it, and what is read sets no more than the
// length of a sleep, within the parameters' ranges. A file that cannot be read does not
// stop the flushing: the defaults stand in.
void read_ageing_times(const char* path, Values& values) {
  const int fd = off_standard_streams(open(path, READ_FLAGS));
  if (fd < 0 || parse_file(fd, values) != 0) set_defaults(values);
  if (fd >= 0) close(fd);
}

// The calling process becomes the flush daemon, one at a time: it holds the lock for the
// rest of its life and, each cycle, sleeps the shorter ageing time, read afresh so that a
// write takes effect from the next cycle, then flushes. Returns only when it cannot start.
int serve_as_flush_daemon(const char* state_dir) {
  // Named once; the buffer outlives the call, which does not come back.
  static char parameters_path[PATH_MAX];
  const int length = std::snprintf(parameters_path, sizeof parameters_path, "%s/%s", state_dir, PARAMETERS_FILE);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof parameters_path) return -ENAMETOOLONG;
  const int dirfd = open_state_dir(state_dir, true);
  if (dirfd < 0) return dirfd;
  const int lock = off_standard_streams(openat(dirfd, DAEMON_LOCK, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  const int error = errno;
  close(dirfd);
  if (lock < 0) return -error;
  int result = check_owner(lock, false);
  if (result == 0 && flock(lock, LOCK_EX | LOCK_NB) != 0) result = errno == EWOULDBLOCK ? -EBUSY : -errno;
  if (result != 0) {
    close(lock);
    return result;
  }
  for (;;) {
    Values values;
    read_ageing_times(parameters_path, values);
    sleep(static_cast<unsigned>(std::min(values[DATA_AGEING], values[METADATA_AGEING])));
    sync();
  }
}

long answer(int func, long data, const char* state_dir) {
  if (geteuid() != 0) return -EPERM;
  if (func == FLUSH_REQUEST) {
    sync();
    return 0;
  }
  if (func == FLUSH_START_DAEMON) return serve_as_flush_daemon(state_dir);
  if (func < parameter_read_code(0) || func > parameter_write_code(KERNEL_PARAMETER_COUNT - 1)) return -EINVAL;
  const auto index = static_cast<std::size_t>((func - parameter_read_code(0)) / 2);
  if (func == parameter_write_code(static_cast<int>(index))) return store_parameter(state_dir, index, data);
  if (data == 0) return -EFAULT;
  Values values;
  const int result = read_parameters(state_dir, values);
  // The data word of a read code carries the address of the caller's integer.
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  if (result == 0) *reinterpret_cast<std::int32_t*>(data) = values[index];
  return result;
}

}  // namespace

long emulated_flush_call(const char* state_dir, int func, long data) {
  const long result = answer(func, data, state_dir);
  // Error numbers above 125 would not read as errors to the caller; none of ours means
  // anything that "input/output error" does not say.
  return result < -HIGHEST_ERROR_NUMBER ? -EIO : result;
}
