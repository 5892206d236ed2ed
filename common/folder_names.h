#pragma once

#include <dirent.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstring>

// Room for a batch of entries read at a time.
inline constexpr std::size_t FOLDER_BATCH = 4096;

// Calls visit with every name in the folder open at fd, "." and ".." among them, reading
// the folder in batches on the stack, for as long as visit answers true. Returns false
// where the folder could not be read to its end.
template <typename Visit>
bool for_each_name(int fd, Visit visit) {
  alignas(dirent64) std::array<char, FOLDER_BATCH> buffer;
  ssize_t size = 0;
  while ((size = getdents64(fd, buffer.data(), buffer.size())) > 0) {
    for (ssize_t at = 0; at < size;) {
      dirent64 entry;
      std::memcpy(&entry, buffer.data() + at, offsetof(dirent64, d_name));
      if (!visit(buffer.data() + at + offsetof(dirent64, d_name))) return true;
      at += entry.d_reclen;
    }
  }
  return size == 0;
}
