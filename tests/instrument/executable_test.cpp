// The real program with --simulate: start-up against dorvex-sim, the manual instrument
// commands as an operator types them, and the halt (SIGINT) during a long drive.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "sim_fixture.hpp"
#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::Home;
using dorvex_test::read_text;

std::vector<std::string> simulate_args(const Home& home) {
  return {"--home", home.path(), "--simulate", "--ui", "line", "--mat", home.path() + "x"};
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Executable, ManualCommandsDriveCountAndTalkToTheSimulator) {
  Home home;
  const std::string wire = home.file("wire.txt");
  const auto r = dorvex_test::run_dorvex(
      home,
      "GOTO 20 1 30 40\nGOTO 130 0 0 0\nMOT\n3 45\n11 2\nLDMT 4 10\nOPSH\nCOUN\nCLSH\n"
      "DCOM\n?P1;\nread\nexit\nGOTO\n0 0 0 0\n",
      simulate_args(home), 60, {"DORVEX_SIM_ARGS=--time-scale 0 --transcript " + wire});
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string sent = read_text(wire);
  EXPECT_TRUE(dorvex_test::has_line(r.out, "               MOTOR 4 Controller: 4     OK")) << r.out;
  EXPECT_EQ(count_of(sent, "< 1:A20.0000"), 1);
  EXPECT_TRUE(dorvex_test::has_line(
      r.out, "Target angle OUT OF BOUNDS: 2theta 130.000 deg above its upper limit 120.000 deg"));
  EXPECT_EQ(count_of(sent, "< 1:A130"), 0);
  EXPECT_EQ(count_of(sent, "< 3:A45.0000"), 1);
  EXPECT_EQ(count_of(sent, "< POS4:10.0000;"), 1);
  EXPECT_EQ(count_of(sent, "< IO1;"), 1);  // COUN finds the shutter OPSH opened
  EXPECT_EQ(count_of(sent, "< GSB10*5;"), 1);
  EXPECT_TRUE(dorvex_test::has_line(r.out, "  The  4 characters in alph are:"));
  // The SMC9300 puts ETX before its answer; DCOM shows it raw.
  EXPECT_TRUE(dorvex_test::has_line(r.out, "  Returned text of    15 characters:")) << r.out;
  EXPECT_TRUE(dorvex_test::has_line(r.out, "  Character no.   1 is Acsii   3"));
  // The motor-11 line ended the MOT dialogue without a word.
  EXPECT_EQ(count_of(r.out, "MOT: Enter imot,angle>"), 2);
}

// The program may end right after a command that gets no answer; the controller still takes it
// off the line. Repeated, as the program's end and the controller's reading race.
TEST(Executable, CommandSentJustBeforeTheEndReachesTheController) {
  for (int run = 0; run < 4; ++run) {
    Home home;
    const std::string wire = home.file("wire.txt");
    const auto r = dorvex_test::run_dorvex(home, "DCOM\n*HS0;\n", simulate_args(home), 30,
                                           {"DORVEX_SIM_ARGS=--time-scale 0 --transcript " + wire});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(count_of(read_text(wire), "< *HS0;"), 1) << "run " << run << "\n" << read_text(wire);
  }
}

TEST(Executable, DummyModeIgnoresTheInstrumentCommands) {
  Home home;
  const auto r = dorvex_test::run_dorvex(home, "GOTO 20 0 0 0\nMOT 3 45\nOPSH\nCOUN\nDRIV\nHALT\n");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("OUT OF BOUNDS"), std::string::npos);
  EXPECT_EQ(r.out.find("COMMUNICATIONS"), std::string::npos);
  EXPECT_EQ(r.out.find("Shutter"), std::string::npos);
}

// A 20-second drive of phi at time scale 1, stopped by SIGINT.
TEST(Executable, SigintHaltsALongDriveWithinAFifthOfASecond) {
  Home home;
  std::string p = read_text(home.file("DIFPROF.DAT"));
  p = dorvex_test::with_line(p, "MOTOR4", "MOTOR4 4,    100.00    900.00    100.00    900.00    200.00");
  home.write("DIFPROF.DAT", p);
  const std::string wire = home.file("wire.txt");
  const std::string env = "DORVEX_SIM_ARGS=--time-scale 1 --transcript " + wire;
  int in[2], out[2];
  ASSERT_EQ(::pipe(in), 0);
  ASSERT_EQ(::pipe(out), 0);
  auto args = simulate_args(home);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
    ::putenv(const_cast<char*>(env.c_str()));
    std::vector<char*> argv{const_cast<char*>(DORVEX_BINARY)};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(DORVEX_BINARY, argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  const std::string command = "MOT 4 180\n";
  ASSERT_EQ(::write(in[1], command.data(), command.size()), static_cast<ssize_t>(command.size()));
  std::string output;
  auto pump = [&](int ms) {
    pollfd ready{out[0], POLLIN, 0};
    if (::poll(&ready, 1, ms) > 0) {
      char buf[4096];
      const ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n > 0) output.append(buf, static_cast<std::size_t>(n));
    }
  };
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (read_text(wire).find("< 4:A180") == std::string::npos &&
         std::chrono::steady_clock::now() < give_up)
    pump(10);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  pump(0);
  const auto sent = std::chrono::steady_clock::now();
  ::kill(pid, SIGINT);
  while (output.find("Diffractometer halted by user") == std::string::npos &&
         std::chrono::steady_clock::now() < give_up)
    pump(5);
  const double served = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
  ::close(in[1]);
  int status = 0;
  // The pipe reaches end of file before the program is gone (it still ends its simulator), so
  // the wait sleeps rather than relying on the pipe to block.
  for (int i = 0; i < 500 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) {
    pump(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (::waitpid(pid, &status, WNOHANG) == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ADD_FAILURE() << "the program did not end";
  }
  ::close(out[0]);
  EXPECT_NE(output.find("Diffractometer halted by user"), std::string::npos) << output;
  EXPECT_LT(served, 0.2);
  EXPECT_NE(read_text(wire).find("< Q;"), std::string::npos);
}

}  // namespace
