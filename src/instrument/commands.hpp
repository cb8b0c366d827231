// The manual instrument commands of the command table: drives, motors, shutter, slits, counter
// and the controller. Each reads S().shell.command_argument and S().shell.continuation_code and
// reports through the output routines; the dispatcher only calls them.
#pragma once

namespace dorvex {

void DRIV_COMMAND();  // DRIVEP with 1 and the out-of-bounds message
void MOTORU();
void MTINIT();
void ONBEAM_COMMAND();
void OFBEAM_COMMAND();
void STPALL_COMMAND();
void DRIVE_LIST();
void ZERO_COMMAND();
void RUN_VIEW();
void READ_INTERFACE_COMMAND();
void PARK_COMMAND();
void FILTER();
void HALF_SLITS();
void COUNTER();
void DIRECT_COMM();
void RUN_DEMO();
void GOTO_ANGLES();
void SEARCH_REFERENCE();

}  // namespace dorvex
