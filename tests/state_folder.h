#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "emulated/emulated_interface.h"
#include "gtest/gtest.h"

// A root-owned scratch folder for each test of the emulated interface; the state folder
// inside it does not exist yet.
class StateFolder : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  long call(int func, long data) { return emulated_flush_call(state.c_str(), func, data); }
  long read_parameter(int index, std::int32_t& value) { return call(2 * index + 2, reinterpret_cast<long>(&value)); }
  long write_parameter(int index, long value) { return call(2 * index + 3, value); }
  std::string file() const { return slurp(state + "/parameters"); }

  static std::string slurp(const std::string& path);
  static void spit(const std::string& path, const std::string& text);

  std::string scratch;
  std::string state;
};

// Starts a process that asks to become the flush daemon of state, in a session of its own
// as the kernel-daemon process is; it ends only if refused, with 100 plus the error number.
// Where sync_fd is given, each of its flushes writes a byte there. Without inotify, it
// runs in a user namespace of its own (root mapped to root) that allows no inotify
// instance. Without streams, it closes the standard streams first, as the kernel-daemon
// process does (qemu-s390x then misses the daemon's wake-ups: only the cases that need it
// ask for it).
pid_t start_flush_daemon(const std::string& state, int sync_fd = -1, bool without_inotify = false,
                         bool without_streams = false);

// Why no daemon can be started without inotify here, or null where one can.
const char* why_inotify_cannot_be_withheld();

// The cases with and without inotify that can run here; where the second cannot, says so.
std::vector<bool> inotify_cases();

// The exit status of child if it ends within the time, 999 if a signal ended it, or -1.
int ended_within(pid_t child, int milliseconds);

// Whether process pid holds a descriptor of path (or, with held false, holds none),
// within the time.
bool comes_to_hold(pid_t pid, const std::string& path, bool held = true, int milliseconds = 5000);

// How many flushes a daemon started with sync_fd (its other end) made since the last count.
int flushes(int sync_fd);

void kill_and_reap(pid_t child);

// Runs the shell command with every %s in it standing for path; returns its status.
int run_on(const std::string& command, const std::string& path);
