// `dorvex --simulate`: the controller simulator dorvex-sim runs as a child process on a private
// pseudo-terminal and the program opens that as its serial port.
//
// - dorvex-sim is looked for next to the running executable (/proc/self/exe).
// - Its link and its standard output live in a fresh directory under $TMPDIR (or /tmp); the
//   standard output goes to a file there, so that the simulator never blocks on a full pipe.
// - The crystal, unless given, is the bundled sample crystal: sample_crystal.txt beside the
//   executable (an installation), else ../share/dorvex/sample_crystal.txt, else
//   ../examples/sample_crystal.txt (a build directory inside the source tree).
// - DORVEX_SIM_ARGS adds options to the simulator's command line, split at blanks (for example
//   "--time-scale 0 --fault drop:?P:1" or "--transcript /tmp/wire.txt").
// - The simulator runs in its own process group, so that the operator's Ctrl-C (the halt)
//   reaches only the program; its standard input is a pipe from the program, so that it ends
//   with the program even when the program dies.
// - The simulator serves its clock on a socket beside the link (dorvex-sim --clock); it becomes
//   the program's instrument clock, so that the instrument time of commands, the estimates and
//   the program's own waits follow simulated time at any time scale.
#include "instrument/simulate.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/state.hpp"
#include "instrument/iocard.hpp"
#include "console/clock.hpp"
#include "console/output.hpp"

namespace dorvex {

namespace {

struct Child {
  pid_t pid = -1;
  int stdin_fd = -1;
  std::string dir;
  std::string link;
  std::string out;
  std::string card;  // the socket of the SIN-10's simulated counter and shutter card
  std::string clock;  // the socket of the simulator's clock
};

Child& child() {
  static Child c;
  return c;
}

constexpr int kReadyTimeoutMs = 10000;

std::string executable_dir() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::string bundled_crystal(const std::string& exe_dir) {
  for (const char* rel :
       {"/sample_crystal.txt", "/../share/dorvex/sample_crystal.txt", "/../examples/sample_crystal.txt"}) {
    const std::string p = exe_dir + rel;
    if (exists(p)) return p;
  }
  return {};
}

std::vector<std::string> split_blanks(const char* text) {
  std::vector<std::string> words;
  if (text == nullptr) return words;
  std::istringstream in(text);
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

// The "READY <path>" line of the simulator's standard output, when it has come.
bool ready_line(const std::string& out_file, std::string& path) {
  std::ifstream in(out_file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("READY ", 0) == 0) {
      path = line.substr(6);
      while (!path.empty() && (path.back() == '\r' || path.back() == ' ')) path.pop_back();
      return !path.empty();
    }
  }
  return false;
}

// The simulator's clock, asked over its socket. A question that gets no answer (the simulator
// has gone) leaves the wall clock to carry on from the last simulated time.
class SimulatorClock final : public InstrumentClock {
 public:
  explicit SimulatorClock(int fd) : fd_(fd) {
    const std::string rate = ask("rate");
    scale_ = rate.empty() ? 1.0 : std::strtod(rate.c_str(), nullptr);
  }
  ~SimulatorClock() override { ::close(fd_); }
  double now() override {
    const std::string answer = ask("now");
    const auto wall = std::chrono::steady_clock::now();
    if (!answer.empty()) {
      last_ = std::strtod(answer.c_str(), nullptr);
      last_wall_ = wall;
      return last_;
    }
    return last_ + std::chrono::duration<double>(wall - last_wall_).count();
  }
  double real_per_instrument() override { return scale_ > 0.0 ? 1.0 / scale_ : 0.0; }
  void skip(double seconds) override {
    char text[64];
    std::snprintf(text, sizeof text, "skip %.6f", seconds);
    ask(text);
  }

 private:
  // One request and its answer line; empty when the simulator does not answer within 5 s.
  std::string ask(const std::string& request) {
    const std::string line = request + "\n";
    if (::send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
      return {};
    std::string answer;
    for (;;) {
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, 5000) <= 0) return {};
      char c = 0;
      if (::read(fd_, &c, 1) != 1) return {};
      if (c == '\n') return answer;
      answer += c;
    }
  }
  int fd_;
  double scale_ = 1.0;
  double last_ = 0.0;
  std::chrono::steady_clock::time_point last_wall_ = std::chrono::steady_clock::now();
};

// Connects to the simulator's clock; false when it cannot be reached.
bool connect_clock(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  if (fd < 0 || path.size() >= sizeof address.sun_path) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, path.size());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return false;
  }
  set_instrument_clock(std::make_unique<SimulatorClock>(fd));
  return true;
}

