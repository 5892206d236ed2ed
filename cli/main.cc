#include <cstdio>

#include "cli/options.h"
#include "daemon/start_daemons.h"

int main(int argc, char* argv[]) {
  // Standard output gets a buffer of its own so that nothing is ever taken from the heap;
  // each listing flushes it when done.
  static char output_buffer[BUFSIZ];
  std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);

  Settings settings;
  switch (read_options(argc, argv, settings)) {
    case OptionsEnd::LISTED:
      return 0;
    case OptionsEnd::LISTING_FAILED:
      return 1;
    case OptionsEnd::START_DAEMONS:
      break;
  }
  return start_daemons(settings, argc, argv);
}
