// The geometry commands of the command table: orientation and cell input, refinement and cell
// tools. Each reads S().shell.command_argument and S().shell.continuation_code and reports
// through the output routines; the dispatcher only calls them.
#pragma once

namespace dorvex {

// Orientation and cell input.
void GETCELL();
void ENTOM();
void RUN_CALCOM();
void ANGCAL();
void GETIDX();
void UBIMPORT();
void UBEXPORT();
void ANGLETABLE();
// Refinement and cell tools.
void LSQ_COMMAND();  // LSQ with 0, then WRITE_MATFILE
void RUN_LSVEC();
void RUN_TRANS();
void INDXC();
void RUN_TTHREFINE();
void RUN_AUTOINDEX();  // INDA
void RUN_LATTICE();    // LATT

}  // namespace dorvex
