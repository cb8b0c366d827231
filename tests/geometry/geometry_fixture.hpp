// A fixture that starts each test from a fresh program state with its logs in a private
// temporary directory, and keeps every line the program writes.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/state.hpp"
#include "support/recording_toolkit.hpp"
#include "support/temp_dir.hpp"

namespace dorvex::testing {

class GeometryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_program_state();
    ASSERT_TRUE(std::filesystem::is_directory(tmp_.dir()));
    S().shell.program_directory = tmp_.dir();
    S().shell.data_directory = tmp_.dir();
  }
  // A line equal to `text` was shown.
  bool printed(const std::string& text) const { return console_.has_line(text); }

  dorvex_test::TempDir tmp_;
  dorvex_test::RecordingToolkit& console_ = dorvex_test::install_recording_toolkit();
  std::vector<std::string>& lines_ = console_.lines;
};

}  // namespace dorvex::testing
