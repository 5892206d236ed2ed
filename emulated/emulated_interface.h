#pragma once

#include "emulated/parameters_file.h"

// The flush interface in user space, for kernels that lack the flush control call: it
// answers func and data as the kernel would, keeping its state in state_dir. Anybody may
// read the parameters; root alone writes them, flushes and serves as the flush daemon.
// Returns 0, or a negative error number from -125 to -1.
long emulated_flush_call(const char* state_dir, int func, long data);
