// Cost of the instrument path against dorvex-sim on a pseudo-terminal:
//   DrivepFourCircles  one DRIVEP of all four circles with its verification (time scale 0)
//   StepScan9          one 9-point omega step scan with its count array (time scale 0)
//   WaitCpu20s         the program's CPU time while it waits for a 20-second drive (time
//                      scale 1); cpu_percent must stay under 2
// The counter `exchanges` is the number of lines the controller received per iteration.
// Build with -DDORVEX_BENCH=ON and run bench/bench_instrument from the build directory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/state.hpp"
#include "files/difprof.hpp"
#include "instrument/controller.hpp"
#include "instrument/motion.hpp"
#include "instrument/transport.hpp"
#include "toolkit/backends.hpp"
#include "toolkit/toolkit.hpp"

using namespace dorvex;

namespace {

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string replace_line(const std::string& text, const std::string& key, const std::string& line) {
  std::istringstream in(text);
  std::string out, l;
  while (std::getline(in, l)) out += (l.rfind(key, 0) == 0 ? line : l) + "\n";
  return out;
}

// A simulator child, the program state set up as at start-up in NORMAL mode.
class Session {
 public:
  explicit Session(const std::string& time_scale, bool slow_phi = false) {
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe");
    const std::string sim = (exe.parent_path().parent_path() / "dorvex-sim").string();
    const std::string source = std::filesystem::path(__FILE__).parent_path().parent_path();
    std::string pattern = (std::filesystem::temp_directory_path() / "dorvex-bench-XXXXXX").string();
    dir_ = std::string(::mkdtemp(pattern.data())) + "/";
    std::string profile = read_text(source + "/examples/DIFPROF.DAT");
    profile = replace_line(profile, "CONFIG",
                           "CONFIG    1    1    1    1    0    0    1    1    0    0   10    1");
    if (slow_phi)  // 9 degrees per second
      profile = replace_line(profile, "MOTOR4",
                             "MOTOR4 4,    100.00    900.00    100.00    900.00    200.00");
    std::ofstream(dir_ + "DIFPROF.DAT") << profile;
    wire_ = dir_ + "wire.txt";
    std::vector<std::string> args = {sim, "--link", dir_ + "link", "--profile", dir_ + "DIFPROF.DAT",
                                     "--time-scale", time_scale, "--transcript", wire_};
    int in[2];
    if (::pipe(in) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      ::dup2(in[0], 0);
      const int fd = ::open((dir_ + "sim.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, 1);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    stdin_ = in[1];
    while (read_text(dir_ + "sim.out").find("READY") == std::string::npos)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    reset_program_state();
    if (::pipe(console_in_) != 0) std::abort();
    const int sink = ::open("/dev/null", O_WRONLY);
    set_toolkit(make_line_toolkit(console_in_[0], sink));
    S().shell.program_directory = dir_;
    S().shell.data_directory = dir_;
    READ_DIFPROF();
    S().shell.operating_mode = MODE_NORMAL;
    S().shell.port_override = dir_ + "link";
    OPEN_COMMPORT();
    WAKE_MOTORS();
  }
  ~Session() {
    CLOSE_COMMPORT();
    set_toolkit(nullptr);
    ::close(stdin_);
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    std::filesystem::remove_all(dir_);
  }
  long received() const {
    long n = 0;
    std::istringstream in(read_text(wire_));
    for (std::string l; std::getline(in, l);) n += l.find(" < ") != std::string::npos ? 1 : 0;
    return n;
  }

 private:
  std::string dir_, wire_;
  pid_t pid_ = -1;
  int stdin_ = -1;
  int console_in_[2] = {-1, -1};
};

void DrivepFourCircles(benchmark::State& state) {
  Session session("0");
  const AngleSet a{20.0f, 1.0f, 30.0f, 40.0f}, b{25.0f, -1.0f, 35.0f, 45.0f};
  long exchanges = 0, iterations = 0;
  for (auto _ : state) {
    S().motion.target = (iterations % 2 == 0) ? a : b;
    const long before = session.received();
    int status = 0;
    DRIVEP(1, status);
    exchanges += session.received() - before;
    ++iterations;
    if (S().shell.error_flag != 0) state.SkipWithError("drive failed");
  }
  state.counters["exchanges"] = static_cast<double>(exchanges) / static_cast<double>(iterations);
}
BENCHMARK(DrivepFourCircles)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

void StepScan9(benchmark::State& state) {
  Session session("0");
  S().motion.target = {20.0f, 0.0f, 0.0f, 0.0f};
  int status = 0;
  DRIVEP(1, status);
  ONBEAM();
  long exchanges = 0, iterations = 0;
  for (auto _ : state) {
    std::array<int, 200> counts{};
    std::array<float, 200> positions{};
    int mode = 2;
    float used = 0;
    const long before = session.received();
    RUNSCAN(mode, 0.01f, 1.0f, 9, counts, status, used, 0, positions);
    exchanges += session.received() - before;
    ++iterations;
    if (status != 0 || S().shell.error_flag != 0) state.SkipWithError("scan failed");
  }
  state.counters["exchanges"] = static_cast<double>(exchanges) / static_cast<double>(iterations);
}
BENCHMARK(StepScan9)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

double process_cpu_seconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void WaitCpu20s(benchmark::State& state) {
  Session session("1", true);
  for (auto _ : state) {
    const long before = session.received();
    const double cpu0 = process_cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    S().motion.target = {5.0f, 2.5f, 0.0f, 180.0f};
    int status = 0;
    DRIVEP(1, status);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = process_cpu_seconds() - cpu0;
    state.counters["wall_s"] = wall;
    state.counters["cpu_percent"] = 100.0 * cpu / wall;
    state.counters["exchanges"] = static_cast<double>(session.received() - before);
    if (S().shell.error_flag != 0) state.SkipWithError("drive failed");
  }
}
BENCHMARK(WaitCpu20s)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace
