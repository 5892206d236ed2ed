#pragma once

// The kernel's flush control call: one function code, one data word.

// The calling process becomes the kernel's flush daemon; the call does not come back.
inline constexpr int FLUSH_START_DAEMON = 0;
// The kernel flushes the buffer cache and answers 0.
inline constexpr int FLUSH_REQUEST = 1;

inline constexpr int KERNEL_PARAMETER_COUNT = 9;

// Raw results from -HIGHEST_ERROR_NUMBER to -1 are error numbers.
inline constexpr int HIGHEST_ERROR_NUMBER = 125;

// Parameter i is read with code 2i + 2 (data: the address of a 32-bit integer to fill)
// and written with code 2i + 3 (data: the new value).
constexpr int parameter_read_code(int index) { return 2 * index + 2; }
constexpr int parameter_write_code(int index) { return 2 * index + 3; }

// Makes the flush control call. Returns 0 on success, -1 with errno set when the
// kernel refused, or any other raw result of the kernel unchanged.
int corvane(int func, long data);

// Turns the kernel's raw result into the call's result: values from -125 to -1 are
// error numbers, stored in errno and answered with -1; anything else passes unchanged.
int convert_kernel_result(long raw);

// Enters the kernel, or what stands in its place; supplied by exactly one backend.
// Returns the raw result: 0, a negative error number, or anything the kernel says.
long kernel_flush_call(int func, long data);
