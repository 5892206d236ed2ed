#pragma once

// Makes the calling process the emulated flush daemon of the state folder, one at a time:
// it flushes an ageing time after the last flush of the service, and returns only
// to make way for another that holds the daemon lock, with -EBUSY.
int serve_as_flush_daemon(const char* state_dir);
