// Fuzz target for the profile reader: the input becomes DIFPROF.DAT in a private directory and
// READ_DIFPROF reads it. Any crash, hang or sanitizer report is a fault; a fatal profile error is
// an ordinary outcome.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/state.hpp"
#include "files/difprof.hpp"
#include "toolkit/toolkit.hpp"

namespace {

using namespace dorvex;

// A console that discards everything, so that the fuzzer spends its time in the reader.
class SilentConsole : public Toolkit {
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
  int mode_dialog() override { return 0; }
  void status_changed(const StatusFields&) override {}
  void plot_frame_size(float& w, float& h) const override { w = h = 100; }
  void plot_scan(const ScanPlot&) override {}
  void plot_curve(const std::vector<float>&, const std::vector<float>&) override {}
  void plot_marker(float, std::string_view) override {}
  void plot_clear() override {}
};

std::string directory() {
  static std::string dir = [] {
    char pattern[] = "/tmp/dorvex-fuzz-difprof-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) std::abort();
    set_toolkit(std::make_unique<SilentConsole>());
    return std::string(pattern) + "/";
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string dir = directory();
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
