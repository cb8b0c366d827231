// Console output, the two logs, the saved-names file and the data-file choice.
#include <regex>

#include "common/state.hpp"
#include "console/clock.hpp"
#include "console/output.hpp"
#include "support/run_dorvex.hpp"
#include "support/shell_fixture.hpp"

namespace {

using dorvex::S;
using dorvex_test::lines;

class Output : public dorvex_test::ShellFixture {};

const std::regex kStamp(
    R"(\d\d-(JAN|FEB|MAR|APR|MAY|JUN|JUL|AUG|SEP|OCT|NOV|DEC)-\d\d  :\d\d:\d\d:\d\d)");

TEST_F(Output, BlankTextGivesOneEmptyConsoleLineAndOneEmptyUserLogLine) {
  dorvex::WRITE_OUT("        ");
  EXPECT_EQ(console(), "\n");
  EXPECT_EQ(read_file("DORVEX_TEMP.LOG"), "\n");
  dorvex::WRITE_OUT_CR(2);
  EXPECT_EQ(read_file("DORVEX_TEMP.LOG"), "\n\n\n");
}

TEST_F(Output, TermWritesTheConsoleOnlyAndTrimsTrailingBlanks) {
  dorvex::WRITE_TERM("  text   ");
  EXPECT_EQ(console(), "  text\n");
  EXPECT_FALSE(file_exists("DORVEX_TEMP.LOG"));
  EXPECT_FALSE(file_exists("dorvex.log"));
}

TEST_F(Output, LongTextIsCutIntoPiecesOfEighty) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += static_cast<char>('A' + i % 26);
  dorvex::WRITE_OUT_LONG(text + "     ");
  const auto shown = lines(console());
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0], text.substr(0, 80));
  EXPECT_EQ(shown[1], text.substr(80, 80));
  EXPECT_EQ(shown[2], text.substr(160));
  EXPECT_EQ(lines(read_file("DORVEX_TEMP.LOG")), shown);

  clear_console();
  dorvex::WRITE_OUT_LONG(std::string(79, 'x') + std::string(100, ' '));
  EXPECT_EQ(console(), std::string(79, 'x') + "\n");
}

TEST_F(Output, InstallationLogEntriesCarryATimeStamp) {
  dorvex::INSTLOG("first entry   ");
  dorvex::INSTLOG("   ");
  const auto log = lines(read_file("dorvex.log"));
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[0], "");
  EXPECT_TRUE(std::regex_match(log[1], kStamp)) << log[1];
  EXPECT_EQ(log[2], "first entry");
  EXPECT_EQ(log[3], "");
  EXPECT_TRUE(std::regex_match(log[4], kStamp));
  EXPECT_EQ(log[5], "");
  EXPECT_EQ(console(), "");
}

TEST_F(Output, TimeStampAndDateTextsAreFixedFormat) {
  dorvex::LocalTime t;
  t.year = 2026;
  t.month = 12;
  t.day = 6;
  t.hour = 14;
  t.minute = 10;
  t.second = 3;
  EXPECT_EQ(dorvex::date_text(t), "06-DEC-26");
  EXPECT_EQ(dorvex::log_time_stamp(t), "06-DEC-26  :14:10:03");
  t.year = 2001;
  t.month = 1;
  t.day = 31;
  t.hour = 0;
  t.minute = 0;
  t.second = 0;
  EXPECT_EQ(dorvex::log_time_stamp(t), "31-JAN-01  :00:00:00");
}

TEST_F(Output, MessageWarningAndErrorReachTheirDestinations) {
  dorvex::MESSAGE("a notice");
  EXPECT_EQ(console(), "a notice\n");
  EXPECT_EQ(read_file("DORVEX_TEMP.LOG"), "a notice\n");

  clear_console();
  dorvex::WARNING(" beware");
  EXPECT_EQ(console(), " **********WARNING**********\n beware\n");
  EXPECT_EQ(S().shell.error_flag, 0);

  clear_console();
  dorvex::ERRORLOG(" it broke   ");
  EXPECT_EQ(S().shell.error_flag, 1);
  EXPECT_EQ(console(), "[DORVEX ERROR] it broke\n");  // the error box is the only trace
  EXPECT_EQ(dorvex::last_error_text(), "it broke");

  EXPECT_EQ(read_file("DORVEX_TEMP.LOG"),
            "a notice\n **********WARNING**********\n beware\n"
            " **********ERROR**********\n it broke\n");
  const auto log = lines(read_file("dorvex.log"));
  ASSERT_EQ(log.size(), 15u);
  EXPECT_EQ(log[2], "a notice");
  EXPECT_EQ(log[5], " **********WARNING**********");
  EXPECT_EQ(log[8], " beware");
  EXPECT_EQ(log[11], " **********ERROR**********");
  EXPECT_EQ(log[14], " it broke");
}

TEST_F(Output, UserLogFollowsTheMatrixFile) {
  S().shell.matfile_name = "quartz";
  dorvex::USERLOG("line one");
  EXPECT_EQ(read_file("quartz.LOG"), "line one\n");
  EXPECT_FALSE(file_exists("DORVEX_TEMP.LOG"));
}

