// Macro files run through the dispatcher.
#include <random>

#include "common/state.hpp"
#include "shell/dispatcher.hpp"
#include "console/status.hpp"
#include "support/run_dorvex.hpp"
#include "support/shell_fixture.hpp"

namespace {

using dorvex::S;
using dorvex_test::lines;

class Macro : public dorvex_test::ShellFixture {
 protected:
  // Enters a line in the command field and runs the dispatcher on it, as the loop does.
  // `answers` are the lines typed into the dialogs the command opens (the file browser).
  int enter(const std::string& line, const std::string& answers = "") {
    type(line + "\n" + answers);
    EXPECT_EQ(dorvex::toolkit().action(), dorvex::CB_COMMAND);
    int exit_flag = 0;
    dorvex::DRVX_DISP(exit_flag);
    S().shell.error_flag = 0;
    return exit_flag;
  }
  // Console lines that echo macro lines ("dd-MON-yy:hh:mm:MACRO>text"), without the prompt.
  std::vector<std::string> echoes() {
    std::vector<std::string> out;
    for (const auto& l : lines(console())) {
      if (l.size() >= 22 && l.substr(15, 7) == ":MACRO>") out.push_back(l.substr(22));
    }
    return out;
  }
};

TEST_F(Macro, RunsToTheEndWithinOneLine) {
  write_file("m.txt", "NOTE\nHELP is a note line\nEXIT\nLOG\n");
  enter("MACR", "m.txt\n");
  EXPECT_EQ(S().shell.macro_running, 0);
  EXPECT_EQ(echoes(), (std::vector<std::string>{"NOTE", "HELP is a note line", "EXIT", "LOG"}));
  EXPECT_NE(console().find("The command LOG  has been discontinued"), std::string::npos);
  EXPECT_EQ(S().shell.continuation_code, 0);
}

TEST_F(Macro, EchoIsCutTo56ButTheLineRunsWhole) {
  write_file("m.txt", "NOTE\n" + std::string(70, 'x') + "\n");
  enter("MACR", "m.txt\n");
  ASSERT_EQ(echoes().size(), 2u);
  EXPECT_EQ(echoes()[1], std::string(56, 'x'));
  const std::string log = read_file("DORVEX_TEMP.LOG");
  EXPECT_NE(log.find(":MACRO>" + std::string(56, 'x') + "\n"), std::string::npos);
}

TEST_F(Macro, BlankLinePausesAndTheNextEnteredLineResumes) {
  write_file("m.txt", "LOG\n\nAUTO\n");
  enter("MACR", "m.txt\n");
  EXPECT_EQ(S().shell.macro_running, 1);
  EXPECT_EQ(console().find("AUTO has"), std::string::npos);
  enter("HELP");  // its text is not read: it only resumes the macro
  EXPECT_EQ(console().find(" The Following commands"), std::string::npos);
  EXPECT_NE(console().find("The command AUTO has been discontinued"), std::string::npos);
  EXPECT_EQ(S().shell.macro_running, 0);
}

TEST_F(Macro, FailingCommandPausesItWithNothingSkipped) {
  // LSQ on an empty reflection list fails and raises the error flag.
  write_file("m.txt", "LOG\nLSQ\nAUTO\n");
  type("MACR\nm.txt\n");
  ASSERT_EQ(dorvex::toolkit().action(), dorvex::CB_COMMAND);
  int exit_flag = 0;
  dorvex::DRVX_DISP(exit_flag);
  EXPECT_EQ(S().shell.error_flag, 1);
  EXPECT_EQ(S().shell.macro_running, 1);
  EXPECT_EQ(echoes(), (std::vector<std::string>{"LOG", "LSQ"}));
  S().shell.error_flag = 0;  // as the command loop does after the event
  enter("LIST");             // resumes with the line after the failing one
  EXPECT_EQ(echoes(), (std::vector<std::string>{"LOG", "LSQ", "AUTO"}));
  EXPECT_NE(console().find("The command AUTO has been discontinued"), std::string::npos);
  EXPECT_EQ(S().shell.macro_running, 0);
}

TEST_F(Macro, QuestionOfTheLastLineStaysPendingAtTheEnd) {
  write_file("m.txt", "LOG\nNOTE\n");
  enter("MACR", "m.txt\n");
  EXPECT_EQ(S().shell.macro_running, 0);
  EXPECT_EQ(S().shell.continuation_code, 28);
  EXPECT_EQ(S().shell.prompt, "NOTE >");
  enter("typed into the note");
  EXPECT_EQ(S().shell.continuation_code, 28);
}

// The file name of a MACR inside a macro is the macro's next line, never the console's.
TEST_F(Macro, MacroStartedFromAMacroReplacesIt) {
  write_file("outer.txt", "MACR\ninner.txt\nAUTO\n");
  write_file("inner.txt", "LOG\n");
  enter("MACR", "outer.txt\nconsole.txt\n");
  EXPECT_EQ(echoes(), (std::vector<std::string>{"MACR", "inner.txt", "LOG"}));
  EXPECT_EQ(console().find("AUTO has"), std::string::npos);
  EXPECT_EQ(S().shell.macro_running, 0);
}

TEST_F(Macro, MissingFileOrCancelledBrowserRunsNothing) {
  enter("MACR", "nosuch.txt\n");
  EXPECT_NE(console().find(" Could not open selected file. No Macro will be run"),
            std::string::npos);
  enter("MACR", "-\n");
  EXPECT_EQ(S().shell.macro_running, 0);

  // A directory opens as a stream but holds no lines: it is refused like a missing file.
  std::filesystem::create_directory(dir() + "setup.txt");
  clear_console();
  enter("MACR", "setup.txt\n");
  EXPECT_EQ(S().shell.macro_running, 0);
  EXPECT_NE(console().find(" Could not open selected file. No Macro will be run"),
            std::string::npos);
}

TEST_F(Macro, EmptyAndBinaryFilesEndQuietly) {
  write_file("empty.txt", "");
  enter("MACR", "empty.txt\n");
  EXPECT_EQ(S().shell.macro_running, 0);
  EXPECT_TRUE(echoes().empty());

  std::mt19937 random(12345);
  std::string junk(200000, '\0');
  for (char& c : junk) c = static_cast<char>(random() % 256);
  for (char& c : junk) if (c == '\n') c = 'n';  // one huge line without a break
  write_file("junk.txt", junk);
  enter("MACR", "junk.txt\n");
  enter("x");  // resumes, should the junk have paused it
  EXPECT_EQ(S().shell.macro_running, 0);
  for (const auto& e : echoes()) EXPECT_LE(e.size(), 56u);
}

// A device never ends and a zero byte is no text: neither runs; other line ends do.
TEST_F(Macro, DevicesAndBinaryStopOtherLineEndsRun) {
  std::filesystem::create_symlink("/dev/zero", dir() + "zero.txt");
  enter("MACR", "zero.txt\n");
  EXPECT_EQ(S().shell.macro_running, 0);
  EXPECT_NE(console().find(" Could not open selected file. No Macro will be run"),
            std::string::npos);

  write_file("binary.txt", std::string("AUTO\nab\0cd\nLOG\n", 16));
  enter("MACR", "binary.txt\n");
  EXPECT_EQ(S().shell.macro_running, 0);
  EXPECT_NE(console().find(" Macro stopped: line 2 of the macro file is not text"),
            std::string::npos);
  EXPECT_EQ(console().find("LOG  has been"), std::string::npos);

  clear_console();
  write_file("m.txt", "NOTE\rfirst\r\nLOG\r\n");
  enter("MACR", "m.txt\n");
  EXPECT_EQ(echoes(), (std::vector<std::string>{"NOTE", "first", "LOG"}));
}

}  // namespace