void remove_private_files() {
  Child& c = child();
  if (c.dir.empty()) return;
  ::unlink(c.link.c_str());
  ::unlink(c.out.c_str());
  if (!c.clock.empty()) ::unlink(c.clock.c_str());
  c.clock.clear();
  if (!c.card.empty()) ::unlink(c.card.c_str());
  c.card.clear();
  ::rmdir(c.dir.c_str());
  c.dir.clear();
}

}  // namespace

bool start_simulator(const std::string& crystal_file, std::string& port_path) {
  stop_simulator();
  Child& c = child();
  const std::string exe_dir = executable_dir();
  const std::string sim = exe_dir + "/dorvex-sim";
  if (::access(sim.c_str(), X_OK) != 0) {
    ERRORLOG("The controller simulator " + sim + " was not found next to the program");
    return false;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                        "/dorvex-sim-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) {
    ERRORLOG("Cannot make a directory for the controller simulator under " + pattern);
    return false;
  }
  c.dir = buf.data();
  c.link = c.dir + "/link";
  c.out = c.dir + "/sim.out";
  c.clock = c.dir + "/clock";

  std::vector<std::string> args = {sim, "--link", c.link, "--profile",
                                    S().shell.program_directory + "DIFPROF.DAT", "--clock",
                                    c.clock};
  const std::string crystal = crystal_file.empty() ? bundled_crystal(exe_dir) : crystal_file;
  if (!crystal.empty()) {
    args.push_back("--crystal");
    args.push_back(crystal);
  }
  if (S().profile.interface_type == 1 || S().profile.interface_type == 7) {
    args.push_back("--family");
    args.push_back(S().profile.interface_type == 1 ? "smc9000" : "smc9300");
  }
  if (S().profile.interface_type == 3) {
    // The SIN-10 counts and switches the shutter on an I/O card: the simulator serves it on a
    // socket beside the link, and the card access of the program goes there.
    c.card = c.dir + "/card";
    args.push_back("--iocard");
    args.push_back(c.card);
    ::setenv("DORVEX_IOCARD", c.card.c_str(), 1);
  }
  for (const std::string& w : split_blanks(std::getenv("DORVEX_SIM_ARGS"))) args.push_back(w);

  int in_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0) {
    ERRORLOG("Cannot start the controller simulator: no pipe");
    remove_private_files();
    return false;
  }
  const int out_fd = ::open(c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(in_pipe[0], STDIN_FILENO);
    if (out_fd >= 0) ::dup2(out_fd, STDOUT_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  if (out_fd >= 0) ::close(out_fd);
  if (pid < 0) {
    ::close(in_pipe[1]);
    ERRORLOG("Cannot start the controller simulator: fork failed");
    remove_private_files();
    return false;
  }
  c.pid = pid;
  c.stdin_fd = in_pipe[1];

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadyTimeoutMs);
  for (;;) {
    std::string path;
    if (ready_line(c.out, path)) {
      port_path = path;
      if (!connect_clock(c.clock))
        WARNING("The simulator's clock cannot be reached: instrument times are wall-clock times");
      return true;
    }
    int wstatus = 0;
    if (::waitpid(c.pid, &wstatus, WNOHANG) == c.pid) {
      c.pid = -1;
      std::ifstream in(c.out);
      std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      ERRORLOG("The controller simulator ended before it was ready" +
               (said.empty() ? std::string() : ": " + said));
      stop_simulator();
      return false;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ERRORLOG("The controller simulator did not become ready within 10 seconds");
      stop_simulator();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void stop_simulator() {
  Child& c = child();
  if (instrument_clock_simulated()) set_instrument_clock(nullptr);
  CARD_RELEASE();
  if (c.stdin_fd >= 0) ::close(c.stdin_fd);
  c.stdin_fd = -1;
  if (c.pid > 0) {
    ::kill(c.pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int wstatus = 0;
    while (::waitpid(c.pid, &wstatus, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(c.pid, SIGKILL);
        ::waitpid(c.pid, &wstatus, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    c.pid = -1;
  }
  remove_private_files();
}

}  // namespace dorvex
