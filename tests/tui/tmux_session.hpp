// The real program in a terminal: a private tmux server (its own socket) with one window of a
// given size, keys sent with send-keys and the screen read with capture-pane.
//
//   TmuxSession tmux(120, 40, home, {"--mode", "dummy", "--ui", "tui"});
//   ASSERT_TRUE(tmux.wait_for(":DMDORVEX>"));
//   tmux.type("CELL");  tmux.keys({"Enter"});
//
// The program runs from a small script in the home directory that records its process id,
// compares the terminal modes before and after it ("TERMINAL-RESTORED" or
// "TERMINAL-CHANGED"), prints "EXITED <status>" and then waits, so that the screen can still
// be read after the program has ended.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/run_dorvex.hpp"

namespace dorvex_test {

// Runs a program to its end and returns what it printed (standard output), or nothing on
// failure to start; `status` gets its exit status.
inline std::string run_capture(const std::vector<std::string>& argv, int* status = nullptr) {
  int out[2];
  if (::pipe(out) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 2);
    }
    ::close(out[0]);
    ::close(out[1]);
    ::unsetenv("TMUX");  // a test run from inside tmux still starts its own server
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(out[0], chunk, sizeof chunk);
    if (n > 0) {
      text.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(out[0]);
  int wait_status = 0;
  ::waitpid(pid, &wait_status, 0);
  if (status != nullptr) *status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  return text;
}

inline bool have_tmux() {
  int status = -1;
  run_capture({"tmux", "-V"}, &status);
  return status == 0;
}

inline std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

class TmuxSession {
 public:
  // `env` holds NAME=value settings for the program (DORVEX_SIM_ARGS, for instance).
  TmuxSession(int cols, int rows, const Home& home, const std::vector<std::string>& args,
              const std::vector<std::string>& env = {},
              const std::string& binary = DORVEX_BINARY)
      : home_(home) {
    static int counter = 0;
    socket_ = "dorvex-tui-test-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    std::string command = "exec env";
    for (const auto& setting : env) command += " " + shell_quote(setting);
    command += " " + shell_quote(binary);
    for (const auto& a : args) command += " " + shell_quote(a);
    // The program runs from a script of its own, which records its process id and then
    // becomes the program, so that its arguments keep their quoting.
    std::ofstream program(home.file("program-tui.sh"));
    program << "echo $$ > " << shell_quote(home.file("dorvex.pid")) << "\n" << command << "\n";
    program.close();
    std::ofstream script(home.file("run-tui.sh"));
    script << "cd " << shell_quote(home.path()) << "\n"
           << "trap : INT\n"  // Ctrl-C is for the program; the script must see it end
           << "before=$(stty -g)\n"
           << "sh " << shell_quote(home.file("program-tui.sh")) << "\n"
           << "rc=$?\n"
           << "if [ \"$(stty -g)\" = \"$before\" ]; then echo TERMINAL-RESTORED; "
           << "else echo TERMINAL-CHANGED; fi\n"
           << "echo EXITED $rc\n"
           << "sleep 600\n";
    script.close();
    int status = -1;
    tmux({"new-session", "-d", "-x", std::to_string(cols), "-y", std::to_string(rows),
          "env LANG=C.UTF-8 LC_ALL= sh " + shell_quote(home.file("run-tui.sh"))},
         &status);
    started_ = status == 0;
  }
  ~TmuxSession() { tmux({"kill-server"}); }
  TmuxSession(const TmuxSession&) = delete;
  TmuxSession& operator=(const TmuxSession&) = delete;

  bool started() const { return started_; }

  std::string screen() const { return tmux({"capture-pane", "-p"}); }
  // The screen with its colours and attributes as escape sequences.
  std::string capture_with_attributes() const { return tmux({"capture-pane", "-p", "-e"}); }

  // Key names as tmux knows them ("Enter", "Escape", "F9", "C-c", "PPage", "Down").
  void keys(const std::vector<std::string>& names) const {
    std::vector<std::string> args = {"send-keys"};
    args.insert(args.end(), names.begin(), names.end());
    tmux(args);
  }
  // Literal text.
  void type(const std::string& text) const { tmux({"send-keys", "-l", text}); }
  void line(const std::string& text) const {
    type(text);
    keys({"Enter"});
  }

  void resize(int cols, int rows) const {
    tmux({"resize-window", "-x", std::to_string(cols), "-y", std::to_string(rows)});
  }

  // Waits until the screen shows `text` (true) or the time is up (false).
  bool wait_for(const std::string& text, double seconds = 15) const {
    return wait_until([&](const std::string& s) { return s.find(text) != std::string::npos; },
                      seconds);
  }
  bool wait_gone(const std::string& text, double seconds = 15) const {
    return wait_until([&](const std::string& s) { return s.find(text) == std::string::npos; },
                      seconds);
  }
  template <class Pred>
  bool wait_until(Pred pred, double seconds = 15) const {
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    for (;;) {
      if (pred(screen())) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  // Process id of the program (0 until its script has recorded it).
  pid_t program_pid() const {
    std::ifstream in(home_.file("dorvex.pid"));
    long pid = 0;
    in >> pid;
    return static_cast<pid_t>(pid);
  }

 private:
  std::string tmux(const std::vector<std::string>& args, int* status = nullptr) const {
    std::vector<std::string> argv = {"tmux", "-L", socket_, "-f", "/dev/null"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_capture(argv, status);
  }

  const Home& home_;
  std::string socket_;
  bool started_ = false;
};

}  // namespace dorvex_test
