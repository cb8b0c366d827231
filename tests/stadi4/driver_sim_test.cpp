// The STADI4 driver and the motion layer against dorvex-sim's STADI4 over a pseudo-terminal:
// start-up, verified drives, counts and step scans on the sample crystal, the reference
// search, the halt, and each retry and failure rule with its injected fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <thread>

#include "instrument/controller.hpp"
#include "instrument/motion.hpp"
#include "instrument/sim_fixture.hpp"

using namespace dorvex;

namespace {

// The reflection 2 0 0 of the sample crystal (its matrix file gives these angles).
constexpr AngleSet k200 = {10.173f, 0.0f, 24.552f, 26.531f};

std::string hex_steps(long n) {
  char b[16];
  std::snprintf(b, sizeof b, "%06lX", n < 0 ? n + 16777215 : n);
  return b;
}

class Stadi4Sim : public dorvex_test::SimFixture {
 protected:
  static std::string profile() {
    std::string p = dorvex_test::read_text(DORVEX_SOURCE_DIR "/examples/DIFPROF_STADI4.DAT");
    // A short shutter delay keeps the tests quick.
    return dorvex_test::with_line(
        p, "CONFIG", "CONFIG    1    1    1    1    1    0    1    0    0    0   10    0");
  }
  void begin(const std::vector<std::string>& faults = {}, const std::string& scale = "0") {
    std::vector<std::string> options;
    for (const auto& f : faults) {
      options.push_back("--fault");
      options.push_back(f);
    }
    start(profile(), options, scale);
  }
  void drive_to(const AngleSet& a) {
    S().motion.target = a;
    int status = -1;
    DRIVEP(1, status);
    EXPECT_EQ(status, 0) << console();
  }
  AngleSet read_all() {
    invalidate_all_positions();
    AngleSet a{};
    RDALLMTR(a);
    return a;
  }
  std::vector<std::string> sent_after(const std::string& first) const {
    const auto all = received();
    auto at = std::find(all.begin(), all.end(), first);
    return {at, all.end()};
  }
  bool flag() const { return S().shell.error_flag != 0; }
  // The console wraps its lines at 80 characters: a message is looked for with the breaks out.
  bool said(const std::string& text) {
    std::string all = console();
    all.erase(std::remove(all.begin(), all.end(), '\n'), all.end());
    return all.find(text) != std::string::npos;
  }
};

TEST_F(Stadi4Sim, StartUpWakesShutsInitialisesAndFindsTheCirclesParked) {
  begin();
  WAKE_MOTORS();
  SHUTTER(0);
  CHECK_PARK();
  INIT_MOTORS();
  EXPECT_FALSE(flag()) << console();
  const auto wire = received();
  ASSERT_GE(wire.size(), 3u);
  EXPECT_EQ(wire[0], "XX");
  EXPECT_EQ(wire[1], "OS000000");
  EXPECT_EQ(wire.back(), "P0");
  for (int m = 1; m <= 4; ++m)
    EXPECT_TRUE(console_has("               MOTOR " + std::to_string(m) + " Controller: " +
                            std::to_string(m) + "     OK"))
        << console();
  EXPECT_NEAR(S().motion.cached[1], 5.0f, 1e-4);
  EXPECT_NEAR(S().motion.cached[2], 2.5f, 1e-4);
}

TEST_F(Stadi4Sim, DrivesSendTheTargetsInStepsAndArrive) {
  begin();
  drive_to({20.0f, 1.5f, 30.0f, -40.0f});
  EXPECT_FALSE(flag()) << console();
  // 200, 400, 200 and 100 steps per degree; the omega circle carries half of 2theta.
  const std::string ra = "RA" + hex_steps(4000) + hex_steps(4600) + hex_steps(6000) +
                         hex_steps(-4000);
  ASSERT_EQ(received_count(ra), 1) << console();
  EXPECT_EQ(sent_after(ra).at(1), "DR");
  const AngleSet a = read_all();
  EXPECT_NEAR(a[0], 20.0f, 1e-4);
  EXPECT_NEAR(a[1], 1.5f, 1e-4);
  EXPECT_NEAR(a[2], 30.0f, 1e-4);
  EXPECT_NEAR(a[3], -40.0f, 1e-4);

  int status = -1;
  DRIVE(3, -12.345f, 0.0f, 0, status);  // -2469 steps
  EXPECT_EQ(status, 0) << console();
  EXPECT_EQ(received_count("CH" + hex_steps(-2469)), 1);
  EXPECT_NEAR(read_all()[2], -2469.0f / 200.0f, 1e-4);
}

TEST_F(Stadi4Sim, DriveThatStopsShortIsCheckedAndIssuedAgain) {
  begin({"short:1:1"});
  drive_to({20.0f, 0.0f, 0.0f, 0.0f});
  EXPECT_FALSE(flag()) << console();
  EXPECT_EQ(received_count("DR"), 2);
  EXPECT_NEAR(read_all()[0], 20.0f, 1e-4);
}

TEST_F(Stadi4Sim, CountsAtAReflectionStayPositiveAndCountTimesAreClamped) {
  begin();
  drive_to(k200);
  ONBEAM();
  float rate = 0, used = 0;
  XCOUNT(20.0f, rate, used);
  EXPECT_FALSE(flag()) << console();
  EXPECT_FLOAT_EQ(used, 20.0f);
  // Over 145000 counts: a count is not a position and is never read as a negative one.
  EXPECT_GT(rate * used, 145000.0f);
  EXPECT_EQ(received_count("SV" + hex_steps(2000) + hex_steps(1) + std::string(24, '0')), 1);

  XCOUNT(500.0f, rate, used);
  EXPECT_FLOAT_EQ(used, 320.0f);
  EXPECT_EQ(received_count("SV007D00000001"), 1);
  XCOUNT(0.05f, rate, used);
  EXPECT_FLOAT_EQ(used, 0.1f);
  EXPECT_EQ(received_count("SV00000A000001"), 1);
  OFBEAM();
  const float dark_rate = [&] {
    float r = 0, u = 0;
    XCOUNT(10.0f, r, u);
    return r;
  }();
  EXPECT_LT(dark_rate, 0.1f * rate);
}

TEST_F(Stadi4Sim, StepScansThroughTheReflectionPeakInTheMiddle) {
  begin();
  drive_to(k200);
  for (int mode : {2, 1}) {
    std::array<int, 200> counts{};
    std::array<float, 200> positions{};
    int m = mode, status = -1;
    float used = 0;
    RUNSCAN(m, 0.02f, 0.5f, 21, counts, status, used, 0, positions);
    ASSERT_EQ(status, 0) << console();
    const int top = static_cast<int>(std::max_element(counts.begin(), counts.begin() + 21) -
                                     counts.begin());
    EXPECT_GE(top, 8) << mode;
    EXPECT_LE(top, 12) << mode;
    EXPECT_LT(std::max(counts[0], counts[20]), counts[static_cast<std::size_t>(top)] / 2) << mode;
    EXPECT_EQ(counts[21], 0);
    const float centre = mode == 2 ? k200[1] : k200[0];
    EXPECT_NEAR(positions[10], centre, 0.011f) << mode;
    EXPECT_NEAR(positions[1] - positions[0], 0.02f, 1e-5);
    // Omega alone: 8 omega steps a point. Coupled: 4 steps of 2theta and 4 of omega.
    const std::string widths = mode == 2 ? "000000" + hex_steps(8) + std::string(12, '0')
                                         : hex_steps(4) + hex_steps(4) + std::string(12, '0');
    EXPECT_EQ(received_count("SV" + hex_steps(50) + hex_steps(21) + widths), 1) << mode;
    drive_to(k200);
  }
  const auto wire = received();
  EXPECT_EQ(std::count(wire.begin(), wire.end(), "PI"), 2);
}

TEST_F(Stadi4Sim, ReferenceSearchReportsTheOffsetsOfRedefinedCircles) {
  begin();
  drive_to({10.0f, 0.0f, 0.0f, 0.0f});
  LDMTR(1, 10.5f);
  LDMTR(4, -2.0f);
  EXPECT_FALSE(flag()) << console();
  EXPECT_NEAR(read_all()[0], 10.5f, 1e-4);
  int found = 1;
  SEARCH_REFERENCE_MARKS(found);
  EXPECT_EQ(found, 0);
  EXPECT_TRUE(console_has(" *****Angle offsets are:    0.5000    0.0000    0.0000   -2.0000"))
      << console();
  const AngleSet a = read_all();
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(a[static_cast<std::size_t>(i)], 0.0f, 1e-4) << i;
  // Nothing redefined since: all offsets zero and nothing written.
  clear_console();
  SEARCH_REFERENCE_MARKS(found);
  EXPECT_EQ(found, 0);
  EXPECT_FALSE(console_has("Angle offsets"));
}

TEST_F(Stadi4Sim, RedefinedCirclesReadBackAsDefinedAndTheOthersStay) {
  begin();
  drive_to({20.0f, 0.0f, 10.0f, 0.0f});
  LDMTR(2, 11.0f);  // the omega circle: logical 1 plus half of 2theta, as LDMT gives it
  EXPECT_FALSE(flag()) << console();
  AngleSet a = read_all();
  EXPECT_NEAR(a[0], 20.0f, 1e-4);
  EXPECT_NEAR(a[1], 1.0f, 1e-4);  // the circle reading carries 2theta / 2 beside it
  EXPECT_NEAR(a[2], 10.0f, 1e-4);
  LDMTR(3, -5.0f);
  a = read_all();
  EXPECT_NEAR(a[1], 1.0f, 1e-4);
  EXPECT_NEAR(a[2], -5.0f, 1e-4);
  // Omega circle 11, 2theta 20, chi -5 in steps.
  EXPECT_EQ(received_count("DC" + hex_steps(4000) + hex_steps(4400) + hex_steps(-1000) +
                           hex_steps(0)),
            1);
}

TEST_F(Stadi4Sim, BadAcknowledgesAreSentAgainWithTheirWarningsThenRecovered) {
  // The first five answers to PP are each wrong in another way; the sixth is right.
  begin({"reply:?PP:IR1:1", "reply:?PP:IR00:2", "reply:?PP:IR10:3", "reply:?PP:IR42:4",
         "reply:?PP:IRXY:5", "empty:?XX:1", "garble:?P0:1"});
  const AngleSet a = read_all();
  EXPECT_FALSE(flag()) << console();
  EXPECT_NEAR(a[0], 5.0f, 1e-4);
  EXPECT_EQ(received_count("PP"), 6);
  for (const char* text :
       {"Interface returned only 3 characters IR1 Trying again",
        "Got IR00 from interface in response to  sending  2 characters: PP Trying again",
        "Got error 10 from interface in response to  sending  2 characters: PP Trying again",
        "Got error 42 from interface in response to  sending  2 characters: PP Trying again",
        "Error reading error code from interface: IRXYTrying again",
        "Recovered from communications error, interface returned IROK",
        "Interface returned zero characters Trying again"})
    EXPECT_TRUE(said(text)) << text << "\n" << console();
  INIT_MOTORS();
  EXPECT_FALSE(flag());
  EXPECT_TRUE(said("Unexpected response from interface. Sent:P0 Returned  5 characters: "
                          "#R#K# Trying again"))
      << console();
  EXPECT_EQ(received_count("P0"), 2);
}

TEST_F(Stadi4Sim, SixBadAnswersInARowEndTheCommand) {
  begin({"reply:?P0:IR12:1:6"});
  INIT_MOTORS();
  EXPECT_TRUE(flag());
  EXPECT_EQ(received_count("P0"), 6);
  EXPECT_TRUE(said(" 5 consecutive failures in reading response from interface. Last "
                          "response was: IR12"))
      << console();
}

TEST_F(Stadi4Sim, LimitSwitchStopsAllAxesAndEndsTheDrive) {
  begin({"limit:1:40"});
  S().motion.target = {60.0f, 0.0f, 0.0f, 0.0f};
  int status = 0;
  DRIVEP(1, status);
  EXPECT_TRUE(flag());
  EXPECT_TRUE(console_has(" *****Limit switch active for drive 1")) << console();
  const auto after = sent_after("DR");
  EXPECT_NE(std::find(after.begin(), after.end(), "SP"), after.end());
  EXPECT_EQ(received_count("DR"), 1);
  S().shell.error_flag = 0;
  EXPECT_NEAR(read_all()[0], 40.0f, 0.01f);
}

TEST_F(Stadi4Sim, ShutterRepeatsUntilIR08AndGivesUpAfterFiveRepetitions) {
  begin({"shutter:1"});
  SHUTTER(1);
  EXPECT_FALSE(flag()) << console();
  EXPECT_TRUE(console_has("Interface returned error =  9to shutter request"));
  EXPECT_TRUE(console_has("Interface now returning correct IR08 code"));
  EXPECT_EQ(received_count("OS000001"), 2);
}

TEST_F(Stadi4Sim, ShutterThatNeverOpensIsAnError) {
  begin({"shutter:6"});
  SHUTTER(1);
  EXPECT_TRUE(flag());
  EXPECT_EQ(received_count("OS000001"), 6);
  EXPECT_TRUE(console_has("Interface returning error =  9to shutter request")) << console();
  EXPECT_EQ(S().status.shutter, "Shutter: ERROR");
}

// A wrong acknowledge of a scan is not answered by a second scan: the circles at the scan's end
// show that it ran.
TEST_F(Stadi4Sim, ScanStartAndCountLinesAreAskedAgain) {
  begin({"reply:?SS:IR05:1", "countshort:1"});
  drive_to(k200);
  std::array<int, 200> counts{};
  std::array<float, 200> positions{};
  int mode = 2, status = -1;
  float used = 0;
  RUNSCAN(mode, 0.02f, 0.5f, 6, counts, status, used, 0, positions);
  EXPECT_EQ(status, 0) << console();
  EXPECT_TRUE(said("Startscan got response of   4 characters IR05 instead of IR06. The "
                   "circles stand where the scan ends: it ran, its counts are read"))
      << console();
  EXPECT_TRUE(console_has("XX in count_line got response of   6 characters "));
  EXPECT_TRUE(said(" instead of 12. Will try to read again"));
  EXPECT_TRUE(console_has("Recovered from XX error"));
  EXPECT_EQ(received_count("SS"), 1);
  for (int i = 0; i < 6; ++i) EXPECT_GT(counts[static_cast<std::size_t>(i)], 0) << i;
}

TEST_F(Stadi4Sim, ScanThatNeverStartsIsAnError) {
  begin({"reply:?SS:IR05:1:6"});
  float rate = -1, used = 0;
  XCOUNT(1.0f, rate, used);
  EXPECT_TRUE(flag());
  EXPECT_EQ(received_count("SS"), 6);
  EXPECT_TRUE(console_has("Startscan got response of   4 characters IR05 instead of IR06."));
  EXPECT_EQ(rate, -1.0f);
}

TEST_F(Stadi4Sim, CountLineShortSixTimesIsAnError) {
  begin({"reply:?XX:0000000A:1:6"});
  float rate = -1, used = 0;
  XCOUNT(1.0f, rate, used);
  EXPECT_TRUE(flag());
  EXPECT_EQ(received_count("XX"), 6);
  EXPECT_TRUE(said("XX in count_line got response of   8 characters 0000000A instead of  6"))
      << console();
  EXPECT_EQ(rate, -1.0f);
}

TEST_F(Stadi4Sim, WakeUpWithoutIR08AndReferenceSearchErrorsAreReported) {
  begin({"reply:?OS:IR05:1", "reply:?CK:IR09:1"});
  WAKE_MOTORS();
  EXPECT_TRUE(flag());
  EXPECT_TRUE(console_has("Wake_motors got   4characters IR05 in response to OS000000"))
      << console();
  S().shell.error_flag = 0;
  int found = 0;
  SEARCH_REFERENCE_MARKS(found);
  EXPECT_EQ(found, 1);
  EXPECT_FALSE(flag());
  EXPECT_TRUE(console_has(" *****SEARCH FOR REFERENCE MARKS RETURNED ERROR:IR09")) << console();
}

TEST_F(Stadi4Sim, AnswerWithAForeignCharacterIsAnErrorAndTheShutterStateIsNeverAsked) {
  begin({"reply:?XX:0003E80003E800000G000000:1"});
  float v = 0;
  invalidate_all_positions();
  RDMTR(1, v);
  EXPECT_TRUE(flag());
  EXPECT_TRUE(console_has("INVALID CHARACTER IN HEX STRING: 00000G")) << console();
  S().shell.error_flag = 0;
  int state = 0;
  GET_SHUTTER_STATUS(state);
  EXPECT_EQ(state, 1);
  EXPECT_TRUE(flag());
  EXPECT_TRUE(said("Program called get_shutter_status! Report the error to author of "
                          "program"));
}

TEST_F(Stadi4Sim, HaltDuringALongDriveStopsTheCircles) {
  begin({}, "1");
  // 2theta at 5 degrees per second: 95 degrees take 19 seconds.
  S().motion.target = {100.0f, 0.0f, 0.0f, 0.0f};
  std::thread halt([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ::kill(::getpid(), SIGINT);
  });
  const auto began = std::chrono::steady_clock::now();
  int status = 0;
  DRIVEP(1, status);
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  halt.join();
  EXPECT_TRUE(flag());
  EXPECT_TRUE(console_has("Diffractometer halted by user")) << console();
  EXPECT_EQ(received_count("SP"), 1);
  // The stop waits only for the shutter's acknowledge; the drive itself had 18 seconds to go.
  EXPECT_LT(took, 2.0);
  EXPECT_LT(S().motion.cached[1], 30.0f);
  EXPECT_EQ(S().motion.shutter_state, 0);
}

}  // namespace
