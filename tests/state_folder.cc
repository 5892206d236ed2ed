#include "tests/state_folder.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/fake_kernel.h"

void StateFolder::SetUp() {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root: the state folder must be root's, and only root writes it";
  }
  char pattern[] = "/tmp/corvane-test.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  scratch = pattern;
  state = scratch + "/state";
}

void StateFolder::TearDown() {
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

pid_t start_flush_daemon(const std::string& state, int sync_fd) {
  const pid_t child = fork();
  if (child == 0) {
    fake_kernel::state().real_libc = true;
    fake_kernel::state().sync_fd = sync_fd;
    setsid();
    _exit(100 + static_cast<int>(-emulated_flush_call(state.c_str(), 0, 0)));
  }
  return child;
}

int ended_within(pid_t child, int milliseconds) {
  for (int waited = 0; waited < milliseconds; waited += 10) {
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 999;
    usleep(10000);
  }
  return -1;
}

bool comes_to_hold(pid_t pid, const std::string& path) {
  const std::string command = "ls -l /proc/" + std::to_string(pid) + "/fd | grep -q -- '-> " + path + "$'";
  for (int tries = 0; tries < 500; ++tries) {
    if (std::system(command.c_str()) == 0) return true;
    usleep(10000);
  }
  return false;
}

void kill_and_reap(pid_t child) {
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

int run_on(const std::string& command, const std::string& path) {
  std::string filled = command;
  for (std::size_t at = 0; (at = filled.find("%s", at)) != std::string::npos; at += path.size()) {
    filled.replace(at, 2, path);
  }
  return std::system(filled.c_str());
}
