// The real program with --simulate on the sample STADI4 profile: start-up, a drive to a
// reflection, a count, an omega profile through it, the reference search and the exit.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::has_line;
using dorvex_test::Home;
using dorvex_test::lines;

TEST(Stadi4Executable, StartsDrivesCountsProfilesAndFindsTheReferenceMarks) {
  Home home(DORVEX_SOURCE_DIR "/examples/DIFPROF_STADI4.DAT");
  home.copy_in(DORVEX_SOURCE_DIR "/examples/sample.mat", "x.mat");
  const std::string wire = home.file("wire.txt");
  const auto r = dorvex_test::run_dorvex(
      home,
      "SET LOG\n0\n1\n0\n0\nCALC 2 0 0\nDRIV\nCOUN\nPROF\n2\n21\n0.02\n1\n"
      "LDMT 1 10\nFREF\nY\nEXIT\n",
      {"--home", home.path(), "--simulate", "--ui", "line", "--mat", home.file("x.mat")}, 90,
      {"DORVEX_SIM_ARGS=--time-scale 0 --transcript " + wire});
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  for (int m = 1; m <= 4; ++m)
    EXPECT_TRUE(has_line(r.out, "               MOTOR " + std::to_string(m) + " Controller: " +
                                    std::to_string(m) + "     OK"))
        << r.out;
  EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;

  std::vector<std::string> sent;
  for (const auto& l : lines(home.read("wire.txt"))) {
    const auto at = l.find(" < ");
    if (at != std::string::npos) sent.push_back(l.substr(at + 3));
  }
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(sent[0], "XX");
  EXPECT_EQ(sent[1], "OS000000");
  EXPECT_NE(std::find(sent.begin(), sent.end(), "P0"), sent.end());
  // COUN: five seconds (500 hundredths), one step, no step widths.
  EXPECT_NE(std::find(sent.begin(), sent.end(), "SV0001F4000001000000000000000000000000"),
            sent.end());
  // PROF: 21 omega steps of 0.02 degree (8 steps at 400 per degree), one second each.
  EXPECT_NE(std::find(sent.begin(), sent.end(), "SV000064000015000000000008000000000000"),
            sent.end());
  EXPECT_NE(std::find(sent.begin(), sent.end(), "CK"), sent.end());
  // The exit stops the controller.
  EXPECT_EQ(sent.back(), "SP");

  const auto record = lines(home.read("pkprof.dat"));
  ASSERT_EQ(record.size(), 22u) << home.read("pkprof.dat");
  std::vector<double> rate;
  for (std::size_t i = 1; i < record.size(); ++i) rate.push_back(std::stod(record[i].substr(12)));
  const auto top = std::max_element(rate.begin(), rate.end()) - rate.begin();
  EXPECT_GE(top, 8);
  EXPECT_LE(top, 12);

  // 2 0 0 stands at 2theta 10.175 (whole steps); defined as 10, the mark is 0.175 below.
  EXPECT_TRUE(has_line(r.out, " *****Angle offsets are:   -0.1750    0.0000    0.0000    0.0000"))
      << r.out;
  EXPECT_TRUE(has_line(r.out, "Found reference positions"));
}

}  // namespace
