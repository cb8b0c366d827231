// Every question of the SET dialogues answered through the real program: an unreadable answer
// keeps the question, an empty answer and values outside the accepted ranges change nothing,
// and what was accepted is in the matrix file when the program is started again.
#include <initializer_list>

#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::Home;
using dorvex_test::mat_args;
using dorvex_test::run_dorvex;

constexpr const char* kUnreadable = "Error on input, try again:";
constexpr const char* kRetype = "Invalid values: Retype:";

// Empty when `expected` occur in this order as whole lines of `out` (others may lie between);
// otherwise the first line that was not found.
std::string in_order(const std::string& out, std::initializer_list<std::string> expected) {
  const auto lines = dorvex_test::lines(out);
  auto at = lines.begin();
  for (const std::string& want : expected) {
    at = std::find(at, lines.end(), want);
    if (at == lines.end()) return "missing, or out of order: \"" + want + "\"";
    ++at;
  }
  return "";
}

// Runs `input` on the crystal file of `home`, then shows `show` in a second run.
std::string run_then_show(const Home& home, const std::string& input, const std::string& show) {
  auto first = run_dorvex(home, input + "EXIT\n", mat_args(home, "xtal"));
  EXPECT_EQ(first.status, 0) << first.err;
  auto again = run_dorvex(home, show + "EXIT\n", mat_args(home, "xtal"));
  EXPECT_EQ(again.status, 0) << again.err;
  return first.out + "\n=== restart ===\n" + again.out;
}

std::string after_restart(const std::string& out) {
  return out.substr(out.find("=== restart ==="));
}

TEST(SetDialogueTranscript, TitleAndWavelength) {
  Home home;
  const std::string out = run_then_show(home,
                                        "SET TITLE\n"
                                        "\n"  // no change: still no title
                                        "SET TITLE\n"
                                        "Garnet, sphere 0.2 mm\n"
                                        "SET WAVE\n"
                                        "1.5 x\n"  // unreadable: the question stays
                                        "\n"       // no change
                                        "SET WAVE\n"
                                        "1.5406\n"
                                        "SET WAVE\n"
                                        "0 1.5444 0.52\n"
                                        "SET WAVE\n"
                                        "1500 -2 1\n",  // none of them acceptable
                                        "SHOW TITLE\nSHOW WAVE\n");
  EXPECT_EQ(in_order(out, {"   Input new title or <RETURN> for no change: >",
                           "  No Experiment Title Is Set",
                           "   Experiment Title is: Garnet, sphere 0.2 mm",
                           "   Type New Values or <RETURN> for no change: >", kUnreadable,
                           "  Current 2 wavelengths are: 0.709300 and 0.713590   Intensity "
                           "ratio = 0.500",
                           "  Current wavelength is 1.540600",
                           "  Current 2 wavelengths are: 1.540600 and 1.544400   Intensity "
                           "ratio = 0.520"}),
            "")
      << out;
  EXPECT_EQ(in_order(after_restart(out),
                     {"   Experiment Title is: Garnet, sphere 0.2 mm",
                      "  Current 2 wavelengths are: 1.540600 and 1.544400   Intensity ratio = "
                      "0.520"}),
            "")
      << out;
}

TEST(SetDialogueTranscript, CentringEmptyAnswersChangeOnlyTheEtaFlag) {
  Home home;
  // The sample profile refines eta; an empty answer to the flag question means fixed.
  const std::string out =
      run_then_show(home, "SET CENTRE\n\n\n\n\n\n\n\n\n\n", "SHOW CENT\n");
  EXPECT_EQ(in_order(after_restart(out),
                     {"   Minimum Count Rate:  20 cps, Max/Min Ratio:  3.0, Max Time/Step:   4 "
                      "secs",
                      "   Required counts on maximum: 300 cps",
                      "   Initial Omega Scan width = 0.80+0.50 tan(th)",
                      "   2Theta/omega will be scanned",
                      "  Chi scan parameters:    21 steps, width parameter =  0.50",
                      "   Final omega scan:  31 steps, width = 0.60+0.30 tan(th)",
                      "   Final omega scan will be fit by PROFILE",
                      "   Value of eta is fixed at: 0.50",
                      "   Slit settings: Motor 5 = 1.00 Motor 6 = 1.00"}),
            "")
      << out;
}

