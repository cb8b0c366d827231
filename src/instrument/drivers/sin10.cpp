// SIN-10 driver. Every command goes through SENDH_3, which reads the one answer the controller
// gives to each command and sends the command again while the answer is a complaint. Counting
// is done on the I/O card: a timer chip gated for the count time, with two cascaded counters
// for the detector pulses.
#include "instrument/drivers/sin10.hpp"

#include <time.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <vector>
#include <cstdlib>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "instrument/controller.hpp"
#include "instrument/driver.hpp"
#include "instrument/iocard.hpp"
#include "geometry/limits.hpp"
#include "instrument/motion.hpp"
#include "instrument/transport.hpp"
#include "instrument/runscan_start.hpp"
#include "console/dialogue.hpp"
#include "console/output.hpp"
#include "console/status.hpp"
#include "console/wait.hpp"

namespace dorvex {

namespace sin10 {

bool decode_steps(const std::string& reply, long& steps) {
  const std::size_t semi = reply.find(';');
  if (semi == std::string::npos) return false;
  std::string_view field(reply.data(), semi);
  while (!field.empty() && field.front() == ' ') field.remove_prefix(1);
  while (!field.empty() && field.back() == ' ') field.remove_suffix(1);
  if (!field.empty() && field.front() == '+') field.remove_prefix(1);
  if (field.empty() || field.size() > 11) return false;
  long v = 0;
  auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), v);
  if (ec != std::errc() || end != field.data() + field.size()) return false;
  if (v < -2147483647L || v > 2147483647L) return false;
  steps = v;
  return true;
}

bool decode_digit(const std::string& reply, int& value) {
  if (reply.empty() || reply[0] < '0' || reply[0] > '9') return false;
  value = reply[0] - '0';
  return true;
}

bool answer_accepted(const std::string& reply) {
  return reply.empty() || (reply[0] != '?' && reply[0] != '$' && reply[0] != '#' &&
                           reply[0] != '!');
}

int count_milliseconds(float seconds) {
  if (!(seconds >= 0.002f)) seconds = 0.002f;  // also a time that is not a number
  // The gate counter holds N - 1 in 16 bits: a longer time would wrap round to a short count
  // that still claimed the full time.
  if (seconds > 65.536f) seconds = 65.536f;
  long n = NINT(seconds * 1000.0f);
  if (n < 2) n = 5;
  return static_cast<int>(std::min(n, 65536L));
}

std::vector<std::pair<int, int>> count_program(int milliseconds) {
  constexpr int C = kCardCommand, D = kCardData;
  const int last = milliseconds - 1;
  return {{C, 0xFF}, {C, 0x5F}, {C, 0xE7}, {C, 0x17}, {D, 0xE0}, {D, 0xC1},
          {C, 0x01}, {D, 0x25}, {D, 0x0B}, {C, 0x02}, {D, 0x42}, {D, 0x00},
          {C, 0x03}, {D, 0x2D}, {D, 0x83}, {C, 0x04}, {D, 0x28}, {D, 0x00},
          {C, 0x0A}, {D, last & 0xFF}, {D, (last >> 8) & 0xFF},
          {C, 0x12}, {D, 0xFF}, {D, 0xFF}, {C, 0x09}, {D, 0xE8}, {D, 0x03},
          {C, 0x0B}, {D, 0x00}, {D, 0x00}, {C, 0x0C}, {D, 0x00}, {D, 0x00},
          {C, 0x4F}, {C, 0xEA}, {C, 0x2F}};
}

long long assemble_count(int x, int y, int u, int v) {
  return static_cast<long long>(y) * 16777216LL + static_cast<long long>(x) * 65536LL +
         static_cast<long long>(v) * 256LL + u;
}

}  // namespace sin10

