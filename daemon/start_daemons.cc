#include "daemon/start_daemons.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/program_name.h"
#include "daemon/process_title.h"
#include "daemon/update_loop.h"
#include "kernel/flush_call.h"

namespace {

constexpr int INHERITED_DESCRIPTORS = 256;

[[noreturn]] void flush_once(char* argv[]) {
  // The kernel's answer changes nothing here: sync follows either way.
  corvane(FLUSH_REQUEST, 0);
  sync();
  std::fprintf(stderr, "%s: not run as superuser, corvane() and sync() called.\n", program_name(argv));
  std::exit(0);
}

// Cuts the process loose from its caller: no terminal, pipe or file held open, no hold
// on the caller's working folder, and no end by the caller's termination signals.
void detach() {
  for (int fd = 0; fd < INHERITED_DESCRIPTORS; ++fd) close(fd);
  // A descriptor above those would keep the caller's lock, pipe or file for the rest of
  // the processes' lives.
  if (close_range(INHERITED_DESCRIPTORS, ~0U, 0) != 0) {
    const long limit = sysconf(_SC_OPEN_MAX);
    for (long fd = INHERITED_DESCRIPTORS; fd < limit; ++fd) close(static_cast<int>(fd));
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