TEST(SetDialogueTranscript, CentringEveryStepRetypedThenAnswered) {
  Home home;
  const std::string same = "Input new values, <RETURN> for no change:";
  const std::string out = run_then_show(home,
                                        "SET CENTRE\n"
                                        "x\n25 5000 2.5 123456\n"  // count and time refused
                                        "x\n0.2 1.5\n"             // constant term refused
                                        "x\n0.75 199\n"            // steps refused
                                        "x\n0.7 0.25 1000000\n"    // steps refused
                                        "x\n0\n"                   // keep the profile fit
                                        "x\n-3\n"                  // eta becomes 0
                                        "x\n1\n"                   // refined
                                        "x\n0.05 9.99\n"           // first slit refused
                                        "x\n1\n",                  // 2theta/omega fixed
                                        "SHOW CENT\n");
  EXPECT_EQ(in_order(out, {"      Parameters for all centering scans:", same, kUnreadable,
                           "Current Initial Omega Scan Width is =   0.8000 +  0.5000 tan(theta)",
                           same, kUnreadable, " Parameters for Chi scans:", same, kUnreadable,
                           " Parameters for Final Omega scan:", same, kUnreadable,
                           "          Final omega scan on peak centering by PROFILE fit",
                           "Input 1 to toggle to other method:", kUnreadable,
                           " Eta value refined from  0.500",
                           "Input new value for Eta (<CR>=no change):", kUnreadable,
                           "Input Eta refinement flag (1=refine, 0=fixed):", kUnreadable,
                           "   Slit settings: Motor 5 =  1.00 Motor 6 =  1.00",
                           "Input new values (<CR>=no change):", kUnreadable,
                           "Input 2theta refinement flag (0=refine, 1=fixed):", kUnreadable,
                           "  2Theta/omega will NOT be scanned"}),
            "")
      << out;
  EXPECT_EQ(in_order(after_restart(out),
                     {"   Minimum Count Rate:  25 cps, Max/Min Ratio:  2.5, Max Time/Step:   4 "
                      "secs",
                      "   Required counts on maximum: 300 cps",
                      "   Initial Omega Scan width = 0.80+1.50 tan(th)",
                      "   2Theta/omega will NOT be scanned",
                      "  Chi scan parameters:    21 steps, width parameter =  0.75",
                      "   Final omega scan:  31 steps, width = 0.70+0.25 tan(th)",
                      "   Final omega scan will be fit by PROFILE",
                      "   Eta refineable, initial value: 0.00",
                      "   Slit settings: Motor 5 = 1.00 Motor 6 = 9.99"}),
            "")
      << out;
}

TEST(SetDialogueTranscript, AnAbandonedDialogueLeavesTheFileAsItWas) {
  Home home;
  // The input ends in the middle of each dialogue: the program quits without an answer.
  auto r = run_dorvex(home, "SET CENTRE\n50 500\n0.9 0.9\n", mat_args(home, "xtal"));
  EXPECT_EQ(r.status, 0) << r.err;
  r = run_dorvex(home, "SET DEVICE\ny\n2\n45\n-90 90\n", mat_args(home, "xtal"));
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string mat = home.read("xtal.mat");
  EXPECT_NE(mat.find("SCANS1   20.00    3.00    4.00  300.00  0.8000  0.5000"), std::string::npos)
      << mat;
  EXPECT_NE(mat.find("DEVICE 0 0"), std::string::npos) << mat;
  EXPECT_EQ(mat.find("HIGHT"), std::string::npos) << mat;
}

