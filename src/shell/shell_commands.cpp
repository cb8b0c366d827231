// The small commands of the shell: HELP (the list, or one command explained), NOTE, TEST and the answer of discontinued commands.
#include <string>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "shell/commands.hpp"
#include "shell/dispatcher.hpp"
#include "shell/help_text.hpp"
#include "console/output.hpp"
#include "console/status.hpp"

namespace dorvex {

namespace {
constexpr int kNoteCode = 28;
constexpr int kPerLine = 7;
}  // namespace

void HELP() {
  // HELP CMD explains one command; HELP alone lists them all.
  const std::string_view topic = trim(S().shell.command_argument);
  if (!topic.empty()) {
    WRITE_COMMAND_HELP(topic);
    return;
  }
  WRITE_OUT("");
  WRITE_OUT(" The Following commands are available:");
  WRITE_OUT("");
  std::string line;
  for (int i = 0; i < kCommandCount; ++i) {
    line += "   ";
    line += kCommandTable.substr(static_cast<std::size_t>(4 * i), 4);
    if ((i + 1) % kPerLine == 0 || i + 1 == kCommandCount) {
      WRITE_OUT(line);
      line.clear();
    }
  }
  WRITE_OUT("");
  WRITE_OUT(" HELP followed by a command name explains that command (HELP CALC)");
  WRITE_OUT("");
}

void RUN_NOTE() {
  ShellState& shell = S().shell;
  if (shell.continuation_code != kNoteCode) {
    shell.continuation_code = kNoteCode;
    WRITE_OUT("");
    WRITE_OUT("********************NOTE********************");
    WRITE_OUT(" type EXIT to exit");
    SET_PROMPT("NOTE >");
    return;
  }
  // The line itself is already in the user log after the prompt (GET_COMMAND).
  const std::string word = columns(shell.command_argument, 1, 4);
  if (word == "exit" || word == "EXIT") {
    shell.continuation_code = 0;
    return;
  }
  SET_PROMPT("NOTE >");
}

void TEST() {}

void DIS_CMD() {
  WRITE_OUT("The command " + pad(current_command_word(), 4) + " has been discontinued");
}

}  // namespace dorvex
