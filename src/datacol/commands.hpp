// The data-collection commands of the command table. Each reads S().shell.command_argument and
// S().shell.continuation_code and reports through the output routines; the dispatcher only
// calls them.
#pragma once

namespace dorvex {

void RUN_INTEGR();
void RUN_INTALL();
void RUN_INTLIST();
void RUN_PSI();
void RUN_HKLF();  // reduction of a data file to F-squared and a CIF

}  // namespace dorvex
