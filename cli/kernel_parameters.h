#pragma once

#include <array>

// Descriptions of the kernel's nine flush parameters in index order, closed by nullptr.
// Row i is written by option -i.
inline constexpr std::array<const char*, 10> kernel_parameter_names = {
    "Max fraction of LRU list to examine for dirty blocks",
    "Max number of dirty blocks to write each time corvane activated",
    "Num of clean buffers to be loaded onto free list by refill_freelist",
    "Dirty block threshold for activating corvane in refill_freelist",
    "Percentage of cache to scan for free clusters",
    "Time for data buffers to age before flushing",
    "Time for non-data (dir, bitmap, etc) buffers to age before flushing",
    "Time buffer cache load average constant",
    "LAV ratio (used to determine threshold for buffer fratricide).",
    nullptr,
};

// Prints the version line and every parameter's value; a refused read ends the listing
// with a report on standard error. Returns 0 when all nine were listed, -1 otherwise.
int show_kernel_parameters();

// Writes value into parameter index. Returns 0, or -1 after a report on standard error.
int set_kernel_parameter(int index, long value);
