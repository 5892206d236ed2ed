#include "daemon/process_title.h"

#include <unistd.h>

#include <cstring>

std::size_t process_title_area(char* const argv[], int argc, char* const env[]) {
  const char* end = argv[0] + std::strlen(argv[0]);
  // The walk goes on past a string that lies elsewhere: reordered pointers may still
  // lead back to strings that follow.
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == end + 1) end = argv[i] + std::strlen(argv[i]);
  }
  if (env != nullptr && env[0] != nullptr && env[0] == end + 1) {
    for (char* const* string = env; *string != nullptr; ++string) {
      if (*string == end + 1) end = *string + std::strlen(*string);
    }
  }
  return static_cast<std::size_t>(end - argv[0]) + 1;
}

void write_process_title(char* argv[], int argc, const char* title, std::size_t& area) {
  if (argc < 1 || argv[0] == nullptr) return;
  const std::size_t length = std::strlen(title);
  // Within a measured area, argv[0] ends at the area's last byte at the latest.
  const std::size_t in_place = std::strlen(argv[0]);
  if (length <= in_place) {
    std::memset(argv[0], 0, in_place);
    std::memcpy(argv[0], title, length + 1);
    return;
  }
  if (area == 0) area = process_title_area(argv, argc, environ);
  std::memset(argv[0], 0, area);
  // The last byte of the area stays zero, so that a title too long for it is cut there.
  std::memcpy(argv[0], title, length < area ? length : area - 1);
}

void set_process_title(char* argv[], int argc, const char* title) {
  static std::size_t area = 0;
  write_process_title(argv, argc, title, area);
}
