// Transcript tests of the real `dorvex` executable: a temporary program directory, a run fed
// through standard input, and what it printed and wrote.
//
//   dorvex_test::Home home;                        // temp dir with examples/DIFPROF.DAT in it
//   home.write("run.txt", "HELP\n");               // files of the home directory
//   auto r = dorvex_test::run_dorvex(home, "NOTE\nhello\nEXIT\nEXIT\n");
//   EXPECT_EQ(r.status, 0);                        // exit status (-1: killed by a signal)
//   EXPECT_TRUE(dorvex_test::has_line(r.out, "Unknown command"));
//   std::string log = home.read("dorvex.log");    // "" when the file does not exist
//
// Home(profile): the profile file is copied in as DIFPROF.DAT ("" copies none). The directory
// is removed when the Home goes out of scope (set DORVEX_KEEP_HOME=1 to keep it).
// run_dorvex(home, input, args, timeout): runs DORVEX_BINARY with `args` (default:
// default_args(home) = --home DIR --mode dummy --ui line) in the home directory, feeds `input`
// on standard input and closes it, and collects standard output and error. A run that does not
// end within `timeout_seconds` is killed and the test fails. `env` adds "NAME=VALUE" entries.
// Without --mat the program asks for the matrix file first (SET MATFILE), so the script must
// answer that; mat_args(home, "xtal") adds --mat DIR/xtal.mat (created when missing), after
// which the user log is DIR/xtal.LOG.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace dorvex_test {

inline const std::string kDefaultProfile = DORVEX_SOURCE_DIR "/examples/DIFPROF.DAT";

class Home {
 public:
  explicit Home(const std::string& profile = kDefaultProfile) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "dorvex-home-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "cannot make a temporary home directory";
    }
    path_ = pattern + "/";
    if (!profile.empty()) copy_in(profile, "DIFPROF.DAT");
  }
  ~Home() {
    const char* keep = std::getenv("DORVEX_KEEP_HOME");
    if (keep == nullptr || *keep == '0') {
      std::error_code ignored;
      std::filesystem::remove_all(path_, ignored);
    }
  }
  Home(const Home&) = delete;
  Home& operator=(const Home&) = delete;

  // The directory, with a trailing '/'.
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + name; }
  bool exists(const std::string& name) const { return std::filesystem::exists(file(name)); }

  std::string read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out << text;
  }
  void copy_in(const std::string& source, const std::string& name) const {
    std::error_code error;
    std::filesystem::copy_file(source, file(name),
                               std::filesystem::copy_options::overwrite_existing, error);
    if (error) ADD_FAILURE() << "cannot copy " << source << ": " << error.message();
  }

 private:
  std::string path_;
};

struct RunResult {
  std::string out;   // standard output
  std::string err;   // standard error
  int status = -1;   // exit status, -1 when ended by a signal
  bool timed_out = false;
};

inline std::vector<std::string> default_args(const Home& home) {
  return {"--home", home.path(), "--mode", "dummy", "--ui", "line"};
}

inline std::vector<std::string> mat_args(const Home& home, const std::string& name = "test") {
  auto args = default_args(home);
  args.push_back("--mat");
  args.push_back(home.path() + name + ".mat");
  return args;
}

// The lines of a text (without their line breaks).
inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

inline bool has_line(const std::string& text, const std::string& line) {
  for (const auto& l : lines(text)) {
    if (l == line) return true;
  }
  return false;
}

// Number of lines exactly equal to `line`.
inline int count_lines(const std::string& text, const std::string& line) {
  int n = 0;
  for (const auto& l : lines(text)) n += l == line ? 1 : 0;
  return n;
}

// The lines dorvex-sim received, from its transcript ("<" records), in order.
inline std::vector<std::string> received_lines(const std::string& transcript) {
  std::vector<std::string> out;
  for (const auto& l : lines(transcript)) {
    const auto at = l.find(" < ");
    if (at != std::string::npos) out.push_back(l.substr(at + 3));
  }
  return out;
}

