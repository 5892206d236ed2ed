#pragma once

// The emulated flush daemon. The calling process becomes it, one at a time: it holds the
// daemon lock of the state folder and flushes every time the shorter of the two ageing
// times has passed since it last flushed. It watches the folder, so that a changed
// ageing time takes effect at once, and the mount table, so that it notices whatever
// happens to the folder. Whatever is wrong with the folder (missing, moved, mounted
// over, a link, not root's alone, a lock file that is not a regular file), it flushes on
// without the lock, on the last period it read, and takes the lock of the folder that the
// path names once it can. Returns only to make way for a daemon that holds the lock,
// with -EBUSY.
int serve_as_flush_daemon(const char* state_dir);
