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
  EXPECT_TRUE(has_line(r.out, "   CEN8   PMAT   STEP   UBEX   MACR"));
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

TEST(CommandLine, HelpVersionAndBadOptions) {
  Home home;
  auto r = run_dorvex(home, "", {"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "dorvex 16-MAR-2012 \n");
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