TEST(SetDialogueTranscript, DeviceEveryStepRetypedThenAnswered) {
  Home home;
  const std::string out = run_then_show(home,
                                        "SET DEVICE\n"
                                        "y\n"
                                        "x\n9\n2\n"           // device number
                                        "x\n\n95\n45\n"       // psi maximum
                                        "x\n-200 0\n-100 120\n"  // chi range
                                        "x\n-90 90\n"         // phi range
                                        "x\n-30 45\n"         // omega range
                                        "x\n20000\n3\n"       // pause: too long for the file
                                        "x\n-12.5\n",         // chi move
                                        "SHOW DEVICE\n");
  EXPECT_EQ(in_order(out, {"   Change the Device <Y/N><N>?", "  AVAILABLE DEVICES:",
                           "Input device number:", kUnreadable, "ILLEGAL DEVICE NUMBER",
                           "Input device number:", "Input max psi angle:", kUnreadable, kRetype,
                           kRetype, "Input minchi, maxchi <return for defaults>:", kUnreadable,
                           kRetype, "Input minphi, maxphi <return for defaults>:", kUnreadable,
                           "Input min and max for absolute omega <return for defaults>:",
                           kUnreadable,
                           "Input pause time (secs) after chi drives  <0 for no pause>:",
                           kUnreadable, kRetype, "Input delchi to apply pause:", kUnreadable,
                           "Current Device is HEATED DAC with following constraints:"}),
            "")
      << out;
  EXPECT_EQ(in_order(after_restart(out),
                     {"Current Device is HEATED DAC with following constraints:",
                      "  Fixed Phi Mode, Psi(max) = 45.0",
                      "  Absolute omega limits are: -30.00 and  45.00",
                      "  Drives will pause for   3 secs after moves of more than   12.5 degs "
                      "on chi",
                      "  Chi Restricted, Range: -100.0 to  120.0",
                      "   Assymetric Chi Limits May Cause Problems in Zref",
                      "  Phi Restricted, Range:  -90.0 to   90.0"}),
            "")
      << out;
}

TEST(SetDialogueTranscript, DeviceEmptyAnswersTakeTheDefaults) {
  Home home;
  const std::string out = run_then_show(home,
                                        "SET DEVICE\n\n"     // no change
                                        "SET DEVICE\ny\n\n"  // an empty number: no device
                                        "SET DEVICE\ny\n5\n"
                                        "\n\n"          // the JT cooler's chi and phi defaults
                                        "\n"            // the hardware omega limits
                                        "5\n\n",        // a pause on every chi move
                                        "SHOW DEVICE\n");
  EXPECT_EQ(in_order(out, {"  Current Device is NONE:", "   Change the Device <Y/N><N>?",
                           "  Current Device is NONE:", "   Change the Device <Y/N><N>?",
                           "  AVAILABLE DEVICES:", "  Current Device is NONE:",
                           "Input minchi, maxchi <return for defaults>:",
                           "Input minphi, maxphi <return for defaults>:",
                           "Input min and max for absolute omega <return for defaults>:",
                           "Input pause time (secs) after chi drives  <0 for no pause>:",
                           "Input delchi to apply pause:"}),
            "")
      << out;
  EXPECT_EQ(in_order(after_restart(out),
                     {"Current Device is JT COOLER  with following constraints:",
                      "  Bisecting Mode", "  Absolute omega limits are: -60.00 and  80.00",
                      "  Drives will pause for   5 secs after moves of more than    0.0 degs "
                      "on chi",
                      "  Chi Restricted, Range:  -45.0 to   45.0",
                      "  Phi Restricted, Range: -180.0 to   90.0"}),
            "")
      << out;
}

