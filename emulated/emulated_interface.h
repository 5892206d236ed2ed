#pragma once

#include "emulated/parameters_file.h"

// The flush interface in user space, for kernels without the flush control call: answers
// func and data as the kernel would, with its state in state_dir. Anybody may read the
// parameters; root alone writes them, flushes and serves as the flush daemon.
long emulated_flush_call(const char* state_dir, int func, long data);
