// A console back end for unit tests: records every console line and error box, answers no
// question. Installed by the fixtures of the profile and settings tests.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/toolkit.hpp"

namespace dorvex::testing_support {

class CaptureConsole : public Toolkit {
 public:
  std::vector<std::string> lines;
  std::vector<std::string> errors;  // texts of error boxes

  void create_master(bool) override {}
  void close() override {}
  void console_line(std::string_view text, Style) override { lines.emplace_back(text); }
  void set_prompt(std::string_view p) override { prompt = std::string(p); }
  void enable_command_field(bool) override {}
  int action() override { return CB_CLOSED; }
  std::string last_line() const override { return {}; }
  void define_timer(int, int) override {}
  bool halt_pending() override { return false; }
  bool yes_no(std::string_view, std::string_view) override { return false; }
  void info_box(std::string_view, std::string_view text) override { lines.emplace_back(text); }
  void error_box(std::string_view, std::string_view text) override { errors.emplace_back(text); }
  std::optional<std::string> file_browser(std::string_view, std::string_view, std::string_view,
                                          std::string_view) override {
    return std::nullopt;
  }
  int mode_dialog() override { return 0; }
  void status_changed(const StatusFields&) override {}
  void plot_frame_size(float& w, float& h) const override { w = h = 100; }
  void plot_scan(const ScanPlot&) override {}
  void plot_curve(const std::vector<float>&, const std::vector<float>&) override {}
  void plot_marker(float, std::string_view) override {}
  void plot_clear() override {}

  std::string prompt;

  bool has_line(const std::string& text) const {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  }
  bool any_line_contains(const std::string& part) const {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
  }
};

// Installs a fresh capture console and returns it (owned by the toolkit adapter).
inline CaptureConsole& install_capture_console() {
  auto console = std::make_unique<CaptureConsole>();
  CaptureConsole& ref = *console;
  set_toolkit(std::move(console));
  return ref;
}

}  // namespace dorvex::testing_support
