#include "shell/display.hpp"

namespace dorvex {

// Filled in with the settings displays.
void DISPLAY_TITLE() {}
void DISPLAY_WAVE() {}
void DISPLAY_CENTER_PARMS() {}
void DISPLAY_CELL() {}
void DISPLAY_CELL_ESD() {}
void PRINT_MATFILE() {}
void DISPLAY_DEVICE() {}
void DISPLAY_LIMITS() {}
void DISPLAY_DEVICE_TYPES() {}
void DISPLAY_COMM() {}
void DISPLAY_DATA_PARMS() {}

}  // namespace dorvex
