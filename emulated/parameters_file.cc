#include "emulated/parameters_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "emulated/state_dir.h"
#include "emulated/state_lock.h"

namespace {

constexpr const char* PARAMETERS_TEMPORARY = "parameters.new";
constexpr mode_t PARAMETERS_MODE = 0644;
// No parameter's range goes past seven decimal digits.
constexpr std::size_t MOST_DIGITS = 7;
constexpr long DECIMAL = 10;
// Nine lines of at most eight characters each; anything longer is not ours.
constexpr std::size_t PARAMETERS_LIMIT = 128;

bool parse_parameters(std::string_view text, ParameterValues& values) {
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
int parse_file(int fd, ParameterValues& values) {
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
int replace_parameters(int dirfd, const ParameterValues& values) {
  std::array<char, PARAMETERS_LIMIT> text;
  std::size_t size = 0;
  // Every value is within its range, none negative and none wider than MOST_DIGITS.
  for (const std::int32_t value : values) {
    std::array<char, MOST_DIGITS> digits;
    std::size_t count = 0;
    for (long rest = value; count == 0 || rest > 0; rest /= DECIMAL) {
      digits[count++] = static_cast<char>('0' + rest % DECIMAL);
    }
    while (count > 0) text[size++] = digits[--count];
    text[size++] = '\n';
  }
  // A writer that was killed leaves its temporary file; the next one starts afresh.
  if (unlinkat(dirfd, PARAMETERS_TEMPORARY, 0) != 0 && errno != ENOENT) return -errno;
  const int fd = open_state_file(dirfd, PARAMETERS_TEMPORARY, O_WRONLY | O_CREAT | O_EXCL, PARAMETERS_MODE);
  if (fd < 0) return fd;
  int result = write_all(fd, text.data(), size);
  if (result == 0 && fsync(fd) != 0) result = -errno;
  if (close(fd) != 0 && result == 0) result = -errno;
  if (result == 0 && renameat(dirfd, PARAMETERS_TEMPORARY, dirfd, PARAMETERS_FILE) != 0) result = -errno;
  if (result != 0) unlinkat(dirfd, PARAMETERS_TEMPORARY, 0);
  return result;
}

}  // namespace

void set_defaults(ParameterValues& values) {
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = EMULATED_PARAMETERS[i].default_value;
}

int load_parameters(int dirfd, ParameterValues& values) {
  // Never blocking on something that is not a regular file, before the check says so.
  const int fd = open_state_file(dirfd, PARAMETERS_FILE, O_RDONLY | O_NONBLOCK);
  if (fd == -ENOENT) {
    set_defaults(values);
    return 0;
  }
  if (fd < 0) return fd;
  const int result = parse_file(fd, values);
  close(fd);
  return result;
}

int read_parameters(const char* state_dir, ParameterValues& values) {
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

int store_parameter(const char* state_dir, std::size_t index, long value) {
  if (value < EMULATED_PARAMETERS[index].minimum || value > EMULATED_PARAMETERS[index].maximum) return -EINVAL;
  const int dirfd = open_state_dir(state_dir, true);
  if (dirfd < 0) return dirfd;
  const int lock = take_lock(dirfd, WRITER_LOCK, true);
  int result = lock < 0 ? lock : 0;
  ParameterValues values;
  if (result == 0) result = load_parameters(dirfd, values);
  if (result == 0) {
    values[index] = static_cast<std::int32_t>(value);
    result = replace_parameters(dirfd, values);
  }
  if (lock >= 0) close(lock);
  close(dirfd);
  return result;
}
