// Runs dorvex-sim on a temporary link and talks to it over the pseudo-terminal as the program
// does: raw mode, commands ended by the profile's output terminator, answers read up to its
// input terminator.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace simtest {

// A profile for the tests: motors 1-6 on axes 1-6 (1000 steps/degree on 2theta and omega),
// 2theta limits -10..120, omega -60..80, chi and phi free; `control` 1 or 7; terminators
// `in_term` / `out_term` as COMPOR fields 7 and 8; `coupled` as CONFIG field 5.
std::string test_profile(int control, int in_term = 3, int out_term = 3, int coupled = 0);

class SimSession {
 public:
  // Starts the simulator with the profile text, an optional crystal text and extra arguments.
  SimSession(const std::string& profile, const std::vector<std::string>& args,
             const std::string& crystal = "");
  ~SimSession();
  SimSession(const SimSession&) = delete;
  SimSession& operator=(const SimSession&) = delete;

  bool ready() const { return fd_ >= 0; }
  const std::string& link() const { return link_; }
  const std::string& dir() const { return dir_; }
  int pid() const { return pid_; }

  void send(const std::string& command);
  // Bytes exactly as given, without the terminator.
  void send_raw(const std::string& bytes);
  // One answer line without its terminator; nothing after `timeout_ms`.
  std::optional<std::string> read_line(int timeout_ms = 1000);
  // Raw bytes that arrive within `timeout_ms`.
  std::string read_raw(int timeout_ms);
  // send + read_line; "<none>" when nothing came.
  std::string ask(const std::string& query, int timeout_ms = 1000);

  // Polls "?S;" until every axis is at rest (status 1 with limit bits allowed).
  bool wait_idle(int timeout_ms = 10000);
  double position(char axis);
  // Downloads and runs the one-second counting program n times; returns the counts.
  std::vector<long> count(int seconds);
  // Downloads and runs a step scan: each step moves the axes by the given relative distances
  // (axis, step) and counts for `time` seconds.
  std::vector<long> scan(const std::vector<std::pair<char, double>>& moves, int steps,
                         double time);
  std::vector<long> read_counts();

  // Ends the simulator by closing its standard input; returns its exit status.
  int finish();

 private:
  std::string dir_, link_, terminator_out_, terminator_in_;
  int pid_ = -1;
  int fd_ = -1;
  int stdin_fd_ = -1;
  bool smc9300_ = false;
  std::string pending_;
};

std::string fixed4(double value);
// SMC9000 long-form drive of axis a to x at `speed` steps per second.
std::string drive9000(char axis, double target, int speed = 20000);

}  // namespace simtest
