// The real program with --simulate on a P4 profile: start-up, drives, a count, a step scan
// across a reflection of the sample crystal, and VIEW, which on this controller leaves without
// asking about the telescope.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::has_line;
using dorvex_test::Home;
using dorvex_test::lines;

struct P4Home {
  Home home{DORVEX_SOURCE_DIR "/examples/DIFPROF_P4.DAT"};
  P4Home() { home.copy_in(DORVEX_SOURCE_DIR "/examples/sample.mat", "x.mat"); }
  dorvex_test::RunResult run(const std::string& input) const {
    return dorvex_test::run_dorvex(
        home, input,
        {"--home", home.path(), "--simulate", "--ui", "line", "--mat", home.file("x.mat")}, 90,
        {"DORVEX_SIM_ARGS=--time-scale 0 --transcript " + home.file("wire.txt")});
  }
  std::vector<std::string> sent() const {
    return dorvex_test::received_lines(home.read("wire.txt"));
  }
  int sent_count(const std::string& line) const {
    const auto s = sent();
    return static_cast<int>(std::count(s.begin(), s.end(), line));
  }
};

TEST(P4Program, StartsDrivesCountsAndStepScansAcrossAReflection) {
  P4Home p4;
  const auto r =
      p4.run("SET LOG\n0\n1\n0\n0\nCALC 2 0 0\nDRIV\nOPSH\nCOUN\nCLSH\nPROF\n2\n21\n0.02\n1\n");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  for (int m = 1; m <= 4; ++m)
    EXPECT_TRUE(has_line(r.out, "               MOTOR " + std::to_string(m) + " Controller: " +
                                    std::to_string(m) + "     OK"))
        << r.out;
  EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
  EXPECT_EQ(p4.sent_count("S1,300.000000"), 1);
  EXPECT_EQ(p4.sent_count("W+1"), 2);  // OPSH, then the scan after CLSH
  EXPECT_EQ(p4.sent_count("C0, 5.000"), 1);
  // 21 points, each a relative omega step started by "D" and a count of one second.
  EXPECT_EQ(p4.sent_count("A2,   0.020"), 21);
  EXPECT_EQ(p4.sent_count("C0, 1.000"), 21);

  const auto record = lines(p4.home.read("pkprof.dat"));
  ASSERT_EQ(record.size(), 22u) << p4.home.read("pkprof.dat");
  EXPECT_EQ(record[0], "  PEAK PROFILE IN  OMEGA");
  std::vector<double> rate;
  for (std::size_t i = 1; i < record.size(); ++i) rate.push_back(std::stod(record[i].substr(12)));
  // 2 0 0 lies at omega 0, in the middle of the scan from -0.2 to 0.2.
  const auto top =
      static_cast<std::size_t>(std::max_element(rate.begin(), rate.end()) - rate.begin());
  EXPECT_GE(top, 8u);
  EXPECT_LE(top, 12u);
  EXPECT_LT(std::max(rate.front(), rate.back()), 0.5 * rate[top]);
}

TEST(P4Program, ViewVisitsTheFourPositionsAndLeavesWithoutTheTelescopeQuestion) {
  P4Home p4;
  const auto r = p4.run("VIEW\n\n\n\n9\nCPOS\n");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("TELESCOPE"), std::string::npos) << r.out;
  for (const char* at : {"CURRENTLY AT POSITION 2 NEXT?", "CURRENTLY AT POSITION 4 NEXT?",
                         "CURRENTLY AT POSITION 1 NEXT?"})
    EXPECT_NE(r.out.find(at), std::string::npos) << at << r.out;
  // Phi is free: from -90 (270 on the controller) back to 0 it turns the short way.
  EXPECT_EQ(p4.sent_count("F4, 270.000"), 1) << r.out;
  EXPECT_EQ(r.out.find("not reached"), std::string::npos) << r.out;
}

}  // namespace
