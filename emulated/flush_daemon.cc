#include "emulated/flush_daemon.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "emulated/flush_record.h"

namespace {

constexpr const char* DAEMON_LOCK = "daemon.lock";
constexpr mode_t LOCK_MODE = S_IRUSR | S_IWUSR;
constexpr std::int64_t LOOK_EVERY = 5 * SECOND_NS;  // and at every flush, whatever the period
constexpr std::uint32_t FOLDER_EVENTS = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE |
                                        IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

struct Daemon {
  const char* state_dir;
  int events = -1;  // the inotify instance, where one could be had
  int lock = -1;    // held while this daemon is the one that serves
  std::int64_t period = 0;
  std::int64_t flushed = 0;  // when it last flushed itself
  std::int64_t tried = 0;    // when it last came to a flush due
  // The lock's, the parameters file's and the record's paths, and what the last look found
  // at the first two.
  std::array<char, PATH_MAX> lock_path = {};
  std::array<char, PATH_MAX> parameters_path = {};
  std::array<char, PATH_MAX> record_path = {};
  struct stat lock_seen = {};
  struct stat parameters_seen = {};
};

// Follows the period that the folder's parameters file says: a file that is not nine
// valid numbers or is not root's gives the defaults, as a missing file or folder (folder
// -ENOENT) does; a failure that says nothing of them leaves the period, to be read again.
void follow_parameters(Daemon& daemon, int folder) {
  ParameterValues values;
  struct stat read_from = {};
  const int result = folder >= 0 ? load_parameters(folder, values, &read_from) : folder;
  const bool verdict =
      folder >= 0 ? result == 0 || result == -EIO || result == -EACCES || result == -ELOOP : folder == -ENOENT;
  if (!verdict) read_from.st_size = -1;  // which no file has
  daemon.parameters_seen = read_from;
  if (result != 0) set_defaults(values);
  if (!verdict || flush_period(values) == daemon.period) return;
  // Another period: the update processes may have flushed in place of a daemon that was
  // late by the old one, and its own flushes count from now.
  daemon.period = flush_period(values);
  daemon.flushed = monotonic_ns();
}

void release(Daemon& daemon) {
  if (daemon.lock >= 0) close(daemon.lock);
  daemon.lock = -1;
}

// Whether the lock held is the file that the lock's name in the folder names, root's alone.
bool holds(Daemon& daemon, int folder) {
  const struct stat held = status_of(daemon.lock);
  daemon.lock_seen = status_of(folder, DAEMON_LOCK);
  return daemon.lock >= 0 && daemon.lock_seen.st_dev == held.st_dev && daemon.lock_seen.st_ino == held.st_ino &&
         trusted(daemon.lock_seen, false, LOCK_MODE);
}

// Takes the folder's lock, making it where create is set: -EBUSY where another holds it,
// else 0, whether it was taken or the daemon serves without it.
int take(Daemon& daemon, int folder, bool create) {
  release(daemon);
  daemon.lock = open_state(folder, DAEMON_LOCK, O_RDONLY | (create ? O_CREAT : 0), LOCK_MODE);
  const bool locked = daemon.lock >= 0 && flock(daemon.lock, LOCK_EX | LOCK_NB) == 0;
  const bool busy = daemon.lock >= 0 && !locked && errno == EWOULDBLOCK;
  // The name may have come to name another file before the lock was had.
  if (locked && holds(daemon, folder)) return 0;
  release(daemon);
  return busy ? -EBUSY : 0;
}

// Looks at the folder, making what is missing where create is set, and follows its
// period; answers as take does. Where nothing changed since the last look, a look is two
// status calls.
int look(Daemon& daemon, bool create) {
  if (daemon.lock >= 0 && same_file_unchanged(status_of(AT_FDCWD, daemon.lock_path.data()), daemon.lock_seen) &&
      same_file_unchanged(status_of(AT_FDCWD, daemon.parameters_path.data()), daemon.parameters_seen)) {
    return 0;
  }
  const int folder =
      open_state(AT_FDCWD, daemon.state_dir, O_RDONLY | O_DIRECTORY | (create ? O_CREAT : 0), STATE_FOLDER_MODE);
  if (daemon.events >= 0) inotify_add_watch(daemon.events, daemon.state_dir, FOLDER_EVENTS);
  follow_parameters(daemon, folder);
  if (folder == -ENOENT) release(daemon);  // the lock went with it
  if (folder < 0) return 0;
  const int result = holds(daemon, folder) ? 0 : take(daemon, folder, create);
  close(folder);
  return result;
}

// When the daemon flushes next: an ageing time after the service's last flush and its own
// last try, and at the latest two after its own last flush, whatever the record says.
std::int64_t next_flush(const Daemon& daemon, std::int64_t now) {
  const std::int64_t since = std::min(since_last_flush(status_of(AT_FDCWD, daemon.record_path.data())), daemon.period);
  return std::min(std::max(now - since, daemon.tried) + daemon.period, daemon.flushed + 2 * daemon.period);
}

// Waits until wake or a change in the folder; answers whether the folder changed.
bool wait_until(const Daemon& daemon, std::int64_t wake) {
  const std::int64_t wait = std::max<std::int64_t>(wake - monotonic_ns(), 0);
  const timespec timeout = {static_cast<time_t>(wait / SECOND_NS), static_cast<long>(wait % SECOND_NS)};
  pollfd watched = {daemon.events, POLLIN, 0};
  if (ppoll(&watched, 1, &timeout, nullptr) <= 0) return false;
  alignas(inotify_event) std::array<char, sizeof(inotify_event) + NAME_MAX + 1> events;
  while (read(daemon.events, events.data(), events.size()) > 0) continue;
  return true;
}

}  // namespace

