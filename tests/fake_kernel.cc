#include "tests/fake_kernel.h"

#include <unistd.h>

#include <cerrno>

#include "kernel/flush_call.h"

namespace fake_kernel {

State& state() {
  static State the_state;
  return the_state;
}

std::vector<int> funcs() {
  std::vector<int> result;
  for (const Call& call : state().calls) result.push_back(call.func);
  return result;
}

void note(const std::string& event) {
  State& s = state();
  s.events.push_back(s.argv != nullptr ? event + " [" + s.argv[0] + "]" : event);
  if (s.events.size() != s.event_limit) return;
  for (const std::string& line : s.events) {
    const std::string text = line + "\n";
    if (write(s.report_fd, text.data(), text.size()) < 0) break;
  }
  _exit(0);
}

long answer(int func, long data) {
  State& s = state();
  s.calls.push_back({func, data});
  if (func == FLUSH_REQUEST && s.flushes_before_refusal >= 0) {
    if (s.flushes_before_refusal == 0) {
      note("corvane 1 refused");
      return -EPERM;
    }
    --s.flushes_before_refusal;
  }
  note("corvane " + std::to_string(func));
  if (const auto scripted = s.scripted.find(func); scripted != s.scripted.end()) return scripted->second;
  if (func >= parameter_read_code(0) && func <= parameter_write_code(8)) {
    const auto index = static_cast<std::size_t>((func - 2) / 2);
    if (func % 2 == 0) {
      *reinterpret_cast<std::int32_t*>(data) = s.values[index];
    } else {
      s.values[index] = static_cast<std::int32_t>(data);
    }
  }
  return 0;
}

}  // namespace fake_kernel

// Where the test binary links the real native backend, its int $0x80 reaches the answer
// through the stand-in for the kernel (native_backend_test.cc) instead.
#ifndef CORVANE_KERNEL_STAND_IN
long kernel_flush_call(int func, long data) { return fake_kernel::answer(func, data); }
#endif
