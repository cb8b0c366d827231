// dorvex-sim: a motor/counter controller on a pseudo-terminal, behind a virtual goniometer and
// a virtual crystal, for tests, demonstrations and training.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cerrno>
#include <deque>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "clock_socket.hpp"
#include "crystal.hpp"
#include "family.hpp"
#include "faults.hpp"
#include "instrument.hpp"
#include "pty_link.hpp"
#include "sim_profile.hpp"

namespace {

using namespace dorvex::sim;

const char* const kUsage =
    "usage: dorvex-sim --link PATH --profile DIFPROF.DAT [--crystal FILE]\n"
    "                  [--family smc9000|smc9300|stadi4|sin10|p4] [--time-scale X] [--seed N]\n"
    "                  [--transcript FILE] [--fault FAULT]... [--omega-reading circle|bisecting]\n"
    "                  [--iocard SOCKET] [--state FILE] [--clock SOCKET]\n"
    "\n"
    "Simulates the diffractometer's motor/counter controller on a pseudo-terminal whose slave\n"
    "device PATH links to. Prints \"READY PATH\" when it answers; runs until SIGTERM or SIGINT,\n"
    "or until end of file on standard input when that is a pipe; removes PATH on exit.\n"
    "\n"
    "  --link PATH          symbolic link to create for the controller's serial line\n"
    "  --profile FILE       the diffractometer profile (motors, offsets, senses, terminators,\n"
    "                       wavelength, controller family)\n"
    "  --crystal FILE       the virtual crystal (default: the built-in sample crystal)\n"
    "  --family NAME        smc9000, smc9300, stadi4, sin10 or p4 (default: from the\n"
    "                       profile's CONTROL line)\n"
    "  --iocard SOCKET      sin10: serve the counter and shutter card on this Unix-domain\n"
    "                       socket (removed on exit)\n"
    "  --time-scale X       simulated seconds per real second (default 1; 0: moves and counts\n"
    "                       complete at once)\n"
    "  --clock SOCKET       serve the simulated time on this Unix-domain socket (requests\n"
    "                       \"now\", \"rate\" and \"skip SECONDS\"; removed on exit)\n"
    "  --seed N             seed of the counting noise (default 1)\n"
    "  --transcript FILE    append every line received and sent, with time stamps\n"
    "  --state FILE         rewrite FILE with where every axis stands and the shutter after\n"
    "                       every line served\n"
    "  --omega-reading M    circle: the omega axis reads theta in a bisecting setting;\n"
    "                       bisecting: it reads 0 there (default: circle when the profile's\n"
    "                       CONFIG field 5 is 1, else bisecting)\n"
    "  --fault FAULT        inject a fault (repeatable):\n"
    "      drop:QUERY:N[:K]     no answer to the N-th QUERY (and K-1 more), e.g. drop:?P:3\n"
    "      garble:QUERY:N[:K]   garbled answer         empty:QUERY:N[:K]  empty answer\n"
    "      limit:AXIS:POS       limit switch at controller position POS of AXIS\n"
    "      short:AXIS:N[:DEG]   the next N drives of AXIS stop DEG (0.5) short\n"
    "      countshort:N         the next N count lists lack their last count\n"
    "      shutter:N            the next N shutter-open commands fail\n"
    "      shuttergarble:N      the next N shutter-state answers are garbled\n"
    "      reply:QUERY:TEXT:N[:K]  the N-th answer to QUERY (and K-1 more) is TEXT\n"
    "      late:QUERY:SECONDS:N[:K]  those answers SECONDS late (later ones wait behind)\n"
    "      busy:QUERY:N[:K]     the N-th QUERY command (and K-1 more) refused as busy\n"
    "      dead:QUERY:N         from the N-th QUERY command on, no action and no answer\n"
    "      stall:QUERY:SECONDS:N  after the N-th QUERY command the line takes nothing for\n"
    "                       SECONDS\n";

struct Options {
  std::string link, profile, crystal, family, transcript, omega_reading, iocard, state, clock;
  double time_scale = 1.0;
  unsigned long seed = 1;
  std::vector<std::string> faults;
};

int usage_error(const std::string& message) {
  std::fprintf(stderr, "dorvex-sim: %s\n%s", message.c_str(), kUsage);
  return 2;
}

// Simulated time: scale × real time since start, plus the jumps of instantaneous runs.
class SimClock {
 public:
  explicit SimClock(double scale) : scale_(scale), start_(std::chrono::steady_clock::now()) {}
  double real() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }
  double now() const { return offset_ + scale_ * real(); }
  void jump_to(double t) {
    if (t > now()) offset_ += t - now();
  }
  double scale() const { return scale_; }

