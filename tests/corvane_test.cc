#include <cerrno>

#include "gtest/gtest.h"
#include "kernel/flush_call.h"

TEST(ResultConvention, RawResults) {
  struct Case {
    long raw;
    int result;
    int error;  // errno afterwards; 4242 stands for untouched
  };
  const Case cases[] = {
      {0, 0, 4242},       {-1, -1, 1},          {-22, -1, 22}, {-125, -1, 125},
      {-126, -126, 4242}, {-4095, -4095, 4242}, {7, 7, 4242},  {0x7fffffffL, 0x7fffffff, 4242},
  };
  for (const Case& c : cases) {
    errno = 4242;
    EXPECT_EQ(convert_kernel_result(c.raw), c.result) << "raw " << c.raw;
    EXPECT_EQ(errno, c.error) << "raw " << c.raw;
  }
}

TEST(ResultConvention, OnlyTheLow32BitsCount) {
  // A 64-bit backend's result is read as the one register the kernel answers in.
  errno = 4242;
  EXPECT_EQ(convert_kernel_result(static_cast<long>(0xFFFFFFFFL)), -1);
  EXPECT_EQ(errno, 1);
}
