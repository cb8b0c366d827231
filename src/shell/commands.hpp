// The routines of the command table. Each reads S().shell.command_argument and
// S().shell.continuation_code and reports through the output routines. The module that owns a
// command defines its routine; the dispatcher (shell/dispatcher.cpp) only calls them.
#pragma once

namespace dorvex {

// shell/
void HELP();
void RUN_NOTE();
void TEST();
void DIS_CMD();  // reads the command word of the line being dispatched
void RUN_MACRO();
void RUN_SET();
void SHOW();
void DISPLAY_UB();
void PRINT_MATRICES();

// geometry/ orientation and cell input
void GETCELL();
void ENTOM();
void RUN_CALCOM();
void ANGCAL();
void GETIDX();
void UBIMPORT();
void UBEXPORT();
void ANGLETABLE();
// geometry/ refinement and cell tools
void LSQ_COMMAND();  // LSQ with 0, then WRITE_MATFILE
void RUN_LSVEC();
void RUN_TRANS();
void INDXC();
void RUN_TTHREFINE();
void RUN_AUTOINDEX();  // INDA
void RUN_LATTICE();    // LATT

// reflections/
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

// instrument/ manual commands
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

// centring/
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

// datacol/
void RUN_INTEGR();
void RUN_INTALL();
void RUN_INTLIST();
void RUN_PSI();

}  // namespace dorvex
