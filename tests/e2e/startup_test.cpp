// The real program driven through standard input in DUMMY mode.
#include <regex>

#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::count_lines;
using dorvex_test::has_line;
using dorvex_test::Home;
using dorvex_test::lines;
using dorvex_test::run_dorvex;

const std::regex kStamp(R"(\d\d-(JAN|FEB|MAR|APR|MAY|JUN|JUL|AUG|SEP|OCT|NOV|DEC)-\d\d  :\d\d:\d\d:\d\d)");
const std::regex kDummyPrompt(
    R"(\d\d-(JAN|FEB|MAR|APR|MAY|JUN|JUL|AUG|SEP|OCT|NOV|DEC)-\d\d:\d\d:\d\d:DMDORVEX>)");

TEST(Startup, DummyRunWritesHeaderLogsAndEndsThroughExit) {
  Home home;
  const auto r = run_dorvex(home, "HELP\nNOTE\nfirst line of a note\nEXIT\nEXIT\nHELP\n",
                            dorvex_test::mat_args(home));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string indent(20, ' ');
  EXPECT_TRUE(has_line(r.out, indent + "DORVEX2010 Diffractometer Control Program"));
  EXPECT_TRUE(has_line(r.out, indent + "      BASE VERSION OF 16-MAR-2012"));
  EXPECT_TRUE(has_line(r.out, "Using VIRTUAL Diffractometer."));
  EXPECT_TRUE(has_line(r.out, "No operations on actual machine hardware will be permitted"));
  EXPECT_TRUE(has_line(r.out, " The Following commands are available:"));
  EXPECT_TRUE(has_line(r.out, "   HELP   EXIT   CELL   OM     COM    CALC   DRIV"));
  EXPECT_TRUE(has_line(r.out, "   CEN8   PMAT   STEP   UBEX   MACR   HKLF   INDA"));
  EXPECT_TRUE(has_line(r.out, "   LATT"));
  EXPECT_TRUE(has_line(r.out, "********************NOTE********************"));
  EXPECT_TRUE(has_line(r.out, "[DORVEX] Normal program termination"));
  // HELP after EXIT never ran: the program ended at the second EXIT.
  EXPECT_EQ(count_lines(r.out, " The Following commands are available:"), 1);

  // Installation log: each entry an empty line, a time stamp and the text.
  const auto log = lines(home.read("dorvex.log"));
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "");
  EXPECT_TRUE(std::regex_match(log[1], kStamp)) << log[1];
  EXPECT_EQ(log[2], "Starting Program Version of 16-MAR-2012");
  const std::string text = home.read("dorvex.log");
  EXPECT_NE(text.find("\nVERSION FOR "), std::string::npos);
  EXPECT_NE(text.find("\nUsing VIRTUAL Diffractometer.\n"), std::string::npos);
  EXPECT_EQ(log.back(), " Normal program termination");

  // User log of the matrix file: prompt and typed line.
  const auto user = lines(home.read("test.LOG"));
  int typed_help = 0;
  for (const auto& l : user) {
    if (l.size() > 4 && l.substr(l.size() - 4) == "HELP" &&
        std::regex_match(l.substr(0, l.size() - 4), kDummyPrompt)) {
      ++typed_help;
    }
  }
  EXPECT_EQ(typed_help, 1);
  EXPECT_TRUE(has_line(home.read("test.LOG"), "NOTE >first line of a note"));
  EXPECT_TRUE(has_line(home.read("test.LOG"), "NOTE >EXIT"));
}

TEST(Startup, EndOfInputTakesTheQuitQuestionAsYes) {
  Home home;
  const auto r = run_dorvex(home, "TEST\n", dorvex_test::mat_args(home));
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(r.timed_out);
  EXPECT_TRUE(has_line(r.out, "[DORVEX] Normal program termination"));
  EXPECT_NE(home.read("dorvex.log").find(" Normal program termination"), std::string::npos);
}

TEST(Startup, CancelledModeDialogEndsWithOnlyTheStartEntry) {
  Home home;
  const auto r = run_dorvex(home, "x\nC\nHELP\n", {"--home", home.path(), "--ui", "line"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has_line(r.out, "Dorvex: Select the mode for running DORVEX"));
  EXPECT_EQ(r.out.find("DORVEX2010"), std::string::npos);  // no window, no header
  const auto log = lines(home.read("dorvex.log"));
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2], "Starting Program Version of 16-MAR-2012");
  EXPECT_FALSE(home.exists("DORVEX_TEMP.LOG"));

  // End of input at the dialog cancels as well.
  Home other;
  EXPECT_EQ(run_dorvex(other, "", {"--home", other.path(), "--ui", "line"}).status, 0);
  EXPECT_EQ(lines(other.read("dorvex.log")).size(), 3u);
}

TEST(Startup, ModeDialogAnswerSelectsDummyMode) {
  Home home;
  const auto r = run_dorvex(home, "d\nEXIT\n",
                            {"--home", home.path(), "--ui", "line", "--mat", home.file("t.mat")});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has_line(r.out, "Using VIRTUAL Diffractometer."));
}

