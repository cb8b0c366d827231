// Arbitrary operator lines through the dispatcher: new commands and answers to questions, in
// the modes without hardware. The first byte picks the mode and a waiting continuation code.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/state.hpp"
#include "fuzz_support.hpp"
#include "shell/dispatcher.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dorvex;
  // Every browser and question is cancelled; the console is discarded.
  const std::string& dir = fuzz_support::scratch_directory("fuzz-dispatch");
  if (size == 0) return 0;

  reset_program_state();
  close_macro();
  ShellState& shell = S().shell;
  // Each input starts with empty logs: a long run must not fill the disk.
  std::remove((dir + "dorvex.log").c_str());
  std::remove((dir + "DORVEX_TEMP.LOG").c_str());
  shell.program_directory = dir;
  shell.data_directory = dir;
  shell.operating_mode = (data[0] & 1) != 0 ? MODE_SUPERVISOR : MODE_DUMMY;
  // Waiting states: none, NOTE, TEST, an unknown code, and a code honoured only with hardware.
  // Only routines that keep no dialogue record of their own are entered this way, so that each
  // input runs from the same state whatever ran before it.
  static constexpr int kCodes[] = {0, 0, 28, 99, 77, 2, 0, 0};
  shell.continuation_code = kCodes[(data[0] >> 1) & 7];

  int exit_flag = 0;
  fuzz_support::dispatch_lines(
      std::string_view(reinterpret_cast<const char*>(data + 1), size - 1), exit_flag);
  return 0;
}
