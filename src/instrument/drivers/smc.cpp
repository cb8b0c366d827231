// SMC9000 / SMC9300 driver. Every command goes through SENDH with its exact length; answers are
// read only for commands beginning with "?". A counting or scanning run is a program downloaded
// into the controller: a main part that calls subroutine 10 n times, and the subroutine (move,
// count, return).
#include "instrument/drivers/smc.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "instrument/controller.hpp"
#include "instrument/driver.hpp"
#include "geometry/limits.hpp"
#include "instrument/motion.hpp"
#include "instrument/transport.hpp"
#include "instrument/runscan_start.hpp"
#include "console/output.hpp"
#include "console/status.hpp"
#include "console/wait.hpp"
#include "console/dialogue.hpp"

namespace dorvex {

namespace smc {

std::string fixed4(float x) { return std::string(trim(F(x, 40, 4))); }

namespace {
std::string num(long n) { return std::to_string(n); }
std::string fixed1(float x) { return std::string(trim(F(x, 40, 1))); }
// The ramp is written as two digits.
std::string two_digits(long k) {
  if (k >= 0 && k < 10) return "0" + num(k);
  return num(k);
}
const MotorProfile& motor_profile(int m) { return S().profile.motor[static_cast<std::size_t>(m)]; }
}  // namespace

std::string drive_command(int family, int m, float x, float d) {
  const MotorProfile& mp = motor_profile(m);
  const std::string head = std::string(1, mp.axis) + ":A" + fixed4(x);
  const long per_minute = NINT(std::fabs(d) * mp.steps_per_degree / 60.0f);
  if (family == 7) {
    long r = 0;
    if (d >= 5)
      r = NINT(mp.p[0]);
    else if (d >= 1)
      r = NINT(mp.p[2]);
    else if (d >= 0)
      r = NINT(mp.p[3]);
    else
      r = per_minute;
    const long s = NINT(mp.p[3]);
    const long k = d < 0 ? 10 : NINT(mp.p[1]);
    return head + "S" + num(s) + "R" + num(r) + "A" + num(k) + ";";
  }
  if (d < 0) return head + "S500L" + num(per_minute) + "B" + two_digits(10) + ";";
  if (d < 1) return head + "S" + num(NINT(0.2f * mp.p[2])) + ";";
  if (d < 5) return head + "S500L" + num(NINT(mp.p[2])) + "B" + two_digits(NINT(mp.p[3])) + ";";
  return head + "S500L" + num(NINT(mp.p[0])) + "B" + two_digits(NINT(mp.p[1])) + ";";
}

float count_time(int family, float t) {
  if (family == 7) return static_cast<float>(NINT(t * 10.0f) + 1) / 10.0f;
  if (t <= 0.0f) return 1.0f;
  // One of 1, 2 or 5 times a power of ten.
  int k = 0;
  float v = t;
  while (v < 100.0f) {
    v *= 10.0f;
    ++k;
  }
  const float scale = std::pow(10.0f, static_cast<float>(k));
  if (v < 150.0f) return 100.0f / scale;
  if (v < 350.0f) return 200.0f / scale;
  return 500.0f / scale;
}

bool decode_position(const std::string& reply, float& value) {
  std::size_t unit = reply.find("mm;");
  if (unit == std::string::npos) unit = reply.find("deg;");
  if (unit == std::string::npos) return false;
  const std::string head = reply.substr(0, unit);
  const std::size_t sign = head.find_first_of("+-");
  if (sign == std::string::npos) return false;
  const std::string field = head.substr(sign);
  const auto v = read_real_field(field, 1, static_cast<int>(field.size()), 4);
  if (!v) return false;
  value = static_cast<float>(*v);
  return true;
}

int decode_axis_state(int s) {
  s &= ~(128 | 64 | 32 | 16);
  if ((s & 8) != 0 || (s & 4) != 0) return 2;
  s &= ~2;
  return s == 1 ? 1 : 0;
}

int half_slit_code(char letter) {
  switch (letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 32) : letter) {
    case 'T': return 4;
    case 'B': return 1;
    case 'L': return 3;
    case 'R': return 2;
    case 'O': return 0;
    default: return -1;
  }
}

AxisStates decode_status(const std::string& reply, int axis_count,
                         const std::array<int, 10>& axis_motor) {
  AxisStates out;
  std::string rest = reply;
  for (int j = 1; j <= axis_count; ++j) {
    // The status lies between ":" and the next ";"; both within the 100-character answer.
    const std::size_t colon = rest.find(':');
    const std::size_t semi = rest.find(';');
    if (colon == std::string::npos || colon + 1 > 98 || semi == std::string::npos ||
        semi < colon || semi + 1 > 100)
      return out;
    const std::string field = rest.substr(colon + 1, semi - colon - 1);
    const auto value = read_int_field(field, 1, static_cast<int>(field.size()));
    if (field.empty() || field.size() > 3 || !value) return out;
    // The field is the j-th axis, unless it names its axis digit before the colon: then that
    // digit counts, so that a gap in the axis numbering (motor 8 without motor 7) cannot leave
    // a motor that is never seen at rest.
    const std::string name(trim(rest.substr(0, colon)));
    const int axis = name.size() == 1 && name[0] >= '0' && name[0] <= '9' ? name[0] - '0' : j;
    rest.erase(0, semi + 1);
    const int motor = axis < 10 ? axis_motor[static_cast<std::size_t>(axis)] : 0;
    const int state = decode_axis_state(static_cast<int>(*value));
    if (state == 2) {
      out.limit = true;
      out.limit_motor = motor;
      out.decoded = true;
      return out;
    }
    if (state == 1) {
      ++out.axes_at_rest;
      if (motor >= 1 && motor <= 10) out.rest[static_cast<std::size_t>(motor)] = 1;
    }
  }
  out.decoded = true;
  return out;
}

bool decode_shutter(const std::string& reply, int& state, std::string& problem) {
  if (reply.empty()) {
    problem = "Null string from controller to get_shutter";
  } else if (reply.size() == 1 && reply[0] >= '0' && reply[0] <= '9') {
    const int digit = reply[0] - '0';
    if (digit == 0 || digit == 1) {
      state = digit;
      return true;
    }
    problem = "Controller returned shutter status = " + I(digit, 5);
  } else {
    problem = "String from controller to get_shutter was:" + reply;
  }
  return false;
}

bool CountList::take(const std::string& line) {
  const std::string first5 = columns(line, 1, 5);
  if (first5.find("CEND") != std::string::npos) return true;
  if (lines < 200) slot[static_cast<std::size_t>(lines)] = first5;
  ++lines;
  return lines > 200;
}

bool CountList::decode(int /*family*/, int n, std::array<int, 200>& counts,
                       std::string& problem) const {
  if (lines != n || lines > 200) {
    problem = "Error in Read Count: Recovered " + I(lines, 3) + " step counts, expected " + I(n, 3);
    return false;
  }
  for (int i = 0; i < n; ++i) {
    const std::string& text = slot[static_cast<std::size_t>(i)];
    // A slot that is not a number is asked for again on both models: it is never a count of 0.
    const auto v = read_int_field(text, 1, 5);
    if (!v) {
      problem = " Error decoding count array at item " + I(i + 1, 3) + "string =" + text;
      return false;
    }
    counts[static_cast<std::size_t>(i)] = static_cast<int>(*v);
  }
  return true;
}

}  // namespace smc

