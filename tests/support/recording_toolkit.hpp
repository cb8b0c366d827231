// The window back end of the tests, fuzz targets and benchmarks: it records what the program
// shows and answers the program's dialogs from queues the caller fills.
//
//   auto& tk = dorvex_test::install_recording_toolkit();  // the program's back end from now on
//   tk.yes_no_answers = {true};            // yes/no boxes; an empty queue answers No
//   tk.browser_answers = {dir + "a.mat"};  // file browsers; an empty queue (or nullopt) cancels
//   tk.mode_answers = {dorvex::MODE_DUMMY};  // mode dialog; an empty queue cancels
//   ... call the routine ...
//   tk.has_line(" DONE")   // a line shown exactly so;  tk.printed("DON"): a line containing it
//   tk.take()              // the lines shown since the last take(), which are then forgotten
//
// Recorded: `lines` (console lines and the texts of information and error boxes, in order),
// `warnings` (the console lines in the warning style, also in `lines`), `errors` (texts of
// error boxes), `prompt` and `prompts` (the current prompt, every prompt set), `questions`
// (yes/no questions and file browser titles), `status_updates`, and what is drawn in the plot
// frame (`plots`, `curves`, `markers`). With `record = false` nothing is kept (fuzz targets and
// benchmarks, which would otherwise grow without bound); the queues still answer.
// The window has no events: action() reports it closed, and no halt is ever pending.
#pragma once

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/state.hpp"
#include "toolkit/toolkit.hpp"

namespace dorvex_test {

class RecordingToolkit : public dorvex::Toolkit {
 public:
  bool record = true;
  float plot_width = 100, plot_height = 100;  // size of the plot frame

  std::vector<std::string> lines;
  std::vector<std::string> warnings;
  std::vector<std::string> errors;
  std::string prompt;
  std::vector<std::string> prompts;
  std::vector<std::string> questions;
  int status_updates = 0;
  std::vector<dorvex::ScanPlot> plots;
  std::vector<std::pair<std::vector<float>, std::vector<float>>> curves;
  std::vector<std::pair<float, std::string>> markers;

  std::deque<bool> yes_no_answers;
  std::deque<std::optional<std::string>> browser_answers;
  std::deque<int> mode_answers;

  // The lines shown since the last call, one line per entry; they are forgotten.
  std::vector<std::string> take() { return std::exchange(lines, {}); }
  // A line equal to `text` was shown.
  bool has_line(std::string_view text) const {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  }
  // A line containing `part` was shown.
  bool printed(std::string_view part) const {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(part) != std::string::npos;
    });
  }

  void create_master(bool) override {}
  void close() override {}
  void console_line(std::string_view text, dorvex::Style style) override {
    keep(lines, text);
    if (style == dorvex::Style::warning) keep(warnings, text);
  }
  void set_prompt(std::string_view text) override {
    if (!record) return;
    prompt = text;
    prompts.emplace_back(text);
  }
  void enable_command_field(bool) override {}
  int action() override { return dorvex::CB_CLOSED; }
  std::string last_line() const override { return {}; }
  void define_timer(int, int) override {}
  bool halt_pending() override { return false; }
  bool yes_no(std::string_view, std::string_view question) override {
    keep(questions, question);
    return next(yes_no_answers).value_or(false);
  }
  void info_box(std::string_view, std::string_view text) override { keep(lines, text); }
  void error_box(std::string_view, std::string_view text) override {
    keep(lines, text);
    keep(errors, text);
  }
  std::optional<std::string> file_browser(std::string_view title, std::string_view,
                                          std::string_view, std::string_view) override {
    keep(questions, title);
    return next(browser_answers).value_or(std::nullopt);
  }
  int mode_dialog() override { return next(mode_answers).value_or(dorvex::MODE_CANCELLED); }
  void status_changed(const dorvex::StatusFields&) override { status_updates += record ? 1 : 0; }
  void plot_frame_size(float& width, float& height) const override {
    width = plot_width;
    height = plot_height;
  }
  void plot_scan(const dorvex::ScanPlot& plot) override {
    if (record) plots.push_back(plot);
  }
  void plot_curve(const std::vector<float>& x, const std::vector<float>& y) override {
    if (record) curves.emplace_back(x, y);
  }
  void plot_marker(float x, std::string_view label) override {
    if (record) markers.emplace_back(x, std::string(label));
  }
  void plot_clear() override {}

 private:
  void keep(std::vector<std::string>& into, std::string_view text) {
    if (record) into.emplace_back(text);
  }
  template <class T>
  static std::optional<T> next(std::deque<T>& queue) {
    if (queue.empty()) return std::nullopt;
    T answer = std::move(queue.front());
    queue.pop_front();
    return answer;
  }
};

// Makes a fresh recording back end the program's window and returns it (the toolkit adapter
// owns it until the next set_toolkit()).
inline RecordingToolkit& install_recording_toolkit(bool record = true) {
  auto backend = std::make_unique<RecordingToolkit>();
  RecordingToolkit& ref = *backend;
  ref.record = record;
  dorvex::set_toolkit(std::move(backend));
  return ref;
}

}  // namespace dorvex_test
