#include "daemon/process_title.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

// Argument and environment strings laid out as the kernel lays them out, one behind the
// other, in a buffer whose other bytes are '#' so that any stray write shows.
struct Layout {
  Layout(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    memory.assign(128, '#');
    std::size_t at = 8;
    for (const std::string& s : args) argv.push_back(place(s, at));
    for (const std::string& s : env) envp.push_back(place(s, at));
    end = at;
    argv.push_back(nullptr);
    envp.push_back(nullptr);
  }
  char* place(const std::string& s, std::size_t& at) {
    std::memcpy(&memory[at], s.c_str(), s.size() + 1);
    char* placed = &memory[at];
    at += s.size() + 1;
    return placed;
  }
  // Calls the routine with this layout's environment in place of the process's own, and
  // with the layout's own memory of its area.
  void retitle(const char* title, int argc = -1, bool as_the_process = false) {
    char** saved = environ;
    environ = envp.data();
    const int count = argc < 0 ? static_cast<int>(argv.size()) - 1 : argc;
    if (as_the_process) {
      set_process_title(argv.data(), count, title);
    } else {
      write_process_title(argv.data(), count, title, area);
    }
    environ = saved;
  }
  // The bytes from offset 8 up to the end of the laid-out strings.
  std::string strings() const { return std::string(&memory[8], end - 8); }
  bool guards_intact() const {
    return std::string(&memory[0], 8) == "########" &&
           std::string(&memory[end], memory.size() - end) == std::string(memory.size() - end, '#');
  }

  std::vector<char> memory;
  std::size_t end = 0;
  std::vector<char*> argv;
  std::vector<char*> envp;
  std::size_t area = 0;
};

std::string zeros(std::size_t n) { return std::string(n, '\0'); }

TEST(ProcessTitle, FitsOverArgvZero) {
  Layout layout({"/usr/local/sbin/cvane", "-f", "2"}, {"HOME=/"});
  layout.retitle("update (sync)");
  EXPECT_EQ(layout.strings(), "update (sync)" + zeros(9) + "-f" + zeros(1) + "2" + zeros(1) + "HOME=/" + zeros(1));
  EXPECT_TRUE(layout.guards_intact());
}

TEST(ProcessTitle, TitleOfExactlyArgvZerosLengthStaysInPlace) {
  Layout layout({"/usr/sbin/corvane", "-d"}, {"A=1"});
  layout.retitle("update (corvane)!");
  EXPECT_EQ(layout.strings(), std::string("update (corvane)!") + zeros(1) + "-d" + zeros(1) + "A=1" + zeros(1));
}

TEST(ProcessTitle, LongerTitleTakesAdjacentArgumentsAndEnvironment) {
  Layout layout({"corvane", "-f", "1"}, {"PATH=/bin", "X=y"});
  layout.retitle("corvane (daemon)");
  const std::size_t area = 8 + 3 + 2 + 10 + 4;
  EXPECT_EQ(layout.strings(), "corvane (daemon)" + zeros(area - 16));
  EXPECT_TRUE(layout.guards_intact());
}

TEST(ProcessTitle, EmptyEnvironmentLeavesOnlyTheArguments) {
  Layout layout({"corvane", "-s", "30"}, {});
  EXPECT_EQ(process_title_area(layout.argv.data(), 3, layout.envp.data()), 8U + 3 + 3);
  layout.retitle("update (corvane)");
  EXPECT_EQ(layout.strings(), std::string("update (corva") + zeros(1)) << "cut to keep its terminating zero";
  EXPECT_TRUE(layout.guards_intact());
}

TEST(ProcessTitle, ReorderedPointersCanEndTheAreaEarly) {
  // As getopt leaves "corvane op -f 1": the pointers read corvane -f 1 op.
  Layout layout({"corvane", "op", "-f", "1"}, {"HOME=/"});
  std::swap(layout.argv[1], layout.argv[2]);
  std::swap(layout.argv[2], layout.argv[3]);
  // The walk passes over "-f" and "1" before it reaches "op", which lies right behind
  // argv[0]; the area ends there, and the environment is not taken in.
  EXPECT_EQ(process_title_area(layout.argv.data(), 4, layout.envp.data()), 8U + 3);
  // Pointers reading corvane op 1 -f: "1" is passed over, and the walk goes on to "-f".
  std::swap(layout.argv[1], layout.argv[3]);
  EXPECT_EQ(process_title_area(layout.argv.data(), 4, layout.envp.data()), 8U + 3 + 3);
  layout.retitle("corvane (daemon)");
  EXPECT_EQ(layout.strings(), std::string("corvane (daem") + zeros(1) + "1" + zeros(1) + "HOME=/" + zeros(1));
  EXPECT_TRUE(layout.guards_intact());
}

TEST(ProcessTitle, LaterTitlesStayInsideTheFirstArea) {
  // "corvane op -f 1" as getopt leaves it: corvane -f 1 op. The first title's area is
  // "corvane\0op\0"; its cut ends right before "-f", which a new measurement would take
  // in, and the environment behind it.
  Layout layout({"corvane", "op", "-f", "1"}, {"HOME=/"});
  std::rotate(layout.argv.begin() + 1, layout.argv.begin() + 2, layout.argv.end() - 1);
  const std::string rest = std::string("-f") + zeros(1) + "1" + zeros(1) + "HOME=/" + zeros(1);
  // The process's own routine, which remembers the area between calls; no other test
  // calls it, so this is its first call.
  layout.retitle("update (corvane)", -1, true);
  EXPECT_EQ(layout.strings(), "update (co" + zeros(1) + rest);
  layout.retitle("update (sync)", -1, true);
  EXPECT_EQ(layout.strings(), "update (sy" + zeros(1) + rest);
  layout.retitle("up", -1, true);
  EXPECT_EQ(layout.strings(), "up" + zeros(9) + rest);
  EXPECT_TRUE(layout.guards_intact());
}

TEST(ProcessTitle, EnvironmentNotAdjacentIsNotTakenIn) {
  Layout layout({"corvane"}, {"A=1"});
  char* const env[] = {layout.envp[0] + 1, layout.envp[0], nullptr};  // the first lies elsewhere
  EXPECT_EQ(process_title_area(layout.argv.data(), 1, env), 8U);
}

TEST(ProcessTitle, TooLongTitleIsCutAndLaterCallsStayInside) {
  Layout layout({"cv", "-d"}, {});
  layout.retitle("update (corvane)");
  EXPECT_EQ(layout.strings(), std::string("updat") + zeros(1));
  layout.retitle("corvane (daemon)");
  EXPECT_EQ(layout.strings(), std::string("corva") + zeros(1));
  layout.retitle("up");
  EXPECT_EQ(layout.strings(), std::string("up") + zeros(4));
  EXPECT_TRUE(layout.guards_intact());
  // A title exactly as long as the area keeps its closing zero inside it too.
  Layout exact({"cv", "-d"}, {});
  exact.retitle("update");
  EXPECT_EQ(exact.strings(), std::string("updat") + zeros(1));
  exact.retitle("update (sync)");
  EXPECT_TRUE(exact.guards_intact());
}

TEST(ProcessTitle, NoArgumentVectorIsLeftAlone) {
  Layout layout({"corvane"}, {});
  layout.retitle("update (corvane)", 0);
  EXPECT_EQ(layout.strings(), std::string("corvane") + zeros(1));
}

}  // namespace
