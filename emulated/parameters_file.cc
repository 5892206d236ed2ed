#include "emulated/parameters_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "emulated/state_dir.h"
#include "emulated/state_lock.h"

namespace {

constexpr mode_t PARAMETERS_MODE = 0644;
// No parameter's range goes past seven decimal digits.
constexpr std::size_t MOST_DIGITS = 7;
constexpr long DECIMAL = 10;
// Room for the decimal digits of any 64-bit number.
constexpr std::size_t NUMBER_LIMIT = 24;

// Writes the decimal digits of value to out; returns how many.
std::size_t put_decimal(char* out, unsigned long long value) {
  std::array<char, NUMBER_LIMIT> digits;
  std::size_t count = 0;
  constexpr unsigned long long BASE = DECIMAL;
  for (unsigned long long rest = value; count == 0 || rest > 0; rest /= BASE) {
    digits[count++] = static_cast<char>('0' + rest % BASE);
  }
  for (std::size_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
  return count;
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

// Writes the new file whole and durable, to be renamed over the old one, so that a reader,
// or a writer killed at any instant, meets either the old file or the new one, whole.
int write_temporary(int dirfd, const char* name, const ParameterValues& values) {
  std::array<char, PARAMETERS_LIMIT> text;
  const std::size_t size = format_parameters(values, text);
  const int fd = open_state_file(dirfd, name, O_WRONLY | O_CREAT | O_EXCL, PARAMETERS_MODE);
  if (fd < 0) return fd;
  int result = write_all(fd, text.data(), size);
  if (result == 0 && fsync(fd) != 0) result = -errno;
  if (close(fd) != 0 && result == 0) result = -errno;
  return result;
}

// The new parameters file, made in the writers' lock folder by the writer that holds it.
constexpr const char* NEW_FILE = "new";

// One read, change and replace under the writers' lock, made in the folder that the path
// names. Sets again where nothing was replaced and the write is to be made anew: the lock
// went before the replace, taking the new file with it, or the path came to name another
// folder. Once the file is replaced, the write is done: nothing after it can fail.
int store_once(const char* state_dir, std::size_t index, std::int32_t value, std::int64_t deadline, bool& again) {
  const int dirfd = open_state_dir(state_dir, true);
  if (dirfd < 0) return dirfd;
  const int lock = take_writers_lock(dirfd, deadline);
  int result = lock < 0 ? lock : 0;
  ParameterValues values;
  if (result == 0) result = load_parameters(dirfd, values);
  if (result == 0) {
    // A new file in the lock folder was left by a writer killed while it held the lock,
    // as this one holds it now.
    unlinkat(lock, NEW_FILE, 0);
    values[index] = value;
    result = write_temporary(lock, NEW_FILE, values);
  }
  // A lock moved elsewhere rather than removed keeps the new file: the writer looks that
  // it is still where the next writer would look for it.
  const bool still_held =
      result == 0 && still_named(AT_FDCWD, state_dir, dirfd) && still_named(dirfd, WRITER_LOCK, lock);
  if (result == 0 && !still_held) result = -ENOENT;
  if (result == 0 && renameat(lock, NEW_FILE, dirfd, PARAMETERS_FILE) != 0) result = -errno;
  // A lock removed under the writer makes the new file, or the folder to make it in,
  // vanish: nothing was replaced.
  again = lock == -EAGAIN || result == -ENOENT;
  if (result != 0 && lock >= 0) unlinkat(lock, NEW_FILE, 0);
  if (lock >= 0) close(lock);
  close(dirfd);
  return result;
}

}  // namespace

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

std::size_t format_parameters(const ParameterValues& values, std::span<char, PARAMETERS_LIMIT> text) {
  // Every value is within its range, none negative and none wider than MOST_DIGITS.
  std::size_t size = 0;
  for (const std::int32_t value : values) {
    size += put_decimal(text.data() + size, static_cast<unsigned long long>(value));
    text[size++] = '\n';
  }
  return size;
}

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
  const std::int64_t deadline = monotonic_ns() + WRITER_WAIT_NS;
  for (;;) {
    bool again = false;
    const int result = store_once(state_dir, index, static_cast<std::int32_t>(value), deadline, again);
    if (!again) return result;
    if (monotonic_ns() >= deadline) return -EBUSY;
  }
}
