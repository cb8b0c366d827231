// In-process tests of routines that talk to the operator: a fresh program state whose program
// and data directories are a temporary directory, and the line console installed on a pipe
// (the operator's input) and a file (the console), so a test can type and read back.
//
//   class MyTest : public dorvex_test::ShellFixture {};
//   TEST_F(MyTest, X) {
//     type("y\n");                       // lines the operator will enter
//     dorvex::WRITE_OUT("hello");
//     EXPECT_EQ(console(), "hello\n");   // everything written to the console so far
//     EXPECT_EQ(read_file("DORVEX_TEMP.LOG"), "hello\n");
//   }
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "common/state.hpp"
#include "toolkit/backends.hpp"
#include "toolkit/toolkit.hpp"

namespace dorvex_test {

class ShellFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    dorvex::reset_program_state();
    std::string pattern =
        (std::filesystem::temp_directory_path() / "dorvex-unit-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
    dorvex::S().shell.program_directory = dir_;
    dorvex::S().shell.data_directory = dir_;
    ASSERT_EQ(::pipe(input_), 0);
    console_fd_ = ::open((dir_ + "console.out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(console_fd_, 0);
    dorvex::set_toolkit(dorvex::make_line_toolkit(input_[0], console_fd_));
  }

  void TearDown() override {
    dorvex::set_toolkit(nullptr);
    if (input_[1] >= 0) ::close(input_[1]);
    ::close(input_[0]);
    ::close(console_fd_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    dorvex::reset_program_state();
  }

  // Queues text as the operator's input (whole lines with their line breaks).
  void type(const std::string& text) {
    ASSERT_EQ(::write(input_[1], text.data(), text.size()),
              static_cast<ssize_t>(text.size()));
  }
  // Ends the operator's input (the window is closed).
  void end_input() {
    ::close(input_[1]);
    input_[1] = -1;
  }

  // Everything written to the console since the start (or since clear_console()).
  std::string console() { return read_file("console.out"); }
  void clear_console() { ASSERT_EQ(::ftruncate(console_fd_, 0), 0); ::lseek(console_fd_, 0, SEEK_SET); }

  std::string read_file(const std::string& name) const {
    std::ifstream in(dir_ + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void write_file(const std::string& name, const std::string& text) const {
    std::ofstream out(dir_ + name, std::ios::binary | std::ios::trunc);
    out << text;
  }
  bool file_exists(const std::string& name) const {
    return std::filesystem::exists(dir_ + name);
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  int input_[2] = {-1, -1};
  int console_fd_ = -1;
};

}  // namespace dorvex_test
