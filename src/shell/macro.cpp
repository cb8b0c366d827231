// Macro files: command lines (and the answers to the commands' questions) read from a text
// file and run through the dispatcher as if typed.
#include <fstream>
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

// The next line of the file, at most 80 characters kept (the rest of a longer line, or of a
// file without line breaks, is skipped without being held in memory). False at the end.
bool read_macro_line(std::string& line) {
  line.clear();
  if (!macro_file.is_open() || !macro_file.good()) return false;
  bool any = false;
  for (;;) {
    const int c = macro_file.get();
    if (c == std::char_traits<char>::eof()) return any;
    any = true;
    if (c == '\n') return true;
    if (line.size() < static_cast<std::size_t>(kCommandLength)) line += static_cast<char>(c);
  }
}

}  // namespace

void RUN_MACRO() {
  const auto chosen = toolkit().file_browser("DORVEX: Open Macro File", "*.txt|Text File",
                                             S().shell.data_directory, "");
  if (!chosen || trim(*chosen).empty()) return;
  const std::string name(trim(*chosen));
  std::ifstream file;
  if (readable_file(name)) file.open(name);
  if (!file.is_open()) {
    WRITE_OUT(" Could not open selected file. No Macro will be run");
    return;
  }
  // A macro started from a macro takes the place of the running one.
  close_macro();
  macro_file = std::move(file);
  S().shell.macro_running = 1;
}

void GET_MACRO(std::string& line) {
  std::string raw;
  end_of_macro = !read_macro_line(raw);
  if (end_of_macro) {
    close_macro();
    line = std::string(kCommandLength, ' ');
    return;
  }
  line = pad(clean_command_line(raw), kCommandLength);
  const LocalTime now = local_now();
  const std::string prompt = date_text(now) + ":" + I(now.hour / 10, 1) + I(now.hour % 10, 1) +
                             ":" + I(now.minute / 10, 1) + I(now.minute % 10, 1) + ":MACRO>";
  WRITE_OUT(prompt + std::string(rtrim(line.substr(0, 56))));
}

bool macro_ended() { return end_of_macro; }

void close_macro() {
  if (macro_file.is_open()) macro_file.close();
  macro_file.clear();
  S().shell.macro_running = 0;
}

}  // namespace dorvex
