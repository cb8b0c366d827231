// The SIN-10 driver and its counter and shutter card against dorvex-sim: the serial link over a
// pseudo-terminal and the card over the simulator's socket, with every retry rule driven by an
// injected fault.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <algorithm>
#include <sstream>

#include "instrument/controller.hpp"
#include "instrument/iocard.hpp"
#include "instrument/motion.hpp"
#include "instrument/sim_fixture.hpp"

using namespace dorvex;

namespace {

class Sin10Sim : public dorvex_test::SimFixture {
 protected:
  static std::string sin10_profile() {
    std::string p = dorvex_test::read_text(DORVEX_SOURCE_DIR "/examples/DIFPROF_SIN10.DAT");
    p = dorvex_test::with_line(p, "COMPOR",
                               "COMPOR     1    1 9600    0    8    1    1    1  300    0");
    p = dorvex_test::with_line(
        p, "CONFIG", "CONFIG    1    1    1    1    0    0    1    1    0    0   10    1");
    return p;
  }
  void start_sin10(const std::vector<std::string>& faults = {}, const std::string& scale = "0",
                   std::string profile = sin10_profile()) {
    card_ = S().shell.program_directory + "card";
    ::setenv("DORVEX_IOCARD", card_.c_str(), 1);
    std::vector<std::string> options = {"--iocard", card_};
    for (const auto& f : faults) {
      options.push_back("--fault");
      options.push_back(f);
    }
    start(profile, options, scale);
  }
  void TearDown() override {
    CARD_RELEASE();
    ::unsetenv("DORVEX_IOCARD");
    SimFixture::TearDown();
  }
  // The card requests the simulator received ("o 301 FF", "i 302"), in order.
  std::vector<std::string> card_requests() const {
    std::vector<std::string> out;
    std::istringstream in(dorvex_test::read_text(transcript_));
    for (std::string l; std::getline(in, l);) {
      const auto at = l.find("# card < ");
      if (at != std::string::npos) out.push_back(l.substr(at + 9));
    }
    return out;
  }
  int count_of(const std::vector<std::string>& v, const std::string& line) const {
    int n = 0;
    for (const auto& s : v) n += s == line ? 1 : 0;
    return n;
  }
  // The installation log holds every warning and error as written, leading blanks included.
  bool log_has(const std::string& text) const {
    return dorvex_test::read_text(S().shell.program_directory + "dorvex.log").find(text) !=
           std::string::npos;
  }
  AngleSet read_all() {
    invalidate_all_positions();
    AngleSet a{};
    RDALLMTR(a);
    return a;
  }
  std::string card_;
};

TEST_F(Sin10Sim, StartUpAsksTwiceChecksParkAndSetsUpEveryMotor) {
  start_sin10();
  WAKE_MOTORS();
  SHUTTER(0);
  CHECK_PARK();
  INIT_MOTORS();
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  const auto r = received();
  ASSERT_GE(r.size(), 2u);
  EXPECT_EQ(r[0], "AZ");
  EXPECT_EQ(r[1], "AZ");
  for (const char* a : {"A", "B", "C", "D", "E", "F"})
    EXPECT_TRUE(console_has(std::string("Controller: ") + a + "     OK")) << a << console();
  EXPECT_FALSE(console_has("reinitialisation"));
  EXPECT_TRUE(console_has("Initialising motor parameters...\n"));
  EXPECT_TRUE(console_has("Motor Initialisation complete\n"));
  // Values 2, 5 and 6, 4, 3 and 10 of the MOTOR lines.
  for (const char* c : {"AY10,20", "AY10,40", "AY10,90", "Al500", "AK50,10", "AI200", "AV2000",
                        "AD0", "CV2000", "EV1000", "FY10,90"})
    EXPECT_EQ(count_of(r, c), 1) << c;
  EXPECT_EQ(received_count("F"), 8 + 1 + 1);  // set-up, park check, its wait
  EXPECT_EQ(card_requests().front(), "o 303 00");  // the shutter closed
}

TEST_F(Sin10Sim, WrongWakeAnswerReinitialisesAndAFailedReinitialisationIsAnError) {
  start_sin10({"reply:AZ:AZ:2"});
  WAKE_MOTORS();
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_TRUE(log_has("Incorrect response from SIN-10 when  called from init_motors: will "
                      "attempt reinitialisation\n"));
  EXPECT_TRUE(console_has(" Init_motors succesfully reinitialised SIN-10"));
  const auto r = received();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[2], "<ETX>");
  EXPECT_EQ(r[3], "&P1");
}