 private:
  double scale_;
  double offset_ = 0.0;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::string value;
    if (std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.erase(eq);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return usage_error(arg + " needs a value");
    }
    if (arg == "--link") opt.link = value;
    else if (arg == "--profile") opt.profile = value;
    else if (arg == "--crystal") opt.crystal = value;
    else if (arg == "--family") opt.family = value;
    else if (arg == "--transcript") opt.transcript = value;
    else if (arg == "--fault") opt.faults.push_back(value);
    else if (arg == "--omega-reading") opt.omega_reading = value;
    else if (arg == "--iocard") opt.iocard = value;
    else if (arg == "--state") opt.state = value;
    else if (arg == "--clock") opt.clock = value;
    else if (arg == "--time-scale") {
      if (!parse_real(value, opt.time_scale) || opt.time_scale < 0.0)
        return usage_error("bad time scale " + value);
    } else if (arg == "--seed") {
      double seed = 0.0;
      if (!parse_real(value, seed) || seed < 0.0 || seed != std::floor(seed))
        return usage_error("bad seed " + value);
      opt.seed = static_cast<unsigned long>(seed);
    } else {
      return usage_error("unknown option " + arg);
    }
  }
  if (opt.link.empty() || opt.profile.empty())
    return usage_error("--link and --profile are needed");

  std::string error;
  SimProfile profile;
  if (!read_sim_profile(opt.profile, profile, error)) return usage_error(error);
  std::string family_name = opt.family.empty() ? family_for_interface(profile.interface_type)
                                               : opt.family;
  if (family_name.empty())
    return usage_error("the profile names no simulated controller family (CONTROL " +
                       std::to_string(profile.interface_type) + "); give --family");
  Faults faults;
  // Only the SMC families mark their queries with '?'; the others answer commands of any form.
  faults.any_command = family_name != "smc9000" && family_name != "smc9300";
  for (const std::string& fault : opt.faults) {
    if (!faults.add(fault, error)) return usage_error(error);
  }
  CrystalModel model;
  if (!opt.crystal.empty() && !read_crystal(opt.crystal, model, error)) return usage_error(error);
  model.scattering.monochromator_2theta = profile.monochromator_2theta;
  OmegaReading omega = profile.coupled_omega ? OmegaReading::circle : OmegaReading::bisecting;
  if (opt.omega_reading == "circle") omega = OmegaReading::circle;
  else if (opt.omega_reading == "bisecting") omega = OmegaReading::bisecting;
  else if (!opt.omega_reading.empty()) return usage_error("bad omega reading " + opt.omega_reading);

  double lambda1 = model.lambda1 > 0.0 ? model.lambda1 : profile.lambda1;
  double lambda2 = model.lambda2 >= 0.0 ? model.lambda2 : profile.lambda2;
  double ratio = model.ratio >= 0.0 ? model.ratio : profile.ratio;
  double tth_max = 10.0;
  for (double limit : {profile.motors[1].upper, -profile.motors[1].lower})
    tth_max = std::max(tth_max, std::fabs(limit) + 5.0);
  auto crystal = std::make_unique<Crystal>(
      model, lambda1, lambda2, ratio,
      std::array<int, 3>{profile.senses[2], profile.senses[3], profile.senses[4]}, tth_max);

  Instrument instrument(profile, std::move(crystal), omega, opt.seed, faults);
  SimClock clock(opt.time_scale);
  Transcript transcript;
  if (!opt.transcript.empty() && !transcript.open(opt.transcript))
    return usage_error("cannot open the transcript " + opt.transcript);
  auto note = [&](const std::string& text) {
    transcript.write(clock.real(), clock.now(), "#", text);
  };
  std::unique_ptr<ControllerFamily> family = make_family(family_name, instrument, note);
  if (!family) return usage_error("unknown controller family " + family_name);
  if (!opt.iocard.empty() && !family->open_side(opt.iocard, error)) return usage_error(error);
  ClockSocket clock_socket;
  if (!opt.clock.empty() && !clock_socket.open(opt.clock, error)) return usage_error(error);

  // SIGTERM, SIGINT and SIGHUP end the run through the poll loop, so the link is removed.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);

  PtyLink link;
  // The program's output terminator ends what the simulator receives and vice versa.
  if (!link.open(opt.link, profile.program_output_terminator, profile.program_input_terminator,
                 error)) {
    std::fprintf(stderr, "dorvex-sim: %s\n", error.c_str());
    return 1;
  }
  struct stat in_stat {};
  bool watch_stdin = fstat(STDIN_FILENO, &in_stat) == 0 && S_ISFIFO(in_stat.st_mode);
  // Started by a program through a pipe: leave its process group, so that the operator's
  // interrupt key (the program's halt) does not end the controller; the pipe still does.
  if (watch_stdin) setpgid(0, 0);
  note("start: " + family->name() + " on " + opt.link + ", time scale " +
       std::to_string(opt.time_scale) + ", seed " + std::to_string(opt.seed));
  std::printf("READY %s\n", opt.link.c_str());
  std::fflush(stdout);

  // Answer lines held back by a late answer, with the real time each is due; the controller
  // answers in order, so every answer after a late one waits behind it.
  std::deque<std::pair<double, std::string>> delayed;
  auto put_line = [&](const std::string& text) {
    transcript.write(clock.real(), clock.now(), ">", text);
    if (!link.send(text)) note("answer not taken by the line: dropped");
  };
  auto send_line = [&](const std::string& text, double late_by) {
    if (late_by <= 0.0 && delayed.empty()) {
      put_line(text);
      return;
    }
    const double due = std::max(clock.real() + late_by, delayed.empty() ? 0.0 : delayed.back().first);
    delayed.emplace_back(due, text);
  };
  auto send_delayed = [&]() {
    while (!delayed.empty() && delayed.front().first <= clock.real()) {
      put_line(delayed.front().second);
      delayed.pop_front();
    }
  };

  // Sends the answers of the controller, with the faults applied.
  auto answer = [&](std::vector<Reply>& replies) {
    for (Reply& r : replies) {
      if (faults.dead()) return;
      std::string reply_text;
      double late_by = 0.0;
      AnswerFault fault = faults.answer_fault(r.query, &reply_text, &late_by);
      if (fault == AnswerFault::drop) {
        note("fault: no answer to " + r.query);
        continue;
      }
      if (fault == AnswerFault::late) note("fault: late answer to " + r.query);
      else late_by = 0.0;
      if (fault == AnswerFault::reply) {
        note("fault: answer " + reply_text + " to " + r.query);
        r.lines.assign(1, reply_text);
        r.prefix.clear();
      } else if (fault == AnswerFault::empty) {
        note("fault: empty answer to " + r.query);
        r.lines.assign(1, "");
        r.prefix.clear();
      } else if (fault == AnswerFault::garble) {
        note("fault: garbled answer to " + r.query);
        std::size_t keep = r.last_line_is_end ? 1 : 0;
        for (std::size_t i = 0; i + keep < r.lines.size(); ++i) r.lines[i] = garble(r.lines[i]);
      }
      for (std::size_t i = 0; i < r.lines.size(); ++i)
        send_line((i == 0 ? r.prefix : std::string()) + r.lines[i], i == 0 ? late_by : 0.0);
    }
  };

  // A stalled line: the real time until which the controller takes no characters.
  double stalled_until = -1.0;
  auto end_stall = [&]() {
    if (stalled_until >= 0.0 && clock.real() >= stalled_until) {
      link.hold_input(false);
      stalled_until = -1.0;
      note("the line takes characters again");
    }
  };

  // Where the axes stand and the shutter, for the tests to compare with what the program
  // believes (rewritten whole, so that a reader never sees half of it).
  auto write_state = [&]() {
    if (opt.state.empty()) return;
    const double t = clock.now();
    std::string text;
    for (Axis& a : instrument.axes()) {
      char buffer[128];
      std::snprintf(buffer, sizeof buffer, "axis %d %c %.6f %d\n", a.motor(), a.name(),
                    a.position(t), a.moving(t) ? 1 : 0);
      text += buffer;
    }
    text += std::string("shutter ") + (instrument.shutter_open() ? "1" : "0") + "\n";
    const std::string temporary = opt.state + ".new";
    {
      std::ofstream out(temporary, std::ios::trunc);
      out << text;
    }
    std::rename(temporary.c_str(), opt.state.c_str());
  };

  // Every line the link holds (when `line_ready`): each command is run and its answer sent;
  // then the answers a family held until they were due (the P4 answers a status request only
  // when its axes are at rest). False when the link failed.
  auto serve = [&](bool line_ready) -> bool {
    std::vector<std::string> lines, notes;
    if (line_ready && !link.read_lines(lines, notes)) return false;
    for (const std::string& n : notes) note(n);
    for (const std::string& line : lines) {
      double now = clock.now();
      transcript.write(clock.real(), now, "<", line);
      double seconds = 0.0;
      const std::string query = family->query_of(line);
      switch (faults.command_fault(query, &seconds)) {
        case CommandFault::dead:
          note("fault: the controller does not answer (" + query + ")");
          continue;
        case CommandFault::busy: {
          note("fault: busy, not carried out: " + query);
          const std::string busy = family->busy_answer();
          if (!busy.empty()) send_line(busy, 0.0);
          continue;
        }
        case CommandFault::stall:
          note("fault: the line takes no characters for " + std::to_string(seconds) + " s");
          link.hold_input(true);
          stalled_until = clock.real() + seconds;
          break;
        case CommandFault::none:
          break;
      }
      std::vector<Reply> replies;
      family->receive(line, now, replies);
      if (clock.scale() == 0.0) clock.jump_to(family->finish(clock.now()));
      family->due_answers(clock.now(), replies);
      answer(replies);
    }
    std::vector<Reply> held;
    family->due_answers(clock.now(), held);
    answer(held);
    write_state();
    return true;
  };

  // The side device's requests each see the time of their arrival; at time-scale 0 everything
  // started before runs to its end first, as on the serial line.
  auto side_clock = [&]() {
    if (clock.scale() == 0.0) clock.jump_to(family->finish(clock.now()));
    return clock.now();
  };

  // The program's questions about the simulated time. Lines it sent before asking are served
  // first, so that the moves and counts they start are in the time it is told.
  auto clock_answer = [&](const std::string& request) -> std::string {
    struct pollfd line {link.fd(), POLLIN, 0};
    if (poll(&line, 1, 0) > 0) serve(true);
    char text[64];
    if (request == "rate") {
      std::snprintf(text, sizeof text, "%.9g", clock.scale());
      return text;
    }
    if (request.rfind("skip ", 0) == 0) {
      double seconds = 0.0;
      if (!parse_real(request.substr(5), seconds) || seconds < 0.0) return "?";
      if (clock.scale() == 0.0) clock.jump_to(family->finish(clock.now()) + seconds);
      note("clock: the program waited " + request.substr(5) + " s");
    } else if (request != "now") {
      return "?";
    }
    std::snprintf(text, sizeof text, "%.6f", clock.now());
    return text;
  };

  int status = 0;
  bool stopping = false;
  for (bool running = true; running;) {
    struct pollfd fds[5] = {{link.fd(), POLLIN, 0}, {signal_fd, POLLIN, 0},
                            {watch_stdin ? STDIN_FILENO : -1, POLLIN, 0},
                            {family->side_fd(), POLLIN, 0}, {clock_socket.fd(), POLLIN, 0}};
    // A held answer falls due at a simulated time: wake up for it.
    int timeout_ms = -1;
    const double due = family->next_answer_due();
    if (due != std::numeric_limits<double>::infinity()) {
      const double wait = clock.scale() > 0.0 ? (due - clock.now()) / clock.scale() : 0.0;
      timeout_ms = wait <= 0.0 ? 0 : static_cast<int>(std::min(std::ceil(wait * 1000.0), 1e6));
    }
    // Late answers and the end of a stall fall due in real time.
    for (double real_due : {delayed.empty() ? -1.0 : delayed.front().first, stalled_until}) {
      if (real_due < 0.0) continue;
      const int ms = static_cast<int>(std::max(0.0, std::ceil((real_due - clock.real()) * 1000.0)));
      timeout_ms = timeout_ms < 0 ? ms : std::min(timeout_ms, ms);
    }
    const int ready = poll(fds, 5, timeout_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      status = 1;
      break;
    }
    if (fds[1].revents != 0) {
      note("stop: signal");
      stopping = true;
      break;
    }
    if (fds[2].revents != 0) {
      char sink[256];
      ssize_t n = read(STDIN_FILENO, sink, sizeof sink);
      if (n <= 0) {
        note("stop: end of standard input");
        stopping = true;
        break;
      }
    }
    if (fds[3].revents != 0 && !family->serve_side(side_clock)) {
      note("stop: the side device failed");
      status = 1;
      break;
    }
    if (fds[3].revents != 0) write_state();
    send_delayed();
    end_stall();
    if (fds[4].revents != 0) clock_socket.serve(clock_answer);
    if (fds[0].revents == 0 && ready != 0) continue;
    if (!serve(fds[0].revents != 0)) {
      note("stop: the link failed");
      status = 1;
      break;
    }
  }
  // A controller takes what is already on the line when it is switched off: the program may
  // have ended right after a command that gets no answer. Serve what comes within a short
  // grace, bounded in all.
  if (stopping) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < give_up) {
      struct pollfd fd {link.fd(), POLLIN, 0};
      if (poll(&fd, 1, 50) <= 0 || !serve(true)) break;
    }
  }
  link.close();
  return status;
}
