#pragma once

#include "daemon/settings.h"

// Asks the kernel to flush every flush_delay seconds; from the first refusal on, retitles
// the process "update (sync)" and calls sync every sync_delay seconds instead, for good.
[[noreturn]] void run_update_loop(const Settings& settings, char* argv[], int argc);
