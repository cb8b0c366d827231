// The real program on the sample SIN-10 profile with --simulate: start-up with the motor set-up,
// a count, a drive to a reflection and its omega profile stepped by relative moves and counted
// on the simulated card.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::has_line;
using dorvex_test::Home;
using dorvex_test::lines;

struct Sin10Program {
  Home home{DORVEX_SOURCE_DIR "/examples/DIFPROF_SIN10.DAT"};
  Sin10Program() { home.copy_in(DORVEX_SOURCE_DIR "/examples/sample.mat", "x.mat"); }
  dorvex_test::RunResult run(const std::string& input) const {
    return dorvex_test::run_dorvex(
        home, input,
        {"--home", home.path(), "--simulate", "--ui", "line", "--mat", home.file("x.mat")}, 90,
        {"DORVEX_SIM_ARGS=--time-scale 0 --transcript " + home.file("wire.txt")});
  }
  // What the controller received ("<") and the card requests ("card <"), in order.
  std::vector<std::string> wire(const std::string& marker) const {
    std::vector<std::string> out;
    for (const auto& l : lines(home.read("wire.txt"))) {
      const auto at = l.find(marker);
      if (at != std::string::npos) out.push_back(l.substr(at + marker.size()));
    }
    return out;
  }
};

TEST(Sin10Program, StartsCountsDrivesAndStepsAnOmegaProfileThroughThePeak) {
  Sin10Program sim;
  // SET LOG: the profiles go to pkprof.dat.
  const auto r =
      sim.run("SET LOG\n0\n1\n0\n0\nCOUN\nCALC 2 0 0\nDRIV\nPROF\n2\n21\n0.02\n1\nEXIT\n");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_TRUE(has_line(r.out, "Initialising motor parameters...")) << r.out;
  EXPECT_TRUE(has_line(r.out, "Motor Initialisation complete"));
  EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;

  const auto record = lines(sim.home.read("pkprof.dat"));
  ASSERT_EQ(record.size(), 22u) << sim.home.read("pkprof.dat") << r.out;
  std::vector<double> position, rate;
  for (std::size_t i = 1; i < record.size(); ++i) {
    position.push_back(std::stod(record[i].substr(0, 10)));
    rate.push_back(std::stod(record[i].substr(12)));
  }
  // 2 0 0 lies at omega 0: the scan runs from -0.20 to +0.20 in steps of 0.02 (4 steps each).
  for (std::size_t i = 0; i < position.size(); ++i)
    EXPECT_NEAR(position[i], -0.2 + 0.02 * static_cast<double>(i), 1e-4);
  const auto top =
      static_cast<std::size_t>(std::max_element(rate.begin(), rate.end()) - rate.begin());
  EXPECT_GE(top, 8u);
  EXPECT_LE(top, 12u);
  EXPECT_LT(std::max(rate.front(), rate.back()), 0.5 * rate[top]);

  const auto sent = sim.wire(" < ");
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "B+4"), 21);
  // Each scan point and the COUN count: a gate started on the card.
  const auto card = sim.wire("# card < ");
  EXPECT_EQ(std::count(card.begin(), card.end(), "o 301 2F"), 22);
  ASSERT_FALSE(card.empty());
  // The shutter is closed after the scan; parking at the end moves with it closed.
  const auto last_shutter = std::find_if(card.rbegin(), card.rend(), [](const std::string& c) {
    return c.rfind("o 303", 0) == 0;
  });
  ASSERT_NE(last_shutter, card.rend());
  EXPECT_EQ(*last_shutter, "o 303 00");
}

}  // namespace
