#include "emulated/emulated_interface.h"
#include "kernel/flush_call.h"

long kernel_flush_call(int func, long data) { return emulated_flush_call(CORVANE_STATE_DIR, func, data); }
