// The P4 under injected controller faults: every operation ends with what it gives without the
// fault, or with a clear error and the shutter closed, within its bound; a halt ends it at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>

#include "common/fields.hpp"
#include "instrument/controller.hpp"
#include "instrument/drivers/p4.hpp"
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

enum class Op { drive, long_drive, free_phi, count, ldmt };

struct Row {
  const char* name;
  Op op;
  std::vector<std::string> faults;
  bool error = false;
  const char* said = "";
  const char* sent = "";  // a command the controller must have received `times` times
  int times = 0;
  int halt_ms = -1;
  const char* scale = "0";
  double bound = 3.0;
  const char* port = "1";
  bool coupled = false;  // the omega motor carries half of 2theta
};

// Stands for the number of the first status answer after the shutter was opened.
const std::string kAfterOpening = "@";

std::string profile(const Row& r) {
  std::string p = dorvex_test::read_text(DORVEX_SOURCE_DIR "/examples/DIFPROF_P4.DAT");
  p = dorvex_test::with_line(p, "CONFIG", std::string("CONFIG    1    1    1    1    ") +
                                              (r.coupled ? "1" : "0") +
                                              "    0    1    0    0    0   10    1");
  return dorvex_test::with_line(p, "COMPOR", std::string("COMPOR     ") + r.port +
                                                 "    1 9600    0    8    1    1    1 2000    0");
}

class P4Faults : public dorvex_test::FaultFixture {
 protected:
  void drive_to(const AngleSet& a) {
    S().motion.target = a;
    int status = -1;
    DRIVEP(1, status);
  }
  void command(void (*routine)(), const std::string& argument) {
    S().shell.command_argument = pad(argument, kCommandLength);
    routine();
  }
  void prepare(Op op) {
    p4::reset();
    if (op == Op::free_phi) drive_to({20.0f, 5.0f, 0.0f, 175.0f});
    if (op == Op::ldmt) drive_to({20.0f, 0.0f, 0.0f, 0.0f});
    ASSERT_FALSE(failed()) << console();
  }
  void run(Op op) {
    switch (op) {
      case Op::drive: drive_to({20.0f, 1.5f, 30.0f, 40.0f}); break;
      case Op::long_drive: drive_to({100.0f, 2.5f, 0.0f, 0.0f}); break;
      case Op::free_phi: drive_to({20.0f, 5.0f, 0.0f, -175.0f}); break;
      case Op::count: COUNTER(); break;
      case Op::ldmt: command(MTINIT, "2 5"); break;
    }
  }
  // Where the simulator must stand after a clean run (controller units).
  static std::map<int, double> expected(Op op, bool coupled) {
    switch (op) {
      case Op::drive: return {{1, 20.0}, {2, 1.5}, {3, 30.0}, {4, 40.0}};
      // The short way from 175: ten degrees on, not 350 back.
      case Op::free_phi: return {{1, 20.0}, {2, 5.0}, {4, 185.0}};
      case Op::count: return {{1, 5.0}, {2, coupled ? 5.0 : 2.5}};
      case Op::ldmt: return {{1, 20.0}, {2, 15.0}};  // omega declared 5 at 2theta 20
      default: return {};
    }
  }
};

TEST_F(P4Faults, EveryOperationEndsAsWithoutTheFaultOrWithAClearErrorInTime) {
  const std::vector<Row> rows = {
      {"clean count", Op::count, {}, false, "", "D", 1},
      {"clean drive", Op::drive, {}, false, "", "D", 1},
      {"drive, port method 2", Op::drive, {}, false, "", "D", 1, -1, "0", 3.0, "2"},
      {"count, port method 2", Op::count, {}, false, "", "D", 1, -1, "0", 3.0, "2"},
      {"free phi across half a turn", Op::free_phi, {}, false, "", "F4, 185.000", 1},
      {"LDMT of the coupled omega", Op::ldmt, {}, false, "", "U2,15", 1, -1, "0", 3.0, "1",
       true},
      {"shutter state unreadable", Op::count, {"garble:?U0,0:" + kAfterOpening + ":1000"}, true,
       "Shutter state could not be read from the interface", "C0,", 0},
      {"status request not taken by the line", Op::count, {"stall:?W+1:6.5:1"}, true,
       "*****FIVE ERRORS WRITING STRING=U0,0", "C0,", 0, -1, "0", 9.0},
      {"halt, count never answered", Op::count, {"dead:?D:1"}, true,
       "Diffractometer halted by user", "", 0, 300},
      {"halt during a long drive", Op::long_drive, {}, true, "Diffractometer halted by user",
       "W-1", 1, 500, "1"},
  };
  int after_opening = 0;
  double worst_halt = 0.0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::string> faults = r.faults;
    for (auto& f : faults)
      if (const auto at = f.find(kAfterOpening); at != std::string::npos)
        f.replace(at, kAfterOpening.size(), std::to_string(after_opening));
    fresh(profile(r), faults, r.scale);
    prepare(r.op);
    const auto began = std::chrono::steady_clock::now();
    {
      dorvex_test::HaltAfter halt(r.halt_ms);
      run(r.op);
      if (r.halt_ms >= 0) {
        const double latency = halt.latency();
        worst_halt = std::max(worst_halt, latency);
        EXPECT_LT(latency, 0.8);
      }
    }
    EXPECT_LT(dorvex_test::seconds_since(began), r.bound);
    EXPECT_EQ(failed(), r.error) << console();
    if (*r.said) {
      EXPECT_TRUE(said(r.said)) << console();
    }
    if (*r.sent) {
      EXPECT_EQ(received_count(r.sent), r.times) << console();
    }
    if (r.faults.empty() && r.op == Op::count) {
      // The status answer that follows the opening of the shutter, in a clean count.
      const auto wire = received();
      const auto open = std::find(wire.begin(), wire.end(), "W+1");
      after_opening = 1 + static_cast<int>(std::count(wire.begin(), open, "U0,0"));
    }
    const dorvex_test::SimState sim = sim_state();
    // A controller that no longer acts cannot close the shutter; every other one has.
    if (r.faults.empty() || r.faults[0].rfind("dead", 0) != 0) {
      EXPECT_FALSE(sim.shutter);
    }
    if (r.error) continue;
    for (const auto& [motor, want] : expected(r.op, r.coupled))
      EXPECT_NEAR(sim.axis.at(motor), want, 0.005) << "motor " << motor << "\n" << console();
  }
  std::cout << "[ measured ] slowest halt: " << worst_halt << " s\n";
}

}  // namespace