namespace {

constexpr char kEsc = 27;
constexpr char kEtx = 3;

const MotorProfile& motor_profile(int m) { return S().profile.motor[static_cast<std::size_t>(m)]; }
std::string axis(int m) { return std::string(1, motor_profile(m).axis); }
long steps_of(int m, float degrees) { return NINT(degrees * motor_profile(m).steps_per_degree); }

void exchange(const std::string& command, std::string& reply) {
  int length = 0;
  SENDH_3(command, static_cast<int>(command.size()), reply, length);
}

void send(const std::string& command) {
  std::string reply;
  exchange(command, reply);
}

// The relative moves of one step, built up by DRIVE_MOTOR_REL_3.
std::string& relative_line() {
  static std::string line;
  return line;
}

// Every present motor at rest: 1; still moving: 0; -1 after a reported failure.
int all_at_rest() {
  for (int m = 1; m <= 10; ++m) {
    if (!S().profile.motor_present(m)) continue;
    int busy = 1;
    WAIT_MOTOR_3(m, busy);
    if (failed()) return -1;
    if (busy != 0) return 0;
  }
  return 1;
}

// One count on the card: the raw count and the time counted; false when the count did not
// finish (reported, or halted by the operator).
bool card_count(float seconds, long long& count, float& used) {
  const int n = sin10::count_milliseconds(seconds);
  used = static_cast<float>(n) / 1000.0f;
  for (const auto& [port, value] : sin10::count_program(n)) {
    CARD_OUT(port, value);
    if (failed()) return false;
  }
  // The gate closes after n milliseconds; a card that never says so is given up well after.
  using Clock = std::chrono::steady_clock;
  const auto give_up = Clock::now() + std::chrono::milliseconds(2 * n + 5000);
  for (int polls = 0;; ++polls) {
    const int status = CARD_IN(kCardCommand);
    if (failed()) return false;
    if ((status & 4) == 0) break;
    if (halt_pending()) {
      HALTED_BY_USER();
      return false;
    }
    if (Clock::now() > give_up) {
      ERRORLOG("Counter and shutter card: the count of" + I(n, 6) +
               " ms did not end (status " + I(status, 3) + ")");
      return false;
    }
    if (polls > 2) {
      timespec pause{0, 1000000L};
      ::nanosleep(&pause, nullptr);
    }
  }
  CARD_OUT(kCardCommand, 0x8F);
  CARD_OUT(kCardCommand, 0x14);
  const int x = CARD_IN(kCardData);
  const int y = CARD_IN(kCardData);
  CARD_OUT(kCardCommand, 0x13);
  const int u = CARD_IN(kCardData);
  const int v = CARD_IN(kCardData);
  if (failed()) return false;
  count = sin10::assemble_count(x, y, u, v);
  return true;
}

}  // namespace

void SENDH_3(const std::string& command, int count, std::string& reply, int& length) {
  reply.clear();
  length = 0;
  const std::string sent = command.substr(0, static_cast<std::size_t>(std::max(count, 0)));
  for (int errors = 0;; ++errors) {
    // A late answer to an earlier command must not be taken for this one's.
    DISCARD_PENDING_INPUT();
    SEND_STRING_PORT(command, count);
    // A command that did not get out gets no answer: the failure is reported and ends the
    // sequence at once.
    if (last_send_failed()) return;
    READ_STRING_PORT(reply, length);
    if (failed()) return;
    if (!sent.empty() && sent[0] == kEsc) return;
    if (sin10::answer_accepted(reply)) return;
    if (errors == 5) {
      ERRORLOG(" ***** Error from Sendh: Sent: " + sent +
               "          returned string was: " + reply.substr(0, 50));
      return;
    }
  }
}

void WAKE_MOTORS_3() {
  const std::string question = axis(1) + "Z";
  std::string reply;
  exchange(question, reply);
  if (failed()) return;
  exchange(question, reply);
  if (failed()) return;
  if (reply.empty() || reply[0] != 'A') return;
  WARNING(std::string("Incorrect response from SIN-10 when ") +
          " called from init_motors: will attempt reinitialisation");
  send(std::string(1, kEtx));
  if (failed()) return;
  WAIT_MS(1000);
  if (failed()) return;
  exchange("&P1", reply);
  if (failed()) return;
  const char* axes = S().profile.slits_motorised() ? "ABCDEF" : "ABCD";
  if (reply.find(axes) == std::string::npos) {
    ERRORLOG("  ******SIN10 not correctly initialised: " + std::string("Returned string was") +
             reply);
    return;
  }
  WRITE_OUT(" Init_motors succesfully reinitialised SIN-10");
}

void INIT_MOTORS_3() {
  WRITE_OUT("Initialising motor parameters...");
  for (int m = 1; m <= 10; ++m) {
    if (!S().profile.motor_present(m)) continue;
    const std::array<float, 10>& v = motor_profile(m).raw;
    auto n = [&](int value_number) {
      return std::to_string(NINT(v[static_cast<std::size_t>(value_number - 1)]));
    };
    const std::string a = axis(m);
    for (const std::string& c :
         {a + "Y10,20", a + "Y10,40", a + "Y10,90", a + "l" + n(2), a + "K" + n(5) + "," + n(6),
          a + "I" + n(4), a + "V" + n(3), a + "D" + n(10)}) {
      send(c);
      if (failed()) return;
    }
  }
  WRITE_OUT("Motor Initialisation complete");
}

