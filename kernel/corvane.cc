#include <cerrno>
#include <cstdint>

#include "kernel/flush_call.h"

int convert_kernel_result(long raw) {
  // The kernel answers in one 32-bit register whatever the width of long here.
  const auto r = static_cast<std::int32_t>(raw);
  if (r < 0 && r >= -HIGHEST_ERROR_NUMBER) {
    errno = -r;
    return -1;
  }
  return r;
}

int corvane(int func, long data) { return convert_kernel_result(kernel_flush_call(func, data)); }
