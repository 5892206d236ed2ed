// Lays out argument and environment strings, adjacent or with gaps, between guard bytes,
// hands the pointers over in any order, and retitles one or more times. Fails on any
// write outside the title's area, as the first call that needed it measured it, and on
// any title that a reading of the command line up to its first zero would not show as
// the title or its cut.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/process_title.h"

namespace {

constexpr std::size_t GUARD = 16;
constexpr char UNTOUCHED = '#';

struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::uint8_t next() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
};

void check(bool condition) {
  if (!condition) std::abort();
}

std::string make_string(Input& input, std::size_t longest) {
  std::string s(input.next() % (longest + 1), 'a');
  for (char& c : s) c = static_cast<char>('!' + input.next() % 90);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input{data, size};
  std::vector<char> memory(GUARD, UNTOUCHED);
  std::vector<bool> string_byte(GUARD, false);
  std::vector<std::size_t> offsets;
  const std::size_t argc = 1 + input.next() % 6;
  const std::size_t envc = input.next() % 5;
  for (std::size_t i = 0; i < argc + envc; ++i) {
    // Now and then a gap, so that a string does not follow the one before it.
    const std::size_t gap = input.next() % 4 == 0 ? 1 + input.next() % 3 : 0;
    memory.insert(memory.end(), gap, UNTOUCHED);
    string_byte.insert(string_byte.end(), gap, false);
    const std::string s = make_string(input, 12);
    offsets.push_back(memory.size());
    memory.insert(memory.end(), s.begin(), s.end());
    memory.push_back('\0');
    string_byte.insert(string_byte.end(), s.size() + 1, true);
  }
  memory.insert(memory.end(), GUARD, UNTOUCHED);
  string_byte.insert(string_byte.end(), GUARD, false);

  std::vector<char*> argv;
  std::vector<char*> env;
  for (std::size_t i = 0; i < argc; ++i) argv.push_back(&memory[offsets[i]]);
  for (std::size_t i = argc; i < argc + envc; ++i) env.push_back(&memory[offsets[i]]);
  // Option parsing may reorder every pointer but the first.
  for (std::size_t i = argc - 1; i > 1; --i) std::swap(argv[i], argv[1 + input.next() % i]);
  argv.push_back(nullptr);
  env.push_back(nullptr);

  // The area as the first call that needed it measured it; later calls keep to it.
  std::size_t remembered = 0;
  const int calls = 1 + input.next() % 4;
  for (int call = 0; call < calls; ++call) {
    const std::string title = make_string(input, 40);
    const std::vector<char> before = memory;
    const std::size_t in_place = std::strlen(argv[0]);
    const std::size_t area =
        remembered != 0 ? remembered : process_title_area(argv.data(), static_cast<int>(argc), env.data());
    const std::size_t start = static_cast<std::size_t>(argv[0] - memory.data());
    // The area is made of strings only, one behind the other.
    for (std::size_t i = start; i < start + area; ++i) check(string_byte[i]);

    char** saved = environ;
    environ = env.data();
    write_process_title(argv.data(), static_cast<int>(argc), title.c_str(), remembered);
    environ = saved;

    const std::size_t written = title.size() <= in_place ? in_place + 1 : area;
    check(remembered == (title.size() <= in_place ? remembered : area));
    const std::size_t shown_length = std::min(title.size(), written - 1);
    for (std::size_t i = 0; i < memory.size(); ++i) {
      if (i < start || i >= start + written) {
        check(memory[i] == before[i]);
      } else if (i < start + shown_length) {
        check(memory[i] == title[i - start]);
      } else {
        check(memory[i] == '\0');
      }
    }
    check(std::string(argv[0]) == title.substr(0, shown_length));
  }
  return 0;
}
