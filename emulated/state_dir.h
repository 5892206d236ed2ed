#pragma once

#include <sys/stat.h>
#include <sys/types.h>

// The emulated interface's state folder and the files in it. Only root may have put them
// there: a folder or file that anybody else owns or may write could have been planted.
// Every open here follows no link, takes no controlling terminal, is closed on exec and
// lands above the standard streams.

// The background processes close descriptors 0 to 2, so a file opened there would take
// in whatever is later written to a standard stream. Moves such a descriptor above them;
// a negative fd passes through.
int off_standard_streams(int fd);

// What a state path must be: a folder or a file that anybody may read, or a folder or a
// file private to root (a lock).
enum class StateKind { FOLDER, PRIVATE_FOLDER, PUBLIC_FILE, PRIVATE_FILE };

// Whether status is that of a kind of state that only root may have put there: root's
// own, of the right type, and writable by nobody else (a private file: not even open to
// anybody else).
bool trusted(const struct stat& status, StateKind kind);

// Opens the state folder, creating it first if asked to, with the mode 0755 whatever the
// umask and capabilities of the caller. Returns the descriptor, or a negative error
// number, -ENOENT for a missing folder that was not to be created.
int open_state_dir(const char* path, bool create);

// Opens the folder name in the state folder dirfd that only root may open, creating it
// first if asked to, with the mode 0700 whatever the umask. Returns the descriptor, or a
// negative error number: -EACCES for a folder that is not root's alone, -ENOTDIR where
// the name is not a folder.
int open_private_folder(int dirfd, const char* name, bool create);

// Opens the regular file name in the state folder dirfd with flags (O_CREAT and mode
// allowed: a file made here gets exactly mode, whatever the umask) and checks it. With
// private_to_root, anybody but root may not even read it. Returns the descriptor or a
// negative error number: -EACCES for a file that is not a regular one of root's, or that
// group or others may write (or, private, open).
int open_state_file(int dirfd, const char* name, int flags, mode_t mode = 0, bool private_to_root = false);

// Whether fd is the file that name in the folder dirfd (or AT_FDCWD) names now, no link
// followed.
bool still_named(int dirfd, const char* name, int fd);

// Whether two statuses are of the same file, unchanged between them (all zero for none).
bool same_file_unchanged(const struct stat& a, const struct stat& b);
