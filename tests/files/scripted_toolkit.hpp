// A window back end for unit tests: records every console line and prompt, and answers the
// file browser and yes/no boxes from queues the test fills (an empty queue cancels / says No).
#pragma once

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/state.hpp"
#include "toolkit/toolkit.hpp"

namespace dorvex::testing_support {

class ScriptedToolkit : public Toolkit {
 public:
  std::vector<std::string> lines;
  std::vector<std::string> prompts;
  std::deque<std::optional<std::string>> browser_answers;
  std::deque<bool> yes_no_answers;
  std::vector<std::string> questions;

  void create_master(bool) override {}
  void close() override {}
  void console_line(std::string_view text, Style) override { lines.emplace_back(text); }
  void set_prompt(std::string_view prompt) override { prompts.emplace_back(prompt); }
  void enable_command_field(bool) override {}
  int action() override { return CB_CLOSED; }
  std::string last_line() const override { return {}; }
  void define_timer(int, int) override {}
  bool halt_pending() override { return false; }
  bool yes_no(std::string_view, std::string_view question) override {
    questions.emplace_back(question);
    if (yes_no_answers.empty()) return false;
    const bool answer = yes_no_answers.front();
    yes_no_answers.pop_front();
    return answer;
  }
  void info_box(std::string_view, std::string_view text) override { lines.emplace_back(text); }
  void error_box(std::string_view, std::string_view text) override { lines.emplace_back(text); }
  std::optional<std::string> file_browser(std::string_view title, std::string_view,
                                          std::string_view, std::string_view) override {
    questions.emplace_back(title);
    if (browser_answers.empty()) return std::nullopt;
    auto answer = browser_answers.front();
    browser_answers.pop_front();
    return answer;
  }
  int mode_dialog() override { return MODE_DUMMY; }
  void status_changed(const StatusFields&) override {}
  void plot_frame_size(float& width, float& height) const override {
    width = 100;
    height = 100;
  }
  void plot_scan(const ScanPlot&) override {}
  void plot_curve(const std::vector<float>&, const std::vector<float>&) override {}
  void plot_marker(float, std::string_view) override {}
  void plot_clear() override {}

  // Console text since the last call, one line per entry.
  std::vector<std::string> take() {
    std::vector<std::string> out;
    out.swap(lines);
    return out;
  }
  bool printed(std::string_view text) const {
    for (const auto& l : lines)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
};

// Installs a fresh scripted back end and returns it (owned by the toolkit adapter).
inline ScriptedToolkit& install_scripted_toolkit() {
  auto backend = std::make_unique<ScriptedToolkit>();
  ScriptedToolkit& ref = *backend;
  set_toolkit(std::move(backend));
  return ref;
}

// A fresh directory under the system's temporary directory, removed by the destructor.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dorvex-test-XXXXXX").string();
    if (char* made = ::mkdtemp(pattern.data())) path_ = made;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // With a trailing '/', as the program keeps its directories.
  std::string dir() const { return path_ + "/"; }

 private:
  std::string path_;
};

}  // namespace dorvex::testing_support
