// The P4 driver and the motion layer against dorvex-sim's P4 family over a pseudo-terminal:
// the exact command texts, drives with verification, counts, program-stepped scans, position
// loads, the limit switch, failed reads with their retries, and the operator's halt.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <thread>

#include "common/fields.hpp"
#include "instrument/controller.hpp"
#include "instrument/drivers/p4.hpp"
#include "instrument/motion.hpp"
#include "instrument/sim_fixture.hpp"
#include "support/run_dorvex.hpp"

using namespace dorvex;

namespace {

class P4Sim : public dorvex_test::SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    p4::reset();
  }
  void TearDown() override {
    SimFixture::TearDown();
    p4::reset();
  }

  // The sample P4 profile with a short shutter delay.
  static std::string p4_profile() {
    std::string p = dorvex_test::read_text(DORVEX_SOURCE_DIR "/examples/DIFPROF_P4.DAT");
    return dorvex_test::with_line(
        p, "CONFIG", "CONFIG    1    1    1    1    0    0    1    0    0    0   10    1");
  }
  void start_p4(const std::vector<std::string>& options = {}, const std::string& scale = "0") {
    start(p4_profile(), options, scale);
  }

  void drive_to(const AngleSet& a, int expect_status = 0) {
    S().motion.target = a;
    int status = -1;
    DRIVEP(1, status);
    EXPECT_EQ(status, expect_status) << console();
  }
  AngleSet read_all() {
    invalidate_all_positions();
    AngleSet a{};
    RDALLMTR(a);
    return a;
  }
  // The answers the simulator sent, in order.
  std::vector<std::string> answers() const {
    std::vector<std::string> out;
    std::istringstream in(dorvex_test::read_text(transcript_));
    for (std::string l; std::getline(in, l);) {
      const auto at = l.find(" > ");
      if (at != std::string::npos) out.push_back(l.substr(at + 3));
    }
    return out;
  }
  // A command that gets no answer may still be on its way when the routine returns: look for
  // it until a deadline.
  bool received_line(const std::string& line) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      for (const auto& l : received())
        if (l == line) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
};

TEST_F(P4Sim, StartUpWakesClosesTheShutterFindsTheParkAndSetsSpeedsAndBounds) {
  start_p4();
  WAKE_MOTORS();
  SHUTTER(0);
  CHECK_PARK();
  INIT_MOTORS();
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  for (int m = 1; m <= 4; ++m)
    EXPECT_TRUE(console_has("               MOTOR " + std::to_string(m) + " Controller: " +
                            std::to_string(m) + "     OK"))
        << console();
  const auto sent = received();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent[0], "");  // the wake-up: CR before the terminator
  EXPECT_TRUE(received_line("W-1"));
  // Speeds are F10.6 (13 characters), bounds of chi and phi two F10.5 (22 characters).
  for (int m = 1; m <= 4; ++m) EXPECT_TRUE(received_line("S" + std::to_string(m) + ",300.000000"));
  EXPECT_TRUE(received_line("B3 -90.00000  90.00000"));
  EXPECT_TRUE(received_line("B4   0.00000   0.00000"));
  // A speed outside 100..600 is run at 6.
  EXPECT_EQ(F(6.0f, 10, 6), "  6.000000");
}

TEST_F(P4Sim, DrivesLoadEveryCircleStartTogetherAndAreVerified) {
  start_p4();
  drive_to({20.0f, 1.5f, 30.0f, 40.0f});
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_TRUE(received_line("F1,  20.000"));
  EXPECT_TRUE(received_line("F2,   1.500"));
  EXPECT_TRUE(received_line("F3,  30.000"));
  EXPECT_TRUE(received_line("F4,  40.000"));
  EXPECT_EQ(received_count("D"), 1);
  const AngleSet a = read_all();
  EXPECT_NEAR(a[0], 20.0f, 1e-3);
  EXPECT_NEAR(a[1], 1.5f, 1e-3);
  EXPECT_NEAR(a[2], 30.0f, 1e-3);
  EXPECT_NEAR(a[3], 40.0f, 1e-3);
  // One circle alone: one load, one start.
  int status = -1;
  DRIVE(1, -10.0f, 0, 0, status);
  EXPECT_EQ(status, 0) << console();
  EXPECT_TRUE(received_line("F1, -10.000"));
  EXPECT_EQ(received_count("D"), 2);
  EXPECT_NEAR(read_all()[0], -10.0f, 1e-3);  // the controller says 350: read as -10
  EXPECT_FALSE(console_has("not reached")) << console();
}

