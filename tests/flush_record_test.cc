#include "emulated/flush_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "gtest/gtest.h"
#include "tests/fake_kernel.h"
#include "tests/state_folder.h"

namespace {

class FlushRecord : public StateFolder {
 protected:
  // Whether a flush request, made with the wall clock ahead by so many milliseconds, flushed.
  bool request_flushes(std::int64_t ahead_ms) {
    fake_kernel::state() = {};
    fake_kernel::state().wall_clock_ahead_ns = ahead_ms * 1'000'000;
    EXPECT_EQ(call(1, 0), 0);
    const bool flushed = std::count(fake_kernel::state().events.begin(), fake_kernel::state().events.end(), "sync");
    fake_kernel::state() = {};
    return flushed;
  }
};

// A request flushes once the last flush is an ageing time and a second old, the
// second left to the flush daemon; a record that may not tell of a flush counts as one
// long ago, and that flush puts it right. One that another process holds is being flushed.
TEST_F(FlushRecord, ARequestFlushesWhatHasAged) {
  struct Case {
    const char* name;
    const char* change;  // %s: the record, just made by a flush
    std::int64_t ahead_ms;
    bool flushes;
  };
  const Case cases[] = {
      {"just flushed", "true", 0, false},
      {"within the ageing time and a second", "true", 6900, false},
      {"past it", "true", 7000, true},
      {"in the future", "true", -2000, true},
      {"gone", "rm %s", 0, true},
      {"not root's", "chown 65534 %s", 0, true},
      {"open to others", "chmod 0644 %s", 0, true},
      {"with something in it", "echo 0 >%s", 0, true},
      {"a folder in its place", "rm %s && mkdir -m 0600 %s", 0, true},
      {"a link in its place", "ln -sf /dev/null %s", 0, true},
  };
  ASSERT_EQ(write_parameter(5, 6), 0);
  ASSERT_EQ(write_parameter(6, 9), 0);
  const std::string record = state + "/flushed";
  for (const Case& c : cases) {
    ASSERT_EQ(run_on("rm -rf %s", record), 0);
    ASSERT_TRUE(request_flushes(0)) << c.name << ": no record, a flush long ago";
    ASSERT_EQ(run_on(c.change, record), 0) << c.name;
    EXPECT_EQ(request_flushes(c.ahead_ms), c.flushes) << c.name;
    EXPECT_FALSE(request_flushes(0)) << c.name << ": put right";
  }
  // Held, the record is being flushed: the request leaves it to its holder.
  ASSERT_EQ(run_on("rm -rf %s", record), 0);
  ASSERT_TRUE(request_flushes(0));
  const int held = open(record.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  EXPECT_FALSE(request_flushes(60000)) << "held";
  close(held);
  EXPECT_TRUE(request_flushes(60000)) << "let go";
}

}  // namespace
