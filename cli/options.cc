#include "cli/options.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "cli/kernel_parameters.h"
#include "common/program_name.h"

namespace {

constexpr const char* OPTION_STRING = "dhs:f:1:2:3:4:5:6:7:8:0:";

constexpr const char* USAGE_OPTIONS =
    "  -0  Max fraction of LRU list to examine for dirty blocks \n"
    "  -1  Max number of dirty blocks to write each time corvane activated \n"
    "  -2  Num of clean buffers to be loaded onto free list by refill_freelist \n"
    "  -3  Dirty block threshold for activating corvane in refill_freelist \n"
    "  -4  Percentage of cache to scan for free clusters \n"
    "  -5  Time for data buffers to age before flushing \n"
    "  -6  Time for non-data (dir, bitmap, etc) buffers to age before flushing \n"
    "  -7  Time buffer cache load average constant \n"
    "  -8  LAV ratio (used to determine threshold for buffer fratricide) \n"
    "  -d  Display kernel parameters\n"
    "  -f  Call flush this often (in seconds)\n"
    "  -h  Give this help\n"
    "  -s  If acting as update then call sync this often (in seconds)\n";

// The option's argument as a number within bounds; anything else ends the run with the
// usage text, since a mistyped value must never reach the kernel or the delays.
long number_argument(int option, long minimum, long maximum, char* argv[]) {
  long value = 0;
  if (!parse_number(optarg, minimum, maximum, &value)) {
    std::fprintf(stderr, "Option -%c requires a number from %ld to %ld, not \"%s\"!\n", option, minimum, maximum,
                 optarg);
    show_usage(argv);
  }
  return value;
}

}  // namespace

void print_usage(char* argv[]) {
  std::fprintf(stderr, "usage: %s [-012345678] [-d] [-s sync-delay] [-f flush-delay]\n%s", program_name(argv),
               USAGE_OPTIONS);
}

void show_usage(char* argv[]) {
  print_usage(argv);
  std::exit(1);
}

bool parse_number(const char* text, long minimum, long maximum, long* value) {
  const char* digits = text;
  while (*digits == ' ' || (*digits >= '\t' && *digits <= '\r')) ++digits;
  if (*digits == '+' || *digits == '-') ++digits;
  if (*digits < '0' || *digits > '9') return false;
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(text, &end, 10);
  if (errno == ERANGE || *end != '\0' || number < minimum || number > maximum) return false;
  *value = number;
  return true;
}

OptionsEnd read_options(int argc, char* argv[], Settings& settings) {
  bool listed = false;
  bool listing_failed = false;
  int option = 0;
  while ((option = getopt(argc, argv, OPTION_STRING)) != -1) {
    switch (option) {
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
        if (set_kernel_parameter(option - '0', number_argument(option, INT32_MIN, INT32_MAX, argv)) != 0) {
          std::exit(1);
        }
        break;
      case 'd':
        if (show_kernel_parameters() != 0) listing_failed = true;
        listed = true;
        break;
      // A delay of 0 would make the update process call back to back.
      case 'f':
        settings.flush_delay = static_cast<std::int32_t>(number_argument(option, 1, INT32_MAX, argv));
        break;
      case 's':
        settings.sync_delay = static_cast<std::int32_t>(number_argument(option, 1, INT32_MAX, argv));
        break;
      default:
        show_usage(argv);
    }
  }
  if (listing_failed) return OptionsEnd::LISTING_FAILED;
  return listed ? OptionsEnd::LISTED : OptionsEnd::START_DAEMONS;
}
