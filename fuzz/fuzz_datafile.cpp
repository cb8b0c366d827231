// libFuzzer target: the reading and repair of a reflection data file before a collection
// appends to it, and the resume file beside it, on arbitrary contents - whatever a crash, a
// full disk, an editor or another program left there. Nothing may crash; a file accepted for
// appending must then end with a whole record (or its header), and a second look must find
// the same records and nothing more to cut.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "common/state.hpp"
#include "files/datafile.hpp"
#include "datacol/resume.hpp"

#include "fuzz_support.hpp"

namespace {

using namespace dorvex;

const std::string& work_directory() {
  return fuzz_support::scratch_directory("dorvex-fuzz-datafile");
}

std::string contents_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  reset_program_state();
  S().shell.program_directory = work_directory();
  S().shell.data_directory = work_directory();
  S().crystal.cell = {8, 10, 12, 90, 90, 90};
  S().crystal.UB = Mat3::identity(0.1f);
  const std::string path = work_directory() + "fuzz.rfl";
  const std::string text(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
  }
  DataFileContents first;
  const int status = PREPARE_STDDATA(path, S().crystal, first);
  check(status == 0 || status == 1);
  if (status == 0) {
    const std::string after = contents_of(path);
    check(!after.empty() && after.back() == '\n');
    DataFileContents second;
    check(PREPARE_STDDATA(path, S().crystal, second) == 0);
    check(contents_of(path) == after && second.records.size() == first.records.size());
  } else {
    check(contents_of(path) == text);  // refused: left as it was
  }

  ResumeFile resume;
  if (read_resume_file(path, resume)) check(!resume.stretches.empty());
  std::remove((work_directory() + "dorvex.log").c_str());
  std::remove((work_directory() + "DORVEX_TEMP.LOG").c_str());
  return 0;
}
