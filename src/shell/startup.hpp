// The main routine of the program: start-up in the chosen operating mode, the command loop
// and the exit sequence.
#pragma once

#include <string>

namespace dorvex {

constexpr int kAskForMode = 100;  // no mode given on the command line: the dialog asks

struct StartOptions {
  int mode = kAskForMode;   // MODE_NORMAL, MODE_DUMMY, MODE_SUPERVISOR or kAskForMode
  bool simulate = false;    // run against the controller simulator
  std::string crystal;      // the simulator's crystal file (empty: its sample crystal)
};

// Installs the window the program talks through: the full-screen master window, or the line
// console on standard input and output; close_console takes it down at the end of the run.
void open_console(bool full_screen);
void close_console();

// Runs the program to its end; returns the exit status (0 after the normal exit sequence or a
// cancelled mode dialog, 1 when start-up ends on a fatal error).
int DORVEX(const StartOptions& options);

}  // namespace dorvex
