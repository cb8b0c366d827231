// The shell's own routines of the command table. Each reads S().shell.command_argument and
// S().shell.continuation_code and reports through the output routines. Every folder declares
// the command routines it owns in its own commands.hpp; the dispatcher (shell/dispatcher.cpp)
// includes those and only calls them.
#pragma once

namespace dorvex {

void HELP();
void RUN_NOTE();
void TEST();
void DIS_CMD();  // reads the command word of the line being dispatched
void RUN_MACRO();
void RUN_SET();
void SHOW();

}  // namespace dorvex