// The loop works from one deadline: the next flush, or the next look where it is sooner.
// A change that the watch reports is looked at at once, making nothing, so that nothing is
// put back into a folder being removed; the next look on the clock makes what is missing.
int serve_as_flush_daemon(const char* state_dir) {
  Daemon daemon{state_dir};
  std::snprintf(daemon.lock_path.data(), daemon.lock_path.size(), "%s/%s", state_dir, DAEMON_LOCK);
  std::snprintf(daemon.parameters_path.data(), daemon.parameters_path.size(), "%s/%s", state_dir, PARAMETERS_FILE);
  std::snprintf(daemon.record_path.data(), daemon.record_path.size(), "%s/%s", state_dir, FLUSH_RECORD);
  daemon.events = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  follow_parameters(daemon, -ENOENT);
  daemon.flushed = monotonic_ns();
  daemon.tried = INT64_MIN / 2;  // never, and yet a period may be added to it
  std::int64_t look_at = 0;
  bool changed = false;
  for (;;) {
    const std::int64_t now = monotonic_ns();
    const bool on_the_clock = !changed || now >= look_at;
    if (on_the_clock) look_at = now + LOOK_EVERY;
    if (look(daemon, on_the_clock) < 0) break;
    std::int64_t due = next_flush(daemon, now);
    if (now >= due) {
      daemon.tried = now;
      const bool forced = now >= daemon.flushed + 2 * daemon.period;
      if (flush_when_due(AT_FDCWD, daemon.record_path.data(), daemon.period, forced)) daemon.flushed = monotonic_ns();
      due = next_flush(daemon, monotonic_ns());
    }
    const std::int64_t wake = std::min(due, look_at);
    changed = wait_until(daemon, wake);
    // Time spent stopped put off no flush: a daemon that goes on counts from then.
    if (monotonic_ns() > wake + SECOND_NS) daemon.flushed = monotonic_ns();
  }
  release(daemon);
  if (daemon.events >= 0) close(daemon.events);
  return -EBUSY;
}
