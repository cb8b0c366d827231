// SET and SHOW through the real program: answers typed on standard input, settings that
// survive a restart through the matrix file.
#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::has_line;
using dorvex_test::Home;
using dorvex_test::run_dorvex;

std::vector<std::string> args_with_mat(const Home& home) {
  auto args = dorvex_test::default_args(home);
  args.push_back("--mat");
  args.push_back(home.file("crystal"));
  return args;
}

TEST(SetShowTranscript, SettingsSurviveARestart) {
  Home home;
  const std::string first =
      "SET TITLE\n"
      "Ruby sphere\n"
      "SET WAVE\n"
      "nonsense\n"  // unreadable: asked again
      "1.5406 1.5444\n"
      "SET CENTRE\n"
      "25 400\n\n\n\n"
      "1\n"  // parabola fit ends the dialogue
      "SET DEVICE\n"
      "y\n"
      "4\n"
      "-200 100\n"  // beyond the furnace's own limits: refused
      "-60 60\n"
      "\n"
      "-20 40\n"
      "0\n"
      "EXIT\n";
  auto r = run_dorvex(home, first, args_with_mat(home));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has_line(r.out, "Error on input, try again:")) << r.out;
  EXPECT_TRUE(has_line(r.out, "Invalid values: Retype:"));
  EXPECT_TRUE(has_line(r.out, "Current Device is FURNACE    with following constraints:"));

  auto again = run_dorvex(home, "SHOW TITLE\nSHOW WAVE\nSHOW CENT\nSHOW DEVICE\nPROM\nEXIT\n",
                          args_with_mat(home));
  ASSERT_EQ(again.status, 0) << again.err;
  const std::string& out = again.out;
  EXPECT_TRUE(has_line(out, "   Experiment Title is: Ruby sphere")) << out;
  EXPECT_TRUE(has_line(
      out, "  Current 2 wavelengths are: 1.540600 and 1.544400   Intensity ratio = 0.500"));
  EXPECT_TRUE(has_line(
      out, "   Minimum Count Rate:  25 cps, Max/Min Ratio:  3.0, Max Time/Step:   4 secs"));
  EXPECT_TRUE(has_line(out, "   Required counts on maximum: 400 cps"));
  EXPECT_TRUE(has_line(out, "   ****** Final omega scan will be fit by PARABOLA"));
  EXPECT_TRUE(has_line(out, "  Absolute omega limits are: -20.00 and  40.00"));
  EXPECT_TRUE(has_line(out, "  No pause after moves of chi"));
  EXPECT_TRUE(has_line(out, "  Chi Restricted, Range:  -60.0 to   60.0"));
  EXPECT_TRUE(has_line(out, "  Phi Non-circular"));
  EXPECT_TRUE(has_line(out, "Orientation Matrix:"));
}

TEST(SetShowTranscript, SerialDeviceShownAsTheLinkWouldOpenIt) {
  Home home;
  auto r =
      run_dorvex(home, "SHOW COMM\nEXIT\n", args_with_mat(home), 30, {"DORVEX_COM1=/dev/ttyUSB3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has_line(r.out, "Port = COM1 Baud rate = 9600")) << r.out;
  EXPECT_TRUE(has_line(r.out, "  Serial device used: /dev/ttyUSB3"));

  auto args = args_with_mat(home);
  args.push_back("--port");
  args.push_back("/dev/pts/77");
  r = run_dorvex(home, "SHOW COMM\nEXIT\n", args);
  EXPECT_TRUE(has_line(r.out, "  Serial device used: /dev/pts/77")) << r.out;
}

TEST(SetShowTranscript, LogSwitchesAndOptionsThatAreNotThere) {
  Home home;
  // SET DATA: every question of the form kept with an empty answer, then Cancel.
  auto r = run_dorvex(home,
                      "SET LOG\n1\n5\n\n0\n\nSET DATA\n" + std::string(28, '\n') +
                          "C\nSHOW DATA\nSET\nEXIT\n",
                      args_with_mat(home));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has_line(r.out, "PROFILES TO PKPROF.DAT IS NOW  OFF, INPUT?")) << r.out;
  EXPECT_TRUE(has_line(r.out, "Error on input, try again:"));
  EXPECT_TRUE(has_line(r.out, "COMM ECHO TO SCREEN IS NOW  OFF, INPUT?"));
  EXPECT_TRUE(has_line(r.out, "Dorvex: Data Collection Parameters"));
  EXPECT_TRUE(has_line(r.out, "SCAN PARAMETERS"));  // SHOW DATA lists the parameters
  EXPECT_TRUE(has_line(r.out, "DATA COLLECTION PARAMETERS"));
  EXPECT_TRUE(
      has_line(r.out, "TITLE  WAVE  CENTRE (or CENTER)  DEVICE  DATA  MATFILE  DATFILE  LOG"));
}

}  // namespace