void READ_MOTOR_INTERFACE_3(int m, int& status, float& value, std::string& message) {
  status = 1;
  std::string reply;
  exchange(axis(m) + "Z", reply);
  message = reply.substr(0, 100);
  if (failed()) return;
  long steps = 0;
  if (!sin10::decode_steps(reply, steps)) return;
  const float spd = motor_profile(m).steps_per_degree;
  if (spd == 0.0f) return;
  value = static_cast<float>(steps) / spd;
  status = 0;
}

void READ_ALL_MOTOR_INTERFACE_3(std::array<float, 4>&, int&, std::string&) {}

void LOAD_MOTOR_INTERFACE_3(int m, float x) {
  send(axis(m) + "N" + std::to_string(steps_of(m, x)));
}

void DRIVE_MOTOR_3(int m, float x, float /*distance*/) {
  send(axis(m) + "R" + std::to_string(steps_of(m, x)));
}

void DRIVE_MOTOR_ALL_3() {
  std::string line;
  for (int m = 1; m <= 4; ++m)
    line += axis(m) + "R" +
            std::to_string(steps_of(m, S().motion.drive_target[static_cast<std::size_t>(m - 1)])) +
            ";";
  send(line);
}

void DRIVE_MOTOR_REL_3(int m, float distance, int send_now) {
  std::string& line = relative_line();
  const long n = NINT(std::fabs(distance) * motor_profile(m).steps_per_degree);
  if (n != 0) line += axis(m) + (distance > 0 ? "+" : "-") + std::to_string(n) + ";";
  // A move already appended still goes out when this one rounds to no step at all.
  if (send_now == 0 || line.empty()) return;
  line.pop_back();
  const std::string command = line;
  line.clear();
  send(command);
}

void WAIT_MOTOR_3(int m, int& busy) {
  busy = 1;
  const std::string a = axis(m);
  for (int retries = 0;;) {
    std::string reply;
    int length = 0;
    SENDH_3(a + "^", 2, reply, length);
    if (failed()) return;
    if (length < 0) {
      ERRORLOG("wait_motor got less than zero characters from interface on motor " + a);
      return;
    }
    int state = 0;
    if (length > 0 && sin10::decode_digit(reply, state)) {
      if (state == 0) {
        busy = 0;
        return;
      }
      CHECK_LIMITS_3();
      return;
    }
    // Nothing, or nothing readable: asked again, five times at most.
    if (retries == 5) {
      ERRORLOG(length == 0 ? "wait_motor got zero characters from interface on motor " + a +
                                 " after 5 retries"
                           : "wait_motor could not read " + reply.substr(0, 20) +
                                 " from interface on motor " + a + " after 5 retries");
      return;
    }
    ++retries;
    WARNING(length == 0 ? "wait_motor got zero characters from interface on motor " + a
                        : "wait_motor could not read " + reply.substr(0, 20) +
                              " from interface on motor " + a);
  }
}

void CHECK_LIMITS_3() {
  for (int m = 1; m <= 4; ++m) {
    if (!S().profile.motor_present(m)) continue;
    const std::string a = axis(m);
    int state = 0;
    for (int failures = 0;;) {
      std::string reply;
      exchange(a + "]", reply);
      if (failed()) return;
      if (sin10::decode_digit(reply, state)) break;
      if (++failures == 5) {
        ERRORLOG("Check limits receiving " + reply.substr(0, 20) + " for motor " + I(m, 1));
        return;
      }
    }
    if (state == 0) continue;
    const std::string text = " *****Limit switch active for drive " + a + " Limit = " + I(state, 1);
    STOP_ALL();
    invalidate_all_positions();
    AngleSet now{};
    RDALLMTR(now);
    DISPLAY_ACTION(0, now);
    ERRORLOG(text);
    return;
  }
}

void WAIT_3() {
  // The axes are polled first, so that the operator can halt a long move and the final
  // exchange never outwaits the answer timeout of the line.
  int rest = all_at_rest();
  if (rest < 0) return;
  if (rest == 0) {
    WaitTimer timer;
    while (rest == 0) {
      const WaitEvent event = next_wait_event();
      if (event == WaitEvent::halt) {
        if (S().motion.halting != 0) continue;
        HALTED_BY_USER();
        return;
      }
      if (event == WaitEvent::closed) {
        WAIT_MS(100);
        if (failed()) return;
      } else if (event != WaitEvent::tick) {
        continue;
      }
      rest = all_at_rest();
      if (rest < 0) return;
    }
  }
  send("&W*");
}

