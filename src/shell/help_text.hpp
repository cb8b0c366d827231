// One short explanation of every command of the table, for HELP CMD, and the nearest command
// names to a word that is no command.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dorvex {

struct CommandHelp {
  std::string_view name;       // the table entry, blank-padded to four characters
  std::string_view arguments;  // what is typed after the word, or what the command asks
  std::string_view action;     // what it does
  std::string_view example;    // a line to type
  bool discontinued = false;
};

// Every entry, in table order.
std::span<const CommandHelp> command_help_entries();
// The entry of a four-character table word, nullptr when there is none.
const CommandHelp* find_command_help(std::string_view word);
// The table's names nearest to `word` (blank-padded four letters, upper case) by edit
// distance (insertions, deletions, substitutions and swapped neighbours), all those at the
// smallest distance, none when even the nearest is far (more than two edits, or as many edits
// as the word has letters).
std::vector<std::string> nearest_commands(std::string_view word);
// Writes "  Nearest commands: ..." when some name is near `word`.
void WRITE_NEAREST_COMMANDS(std::string_view word);
// Writes the explanation of one command (HELP CMD).
void WRITE_COMMAND_HELP(std::string_view typed);

}  // namespace dorvex
