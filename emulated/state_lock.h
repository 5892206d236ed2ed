#pragma once

#include <cstdint>

// Locks in the state folder. Each is a file or folder of its own that only root may
// open, so that nobody else can hold it: the folder and the parameters file may be read
// by anybody, and a lock on them could be held by anybody for as long as they liked.
//
// A lock counts only while what it is on is what the lock's name in the folder names:
// root may remove a lock, and whoever opens the name next makes a new one and locks that
// one beside the old lock.

// Writers of the parameters file take this one in turn. It is a folder, and a writer
// makes the new parameters file in it: a lock that is removed takes the file being
// written with it, so that the new file is never put in place by a writer whose lock
// went, beside one who holds the lock that the name names now.
inline constexpr const char* WRITER_LOCK = "parameters.lock";
// The flush daemon holds this one, a file, for as long as it serves.
inline constexpr const char* DAEMON_LOCK = "daemon.lock";

// How long a writer waits for its turn before it gives up with -EBUSY: a writer that is
// stopped, or a process that never lets go, must not stop every other one for ever.
inline constexpr std::int64_t WRITER_WAIT_NS = 5'000'000'000;

// The time on the clock that steps are never taken on, in nanoseconds.
std::int64_t monotonic_ns();

// Opens the writers' lock in the state folder dirfd, making it where it is missing, and
// takes it, trying again until the monotonic time deadline while another holds it; where
// the name named another folder by the time the lock was had, takes that one instead.
// Returns the descriptor, which holds the lock until it is closed, or a negative error
// number: -EBUSY where another holds the lock still at the deadline, -EACCES for a lock
// that is not a folder of root's alone (never waited on), -EAGAIN where the name kept
// changing.
int take_writers_lock(int dirfd, std::int64_t deadline);

// The same for the daemon lock, a file, without waiting: -EBUSY at once where another
// holds it. Makes it only where create is set.
int take_daemon_lock(int dirfd, bool create);
