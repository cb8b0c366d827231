// The STADI4 under injected controller faults: every operation ends with what it gives without
// the fault, or with a clear error, within its bound; a halt ends it at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iostream>

#include "common/fields.hpp"
#include "instrument/controller.hpp"
#include "instrument/fault_fixture.hpp"
#include "instrument/motion.hpp"
#include "console/dialogue.hpp"
#include "shell/dispatcher.hpp"

using namespace dorvex;

namespace dorvex {
void MTINIT();   // LDMT
void COUNTER();  // COUN
}  // namespace dorvex

namespace {

enum class Op { drive, long_drive, scan, count, startup, ldmt, overflow };

struct Row {
  const char* name;
  Op op;
  std::vector<std::string> faults;
  bool error = false;      // ends with an error; else with the result of the clean run
  const char* said = "";   // what the console must say
  const char* sent = "";   // a command the controller must have received `times` times
  int times = 0;
  int halt_ms = -1;        // the operator halts after this long
  const char* scale = "0";
  double bound = 3.0;      // seconds the row may take
  const char* port = "1";  // COMPOR port method
  bool fine_2theta = false;  // 1000 steps per degree on 2theta
};

constexpr AngleSet k200 = {10.173f, 0.0f, 24.552f, 26.531f};
constexpr int kScanSteps = 21;
constexpr float kScanStep = 0.02f;

std::string profile(const Row& r) {
  std::string p = dorvex_test::read_text(DORVEX_SOURCE_DIR "/examples/DIFPROF_STADI4.DAT");
  p = dorvex_test::with_line(
      p, "CONFIG", "CONFIG    1    1    1    1    1    0    1    0    0    0   10    0");
  p = dorvex_test::with_line(p, "COMPOR", std::string("COMPOR     ") + r.port +
                                              "    1 9600    0    8    1    1    1 2000    0");
  if (r.fine_2theta)
    p = dorvex_test::with_line(p, "MOTOR1", "MOTOR1 1,   1000.00      0.00      0.00      0.00"
                                            "      0.00    -10.00    160.00");
  return p;
}

class Stadi4Faults : public dorvex_test::FaultFixture {
 protected:
  void drive_to(const AngleSet& a) {
    S().motion.target = a;
    int status = -1;
    DRIVEP(1, status);
  }

  // Where the simulator must stand after a clean run of `op` (controller units: the omega
  // circle carries half of 2theta on this profile).
  std::map<int, double> expected(Op op) const {
    auto circle = [](float two_theta, float omega) {
      const float t = R_ANGLE(two_theta, 1);
      return std::map<int, double>{{1, t}, {2, R_ANGLE(omega + t / 2.0f, 2)}};
    };
    switch (op) {
      case Op::drive: {
        auto m = circle(20.0f, 1.5f);
        m[3] = 30.0;
        m[4] = -40.0;
        return m;
      }
      case Op::scan: {
        // From the peak the scan starts (n + 1) / 2 steps below and makes n steps.
        auto m = circle(k200[0], k200[1]);
        m[2] += (kScanSteps - 1) / 2.0 * kScanStep;
        return m;
      }
      case Op::count: return circle(k200[0], k200[1]);
      case Op::startup: return circle(5.0f, 2.5f);  // the park position
      case Op::ldmt: return {{1, 20.0}, {2, 15.0}};  // omega declared 5 at 2theta 20
      default: return {};
    }
  }

  void prepare(Op op) {
    if (op == Op::scan || op == Op::count) drive_to(k200);
    if (op == Op::count) ONBEAM();
    if (op == Op::ldmt) drive_to({20.0f, 0.0f, 0.0f, 0.0f});
    ASSERT_FALSE(failed()) << console();
  }

