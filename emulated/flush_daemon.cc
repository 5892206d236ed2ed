#include "emulated/flush_daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "emulated/parameters_file.h"
#include "emulated/state_dir.h"
#include "emulated/state_lock.h"

namespace {

constexpr std::int64_t NANOSECONDS = 1000000000;
// After the lock file or the folder went, the daemon waits this long before it takes
// them anew, so that it does not put a lock file back into a folder that is being removed.
constexpr std::int64_t SETTLE = NANOSECONDS / 5;
constexpr std::uint32_t FOLDER_EVENTS =
    IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr std::uint32_t FILE_GONE = IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;
constexpr std::uint32_t FOLDER_GONE = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;

std::int64_t now() {
  timespec time = {};
  clock_gettime(CLOCK_MONOTONIC, &time);
  return time.tv_sec * NANOSECONDS + time.tv_nsec;
}

struct Service {
  const char* state_dir;
  int events = -1;  // the inotify instance
  int watch = -1;   // its watch on the folder
  int folder = -1;
  int lock = -1;
  ParameterValues values = {};
  std::int64_t retake_at = -1;  // once the lock was lost
};

std::int64_t period(const ParameterValues& values) {
  return std::min(values[DATA_AGEING], values[METADATA_AGEING]) * NANOSECONDS;
}

void read_values(Service& service) {
  // A file that cannot be read does not stop the flushing: the defaults stand in.
  if (load_parameters(service.folder, service.values) != 0) set_defaults(service.values);
}

void release(Service& service) {
  if (service.watch >= 0) inotify_rm_watch(service.events, service.watch);
  if (service.lock >= 0) close(service.lock);
  if (service.folder >= 0) close(service.folder);
  service.watch = service.lock = service.folder = -1;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Takes the folder, creating it if need be, its watch and its lock, and reads the
// parameters. Returns 0, -EAGAIN when the folder changed under the daemon's hands, or
// another negative error number.
int take(Service& service) {
  service.folder = open_state_dir(service.state_dir, true);
  if (service.folder < 0) return service.folder;
  service.watch = inotify_add_watch(service.events, service.state_dir, FOLDER_EVENTS | IN_ONLYDIR | IN_DONT_FOLLOW);
  if (service.watch < 0) return -errno;
  // The watch went on whatever the path named by then: it must be the folder opened.
  struct stat opened = {};
  struct stat watched = {};
  if (fstatat(service.folder, "", &opened, AT_EMPTY_PATH) != 0) return -errno;
  if (fstatat(AT_FDCWD, service.state_dir, &watched, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? -EAGAIN : -errno;
  }
  if (!same_file(opened, watched)) return -EAGAIN;
  service.lock = take_lock(service.folder, DAEMON_LOCK, false);
  if (service.lock < 0) return service.lock;
  read_values(service);
  return 0;
}

// What the folder's events since the last look say.
struct Changes {
  bool parameters = false;
  bool lost = false;
};

Changes read_events(const Service& service) {
  alignas(inotify_event) char buffer[sizeof(inotify_event) + NAME_MAX + 1];
  Changes changes;
  const ssize_t size = read(service.events, buffer, sizeof buffer);
  for (ssize_t at = 0; at < size;) {
    inotify_event event;
    std::memcpy(&event, buffer + at, sizeof event);
    const char* name = buffer + at + sizeof event;
    at += static_cast<ssize_t>(sizeof event + event.len);
    // Events lost to a full queue may have been any of these; a watch the daemon gave up
    // still reports that it went.
    const bool overflow = (event.mask & IN_Q_OVERFLOW) != 0;
    if (!overflow && event.wd != service.watch) continue;
    if (overflow || (event.mask & FOLDER_GONE) != 0) {
      changes.lost = changes.parameters = true;
    } else if (event.len > 0 && std::strcmp(name, DAEMON_LOCK) == 0) {
      changes.lost = changes.lost || (event.mask & FILE_GONE) != 0;
    } else if (event.len > 0 && std::strcmp(name, PARAMETERS_FILE) == 0) {
      changes.parameters = true;
    }
  }
  return changes;
}

// Waits until wake, or until the folder changes: a lost lock is to be taken anew once
// things settle, and changed parameters count at once.
void wait_until(Service& service, std::int64_t wake) {
  const std::int64_t wait = std::max<std::int64_t>(wake - now(), 0);
  const timespec timeout = {static_cast<time_t>(wait / NANOSECONDS), static_cast<long>(wait % NANOSECONDS)};
  pollfd watched = {service.events, POLLIN, 0};
  if (ppoll(&watched, 1, &timeout, nullptr) <= 0) return;
  const Changes changes = read_events(service);
  if (changes.lost && service.retake_at < 0) service.retake_at = now() + SETTLE;
  if (changes.parameters && service.retake_at < 0) read_values(service);
}

// Takes the folder and the lock anew once their loss has settled. Returns 0 while the
// daemon serves on, or why it cannot: -EBUSY where another daemon took the lock first.
int retake_when_due(Service& service) {
  if (service.retake_at < 0 || now() < service.retake_at) return 0;
  release(service);
  const int result = take(service);
  if (result == -EAGAIN) {
    service.retake_at = now() + SETTLE;
    return 0;
  }
  service.retake_at = -1;
  return result;
}

void stop(Service& service) {
  release(service);
  if (service.events >= 0) close(service.events);
}

}  // namespace

int serve_as_flush_daemon(const char* state_dir) {
  Service service{state_dir};
  service.events = off_standard_streams(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (service.events < 0) return -errno;
  // The folder may change under the daemon's hands while it starts; a few tries settle it.
  int result = -EAGAIN;
  for (int tries = 0; tries < 3 && result == -EAGAIN; ++tries) {
    release(service);
    result = take(service);
  }
  std::int64_t last_flush = now();
  while (result == 0) {
    const std::int64_t flush_at = last_flush + period(service.values);
    wait_until(service, service.retake_at >= 0 ? std::min(flush_at, service.retake_at) : flush_at);
    result = retake_when_due(service);
    // A daemon that yielded flushes no more.
    if (result == 0 && now() >= last_flush + period(service.values)) {
      sync();
      last_flush = now();
    }
  }
  stop(service);
  return result;
}
