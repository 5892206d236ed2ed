#include "cli/kernel_parameters.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include "gtest/gtest.h"
#include "tests/fake_kernel.h"

namespace {

struct Output {
  int result;
  std::string out;
  std::string err;
};

template <typename Command>
Output capture(Command command) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int result = command();
  std::fflush(stdout);
  Output output{result, testing::internal::GetCapturedStdout(), ""};
  output.err = testing::internal::GetCapturedStderr();
  return output;
}

const char* const ROWS[] = {
    "0:    10 Max fraction of LRU list to examine for dirty blocks\n",
    "1:    11 Max number of dirty blocks to write each time corvane activated\n",
    "2:    12 Num of clean buffers to be loaded onto free list by refill_freelist\n",
    "3:    13 Dirty block threshold for activating corvane in refill_freelist\n",
    "4:    14 Percentage of cache to scan for free clusters\n",
    "5:    15 Time for data buffers to age before flushing\n",
    "6:    16 Time for non-data (dir, bitmap, etc) buffers to age before flushing\n",
    "7:    17 Time buffer cache load average constant\n",
    "8:    18 LAV ratio (used to determine threshold for buffer fratricide).\n",
};

std::string rows(std::size_t count) {
  std::string text = "corvane version 1.4\n";
  for (std::size_t i = 0; i < count; ++i) text += ROWS[i];
  return text;
}

class KernelParameters : public testing::Test {
 protected:
  void SetUp() override {
    fake_kernel::state() = {};
    for (std::size_t i = 0; i < 9; ++i) fake_kernel::state().values[i] = static_cast<std::int32_t>(10 + i);
  }
};

TEST_F(KernelParameters, ListsVersionAndAllNine) {
  const Output output = capture(show_kernel_parameters);
  EXPECT_EQ(output.result, 0);
  EXPECT_EQ(output.out, rows(9));
  EXPECT_EQ(output.err, "");
  EXPECT_EQ(fake_kernel::funcs(), (std::vector<int>{2, 4, 6, 8, 10, 12, 14, 16, 18}));
}

TEST_F(KernelParameters, RefusedReadEndsTheListing) {
  struct Case {
    int refused_code;
    long raw;
    std::size_t rows_listed;
    const char* err;
  };
  const Case cases[] = {
      {2, -1, 0, "ostrevan:(0) corvane(00000002,&d)=-1 1\ncorvane: Operation not permitted\n"},
      {10, -5, 4, "ostrevan:(4) corvane(0000000a,&d)=-1 5\ncorvane: Input/output error\n"},
      {18, -38, 8, "ostrevan:(8) corvane(00000012,&d)=-1 38\ncorvane: Function not implemented\n"},
      // A positive raw result is a failure too; errno is whatever it was.
      {12, 3, 5, "ostrevan:(5) corvane(0000000c,&d)=3 0\ncorvane: Success\n"},
      {4, -126, 1, "ostrevan:(1) corvane(00000004,&d)=-126 0\ncorvane: Success\n"},
  };
  for (const Case& c : cases) {
    SetUp();
    fake_kernel::state().scripted[c.refused_code] = c.raw;
    const Output output = capture([] {
      errno = 0;
      return show_kernel_parameters();
    });
    EXPECT_NE(output.result, 0) << c.refused_code;
    EXPECT_EQ(output.out, rows(c.rows_listed)) << c.refused_code;
    EXPECT_EQ(output.err, c.err) << c.refused_code;
    EXPECT_EQ(fake_kernel::state().calls.size(), c.rows_listed + 1) << "rows after a refusal are not read";
  }
}

TEST_F(KernelParameters, ValueFieldIsFiveWideAndNeverCut) {
  fake_kernel::state().values[0] = -1;
  fake_kernel::state().values[1] = 1234567;
  fake_kernel::state().values[2] = -2147483647 - 1;
  const Output output = capture(show_kernel_parameters);
  EXPECT_NE(output.out.find("\n0:    -1 Max fraction"), std::string::npos) << output.out;
  EXPECT_NE(output.out.find("\n1: 1234567 Max number"), std::string::npos) << output.out;
  EXPECT_NE(output.out.find("\n2: -2147483648 Num of"), std::string::npos) << output.out;
}

TEST_F(KernelParameters, WriteUsesTheWriteCode) {
  const Output output = capture([] { return set_kernel_parameter(3, 40); });
  EXPECT_EQ(output.result, 0);
  EXPECT_EQ(output.out + output.err, "");
  ASSERT_EQ(fake_kernel::state().calls.size(), 1U);
  EXPECT_EQ(fake_kernel::state().calls[0].func, 9);
  EXPECT_EQ(fake_kernel::state().calls[0].data, 40);
}

TEST_F(KernelParameters, RefusedWriteIsReported) {
  struct Case {
    int index;
    long value;
    long raw;
    const char* err;
  };
  const Case cases[] = {
      {0, 101, -22, "ostrevan: corvane(3,101)=-1 22\n"},
      {3, -7, -1, "ostrevan: corvane(9,-7)=-1 1\n"},
      {8, 2147483647, -38, "ostrevan: corvane(19,2147483647)=-1 38\n"},
      {5, 4, 9, "ostrevan: corvane(13,4)=9 0\n"},
  };
  for (const Case& c : cases) {
    SetUp();
    fake_kernel::state().scripted[2 * c.index + 3] = c.raw;
    const Output output = capture([&] {
      errno = 0;
      return set_kernel_parameter(c.index, c.value);
    });
    EXPECT_NE(output.result, 0) << c.err;
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(output.err, c.err);
  }
}

}  // namespace
