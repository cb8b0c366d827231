// Fuzz target for the profile reader: the input becomes DIFPROF.DAT in a private directory and
// READ_DIFPROF reads it. Any crash, hang or sanitizer report is a fault; a fatal profile error is
// an ordinary outcome.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/state.hpp"
#include "files/difprof.hpp"

#include "fuzz_support.hpp"

namespace {

using namespace dorvex;

const std::string& directory() {
  // The window keeps nothing, so that the fuzzer spends its time in the reader.
  return fuzz_support::scratch_directory("dorvex-fuzz-difprof");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& dir = directory();
  const std::string path = dir + "DIFPROF.DAT";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);

  reset_program_state();
  S().shell.program_directory = dir;
  S().shell.data_directory = dir;
  S().shell.operating_mode = MODE_NORMAL;  // so that NOSHUT reaches the status display
  READ_DIFPROF();

  // The logs of fatal errors would grow without bound over a long run.
  ::unlink((dir + "dorvex.log").c_str());
  ::unlink((dir + S().shell.matfile_name + ".LOG").c_str());
  return 0;
}
