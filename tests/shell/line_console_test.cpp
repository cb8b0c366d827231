// The line console: halt and timer during waits, Ctrl-C at the prompt, dialogs.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/shell_fixture.hpp"
#include "console/halt_poll.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using dorvex::toolkit;

class LineConsole : public dorvex_test::ShellFixture {
 protected:
  void SetUp() override {
    ShellFixture::SetUp();
    toolkit().create_master(true);  // installs the Ctrl-C handler
  }
  void TearDown() override {
    toolkit().close();
    ShellFixture::TearDown();
  }
};

TEST_F(LineConsole, HaltDuringAWaitIsServedAtOnce) {
  toolkit().define_timer(10, dorvex::CB_TIMER);
  const auto start = Clock::now();
  std::thread halt([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ::kill(::getpid(), SIGINT);
  });
  int callback = 0;
  while ((callback = toolkit().action()) == dorvex::CB_TIMER) {
  }
  halt.join();
  EXPECT_EQ(callback, dorvex::CB_HALT);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));
  toolkit().define_timer(50, 0);
}

TEST_F(LineConsole, TimerTicksAtItsIntervalWithoutReadingTheInput) {
  type("HELP\n");
  toolkit().define_timer(5, dorvex::CB_TIMER);  // 50 ms
  const auto start = Clock::now();
  EXPECT_EQ(toolkit().action(), dorvex::CB_TIMER);
  EXPECT_EQ(toolkit().action(), dorvex::CB_TIMER);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(50));
  EXPECT_LT(took, std::chrono::milliseconds(500));
  toolkit().define_timer(50, 0);
  ASSERT_EQ(toolkit().action(), dorvex::CB_COMMAND);  // the typed line waited
  EXPECT_EQ(toolkit().last_line(), "HELP");
}

TEST_F(LineConsole, CtrlCAtThePromptDropsThePartLine) {
  type("CEL");
  std::thread operator_([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::kill(::getpid(), SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    type("HELP\r\n");
  });
  const int callback = toolkit().action();
  operator_.join();
  EXPECT_EQ(callback, dorvex::CB_COMMAND);
  EXPECT_EQ(toolkit().last_line(), "HELP");
  EXPECT_FALSE(toolkit().halt_pending());
}

TEST_F(LineConsole, EndOfInputClosesTheWindowAfterTheLastLine) {
  type("one\ntwo without a break");
  end_input();
  EXPECT_EQ(toolkit().action(), dorvex::CB_COMMAND);
  EXPECT_FALSE(toolkit().input_ended());
  EXPECT_EQ(toolkit().action(), dorvex::CB_COMMAND);
  EXPECT_EQ(toolkit().last_line(), "two without a break");
  EXPECT_TRUE(toolkit().input_ended());
  EXPECT_EQ(toolkit().action(), dorvex::CB_CLOSED);
  EXPECT_FALSE(toolkit().yes_no("DORVEX", "Sure?"));
  EXPECT_EQ(toolkit().mode_dialog(), dorvex::MODE_CANCELLED);
}

TEST_F(LineConsole, OverlongInputLineIsCutNotHeld) {
  // Within the capacity of the pipe, far beyond what any answer needs.
  type(std::string(60000, 'A') + "\nHELP\n");
  ASSERT_EQ(toolkit().action(), dorvex::CB_COMMAND);
  EXPECT_EQ(toolkit().last_line(), std::string(4096, 'A'));
  ASSERT_EQ(toolkit().action(), dorvex::CB_COMMAND);
  EXPECT_EQ(toolkit().last_line(), "HELP");
}

TEST_F(LineConsole, DialogsReadOneLineEach) {
  type("yes\nNo\n\nq\ns\nR\n");
  EXPECT_TRUE(toolkit().yes_no("DORVEX", "Go on?"));
  EXPECT_FALSE(toolkit().yes_no("DORVEX", "Go on?"));
  EXPECT_FALSE(toolkit().yes_no("DORVEX", "Go on?"));
  EXPECT_EQ(toolkit().mode_dialog(), dorvex::MODE_SUPERVISOR);  // "q" is asked again
  EXPECT_EQ(toolkit().mode_dialog(), dorvex::MODE_NORMAL);
  EXPECT_NE(console().find("DORVEX: Go on? (Y/N)\n"), std::string::npos);

  type("\n" "sub/run.txt\n" "/abs/x.txt\n" "  -  \n" "\n");
  EXPECT_EQ(toolkit().file_browser("T", "*.txt|Text File", "/data", "old.txt"),
            std::optional<std::string>("/data/old.txt"));
  EXPECT_EQ(toolkit().file_browser("T", "*.txt|Text File", "/data/", ""),
            std::optional<std::string>("/data/sub/run.txt"));
  EXPECT_EQ(toolkit().file_browser("T", "*.txt|Text File", "/data", ""),
            std::optional<std::string>("/abs/x.txt"));
  EXPECT_EQ(toolkit().file_browser("T", "*.txt|Text File", "/data", "old.txt"), std::nullopt);
  EXPECT_EQ(toolkit().file_browser("T", "*.lst|List File|*.*|All Files", "/data", ""),
            std::nullopt);
  EXPECT_NE(console().find("  Files: *.lst (List File), *.* (All Files)\n"), std::string::npos);
}

// A long computation sees Ctrl-C at its next look at the console, and goes on seeing it; the
// console is asked at most every 50 ms.
TEST_F(LineConsole, ComputationSeesTheHaltAtItsNextLook) {
  dorvex::HaltPoll poll;
  EXPECT_FALSE(poll.halted());
  ::kill(::getpid(), SIGINT);
  EXPECT_FALSE(poll.halted());  // the console was asked a moment ago
  const auto start = Clock::now();
  while (!poll.halted()) ASSERT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(40));
  EXPECT_TRUE(poll.halted());
  EXPECT_TRUE(dorvex::HaltPoll().halted() == false);  // the halt was taken by the first
}

}  // namespace
