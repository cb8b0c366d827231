// What the fuzz targets share: a private scratch directory, a window that keeps nothing, and
// the operator's lines handed to the dispatcher.
#pragma once

#include <stdlib.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/state.hpp"
#include "shell/dispatcher.hpp"
#include "support/recording_toolkit.hpp"

namespace fuzz_support {

inline std::string& made_directory() {
  static std::string dir;
  return dir;
}

// A directory made on the first call ("$TMPDIR/NAME-XXXXXX/", with the trailing '/'), kept
// for the whole run and removed with all it holds when the run ends; the program's window is
// then a recording back end that keeps nothing, whose dialogs are all cancelled or answered No.
inline const std::string& scratch_directory(const char* name) {
  static const std::string dir = [name] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" +
                          name + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    made_directory() = pattern;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(made_directory(), ignored);
    });
    dorvex_test::install_recording_toolkit(false);
    return pattern + "/";
  }();
  return dir;
}

// Hands `text` to the dispatcher line by line, as the operator types it, until the last line
// or one that ends the program (exit_flag set); an error of one line does not stop the next.
inline void dispatch_lines(std::string_view text, int& exit_flag) {
  std::size_t at = 0;
  while (at <= text.size()) {
    const auto end = text.find('\n', at);
    const std::string_view line =
        text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    dorvex::dispatch_line(line, exit_flag);
    dorvex::S().shell.error_flag = 0;
    if (exit_flag != 0 || end == std::string_view::npos) break;
    at = end + 1;
  }
}

}  // namespace fuzz_support
