// The native backend seen answering. No kernel here has the flush control call, so this
// process plays the kernel's side itself: a seccomp filter traps 32-bit x86 system call
// 134, and the SIGSYS handler answers it from the registers the call was made with,
// through the fake kernel. Every test in this binary that reaches the kernel then goes
// through the real backend's int $0x80.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ucontext.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "cli/kernel_parameters.h"
#include "gtest/gtest.h"
#include "kernel/flush_call.h"
#include "tests/fake_kernel.h"

namespace {

constexpr unsigned FLUSH_CALL_NUMBER = 134;

int trapped_number = -1;
int trapped_calls = 0;

void answer_trapped_call(int, siginfo_t* info, void* context) {
  greg_t* const registers = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
  trapped_number = info->si_syscall;
  ++trapped_calls;
  registers[REG_EAX] = static_cast<greg_t>(fake_kernel::answer(registers[REG_EBX], registers[REG_ECX]));
}

class KernelStandIn : public testing::Environment {
  void SetUp() override {
    struct sigaction action = {};
    action.sa_sigaction = answer_trapped_call;
    action.sa_flags = SA_SIGINFO;
    ASSERT_EQ(sigaction(SIGSYS, &action, nullptr), 0);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_I386, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, FLUSH_CALL_NUMBER, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
    ASSERT_EQ(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
    ASSERT_EQ(prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program), 0);
  }
};

#ifndef CORVANE_NO_STAND_IN
[[maybe_unused]] testing::Environment* const stand_in = testing::AddGlobalTestEnvironment(new KernelStandIn);
#endif

class NativeBackend : public testing::Test {
 protected:
  void SetUp() override {
#ifdef CORVANE_NO_STAND_IN
    GTEST_SKIP() << CORVANE_NO_STAND_IN;
#endif
    fake_kernel::state() = {};
  }
};

// One call through int $0x80: the kernel's side must see call 134, once, with func and
// data as given.
int call_through_stand_in(int func, long data) {
  fake_kernel::state().calls.clear();
  const int before = trapped_calls;
  const int result = corvane(func, data);
  EXPECT_EQ(trapped_calls - before, 1);
  EXPECT_EQ(trapped_number, 134);
  const std::vector<fake_kernel::Call>& calls = fake_kernel::state().calls;
  EXPECT_TRUE(calls.size() == 1 && calls[0].func == func && calls[0].data == data) << func;
  return result;
}

TEST_F(NativeBackend, ResultsComeBackThroughTheConvention) {
  // A read: the kernel's side fills the caller's integer and answers 0.
  fake_kernel::state().values[3] = 1234;
  std::int32_t value = 0;
  errno = 4242;
  EXPECT_EQ(call_through_stand_in(parameter_read_code(3), reinterpret_cast<long>(&value)), 0);
  EXPECT_EQ(value, 1234);
  EXPECT_EQ(errno, 4242);

  struct Case {
    int func;
    long raw;  // what the kernel's side answers
    int result;
    int error;  // errno afterwards; 4242 stands for untouched
  };
  const Case cases[] = {
      {FLUSH_REQUEST, -1, -1, 1},
      {parameter_write_code(3), -125, -1, 125},
      {FLUSH_REQUEST, -126, -126, 4242},
      {FLUSH_REQUEST, 7, 7, 4242},
  };
  for (const Case& c : cases) {
    fake_kernel::state().scripted = {{c.func, c.raw}};
    errno = 4242;
    EXPECT_EQ(call_through_stand_in(c.func, 40), c.result) << c.func << " answered " << c.raw;
    EXPECT_EQ(errno, c.error) << c.func << " answered " << c.raw;
  }
}

TEST_F(NativeBackend, ListingAndWriteGoThroughTheCall) {
  const int before = trapped_calls;
  EXPECT_EQ(set_kernel_parameter(5, 600), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(show_kernel_parameters(), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("5:   600 Time for data buffers"), std::string::npos);
  EXPECT_EQ(trapped_calls - before, 10);
}

}  // namespace
