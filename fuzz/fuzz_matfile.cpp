// libFuzzer target: the orientation-matrix file reader on arbitrary file contents, followed by
// a rewrite and a second read of what was loaded. The list must stay inside its table and
// nothing may crash, whatever an operator's editor or a damaged disk left in the file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "common/state.hpp"
#include "files/matfile.hpp"
#include "toolkit/toolkit.hpp"

namespace {

using namespace dorvex;

// A window that swallows everything: the reader's warnings are not the subject here.
class SilentToolkit : public Toolkit {
 public:
  void create_master(bool) override {}
  void close() override {}
  void console_line(std::string_view, Style) override {}
  void set_prompt(std::string_view) override {}
  void enable_command_field(bool) override {}
  int action() override { return CB_CLOSED; }
  std::string last_line() const override { return {}; }
  void define_timer(int, int) override {}
  bool halt_pending() override { return false; }
  bool yes_no(std::string_view, std::string_view) override { return false; }
  void info_box(std::string_view, std::string_view) override {}
  void error_box(std::string_view, std::string_view) override {}
  std::optional<std::string> file_browser(std::string_view, std::string_view, std::string_view,
                                          std::string_view) override {
    return std::nullopt;
  }
  int mode_dialog() override { return MODE_DUMMY; }
  void status_changed(const StatusFields&) override {}
  void plot_frame_size(float& width, float& height) const override { width = height = 1; }
  void plot_scan(const ScanPlot&) override {}
  void plot_curve(const std::vector<float>&, const std::vector<float>&) override {}
  void plot_marker(float, std::string_view) override {}
  void plot_clear() override {}
};

std::string work_directory() {
  static std::string dir = [] {
    std::string pattern = "/tmp/dorvex-fuzz-matfile-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern + "/";
  }();
  return dir;
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
  static bool installed = [] {
    set_toolkit(std::make_unique<SilentToolkit>());
    return true;
  }();
  (void)installed;
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
