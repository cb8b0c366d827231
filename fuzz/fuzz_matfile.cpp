// libFuzzer target: the orientation-matrix file reader on arbitrary file contents, followed by
// a rewrite and a second read of what was loaded. The list must stay inside its table and
// nothing may crash, whatever an operator's editor or a damaged disk left in the file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/state.hpp"
#include "geometry/matfile.hpp"
#include "toolkit/toolkit.hpp"

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

std::string contents() {
  std::ifstream in(matfile_path(), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Each input starts from an empty directory: logs, backups and files offered under new names
// would otherwise pile up and change what later inputs meet.
int cleanup() {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(work_directory(), ignored))
    std::filesystem::remove_all(entry.path(), ignored);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  prepare_state();
  const std::string input(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(matfile_path(), std::ios::binary | std::ios::trunc);
    out << input;
  }
  const ReflectionList list_before = S().list;
  const int status = READ_MATFILE();
  if (status != 0) {
    // Refused as no matrix file: nothing of it reached memory.
    if (status != 1 || S().list.count != list_before.count) std::abort();
    return cleanup();
  }
  if (S().list.count < 0 || S().list.count > kListSize) std::abort();
  // Opening changes nothing on disk: a rewrite right after the load is not made.
  WRITE_MATFILE();
  if (contents() != input) std::abort();

  // The rewrite syncs to disk and is slow; it is exercised on one input in eight, agreeing to
  // rewrite a damaged file (its original is then kept beside it).
  if (size % 8 != 0) return cleanup();
  static_cast<dorvex_test::RecordingToolkit&>(toolkit()).yes_no_answers = {true};
  // A change, so that the file is rewritten.
  S().crystal.title = S().crystal.title == "fuzz" ? "zzuf" : "fuzz";
  WRITE_MATFILE();
  const int count = S().list.count;
  if (READ_MATFILE() != 0) std::abort();
  // What was read can be stored again, so the list never loses or gains entries on the way
  // round unless the rewrite was refused (a cell derived from a tiny matrix, say).
  if (S().list.count < 0 || S().list.count > count) std::abort();
  return cleanup();
}