TEST_F(Output, UnwritableLogIsSkippedAndToldOnce) {
  S().shell.data_directory = dir() + "missing/";
  dorvex::USERLOG("one");
  dorvex::WRITE_OUT("two");
  dorvex::WRITE_OUT("three");
  EXPECT_EQ(S().shell.error_flag, 0);
  const auto shown = lines(console());
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_NE(shown[0].find(dir() + "missing/DORVEX_TEMP.LOG"), std::string::npos);
  EXPECT_EQ(shown[1], "two");
  EXPECT_EQ(shown[2], "three");
}

TEST_F(Output, SavedNamesAreReadBackOrDefaulted) {
  auto& shell = S().shell;
  // Missing file: defaults.
  dorvex::SET_DIRECTORY();
  EXPECT_EQ(shell.matfile_name, "DORVEX_TEMP");
  EXPECT_EQ(shell.data_directory, dir());
  EXPECT_EQ(shell.version, "16-MAR-2012 ");

  // Written and read back; the data directory keeps its trailing '/'.
  shell.matfile_name = "ylide";
  shell.data_directory = "/data/crystals/";
  dorvex::WRITE_SAVEFILE();
  EXPECT_EQ(read_file("oldparm.sav"), "ylide\n/data/crystals/\n");
  shell.matfile_name.clear();
  dorvex::SET_DIRECTORY();
  EXPECT_EQ(shell.matfile_name, "ylide");
  EXPECT_EQ(shell.data_directory, "/data/crystals/");

  // A last line without its line break still counts; a missing slash is added.
  write_file("oldparm.sav", "  ylide  \n/data/x");
  dorvex::SET_DIRECTORY();
  EXPECT_EQ(shell.matfile_name, "ylide");
  EXPECT_EQ(shell.data_directory, "/data/x/");

  for (const char* broken : {"only one line\n", "", "\n\n", "name\n   \n"}) {
    write_file("oldparm.sav", broken);
    dorvex::SET_DIRECTORY();
    EXPECT_EQ(shell.matfile_name, "DORVEX_TEMP") << broken;
    EXPECT_EQ(shell.data_directory, dir()) << broken;
  }
}

TEST_F(Output, DataFileNameGetsItsExtensionAtTheFirstFullStopOfTheName) {
  auto& shell = S().shell;
  std::filesystem::create_directory(dir() + "run.2");
  write_file("run.2/old.rfl", "");
  type("crystal\ny\n" "two.dots.x\ny\n" "run.2/old.data\n" "-\n" "new\nn\n");
  dorvex::SET_DATFILE();
  EXPECT_EQ(shell.datfile_name, dir() + "crystal.rfl");
  EXPECT_EQ(shell.datfile_set, 1);
  dorvex::SET_DATFILE();
  EXPECT_EQ(shell.datfile_name, dir() + "two.rfl");
  clear_console();
  dorvex::SET_DATFILE();  // exists: accepted without a question
  EXPECT_EQ(shell.datfile_name, dir() + "run.2/old.rfl");
  EXPECT_NE(console().find("SUCCESSFULLY OPENED DATA FILE: " + (dir() + "run.2/old.rfl").substr(0, 40) + "\n\n"),
            std::string::npos);
  dorvex::SET_DATFILE();  // cancelled: the previous file stays
  EXPECT_EQ(shell.datfile_name, dir() + "run.2/old.rfl");
  clear_console();
  dorvex::SET_DATFILE();  // refused
  EXPECT_EQ(shell.datfile_name, dir() + "run.2/old.rfl");
  EXPECT_NE(console().find("NO DATA FILE CREATED\n\n"), std::string::npos);
}

TEST_F(Output, ListFileIsOpenedOrTheOperatorAskedAgain) {
  write_file("refl.lst", "1 0 0\n");
  type("nothere.lst\ny\nrefl.lst\n");
  S().shell.listfile_directory = dir();
  int ok = 0;
  dorvex::OPEN_LISTFILE(ok);
  EXPECT_EQ(ok, 1);
  ASSERT_NE(dorvex::list_file(), nullptr);
  std::string first;
  std::getline(*dorvex::list_file(), first);
  EXPECT_EQ(first, "1 0 0");
  dorvex::CLOSE_LISTFILE();
  EXPECT_EQ(dorvex::list_file(), nullptr);

  type("nothere.lst\nn\n");
  ok = 0;
  dorvex::OPEN_LISTFILE(ok);
  EXPECT_EQ(ok, 0);

  // A directory is no list file, whatever its name.
  std::filesystem::create_directory(dir() + "shells.lst");
  clear_console();
  type("shells.lst\nn\n");
  dorvex::OPEN_LISTFILE(ok);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(dorvex::list_file(), nullptr);
  EXPECT_EQ(console().find("SUCCESSFULLY OPENED"), std::string::npos);
  EXPECT_NE(console().find("Error opening file: Do you want to try again? (Y/N)"),
            std::string::npos);
}

}  // namespace
