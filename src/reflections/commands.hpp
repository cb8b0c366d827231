// The reflection-list commands of the command table. Each reads S().shell.command_argument and
// S().shell.continuation_code and reports through the output routines; the dispatcher only
// calls them.
#pragma once

namespace dorvex {

void DISPLAY_LIST();
void INSERT_HKL();
void INSERT_ANGLES();
void INSERT_HKL_ANGLES();
void DELETE_LIST();
void USE_LIST();
void OMIT_LIST();
void INDEX_LIST();
void SORT_LIST();
void INSERT_LAUE();

}  // namespace dorvex
