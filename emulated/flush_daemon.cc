#include "emulated/flush_daemon.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "emulated/parameters_file.h"
#include "emulated/state_dir.h"
#include "emulated/state_lock.h"

namespace {

constexpr std::int64_t NANOSECONDS = 1000000000;
// After the lock file or the folder went, the daemon waits this long before it makes
// them anew, so that it does not put a lock file back into a folder that is being removed.
constexpr std::int64_t SETTLE = NANOSECONDS / 5;
constexpr std::uint32_t FOLDER_EVENTS = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE |
                                        IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
// The parent is watched for the folder's name alone, while the daemon holds no lock.
constexpr std::uint32_t PARENT_EVENTS =
    IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

std::int64_t now() {
  timespec time = {};
  clock_gettime(CLOCK_MONOTONIC, &time);
  return time.tv_sec * NANOSECONDS + time.tv_nsec;
}

struct Service {
  const char* state_dir;
  std::array<char, PATH_MAX> parent = {};  // the state folder's parent
  const char* name = nullptr;              // and its name there
  int events = -1;                         // the inotify instance, where one could be had
  int mounts = -1;                         // the mount table, which reports a mount over the folder
  int watch = -1;                          // on the folder
  int parent_watch = -1;
  int folder = -1;
  int lock = -1;  // held while the daemon is the one that serves
  ParameterValues values = {};
  std::int64_t retake_at = -1;  // when to make the folder and the lock anew, while none is held
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

void watch_parent(Service& service, bool on) {
  if (on && service.parent_watch < 0 && service.events >= 0) {
    service.parent_watch = inotify_add_watch(service.events, service.parent.data(), PARENT_EVENTS);
  } else if (!on && service.parent_watch >= 0) {
    inotify_rm_watch(service.events, service.parent_watch);
    service.parent_watch = -1;
  }
}

// Takes the folder that the path names now and its lock, making either where it is
// missing and create is set, and reads the parameters. Whatever fails, the folder's
// watch is kept where the path names a folder, so that the folder being put right is
// reported. Returns 0, -EBUSY where another daemon holds the lock, or another negative
// error number.
int take(Service& service, bool create) {
  release(service);
  // A daemon that could have no watch at first (too many open) tries for one each time.
  if (service.events < 0) service.events = off_standard_streams(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  const int folder = open_state_dir(service.state_dir, create);
  if (service.events >= 0) service.watch = inotify_add_watch(service.events, service.state_dir, FOLDER_EVENTS);
  if (folder < 0) return folder;
  service.folder = folder;
  if (service.watch < 0) return service.events < 0 ? -EBADF : -errno;
  // The watch went on whatever the path named by then: it must be the folder opened.
  if (!still_named(AT_FDCWD, service.state_dir, folder)) return -EAGAIN;
  const int lock = take_lock(folder, DAEMON_LOCK, false, create);
  if (lock < 0) return lock;
  service.lock = lock;
  read_values(service);
  return 0;
}

// What happened since the last look: anything at all, and whether it touched the
// parameters file.
struct Changes {
  bool any = false;
  bool parameters = false;
};

Changes read_events(const Service& service) {
  alignas(inotify_event) std::array<char, sizeof(inotify_event) + NAME_MAX + 1> buffer;
  Changes changes;
  ssize_t size = 0;
  while ((size = read(service.events, buffer.data(), buffer.size())) > 0) {
    for (ssize_t at = 0; at < size;) {
      inotify_event event;
      std::memcpy(&event, buffer.data() + at, sizeof event);
      const char* name = buffer.data() + at + sizeof event;
      at += static_cast<ssize_t>(sizeof event + event.len);
      // Events of watches given up say nothing; events lost to a full queue may have
      // been any.
      const bool everything = (event.mask & IN_Q_OVERFLOW) != 0;
      const bool on_folder = event.wd == service.watch && service.watch >= 0;
      const bool on_name = event.wd == service.parent_watch && service.parent_watch >= 0 &&
                           (event.len == 0 || std::strcmp(name, service.name) == 0);
      if (!everything && !on_folder && !on_name) continue;
      changes.any = true;
      if (everything || (on_folder && event.len > 0 && std::strcmp(name, PARAMETERS_FILE) == 0)) {
        changes.parameters = true;
      }
    }
  }
  return changes;
}

// Takes the folder and its lock, or serves on without them, watching the parent for the
// folder's name meanwhile; where nothing was to be made, they are made anew once things
// have settled. Returns -EBUSY where the daemon is to yield to another, or 0.
int take_or_serve_on(Service& service, bool create) {
  const int result = take(service, create);
  if (result == -EBUSY) return result;
  watch_parent(service, result != 0);
  if (result == 0) {
    service.retake_at = -1;
  } else if (!create && service.retake_at < 0) {
    service.retake_at = now() + SETTLE;
  }
  return 0;
}

// Looks at the folder after a change. The daemon that holds the lock checks that it is
// still the lock of the folder that the path names; one that does not tries at once,
// without making anything, to take the lock. Returns -EBUSY where it is to yield to
// another daemon, or 0 while it serves.
int look(Service& service) {
  if (service.lock >= 0 && lock_still_named(service.state_dir, service.folder, DAEMON_LOCK, service.lock)) return 0;
  return take_or_serve_on(service, false);
}

// Waits until wake, or until the folder or the mount table changes. Returns -EBUSY where
// the daemon is to yield, or 0.
int wait_until(Service& service, std::int64_t wake) {
  const std::int64_t wait = std::max<std::int64_t>(wake - now(), 0);
  const timespec timeout = {static_cast<time_t>(wait / NANOSECONDS), static_cast<long>(wait % NANOSECONDS)};
  std::array<pollfd, 2> watched = {{{service.events, POLLIN, 0}, {service.mounts, POLLPRI, 0}}};
  if (ppoll(watched.data(), watched.size(), &timeout, nullptr) <= 0) return 0;
  Changes changes;
  if (watched[0].revents != 0) changes = read_events(service);
  // The mount table reports a change as an error and urgent data.
  if (watched[1].revents != 0) changes.any = true;
  if (!changes.any) return 0;
  const bool held = service.lock >= 0;
  if (look(service) != 0) return -EBUSY;
  // A lock taken anew has read the values already.
  if (changes.parameters && held && service.lock >= 0) read_values(service);
  return 0;
}

// Makes the folder and the lock anew once their loss has settled. Returns -EBUSY where the
// daemon is to yield, or 0 while it serves, holding the lock or not.
int retake_when_due(Service& service) {
  if (service.retake_at < 0 || now() < service.retake_at) return 0;
  service.retake_at = -1;
  return take_or_serve_on(service, true);
}

// The state folder's parent, and the folder's name there.
void find_parent(Service& service) {
  const std::size_t length = std::min(std::strlen(service.state_dir), service.parent.size() - 1);
  std::size_t name_at = 0;
  for (std::size_t i = 0; i < length; ++i) {
    service.parent[i] = service.state_dir[i];
    if (service.state_dir[i] == '/') name_at = i + 1;
  }
  service.name = service.state_dir + name_at;
  // "/run/corvane" has the parent "/run", "/corvane" the parent "/", "corvane" ".".
  if (name_at == 0) service.parent[0] = '.';
  service.parent[name_at > 1 ? name_at - 1 : 1] = '\0';
}

void stop(Service& service) {
  release(service);
  watch_parent(service, false);
  if (service.events >= 0) close(service.events);
  if (service.mounts >= 0) close(service.mounts);
}

}  // namespace

int serve_as_flush_daemon(const char* state_dir) {
  Service service{state_dir};
  set_defaults(service.values);
  find_parent(service);
  // Without it, the daemon still flushes; it only notices less.
  service.mounts = off_standard_streams(openat(AT_FDCWD, "/proc/self/mountinfo", O_RDONLY | O_NOCTTY | O_CLOEXEC));

  // Only another daemon that holds the lock ends this one: whatever else is wrong with
  // the folder, the daemon serves on without the lock, and takes it once it can.
  int result = take_or_serve_on(service, true);
  // The folder may have changed under the daemon's hands while it started.
  if (result == 0 && service.lock < 0) service.retake_at = now() + SETTLE;
  std::int64_t last_flush = now();
  while (result == 0) {
    const std::int64_t flush_at = last_flush + period(service.values);
    result = wait_until(service, service.retake_at >= 0 ? std::min(flush_at, service.retake_at) : flush_at);
    if (result == 0) result = retake_when_due(service);
    // A daemon that yielded flushes no more.
    if (result == 0 && now() >= last_flush + period(service.values)) {
      sync();
      last_flush = now();
      // Without the lock, and with no change reported, the daemon tries again each time
      // it flushes: not every fault is one that a watch reports.
      if (service.lock < 0 && service.retake_at < 0) service.retake_at = last_flush;
    }
  }
  stop(service);
  return result;
}
