// The fault tables of the controller families: each row starts a fresh program state and a
// fresh dorvex-sim with its faults, runs one operation (possibly halted by the operator after a
// delay) and is judged on where the simulator says the axes and the shutter really are, on the
// error flag and the console, and on how long it took.
#pragma once

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "instrument/sim_fixture.hpp"

namespace dorvex_test {

// The simulator's own record (--state): each axis's position in controller units, the shutter.
struct SimState {
  std::map<int, double> axis;  // by motor number
  bool shutter = false;
};

// Seconds on a steady clock since `t`.
inline double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The operator's halt (SIGINT) sent from a second thread after `after_ms`.
class HaltAfter {
 public:
  explicit HaltAfter(int after_ms) {
    if (after_ms < 0) return;
    thread_ = std::thread([this, after_ms] {
      std::this_thread::sleep_for(std::chrono::milliseconds(after_ms));
      sent_ = std::chrono::steady_clock::now();
      ::kill(::getpid(), SIGINT);
    });
  }
  ~HaltAfter() { join(); }
  // Seconds from the halt to now (the operation has just ended); negative when it ended first.
  double latency() {
    const auto back = std::chrono::steady_clock::now();
    join();
    return std::chrono::duration<double>(back - sent_).count();
  }

 private:
  void join() {
    if (thread_.joinable()) thread_.join();
    dorvex::toolkit().halt_pending();  // a halt that came after the end stops nothing later
  }
  std::thread thread_;
  std::chrono::steady_clock::time_point sent_ = std::chrono::steady_clock::time_point::max();
};

class FaultFixture : public SimFixture {
 protected:
  // Ends the previous row's simulator and starts the row on a fresh program state.
  void fresh(const std::string& profile, const std::vector<std::string>& faults,
             const std::string& time_scale = "0", std::vector<std::string> options = {}) {
    stop_simulator();
    const std::string dir = dorvex::S().shell.program_directory;
    dorvex::reset_program_state();
    dorvex::S().shell.program_directory = dir;
    dorvex::S().shell.data_directory = dir;
    clear_console();
    std::remove((dir + "wire.txt").c_str());
    std::remove((dir + "sim.out").c_str());  // its READY line is the new simulator's
    state_ = dir + "state.txt";
    std::remove(state_.c_str());
    options.insert(options.end(), {"--state", state_});
    for (const auto& f : faults) options.insert(options.end(), {"--fault", f});
    start(profile, options, time_scale);
  }

  void stop_simulator() {
    if (dorvex::commport_open()) dorvex::CLOSE_COMMPORT();
    if (sim_stdin_ >= 0) ::close(sim_stdin_);
    sim_stdin_ = -1;
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }

  // The simulator's state once it has served everything sent so far (it rewrites the file
  // after every line; a command that gets no answer may still be on its way).
  SimState sim_state() const {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    SimState s;
    std::istringstream in(read_text(state_));
    for (std::string word; in >> word;) {
      if (word == "axis") {
        int motor = 0;
        std::string name;
        double position = 0;
        int moving = 0;
        in >> motor >> name >> position >> moving;
        s.axis[motor] = position;
      } else if (word == "shutter") {
        int open = 0;
        in >> open;
        s.shutter = open != 0;
      }
    }
    return s;
  }

  // The console with the line breaks of its 80-column wrapping taken out.
  bool said(const std::string& text) {
    std::string all = console();
    std::string joined;
    for (char c : all)
      if (c != '\n') joined += c;
    return joined.find(text) != std::string::npos;
  }

  std::string state_;
};

}  // namespace dorvex_test
