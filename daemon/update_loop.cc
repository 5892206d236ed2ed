#include "daemon/update_loop.h"

#include <unistd.h>

#include "daemon/process_title.h"
#include "kernel/flush_call.h"

void run_update_loop(const Settings& settings, char* argv[], int argc) {
  do {
    sleep(static_cast<unsigned>(settings.flush_delay));
  } while (corvane(FLUSH_REQUEST, 0) == 0);
  set_process_title(argv, argc, "update (sync)");
  for (;;) {
    sleep(static_cast<unsigned>(settings.sync_delay));
    sync();
  }
}
