// The toolkit adapter: what the program needs of its window. Two back ends implement it:
// `line` (standard input and output, for scripts and tests) and `tui` (the full-screen master
// window). No folder other than toolkit/ includes a back end; everything else calls toolkit().
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/state.hpp"

namespace dorvex {

// Callback numbers returned by Toolkit::action().
enum : int {
  CB_CLOSED = -1,     // the window was closed (end of input on the line console)
  CB_NONE = 0,
  CB_COMMAND = 21,    // a line was entered in the command field
  CB_TIMER = 990,     // timer tick of a motor wait, count or scan
  CB_HALT = 9999,     // the halt button (Ctrl-C on the line console)
};

enum class Style { normal, warning };

// A finished scan prepared for drawing (the scaling of PLOTSCAN).
struct ScanPlot {
  std::vector<float> x, y;
  float y_max = 10;        // full vertical scale (largest count, at least 10)
  int max_index = 0;       // first point with the largest count
  float x_scale = 0;       // frame width / (x(n) - x(1)), or width * 100 for a span <= 0.01
  float y_scale = 0;       // 0.95 * frame height / y_max
  std::string left_label;  // x(1), F8.3
  std::string right_label; // x(n), F8.3
  std::string max_text;    // "Max: " I7 " at " F8.3
};

class Toolkit {
 public:
  virtual ~Toolkit() = default;

  // Window lifetime. `hardware` selects the hardware variant (NORMAL mode).
  virtual void create_master(bool hardware) = 0;
  virtual void close() = 0;

  // Console (the scrolling teletype area).
  virtual void console_line(std::string_view text, Style style) = 0;

  // Command field.
  virtual void set_prompt(std::string_view prompt) = 0;
  virtual void enable_command_field(bool enabled) = 0;

  // gmAction: waits for the next event and returns its callback number; for CB_COMMAND the
  // typed line is available from last_line().
  virtual int action() = 0;
  virtual std::string last_line() const = 0;
  // gmDefineTimerCallback: interval in units of 10 ms; callback 0 switches the timer off.
  virtual void define_timer(int interval, int callback) = 0;
  // Non-blocking look for a pending halt (Ctrl-C or the halt key) without consuming a line.
  virtual bool halt_pending() = 0;
  // True once the operator can no longer answer (end of input on the line console): the
  // command loop then takes the quit question as Yes instead of asking it.
  virtual bool input_ended() const { return false; }

  // Dialogs.
  virtual bool yes_no(std::string_view title, std::string_view question) = 0;
  virtual void info_box(std::string_view title, std::string_view text) = 0;
  virtual void error_box(std::string_view title, std::string_view text) = 0;
  // Open-file dialog: `filters` as "pattern|description|pattern|description...". Returns the
  // chosen path (absolute, or relative to start_dir made absolute), or nothing on cancel.
  virtual std::optional<std::string> file_browser(std::string_view title, std::string_view filters,
                                                  std::string_view start_dir,
                                                  std::string_view prefill) = 0;
  // Start-up mode dialog: 1 real, 0 dummy, -1 supervisor, 99 cancelled.
  virtual int mode_dialog() = 0;

  // Status fields changed (the record is S().status).
  virtual void status_changed(const StatusFields& fields) = 0;
  // A line of what the status fields and the plot show (positions after a drive, a count, the
  // points of a profile, progress of long work): the line console prints it, a window that
  // shows the fields does not need it.
  virtual void status_line(std::string_view) {}

  // Scan plot frame.
  virtual void plot_frame_size(float& width, float& height) const = 0;
  virtual void plot_scan(const ScanPlot& plot) = 0;
  virtual void plot_curve(const std::vector<float>& x, const std::vector<float>& y) = 0;
  virtual void plot_marker(float x, std::string_view label) = 0;
  virtual void plot_clear() = 0;
};

// The back end in use. Until one is installed, a line console on standard input and output
// serves (so that a routine called from a unit test always has a console).
Toolkit& toolkit();
void set_toolkit(std::unique_ptr<Toolkit> backend);

}  // namespace dorvex
