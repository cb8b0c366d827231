// Macro files: command lines (and the answers to the commands' questions) read from a text
// file and run through the dispatcher as if typed.
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "console/clock.hpp"
#include "shell/commands.hpp"
#include "shell/dispatcher.hpp"
#include "console/output.hpp"
#include "console/status.hpp"
#include "toolkit/toolkit.hpp"

namespace dorvex {

namespace {

std::ifstream macro_file;
bool end_of_macro = false;
int macro_line_number = 0;

// A line this long is no command line: the file is not a macro.
constexpr std::size_t kLongestLine = 4096;

enum class MacroLine { line, end, not_text };

// The next line of the file (LF, CR LF or CR ends it), at most 80 characters kept; the rest of
// a longer line is skipped without being held in memory. A zero byte or a line longer than
// any command line means the file is not text (a binary file, a device).
MacroLine read_macro_line(std::string& line) {
  line.clear();
  if (!macro_file.is_open() || !macro_file.good()) return MacroLine::end;
  std::size_t length = 0;
  for (;;) {
    const int c = macro_file.get();
    if (c == std::char_traits<char>::eof()) return length > 0 ? MacroLine::line : MacroLine::end;
    if (c == '\0' || ++length > kLongestLine) return MacroLine::not_text;
    if (c == '\n') break;
    if (c == '\r') {
      if (macro_file.peek() == '\n') macro_file.get();
      break;
    }
    if (line.size() < static_cast<std::size_t>(kCommandLength)) line += static_cast<char>(c);
  }
  ++macro_line_number;
  return MacroLine::line;
}

// The next macro line, echoed after the macro prompt; false at the end of the macro (which
// is then closed, with a word when the file turned out not to be text).
bool next_macro_line(std::string& line) {
  std::string raw;
  const MacroLine got = read_macro_line(raw);
  if (got != MacroLine::line) {
    if (got == MacroLine::not_text)
      WRITE_OUT(" Macro stopped: line " + std::to_string(macro_line_number + 1) +
                " of the macro file is not text");
    close_macro();
    return false;
  }
  line = pad(clean_command_line(raw), kCommandLength);
  const LocalTime now = local_now();
  const std::string prompt = date_text(now) + ":" + I(now.hour / 10, 1) + I(now.hour % 10, 1) +
                             ":" + I(now.minute / 10, 1) + I(now.minute % 10, 1) + ":MACRO>";
  WRITE_OUT(prompt + std::string(rtrim(line.substr(0, 56))));
  return true;
}

}  // namespace

void RUN_MACRO() {
  ShellState& shell = S().shell;
  std::optional<std::string> chosen;
  if (shell.macro_running != 0 && macro_file.is_open()) {
    // Started from a macro: the file name is the macro's next line, as the file browser's
    // answer would be (a name relative to the data directory).
    std::string line;
    if (!next_macro_line(line)) {
      WRITE_OUT(" Could not open selected file. No Macro will be run");
      return;
    }
    std::string name(trim(line));
    if (!name.empty() && name[0] != '/') name = shell.data_directory + name;
    chosen = name;
  } else {
    chosen = toolkit().file_browser("DORVEX: Open Macro File", "*.txt|Text File",
                                    shell.data_directory, "");
  }
  if (!chosen || trim(*chosen).empty()) return;
  const std::string name(trim(*chosen));
  std::error_code ignored;
  std::ifstream file;
  if (std::filesystem::is_regular_file(name, ignored) && readable_file(name)) file.open(name);
  if (!file.is_open()) {
    WRITE_OUT(" Could not open selected file. No Macro will be run");
    return;
  }
  // A macro started from a macro takes the place of the running one.
  close_macro();
  macro_file = std::move(file);
  macro_line_number = 0;
  shell.macro_running = 1;
}

void GET_MACRO(std::string& line) {
  end_of_macro = !next_macro_line(line);
  if (end_of_macro) line = std::string(kCommandLength, ' ');
}

bool macro_ended() { return end_of_macro; }

void close_macro() {
  if (macro_file.is_open()) macro_file.close();
  macro_file.clear();
  S().shell.macro_running = 0;
}

}  // namespace dorvex
