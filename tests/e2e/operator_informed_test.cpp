// Transcripts of the line console: the operator is told what happened, what is refused and why,
// and nothing computed is lost without a word.
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::has_line;
using dorvex_test::Home;
using dorvex_test::mat_args;
using dorvex_test::run_dorvex;

const std::string kSample = DORVEX_SOURCE_DIR "/examples/sample.mat";

// Output with its line breaks removed: warnings are wrapped at 80 columns.
std::string unwrapped(std::string text) {
  std::erase(text, '\n');
  return text;
}

std::string kept_copy() {
  std::ifstream in(kSample, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A new --mat file is said to be new; CELL says it replaces the orientation found from
// reflections; a file that cannot be rewritten is named with the system's reason and another
// one offered; EXIT asks before the unsaved orientation is dropped.
TEST(OperatorInformed, NothingComputedIsLostSilently) {
  Home fresh;
  const auto created = run_dorvex(fresh, "EXIT\n", mat_args(fresh, "new"));
  EXPECT_TRUE(has_line(created.out, "Created new matrix file: " + fresh.file("new.mat")))
      << created.out;
  EXPECT_EQ(created.out.find("SUCCESSFULLY OPENED MAT FILE"), std::string::npos);

  Home home;
  home.copy_in(kSample, "xtal.mat");
  std::filesystem::create_directory(home.file("xtal.mat.tmp"));  // the rewrite cannot go there
  const auto r = run_dorvex(home, "CELL\n8 10 12\nn\nEXIT\ny\ny\n", mat_args(home, "xtal"));
  const std::string refusal = "WRITE_MATFILE FAILED TO OPEN .MAT FILE CALLED xtal (" +
                              home.file("xtal.mat") + ": Is a directory";
  EXPECT_NE(unwrapped(r.out).find(refusal), std::string::npos) << r.out;
  EXPECT_TRUE(has_line(r.out, "DORVEX: SAVE THE CRYSTAL IN A NEW MAT FILE xtal_2.mat? (Y/N)"));
  EXPECT_TRUE(has_line(r.out, "  The refined orientation matrix is replaced: UB is now B of the "
                              "new cell (COM or LSQ orient it again)"));
  EXPECT_TRUE(has_line(r.out, "  The cell and orientation in memory differ from the mat file " +
                                  home.file("xtal.mat")));
  EXPECT_TRUE(has_line(r.out, "DORVEX: SAVE THE CELL AND ORIENTATION IN THE MAT FILE? (Y/N)"));
  EXPECT_TRUE(has_line(r.out, "  Saved in " + home.file("xtal_2.mat")));
  // B of the 8 x 10 x 12 A cell, in the new file; the original is untouched.
  EXPECT_TRUE(has_line(home.read("xtal_2.mat"), "UB      0.125000  0.000000  0.000000"));
  EXPECT_EQ(home.read("xtal.mat"), kept_copy());

  // Declined: said so, and the file keeps what it had.
  Home kept;
  kept.copy_in(kSample, "xtal.mat");
  std::filesystem::create_directory(kept.file("xtal.mat.tmp"));
  const auto no = run_dorvex(kept, "CELL\n8 10 12\nn\nEXIT\nn\nn\n", mat_args(kept, "xtal"));
  EXPECT_TRUE(has_line(no.out, "  Not saved: the mat file keeps its former cell and orientation"))
      << no.out;
}

}  // namespace

namespace {

// The simulated instrument (SMC9300, 2theta -10 to 120 deg) on a copy of the sample crystal.
dorvex_test::RunResult run_simulated(const Home& home, const std::string& input) {
  home.copy_in(kSample, "s.mat");
  return run_dorvex(home, input,
                    {"--home", home.path(), "--simulate", "--ui", "line", "--mat", home.file("s.mat")},
                    60, {"DORVEX_SIM_ARGS=--time-scale 0"});
}

// Limits are checked when the values are typed, before anything moves; each refusal names the
// axis, the value and the limit, and the question is asked again.
TEST(OperatorInformed, LimitsRefusedWithTheirReasonBeforeAnythingMoves) {
  Home home;
  const auto r = run_simulated(
      home, "MOT 9 5\n"
            "SRCH\n2 2\n10 200\n10 30\n-1e9 1e9\n-10 10\n0 90 0.0001\n\n"
            "SET DATA\n\n0.01\n5\n0.3\n\n");
  for (const char* line : {
           "  MOT: there is no motor 9 on this diffractometer",
           "  2theta 200.000 deg above its upper limit 120.000 deg",
           "  chi -0.1000E+10 deg: a circle is searched within -360 to 360 deg",
           "  step 0.0001 deg: from 0.0100 deg to the range (90.000 deg) allowed",
           " Scan Width 5.00 deg in steps of 0.0100 deg makes 501 steps in a scan: 10 to 200 "
           "allowed"})
    EXPECT_TRUE(has_line(r.out, line)) << line << "\n" << r.out;
  EXPECT_EQ(dorvex_test::count_lines(r.out, "Invalid values, try again:"), 3);
}

}  // namespace

namespace {

// Every question can be left: "-" anywhere, an empty row in TRAN; answers that cannot be read
// are asked again five times at most; a SET DATA form left or cancelled keeps nothing.
TEST(OperatorInformed, EveryDialogueCanBeLeft) {
  Home home;
  home.copy_in(kSample, "s.mat");
  const auto r = run_dorvex(home,
                            "CALC xyz\nCALC\nxyz\n1 2\nqq\n1,,\nzz\nTRAN\n1 0 0\n\n"
                            "SET DATA\n2\n-\nSET DATA\n2\n0.05\n" +
                                std::string(26, '\n') + "C\nSHOW DATA\n",
                            mat_args(home, "s"));
  for (const char* line :
       {" Error on input: xyz cannot be read",
        " CALC ended: 5 answers in a row could not be taken; nothing more is changed",
        " TRAN cancelled: the cell is unchanged", " SET cancelled",
        " Cancelled: the data-collection parameters are as before",
        "  Scan type is omega, scan width =  0.80", "  In Steps of 0.020 degrees;  1.00 secs per step"})
    EXPECT_TRUE(has_line(r.out, line)) << line << "\n" << r.out;
  // The scan type chosen at once and the step typed were both dropped.
  EXPECT_TRUE(has_line(home.read("s.mat"), "DSCAN2   1.0   0.0 0.0200   1.0   0.0   0.0   0.0   0.0"
                                           "  0.00   0.0  0.00   0.0"));
}

}  // namespace
