#pragma once

#include <array>
#include <cstdint>

// The flush interface in user space, for machines whose kernel lacks the flush control
// call. It answers every function code as the kernel would, keeps the nine parameters in
// the file "parameters" of its state folder, and serves the flush request with sync.

struct EmulatedParameter {
  std::int32_t default_value;
  std::int32_t minimum;
  std::int32_t maximum;
};

// Index order, as the parameters are numbered. Times are in seconds, and at least one
// second, since the flush daemon sleeps the shorter of the two ageing times.
inline constexpr std::array<EmulatedParameter, 9> EMULATED_PARAMETERS = {{
    {25, 0, 100},       // 0: percent of the LRU list examined for dirty blocks
    {500, 0, 1000000},  // 1: dirty blocks written each time the flush daemon runs
    {64, 0, 1000000},   // 2: clean buffers loaded onto the free list at a time
    {256, 0, 1000000},  // 3: dirty blocks that wake the flush daemon
    {15, 0, 100},       // 4: percent of the cache scanned for free clusters
    {30, 1, 86400},     // 5: seconds a data buffer ages before it is flushed
    {5, 1, 86400},      // 6: seconds a non-data buffer ages before it is flushed
    {60, 1, 86400},     // 7: seconds of the cache's load average time constant
    {2, 0, 1000000},    // 8: load average ratio, a whole number
}};

// Answers function code func with data as the kernel would, keeping its state in
// state_dir. Returns 0, or a negative error number from -125 to -1.
long emulated_flush_call(const char* state_dir, int func, long data);