TEST(Startup, MissingProfileIsFatalWithTheReasonOnStandardError) {
  Home home("");
  const auto r = run_dorvex(home, "HELP\n");
  EXPECT_NE(r.status, 0);
  EXPECT_FALSE(r.err.empty());
  EXPECT_EQ(r.out.find(" The Following commands are available:"), std::string::npos);
}

TEST(Startup, SupervisorModeHonoursOnlyExitAndDcom) {
  Home home;
  const auto r = run_dorvex(home, "HELP\nCELL\nEXIT\n",
                            {"--home", home.path(), "--mode", "supervisor", "--ui", "line",
                             "--mat", home.file("t.mat")});
  EXPECT_TRUE(has_line(r.out, "SUPERVISOR MODE"));
  EXPECT_TRUE(has_line(
      r.out, "Only direct communcation with diffractometer using DCOM  will be permitted"));
  EXPECT_EQ(r.out.find(" The Following commands are available:"), std::string::npos);
}

std::vector<std::string> simulate_args(const Home& home) {
  return {"--home", home.path(), "--simulate", "--ui", "line", "--mat", home.file("s.mat")};
}

// Index of the first line equal to `line`, or -1.
int line_index(const std::string& text, const std::string& line) {
  const auto all = lines(text);
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all[i] == line) return static_cast<int>(i);
  }
  return -1;
}

TEST(Startup, ControllerThatDoesNotWakeLeavesTheMachineNotInitialisedButUsable) {
  Home home;
  // Every status query answered with an empty line: waking the controller fails.
  const auto r = run_dorvex(home, "HELP\n", simulate_args(home), 60,
                            {"DORVEX_SIM_ARGS=--time-scale 0 --fault empty:?S:1:1000"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const int normal = line_index(r.out, "NORMAL MODE");
  const int wake = line_index(r.out, "Error from wake_motors");
  const int careful = line_index(r.out, "DIFFRACTOMETER NOT INITIALISED!!! BE CAREFUL!!!!");
  const int matfile = line_index(r.out, "Created new matrix file: " + home.file("s.mat"));
  ASSERT_GE(normal, 0) << r.out;
  EXPECT_LT(normal, wake);
  EXPECT_EQ(wake + 1, careful);
  EXPECT_LT(careful, matfile);  // SET MATFILE ran all the same
  EXPECT_TRUE(has_line(r.out, " The Following commands are available:"));  // and the loop
  // Shutter, park check and motor initialisation were skipped.
  EXPECT_EQ(r.out.find("Checking motor positions"), std::string::npos);
  const std::string log = home.read("dorvex.log");
  EXPECT_NE(log.find("\nError from wake_motors\n"), std::string::npos);
  EXPECT_NE(log.find("\nDIFFRACTOMETER NOT INITIALISED!!! BE CAREFUL!!!!\n"), std::string::npos);
}

TEST(Startup, ExitParksTheDiffractometerButTheEndOfInputDoesNot) {
  for (const bool typed_exit : {true, false}) {
    Home home;
    const std::string wire = home.file("wire.txt");
    const auto r = run_dorvex(home, typed_exit ? "GOTO 20 1 30 40\nEXIT\n" : "GOTO 20 1 30 40\n",
                              simulate_args(home), 60,
                              {"DORVEX_SIM_ARGS=--time-scale 0 --transcript " + wire});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string sent = home.read("wire.txt");
    ASSERT_NE(sent.find("< 1:A20.0000"), std::string::npos) << sent;
    // The park position of the sample profile: 2theta 5, omega 2.5, chi and phi 0.
    EXPECT_EQ(sent.find("< 1:A5.0000") != std::string::npos, typed_exit) << typed_exit;
    EXPECT_EQ(has_line(r.out, "Parking the diffractometer"), typed_exit);
    EXPECT_TRUE(has_line(r.out, "[DORVEX] Normal program termination"));
    EXPECT_NE(home.read("dorvex.log").find("\n Normal program termination\n"), std::string::npos);
  }
}

TEST(CommandLine, RelativeDirectoriesAreStoredWithoutDotSteps) {
  Home home;  // the run's working directory
  const auto r = run_dorvex(home, "EXIT\n",
                            {"--home", ".", "--mode", "dummy", "--ui", "line", "--mat", "./s.mat"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(home.read("oldparm.sav"), "s\n" + home.path() + "\n");
}

TEST(CommandLine, HelpVersionAndBadOptions) {
  Home home;
  auto r = run_dorvex(home, "", {"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "dorvex 16-MAR-2012\n");
  r = run_dorvex(home, "", {"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("--simulate"), std::string::npos);
  r = run_dorvex(home, "", {"--mode", "sideways"});
  EXPECT_EQ(r.status, 2);
  r = run_dorvex(home, "", {"--bogus"});
  EXPECT_EQ(r.status, 2);
  r = run_dorvex(home, "", {"--home"});
  EXPECT_EQ(r.status, 2);
}

}  // namespace
