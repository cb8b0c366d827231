// Status fields, prompt and command field, and the scan plot. The fields live in S().status;
// each routine updates the record with the values it is handed and tells the window. Outside
// NORMAL mode the status and plot routines change nothing (the virtual window has neither),
// except where noted.
#include "console/status.hpp"

#include <algorithm>

#include "common/fields.hpp"
#include "toolkit/toolkit.hpp"

namespace dorvex {

namespace {

bool normal_mode() { return S().shell.operating_mode == MODE_NORMAL; }

void refresh() { toolkit().status_changed(S().status); }

const char* action_text(int code) {
  switch (code) {
    case 0: return "Waiting at:";
    case 1: return "Om-2th scan at:";
    case 2: return "Omega scan at:";
    case 3: return "Chi scan at:";
    case 4: return "Phi scan at:";
    case 5: return "2th scan at:";
    case 8: return "Sample Z scan at:";
    case 10: return "Moving to:";
    case 11: return "Counting at:";
    case 12: return "Limit active at:";
    default: return nullptr;
  }
}

std::string trimmed(const std::string& text) { return std::string(trim(text)); }

}  // namespace

void refresh_status() { refresh(); }

void report_positions() { S().status.positions_asked = true; }

void WRITE_STATUS(std::string_view text) { toolkit().status_line(text); }

void REPORT_STATUS() {
  StatusFields& now = S().status;
  StatusFields& told = S().status_reported;
  if (now.angles != told.angles || now.positions_asked) {
    const AngleSet& a = now.angles;
    WRITE_STATUS("  At: 2theta" + F(a[0], 9, 3) + "  omega" + F(a[1], 9, 3) + "  chi" +
                 F(a[2], 9, 3) + "  phi" + F(a[3], 9, 3));
  }
  now.positions_asked = false;
  if (now.count_serial != told.count_serial) {
    WRITE_STATUS("  Count rate: " + trimmed(F(now.count_rate, 12, 1)) + " cps (" +
                 std::to_string(now.counts) + " counts in " +
                 trimmed(F(now.count_seconds, 10, 2)) + " s)");
  }
  if (now.slit1 != told.slit1 || now.slit2 != told.slit2)
    WRITE_STATUS("  Slits: " + trimmed(F(now.slit1, 9, 2)) + " " + trimmed(F(now.slit2, 9, 2)));
  if (now.shutter != told.shutter) WRITE_STATUS("  " + now.shutter);
  if (now.detector != told.detector)
    WRITE_STATUS("  Detector: " + trimmed(F(now.detector, 10, 2)));
  if (now.sample_z != told.sample_z)
    WRITE_STATUS("  Sample Z: " + trimmed(F(now.sample_z, 10, 3)));
  told = now;
}

void show_action(int action_code, const AngleSet& angles, const Vec3& hkl) {
  if (!normal_mode()) return;
  ProgramState& state = S();
  state.status.angles = angles;
  state.status.hkl = F(hkl[0], 6, 1) + F(hkl[1], 6, 1) + F(hkl[2], 6, 1);
  if (const char* text = action_text(action_code)) state.status.action = text;
  refresh();
}

void DISPLAY_SHUTTER(int state) {
  if (!normal_mode()) return;
  switch (state) {
    case 0: S().status.shutter = "Shutter: closed"; break;
    case 1: S().status.shutter = "Shutter: open"; break;
    case 2: S().status.shutter = "Shutter: ERROR"; break;
    case 3: S().status.shutter = "Shutter: disabled"; break;
    default: return;
  }
  refresh();
}

void DISPLAY_SLITS(float slit1, float slit2) {
  if (!normal_mode()) return;
  S().status.slit1 = slit1;
  S().status.slit2 = slit2;
  refresh();
}

void DISPLAY_COUNTER(float rate) {
  if (!normal_mode()) return;
  S().status.count_rate = rate;
  refresh();
}

void DISPLAY_COUNT(float rate, float seconds) {
  if (!normal_mode()) return;
  StatusFields& f = S().status;
  f.count_rate = rate;
  f.count_seconds = seconds;
  f.counts = NINT(rate * seconds);
  ++f.count_serial;
  refresh();
}

void DISPLAY_PROGRESS(std::string_view text) {
  if (!normal_mode() || S().status.progress == text) return;
  S().status.progress = std::string(text);
  refresh();
}

void DISPLAY_DD(float value) {
  if (!normal_mode()) return;
  S().status.detector = value;
  refresh();
}

void DISPLAY_SAMPLEZ(float value) {
  if (!normal_mode()) return;
  S().status.sample_z = value;
  refresh();
}

void DISPLAY_MATFILE() {
  S().status.experiment = S().shell.matfile_name.substr(0, 20);
  refresh();
}

void DISPLAY_DATFILE() {
  if (!normal_mode()) return;
  const ShellState& shell = S().shell;
  S().status.datafile = shell.datfile_set != 0 ? shell.datfile_name.substr(0, 20) : std::string();
  refresh();
}

void SET_MASTER_TITLE() {
  const std::string name(trim(S().profile.difnam));
  if (name.empty()) return;
  S().status.title = "Simulation of " + name;
  refresh();
}

void SET_SUPERV_TITLE() {
  const std::string name(trim(S().profile.difnam));
  if (name.empty()) return;
  S().status.title = "Supervisor mode on " + name;
  refresh();
}

void SET_PROMPT(std::string_view text) {
  S().shell.prompt = std::string(rtrim(text));
  toolkit().set_prompt(S().shell.prompt.empty() ? std::string_view(" ") : S().shell.prompt);
}

void SET_PROMPT_DORVEX() {
  const char* suffix = ":DMDORVEX>";
  if (S().shell.operating_mode == MODE_NORMAL) suffix = ":DORVEX>";
  if (S().shell.operating_mode == MODE_SUPERVISOR) suffix = ":SUPERV>";
  SET_PROMPT(date_text() + ":" + time_hhmm() + suffix);
}

void BLANK_COM() { toolkit().enable_command_field(false); }

void PLOTSCAN(int n, const float* x, const float* y) {
  if (!normal_mode() || n <= 0 || x == nullptr || y == nullptr) return;
  ScanPlot plot;
  plot.x.assign(x, x + n);
  plot.y.assign(y, y + n);
  const auto largest = std::max_element(plot.y.begin(), plot.y.end());
  plot.max_index = static_cast<int>(largest - plot.y.begin());
  plot.y_max = std::max(*largest, 10.0f);
  float width = 0, height = 0;
  toolkit().plot_frame_size(width, height);
  const float span = plot.x.back() - plot.x.front();
  plot.x_scale = span <= 0.01f ? width * 100.0f : width / span;
  plot.y_scale = 0.95f * height / plot.y_max;
  plot.left_label = F(plot.x.front(), 8, 3);
  plot.right_label = F(plot.x.back(), 8, 3);
  // The true largest count is printed, also when the scale is held at 10.
  plot.max_text = "Max: " + I(NINT(*largest), 7) + " at " + F(plot.x[static_cast<std::size_t>(
                                                                    plot.max_index)], 8, 3);
  toolkit().plot_scan(plot);
}

void PLOT_DATA_LINE(const std::vector<float>& x, const std::vector<float>& y) {
  if (!normal_mode()) return;
  toolkit().plot_curve(x, y);
}

void PLOT_MARKER(float x, float value) {
  if (!normal_mode()) return;
  toolkit().plot_marker(x, F(value, 9, 4));
}

void CLEAR_PLOT() {
  if (!normal_mode()) return;
  toolkit().plot_clear();
}

}  // namespace dorvex
