#include "tests/state_folder.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "tests/fake_kernel.h"
#include "tests/no_inotify.h"

void StateFolder::SetUp() {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root: the state folder must be root's, and only root writes it";
  }
  char pattern[] = "/tmp/corvane-test.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  scratch = pattern;
  state = scratch + "/state";
}

namespace {

// The daemons started and not yet reaped, which a test that failed half way left behind.
std::vector<pid_t> started;

void forget(pid_t child) { std::erase(started, child); }

}  // namespace

void StateFolder::TearDown() {
  for (const pid_t child : std::vector<pid_t>(started)) kill_and_reap(child);
  if (!scratch.empty()) {
    ASSERT_EQ(std::system(("rm -rf " + scratch).c_str()), 0);
  }
}

std::string StateFolder::slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void StateFolder::spit(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

const char* why_inotify_cannot_be_withheld() {
  const pid_t child = fork();
  if (child == 0) _exit(withhold_inotify() ? 0 : 1);
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0) return nullptr;
  return "no user namespace can be made here (a kernel that refuses them, or a multithreaded emulator), so no "
         "daemon can be started without inotify";
}

std::vector<bool> inotify_cases() {
  const char* why = why_inotify_cannot_be_withheld();
  if (why == nullptr) return {false, true};
  std::printf("skipped: the cases without inotify: %s\n", why);
  return {false};
}

pid_t start_flush_daemon(const std::string& state, int sync_fd, bool without_inotify, bool without_streams) {
  const pid_t child = fork();
  if (child == 0) {
    if (without_inotify && !withhold_inotify()) _exit(99);
    fake_kernel::state().real_libc = true;
    fake_kernel::state().sync_fd = sync_fd;
    if (without_streams) close_range(0, 2, 0);
    setsid();
    _exit(100 + static_cast<int>(-emulated_flush_call(state.c_str(), 0, 0)));
  }
  if (child > 0) started.push_back(child);
  return child;
}

int ended_within(pid_t child, int milliseconds) {
  for (int waited = 0;; waited += 10) {
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) {
      forget(child);
      return WIFEXITED(status) ? WEXITSTATUS(status) : 999;
    }
    if (waited >= milliseconds) return -1;
    usleep(10000);
  }
}

bool comes_to_hold(pid_t pid, const std::string& path, bool held, int milliseconds) {
  const std::string command = "ls -l /proc/" + std::to_string(pid) + "/fd | grep -q -- '-> " + path + "$'";
  for (int waited = 0; (std::system(command.c_str()) == 0) != held; waited += 10) {
    if (waited >= milliseconds) return false;
    usleep(10000);
  }
  return true;
}

int flushes(int sync_fd) {
  char bytes[64];
  int count = 0;
  ssize_t size = 0;
  while ((size = read(sync_fd, bytes, sizeof bytes)) > 0) count += static_cast<int>(size);
  return count;
}

void kill_and_reap(pid_t child) {
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  forget(child);
}

int run_on(const std::string& command, const std::string& path) {
  std::string filled = command;
  for (std::size_t at = 0; (at = filled.find("%s", at)) != std::string::npos; at += path.size()) {
    filled.replace(at, 2, path);
  }
  return std::system(filled.c_str());
}
