#include "daemon/start_daemons.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cli/options.h"
#include "kernel/flush_call.h"

namespace {

[[noreturn]] void flush_once(char* argv[]) {
  // The kernel's answer changes nothing here: sync follows either way.
  corvane(FLUSH_REQUEST, 0);
  sync();
  std::fprintf(stderr, "%s: not run as superuser, corvane() and sync() called.\n", program_name(argv));
  std::exit(0);
}

}  // namespace

int start_daemons(const Settings& settings, int argc, char* argv[]) {
  static_cast<void>(settings);
  static_cast<void>(argc);
  if (geteuid() != 0) flush_once(argv);
  // The background service is not built yet: say so by the status, not by pretending.
  return 1;
}
