// In-process fixture for SET and SHOW: a fresh state with the default sample profile read, a
// matrix file in a temporary directory, and a console that records what is written. Lines are
// handed to the command routines as the dispatcher hands them over.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/state.hpp"
#include "files/difprof.hpp"
#include "geometry/matfile.hpp"
#include "support/recording_toolkit.hpp"

// From shell/commands.hpp, which cannot be included next to GoogleTest (its TEST command
// routine collides with the TEST macro).
namespace dorvex {
void RUN_SET();
void SHOW();
void DISPLAY_UB();
void PRINT_MATRICES();
}  // namespace dorvex

namespace dorvex::testing_support {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_program_state();
    std::string pattern = (std::filesystem::temp_directory_path() / "dorvex-set-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
    S().shell.program_directory = dir_;
    S().shell.data_directory = dir_;
    S().shell.matfile_name = "crystal";
    console_ = &dorvex_test::install_recording_toolkit();
    std::filesystem::copy_file(std::string(DORVEX_SOURCE_DIR) + "/examples/DIFPROF.DAT",
                               dir_ + "DIFPROF.DAT");
    READ_DIFPROF();
    ASSERT_EQ(S().shell.error_flag, 0);
    std::ofstream(dir_ + "crystal.mat").flush();  // the file exists: SET rewrites it
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    reset_program_state();
  }

  // A new command line "SET ..." (or "SHOW ..."): the argument is columns 5 to 80.
  void command(const std::string& line) {
    S().shell.command_argument = line.size() > 4 ? line.substr(4) : std::string();
    const std::string word = (line + "    ").substr(0, 4);
    if (word == "SET " || word == "set ")
      RUN_SET();
    else
      SHOW();
  }
  // A line that answers the question of SET (continuation code 24): handed over whole.
  void answer(const std::string& line) {
    ASSERT_EQ(S().shell.continuation_code, 24) << "no SET question is waiting";
    S().shell.command_argument = line;
    RUN_SET();
  }
  bool waiting() const { return S().shell.continuation_code == 24; }
  const std::string& prompt() const { return console_->prompt; }
  std::string matfile() const {
    std::ifstream in(dir_ + "crystal.mat");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Loads the matrix file into a fresh state (the profile read again), as a new run would.
  void restart() {
    reset_program_state();
    S().shell.program_directory = dir_;
    S().shell.data_directory = dir_;
    S().shell.matfile_name = "crystal";
    console_ = &dorvex_test::install_recording_toolkit();
    READ_DIFPROF();
    ASSERT_EQ(READ_MATFILE(), 0);
  }

  std::string dir_;
  dorvex_test::RecordingToolkit* console_ = nullptr;
};

}  // namespace dorvex::testing_support
