#include "emulated/flush_daemon.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
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
// However long its period, the daemon looks at what it holds, or tries to take the folder
// while it holds nothing, this often: a change that no event reports counts within it.
constexpr std::int64_t LOOK_EVERY = 5 * NANOSECONDS;
constexpr std::uint32_t FOLDER_EVENTS = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE |
                                        IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
// The parent is watched for the folder's name alone, while the daemon holds no lock.
constexpr std::uint32_t PARENT_EVENTS =
    IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// The program binds no string comparison of the C library's for this one.
bool same_name(const char* a, const char* b) {
  for (; *a != '\0' && *a == *b; ++a, ++b) {
  }
  return *a == *b;
}

// Which file a descriptor is on, to be compared with what a name names later.
struct Identity {
  dev_t device = 0;
  ino_t inode = 0;  // 0 where it could not be told: it then matches nothing
};

Identity identify(int fd) {
  struct stat status = {};
  if (fstatat(fd, "", &status, AT_EMPTY_PATH) != 0) return {};
  return {status.st_dev, status.st_ino};
}

// Whether name in the folder dirfd (or AT_FDCWD) names the file held, no link followed,
// and that file is still a kind of state that only root may have put there.
bool names(int dirfd, const char* name, const Identity& held, StateKind kind) {
  struct stat named = {};
  return fstatat(dirfd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == held.device &&
         named.st_ino == held.inode && held.inode != 0 && trusted(named, kind);
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
  Identity folder_id = {};
  int lock = -1;  // held while the daemon is the one that serves
  Identity lock_id = {};
  ParameterValues values = {};
  // The parameters file as it was when the values were last read from it (all zero for
  // a missing file), and whether they were read from this folder at all.
  struct stat read_from = {};
  bool read = false;
  std::int64_t retake_at = -1;  // when to make the folder and the lock anew, while none is held
  std::int64_t looked_at = 0;   // when the daemon last looked at what it holds
  // Set where the lock was just taken: the daemon it was taken from, if any, may have
  // flushed last a period ago, so the new holder flushes at once.
  bool flush_now = false;
};

std::int64_t period(const ParameterValues& values) {
  return std::min(values[DATA_AGEING], values[METADATA_AGEING]) * NANOSECONDS;
}

// When the next flush is due: at once where the lock was just taken.
std::int64_t next_flush(const Service& service, std::int64_t last_flush) {
  return service.flush_now ? 0 : last_flush + period(service.values);
}

// Reads the values again where the parameters file that the name names is not the one
// last read: another file, or one changed since. With or without a watch, the period
// follows the file from the next look on.
void follow_parameters(Service& service) {
  struct stat named = {};
  if (!parameters_status(service.folder, named)) return;
  if (service.read && same_file_unchanged(named, service.read_from)) return;
  ParameterValues values;
  const int result = load_parameters(service.folder, values);
  // Only a verdict on the file changes the values: a missing file gives the defaults, and
  // so, without stopping the flushing, does one that is not nine valid numbers or not a
  // file that only root may have put there. A failure that says nothing of the file
  // (descriptors used up, one that could not be moved, memory) leaves the values last
  // read, and the file is read again at the next look.
  if (result != 0 && result != -EIO && result != -EACCES && result != -ELOOP) return;
  if (result != 0) set_defaults(values);
  service.values = values;
  service.read_from = named;
  service.read = true;
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
// missing and create is set, and reads the parameters. The folder's watch, where one can
// be had, is kept whatever fails, where the path names a folder, so that the folder being
// put right is reported; nothing else depends on a watch. Returns 0, -EBUSY where another
// daemon holds the lock, or another negative error number.
int take(Service& service, bool create) {
  release(service);
  // A daemon that could have no watch at first (too many open) tries for one each time.
  if (service.events < 0) service.events = off_standard_streams(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  const int folder = open_state_dir(service.state_dir, create);
  if (service.events >= 0) service.watch = inotify_add_watch(service.events, service.state_dir, FOLDER_EVENTS);
  if (folder < 0) return folder;
  service.folder = folder;
  service.folder_id = identify(folder);
  // The watch went on whatever the path named by then: it must be the folder opened.
  if (!names(AT_FDCWD, service.state_dir, service.folder_id, StateKind::FOLDER)) return -EAGAIN;
  const int lock = take_daemon_lock(folder, create);
  if (lock < 0) return lock;
  service.lock = lock;
  service.lock_id = identify(lock);
  service.flush_now = true;
  service.read = false;
  follow_parameters(service);
  return 0;
}

// Whether anything reported since the last read concerns the folder or its name.
bool read_events(const Service& service) {
  alignas(inotify_event) std::array<char, sizeof(inotify_event) + NAME_MAX + 1> buffer;
  bool any = false;
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
                           (event.len == 0 || same_name(name, service.name));
      any = any || everything || on_folder || on_name;
    }
  }
  return any;
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
    service.retake_at = monotonic_ns() + SETTLE;
  }
  return 0;
}