TEST_F(Sin10Sim, ReinitialisationWithoutAllAxesInTheAnswerIsReported) {
  start_sin10({"reply:AZ:AZ:2", "reply:&P1:ABC:1"});
  WAKE_MOTORS();
  EXPECT_EQ(S().shell.error_flag, 1);
  EXPECT_TRUE(log_has("\n  ******SIN10 not correctly initialised: Returned string wasABC\n"))
      << console();
  EXPECT_FALSE(console_has("succesfully"));
}

TEST_F(Sin10Sim, DrivesGoOutInStepsAndAreVerified) {
  start_sin10();
  S().motion.target = {20.0f, 1.5f, 30.0f, -40.0f};
  int status = -1;
  DRIVEP(1, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_EQ(received_count("AR4000;BR300;CR3000;DR-4000;"), 1);
  const AngleSet a = read_all();
  EXPECT_NEAR(a[0], 20.0f, 1e-4);
  EXPECT_NEAR(a[1], 1.5f, 1e-4);
  EXPECT_NEAR(a[2], 30.0f, 1e-4);
  EXPECT_NEAR(a[3], -40.0f, 1e-4);

  // One motor alone, and a redefinition of its position without a move.
  DRIVE(3, 12.34f, 0.0f, 0, status);
  EXPECT_EQ(received_count("CR1234"), 1);
  LDMTR(4, 10.0f);
  EXPECT_EQ(received_count("DN1000"), 1);
  EXPECT_NEAR(read_all()[3], 10.0f, 1e-4);
  EXPECT_EQ(S().shell.error_flag, 0) << console();
}

TEST_F(Sin10Sim, ADriveThatStopsShortIsIssuedAgain) {
  start_sin10({"short:C:1:0.5"});
  int status = -1;
  DRIVE(3, 20.0f, 0.0f, 0, status);
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_TRUE(console_has("Target of motor 3 not reached in DRIVE"));
  EXPECT_TRUE(console_has("Recovered from error in DRIVE"));
  EXPECT_EQ(received_count("CR2000"), 2);
  EXPECT_NEAR(read_all()[2], 20.0f, 1e-4);
}

TEST_F(Sin10Sim, ComplaintsAreSentAgainFiveTimesAndTheSixthIsAnError) {
  start_sin10({"reply:CR:$:1:3"});
  int status = 0;
  DRIVE(3, 10.0f, 0.0f, 0, status);
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_EQ(received_count("CR1000"), 4);
  EXPECT_NEAR(read_all()[2], 10.0f, 1e-4);
}

TEST_F(Sin10Sim, TheSixthComplaintIsAnErrorAndEveryComplaintCharacterCounts) {
  int status = 0;
  start_sin10({"reply:CR:$:1:6", "reply:DR:#:1:1", "reply:DN:?:1:1", "reply:DN:!:2:1"});
  DRIVE(3, 10.0f, 0.0f, 0, status);
  EXPECT_EQ(S().shell.error_flag, 1);
  EXPECT_EQ(received_count("CR1000"), 6);
  EXPECT_TRUE(console_has(" ***** Error from Sendh: Sent: CR1000          returned string was: $"))
      << console();
  // "#", "?" and "!" are complaints as well; one of each is survived.
  S().shell.error_flag = 0;
  DRIVE(4, 5.0f, 0.0f, 0, status);
  LDMTR(4, 7.0f);
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_EQ(received_count("DR500"), 2);
  EXPECT_EQ(received_count("DN700"), 3);
}

TEST_F(Sin10Sim, EmptyAnswersToTheMotionQuestionAreAskedAgainFiveTimes) {
  start_sin10({"empty:A^:1:5", "empty:B^:1:6"});
  int busy = -1;
  WAIT_MOTOR(1, busy);
  EXPECT_EQ(busy, 0);
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_EQ(received_count("A^"), 6);
  busy = -1;
  WAIT_MOTOR(2, busy);
  EXPECT_EQ(busy, 1);
  EXPECT_EQ(S().shell.error_flag, 1);
  EXPECT_TRUE(log_has("\nwait_motor got zero characters from interface on motor B after 5 "
                      "retries\n"))
      << console();
  EXPECT_TRUE(log_has("\nwait_motor got zero characters from interface on motor B\n"));
}

TEST_F(Sin10Sim, UnreadableLimitAnswersAreAskedAgainAndTheFifthIsAnError) {
  start_sin10({"reply:A]:X:1:4", "reply:B]:-1:2:5"});
  CHECK_LIMITS();
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_EQ(received_count("A]"), 5);
  CHECK_LIMITS();
  EXPECT_EQ(S().shell.error_flag, 1);
  EXPECT_TRUE(log_has("\nCheck limits receiving -1 for motor 2\n")) << console();
  EXPECT_EQ(received_count("B]"), 6);
}

TEST_F(Sin10Sim, AnActiveLimitSwitchStopsEverythingAndClosesTheShutter) {
  start_sin10({"limit:D:20"});
  ONBEAM();
  ASSERT_EQ(S().motion.shutter_state, 1) << console();
  DRIVE_MOTOR(4, 30.0f, 30.0f);  // stops on the switch at 20 degrees
  CHECK_LIMITS();
  EXPECT_EQ(S().shell.error_flag, 1);
  EXPECT_TRUE(log_has("\n *****Limit switch active for drive D Limit = 2\n")) << console();
  EXPECT_EQ(received_count("<x1B>"), 1);
  EXPECT_EQ(card_requests().back(), "o 303 00");
  EXPECT_EQ(S().motion.shutter_state, 0);
  EXPECT_NEAR(S().motion.cached[4], 20.0f, 0.2f);  // read again after the stop
}

TEST_F(Sin10Sim, CountsProgramTheCardAndReadTheCascadedCounters) {
  start_sin10();
  float rate = -1, used = -1;
  XCOUNT(1.0f, rate, used);
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_FLOAT_EQ(used, 1.0f);
  const std::vector<std::string> expected = {
      "o 303 01", "i 302",    "o 301 FF", "o 301 5F", "o 301 E7", "o 301 17", "o 300 E0",
      "o 300 C1", "o 301 01", "o 300 25", "o 300 0B", "o 301 02", "o 300 42", "o 300 00",
      "o 301 03", "o 300 2D", "o 300 83", "o 301 04", "o 300 28", "o 300 00", "o 301 0A",
      "o 300 E7", "o 300 03", "o 301 12", "o 300 FF", "o 300 FF", "o 301 09", "o 300 E8",
      "o 300 03", "o 301 0B", "o 300 00", "o 300 00", "o 301 0C", "o 300 00", "o 300 00",
      "o 301 4F", "o 301 EA", "o 301 2F", "i 301",    "o 301 8F", "o 301 14", "i 300",
      "i 300",    "o 301 13", "i 300",    "i 300"};
  auto requests = card_requests();
  ASSERT_GE(requests.size(), expected.size());
  requests.erase(requests.begin(), requests.end() - static_cast<long>(expected.size()));
  EXPECT_EQ(requests, expected);

  // Short times: 1 ms counts 2 ms, 1.5 ms rounds to 2 ms; the longest count the gate holds.
  const std::vector<std::pair<float, float>> times = {
      {0.001f, 0.002f}, {0.0015f, 0.002f}, {0.0f, 0.002f}, {100.0f, 65.536f}};
  for (auto [asked, counted] : times) {
    XCOUNT(asked, rate, used);
    EXPECT_FLOAT_EQ(used, counted) << asked;
  }
  requests = card_requests();
  auto load = std::find(requests.rbegin(), requests.rend(), "o 301 0A");
  ASSERT_NE(load, requests.rend());
  EXPECT_EQ(*(load - 1), "o 300 FF");  // 65535 = 65536 - 1
  EXPECT_EQ(*(load - 2), "o 300 FF");
  EXPECT_EQ(S().shell.error_flag, 0) << console();
}

TEST_F(Sin10Sim, TheCountRateIsTheBackgroundAwayFromReflectionsAndFarMoreOnOne) {
  start_sin10();
  float rate = 0, used = 0;
  // Parked at 2theta 5: background 5 × (1 + 4 exp(-5/6)) = 13.7 counts per second.
  XCOUNT(20.0f, rate, used);
  EXPECT_GT(rate, 10.0f);
  EXPECT_LT(rate, 18.0f);
  // 2 0 0 of the sample crystal: 2theta 10.173 in its bisecting setting chi 24.552, phi 26.531.
  S().motion.target = {10.173f, 0.0f, 24.552f, 26.531f};
  int status = 0;
  DRIVEP(1, status);
  XCOUNT(1.0f, rate, used);
  EXPECT_GT(rate, 500.0f) << console();
  EXPECT_EQ(S().shell.error_flag, 0) << console();
}

TEST_F(Sin10Sim, ShutterOpensClosesIsReadBackAndRetriedWhenItSticks) {
  start_sin10({"shutter:2"});
  ONBEAM();
  EXPECT_EQ(S().shell.error_flag, 0) << console();
  EXPECT_TRUE(console_has(" Shutter did not open on attempt   1"));
  EXPECT_TRUE(console_has(" Shutter did not open on attempt   2"));
  EXPECT_FALSE(console_has("attempt   3"));
  int state = -1;
  GET_SHUTTER_STATUS(state);
  EXPECT_EQ(state, 1);
  EXPECT_EQ(count_of(card_requests(), "o 303 01"), 3);
  OFBEAM();
  GET_SHUTTER_STATUS(state);
  EXPECT_EQ(state, 0);
  EXPECT_EQ(card_requests().back(), "i 302");
  // A halt closes it as well.
  ONBEAM();
  STOP_ALL();
  EXPECT_EQ(S().motion.shutter_state, 0);
  GET_SHUTTER_STATUS(state);
  EXPECT_EQ(state, 0);
  EXPECT_EQ(S().shell.error_flag, 0) << console();
}

TEST_F(Sin10Sim, HaltEndsALongCountAndALongDrive) {
  start_sin10({}, "1");
  for (bool count : {true, false}) {
    S().shell.error_flag = 0;
    std::chrono::steady_clock::time_point sent;
    std::thread halt([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      sent = std::chrono::steady_clock::now();
      ::kill(::getpid(), SIGINT);
    });
    if (count) {
      float rate = 0, used = 0;
      XCOUNT(30.0f, rate, used);
    } else {
      // Phi at 2000 steps per second, 100 steps per degree: 180 degrees take 9 seconds.
      S().motion.target = {5.0f, 2.5f, 0.0f, 180.0f};
      int status = 0;
      DRIVEP(1, status);
    }
    const auto back = std::chrono::steady_clock::now();
    halt.join();
    EXPECT_EQ(S().shell.error_flag, 1) << count;
    EXPECT_TRUE(console_has("Diffractometer halted by user"));
    EXPECT_LT(std::chrono::duration<double>(back - sent).count(), 1.0) << count;
    EXPECT_EQ(S().motion.shutter_state, 0);
  }
  EXPECT_EQ(received_count("<x1B>"), 2);
  EXPECT_LT(std::fabs(S().motion.cached[4]), 60.0f);
}

TEST_F(Sin10Sim, WithoutTheCardEveryAccessIsAClearError) {
  start_sin10();
  ::setenv("DORVEX_IOCARD", (S().shell.program_directory + "nothing-here").c_str(), 1);
  CARD_RELEASE();
  int state = -1;
  GET_SHUTTER_STATUS(state);
  EXPECT_EQ(state, -1);
  EXPECT_EQ(S().shell.error_flag, 1);
  EXPECT_TRUE(console_has("Counter and shutter card: cannot connect to the simulated card on "))
      << console();
}

}  // namespace
