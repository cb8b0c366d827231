// dorvex: the diffractometer control program. Reads the command line, installs the console
// back end and runs the main routine.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "console/output.hpp"
#include "shell/startup.hpp"

namespace {

constexpr const char* kUsage =
    "usage: dorvex [--home DIR] [--mode real|dummy|supervisor] [--ui line|tui] [--mat PATH]\n"
    "              [--port PATH] [--simulate[=CRYSTAL]] [--help] [--version]\n"
    "\n"
    "  --home DIR       program directory: DIFPROF.DAT, dorvex.log, oldparm.sav\n"
    "                   (default: $DORVEX_HOME, else the directory of the executable)\n"
    "  --mode M         answer the start-up mode dialog (real, dummy or supervisor)\n"
    "  --ui line|tui    console: line (standard input/output) or tui (full screen);\n"
    "                   default tui on a terminal, else line\n"
    "  --mat PATH       the matrix file to load (or create) at start-up, without a question\n"
    "  --port PATH      device of the controller link (overrides the COM-port mapping)\n"
    "  --simulate[=CRYSTAL]  real mode against the bundled controller simulator\n"
    "  --help           this text\n"
    "  --version        the program version\n";

int usage_error(const std::string& text) {
  std::fprintf(stderr, "dorvex: %s\n%s", text.c_str(), kUsage);
  return 2;
}

// The path made absolute against the working directory, without "." and ".." steps (the
// directories end up in oldparm.sav and in the file dialogs).
std::string absolute(const std::string& path) {
  if (path.empty()) return path;
  std::filesystem::path full(path);
  if (full.is_relative()) {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
    full = std::filesystem::path(cwd) / full;
  }
  std::string text = full.lexically_normal().string();
  // "dir/." normalises to "dir/"; keep a plain directory name without the slash.
  if (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace dorvex;
  std::signal(SIGPIPE, SIG_IGN);  // a closed output must not kill a run that moves motors

  StartOptions options;
  bool mode_given = false;
  std::string ui = ::isatty(STDIN_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 1 ? "tui" : "line";
  std::string home;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool has_value = false;
    if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.erase(eq);
      has_value = true;
    }
    auto take_value = [&](std::string& out) {
      if (has_value) {
        out = value;
        return true;
      }
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("dorvex %s\n", std::string(trim(S().shell.version)).c_str());
      return 0;
    }
    if (arg == "--simulate") {
      options.simulate = true;
      options.crystal = has_value ? absolute(value) : std::string();
      continue;
    }
    std::string text;
    if (arg != "--home" && arg != "--mode" && arg != "--ui" && arg != "--mat" && arg != "--port") {
      return usage_error("unknown option " + arg);
    }
    if (!take_value(text)) return usage_error(arg + " needs a value");
    if (arg == "--home") {
      home = absolute(text);
    } else if (arg == "--mode") {
      if (text == "real") {
        options.mode = MODE_NORMAL;
      } else if (text == "dummy") {
        options.mode = MODE_DUMMY;
      } else if (text == "supervisor") {
        options.mode = MODE_SUPERVISOR;
      } else {
        return usage_error("--mode takes real, dummy or supervisor");
      }
      mode_given = true;
    } else if (arg == "--ui") {
      if (text != "line" && text != "tui") return usage_error("--ui takes line or tui");
      ui = text;
    } else if (arg == "--mat") {
      S().shell.startup_matfile = absolute(text);
    } else {
      S().shell.port_override = text;
    }
  }
  if (options.simulate && !mode_given) options.mode = MODE_NORMAL;
  if (!home.empty()) S().shell.program_directory = home;

  open_console(ui == "tui");
  const int status = DORVEX(options);
  if (status != 0) {
    const std::string reason = last_error_text();
    std::fprintf(stderr, "dorvex: %s\n",
                 reason.empty() ? "start-up failed" : reason.c_str());
  }
  close_console();
  return status;
}