namespace {

using smc::fixed4;

constexpr char kAck = 6;
constexpr char kEtx = 3;

// Counters that live between calls.
int count_recovery = 0;

void sendh(int family, const std::string& command, std::string& reply, int& length) {
  if (family == 7)
    SENDH_7(command, static_cast<int>(command.size()), reply, length);
  else
    SENDH_1(command, static_cast<int>(command.size()), reply, length);
}

void send(int family, const std::string& command) {
  std::string reply;
  int length = 0;
  sendh(family, command, reply, length);
}

void SEND_ACK(int family) { send(family, std::string(1, kAck)); }


const MotorProfile& motor_profile(int m) { return S().profile.motor[static_cast<std::size_t>(m)]; }
std::string axis(int m) { return std::string(1, motor_profile(m).axis); }

// GET_STATUS: the state of every motor (1 at rest, 0 moving); returns the number of axes at
// rest, or -1 after a failure that was reported as an error.
int GET_STATUS(int family, std::array<int, 11>& state) {
  int failures = 0;
  for (;;) {
    std::string reply;
    int length = 0;
    sendh(family, "?S;", reply, length);
    SEND_ACK(family);
    if (failed()) return -1;
    std::string problem;
    if (length == 0) {
      problem = "Null string from controller to wait";
    } else {
      const smc::AxisStates axes =
          smc::decode_status(reply, S().profile.axis_count, S().profile.axis_motor);
      if (axes.limit) {
        STOP_ALL();
        ERRORLOG("Limit switch active for motor" + I(axes.limit_motor, 2));
        return -1;
      }
      if (axes.decoded) {
        state = axes.rest;
        return axes.axes_at_rest;
      }
      problem = "Decode Error in wait. String was:" + reply;
    }
    if (++failures > 5) {
      ERRORLOG(problem);
      return -1;
    }
    WARNING(problem);
  }
}

void WAIT_ANY(int family) {
  if (failed()) return;
  std::array<int, 11> state{};
  // Ask once at once: an axis that is already at rest costs no timer tick.
  int at_rest = GET_STATUS(family, state);
  if (at_rest < 0 || at_rest >= S().profile.axis_count) return;
  WaitTimer timer;
  for (;;) {
    const WaitEvent event = next_wait_event();
    if (event == WaitEvent::halt) {
      if (S().motion.halting != 0) continue;  // a halt while one is served is ignored
      HALTED_BY_USER();
      return;
    }
    if (event == WaitEvent::closed) {
      // No window events any more: the polls are paced by a plain wait, which still looks
      // for the halt.
      WAIT_MS(100);
      if (failed()) return;
    } else if (event != WaitEvent::tick) {
      continue;
    }
    at_rest = GET_STATUS(family, state);
    if (at_rest < 0 || at_rest >= S().profile.axis_count) return;
  }
}

void START_LOAD(int family) {
  WAIT_ANY(family);
  if (failed()) return;
  send(family, "CLR;");
}

void LOAD_DRIVE(int family, int m, float x, float d) {
  send(family, smc::drive_command(family, m, x, d));
}

void START_DRIVE(int family) { send(family, "START:;"); }

void DRIVE_MOTOR_ANY(int family, int m, float target, float distance) {
  START_LOAD(family);
  if (failed()) return;
  LOAD_DRIVE(family, m, target, distance);
  START_DRIVE(family);
}

void DRIVE_MOTOR_ALL_ANY(int family) {
  START_LOAD(family);
  if (failed()) return;
  for (int m = 1; m <= 4; ++m)
    LOAD_DRIVE(family, m, S().motion.drive_target[static_cast<std::size_t>(m - 1)],
               S().motion.drive_distance[static_cast<std::size_t>(m - 1)]);
  START_DRIVE(family);
}

void READ_MOTOR_INTERFACE_ANY(int family, int m, int& status, float& value, std::string& message) {
  status = 1;
  value = 0.0f;
  std::string reply;
  int length = 0;
  sendh(family, "?P" + axis(m) + ";", reply, length);
  message = reply.substr(0, 100);
  float v = 0.0f;
  if (!smc::decode_position(reply, v)) return;
  value = v;
  status = 0;
}

void LOAD_MOTOR_INTERFACE_ANY(int family, int m, float x) {
  send(family, "POS" + axis(m) + ":" + fixed4(x) + ";");
}

void WAIT_MOTOR_ANY(int family, int m, int& busy) {
  std::array<int, 11> state{};
  const int at_rest = GET_STATUS(family, state);
  busy = (at_rest < 0 || state[static_cast<std::size_t>(m)] == 1) ? 0 : 1;
}

void STOP_ALL_ANY(int family) {
  send(family, "Q;");
  SEND_ACK(family);
  if (S().profile.no_shutter == 0) {
    send(family, "IO0;");
    S().motion.shutter_state = 0;
    DISPLAY_SHUTTER(0);  // a halt closes the beam: the window must not go on showing it open
  }
}

// READ_COUNT_ARRAY: n counts of the last run into counts; false after a reported error.
bool READ_COUNT_ARRAY(int family, int n, std::array<int, 200>& counts) {
  for (;;) {
    WAIT_ANY(family);
    if (failed()) return false;
    send(family, "?CNT;");
    if (failed()) return false;
    smc::CountList list;
    std::string problem;
    for (;;) {
      std::string line;
      int length = 0;
      std::string why;
      const int r = READ_STRING_PORT_QUIET(line, length, why);
      if (r >= 2) {
        if (r == 2) ERRORLOG(why);
        return false;
      }
      if (r == 1) {
        problem = " Error in reading count array";
        break;
      }
      if (list.take(line)) break;
    }
    if (problem.empty()) list.decode(family, n, counts, problem);
    if (problem.empty()) {
      if (count_recovery != 0) {
        MESSAGE("Recovered from Read Error in Read Count: " + I(n, 3) + " counts recovered");
        count_recovery = 0;
      }
      SEND_ACK(family);
      return true;
    }
    WARNING(problem);
    if (count_recovery > 3) {
      count_recovery = 0;
      ERRORLOG("Unable to recover from read error of count array");
      return false;
    }
    ++count_recovery;
    SEND_ACK(family);
  }
}

void XCOUNT_ANY(int family, float t, float& rate, float& used) {
  const long n = std::clamp<long>(NINT(t), 1, 100);
  used = static_cast<float>(n);
  WAIT_ANY(family);
  if (failed()) return;
  for (const std::string& c : {std::string("CLR;"), std::string("CCNT;"), "GSB10*" + std::to_string(n) + ";",
                               std::string("NL;"), std::string("END;"), std::string("LIN10;"),
                               std::string("CNT1.0;"), std::string("NL;"), std::string("RET;"),
                               std::string("NL;"), std::string("START:;")}) {
    send(family, c);
    if (failed()) return;
  }
  WAIT_ANY(family);
  if (failed()) return;
  std::array<int, 200> counts{};
  if (!READ_COUNT_ARRAY(family, static_cast<int>(n), counts)) return;
  double sum = 0;
  for (long i = 0; i < n; ++i) sum += counts[static_cast<std::size_t>(i)];
  rate = static_cast<float>(sum / used);
  DISPLAY_COUNTER(rate);
}

void RUNSCAN_ANY(int family, int& mode, float step, float t, int n, std::array<int, 200>& counts,
                 int& status, float& used, int at_start, std::array<float, 200>& positions) {
  ScanStart scan;
  if (!RUNSCAN_START(mode, step, n, at_start, counts, status, scan)) return;
  const float start = scan.start;
  AngleSet present = scan.present;
  used = smc::count_time(family, t);

  // Main program, then subroutine 10 (relative move(s) and one count).
  START_LOAD(family);
  if (failed()) return;
  std::vector<std::string> program = {"CLR;", "CCNT;", "GSB10*" + std::to_string(n) + ";", "NL;",
                                      "END;", "LIN10;"};
  auto relative = [&](int m, float by) {
    program.push_back(axis(m) + ":" + fixed4(by) + "S" +
                      std::to_string(NINT(0.4f * motor_profile(m).p[2])) + ";");
  };
  const ScanStep per_step = SCAN_STEP(mode, step);
  for (int m = 1; m <= 4; ++m)
    if (per_step.motor[static_cast<std::size_t>(m - 1)] != 0.0f)
      relative(m, per_step.motor[static_cast<std::size_t>(m - 1)]);
  for (const char* tail : {"", "NL;", "RET;", "NL;", "START:;"}) {
    if (*tail == '\0')
      program.push_back("CNT" + smc::fixed1(used) + ";");
    else
      program.push_back(tail);
  }
  DISPLAY_ACTION(scan_action(mode), present);
  for (const std::string& c : program) {
    send(family, c);
    if (failed()) return;
  }
  WAIT_ANY(family);
  if (failed()) return;

  // The controller moved the circles by n steps; the cache follows without a read.
  for (std::size_t i = 1; i <= 4; ++i)
    if (S().motion.valid[i] != 0)
      S().motion.cached[i] += static_cast<float>(n) * per_step.logical[i - 1];

  if (!READ_COUNT_ARRAY(family, n, counts)) return;
  int highest = 0;
  std::array<float, 200> y{};
  for (int i = 0; i < n; ++i) {
    const std::size_t k = static_cast<std::size_t>(i);
    positions[k] = start + static_cast<float>(i + 1) * step;
    highest = std::max(highest, counts[k]);
    y[k] = static_cast<float>(counts[k]);
  }
  DISPLAY_COUNTER(used > 0 ? static_cast<float>(highest) / used : 0.0f);
  PLOTSCAN(n, positions.data(), y.data());
  AngleSet now{};
  RDALLMTR(now);
  if (failed()) return;
  DISPLAY_ACTION(0, now);
  status = 0;
}

void GET_SHUTTER_STATUS_ANY(int family, int& state) {
  int failures = 0;
  for (;;) {
    std::string reply;
    int length = 0;
    sendh(family, "?IO;", reply, length);
    SEND_ACK(family);
    if (failed()) return;
    std::string problem;
    if (smc::decode_shutter(reply.substr(0, static_cast<std::size_t>(length)), state, problem))
      return;
    if (++failures > 5) {
      ERRORLOG(problem);
      return;
    }
    WARNING(problem);
  }
}

void SET_FILTER_ANY(int family, int n) {
  WAIT_ANY(family);
  if (failed()) return;
  send(family, "*FI" + std::to_string(n) + ";");
}

void SET_SLIT_ANY(int family, char c) {
  const int n = smc::half_slit_code(c);
  if (n < 0) return;
  WAIT_ANY(family);
  if (failed()) return;
  send(family, "*HS" + std::to_string(n) + ";");
}

// False when `reply` is plainly the answer to another question: a late answer still on its way
// when the question was asked. A position names its axis before ':'; an axis status or the
// shutter state never carries a unit.
bool belongs(const std::string& question, const std::string& reply) {
  const bool position = reply.find("deg;") != std::string::npos ||
                        reply.find("mm;") != std::string::npos;
  if (question.rfind("?P", 0) == 0 && question.size() >= 3) {
    const std::size_t colon = reply.find(':');
    if (colon == std::string::npos) return true;  // the decoder judges it
    const std::string_view name = trim(std::string_view(reply).substr(0, colon));
    return name.size() != 1 || name[0] == question[2];
  }
  if (question == "?S;" || question == "?IO;") return !position;
  return true;
}

void SENDH_ANY(int family, const std::string& command, int count, std::string& reply,
               int& reply_length) {
  reply.clear();
  reply_length = 0;
  const bool question = count > 0 && !command.empty() && command[0] == '?';
  // A late answer to an earlier question must not be taken for this one's.
  if (question) DISCARD_PENDING_INPUT();
  SEND_STRING_PORT(command, count);
  if (last_send_failed()) {
    if (!(count == 1 && command[0] == kAck)) SEND_STRING_PORT(std::string(1, kAck), 1);
    return;
  }
  if (!question) return;
  if (command.rfind("?CNT", 0) == 0) return;  // the count reader takes the answer lines
  // A controller that does not answer in time gives an empty answer with a warning: every
  // caller asks again under its own retry rule, and reports the error when the rule runs out.
  const std::string asked = command.substr(0, static_cast<std::size_t>(count));
  for (int foreign = 0;; ++foreign) {
    std::string failure;
    const int r = READ_STRING_PORT_QUIET(reply, reply_length, failure);
    if (r == 1) WARNING(failure);
    if (r == 2) ERRORLOG(failure);
    if (family == 7 && reply_length > 0 && reply[0] == kEtx) {
      reply.erase(0, 1);
      --reply_length;
    }
    if (r != 0 || belongs(asked, reply)) return;
    WARNING("Answer " + reply + " does not belong to " + asked + ": discarded");
    if (foreign >= 3) {  // the caller's retry rule asks again
      reply.clear();
      reply_length = 0;
      return;
    }
  }
}

void WAKE_ANY(int family) {
  SEND_ACK(family);
  if (failed()) return;
  READ_INTERFACE();
}

void CHECK_LIMITS_ANY(int family) {
  std::array<int, 11> state{};
  GET_STATUS(family, state);
}

void SHUTTER_ANY(int family, int open) {
  if (open == 0) send(family, "IO0;");
  if (open == 1) send(family, "IO1;");
}

}  // namespace

