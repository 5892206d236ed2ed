#include "cli/kernel_parameters.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "kernel/flush_call.h"

int show_kernel_parameters() {
  std::fprintf(stdout, "corvane version %s\n", CORVANE_VERSION);
  for (int i = 0; kernel_parameter_names[static_cast<std::size_t>(i)] != nullptr; ++i) {
    std::int32_t value = 0;
    const int code = parameter_read_code(i);
    const int result = corvane(code, reinterpret_cast<long>(&value));
    if (result != 0) {
      const int error = errno;
      // Keeps the listing so far ahead of the report where both streams share a file.
      std::fflush(stdout);
      std::fprintf(stderr, "ostrevan:(%d) corvane(%08x,&d)=%d %d\n", i, static_cast<unsigned>(code), result, error);
      errno = error;
      std::perror("corvane");
      return -1;
    }
    std::fprintf(stdout, "%d: %5d %s\n", i, value, kernel_parameter_names[static_cast<std::size_t>(i)]);
  }
  // A listing that never reached its reader, on a full disk or a closed pipe, failed.
  if (std::fflush(stdout) != 0) {
    std::perror("corvane: standard output");
    return -1;
  }
  return 0;
}

int set_kernel_parameter(int index, long value) {
  const int code = parameter_write_code(index);
  const int result = corvane(code, value);
  if (result == 0) return 0;
  const int error = errno;
  std::fflush(stdout);
  std::fprintf(stderr, "ostrevan: corvane(%d,%ld)=%d %d\n", code, value, result, error);
  return -1;
}
