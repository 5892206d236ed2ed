// The test binary's own sleep and sync take the place of libc's for all the code linked
// into it, so that loops which sleep for seconds run at once and log what they did.
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "tests/fake_kernel.h"

extern "C" unsigned int sleep(unsigned int seconds) {
  if (fake_kernel::state().real_libc) {
    const timespec delay = {static_cast<time_t>(seconds), 0};
    nanosleep(&delay, nullptr);
    return 0;
  }
  fake_kernel::note("sleep " + std::to_string(seconds));
  return 0;
}

extern "C" void sync() noexcept {
  if (fake_kernel::state().real_libc) {
    syscall(SYS_sync);
    if (fake_kernel::state().sync_fd >= 0 && write(fake_kernel::state().sync_fd, "s", 1) != 1) {
      // The test stopped counting.
    }
  } else {
    fake_kernel::note("sync");
  }
}
