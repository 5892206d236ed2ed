#pragma once

// Locks in the state folder. Each is a file of its own that only root may open, so that
// nobody else can hold it: the folder and the parameters file may be read by anybody,
// and a lock on them could be held by anybody for as long as they liked.

// Writers of the parameters file take this one in turn.
inline constexpr const char* WRITER_LOCK = "parameters.lock";
// The flush daemon holds this one for as long as it serves.
inline constexpr const char* DAEMON_LOCK = "daemon.lock";

// Opens the lock file name in the state folder dirfd, creating it, and takes its
// exclusive lock, waiting for it when wait is set. Returns the descriptor, which holds
// the lock until it is closed, or a negative error number: -EBUSY where another holds the
// lock and wait is not set.
int take_lock(int dirfd, const char* name, bool wait);
