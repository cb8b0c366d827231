// The centring commands of the command table: centring, zero offsets, searches, scans and
// photographs. Each reads S().shell.command_argument and S().shell.continuation_code and
// reports through the output routines; the dispatcher only calls them.
#pragma once

namespace dorvex {

void CNTR_COMMAND(int variant);  // CNTR with 0, CENT with 1
void RUN_REFINE();
void RUN_ZREF();
void RUN_ZREF_MULTI();
void RUN_CEN8();
void RUN_SEARCH();
void PROFST();
void RUN_CONE();
void RUN_SCANHKL();
void PHOTO_SCAN();
void INPUT_PHOTO();
void RUN_STEP();

}  // namespace dorvex
