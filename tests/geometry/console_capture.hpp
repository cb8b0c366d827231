// A console back end that keeps every line the program writes, and a fixture that starts each
// test from a fresh program state with its logs in a private temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/state.hpp"
#include "toolkit/toolkit.hpp"

namespace dorvex::testing {

class CaptureConsole : public Toolkit {
 public:
  explicit CaptureConsole(std::vector<std::string>* lines) : lines_(lines) {}
  void create_master(bool) override {}
  void close() override {}
  void console_line(std::string_view text, Style) override { lines_->emplace_back(text); }
  void set_prompt(std::string_view prompt) override { prompt_ = prompt; }
  void enable_command_field(bool) override {}
  int action() override { return CB_CLOSED; }
  std::string last_line() const override { return {}; }
  void define_timer(int, int) override {}
  bool halt_pending() override { return false; }
  bool yes_no(std::string_view, std::string_view) override { return false; }
  void info_box(std::string_view, std::string_view) override {}
  void error_box(std::string_view, std::string_view) override {}
  std::optional<std::string> file_browser(std::string_view, std::string_view, std::string_view,
                                          std::string_view) override {
    return std::nullopt;
  }
  int mode_dialog() override { return 0; }
  void status_changed(const StatusFields&) override {}
  void plot_frame_size(float& width, float& height) const override { width = height = 100; }
  void plot_scan(const ScanPlot&) override {}
  void plot_curve(const std::vector<float>&, const std::vector<float>&) override {}
  void plot_marker(float, std::string_view) override {}
  void plot_clear() override {}

 private:
  std::vector<std::string>* lines_;
  std::string prompt_;
};

class GeometryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_program_state();
    char pattern[] = "/tmp/dorvex-geometry-XXXXXX";
    const char* made = mkdtemp(pattern);
    ASSERT_NE(made, nullptr);
    dir_ = made;
    S().shell.program_directory = dir_ + "/";
    S().shell.data_directory = dir_ + "/";
    set_toolkit(std::make_unique<CaptureConsole>(&lines_));
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  bool printed(const std::string& text) const {
    for (const auto& line : lines_)
      if (line == text) return true;
    return false;
  }
  std::vector<std::string> lines_;
  std::string dir_;
};

}  // namespace dorvex::testing
