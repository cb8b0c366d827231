// The command table and the dispatcher DRVX_DISP with its continuation mechanism, and the two
// sources of command lines: the command field (GET_COMMAND) and the macro file (GET_MACRO).
#pragma once

#include <string>
#include <string_view>

namespace dorvex {

// The 77 four-character entries in table order, one 308-character string.
extern const std::string_view kCommandTable;
constexpr int kCommandCount = 77;
constexpr int kCommandLength = 80;  // a command line and command_argument

// One window event with a typed line: reads it (or the macro's next line) and runs it; sets
// exit_flag to 1 only for EXIT. A running macro continues within the call.
void DRVX_DISP(int& exit_flag);
// Runs one already-read line exactly as DRVX_DISP does (new command or continuation line);
// returns false when the line was a blank command word (nothing ran).
bool dispatch_line(std::string_view line, int& exit_flag);

// The typed line of the command field, recorded in the user log after the current prompt.
void GET_COMMAND(std::string& line);
// The next line of the running macro, echoed; blank at its end (the macro then stops).
void GET_MACRO(std::string& line);
// True when the last GET_MACRO found the end of the file.
bool macro_ended();
// Closes a running macro (end of the program, tests).
void close_macro();

// A line as the dispatcher takes it: cut to 80 characters, every control character or byte
// outside printable ASCII replaced by a blank.
std::string clean_command_line(std::string_view raw);

// The four-character table entry of the command being run (for DIS_CMD).
std::string_view current_command_word();

}  // namespace dorvex