// Without limits on its line 2theta takes the P4's own, down to -106 degrees.
TEST_F(P4Sim, TwoThetaWithoutLimitsDrivesPastTheOtherFamiliesDefault) {
  start(dorvex_test::with_line(p4_profile(), "MOTOR1",
                               "MOTOR1 1,    100.00    300.00      0.00    200.00      0.00"));
  EXPECT_FLOAT_EQ(S().profile.motor[1].lower, -106.0f);
  int status = -1;
  DRIVE(1, -60.0f, 0, 0, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_NEAR(read_all()[0], -60.0f, 1e-3);
}

TEST_F(P4Sim, FreePhiTurnsTheShortWayAcrossHalfATurnAndReadsInTheDeclaredTurn) {
  start_p4();
  drive_to({20.0f, 0.0f, 0.0f, 170.0f});
  drive_to({20.0f, 0.0f, 0.0f, -170.0f});
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  // Relabelled one turn down (170 declared -190, "U" takes 170 in 0..360), then 20 degrees on:
  // the target goes out in the turn the controller counts in.
  EXPECT_TRUE(received_line("U4,170"));
  EXPECT_TRUE(received_line("F4, 190.000"));
  EXPECT_NEAR(read_all()[3], -170.0f, 1e-3);
  EXPECT_FALSE(console_has("not reached")) << console();
  // A viewing position a turn away from the reading: the relabel stops at once.
  drive_to({20.0f, 0.0f, 0.0f, 270.0f});
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_NEAR(read_all()[3], 270.0f, 1e-3);
}

TEST_F(P4Sim, DriveThatStopsShortIsReadAgainReissuedAndRecovers) {
  start_p4({"--fault", "short:1:2"});
  int status = -1;
  DRIVE(1, 30.0f, 0, 0, status);
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_TRUE(console_has("Target of motor 1 not reached in DRIVE")) << console();
  EXPECT_TRUE(console_has("Re-issuing drive instruction"));
  EXPECT_TRUE(console_has("Recovered from error in DRIVE"));
  EXPECT_EQ(received_count("F1,  30.000"), 3);
  EXPECT_NEAR(read_all()[0], 30.0f, 1e-3);
}

TEST_F(P4Sim, CountsAtLeastAQuarterOfASecondAndTakesTheRateFromTheAnswer) {
  start_p4();
  float rate = -1, used = -1;
  XCOUNT(0.1f, rate, used);
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_FLOAT_EQ(used, 0.25f);
  EXPECT_TRUE(received_line("I1"));
  EXPECT_TRUE(received_line("C0, 0.250"));
  XCOUNT(2.004f, rate, used);
  EXPECT_FLOAT_EQ(used, 2.0f);
  EXPECT_TRUE(received_line("C0, 2.000"));
  // The rate is the count the controller answered over the time used.
  const auto a = answers();
  ASSERT_FALSE(a.empty());
  EXPECT_NEAR(rate, std::stod(a.back()) / 2.0, 1e-3);
  EXPECT_NEAR(S().status.count_rate, rate, 1e-3);
}

// The sample P4 profile has the omega circle follow half of 2theta by itself (CONFIG field 5
// 0): a theta/2theta scan steps the 2theta circle alone.
TEST_F(P4Sim, ThetaTwoThetaScanStepsTwoThetaAndCountsEveryPoint) {
  start_p4();
  drive_to({20.0f, 0.0f, 0.0f, 0.0f});
  std::array<int, 200> counts{};
  std::array<float, 200> positions{};
  int mode = 5, status = -1;
  float used = 0;
  RUNSCAN(mode, 0.1f, 0.5f, 6, counts, status, used, 0, positions);
  EXPECT_EQ(status, 0) << console();
  EXPECT_EQ(mode, 1);
  EXPECT_FLOAT_EQ(used, 0.5f);
  EXPECT_EQ(received_count("A1,   0.100"), 6);
  EXPECT_EQ(received_count("A2,"), 0);
  EXPECT_EQ(received_count("C0, 0.500"), 6);
  // Start (6 + 1) x 0.1 / 2 below 20; the points follow it.
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(positions[i], 19.65f + 0.1f * (i + 1), 1e-3) << i;
  // Each count is the controller's own number.
  std::vector<long> answered;
  for (const auto& line : answers())
    if (line.size() == 8) answered.push_back(std::stol(line));
  ASSERT_EQ(answered.size(), 6u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(counts[i], answered[static_cast<std::size_t>(i)]) << i;
  EXPECT_NEAR(read_all()[0], 20.25f, 1e-3);
  // The crystal followed at half the 2theta angle, into the start and through the scan: omega
  // from the bisecting position stayed at 0.
  EXPECT_NEAR(read_all()[1], 0.0f, 1e-3);
}

TEST_F(P4Sim, LoadAlignsTheFractionThroughTheZeroAndNegativeAnglesGoRoundOnce) {
  start_p4();
  LDMTR(4, -10.0f);
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_TRUE(received_line("EZ4,   0.000"));
  EXPECT_TRUE(received_line("U4,350"));
  EXPECT_NEAR(read_all()[3], -10.0f, 1e-3);
  EXPECT_EQ(received_count("U4,"), 1) << "the read agreed: no second whole-degree load";
  // 2theta stands at 5.00: 12.34 moves the fraction through the zero first.
  LDMTR(1, 12.34f);
  EXPECT_TRUE(received_line("EZ1,  -0.340"));
  EXPECT_TRUE(received_line("U1,12"));
  EXPECT_NEAR(read_all()[0], 12.34f, 1e-3);
}

TEST_F(P4Sim, LimitSwitchShowsThePositionClosesTheShutterAndRefusesFurtherDrives) {
  start_p4({"--fault", "limit:1:30"});
  drive_to({20.0f, 0.0f, 0.0f, 0.0f});
  S().motion.beam_guard_override = 0;
  ONBEAM();
  int shutter = -1;
  GET_SHUTTER_STATUS(shutter);
  EXPECT_EQ(shutter, 1);
  ASSERT_EQ(S().shell.error_flag, 0) << console();
  int status = -1;
  DRIVE(1, 40.0f, 0, 0, status);
  EXPECT_EQ(S().shell.error_flag, 1);
  EXPECT_TRUE(console_has("Limit switch active")) << console();
  EXPECT_EQ(S().status.action, "Limit active at:");
  EXPECT_NEAR(S().status.angles[0], 30.0f, 0.01f);
  EXPECT_TRUE(received_line("W-1"));
  EXPECT_EQ(S().motion.shutter_state, 0);
  // The controller's first status word was odd and above 32768 before the close: at the
  // switch with the shutter open.
  bool open_at_limit = false;
  for (const auto& a : answers())
    if (a.size() >= 55) {
      const long w = std::stol(a.substr(44, 5));
      open_at_limit = open_at_limit || (w % 2 == 1 && w > 32768);
    }
  EXPECT_TRUE(open_at_limit);
  // Until the controller reports the switch free again, every drive is refused.
  S().shell.error_flag = 0;
  CHECK_LIMITS();
  EXPECT_EQ(S().shell.error_flag, 1);
}

// A read of the circles is four waits (one status request each) and the request of the read.
TEST_F(P4Sim, ShortAndGarbledStatusAnswersAreReadAgain) {
  start_p4({"--fault", "empty:?U0,0:5", "--fault", "garble:?U0,0:10"});
  const AngleSet a = read_all();
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_NEAR(a[0], 5.0f, 1e-3);
  int warnings = 0;
  for (const auto& line : dorvex_test::lines(console()))
    warnings += line.find("Error in RdAllMtr: request for motor positions returned string:") !=
                std::string::npos;
  EXPECT_EQ(warnings, 2) << console();
}

// Fifty-four characters are one short of a status answer: shown, and read again.
TEST_F(P4Sim, StatusAnswerOfFiftyFourCharactersIsShownAndReadAgain) {
  const std::string short_answer = "  7.000000   2.500000   0.000000   0.000000     2    0";
  ASSERT_EQ(short_answer.size(), 54u);
  start_p4({"--fault", "reply:?U0,0:" + short_answer + ":5"});
  const AngleSet a = read_all();
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_TRUE(dorvex_test::has_line(console(), short_answer)) << console();
  EXPECT_TRUE(console_has("Error in RdAllMtr: request for motor positions returned string:"));
  EXPECT_NEAR(a[0], 5.0f, 1e-3) << "the short answer's 7 degrees were not taken";
}

TEST_F(P4Sim, IllegalFirstCharacterIsReportedAndDropped) {
  start_p4({"--fault",
            "reply:?U0,0:\x01  7.000000   2.500000   0.000000   0.000000     2     0:5"});
  const AngleSet a = read_all();
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_TRUE(console_has("Illegal first character no.   1 returned from interface"))
      << console();
  EXPECT_NEAR(a[0], 7.0f, 1e-3);
}

TEST_F(P4Sim, CountThatCannotBeReadEndsTheCommandInsteadOfCountingNothing) {
  start_p4({"--fault", "garble:?D:1"});
  float rate = -1, used = 0;
  XCOUNT(1.0f, rate, used);
  EXPECT_EQ(S().shell.error_flag, 1);
  EXPECT_TRUE(console_has("Count not read from the interface")) << console();
  EXPECT_EQ(rate, -1.0f);
}

TEST_F(P4Sim, TheSixthFailedReadOfTheCirclesEndsTheCommand) {
  start_p4({"--fault", "empty:?U0,0:1:40"});
  read_all();
  EXPECT_EQ(S().shell.error_flag, 1);
  EXPECT_TRUE(console_has("5 read errors in RdAllMtr")) << console();
  EXPECT_EQ(received_count("U0,0"), 30);
}

TEST_F(P4Sim, AnUnansweredCountLastsUntilTheOperatorHalts) {
  start_p4({"--fault", "drop:?D:1"});
  S().profile.no_shutter = 0;
  std::thread halt([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ::kill(::getpid(), SIGINT);
  });
  float rate = -1, used = 0;
  const auto before = std::chrono::steady_clock::now();
  XCOUNT(1.0f, rate, used);
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
  halt.join();
  EXPECT_EQ(S().shell.error_flag, 1);
  EXPECT_TRUE(console_has("Diffractometer halted by user")) << console();
  EXPECT_GE(took, 0.35);
  EXPECT_EQ(rate, -1.0f) << "no rate from a count that never answered";
  EXPECT_TRUE(received_line("W-1")) << "the halt closes the shutter";
}

TEST_F(P4Sim, HaltDuringALongDriveClosesTheShutterAndTheCircleEndsItsMove) {
  start_p4({}, "1");
  std::thread halt([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ::kill(::getpid(), SIGINT);
  });
  int status = -1;
  const auto before = std::chrono::steady_clock::now();
  DRIVE(1, 15.0f, 0, 0, status);  // 10 degrees at 5 degrees a second
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
  halt.join();
  EXPECT_EQ(S().shell.error_flag, 1);
  EXPECT_TRUE(console_has("Diffractometer halted by user")) << console();
  EXPECT_TRUE(received_line("W-1"));
  // The P4 has no stop command and answers no status request while the move runs: the halt
  // does not wait for it, and the positions are read at the next command.
  EXPECT_LT(took, 1.5);
  EXPECT_TRUE(console_has("The controller did not answer after the halt")) << console();
  EXPECT_EQ(S().motion.valid[1], 0);
  S().shell.error_flag = 0;
  EXPECT_NEAR(read_all()[0], 15.0f, 1e-3);
}

}  // namespace