// Number of lines that begin with `prefix`.
inline int count_starting(const std::vector<std::string>& lines_in, const std::string& prefix) {
  int n = 0;
  for (const auto& s : lines_in) n += s.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

// A program started on pipes: its process id (-1 when it could not be started) and the
// parent's ends of its standard input, output and error (-1 where there is no pipe).
struct Started {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
  int err = -1;
};

// Where the standard error of a started program goes.
enum class Stderr { own_pipe, with_output, inherited };

// Starts `binary` with `args` in the directory `dir` as the leader of a process group of its
// own, with the "NAME=VALUE" entries of `env` added and its standard input and output on pipes.
inline Started start_program(const std::string& dir, std::vector<std::string> args,
                             const std::vector<std::string>& env = {},
                             Stderr err = Stderr::own_pipe,
                             const std::string& binary = DORVEX_BINARY) {
  Started started;
  int in_pipe[2], out_pipe[2], err_pipe[2] = {-1, -1};
  if (::pipe(in_pipe) != 0 || ::pipe(out_pipe) != 0 ||
      (err == Stderr::own_pipe && ::pipe(err_pipe) != 0)) {
    ADD_FAILURE() << "pipe failed";
    return started;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    if (err != Stderr::inherited) ::dup2(err == Stderr::own_pipe ? err_pipe[1] : out_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) {
      if (fd >= 0) ::close(fd);
    }
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    for (const auto& entry : env) ::putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(binary.c_str()));
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(binary.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  if (err_pipe[1] >= 0) ::close(err_pipe[1]);
  started.pid = pid;
  started.in = in_pipe[1];
  started.out = out_pipe[0];
  started.err = err_pipe[0];
  return started;
}

inline RunResult run_dorvex(const Home& home, const std::string& input,
                            std::vector<std::string> args = {}, int timeout_seconds = 30,
                            const std::vector<std::string>& env = {},
                            const std::string& binary = DORVEX_BINARY) {
  if (args.empty()) args = default_args(home);
  RunResult result;
  const Started child = start_program(home.path(), std::move(args), env, Stderr::own_pipe, binary);
  if (child.pid < 0) return result;
  const pid_t pid = child.pid;
  ::fcntl(child.in, F_SETFL, O_NONBLOCK);
  ::signal(SIGPIPE, SIG_IGN);

  std::size_t fed = 0;
  int in_fd = child.in;
  if (input.empty()) {
    ::close(in_fd);
    in_fd = -1;
  }
  int out_fd = child.out, err_fd = child.err;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (out_fd >= 0 || err_fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      result.timed_out = true;
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
    if (::poll(fds, 3, static_cast<int>(left)) < 0) continue;
    char chunk[8192];
    for (int k = 0; k < 2; ++k) {
      int& fd = k == 0 ? out_fd : err_fd;
      if (fd < 0 || fds[k].revents == 0) continue;
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n > 0) {
        (k == 0 ? result.out : result.err).append(chunk, static_cast<std::size_t>(n));
      } else {
        ::close(fd);
        fd = -1;
      }
    }
    if (in_fd >= 0 && fds[2].revents != 0) {
      const ssize_t n = ::write(in_fd, input.data() + fed, input.size() - fed);
      if (n > 0) fed += static_cast<std::size_t>(n);
      if (n < 0 || fed == input.size()) {
        ::close(in_fd);
        in_fd = -1;
      }
    }
  }
  for (int fd : {in_fd, out_fd, err_fd}) {
    if (fd >= 0) ::close(fd);
  }
  int wait_status = 0;
  ::waitpid(pid, &wait_status, 0);
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  if (result.timed_out) {
    ADD_FAILURE() << "dorvex did not end within " << timeout_seconds << " s; output so far:\n"
                  << result.out;
  }
  return result;
}

// Reads a started program's standard output into `output` until `done()` holds, the pipe
// closes, or `seconds` pass; returns done().
inline bool read_output_until(const Started& child, std::string& output,
                              const std::function<bool()>& done, int seconds = 30) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  pollfd ready{child.out, POLLIN, 0};
  while (!done() && std::chrono::steady_clock::now() < give_up) {
    char buf[4096];
    const ssize_t n = ::poll(&ready, 1, 20) > 0 ? ::read(child.out, buf, sizeof buf) : 0;
    if (n < 0 || (n == 0 && ready.revents != 0)) break;
    output.append(buf, static_cast<std::size_t>(n));
  }
  return done();
}
inline bool read_output_until(const Started& child, std::string& output, const std::string& what,
                              int seconds = 30) {
  return read_output_until(
      child, output, [&] { return output.find(what) != std::string::npos; }, seconds);
}

}  // namespace dorvex_test
