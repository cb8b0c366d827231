// libFuzzer target: the orientation-matrix file reader on arbitrary file contents, followed by
// a rewrite and a second read of what was loaded. The list must stay inside its table and
// nothing may crash, whatever an operator's editor or a damaged disk left in the file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "common/state.hpp"
#include "geometry/matfile.hpp"

#include "fuzz_support.hpp"

namespace {

using namespace dorvex;

// The window keeps nothing: the reader's warnings are not the subject here.
const std::string& work_directory() {
  return fuzz_support::scratch_directory("dorvex-fuzz-matfile");
}

void prepare_state() {
  reset_program_state();
  ShellState& sh = S().shell;
  sh.data_directory = work_directory();
  sh.program_directory = work_directory();
  sh.matfile_name = "fuzz";
  MachineProfile& p = S().profile;
  p.motor[2].lower = -180;
  p.motor[2].upper = 180;
  p.motor[3].lower = -200;
  p.motor[3].upper = 200;
  p.motor[4].lower = -400;
  p.motor[4].upper = 400;
  S().crystal.UB = Mat3::identity(0.1f);
}

// The logs would grow for ever otherwise.
int cleanup() {
  std::remove((work_directory() + "fuzz.LOG").c_str());
  std::remove((work_directory() + "dorvex.log").c_str());
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  prepare_state();
  {
    std::ofstream out(matfile_path(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  if (READ_MATFILE() != 0) std::abort();
  if (S().list.count < 0 || S().list.count > kListSize) std::abort();

  // The rewrite syncs to disk and is slow; it is exercised on one input in eight.
  if (size % 8 != 0) return cleanup();
  WRITE_MATFILE();
  const int count = S().list.count;
  if (READ_MATFILE() != 0) std::abort();
  // Fields too wide for their columns are written as asterisks and refused on reading, so
  // the list may lose entries on the way round but never gain any.
  if (S().list.count < 0 || S().list.count > count) std::abort();
  return cleanup();
}
