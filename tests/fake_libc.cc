// The test binary's own sleep, sync, fsync, renameat and clock_gettime take the place of
// libc's for all the code linked into it, so that loops which sleep for seconds run at
// once and log what they did, a test can act at the instant a file is made durable or put
// in place, and the wall clock can be made to run backwards or ahead.
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

extern "C" int renameat(int from_dir, const char* from, int to_dir, const char* to) noexcept {
  if (auto act = std::exchange(fake_kernel::state().on_rename, nullptr)) act();
  return static_cast<int>(syscall(SYS_renameat2, from_dir, from, to_dir, to, 0));
}

extern "C" int clock_gettime(clockid_t clock, timespec* time) noexcept {
  const auto result = static_cast<int>(syscall(SYS_clock_gettime, clock, time));
  constexpr long long NANOSECONDS = 1000000000;
  if (const long long ahead = fake_kernel::state().wall_clock_ahead_ns; result == 0 && clock == CLOCK_REALTIME) {
    const long long at = time->tv_nsec + ahead % NANOSECONDS + NANOSECONDS;
    time->tv_sec += static_cast<time_t>(ahead / NANOSECONDS + at / NANOSECONDS - 1);
    time->tv_nsec = static_cast<long>(at % NANOSECONDS);
  }
  if (result == 0 && clock == CLOCK_REALTIME && fake_kernel::state().wall_clock_backwards) {
    constexpr time_t MIRROR = 2000000000;
    time->tv_sec = MIRROR - time->tv_sec - (time->tv_nsec > 0 ? 1 : 0);
    time->tv_nsec = time->tv_nsec > 0 ? NANOSECONDS - time->tv_nsec : 0;
  }
  return result;
}
