// SET DATA through the real program in dummy mode: the parameters form answered on standard
// input, what reaches the matrix file, and what survives a restart.
#include <string>
#include <vector>

#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::count_lines;
using dorvex_test::has_line;
using dorvex_test::Home;
using dorvex_test::lines;
using dorvex_test::mat_args;
using dorvex_test::run_dorvex;

// The line of the matrix file that starts with `label` ("" when there is none), without
// trailing blanks.
std::string mat_line(const Home& home, const std::string& label) {
  for (std::string l : lines(home.read("test.mat"))) {
    if (l.rfind(label, 0) == 0) {
      while (!l.empty() && l.back() == ' ') l.pop_back();
      return l;
    }
  }
  return "";
}

// Every answer of the form, one per question, for a full pass.
const char* const kFullPass =
    "SET DATA\n"
    "2\n0.05\n1.2\n3\n"        // Om/2th, step, width, time per step
    "1\n7\n20\n4.4\n"          // constant precision: min for rescan, required, repeats
    "y\n5.6\n10\n"             // psi scans: positions, increment
    "1\nP 21/c\n"              // only allowed reflections; space group
    "Y\nY\nN\nY\nN\nN\n"       // quadrants h-, h+, k-, k+, l-, l+
    "l\nh\n\n"                 // increment order: fastest l, medium h, slowest keeps
    "1 3 50\n1 50 30\n1\n0 40 60\n\n"     // shells 1..5 (shell 2 reversed)
    "1 1 2 3.4\n0\n\n1 -1 -1 -1\n\n50\n"  // standards 1..5, interval
    "O\n";

TEST(DataDialog, FullPassReachesTheMatrixFileAndSurvivesARestart) {
  Home home;
  auto r = run_dorvex(home, std::string(kFullPass) + "EXIT\n", mat_args(home));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has_line(r.out, "Dorvex: Data Collection Parameters")) << r.out;
  EXPECT_TRUE(has_line(r.out, "  1 quadrant")) << r.out;  // h both ways, k positive only
  EXPECT_TRUE(has_line(r.out, "SCAN PARAMETERS"));        // the listing after OK

  EXPECT_EQ(mat_line(home, "DSCAN1"), "DSCAN1  1.2000  0.0000");
  EXPECT_EQ(mat_line(home, "DSCAN2"),
            "DSCAN2   2.0   6.0 0.0500   3.0   1.0  20.0   4.0   1.0 10.00   0.0  7.00   1.0");
  EXPECT_EQ(mat_line(home, "HKLORD"), "HKLORD  -1   1   0   1   0   0   3   1   2");
  EXPECT_EQ(mat_line(home, "SGROUP").substr(11), "P 21/c");
  EXPECT_EQ(mat_line(home, "ALLSTD"), "ALLSTD    3   50");  // standards 1, 3 and 4 in use
  EXPECT_EQ(mat_line(home, "HKLST   1"), "HKLST   1    1    2    3    1");
  EXPECT_EQ(mat_line(home, "HKLST   2"), "HKLST   2    0    2    0    0");
  EXPECT_EQ(mat_line(home, "HKLST   4"), "HKLST   4   -1   -1   -1    1");
  EXPECT_EQ(mat_line(home, "SHELL     1"), "SHELL     1    3.000   50.000    1");
  EXPECT_EQ(mat_line(home, "SHELL     2"), "SHELL     2    0.000    0.000    0");  // reversed
  EXPECT_EQ(mat_line(home, "SHELL     3"), "SHELL     3   30.000   40.000    1");
  EXPECT_EQ(mat_line(home, "SHELL     4"), "SHELL     4   40.000   60.000    0");

  r = run_dorvex(home, "SHOW DATA\nEXIT\n", mat_args(home));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has_line(r.out, "  Scan type is omega/2theta, width =  1.20")) << r.out;
  EXPECT_TRUE(has_line(r.out, " Space group is P 21/c"));
  EXPECT_TRUE(has_line(r.out, "  Increment order (fastest first): l h k"));
  EXPECT_TRUE(has_line(r.out, "  Ranges of h,k,l will be:  -1  1  0  1  0  0"));
  EXPECT_EQ(mat_line(home, "DSCAN2"),
            "DSCAN2   2.0   6.0 0.0500   3.0   1.0  20.0   4.0   1.0 10.00   0.0  7.00   1.0");
}

// Cancel keeps nothing of the form, the choices that acted at once included.
TEST(DataDialog, CancelDropsTypedFieldsAndClickedChoices) {
  Home home;
  auto r = run_dorvex(home,
                      "SET DATA\n"
                      "2\n0.05\n\n\n"   // Om/2th clicked, a step size typed
                      "1\n\n\n\n"       // constant precision clicked
                      "\n"              // psi scans stay off
                      "\nP 21/c\n"      // a space group typed
                      "\n\n\n\n\n\n\n\n\n"
                      "1 5 45\n\n\n\n\n"
                      "1 9 9 9\n\n\n\n\n77\n"
                      "C\n"
                      "EXIT\n",
                      mat_args(home));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(has_line(r.out, "SCAN PARAMETERS")) << r.out;
  EXPECT_EQ(mat_line(home, "DSCAN2").substr(0, 37), "DSCAN2   1.0   0.0 0.0200   1.0   0.0");
  EXPECT_EQ(mat_line(home, "SHELL     1"), "SHELL     1    3.000   20.000    1");
  EXPECT_EQ(mat_line(home, "HKLST   1"), "HKLST   1    2    0    0    1");
  EXPECT_EQ(mat_line(home, "SGROUP").substr(11), "P -1");
  EXPECT_EQ(mat_line(home, "ALLSTD").substr(11), "  100");
}

TEST(DataDialog, BadAnswersAreAskedAgainAndAnUnknownGroupFallsBackToPMinus1) {
  Home home;
  auto r = run_dorvex(home,
                      "SET DATA\n"
                      "3\n1\n"              // scan type 3 does not exist; then Omega
                      "abc\n-0.02\n0.07\n"  // unreadable or negative step size; then 0.07
                      "0\n\n"               // no scan width; then the old one kept
                      "100000\n0\n2\n"      // a time no matrix-file field can hold, or none
                      "\n\n"
                      "0\nQ 99\n"           // all reflections; no such space group
                      "\n\n\n\n\n\n"
                      "hk\nk\n\n\n"         // "hk" is no index; fastest k (k moves to h's row)
                      "\n\n\n\n\n\n\n\n\n\n\n"
                      "x\nO\n"
                      "EXIT\n",
                      mat_args(home));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(count_lines(r.out, "Error on input, try again:"), 8) << r.out;
  for (const char* field : {"Step Size", "Scan Width", "Time per Step"})
    EXPECT_TRUE(has_line(r.out, std::string(" ") + field + " must be greater than 0")) << field;
  EXPECT_TRUE(has_line(r.out, "Error in Space Group Processing: set P-1"));
  EXPECT_EQ(mat_line(home, "SGROUP").substr(11), "P -1");
  EXPECT_EQ(mat_line(home, "DSCAN2").substr(0, 37), "DSCAN2   1.0   0.0 0.0700   2.0   0.0");
  EXPECT_EQ(mat_line(home, "HKLORD").substr(30), "   2   1   3");
}

}  // namespace
