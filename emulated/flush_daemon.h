#pragma once

// The emulated flush daemon. The calling process becomes it, one at a time: it holds the
// daemon lock of the state folder for the rest of its life and flushes every time the
// shorter of the two ageing times has passed since it last flushed. It watches the
// folder, so that a changed ageing time takes effect at once, and so that it notices when
// its lock file or the folder goes: then it takes them anew, or yields to a daemon that
// took them first. Returns only when it cannot serve, with a negative error number:
// -EBUSY while another daemon serves.
int serve_as_flush_daemon(const char* state_dir);
