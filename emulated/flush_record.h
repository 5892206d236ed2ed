#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>

#include "emulated/parameters_file.h"
#include "emulated/state_dir.h"

// The record of the service's last completed flush: the modification time of an empty
// file of root's alone in the state folder, set as each flush completes. Whoever holds
// the file (flock) is flushing. A record missing, not one the interface could have
// written, or in the future, tells of a flush long ago.
inline constexpr const char* FLUSH_RECORD = "flushed";
inline constexpr std::int64_t LONG_AGO = INT64_MAX;

// The flush daemon's period: the shorter of the two ageing times.
inline std::int64_t flush_period(const ParameterValues& values) {
  return std::min(values[DATA_AGEING], values[METADATA_AGEING]) * SECOND_NS;
}

// How long ago the flush that status records completed, or LONG_AGO.
std::int64_t since_last_flush(const struct stat& status);

// Flushes where the last flush, by the record at name in the folder dirfd, is at least
// due old and no other process holds the record, or where forced, and records it.
// Answers whether it flushed.
bool flush_when_due(int dirfd, const char* name, std::int64_t due, bool forced);

// The answer to a flush request: a flush where the flush daemon, due to flush an ageing
// time after the last flush, is a second late.
int request_flush(const char* state_dir);
