#include "cli/options.h"

#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/fake_kernel.h"

namespace {

const char USAGE[] =
    "usage: corvane [-012345678] [-d] [-s sync-delay] [-f flush-delay]\n"
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

// An argument vector that getopt may reorder, with the parser reset for a new run.
struct Arguments {
  explicit Arguments(std::vector<std::string> words) : strings(std::move(words)) {
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    optind = 0;
  }
  int argc() const { return static_cast<int>(strings.size()); }
  char** argv() { return pointers.data(); }
  std::vector<std::string> strings;
  std::vector<char*> pointers;
};

OptionsEnd run(std::vector<std::string> words, Settings& settings) {
  Arguments arguments(std::move(words));
  testing::internal::CaptureStdout();
  const OptionsEnd end = read_options(arguments.argc(), arguments.argv(), settings);
  testing::internal::GetCapturedStdout();
  return end;
}

class Options : public testing::Test {
 protected:
  void SetUp() override { fake_kernel::state() = {}; }
};

TEST(Usage, TextByteForByte) {
  Arguments arguments({"corvane"});
  testing::internal::CaptureStderr();
  print_usage(arguments.argv());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), USAGE);
}

TEST(Usage, NamesTheProgramAsCalled) {
  Arguments arguments({"/usr/sbin/corvane"});
  testing::internal::CaptureStderr();
  print_usage(arguments.argv());
  EXPECT_EQ(testing::internal::GetCapturedStderr().substr(0, 25), "usage: /usr/sbin/corvane ");
}

TEST(ParseNumber, Table) {
  struct Case {
    const char* text;
    long minimum, maximum;
    bool accepted;
    long value;
  };
  const Case cases[] = {
      {"40", INT_MIN, INT_MAX, true, 40},
      {"  40", INT_MIN, INT_MAX, true, 40},
      {"\t+7", INT_MIN, INT_MAX, true, 7},
      {"-1", INT_MIN, INT_MAX, true, -1},
      {"-0", 0, INT_MAX, true, 0},
      {"2147483647", INT_MIN, INT_MAX, true, 2147483647},
      {"-2147483648", INT_MIN, INT_MAX, true, -2147483647L - 1},
      {"007", 0, INT_MAX, true, 7},
      {"2147483648", INT_MIN, INT_MAX, false, 0},
      {"-2147483649", INT_MIN, INT_MAX, false, 0},
      {"99999999999999999999", INT_MIN, INT_MAX, false, 0},
      {"-1", 0, INT_MAX, false, 0},
      {"abc", INT_MIN, INT_MAX, false, 0},
      {"4O", INT_MIN, INT_MAX, false, 0},
      {"12x", INT_MIN, INT_MAX, false, 0},
      {"12 ", INT_MIN, INT_MAX, false, 0},
      {"", INT_MIN, INT_MAX, false, 0},
      {" ", INT_MIN, INT_MAX, false, 0},
      {"-", INT_MIN, INT_MAX, false, 0},
      {"+-3", INT_MIN, INT_MAX, false, 0},
      {"--3", INT_MIN, INT_MAX, false, 0},
      {"0x10", INT_MIN, INT_MAX, false, 0},
      {"1e3", INT_MIN, INT_MAX, false, 0},
  };
  for (const Case& c : cases) {
    long value = 12345;
    EXPECT_EQ(parse_number(c.text, c.minimum, c.maximum, &value), c.accepted) << '"' << c.text << '"';
    EXPECT_EQ(value, c.accepted ? c.value : 12345) << '"' << c.text << '"';
  }
}

TEST_F(Options, DefaultsAndNoOptionsStart) {
  Settings settings;
  EXPECT_EQ(run({"corvane"}, settings), OptionsEnd::START_DAEMONS);
  EXPECT_EQ(settings.flush_delay, 5);
  EXPECT_EQ(settings.sync_delay, 30);
  EXPECT_TRUE(fake_kernel::state().calls.empty());
}

