// Display routines shared by SHOW, SET, the matrix-file loader and the geometry commands: the
// crystal and the settings its matrix file holds. Each writes through WRITE_OUT.
#pragma once

namespace dorvex {

void DISPLAY_CENTER_PARMS();
void DISPLAY_CELL();
void DISPLAY_CELL_ESD();
void PRINT_MATFILE();
void DISPLAY_DEVICE();
void DISPLAY_LIMITS();
// Every circle's working limits, 2theta and omega included (SHOW LIMITS).
void DISPLAY_CIRCLE_LIMITS();
void DISPLAY_DATA_PARMS();
void DISPLAY_UB();      // PROM and SHOW UB: the orientation matrix
void PRINT_MATRICES();  // PMAT: UB, the metric tensors, B and U

}  // namespace dorvex
