// The SIN-10 under injected controller faults: every operation ends with what it gives without
// the fault, or with a clear error and the shutter closed, within its bound; a halt ends it at
// once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "instrument/controller.hpp"
#include "instrument/fault_fixture.hpp"
#include "instrument/iocard.hpp"
#include "instrument/motion.hpp"
#include "console/dialogue.hpp"

using namespace dorvex;

namespace dorvex {
void COUNTER();  // COUN
}  // namespace dorvex

namespace {

enum class Op { drive, long_drive, count };

struct Row {
  const char* name;
  Op op;
  std::vector<std::string> faults;
  bool error = false;
  const char* said = "";
  int halt_ms = -1;
  const char* scale = "0";
  double bound = 3.0;
};

class Sin10Faults : public dorvex_test::FaultFixture {
 protected:
  static std::string profile() {
    std::string p = dorvex_test::read_text(DORVEX_SOURCE_DIR "/examples/DIFPROF_SIN10.DAT");
    p = dorvex_test::with_line(p, "COMPOR",
                               "COMPOR     1    1 9600    0    8    1    1    1  300    0");
    return dorvex_test::with_line(
        p, "CONFIG", "CONFIG    1    1    1    1    0    0    1    1    0    0   10    1");
  }
  void TearDown() override {
    CARD_RELEASE();
    ::unsetenv("DORVEX_IOCARD");
    FaultFixture::TearDown();
  }
  void drive_to(const AngleSet& a) {
    S().motion.target = a;
    int status = -1;
    DRIVEP(1, status);
  }
};

TEST_F(Sin10Faults, EveryOperationEndsAsWithoutTheFaultOrWithAClearErrorInTime) {
  const std::vector<Row> rows = {
      {"clean drive", Op::drive, {}},
      {"clean count", Op::count, {}},
      {"drive refused as busy", Op::drive, {"busy:AR:1"}},
      {"controller dead in the drive", Op::drive, {"dead:A^:1"}, true,
       "****ERROR IN READSTRING: No bytes returned", -1, "0", 3.0},
      {"drive not taken by the line", Op::drive, {"stall:A]:6.5:1"}, true,
       "*****FIVE ERRORS WRITING STRING=", -1, "0", 9.0},
      {"halt during a long drive", Op::long_drive, {}, true, "Diffractometer halted by user",
       500, "1"},
      {"halt during a long count", Op::count, {}, true, "Diffractometer halted by user", 500,
       "1"},
  };
  double worst_halt = 0.0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    CARD_RELEASE();
    const std::string card = S().shell.program_directory + "card";
    ::setenv("DORVEX_IOCARD", card.c_str(), 1);
    fresh(profile(), r.faults, r.scale, {"--iocard", card});
    const auto began = std::chrono::steady_clock::now();
    {
      dorvex_test::HaltAfter halt(r.halt_ms);
      switch (r.op) {
        case Op::drive: drive_to({20.0f, 1.5f, 30.0f, -40.0f}); break;
        case Op::long_drive: drive_to({100.0f, 2.5f, 0.0f, 0.0f}); break;
        case Op::count: COUNTER(); break;
      }
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
    const dorvex_test::SimState sim = sim_state();
    EXPECT_FALSE(sim.shutter);  // the card closes it even when the controller is dead
    if (r.error) continue;
    const std::map<int, double> want =
        r.op == Op::drive ? std::map<int, double>{{1, 20.0}, {2, 1.5}, {3, 30.0}, {4, -40.0}}
                          : std::map<int, double>{{1, 5.0}, {2, 2.5}};
    for (const auto& [motor, at] : want)
      EXPECT_NEAR(sim.axis.at(motor), at, 0.5 / S().profile.motor[motor].steps_per_degree)
          << "motor " << motor << "\n" << console();
  }
  std::cout << "[ measured ] slowest halt: " << worst_halt << " s\n";
}

}  // namespace
