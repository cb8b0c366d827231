// In-process tests of the instrument path against the real controller simulator: dorvex-sim
// runs as a child on a pseudo-terminal, the program state is set up from a sample profile
// (with edits), and the link is opened through OPEN_COMMPORT as at start-up. The simulator's
// transcript tells what crossed the line.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "files/difprof.hpp"
#include "instrument/controller.hpp"
#include "instrument/motion.hpp"
#include "instrument/transport.hpp"
#include "support/shell_fixture.hpp"

namespace dorvex_test {

// Replaces the line of the profile that starts with `key` (the whole line).
inline std::string with_line(std::string profile, const std::string& key, const std::string& line) {
  std::istringstream in(profile);
  std::string out, l;
  bool done = false;
  while (std::getline(in, l)) {
    if (!done && l.rfind(key, 0) == 0) {
      out += line + "\n";
      done = true;
    } else {
      out += l + "\n";
    }
  }
  if (!done) out += line + "\n";
  return out;
}

// Seconds the program takes now for one round of questions to the controller (the status and
// the position of every motor, read afresh): how fast program and simulator exchange lines on
// this machine at this moment. Bounds on waits that are made of such exchanges grow with it, so
// that a loaded machine does not fail them while a quiet one still holds them tight.
inline double position_round_seconds() {
  const auto began = std::chrono::steady_clock::now();
  dorvex::invalidate_all_positions();
  dorvex::AngleSet a{};
  dorvex::RDALLMTR(a);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class SimFixture : public ShellFixture {
 protected:
  // The sample SMC9300 profile with a short read timeout and shutter delay for quick tests.
  static std::string test_profile(int interface_type = 7) {
    std::string p = read_text(DORVEX_SOURCE_DIR "/examples/DIFPROF.DAT");
    p = with_line(p, "CONTROL", "CONTROL         " + std::to_string(interface_type));
    p = with_line(p, "COMPOR", "COMPOR     1    1 9600    0    8    1    1    1  300    0");
    p = with_line(p, "CONFIG", "CONFIG    1    1    1    1    0    0    1    1    0    0   10    1");
    return p;
  }

  // Starts the simulator on `profile` with extra options and opens the link as NORMAL mode.
  void start(const std::string& profile, const std::vector<std::string>& options = {},
             const std::string& time_scale = "0") {
    write_file("DIFPROF.DAT", profile);
    const std::string dir = dorvex::S().shell.program_directory;
    link_ = dir + "link";
    transcript_ = dir + "wire.txt";
    std::vector<std::string> args = {DORVEX_SIM_BINARY, "--link", link_, "--profile",
                                      dir + "DIFPROF.DAT", "--time-scale", time_scale,
                                      "--transcript", transcript_};
    args.insert(args.end(), options.begin(), options.end());
    int in[2];
    ASSERT_EQ(::pipe(in), 0);
    const std::string out = dir + "sim.out";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      ::dup2(in[0], 0);
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, 1);
      ::close(in[1]);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    sim_stdin_ = in[1];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (read_text(out).find("READY") == std::string::npos) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "simulator not ready";
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    dorvex::READ_DIFPROF();
    ASSERT_EQ(dorvex::S().shell.error_flag, 0) << console();
    dorvex::S().shell.operating_mode = dorvex::MODE_NORMAL;
    dorvex::S().shell.port_override = link_;
    dorvex::toolkit().create_master(true);  // the halt (SIGINT) handler of the line console
    dorvex::OPEN_COMMPORT();
    ASSERT_EQ(dorvex::S().shell.error_flag, 0) << console();
  }

  void TearDown() override {
    if (dorvex::commport_open()) dorvex::CLOSE_COMMPORT();
    if (sim_stdin_ >= 0) ::close(sim_stdin_);
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    ShellFixture::TearDown();
  }

  // A question whose answer is awaited: once it is back, the simulator has taken (and logged)
  // everything sent before it, acknowledges included. Adds one received line.
  void sync() {
    std::string reply;
    int length = 0;
    dorvex::SENDH("?IO;", 4, reply, length);
  }

  // The lines the simulator received ("<" records of its transcript), in order.
  std::vector<std::string> received() const {
    std::vector<std::string> lines;
    std::istringstream in(read_text(transcript_));
    for (std::string l; std::getline(in, l);) {
      std::istringstream f(l);
      std::string real, sim, dir;
      f >> real >> sim >> dir;
      if (dir != "<") continue;
      std::string rest;
      std::getline(f, rest);
      if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
      lines.push_back(rest);
    }
    return lines;
  }
  int received_count(const std::string& prefix) const {
    int n = 0;
    for (const auto& l : received()) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  bool console_has(const std::string& text) { return console().find(text) != std::string::npos; }

  std::string link_, transcript_;
  pid_t pid_ = -1;
  int sim_stdin_ = -1;
};

}  // namespace dorvex_test
