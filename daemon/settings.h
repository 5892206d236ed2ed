#pragma once

#include <cstdint>

inline constexpr std::int32_t DEFAULT_FLUSH_DELAY = 5;
inline constexpr std::int32_t DEFAULT_SYNC_DELAY = 30;

// The update process's two delays, in seconds.
struct Settings {
  std::int32_t flush_delay = DEFAULT_FLUSH_DELAY;  // between flush requests
  std::int32_t sync_delay = DEFAULT_SYNC_DELAY;    // between calls of sync, once the kernel refused a flush
};
