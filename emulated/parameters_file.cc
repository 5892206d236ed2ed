#include "emulated/parameters_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// Stays in the writers' lock folder, so that a folder a writer has held is never empty: a
// lock moved away and back, while its writer is between its last look and its replace,
// cannot take the place of the one made meanwhile, whose writer may have written since.
// Renaming a folder over another succeeds only where the other is empty.
constexpr const char* LOCK_MARK = "in-use";
constexpr mode_t LOCK_MARK_MODE = 0600;

// Clears whatever stands in the writers' lock folder that the writer now holds: new files
// of writers killed while they held it, and anything else put there. A folder with
// something in it stays; the new file's name is one that nothing else there holds.
void clear_lock_folder(int lock) {
  for_each_name(lock, [&](const char* name) {
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) return;
    if (std::string_view(name) == LOCK_MARK) return;
    if (unlinkat(lock, name, 0) != 0 && errno == EISDIR) unlinkat(lock, name, AT_REMOVEDIR);
  });
}

// Anything else that stands under the mark's name keeps the folder from being empty too.
int mark_lock_folder(int lock) {
  const int fd = open_state_file(lock, LOCK_MARK, O_RDONLY | O_CREAT | O_NONBLOCK, LOCK_MARK_MODE, true);
  if (fd >= 0) {
    close(fd);
    return 0;
  }
  struct stat status = {};
  return fstatat(lock, LOCK_MARK, &status, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : fd;
}

// "parameters.lock/new-INODE-PID-TRY": the lock folder's inode and the holder's process
// make a name that no other writer's file has, in this lock folder or in any other that
// its name may come to name; the try goes past anything planted under that name since.
// The name in the lock folder starts at NAME_AT.
constexpr std::size_t NEW_PATH_LIMIT = 96;
constexpr std::size_t NAME_AT = std::string_view(WRITER_LOCK).size() + 1;
constexpr int NEW_NAME_TRIES = 8;
void new_path(ino_t lock_inode, int attempt, std::span<char, NEW_PATH_LIMIT> path) {
  std::size_t size = 0;
  for (const char c : std::string_view(WRITER_LOCK)) path[size++] = c;
  for (const char c : std::string_view("/new-")) path[size++] = c;
  size += put_decimal(path.data() + size, lock_inode);
  path[size++] = '-';
  size += put_decimal(path.data() + size, static_cast<unsigned long long>(getpid()));
  path[size++] = '-';
  size += put_decimal(path.data() + size, static_cast<unsigned long long>(attempt));
  path[size] = '\0';
}

// Makes the new file in the lock folder; path gets its path from the state folder.
int write_new_file(int lock, const ParameterValues& values, std::span<char, NEW_PATH_LIMIT> path) {
  struct stat status = {};
  if (fstatat(lock, "", &status, AT_EMPTY_PATH) != 0) return -errno;
  int result = -EEXIST;
  for (int attempt = 0; attempt < NEW_NAME_TRIES && result == -EEXIST; ++attempt) {
    new_path(status.st_ino, attempt, path);
    result = write_temporary(lock, path.data() + NAME_AT, values);
  }
  return result;
}

// Whether the parameters file that the state folder names is the one read, unchanged: no
// other write was made since, by a writer that held another lock or by hand.
bool still_as_read(int dirfd, const struct stat& read_from) {
  struct stat named = {};
  return parameters_status(dirfd, named) && same_file_unchanged(named, read_from);
}

// One read, change and replace under the writers' lock, made in the folder that the path
// names. Sets again where nothing was replaced and the write is to be made anew: the lock
// lost its name before the replace, or the file changed since it was read, or the path
// came to name another folder. Once the file is replaced, the write is done: nothing
// after it can fail.
//
// The replace goes through the lock's name, in the one call that puts the new file in
// place: a lock moved away or removed by then leaves nothing under that path, and a lock
// made anew in its place holds no file of that name. A lock moved back cannot take the
// place of one made meanwhile that a writer has held: that one keeps its mark. What
// remains is three acts by hand between the writer's last look at the file and its
// replace, two calls apart (or as long as the writer is stopped there): its lock moved
// away, the one made meanwhile removed or emptied once another writer wrote through it,
// and the first moved back.
int store_once(const char* state_dir, std::size_t index, std::int32_t value, std::int64_t deadline, bool& again) {
  const int dirfd = open_state_dir(state_dir, true);
  if (dirfd < 0) return dirfd;
  const int lock = take_writers_lock(dirfd, deadline);
  int result = lock < 0 ? lock : 0;
  ParameterValues values;
  struct stat read_from = {};
  if (result == 0) result = load_parameters(dirfd, values, &read_from);
  std::array<char, NEW_PATH_LIMIT> path;
  if (result == 0) {
    clear_lock_folder(lock);
    values[index] = value;
    result = mark_lock_folder(lock);
  }
  if (result == 0) result = write_new_file(lock, values, path);
  const bool made = result == 0;
  if (result == 0 && !(still_named(AT_FDCWD, state_dir, dirfd) && still_as_read(dirfd, read_from))) result = -ENOENT;
  // A lock whose name came to name a file rather than a folder has lost its name too.
  if (result == 0 && renameat(dirfd, path.data(), dirfd, PARAMETERS_FILE) != 0) {
    result = errno == ENOTDIR ? -ENOENT : -errno;
  }
  again = lock == -EAGAIN || result == -ENOENT;
  if (result != 0 && made) unlinkat(lock, path.data() + NAME_AT, 0);
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

int load_parameters(int dirfd, ParameterValues& values, struct stat* read_from) {
  // Never blocking on something that is not a regular file, before the check says so.
  const int fd = open_state_file(dirfd, PARAMETERS_FILE, O_RDONLY | O_NONBLOCK);
  if (fd == -ENOENT) {
    set_defaults(values);
    return 0;
  }
  if (fd < 0) return fd;
  int result = parse_file(fd, values);
  if (result == 0 && read_from != nullptr && fstatat(fd, "", read_from, AT_EMPTY_PATH) != 0) result = -errno;
  close(fd);
  return result;
}

bool parameters_status(int dirfd, struct stat& status) {
  if (fstatat(dirfd, PARAMETERS_FILE, &status, AT_SYMLINK_NOFOLLOW) == 0) return true;
  status = {};
  return errno == ENOENT;
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
