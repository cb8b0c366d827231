// The command table, the mode rules and the continuation mechanism.
#include "common/state.hpp"
#include "shell/commands.hpp"
#include "shell/dispatcher.hpp"
#include "console/status.hpp"
#include "support/run_dorvex.hpp"
#include "support/shell_fixture.hpp"

namespace {

using dorvex::S;
using dorvex_test::lines;

class Dispatcher : public dorvex_test::ShellFixture {
 protected:
  int run(const std::string& line) {
    int exit_flag = -1;
    dorvex::dispatch_line(line, exit_flag);
    return exit_flag;
  }
};

TEST_F(Dispatcher, TableHasSeventyEightEntriesInOrder) {
  ASSERT_EQ(dorvex::kCommandTable.size(), 312u);
  EXPECT_EQ(dorvex::kCommandTable.substr(0, 16), "HELPEXITCELLOM  ");
  EXPECT_EQ(dorvex::kCommandTable.substr(4 * 7, 4), "DC I");
  EXPECT_EQ(dorvex::kCommandTable.substr(4 * 56, 4), "LOG ");
  EXPECT_EQ(dorvex::kCommandTable.substr(296), "MACRHKLFINDALATT");
}

TEST_F(Dispatcher, ExitMatchesInAnyCaseAndKeepsTheTailAsArgument) {
  for (const char* line : {"exit", "Exit", "EXIT", "eXiT   "}) {
    EXPECT_EQ(run(line), 1) << line;
  }
  EXPECT_EQ(run("EXITNOW"), 1);
  EXPECT_EQ(S().shell.command_argument.substr(0, 4), "NOW ");
  EXPECT_EQ(S().shell.command_argument.size(), 80u);
  EXPECT_EQ(run(" EXIT"), 0);  // the word is columns 1 to 4
  EXPECT_EQ(console(), "Unknown command\n  Nearest commands: EXIT (HELP lists them all)\n");
}

TEST_F(Dispatcher, WordsAreMatchedOnFourColumnsExactly) {
  run("dc i");
  EXPECT_EQ(dorvex::current_command_word(), "DC I");
  run("om");
  EXPECT_EQ(dorvex::current_command_word(), "OM  ");
  EXPECT_EQ(console().find("Unknown command"), std::string::npos);
  S().shell.continuation_code = 0;  // OM waits for the matrix: abandon it
  clear_console();
  run("DCI");
  run("OMX");
  EXPECT_EQ(console(),
            "Unknown command\n  Nearest commands: DC I (HELP lists them all)\n"
            "Unknown command\n  Nearest commands: OM (HELP lists them all)\n");
  // Lower case reaches the command in upper case.
  clear_console();
  run("help");
  EXPECT_NE(console().find(" The Following commands are available:"), std::string::npos);
}

TEST_F(Dispatcher, DiscontinuedCommandsKeepTheStoredPadBlank) {
  run("LOG");
  run("pow 3");
  run("AUTO");
  EXPECT_EQ(console(),
            "The command LOG  has been discontinued\n"
            "The command POW  has been discontinued\n"
            "The command AUTO has been discontinued\n");
}

TEST_F(Dispatcher, ContinuationLineGoesWholeToTheWaitingCommand) {
  run("NOTE");
  EXPECT_EQ(S().shell.continuation_code, 28);
  EXPECT_EQ(S().shell.prompt, "NOTE >");
  clear_console();
  run("HELP me with this");  // a note line, not a command
  EXPECT_EQ(console(), "");
  EXPECT_EQ(S().shell.command_argument.substr(0, 17), "HELP me with this");
  EXPECT_EQ(S().shell.continuation_code, 28);
  EXPECT_EQ(run("Exit"), 0);  // "Exit" is neither "exit" nor "EXIT": still a note line
  EXPECT_EQ(S().shell.continuation_code, 28);
  EXPECT_EQ(run("exit the note"), 0);
  EXPECT_EQ(S().shell.continuation_code, 0);
  EXPECT_NE(S().shell.prompt.find(":DMDORVEX>"), std::string::npos);
}

TEST_F(Dispatcher, ModeRulesSkipCommandsTheVirtualModeWithOneLine) {
  S().shell.operating_mode = dorvex::MODE_DUMMY;
  for (const char* line : {"DRIV", "MOT 1 2", "FILT", "HALF", "CPOS", "DCOM"}) {
    EXPECT_EQ(run(line), 0) << line;
    EXPECT_EQ(S().shell.continuation_code, 0) << line;
  }
  EXPECT_EQ(console(), " DRIV: nothing moved or counted on the virtual diffractometer\n"
                       " MOT: nothing moved or counted on the virtual diffractometer\n"
                       " FILT: nothing moved or counted on the virtual diffractometer\n"
                       " HALF: nothing moved or counted on the virtual diffractometer\n"
                       " CPOS: nothing moved or counted on the virtual diffractometer\n"
                       " DCOM: nothing moved or counted on the virtual diffractometer\n");
  clear_console();

  S().shell.operating_mode = dorvex::MODE_SUPERVISOR;
  run("HELP");
  run("CELL");
  run("NOTE");
  EXPECT_EQ(console(), "");
  EXPECT_EQ(S().shell.continuation_code, 0);
  EXPECT_NE(S().shell.prompt.find(":SUPERV>"), std::string::npos);
  EXPECT_EQ(run("EXIT"), 1);
}

TEST_F(Dispatcher, LinesNoCommandCanTakeAreConsumedAndTheQuestionDropped) {
  S().shell.operating_mode = dorvex::MODE_DUMMY;
  S().shell.continuation_code = 77;  // no command has this code
  EXPECT_EQ(run("HELP"), 0);
  EXPECT_EQ(console(), "");
  EXPECT_EQ(S().shell.continuation_code, 0);
  S().shell.continuation_code = 2;  // MOT's answer, honoured only with hardware
  EXPECT_EQ(run("EXIT"), 0);
  EXPECT_EQ(S().shell.continuation_code, 0);
  EXPECT_EQ(console(), "");
}

TEST_F(Dispatcher, ControlCharactersAndForeignBytesAreBlanks) {
  EXPECT_EQ(dorvex::clean_command_line(std::string("HE\tLP\x01\x7f\xc3\xa9", 9)),
            "HE LP    ");
  EXPECT_EQ(dorvex::clean_command_line(std::string(200, 'A')).size(), 80u);
  run(std::string("N\0TE", 4));
  EXPECT_EQ(console(), "Unknown command\n  Nearest commands: NOTE (HELP lists them all)\n");
  EXPECT_EQ(run(std::string("\x1b[A\n", 4)), 0);
}

TEST_F(Dispatcher, BlankCommandDoesNothing) {
  int exit_flag = 5;
  EXPECT_FALSE(dorvex::dispatch_line("    ", exit_flag));
  EXPECT_EQ(exit_flag, 0);
  EXPECT_FALSE(dorvex::dispatch_line("", exit_flag));
  EXPECT_EQ(console(), "");
}

TEST_F(Dispatcher, TypedLineIsLoggedAfterThePrompt) {
  dorvex::SET_PROMPT_DORVEX();
  const std::string prompt = S().shell.prompt;
  type("note\nsome words\n");
  ASSERT_EQ(dorvex::toolkit().action(), dorvex::CB_COMMAND);
  int exit_flag = 0;
  dorvex::DRVX_DISP(exit_flag);
  ASSERT_EQ(dorvex::toolkit().action(), dorvex::CB_COMMAND);
  dorvex::DRVX_DISP(exit_flag);
  const auto log = lines(read_file("DORVEX_TEMP.LOG"));
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ(log[0], prompt + "note");
  EXPECT_EQ(log.back(), "NOTE >some words");
  // The console shows each prompt as a line of its own (the output is no terminal).
  EXPECT_EQ(lines(console())[0], prompt);
}

}  // namespace
