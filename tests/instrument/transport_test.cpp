// The serial link against the far end of a pseudo-terminal held by the test: what goes out
// for each count and terminator, how answers are framed, and how a silent or flooding
// controller and a signal during a read are met.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "instrument/transport.hpp"
#include "support/shell_fixture.hpp"

using namespace dorvex;

namespace {

class Link : public dorvex_test::ShellFixture {
 protected:
  void open_link(int in_term, int out_term, int timeout_ms = 200) {
    char name[256] = {};
    ASSERT_EQ(::openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    termios tio{};
    ::tcgetattr(master_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(master_, TCSANOW, &tio);
    auto& c = S().profile.compor;
    c = {0, 1, 1, 9600, 0, 8, 0, in_term, out_term, timeout_ms, 0};
    S().profile.interface_type = 7;
    S().shell.port_override = name;
    OPEN_COMMPORT();
    ASSERT_EQ(S().shell.error_flag, 0) << console();
    clear_console();
  }
  void TearDown() override {
    CLOSE_COMMPORT();
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    ShellFixture::TearDown();
  }
  std::string sent() {
    std::string out;
    char buf[512];
    for (;;) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) break;
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }
  void answer(const std::string& bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  int master_ = -1, slave_ = -1;
};

TEST_F(Link, CountsAndOutputTerminators) {
  open_link(3, 7);  // an output terminator outside 1..3 is CR LF
  SEND_STRING_PORT("?P1;xyz", 4);
  EXPECT_EQ(sent(), "?P1;\r\n");
  SEND_STRING_PORT("ABC", 0);
  EXPECT_EQ(sent(), "\r\n");
  SEND_STRING_PORT("ABC", -1);
  EXPECT_EQ(sent(), "");
  S().profile.compor[8] = 2;
  SEND_STRING_PORT("Q;", 2);
  EXPECT_EQ(sent(), "Q;\n");
  EXPECT_FALSE(last_send_failed());
}

TEST_F(Link, InputTerminatorCrLf) {
  open_link(3, 1);
  std::string text;
  int n = -1;
  answer("OK\r\n");
  READ_STRING_PORT(text, n);
  EXPECT_EQ(text, "OK");
  EXPECT_EQ(n, 2);
  EXPECT_EQ(console(), "");
  answer("OK\n");
  READ_STRING_PORT(text, n);
  EXPECT_EQ(text, "OK");
  EXPECT_NE(console().find("****ERROR IN READString:  FOUND <LF> BUT NO <CR>"), std::string::npos);
  EXPECT_EQ(S().shell.error_flag, 0);
}

TEST_F(Link, InputTerminatorCrKeepsALineFeed) {
  open_link(1, 1);
  std::string text;
  int n = 0;
  answer("A\nB\r");
  READ_STRING_PORT(text, n);
  EXPECT_EQ(text, "A\nB");
  EXPECT_EQ(n, 3);
}

TEST_F(Link, OverlongAnswerIsAnError) {
  open_link(1, 1);
  answer(std::string(256, 'x'));
  std::string text;
  int n = 0;
  READ_STRING_PORT(text, n);
  EXPECT_EQ(S().shell.error_flag, 1);
  EXPECT_NE(console().find("buffer overflowed. First 100 chars were: " + std::string(100, 'x')),
            std::string::npos);
}

TEST_F(Link, SilentControllerTimesOutWithinTheProfilesTimeout) {
  open_link(1, 1, 150);
  std::string text, why;
  int n = 0;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(READ_STRING_PORT_QUIET(text, n, why), 1);
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(waited, 0.15);
  EXPECT_LT(waited, 1.0);
  EXPECT_NE(why.find("No bytes returned"), std::string::npos);
  READ_STRING_PORT(text, n);
  EXPECT_EQ(S().shell.error_flag, 1);
}

extern "C" void ignore_signal(int) {}

TEST_F(Link, ReadInterruptedByASignalGoesOn) {
  open_link(1, 1, 2000);
  struct sigaction sa {};
  sa.sa_handler = ignore_signal;
  sa.sa_flags = 0;  // no restart: the read sees EINTR
  struct sigaction old {};
  ::sigaction(SIGUSR1, &sa, &old);
  const pthread_t reader = ::pthread_self();
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::pthread_kill(reader, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    answer("+1.0000deg;\r");
  });
  std::string text;
  int n = 0;
  READ_STRING_PORT(text, n);
  peer.join();
  ::sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_EQ(text, "+1.0000deg;");
}

TEST_F(Link, LostLinkIsReportedAtOnce) {
  open_link(1, 1, 2000);
  ::close(master_);
  master_ = -1;
  std::string text, why;
  int n = 0;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(READ_STRING_PORT_QUIET(text, n, why), 2);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.0);
  EXPECT_NE(why.find("link was lost"), std::string::npos);
}

TEST_F(Link, MissingDeviceNamesTheReason) {
  S().profile.compor = {0, 1, 3, 9600, 0, 8, 0, 1, 1, 100, 0};
  S().shell.port_override = "/nonexistent/ttyX";
  OPEN_COMMPORT();
  EXPECT_EQ(S().shell.error_flag, 1);
  EXPECT_NE(console().find("Error opening COM3 Check that no other version of the program is "
                           "running: /nonexistent/ttyX: no such device"),
            std::string::npos)
      << console();
  EXPECT_FALSE(commport_open());
}

TEST_F(Link, InvalidPortTypeIsRefused) {
  S().profile.compor = {0, 5, 1, 9600, 0, 8, 0, 1, 1, 100, 0};
  OPEN_COMMPORT();
  EXPECT_NE(console().find("INVALID COMM PORT TYPE = 5 IN OPEN_COMMPORT"), std::string::npos)
      << console();
}

}  // namespace
