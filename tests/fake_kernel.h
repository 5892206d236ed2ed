#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

// A scripted stand-in for the kernel: it keeps nine parameter values, answers every call
// with 0 unless a raw result was scripted for that function code, and logs each call.
namespace fake_kernel {

struct Call {
  int func;
  long data;
};

struct State {
  std::array<std::int32_t, 9> values{};
  std::map<int, long> scripted;  // function code -> raw result
  std::vector<Call> calls;
};

// The fake's state; tests reset it by assigning State{}.
State& state();

// The function codes logged so far, in order.
std::vector<int> funcs();

}  // namespace fake_kernel
