#include "daemon/update_loop.h"

#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/fake_kernel.h"

namespace {

// Runs the loop in a child until it has logged event_limit events and returns them.
std::vector<std::string> run_loop(const Settings& settings, long flushes_before_refusal, std::size_t event_limit) {
  int report[2];
  EXPECT_EQ(pipe(report), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    static char arguments[] = "update (corvane)\0-f\0-s";
    static char* argv[] = {arguments, arguments + 17, arguments + 20, nullptr};
    fake_kernel::state() = {};
    fake_kernel::state().flushes_before_refusal = flushes_before_refusal;
    fake_kernel::state().argv = argv;
    fake_kernel::state().event_limit = event_limit;
    fake_kernel::state().report_fd = report[1];
    run_update_loop(settings, argv, 3);
  }
  close(report[1]);
  std::string text;
  char buffer[256];
  ssize_t n = 0;
  while ((n = read(report[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  close(report[0]);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::vector<std::string> events;
  for (std::size_t at = 0, next = 0; (next = text.find('\n', at)) != std::string::npos; at = next + 1) {
    events.push_back(text.substr(at, next - at));
  }
  return events;
}

TEST(UpdateLoop, SleepsThenFlushesUntilTheFirstRefusalThenSyncsForGood) {
  struct Case {
    Settings settings;
    long flushes_before_refusal;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {{7, 30},
       -1,
       {"sleep 7 [update (corvane)]", "corvane 1 [update (corvane)]", "sleep 7 [update (corvane)]",
        "corvane 1 [update (corvane)]", "sleep 7 [update (corvane)]", "corvane 1 [update (corvane)]"}},
      // No sync in the iteration that switches, and no flush request after it.
      {{5, 30},
       2,
       {"sleep 5 [update (corvane)]", "corvane 1 [update (corvane)]", "sleep 5 [update (corvane)]",
        "corvane 1 [update (corvane)]", "sleep 5 [update (corvane)]", "corvane 1 refused [update (corvane)]",
        "sleep 30 [update (sync)]", "sync [update (sync)]", "sleep 30 [update (sync)]", "sync [update (sync)]",
        "sleep 30 [update (sync)]"}},
      {{0, 1},
       0,
       {"sleep 0 [update (corvane)]", "corvane 1 refused [update (corvane)]", "sleep 1 [update (sync)]",
        "sync [update (sync)]"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run_loop(c.settings, c.flushes_before_refusal, c.events.size()), c.events)
        << "refused after " << c.flushes_before_refusal;
  }
}

}  // namespace
