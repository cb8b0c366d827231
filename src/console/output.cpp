// Console output, the installation and user logs, the message routines, the saved-names file
// and the operator's choice of data and list files.
//
// Each log record is appended with one write() to a file opened for the call and closed again,
// so a crash of the program loses nothing already reported. A log that cannot be opened is
// skipped; the operator is told once per log file on the console.
#include "console/output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "console/clock.hpp"
#include "console/status.hpp"
#include "toolkit/toolkit.hpp"

namespace dorvex {

namespace {

constexpr std::string_view kWarningBanner = " **********WARNING**********";
constexpr std::string_view kErrorBanner = " **********ERROR**********";
constexpr std::size_t kConsoleWidth = 80;

Style console_style = Style::normal;  // the warning style while WARNING writes

std::ifstream list_file_stream;
std::string last_error;

void tell_once(const std::string& path, int error_number) {
  static std::set<std::string> told;
  if (!told.insert(path).second) return;
  toolkit().console_line(" Cannot write the log " + path + ": " + std::strerror(error_number) +
                             " (logging to it is skipped)",
                         Style::warning);
}

// Appends whole lines to a log file; nothing is written when the file cannot be opened.
void append_to_log(const std::string& directory, const std::string& name,
                   const std::string& lines) {
  const std::string path = directory + name;
  if (directory.empty()) {
    tell_once(name, ENOENT);
    return;
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    tell_once(path, errno);
    return;
  }
  const char* data = lines.data();
  std::size_t left = lines.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      tell_once(path, errno);
      break;
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  ::close(fd);
}

std::string with_slash(std::string directory) {
  if (!directory.empty() && directory.back() != '/') directory += '/';
  return directory;
}

// The directory part of a path, with its trailing '/'; empty when the path has none.
std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

// A directory opens as a stream too, but no file can be read from it.
bool readable_file(const std::string& path) {
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) return false;
  std::ifstream probe(path);
  return probe.good();
}

void WRITE_TERM(std::string_view text) {
  toolkit().console_line(rtrim(text), console_style);
}

void WRITE_OUT(std::string_view text) {
  WRITE_TERM(text);
  USERLOG(text);
}

void WRITE_OUT_LONG(std::string_view text) {
  const std::string_view trimmed = rtrim(text);
  if (trimmed.size() < kConsoleWidth) {
    WRITE_OUT(trimmed);
    return;
  }
  for (std::size_t at = 0; at < trimmed.size(); at += kConsoleWidth) {
    WRITE_OUT(trimmed.substr(at, kConsoleWidth));
  }
}

void WRITE_OUT_CR(int n) {
  for (int i = 0; i < n; ++i) WRITE_OUT("");
}

void MESSAGE(std::string_view text) {
  WRITE_TERM(text);
  INSTLOG(text);
  USERLOG(text);
}

void WARNING(std::string_view text) {
  console_style = Style::warning;
  WRITE_OUT(kWarningBanner);
  WRITE_OUT_LONG(text);
  console_style = Style::normal;
  INSTLOG(kWarningBanner);
  INSTLOG(text);
}

void ERRORLOG(std::string_view text) {
  INSTLOG(kErrorBanner);
  INSTLOG(text);
  USERLOG(kErrorBanner);
  USERLOG(text);
  S().shell.error_flag = 1;
  last_error = std::string(trim(text));
  toolkit().error_box("DORVEX", trim(text));
}

std::string last_error_text() { return last_error; }

void INSTLOG(std::string_view text) {
  // Record: an empty line, the time stamp, the text (an empty line when blank).
  std::string record = "\n" + log_time_stamp(local_now()) + "\n";
  record += rtrim(text);
  record += '\n';
  append_to_log(S().shell.program_directory, "dorvex.log", record);
}

void USERLOG(std::string_view text) {
  const ShellState& shell = S().shell;
  std::string line(rtrim(text));
  line += '\n';
  append_to_log(shell.data_directory, shell.matfile_name + ".LOG", line);
}

void not_available(std::string_view command) {
  WRITE_OUT(" The command " + std::string(trim(command)) + " is not available in this version");
}

void SET_DIRECTORY() {
  ShellState& shell = S().shell;
  if (shell.program_directory.empty()) {
    // Without --home: the environment, else the directory of the running executable.
    if (const char* home = std::getenv("DORVEX_HOME"); home != nullptr && *home != '\0') {
      shell.program_directory = home;
    } else {
      char path[4096];
      const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
      if (n <= 0) {
        WRITE_OUT(" *****ERROR FINDING SYSTEM DIRECTORY NAME");
        return;
      }
      shell.program_directory = directory_of(std::string(path, static_cast<std::size_t>(n)));
    }
  }
  shell.program_directory = with_slash(shell.program_directory);
  shell.version = "16-MAR-2012 ";

  // oldparm.sav: line 1 the matrix-file name, line 2 the data directory.
  std::ifstream saved(shell.program_directory + "oldparm.sav");
  std::string name, directory;
  if (saved && std::getline(saved, name) && std::getline(saved, directory) &&
      !trim(name).empty() && !trim(directory).empty()) {
    shell.matfile_name = std::string(trim(name));
    shell.data_directory = with_slash(std::string(trim(directory)));
  } else {
    shell.matfile_name = "DORVEX_TEMP";
    shell.data_directory = shell.program_directory;
  }
}

void WRITE_SAVEFILE() {
  const ShellState& shell = S().shell;
  if (shell.program_directory.empty()) return;
  const std::string path = shell.program_directory + "oldparm.sav";
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << shell.matfile_name << '\n' << shell.data_directory << '\n';
    out.flush();
    if (!out) {
      out.close();
      std::remove(temporary.c_str());
      WARNING(" Could not write " + path);
      return;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    WARNING(" Could not write " + path);
  }
}

void SET_DATFILE() {
  ShellState& shell = S().shell;
  const std::string prefill = shell.datfile_set != 0 ? shell.datfile_name : std::string();
  const auto chosen = toolkit().file_browser("DORVEX: Open Dat File", "*.rfl|Reflection File",
                                             shell.data_directory, prefill);
  if (!chosen || trim(*chosen).empty()) return;
  // The extension is cut at the first full stop of the file name itself: a full stop in a
  // directory name must not cut the path.
  std::string name(trim(*chosen));
  const auto slash = name.rfind('/');
  const auto dot = name.find('.', slash == std::string::npos ? 0 : slash + 1);
  if (dot != std::string::npos) name.erase(dot);
  name += ".rfl";
  if (!readable_file(name) &&
      !toolkit().yes_no("DORVEX", "Do you wish to create a new data file?")) {
    WRITE_OUT("NO DATA FILE CREATED");
    WRITE_OUT("");
    DISPLAY_DATFILE();
    return;
  }
  shell.datfile_name = name;
  shell.datfile_set = 1;
  WRITE_OUT("SUCCESSFULLY OPENED DATA FILE: " + name.substr(0, 40));
  WRITE_OUT("");
  DISPLAY_DATFILE();
}

void OPEN_LISTFILE(int& ok) {
  ShellState& shell = S().shell;
  for (;;) {
    const auto chosen = toolkit().file_browser("DORVEX: Open List File",
                                               "*.lst|List File|*.*|All Files",
                                               shell.listfile_directory, "");
    if (!chosen || trim(*chosen).empty()) return;
    const std::string name(trim(*chosen));
    CLOSE_LISTFILE();
    if (readable_file(name)) list_file_stream.open(name);
    if (list_file_stream.is_open()) {
      shell.listfile_directory = directory_of(name);
      ok = 1;
      WRITE_OUT("SUCCESSFULLY OPENED REFLECTION LIST FILE: " + name.substr(0, 40));
      WRITE_OUT("");
      return;
    }
    list_file_stream.clear();
    if (!toolkit().yes_no("DORVEX", "Error opening file: Do you want to try again?")) return;
  }
}

std::istream* list_file() { return list_file_stream.is_open() ? &list_file_stream : nullptr; }

void CLOSE_LISTFILE() {
  if (list_file_stream.is_open()) list_file_stream.close();
  list_file_stream.clear();
}

}  // namespace dorvex
