// Hands the parameters file's parser any text. Fails where it reads past the text, where
// it takes a text that is not nine lines of digits with every value within its range, or
// where the values it took do not come back the same from their own formatted text.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "emulated/parameters_file.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ParameterValues values;
  if (!parse_parameters(text, values)) return 0;
  std::size_t lines = 0;
  for (const char c : text) {
    check((c >= '0' && c <= '9') || c == '\n');
    lines += c == '\n' ? 1 : 0;
  }
  check(lines == values.size() && text.back() == '\n');
  for (std::size_t i = 0; i < values.size(); ++i) {
    check(values[i] >= EMULATED_PARAMETERS[i].minimum && values[i] <= EMULATED_PARAMETERS[i].maximum);
  }
  std::array<char, PARAMETERS_LIMIT> formatted;
  const std::size_t length = format_parameters(values, formatted);
  check(length < formatted.size());
  ParameterValues again;
  check(parse_parameters({formatted.data(), length}, again) && again == values);
  return 0;
}
