#pragma once

#include <cstdint>

// The update process's two delays, in seconds.
struct Settings {
  std::int32_t flush_delay = 5;  // between flush requests
  std::int32_t sync_delay = 30;  // between calls of sync, once the kernel refused a flush
};
