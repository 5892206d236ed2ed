#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// A scripted stand-in for the kernel: it keeps nine parameter values, answers every call
// with 0 unless a raw result was scripted for that function code, and logs each call.
// The test binary's own sleep and sync (fake_libc.cc) log themselves beside it.
namespace fake_kernel {

struct Call {
  int func;
  long data;
};

struct State {
  std::array<std::int32_t, 9> values{};
  std::map<int, long> scripted;  // function code -> raw result
  std::vector<Call> calls;
  // Flush requests answered 0 before every later one is refused with EPERM; -1: all.
  long flushes_before_refusal = -1;

  // "corvane F", "sleep N" and "sync", in order, each with argv[0] behind it when set.
  std::vector<std::string> events;
  char** argv = nullptr;
  // When this many events are logged, they go to report_fd, a line each, and the
  // process ends: the way out of a loop that never returns.
  std::size_t event_limit = 0;
  int report_fd = -1;
  // sleep and sync do the real thing, unlogged: for loops that are to run on their own.
  bool real_libc = false;
  // With real_libc, each sync also writes a byte here: how a test counts the flushes.
  int sync_fd = -1;
  // Called once, with the descriptor, at the next fsync, before it is made: how a test
  // acts at the instant a writer has written its temporary file and not yet replaced the
  // parameters file.
  std::function<void(int)> on_fsync;
  // Called once at the next renameat, before it is made: how a test acts between a
  // writer's last look and its replace.
  std::function<void()> on_rename;
  // The wall clock runs backwards: how a test shows that nothing is timed by it.
  bool wall_clock_backwards = false;
  // The wall clock runs this far ahead of the kernel's: how a test ages the flush record.
  std::int64_t wall_clock_ahead_ns = 0;
};

// The fake's state; tests reset it by assigning State{}.
State& state();

// The function codes logged so far, in order.
std::vector<int> funcs();

void note(const std::string& event);

// Answers one flush control call as scripted: the kernel's side of kernel_flush_call.
long answer(int func, long data);

}  // namespace fake_kernel