TEST_F(Options, ActInCommandLineOrder) {
  const std::vector<int> listing = {2, 4, 6, 8, 10, 12, 14, 16, 18};
  auto then = [](std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  struct Case {
    std::vector<std::string> words;
    OptionsEnd end;
    std::vector<int> funcs;
  };
  const Case cases[] = {
      {{"corvane", "-3", "40", "-d"}, OptionsEnd::LISTED, then({9}, listing)},
      {{"corvane", "-d", "-3", "40"}, OptionsEnd::LISTED, then(listing, {9})},
      {{"corvane", "-d", "-d"}, OptionsEnd::LISTED, then(listing, listing)},
      {{"corvane", "-3", "40"}, OptionsEnd::START_DAEMONS, {9}},
      {{"corvane", "-08", "-8", "1", "operand"}, OptionsEnd::START_DAEMONS, {3, 19}},
  };
  for (const Case& c : cases) {
    SetUp();
    Settings settings;
    EXPECT_EQ(run(c.words, settings), c.end) << c.words[1];
    EXPECT_EQ(fake_kernel::funcs(), c.funcs) << c.words[1];
  }
  EXPECT_EQ(fake_kernel::state().values[0], 8);
  EXPECT_EQ(fake_kernel::state().values[8], 1);
}

TEST_F(Options, LaterDelaysReplaceEarlierOnes) {
  Settings settings;
  EXPECT_EQ(run({"corvane", "-f", "2", "-f", "7", "-s10", "operand"}, settings), OptionsEnd::START_DAEMONS);
  EXPECT_EQ(settings.flush_delay, 7);
  EXPECT_EQ(settings.sync_delay, 10);
}

TEST_F(Options, FailedListingGoesOnButIsNotSuccess) {
  fake_kernel::state().scripted[6] = -1;
  Settings settings;
  testing::internal::CaptureStderr();
  EXPECT_EQ(run({"corvane", "-d", "-3", "40", "-d"}, settings), OptionsEnd::LISTING_FAILED);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(fake_kernel::funcs(), (std::vector<int>{2, 4, 6, 9, 2, 4, 6}));
}

void run_and_exit(std::vector<std::string> words) {
  Settings settings;
  Arguments arguments(std::move(words));
  read_options(arguments.argc(), arguments.argv(), settings);
  std::exit(0);
}

TEST_F(Options, EndTheRunWithStatusOne) {
  struct Case {
    std::vector<std::string> words;
    const char* err;
  };
  const std::string usage =
      "usage: corvane \\[-012345678\\] \\[-d\\] \\[-s sync-delay\\] \\[-f flush-delay\\]\n  -0  Max";
  const Case cases[] = {
      {{"corvane", "-h"}, ""},
      {{"corvane", "-9"}, "corvane: invalid option -- '9'\n"},
      {{"corvane", "-f"}, "corvane: option requires an argument -- 'f'\n"},
      {{"corvane", "-3", "abc"}, "Option -3 requires a number from -2147483648 to 2147483647, not \"abc\"!\n"},
      {{"corvane", "-3", ""}, "Option -3 requires a number from -2147483648 to 2147483647, not \"\"!\n"},
      {{"corvane", "-0", "2147483648"},
       "Option -0 requires a number from -2147483648 to 2147483647, not \"2147483648\"!\n"},
      {{"corvane", "-f", "-1"}, "Option -f requires a number from 1 to 2147483647, not \"-1\"!\n"},
      {{"corvane", "-f", "0"}, "Option -f requires a number from 1 to 2147483647, not \"0\"!\n"},
      {{"corvane", "-s", "-0"}, "Option -s requires a number from 1 to 2147483647, not \"-0\"!\n"},
      {{"corvane", "-s", "12x"}, "Option -s requires a number from 1 to 2147483647, not \"12x\"!\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(run_and_exit(c.words), testing::ExitedWithCode(1), "^" + std::string(c.err) + usage) << c.words[1];
  }
}

int call_log = -1;

// Runs in the death test's child, which shares no memory with the test.
void send_call_log() {
  for (const int func : fake_kernel::funcs()) {
    if (write(call_log, &func, sizeof func) != sizeof func) break;
  }
}

TEST_F(Options, NothingAfterABadNumberOrARefusedWrite) {
  struct Case {
    const char* value;  // for -3
    long raw;           // the kernel's answer to writing parameter 3
    std::vector<int> funcs;
  };
  const Case cases[] = {
      {"4O", 0, {5}},
      {"40", -22, {5, 9}},
  };
  for (const Case& c : cases) {
    SetUp();
    fake_kernel::state().scripted[9] = c.raw;
    int log[2];
    ASSERT_EQ(pipe(log), 0);
    call_log = log[1];
    EXPECT_EXIT(
        {
          std::atexit(send_call_log);
          run_and_exit({"corvane", "-1", "5", "-3", c.value, "-4", "6"});
        },
        testing::ExitedWithCode(1), "");
    close(log[1]);
    std::vector<int> funcs;
    int func = 0;
    while (read(log[0], &func, sizeof func) == sizeof func) funcs.push_back(func);
    close(log[0]);
    EXPECT_EQ(funcs, c.funcs) << c.value;
  }
}

}  // namespace
