#pragma once

// Locks in the state folder. Each is a file of its own that only root may open, so that
// nobody else can hold it: the folder and the parameters file may be read by anybody,
// and a lock on them could be held by anybody for as long as they liked.
//
// A lock counts only while the file it is on is the one that the folder's path and the
// lock's name name: root may remove a lock file, and whoever opens the name next makes a
// new file and locks that one beside the old lock.

// Writers of the parameters file take this one in turn.
inline constexpr const char* WRITER_LOCK = "parameters.lock";
// The flush daemon holds this one for as long as it serves.
inline constexpr const char* DAEMON_LOCK = "daemon.lock";

// Opens the lock file name in the state folder dirfd, creating it where create is set,
// and takes its exclusive lock, waiting for it when wait is set; where the name named
// another file by the time the lock was had, takes that one instead. Returns the
// descriptor, which holds the lock until it is closed, or a negative error number:
// -EBUSY where another holds the lock and wait is not set, -EACCES for a lock file that
// is not a regular file of root's alone (never waited on), -EAGAIN where the name kept
// changing.
int take_lock(int dirfd, const char* name, bool wait, bool create = true);

// Whether lock is still on the file name in the folder dirfd, and dirfd still the
// folder that state_dir names, no link followed.
bool lock_still_named(const char* state_dir, int dirfd, const char* name, int lock);
