// Arbitrary operator lines through the dispatcher: new commands and answers to questions, in
// the modes without hardware. The first byte picks the mode and a waiting continuation code.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/state.hpp"
#include "shell/dispatcher.hpp"
#include "toolkit/backends.hpp"
#include "toolkit/toolkit.hpp"

namespace {

const std::string& scratch_directory() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/fuzz-dispatch-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    return std::string(made != nullptr ? made : "/tmp") + "/";
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dorvex;
  static const bool ready = [] {
    // Dialogs read an empty input (every browser and question is cancelled); the console is
    // discarded.
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open("/dev/null", O_WRONLY);
    set_toolkit(make_line_toolkit(in, out));
    return true;
  }();
  static_cast<void>(ready);
  if (size == 0) return 0;

  reset_program_state();
  close_macro();
  ShellState& shell = S().shell;
  // Each input starts with empty logs: a long run must not fill the disk.
  std::remove((scratch_directory() + "dorvex.log").c_str());
  std::remove((scratch_directory() + "DORVEX_TEMP.LOG").c_str());
  shell.program_directory = scratch_directory();
  shell.data_directory = scratch_directory();
  shell.operating_mode = (data[0] & 1) != 0 ? MODE_SUPERVISOR : MODE_DUMMY;
  // Waiting states: none, NOTE, TEST, an unknown code, and a code honoured only with hardware.
  static constexpr int kCodes[] = {0, 0, 28, 99, 77, 2, 45, 0};
  shell.continuation_code = kCodes[(data[0] >> 1) & 7];

  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::size_t at = 0;
  while (at <= text.size()) {
    const auto end = text.find('\n', at);
    const std::string_view line =
        text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    int exit_flag = 0;
    dispatch_line(line, exit_flag);
    shell.error_flag = 0;
    if (exit_flag != 0 || end == std::string_view::npos) break;
    at = end + 1;
  }
  return 0;
}