// The routines of each type, named by their suffix; types 1 and 7 differ only inside the shared
// code (SENDH, LOAD_DRIVE, SET_COUNTTIME, READ_COUNT_ARRAY).
#define DORVEX_SMC_ROUTINES(T)                                                                  \
  void SENDH_##T(const std::string& command, int count, std::string& reply, int& length) {    \
    SENDH_ANY(T, command, count, reply, length);                                              \
  }                                                                                           \
  void WAKE_MOTORS_##T() { WAKE_ANY(T); }                                                     \
  void INIT_MOTORS_##T() {}                                                                   \
  void READ_MOTOR_INTERFACE_##T(int m, int& status, float& value, std::string& message) {     \
    READ_MOTOR_INTERFACE_ANY(T, m, status, value, message);                                   \
  }                                                                                           \
  void READ_ALL_MOTOR_INTERFACE_##T(std::array<float, 4>&, int&, std::string&) {}             \
  void LOAD_MOTOR_INTERFACE_##T(int m, float x) { LOAD_MOTOR_INTERFACE_ANY(T, m, x); }        \
  void CHECK_LIMITS_##T() { CHECK_LIMITS_ANY(T); }                                            \
  void DRIVE_MOTOR_##T(int m, float x, float d) { DRIVE_MOTOR_ANY(T, m, x, d); }              \
  void DRIVE_MOTOR_ALL_##T() { DRIVE_MOTOR_ALL_ANY(T); }                                      \
  void WAIT_MOTOR_##T(int m, int& busy) { WAIT_MOTOR_ANY(T, m, busy); }                       \
  void WAIT_##T() { WAIT_ANY(T); }                                                            \
  void STOP_ALL_##T() { STOP_ALL_ANY(T); }                                                    \
  void FINISH_##T() {}                                                                        \
  void RUNSCAN_##T(int& mode, float step, float t, int n, std::array<int, 200>& counts,       \
                   int& status, float& used, int at_start, std::array<float, 200>& pos) {     \
    RUNSCAN_ANY(T, mode, step, t, n, counts, status, used, at_start, pos);                    \
  }                                                                                           \
  void XCOUNT_##T(float t, float& rate, float& used) { XCOUNT_ANY(T, t, rate, used); }        \
  void SHUTTER_##T(int open) { SHUTTER_ANY(T, open); }                                        \
  void GET_SHUTTER_STATUS_##T(int& state) { GET_SHUTTER_STATUS_ANY(T, state); }               \
  void SEARCH_REFERENCE_MARKS_##T(int&) {}                                                    \
  void SET_FILTER_##T(int n) { SET_FILTER_ANY(T, n); }                                        \
  void SET_SLIT_##T(char c) { SET_SLIT_ANY(T, c); }                                           \
  const ControllerDriver& smc_table_##T() {                                                   \
    static const ControllerDriver table{                                                      \
        T == 1 ? "SMC9000" : "SMC9300", SENDH_##T, WAKE_MOTORS_##T, INIT_MOTORS_##T,          \
        READ_MOTOR_INTERFACE_##T, READ_ALL_MOTOR_INTERFACE_##T, LOAD_MOTOR_INTERFACE_##T,     \
        CHECK_LIMITS_##T, DRIVE_MOTOR_##T, DRIVE_MOTOR_ALL_##T, WAIT_MOTOR_##T, WAIT_##T,     \
        STOP_ALL_##T, FINISH_##T, RUNSCAN_##T, XCOUNT_##T, SHUTTER_##T,                       \
        GET_SHUTTER_STATUS_##T, SEARCH_REFERENCE_MARKS_##T, SET_FILTER_##T, SET_SLIT_##T};    \
    return table;                                                                             \
  }

DORVEX_SMC_ROUTINES(1)
DORVEX_SMC_ROUTINES(7)
#undef DORVEX_SMC_ROUTINES

const ControllerDriver& smc9000_driver() { return smc_table_1(); }
const ControllerDriver& smc9300_driver() { return smc_table_7(); }

}  // namespace dorvex
