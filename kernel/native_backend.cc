#include "kernel/flush_call.h"

// The number of the flush control call in the 32-bit x86 Linux system call table.
static constexpr long CORVANE_SYSCALL = 134;

long kernel_flush_call(int func, long data) {
  long result = CORVANE_SYSCALL;
  asm volatile("int $0x80" : "+a"(result) : "b"(func), "c"(data) : "memory");
  return result;
}