  void run(Op op, std::array<int, 200>& counts) {
    switch (op) {
      case Op::drive: drive_to({20.0f, 1.5f, 30.0f, -40.0f}); break;
      case Op::long_drive: drive_to({100.0f, 0.0f, 0.0f, 0.0f}); break;
      case Op::overflow: drive_to({150.0f, 0.0f, 0.0f, 0.0f}); break;
      case Op::scan: {
        std::array<float, 200> positions{};
        int mode = 2, status = -1;
        float used = 0;
        RUNSCAN(mode, kScanStep, 0.5f, kScanSteps, counts, status, used, 0, positions);
        break;
      }
      case Op::count: {
        float rate = 0, used = 0;
        XCOUNT(2.0f, rate, used);
        counts[0] = static_cast<int>(std::lround(rate * used));
        break;
      }
      case Op::startup:
        WAKE_MOTORS();
        if (!failed()) SHUTTER(0);
        if (!failed()) CHECK_PARK();
        if (!failed()) INIT_MOTORS();
        break;
      case Op::ldmt:
        S().shell.command_argument = pad("2 5", kCommandLength);
        MTINIT();
        break;
    }
  }
};

TEST_F(Stadi4Faults, EveryOperationEndsAsWithoutTheFaultOrWithAClearErrorInTime) {
  const std::vector<Row> rows = {
      {"clean drive", Op::drive, {}},
      {"drive acknowledge garbled", Op::drive, {"garble:?DR:1"}, false, "", "DR", 1},
      {"drive refused as busy", Op::drive, {"busy:?DR:1"}, false, "", "DR", 2},
      {"drive, port method 2", Op::drive, {}, false, "", "DR", 1, -1, "0", 3.0, "2"},
      {"clean scan", Op::scan, {}, false, "", "SS", 1},
      {"scan acknowledge garbled", Op::scan, {"garble:?SS:1"}, false,
       "The circles stand where the scan ends: it ran", "SS", 1},
      {"scan acknowledged IR05", Op::scan, {"reply:?SS:IR05:1"}, false, "", "SS", 1},
      {"scan refused as busy", Op::scan, {"busy:?SS:1"}, false, "Will try to count again", "SS",
       2},
      {"scan, port method 2", Op::scan, {}, false, "", "SS", 1, -1, "0", 3.0, "2"},
      {"count acknowledge garbled", Op::count, {"garble:?SS:1"}, false, "", "SS", 2},
      {"count, port method 2", Op::count, {}, false, "", "SS", 1, -1, "0", 3.0, "2"},
      {"start-up busy once", Op::startup, {"busy:?OS:1"}},
      {"start-up, controller stays busy", Op::startup, {"busy:?OS:1:1000"}, true,
       "in response to OS000000: the controller stayed busy", "", 0, -1, "0", 8.0},
      {"start-up, controller dead", Op::startup, {"dead:?XX:1"}, true,
       "in response to OS000000: no answer within 5 s", "", 0, -1, "0", 8.0},
      {"LDMT of the coupled omega", Op::ldmt, {}},
      {"2theta beyond the position register", Op::overflow, {}, true,
       "Motor 1 (TH): 150.000 degrees is 150000 steps, beyond the controller's position "
       "register",
       "DR", 0, -1, "0", 3.0, "1", true},
      {"halt during a long drive", Op::long_drive, {}, true, "Diffractometer halted by user",
       "SP", 1, 500, "1"},
      {"halt, controller dead in a drive", Op::drive, {"dead:?DR:1"}, true,
       "The controller did not answer after the halt", "", 0, 300},
  };
  std::array<int, 200> clean_scan{};
  double worst_halt = 0.0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    fresh(profile(r), r.faults, r.scale);
    prepare(r.op);
    std::array<int, 200> counts{};
    const auto began = std::chrono::steady_clock::now();
    {
      dorvex_test::HaltAfter halt(r.halt_ms);
      run(r.op, counts);
      if (r.halt_ms >= 0) {
        const double latency = halt.latency();
        worst_halt = std::max(worst_halt, latency);
        EXPECT_LT(latency, 0.8);  // the operator never waits a second for a halt
      }
    }
    EXPECT_LT(dorvex_test::seconds_since(began), r.bound);
    EXPECT_EQ(failed(), r.error) << console();
    if (*r.said) {
      EXPECT_TRUE(said(r.said)) << console();
    }
    if (*r.sent) {
      EXPECT_EQ(received_count(r.sent), r.times);
    }
    const dorvex_test::SimState sim = sim_state();
    if (r.error) {
      if (r.faults.empty() || r.faults[0].rfind("dead", 0) != 0) {
        EXPECT_FALSE(sim.shutter);
      }
      if (r.op == Op::overflow) {
        EXPECT_NEAR(sim.axis.at(1), 5.0, 1e-6);
      }
      if (r.op == Op::long_drive) {
        EXPECT_LT(sim.axis.at(1), 30.0);
      }
      continue;
    }
    for (const auto& [motor, want] : expected(r.op))
      EXPECT_NEAR(sim.axis.at(motor), want, 0.5 / S().profile.motor[motor].steps_per_degree)
          << "motor " << motor << "\n" << console();
    if (r.op == Op::scan && r.faults.empty() && *r.port == '1') clean_scan = counts;
    // Counts whose scan ran once are the clean run's counts, draw for draw.
    if (r.op == Op::scan) {
      EXPECT_EQ(counts, clean_scan);
    }
  }
  std::cout << "[ measured ] slowest halt: " << worst_halt << " s\n";
}

}  // namespace