// Looks at what the daemon holds, with the rules of a fresh take: the path still names
// the folder held, root's and closed to others, and the lock's name the file locked,
// root's alone. Where that holds, the parameters are read again if their file changed.
// Where it does not, or no lock is held, the daemon lets go and tries at once, without
// making anything, to take the folder that the path names. Returns -EBUSY where it is to
// yield to another daemon, or 0 while it serves.
int look(Service& service) {
  service.looked_at = monotonic_ns();
  if (service.lock >= 0 && names(AT_FDCWD, service.state_dir, service.folder_id, StateKind::FOLDER) &&
      names(service.folder, DAEMON_LOCK, service.lock_id, StateKind::PRIVATE_FILE)) {
    follow_parameters(service);
    return 0;
  }
  return take_or_serve_on(service, false);
}

// Waits until wake, or until the folder or the mount table changes, and looks at once at
// a change. Returns -EBUSY where the daemon is to yield, or 0.
int wait_until(Service& service, std::int64_t wake) {
  const std::int64_t wait = std::max<std::int64_t>(wake - monotonic_ns(), 0);
  const timespec timeout = {static_cast<time_t>(wait / NANOSECONDS), static_cast<long>(wait % NANOSECONDS)};
  std::array<pollfd, 2> watched = {{{service.events, POLLIN, 0}, {service.mounts, POLLPRI, 0}}};
  if (ppoll(watched.data(), watched.size(), &timeout, nullptr) <= 0) return 0;
  // The mount table reports a change as an error and urgent data.
  const bool changed = watched[1].revents != 0;
  if ((watched[0].revents != 0 && read_events(service)) || changed) return look(service);
  return 0;
}

// Makes the folder and the lock anew once their loss has settled. Returns -EBUSY where the
// daemon is to yield, or 0 while it serves, holding the lock or not.
int retake_when_due(Service& service) {
  if (service.retake_at < 0 || monotonic_ns() < service.retake_at) return 0;
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
  if (result == 0 && service.lock < 0) service.retake_at = monotonic_ns() + SETTLE;
  std::int64_t last_flush = service.looked_at = monotonic_ns();
  while (result == 0) {
    const std::int64_t flush_at = next_flush(service, last_flush);
    const std::int64_t look_at = service.looked_at + LOOK_EVERY;
    const std::int64_t wake = std::min(flush_at, look_at);
    result = wait_until(service, service.retake_at >= 0 ? std::min(wake, service.retake_at) : wake);
    if (result == 0) result = retake_when_due(service);
    // A look between flushes may find a shorter period, by which the flush is due already.
    if (result == 0 && monotonic_ns() >= look_at && monotonic_ns() < flush_at) result = look(service);
    if (result != 0 || monotonic_ns() < next_flush(service, last_flush)) continue;
    // However it was woken, the lock holder looks at what it holds before it flushes:
    // not every change is one that a watch reports. A daemon that yields flushes no more.
    if (service.lock >= 0 && (result = look(service)) != 0) continue;
    sync();
    // The look came just before the flush; the time a flush takes is not the daemon's.
    last_flush = service.looked_at = monotonic_ns();
    service.flush_now = false;
    // Without the lock, the daemon tries again, making what is missing, each time it
    // flushes.
    if (service.lock < 0 && service.retake_at < 0) service.retake_at = last_flush;
  }
  stop(service);
  return result;
}
