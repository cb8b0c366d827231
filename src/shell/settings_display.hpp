// The displays only SHOW and SET use. Each writes through WRITE_OUT.
#pragma once

namespace dorvex {

void DISPLAY_TITLE();
void DISPLAY_WAVE();
void DISPLAY_DEVICE_TYPES();
void DISPLAY_COMM();

}  // namespace dorvex
