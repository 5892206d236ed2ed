#include "emulated/parameters_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/folder_names.h"
#include "emulated/state_dir.h"
#include "emulated/state_lock.h"

namespace {

constexpr mode_t PARAMETERS_MODE = 0644;
// No parameter's range goes past seven decimal digits.
constexpr std::size_t MOST_DIGITS = 7;
constexpr long DECIMAL = 10;
// Room for the decimal digits of any 64-bit number.
constexpr std::size_t NUMBER_LIMIT = 24;
// Tries at a write whose lock file is removed under it, before giving up.
constexpr int STORE_TRIES = 100;

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

// Writes the new file beside the old one, to be renamed over it, so that a reader, or a
// writer killed at any instant, meets either the old file or the new one, whole.
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

// Removes every temporary file in the folder: the holder of the writers' lock is the one
// writer that may replace the file, so any other was left by a writer killed, or by one
// whose lock file was removed under it, which finds that out before its rename or by it.
void sweep_temporaries(int dirfd) {
  constexpr std::string_view PREFIX = "parameters.";
  constexpr std::string_view SUFFIX = ".new";
  for_each_name(dirfd, [&](const char* entry) {
    const std::string_view name = entry;
    if (name.size() > PREFIX.size() + SUFFIX.size() && name.starts_with(PREFIX) && name.ends_with(SUFFIX)) {
      unlinkat(dirfd, entry, 0);
    }
  });
}

// One read, change and replace under the writers' lock. Where the lock file lost its name
// before the replace, another writer may be at it beside this one: lost is set, and
// nothing replaced. Where it lost it during the replace, another may have read the values
// before it: lost is set, and the value is to be written again.
int store_once(const char* state_dir, std::size_t index, std::int32_t value, bool& lost) {
  const int dirfd = open_state_dir(state_dir, true);
  if (dirfd < 0) return dirfd;
  const int lock = take_lock(dirfd, WRITER_LOCK, true);
  // The temporary file is named after the lock file: writers on one lock file take turns,
  // and two on different ones, where one lost its lock, never touch each other's.
  std::array<char, NUMBER_LIMIT + sizeof "parameters..new"> temporary = {"parameters."};
  struct stat locked = {};
  int result = lock < 0 ? lock : 0;
  if (result == 0 && fstatat(lock, "", &locked, AT_EMPTY_PATH) != 0) result = -errno;
  if (result == 0) {
    const std::size_t digits = put_decimal(temporary.data() + sizeof "parameters." - 1, locked.st_ino);
    std::memcpy(temporary.data() + sizeof "parameters." - 1 + digits, ".new", sizeof ".new");
    sweep_temporaries(dirfd);
  }
  ParameterValues values;
  if (result == 0) result = load_parameters(dirfd, values);
  if (result == 0) {
    values[index] = value;
    result = write_temporary(dirfd, temporary.data(), values);
  }
  if (result == 0) {
    lost = !lock_still_named(state_dir, dirfd, WRITER_LOCK, lock);
    if (!lost && renameat(dirfd, temporary.data(), dirfd, PARAMETERS_FILE) != 0) result = -errno;
    // Lost during the replace, the lock may also have let the next writer sweep the
    // temporary file away before it was renamed: either way, the value is written again.
    if (!lost && !lock_still_named(state_dir, dirfd, WRITER_LOCK, lock)) {
      lost = true;
      result = 0;
    }
  }
  if (result != 0 || lost) unlinkat(dirfd, temporary.data(), 0);
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
  for (int tries = 0; tries < STORE_TRIES; ++tries) {
    bool lost = false;
    const int result = store_once(state_dir, index, static_cast<std::int32_t>(value), lost);
    if (!lost) return result;
  }
  return -EAGAIN;
}
