// A fresh directory under the system's temporary directory, removed with everything in it by
// the destructor.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace dorvex_test {

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

}  // namespace dorvex_test
