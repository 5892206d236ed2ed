#pragma once

#include "emulated/parameters_file.h"

// The flush interface in user space, for machines whose kernel lacks the flush control
// call. It answers every function code as the kernel would: it keeps the nine parameters
// in its state folder (parameters_file.h), which anybody may read and root alone write,
// and, for root alone, serves the flush request with sync and makes the caller of code 0
// its flush daemon (flush_daemon.h).

// Answers function code func with data as the kernel would, keeping its state in
// state_dir. Returns 0, or a negative error number from -125 to -1.
long emulated_flush_call(const char* state_dir, int func, long data);