TEST(SetDialogueTranscript, DiamondCellsAndBackToNoDevice) {
  Home home;
  std::string out = run_then_show(home,
                                  "SET DEVICE\ny\n6\n"
                                  "x\n"           // unreadable
                                  "75 10\n"       // beyond 70 in the gasket plane
                                  "30 -1e12\n"    // more than the matrix file can hold
                                  "60 75\n",
                                  "SHOW DEVICE\n");
  EXPECT_EQ(in_order(out, {"  Chi and phi have been set non-circular",
                           "Input angular limits to x and z axes of cell:", kUnreadable, kRetype,
                           kRetype}),
            "")
      << out;
  EXPECT_EQ(in_order(after_restart(out),
                     {"Current Device is ULTRAS DAC with following constraints:",
                      "  Bisecting Mode", "  Angle restriction in gasket plane is 60.0 degrees",
                      "  Angle restriction towards z-axis is 75.0 degrees", "  Chi Non-circular",
                      "  Phi Non-circular"}),
            "")
      << out;

  out = run_then_show(home, "SET DEVICE\ny\n1\n\n30\n", "SHOW DEVICE\n");
  const std::string dac = after_restart(out);
  EXPECT_EQ(in_order(dac, {"Current Device is DAC        with following constraints:",
                           "  Fixed Phi Mode, Psi(max) = 30.0"}),
            "")
      << out;
  EXPECT_EQ(dac.find("Restricted"), std::string::npos) << out;

  out = run_then_show(home, "SET DEVICE\ny\n0\n", "SHOW DEVICE\n");
  EXPECT_EQ(in_order(after_restart(out), {"  Current Device is NONE:", "  Bisecting Mode"}), "")
      << out;
  EXPECT_EQ(home.read("xtal.mat").find("HIGHT"), std::string::npos);
}

TEST(SetDialogueTranscript, TheMatrixFileChosenIsOfferedAtTheNextStart) {
  Home home;
  auto r = run_dorvex(home, "SET MAT\nsecond.mat\ny\nSET TITLE\nSecond crystal\nEXIT\n",
                      mat_args(home, "first"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(dorvex_test::has_line(r.out, " Mat File is: second.mat")) << r.out;
  EXPECT_NE(home.read("second.mat").find("TITLE Second crystal"), std::string::npos);
  EXPECT_EQ(home.read("first.mat").find("Second crystal"), std::string::npos);

  // No --mat: the start-up question offers the file of the last run; an empty line takes it.
  r = run_dorvex(home, "\nSHOW TITLE\nEXIT\n", dorvex_test::default_args(home));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(in_order(r.out, {"  Name [second.mat] (- to cancel):", " Mat File is: second.mat",
                             "   Experiment Title is: Second crystal"}),
            "")
      << r.out;
}

TEST(SetDialogueTranscript, LogSwitchesEveryAnswer) {
  Home home;
  auto r = run_dorvex(home,
                      "SET LOG\n"
                      "x\n1\n"  // unreadable, then ON
                      "2\n\n"   // not 0 or 1, then empty: the 1 typed before
                      "0\n"
                      "\n"      // empty: the 0 typed before
                      "SET LOG\n\n\n\n\nEXIT\n",
                      mat_args(home, "xtal"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(in_order(r.out, {"INPUT 1 TO TURN LOGGING ON, 0 OFF",
                             "FINAL OM PROFILES TO FILE IS NOW  OFF, INPUT?", kUnreadable,
                             "PROFILES TO PKPROF.DAT IS NOW  OFF, INPUT?", kUnreadable,
                             "COMM ECHO TO SCREEN IS NOW  OFF, INPUT?",
                             "EXTRA ZREF LOG TO SCREEN IS NOW  OFF, INPUT?",
                             "FINAL OM PROFILES TO FILE IS NOW  ON , INPUT?",
                             "PROFILES TO PKPROF.DAT IS NOW  ON , INPUT?",
                             "COMM ECHO TO SCREEN IS NOW  OFF, INPUT?",
                             "EXTRA ZREF LOG TO SCREEN IS NOW  OFF, INPUT?"}),
            "")
      << r.out;
}

}  // namespace
