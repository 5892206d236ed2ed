// The test binary's own sleep, sync and fsync take the place of libc's for all the code
// linked into it, so that loops which sleep for seconds run at once and log what they
// did, and a test can act at the instant a file is made durable.
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <utility>

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

extern "C" int fsync(int fd) {
  if (auto act = std::exchange(fake_kernel::state().on_fsync, nullptr)) act(fd);
  return static_cast<int>(syscall(SYS_fsync, fd));
}
