// P4 driver. Every command goes through SENDH_6 with its exact length; an answer is read only
// while the expect-answer flag is 1 (the status request "U0,0" and the "D" that ends a count).
#include "instrument/drivers/p4.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "instrument/controller.hpp"
#include "instrument/driver.hpp"
#include "geometry/limits.hpp"
#include "instrument/motion.hpp"
#include "instrument/transport.hpp"
#include "instrument/runscan_start.hpp"
#include "console/dialogue.hpp"
#include "console/output.hpp"
#include "console/status.hpp"
#include "console/wait.hpp"

namespace dorvex {

namespace p4 {

namespace {
State driver_state;
}  // namespace

State& state() { return driver_state; }
void reset() { driver_state = State{}; }

std::optional<StatusAnswer> decode_status(const std::string& answer) {
  if (answer.size() < 55) return std::nullopt;
  // Column map: 1-10 2theta, 12-21 omega, 23-32 phi, 34-43 chi (F10.6); 45-49 and 51-55 the
  // status words (I5).
  StatusAnswer out;
  for (int i = 0; i < 4; ++i) {
    const auto v = read_real_field(answer, 1 + 11 * i, 10, 6);
    // The controller counts its circles within one turn: anything further is line noise.
    if (!v || !std::isfinite(*v) || std::fabs(*v) > 360.0) return std::nullopt;
    out.angle[static_cast<std::size_t>(i)] = *v;
  }
  const auto w1 = read_int_field(answer, 45, 5);
  const auto w2 = read_int_field(answer, 51, 5);
  if (!w1 || !w2) return std::nullopt;
  out.word1 = *w1;
  out.word2 = *w2;
  return out;
}

std::optional<double> decode_count(const std::string& answer) {
  const ListInput in = read_list(answer);
  if (in.values.empty() || !std::isfinite(in.values[0])) return std::nullopt;
  return in.values[0];
}

float count_time(float requested) {
  float used = static_cast<float>(NINT(requested * 100.0f)) / 100.0f;
  if (!(used >= 0.25f)) used = 0.25f;
  // "C0," carries the time as F6.3: 99.99 s is the longest count the command can hold.
  return std::min(used, 99.99f);
}

float signed_angle(float a) { return a > 180.0f ? a - 360.0f : a; }

float nearest_turn(float reading, float known) {
  const float turns = std::round((known - reading) / 360.0f);
  if (!std::isfinite(turns) || std::fabs(turns) > 1000.0f) return reading;
  return reading + 360.0f * turns;
}

}  // namespace p4

namespace {

using p4::state;

const MachineProfile& P() { return S().profile; }
const MotorProfile& motor_profile(int m) { return P().motor[static_cast<std::size_t>(m)]; }
std::string axis(int m) { return std::string(1, motor_profile(m).axis); }
float offset(int m) { return P().offset[static_cast<std::size_t>(m)]; }
bool free_circle(int m) {
  if (m == 3) return P().chi_limited == 0 && S().device.chi_limited == 0;
  if (m == 4) return P().phi_limited == 0 && S().device.phi_limited == 0;
  return false;
}
void remember_free(int m, float controller_angle) {
  if (!free_circle(m)) return;
  state().free_angle[static_cast<std::size_t>(m)] = controller_angle;
  state().free_known[static_cast<std::size_t>(m)] = 1;
}

// Sends a command whose answer is not read.
void send(const std::string& command) {
  state().expect_answer = 0;
  std::string reply;
  int length = 0;
  SENDH_6(command, static_cast<int>(command.size()), reply, length);
  state().expect_answer = 0;
}

// Sends a command and reads its answer.
std::string ask(const std::string& command, int& length) {
  state().expect_answer = 1;
  std::string reply;
  SENDH_6(command, static_cast<int>(command.size()), reply, length);
  state().expect_answer = 0;
  return reply;
}

// One answer line. The link waits for it without a limit; the operator's halt ends that wait,
// and the link serves it as a halt of the motor waits is.
void read_answer(std::string& reply, int& length) {
  std::string failure;
  const int r = READ_STRING_PORT_QUIET(reply, length, failure);
  if (r == 0) return;
  reply.clear();
  length = 0;
  if (r == 2) ERRORLOG(failure);
}

// Where the controller stands on motor m, in its own terms: the logical reading plus the zero
// offset, and for a coupled omega axis plus half of 2theta. False after a reported failure.
bool controller_position(int m, float& position) {
  float logical = 0.0f;
  RDMTR(m, logical);
  if (failed()) return false;
  position = logical + offset(m);
  if (m == 2 && P().omega_coupled()) {
    float two_theta = 0.0f;
    RDMTR(1, two_theta);
    if (failed()) return false;
    position += two_theta / 2.0f;
  }
  return true;
}

void fixed_phi_snap(float& phi) {
  if (S().device.fixed_phi == 0) return;
  const float spd = motor_profile(4).steps_per_degree;
  const float tol = spd != 0.0f ? 1.5f / spd : 0.0f;
  if (std::fabs(phi) <= tol)
    phi = 0.0f;
  else if (std::fabs(phi - 180.0f) <= tol || std::fabs(phi + 180.0f) <= tol)
    phi = 180.0f;
}

void status_request() {
  std::array<float, 4> values{};
  int status = 1;
  std::string message;
  READ_ALL_MOTOR_INTERFACE_6(values, status, message);
}

}  // namespace

void SENDH_6(const std::string& command, int count, std::string& reply, int& length) {
  reply.clear();
  length = 0;
  const bool answer = state().expect_answer == 1;
  // A late answer to a question given up (a halted wait) must not be taken for this one's.
  if (answer) DISCARD_PENDING_INPUT();
  SEND_STRING_PORT(command, count);
  // A command that did not get out gets no answer: the failure is reported and ends the
  // sequence at once.
  if (last_send_failed()) return;
  if (answer) {
    read_answer(reply, length);
  }
  if (length > 0) {
    const auto first = static_cast<unsigned char>(reply[0]);
    if (first < 32 || first > 126) {
      WRITE_OUT("Illegal first character no. " + I(first, 3) + " returned from interface");
      reply.erase(0, 1);
      --length;
    }
  }
}

void WAKE_MOTORS_6() {
  state().expect_answer = 0;
  send("\r");
  if (!last_send_failed()) return;
  send("\r");
  if (!last_send_failed()) return;
  READ_INTERFACE();
}

void INIT_MOTORS_6() {
  state().expect_answer = 0;
  for (int m = 1; m <= 4; ++m) {
    send("S" + axis(m) + "," + F(motor_profile(m).p[0], 10, 6));
    if (failed()) return;
  }
  for (int m : {3, 4}) {
    send("B" + axis(m) + F(motor_profile(m).lower, 10, 5) + F(motor_profile(m).upper, 10, 5));
    if (failed()) return;
  }
}

void READ_ALL_MOTOR_INTERFACE_6(std::array<float, 4>& values, int& status, std::string& message) {
  status = 1;
  values.fill(0.0f);
  int length = 0;
  const std::string reply = ask("U0,0", length);
  message = reply.substr(0, 100);
  if (failed()) return;
  if (length < 55) {
    WRITE_OUT(reply);
    return;
  }
  const auto answer = p4::decode_status(reply);
  if (!answer) return;  // fields that are not numbers: a failed read like a short one
  // The free circles as the controller counts them, for targets sent in its own turn.
  for (auto [m, field] : {std::pair{3, 3}, std::pair{4, 2}}) {
    state().reading[static_cast<std::size_t>(m)] =
        static_cast<float>(answer->angle[static_cast<std::size_t>(field)]);
    state().reading_known[static_cast<std::size_t>(m)] = 1;
  }
  // The answer gives phi before chi.
  const std::array<int, 4> motor_of_field = {1, 2, 4, 3};
  for (int i = 0; i < 4; ++i) {
    const int m = motor_of_field[static_cast<std::size_t>(i)];
    float a = R_ANGLE(static_cast<float>(answer->angle[static_cast<std::size_t>(i)]), m);
    a = p4::signed_angle(a);
    values[static_cast<std::size_t>(m - 1)] = a;
  }
  for (int m : {3, 4}) {
    float& a = values[static_cast<std::size_t>(m - 1)];
    if (free_circle(m)) {
      // The controller counts a free circle within one turn; the program may have declared
      // it a turn further on (WRAP), and takes the reading in that turn.
      const auto k = static_cast<std::size_t>(m);
      if (state().free_known[k] != 0) a = p4::nearest_turn(a, state().free_angle[k]);
      remember_free(m, a);
    } else {
      float logical = a - offset(m);
      if (PUT_INTO_RANGE(P(), S().device, logical, m) == 0) a = logical + offset(m);
    }
  }
  fixed_phi_snap(values[3]);
  state().status_word = static_cast<int>(answer->word1);
  if (answer->word1 % 2 != 0) {
    AngleSet shown{};
    for (int m = 1; m <= 4; ++m) {
      const auto k = static_cast<std::size_t>(m);
      shown[k - 1] = values[k - 1] - offset(m);
      S().motion.cached[k] = shown[k - 1];
      S().motion.valid[k] = 0;
    }
    shown[1] -= shown[0] / 2.0f;
    S().motion.cached[2] = shown[1];
    DISPLAY_ACTION(12, shown);
    if (P().no_shutter == 0) {
      SHUTTER_6(0);
      SET_SHUTTER_STATUS(0);
      DISPLAY_SHUTTER(0);
    }
    ERRORLOG("Limit switch active");
  }
  status = 0;
}

void READ_MOTOR_INTERFACE_6(int m, int& status, float& value, std::string& message) {
  // The controller reports the four circles together only.
  status = 1;
  value = 0.0f;
  if (m < 1 || m > 4) return;
  std::array<float, 4> values{};
  READ_ALL_MOTOR_INTERFACE_6(values, status, message);
  if (status == 0) value = values[static_cast<std::size_t>(m - 1)];
}

void LOAD_MOTOR_INTERFACE_6(int m, float value) {
  // The controller's position: the fractional parts are aligned on it. `value` is one too.
  float p = 0.0f;
  if (!controller_position(m, p)) return;
  state().expect_answer = 0;
  const float p_fraction = p - static_cast<float>(NINT(p));
  const float v_fraction = R_ANGLE(value - static_cast<float>(NINT(value)), m);
  send("EZ" + axis(m) + "," + F(p_fraction - v_fraction, 8, 3));
  if (failed()) return;
  float v = value;
  if (v < 0.0f) v += 360.0f;
  const long n = NINT(v);
  send("U" + axis(m) + "," + std::to_string(n));
  if (failed()) return;
  remember_free(m, value);
  state().reading_known[static_cast<std::size_t>(m)] = 0;
  S().motion.valid[static_cast<std::size_t>(m)] = 0;
  if (m == 1 || m == 2) S().motion.valid[static_cast<std::size_t>(3 - m)] = 0;
  float again = 0.0f;
  if (!controller_position(m, again)) return;
  // Whole degrees the controller still disagrees by, within one turn (it counts its circles
  // from 0 to 360, the program from -180 to 180); both sides are controller positions.
  long k = NINT(value) - NINT(again);
  k = ((k % 360) + 360) % 360;
  if (k > 180) k -= 360;
  if (k != 0) {
    send("U" + axis(m) + "," + std::to_string(n + k));
    S().motion.valid[static_cast<std::size_t>(m)] = 0;
  }
}

void CHECK_LIMITS_6() {
  if (state().status_word % 2 != 0) ERRORLOG("Limit switch active");
}

void LOAD_DRIVE_6(int m, float x) {
  state().expect_answer = 0;
  // A free circle is sent its target in the turn the controller counts it in, so that it
  // turns the short way, whatever turn the program has declared it in.
  float sent = x;
  const auto k = static_cast<std::size_t>(m);
  if (free_circle(m) && state().reading_known[k] != 0) {
    sent = p4::nearest_turn(x, state().reading[k]);
    state().reading[k] = sent;
  }
  send("F" + axis(m) + "," + F(sent, 8, 3));
  remember_free(m, x);
}

void START_DRIVE_6() { send("D"); }

void DRIVE_MOTOR_REL_6(int m, float step, int start) {
  state().expect_answer = 0;
  send("A" + axis(m) + "," + F(step, 8, 3));
  const auto k = static_cast<std::size_t>(m);
  if (free_circle(m) && state().free_known[k] != 0) state().free_angle[k] += step;
  if (free_circle(m) && state().reading_known[k] != 0) state().reading[k] += step;
  S().motion.valid[k] = 0;
  if (start == 1) START_DRIVE_6();
}

void DRIVE_MOTOR_6(int m, float target, float /*distance*/) {
  LOAD_DRIVE_6(m, target);
  if (failed()) return;
  START_DRIVE_6();
}

void DRIVE_MOTOR_ALL_6() {
  for (int m = 1; m <= 4; ++m) {
    LOAD_DRIVE_6(m, S().motion.drive_target[static_cast<std::size_t>(m - 1)]);
    if (failed()) return;
  }
  START_DRIVE_6();
}

void WAIT_MOTOR_6(int /*m*/, int& busy) {
  // The controller answers the status request only when its axes are at rest.
  busy = 0;
  status_request();
}

void WAIT_6() { status_request(); }

void STOP_ALL_6() {
  // The P4 has no stop command: the beam is closed and the axes end their moves.
  if (P().no_shutter != 0) return;
  SHUTTER_6(0);
  SET_SHUTTER_STATUS(0);
  DISPLAY_SHUTTER(0);
}

void FINISH_6() {}

void XCOUNT_6(float t, float& rate, float& used) {
  used = p4::count_time(t);
  send("I1");
  if (failed()) return;
  send("C0," + F(used, 6, 3));
  if (failed()) return;
  int length = 0;
  const std::string reply = ask("D", length);
  if (failed()) return;
  const auto count = p4::decode_count(reply);
  if (!count) {
    // Taking an unreadable answer for no counts would report a failed count as a measurement.
    ERRORLOG("Count not read from the interface, answer was: " + reply.substr(0, 100));
    return;
  }
  rate = static_cast<float>(*count / used);
  DISPLAY_COUNTER(rate);
}

void RUNSCAN_6(int& mode, float step, float t, int n, std::array<int, 200>& counts, int& status,
               float& used, int at_start, std::array<float, 200>& positions) {
  ScanStart scan;
  if (!RUNSCAN_START(mode, step, n, at_start, counts, status, scan)) return;
  const int scanned = scan.scanned;
  const float start = scan.start;
  AngleSet present = scan.present;
  DISPLAY_ACTION(scan_action(mode), present);
  const ScanStep per_step = SCAN_STEP(mode, step);
  std::vector<int> moved;
  for (int m = 1; m <= 4; ++m)
    if (per_step.motor[static_cast<std::size_t>(m - 1)] != 0.0f) moved.push_back(m);
  std::array<float, 200> y{};
  int highest = 0;
  for (int i = 0; i < n; ++i) {
    // Points that take no time leave no wait in which a halt could be seen: look between them.
    if (halt_pending()) {
      HALTED_BY_USER();
      return;
    }
    // The moves of one step are loaded and started together.
    for (std::size_t j = 0; j < moved.size(); ++j) {
      DRIVE_MOTOR_REL_6(moved[j], per_step.motor[static_cast<std::size_t>(moved[j] - 1)],
                        j + 1 == moved.size() ? 1 : 0);
      if (failed()) return;
    }
    WTMTR(scanned);
    if (failed()) return;
    float rate = 0.0f;
    XCOUNT_6(t, rate, used);
    if (failed()) return;
    const std::size_t k = static_cast<std::size_t>(i);
    counts[k] = static_cast<int>(NINT(rate * used));
    positions[k] = start + static_cast<float>(i + 1) * step;
    y[k] = static_cast<float>(counts[k]);
    highest = std::max(highest, counts[k]);
  }
  DISPLAY_COUNTER(used > 0 ? static_cast<float>(highest) / used : 0.0f);
  PLOTSCAN(n, positions.data(), y.data());
  AngleSet now{};
  RDALLMTR(now);
  if (failed()) return;
  DISPLAY_ACTION(0, now);
  status = 0;
}

void SHUTTER_6(int open) {
  state().expect_answer = 0;
  if (open == 1) send("W+1");
  if (open == 0) send("W-1");
}

void GET_SHUTTER_STATUS_6(int& shutter) {
  // A state that could not be read is asked again; it is never taken for an open shutter.
  for (int attempt = 1; attempt <= 5; ++attempt) {
    std::array<float, 4> values{};
    int status = 1;
    std::string message;
    READ_ALL_MOTOR_INTERFACE_6(values, status, message);
    if (failed()) break;
    if (status == 0) {
      shutter = state().status_word > 32768 ? 1 : 0;
      return;
    }
    if (attempt < 5) WARNING("Shutter state not read from the interface, asking again");
  }
  shutter = 0;
  if (!failed()) ERRORLOG("Shutter state could not be read from the interface");
}

void SEARCH_REFERENCE_MARKS_6(int& /*found*/) {}
void SET_FILTER_6(int /*n*/) {}
void SET_SLIT_6(char /*c*/) {}

const ControllerDriver& p4_driver() {
  static const ControllerDriver table{
      "P4",          SENDH_6,         WAKE_MOTORS_6,         INIT_MOTORS_6,
      READ_MOTOR_INTERFACE_6,         READ_ALL_MOTOR_INTERFACE_6, LOAD_MOTOR_INTERFACE_6,
      CHECK_LIMITS_6, DRIVE_MOTOR_6,  DRIVE_MOTOR_ALL_6,     WAIT_MOTOR_6,
      WAIT_6,        STOP_ALL_6,      FINISH_6,              RUNSCAN_6,
      XCOUNT_6,      SHUTTER_6,       GET_SHUTTER_STATUS_6,  SEARCH_REFERENCE_MARKS_6,
      SET_FILTER_6,  SET_SLIT_6};
  return table;
}

}  // namespace dorvex
