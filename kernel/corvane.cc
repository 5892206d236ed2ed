#include "kernel/flush_call.h"

#include <cerrno>
#include <cstdint>

int convert_kernel_result(long raw) {
  // The kernel answers in one 32-bit register whatever the width of long here.
  const auto r = static_cast<std::int32_t>(raw);
  if (static_cast<std::uint32_t>(r) >= 0xFFFFFF83U) {
    errno = -r;
    return -1;
  }
  return r;
}

int corvane(int func, long data) { return convert_kernel_result(kernel_flush_call(func, data)); }