void STOP_ALL_3() {
  std::string reply;
  int length = 0;
  SENDH_3(std::string(1, kEsc), 1, reply, length);
  if (S().profile.no_shutter == 0) {
    CARD_OUT(kCardShutterControl, 0);
    S().motion.shutter_state = 0;
    DISPLAY_SHUTTER(0);
  }
}

void FINISH_3() {}

void RUNSCAN_3(int& mode, float step, float t, int n, std::array<int, 200>& counts, int& status,
               float& used, int at_start, std::array<float, 200>& positions) {
  const int shown_mode = mode;  // the action shown names the scan as asked
  ScanStart scan;
  if (!RUNSCAN_START(mode, step, n, at_start, counts, status, scan)) return;
  DISPLAY_ACTION(scan_action(shown_mode), scan.present);
  const int scanned = scan.scanned;
  relative_line().clear();
  long long highest = 0;
  std::array<float, 200> y{};
  const ScanStep per_step = SCAN_STEP(mode, step);
  std::vector<int> moved;
  for (int m = 1; m <= 4; ++m)
    if (per_step.motor[static_cast<std::size_t>(m - 1)] != 0.0f) moved.push_back(m);
  for (int i = 0; i < n; ++i) {
    // The moves of one step go out together on one line.
    for (std::size_t j = 0; j < moved.size(); ++j) {
      DRIVE_MOTOR_REL_3(moved[j], per_step.motor[static_cast<std::size_t>(moved[j] - 1)],
                        j + 1 == moved.size() ? 1 : 0);
      if (failed()) return;
    }
    // The controller moved the axes behind the motion layer's back.
    invalidate_all_positions();
    for (const int m : moved) WTMTR(m);
    if (failed()) return;
    long long count = 0;
    if (!card_count(t, count, used)) return;
    const std::size_t k = static_cast<std::size_t>(i);
    counts[k] = static_cast<int>(std::min<long long>(count, 2147483647LL));
    highest = std::max(highest, count);
    y[k] = static_cast<float>(count);
    float at = 0.0f;
    RDMTR(scanned, at);
    if (failed()) return;
    positions[k] = at;
  }
  DISPLAY_COUNTER(used > 0 ? static_cast<float>(highest) / used : 0.0f);
  PLOTSCAN(n, positions.data(), y.data());
  AngleSet now{};
  RDALLMTR(now);
  if (failed()) return;
  DISPLAY_ACTION(0, now);
  status = 0;
}

void XCOUNT_3(float t, float& rate, float& used) {
  ONBEAM();
  if (failed()) return;
  long long count = 0;
  float time = 0.0f;
  if (!card_count(t, count, time)) return;
  used = time;
  rate = static_cast<float>(static_cast<double>(count) / time);
  DISPLAY_COUNTER(rate);
}

void SHUTTER_3(int open) {
  if (open == 0 || open == 1) CARD_OUT(kCardShutterControl, open);
}

void GET_SHUTTER_STATUS_3(int& state) {
  const int value = CARD_IN(kCardShutterStatus);
  if (value < 0) return;
  state = value < 255 ? 1 : 0;
}

void SEARCH_REFERENCE_MARKS_3(int&) {}
void SET_FILTER_3(int) {}
void SET_SLIT_3(char) {}

const ControllerDriver& sin10_driver() {
  static const ControllerDriver table{
      "SIN-10",         SENDH_3,        WAKE_MOTORS_3,  INIT_MOTORS_3, READ_MOTOR_INTERFACE_3,
      READ_ALL_MOTOR_INTERFACE_3,       LOAD_MOTOR_INTERFACE_3,        CHECK_LIMITS_3,
      DRIVE_MOTOR_3,    DRIVE_MOTOR_ALL_3,              WAIT_MOTOR_3,  WAIT_3,
      STOP_ALL_3,       FINISH_3,       RUNSCAN_3,      XCOUNT_3,      SHUTTER_3,
      GET_SHUTTER_STATUS_3,             SEARCH_REFERENCE_MARKS_3,      SET_FILTER_3,
      SET_SLIT_3};
  return table;
}

}  // namespace dorvex
