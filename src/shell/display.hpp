// Display routines shared by SHOW, SET, the matrix-file loader and the geometry commands.
// Each writes through WRITE_OUT.
#pragma once

namespace dorvex {

void DISPLAY_TITLE();
void DISPLAY_WAVE();
void DISPLAY_CENTER_PARMS();
void DISPLAY_CELL();
void DISPLAY_CELL_ESD();
void PRINT_MATFILE();
void DISPLAY_DEVICE();
void DISPLAY_LIMITS();
void DISPLAY_DEVICE_TYPES();
void DISPLAY_COMM();
void DISPLAY_DATA_PARMS();

}  // namespace dorvex
