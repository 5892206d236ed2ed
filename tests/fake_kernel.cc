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

}  // namespace fake_kernel

long kernel_flush_call(int func, long data) {
  fake_kernel::State& state = fake_kernel::state();
  state.calls.push_back({func, data});
  if (func == FLUSH_REQUEST && state.flushes_before_refusal >= 0) {
    if (state.flushes_before_refusal == 0) {
      fake_kernel::note("corvane 1 refused");
      return -EPERM;
    }
    --state.flushes_before_refusal;
  }
  fake_kernel::note("corvane " + std::to_string(func));
  if (const auto scripted = state.scripted.find(func); scripted != state.scripted.end()) return scripted->second;
  if (func >= parameter_read_code(0) && func <= parameter_write_code(8)) {
    const auto index = static_cast<std::size_t>((func - 2) / 2);
    if (func % 2 == 0) {
      *reinterpret_cast<std::int32_t*>(data) = state.values[index];
    } else {
      state.values[index] = static_cast<std::int32_t>(data);
    }
  }
  return 0;
}
