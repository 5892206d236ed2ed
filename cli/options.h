#pragma once

#include "daemon/settings.h"

// The usage text, to standard error.
void print_usage(char* argv[]);
[[noreturn]] void show_usage(char* argv[]);

// True when text is a whole decimal number from minimum to maximum, stored in value:
// leading white space and one sign allowed, at least one digit, nothing behind them.
bool parse_number(const char* text, long minimum, long maximum, long* value);

enum class OptionsEnd {
  START_DAEMONS,   // no listing was asked for
  LISTED,          // every listing asked for was printed whole
  LISTING_FAILED,  // some listing was cut short by a refused read
};

// Acts on each option in command-line order, filling settings with the delays. Ends the
// run itself on -h, on a bad option or number, and on a refused write.
OptionsEnd read_options(int argc, char* argv[], Settings& settings);
