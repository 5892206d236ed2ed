#pragma once

#include "daemon/settings.h"

// Starts the background service for the superuser, or flushes once for anybody else.
// Returns the starting process's exit status.
int start_daemons(const Settings& settings, int argc, char* argv[]);
