#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "kernel/flush_call.h"

struct stat;

// The nine parameters, kept in the file "parameters" of the state folder: nine lines of a
// decimal number each, within its range. The file is only ever replaced whole.
struct EmulatedParameter {
  std::int32_t default_value;
  std::int32_t minimum;
  std::int32_t maximum;
};

// Index order, as the parameters are numbered. Times are in seconds, and at least one
// second, since the flush daemon waits the shorter of the two ageing times.
inline constexpr std::array<EmulatedParameter, KERNEL_PARAMETER_COUNT> EMULATED_PARAMETERS = {{
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

inline constexpr std::size_t DATA_AGEING = 5;
inline constexpr std::size_t METADATA_AGEING = 6;

inline constexpr const char* PARAMETERS_FILE = "parameters";
inline constexpr const char* WRITER_LOCK = "parameters.lock";  // a folder: see parameters_file.cc
inline constexpr std::int64_t WRITER_WAIT_NS = 5'000'000'000;  // a write's bound, its wait included

using ParameterValues = std::array<std::int32_t, KERNEL_PARAMETER_COUNT>;

inline constexpr std::size_t PARAMETERS_LIMIT = 128;  // past nine lines of eight characters

void set_defaults(ParameterValues& values);

// Reads text as the file's nine numbers into values; false for anything else.
bool parse_parameters(std::string_view text, ParameterValues& values);

// Writes values, each within its range, as the file's text; returns its length.
std::size_t format_parameters(const ParameterValues& values, std::span<char, PARAMETERS_LIMIT> text);

// Fills values from the parameters file in the state folder dirfd, the defaults where
// there is none. Returns 0 or a negative error number, -EIO for a file that is not nine
// valid numbers. read_from, where given, gets the status of the file opened.
int load_parameters(int dirfd, ParameterValues& values, struct stat* read_from = nullptr);

// The same from the state folder at path; the defaults while there is no folder.
int read_parameters(const char* state_dir, ParameterValues& values);

// Sets parameter index to value, making the folder if need be. Returns 0 or a negative
// error number: -EINVAL for a value out of range, -EBUSY past WRITER_WAIT_NS.
int store_parameter(const char* state_dir, std::size_t index, long value);
