// The master window's status fields, the prompt and command field, and the scan plot.
// The status routines change nothing outside NORMAL mode unless noted.
#pragma once

#include <string_view>
#include <vector>

#include "common/state.hpp"

namespace dorvex {

// What the goniometer is doing (action code 0 waiting, 1 to 5 and 8 a scan, 10 moving,
// 11 counting, 12 limit active; other codes keep the text), where, and the indices there.
// The instrument's DISPLAY_ACTION works out the indices of the angles and calls this.
void show_action(int action_code, const AngleSet& angles, const Vec3& hkl);
void DISPLAY_SHUTTER(int state);  // 0 closed, 1 open, 2 error, 3 disabled
void DISPLAY_SLITS(float slit1, float slit2);
void DISPLAY_COUNTER(float rate);
void DISPLAY_DD(float value);
void DISPLAY_SAMPLEZ(float value);
void DISPLAY_MATFILE();  // all modes
void DISPLAY_DATFILE();
void SET_MASTER_TITLE();
void SET_SUPERV_TITLE();
// Tells the window that fields of S().status were set directly (all modes).
void refresh_status();

void SET_PROMPT(std::string_view text);
void SET_PROMPT_DORVEX();
void BLANK_COM();

// Date and time texts used by prompts and logs: "07-DEC-26" and "14:10".
std::string date_text();
std::string time_hhmm();

void PLOTSCAN(int n, const float* x, const float* y);
void PLOT_DATA_LINE(const std::vector<float>& x, const std::vector<float>& y);
void PLOT_MARKER(float x, float value);
void CLEAR_PLOT();

}  // namespace dorvex
