#pragma once

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstring>

// Writes text whole to the file at path.
inline bool put_text(const char* path, const char* text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  const auto size = static_cast<ssize_t>(std::strlen(text));
  const bool written = fd >= 0 && write(fd, text, std::strlen(text)) == size;
  if (fd >= 0) close(fd);
  return written;
}

// Enters a user namespace of its own, root mapped to root, that allows no inotify
// instance: how a test or the fault campaign starts a flush daemon that can have no watch.
inline bool withhold_inotify() {
  return unshare(CLONE_NEWUSER) == 0 && put_text("/proc/self/uid_map", "0 0 1") &&
         put_text("/proc/self/setgroups", "deny") && put_text("/proc/self/gid_map", "0 0 1") &&
         put_text("/proc/sys/user/max_inotify_instances", "0");
}
