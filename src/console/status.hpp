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
// A count of COUN: the rate, and the counts and seconds it came from.
void DISPLAY_COUNT(float rate, float seconds);
// Long work in progress (empty text: none).
void DISPLAY_PROGRESS(std::string_view text);
void DISPLAY_DD(float value);
void DISPLAY_SAMPLEZ(float value);
void DISPLAY_MATFILE();  // all modes
void DISPLAY_DATFILE();
void SET_MASTER_TITLE();
void SET_SUPERV_TITLE();
// Tells the window that fields of S().status were set directly (all modes).
void refresh_status();

// For a console without status fields (the line console): one line each for what changed in
// the fields since the last report ("  At: ..." after a drive, "  Count rate: ..." after a
// count, the slits, the shutter, the detector and sample height). The dispatcher calls it
// when a command or an answer has been handled. report_positions() asks for the positions
// also when they did not change (CPOS).
void REPORT_STATUS();
void report_positions();
// A line for a console without status fields or plot only (the points of a profile, progress).
void WRITE_STATUS(std::string_view text);

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
