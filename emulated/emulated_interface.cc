#include "emulated/emulated_interface.h"

#include <unistd.h>

#include <cerrno>

#include "emulated/flush_daemon.h"
#include "emulated/flush_record.h"

namespace {

long answer(const char* state_dir, int func, long data) {
  const bool known = func >= 0 && func <= parameter_write_code(KERNEL_PARAMETER_COUNT - 1);
  const bool read_code = known && func >= parameter_read_code(0) && func % 2 == 0;
  // Anybody may read the values, as anybody may read the file; everything else is root's.
  if (!read_code && geteuid() != 0) return -EPERM;
  if (!known) return -EINVAL;
  if (func == FLUSH_REQUEST) return request_flush(state_dir);
  if (func == FLUSH_START_DAEMON) return serve_as_flush_daemon(state_dir);
  const auto index = static_cast<std::size_t>((func - parameter_read_code(0)) / 2);
  if (!read_code) return store_parameter(state_dir, index, data);
  if (data == 0) return -EFAULT;
  ParameterValues values;
  const int result = read_parameters(state_dir, values);
  // The data word of a read code carries the address of the caller's integer.
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  if (result == 0) *reinterpret_cast<std::int32_t*>(data) = values[index];
  return result;
}

}  // namespace

long emulated_flush_call(const char* state_dir, int func, long data) {
  // Error numbers above 125 would not read as errors to the caller.
  const long result = answer(state_dir, func, data);
  return result < -HIGHEST_ERROR_NUMBER ? -EIO : result;
}
