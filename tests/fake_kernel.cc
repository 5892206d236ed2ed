#include "tests/fake_kernel.h"

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

}  // namespace fake_kernel

long kernel_flush_call(int func, long data) {
  fake_kernel::State& state = fake_kernel::state();
  state.calls.push_back({func, data});
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
