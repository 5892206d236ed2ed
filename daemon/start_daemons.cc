#include "daemon/start_daemons.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/folder_names.h"
#include "common/program_name.h"
#include "daemon/process_title.h"
#include "daemon/update_loop.h"
#include "kernel/flush_call.h"

namespace {

constexpr int INHERITED_DESCRIPTORS = 256;
constexpr int DECIMAL = 10;
// The kernel's own default for the highest limit on descriptors, where none can be read.
constexpr rlim_t RLIMIT_FALLBACK = 1 << 20;

[[noreturn]] void flush_once(char* argv[]) {
  // The kernel's answer changes nothing here: sync follows either way.
  corvane(FLUSH_REQUEST, 0);
  sync();
  std::fprintf(stderr, "%s: not run as superuser, corvane() and sync() called.\n", program_name(argv));
  std::exit(0);
}

// Where close_range is missing (kernels before 5.9), the descriptors from first up are
// closed as /proc/self/fd lists them, or, without /proc, as poll finds them open, a batch
// at a time: never one call for each number up to the limit, which may be a million.

// Returns false where /proc/self/fd cannot be read.
bool close_listed_from(int first) {
  const int listing = openat(AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return false;
  for_each_name(listing, [&](const char* name) {
    // "." and ".." read as 0, which lies below first.
    int fd = 0;
    for (const char* digit = name; *digit != '\0'; ++digit) fd = fd * DECIMAL + (*digit - '0');
    if (fd >= first && fd != listing) close(fd);
    return true;
  });
  close(listing);
  return true;
}

void close_polled_from(int first) {
  std::array<pollfd, INHERITED_DESCRIPTORS> batch;
  // Up to the hard limit: the caller may have lowered the soft one below a descriptor it
  // opened before. Poll takes no more descriptors at a time than the soft limit allows.
  rlimit limits = {RLIMIT_FALLBACK, RLIMIT_FALLBACK};
  getrlimit(RLIMIT_NOFILE, &limits);
  const auto size = static_cast<std::size_t>(std::clamp<rlim_t>(limits.rlim_cur, 1, batch.size()));
  const rlim_t limit = std::min<rlim_t>(limits.rlim_max, INT_MAX - INHERITED_DESCRIPTORS);
  for (rlim_t from = static_cast<rlim_t>(first); from < limit; from += size) {
    for (std::size_t i = 0; i < size; ++i) batch[i] = {static_cast<int>(from) + static_cast<int>(i), 0, 0};
    const timespec no_wait = {};
    if (ppoll(batch.data(), size, &no_wait, nullptr) < 0) continue;
    for (std::size_t i = 0; i < size; ++i) {
      if ((batch[i].revents & POLLNVAL) == 0) close(batch[i].fd);
    }
  }
}

// Cuts the process loose from its caller: no terminal, pipe or file held open, no hold
// on the caller's working folder, and no end by the caller's termination signals.
void detach() {
  for (int fd = 0; fd < INHERITED_DESCRIPTORS; ++fd) close(fd);
  // A descriptor above those would keep the caller's lock, pipe or file for the rest of
  // the processes' lives.
  if (close_range(INHERITED_DESCRIPTORS, ~0U, 0) != 0 && !close_listed_from(INHERITED_DESCRIPTORS)) {
    close_polled_from(INHERITED_DESCRIPTORS);
  }
  if (chdir("/") != 0) {
    // Nowhere to report it, and the processes work in any folder.
  }
  signal(SIGTERM, SIG_IGN);
  signal(SIGINT, SIG_IGN);
  signal(SIGCHLD, SIG_IGN);
}

}  // namespace

int start_daemons(const Settings& settings, int argc, char* argv[]) {
  if (geteuid() != 0) flush_once(argv);
  detach();

  const pid_t kernel_daemon = fork();
  if (kernel_daemon == 0) {
    set_process_title(argv, argc, "corvane (daemon)");
    setsid();
    corvane(FLUSH_START_DAEMON, 0);
    // The kernel gave the process back: it has nothing else to do.
    _exit(1);
  }
  const pid_t update = fork();
  if (update == 0) {
    set_process_title(argv, argc, "update (corvane)");
    setsid();
    run_update_loop(settings, argv, argc);
  }
  // Standard error is gone, so a start that left a process out says so by its status.
  return kernel_daemon < 0 || update < 0 ? 1 : 0;
}
