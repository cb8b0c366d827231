#include "sim_session.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace simtest {

namespace {

std::string terminator(int code) { return code == 1 ? "\r" : (code == 2 ? "\n" : "\r\n"); }

long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string fixed4(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.4f", value);
  return buffer;
}

std::string drive9000(char axis, double target, int speed) {
  return std::string(1, axis) + ":A" + fixed4(target) + "S500L" + std::to_string(speed) + "B10;";
}

std::string test_profile(int control, int in_term, int out_term, int coupled) {
  char config[80];
  std::snprintf(config, sizeof config, "CONFIG%5d%5d%5d%5d%5d%5d%5d%5d%5d%5d%5d%5d", 1, 1, 1, 1,
                coupled, 0, 0, 1, 0, 0, 0, 1);
  char compor[80];
  std::snprintf(compor, sizeof compor, "COMPOR %5d%5d%5d%5d%5d%5d%5d%5d%5d%5d", 1, 1, 9600, 0, 8,
                1, in_term, out_term, 2000, 0);
  return std::string("      test profile\n") + "CONTROL" + std::string(9, ' ') +
         std::to_string(control) + "\n" + compor + "\n" +
         "MOTOR1 1,   1000.00  20000.00    100.00   5000.00    500.00    -10.00    120.00\n"
         "MOTOR2 2,   1000.00  20000.00    100.00   5000.00    500.00    -60.00     80.00"
         "     40.00\n"
         "MOTOR3 3,    500.00  10000.00    100.00   2500.00    500.00\n"
         "MOTOR4 4,    100.00   3000.00    100.00   1000.00    200.00\n"
         "MOTOR5 5,    100.00   1000.00    100.00    500.00    100.00      0.10     10.00\n"
         "MOTOR6 6,    100.00   1000.00    100.00    500.00    100.00      0.10     10.00\n" +
         config + "\n" +
         "PARK      5.0000    0.0000    0.0000    0.0000    2.0000    2.0000\n"
         "OFFSET    0.0000    0.0000    0.0000    0.0000    0.0000    0.0000\n"
         "WAVEL     1  0.710730\n";
}

SimSession::SimSession(const std::string& profile, const std::vector<std::string>& args,
                       const std::string& crystal) {
  char pattern[] = "/tmp/dorvex-simtest-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return;
  dir_ = pattern;
  link_ = dir_ + "/ttySIM";
  std::ofstream(dir_ + "/DIFPROF.DAT") << profile;
  std::vector<std::string> argv{DORVEX_SIM_BINARY, "--link", link_, "--profile",
                                dir_ + "/DIFPROF.DAT"};
  if (!crystal.empty()) {
    std::ofstream(dir_ + "/crystal.txt") << crystal;
    argv.insert(argv.end(), {"--crystal", dir_ + "/crystal.txt"});
  }
  argv.insert(argv.end(), args.begin(), args.end());
  for (std::size_t i = 0; i + 1 < argv.size(); ++i) {
    if (argv[i] == "--family") smc9300_ = argv[i + 1] == "smc9300";
  }
  if (profile.find("CONTROL          7") != std::string::npos) smc9300_ = true;
  // COMPOR fields 7 and 8 sit in columns 38-42 and 43-47.
  std::size_t compor = profile.find("COMPOR");
  int in_term = std::atoi(profile.substr(compor + 37, 5).c_str());
  int out_term = std::atoi(profile.substr(compor + 42, 5).c_str());
  terminator_in_ = terminator(in_term);
  terminator_out_ = terminator(out_term);

  int to_child[2], from_child[2];
  if (pipe(to_child) != 0 || pipe(from_child) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    close(to_child[1]);
    close(from_child[0]);
    std::vector<char*> cargs;
    for (std::string& a : argv) cargs.push_back(a.data());
    cargs.push_back(nullptr);
    execv(cargs[0], cargs.data());
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  stdin_fd_ = to_child[1];
  // Wait for "READY <link>".
  std::string out;
  long deadline = now_ms() + 20000;
  while (out.find('\n') == std::string::npos && now_ms() < deadline) {
    struct pollfd p {from_child[0], POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char c[256];
    ssize_t n = ::read(from_child[0], c, sizeof c);
    if (n <= 0) break;
    out.append(c, static_cast<std::size_t>(n));
  }
  close(from_child[0]);
  if (out != "READY " + link_ + "\n") return;
  fd_ = open(link_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) return;
  struct termios t {};
  tcgetattr(fd_, &t);
  cfmakeraw(&t);
  tcsetattr(fd_, TCSANOW, &t);
}

SimSession::~SimSession() {
  finish();
  if (!dir_.empty()) std::filesystem::remove_all(dir_);
}

int SimSession::finish() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (stdin_fd_ >= 0) close(stdin_fd_);
  stdin_fd_ = -1;
  if (pid_ <= 0) return -1;
  int status = 0;
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return -1;
}

void SimSession::send(const std::string& command) { send_raw(command + terminator_out_); }

void SimSession::send_raw(const std::string& data) {
  if (fd_ >= 0 && ::write(fd_, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
    std::perror("write");
}

std::string SimSession::read_raw(int timeout_ms) {
  std::string out = pending_;
  pending_.clear();
  long deadline = now_ms() + timeout_ms;
  for (long left; (left = deadline - now_ms()) > 0;) {
    struct pollfd p {fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char c[512];
    ssize_t n = ::read(fd_, c, sizeof c);
    if (n > 0) out.append(c, static_cast<std::size_t>(n));
  }
  return out;
}

std::optional<std::string> SimSession::read_line(int timeout_ms) {
  long deadline = now_ms() + timeout_ms;
  for (;;) {
    std::size_t at = pending_.find(terminator_in_);
    if (at != std::string::npos) {
      std::string line = pending_.substr(0, at);
      pending_.erase(0, at + terminator_in_.size());
      return line;
    }
    long left = deadline - now_ms();
    if (left <= 0) return std::nullopt;
    struct pollfd p {fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char c[512];
    ssize_t n = ::read(fd_, c, sizeof c);
    if (n > 0) pending_.append(c, static_cast<std::size_t>(n));
  }
}

std::string SimSession::ask(const std::string& query, int timeout_ms) {
  send(query);
  std::optional<std::string> line = read_line(timeout_ms);
  return line ? *line : "<none>";
}

bool SimSession::wait_idle(int timeout_ms) {
  long deadline = now_ms() + timeout_ms;
  while (now_ms() < deadline) {
    std::string s = ask("?S;");
    if (smc9300_ && !s.empty() && s[0] == '\x03') s.erase(0, 1);
    bool idle = !s.empty() && s != "<none>";
    for (std::size_t at = 0; (at = s.find(':', at)) != std::string::npos; ++at) {
      int status = std::atoi(s.c_str() + at + 1);
      if ((status & ~(4 | 8)) != 1) idle = false;
    }
    if (idle) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

double SimSession::position(char axis) {
  std::string a = ask(std::string("?P") + axis + ";");
  std::size_t sign = a.find_first_of("+-");
  return sign == std::string::npos ? -9999.0 : std::atof(a.c_str() + sign);
}

std::vector<long> SimSession::read_counts() {
  send("?CNT;");
  std::vector<long> counts;
  while (std::optional<std::string> line = read_line()) {
    if (line->find("CEND") != std::string::npos) return counts;
    counts.push_back(std::atol(line->c_str()));
  }
  counts.push_back(-1);  // no CEND
  return counts;
}

std::vector<long> SimSession::count(int seconds) {
  for (const char* c : {"CLR;", "CCNT;"}) send(c);
  send("GSB10*" + std::to_string(seconds) + ";");
  for (const char* c : {"NL;", "END;", "LIN10;", "CNT1.0;", "NL;", "RET;", "NL;", "START:;"})
    send(c);
  wait_idle(seconds * 2000 + 5000);
  return read_counts();
}

std::vector<long> SimSession::scan(const std::vector<std::pair<char, double>>& moves, int steps,
                                   double time) {
  for (const char* c : {"CLR;", "CLR;", "CCNT;"}) send(c);
  send("GSB10*" + std::to_string(steps) + ";");
  for (const char* c : {"NL;", "END;", "LIN10;"}) send(c);
  for (const auto& [axis, step] : moves) send(std::string(1, axis) + ":" + fixed4(step) + "S2000;");
  char t[16];
  std::snprintf(t, sizeof t, "CNT%.1f;", time);
  send(t);
  for (const char* c : {"NL;", "RET;", "NL;", "START:;"}) send(c);
  wait_idle(30000);
  return read_counts();
}

}  // namespace simtest
