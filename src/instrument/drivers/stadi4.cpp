// STADI4 driver. Every command goes through SENDH_2, which reads the acknowledge, takes data
// for "XX" requests and sends the command again on a bad answer (five times at most). The
// controller acknowledges a drive, a scan and the reference search only when they have ended,
// so the driver has no waits of its own: the link waits for the answer until the operator halts.
#include "instrument/drivers/stadi4.hpp"

#include <algorithm>
#include <cmath>

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

namespace dorvex {

namespace stadi4 {

namespace {
constexpr long kFull = 16777215;      // FFFFFF
constexpr long kLargestPositive = 145000;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::string DECTOHEX_2(long n) {
  if (n < 0) n += kFull;
  n = std::clamp(n, 0L, kFull);
  static const char digits[] = "0123456789ABCDEF";
  std::string out(6, '0');
  for (int i = 5; i >= 0; --i) {
    out[static_cast<std::size_t>(i)] = digits[n % 16];
    n /= 16;
  }
  return out;
}

bool hex_count(const std::string& field, long& value) {
  if (field.size() != 6) return false;
  long v = 0;
  for (char c : field) {
    const int d = hex_digit(c);
    if (d < 0) return false;
    v = v * 16 + d;
  }
  value = v;
  return true;
}

bool HEXTODEC_2(const std::string& field, long& value) {
  long v = 0;
  if (!hex_count(field, v)) return false;
  value = v > kLargestPositive ? v - kFull : v;
  return true;
}

std::string strip_leading(const std::string& answer) {
  std::size_t i = 0;
  while (i < answer.size() && (answer[i] < 32 || answer[i] > 126)) ++i;
  return answer.substr(i);
}

Ack classify(const std::string& command, int count, const std::string& answer) {
  Ack a;
  const std::string sent = command.substr(0, static_cast<std::size_t>(std::max(count, 0)));
  const std::string n = answer.size() < 4 ? std::to_string(answer.size()) : "";
  const std::string again = " Trying again";
  const std::string got_ir00 = "Got IR00 from interface in response to  sending" +
                               I(count, 3) + " characters: " + sent + again;
  if (answer.empty()) {
    a.text = "Interface returned zero characters" + again;
    return a;
  }
  if (answer.size() < 4) {
    a.text = "Interface returned only " + n + " characters " + answer + again;
    return a;
  }
  if (sent.rfind("XX", 0) == 0) {
    if (answer.compare(0, 4, "IR00") == 0 && answer.size() == 4) {
      a.text = got_ir00;
      return a;
    }
    a.kind = Ack::accept;
    return a;
  }
  if (answer.compare(0, 2, "IR") != 0) {
    a.text = "Unexpected response from interface. Sent:" + sent + " Returned" +
             I(static_cast<long>(answer.size()), 3) + " characters: " + answer + again;
    return a;
  }
  if (answer.compare(2, 2, "OK") == 0) {
    a.kind = Ack::accept;
    return a;
  }
  const auto code = read_int_field(answer, 3, 2);
  if (!code) {
    a.text = "Error reading error code from interface: " + answer + "Trying again";
    return a;
  }
  const long nn = *code;
  if (nn >= 5 && nn <= 9) {
    a.kind = Ack::accept;
  } else if (nn >= 1 && nn <= 4) {
    a.kind = Ack::limit;
    a.drive = static_cast<int>(nn);
  } else if (nn == 0) {
    a.text = got_ir00;
  } else {
    a.text = "Got error " + std::to_string(nn) + " from interface in response to" +
             "  sending" + I(count, 3) + " characters: " + sent + again;
  }
  return a;
}

long count_hundredths(float seconds) {
  return std::clamp(NINT(static_cast<double>(seconds) * 100.0), 10L, 32000L);
}

std::string scan_record(long hundredths, long steps, const std::array<long, 4>& widths) {
  std::string r = "SV" + DECTOHEX_2(hundredths) + DECTOHEX_2(steps);
  for (long w : widths) r += DECTOHEX_2(w);
  return r;
}

bool decode_four(const std::string& answer, std::array<long, 4>& steps, std::string& bad) {
  bad.clear();
  if (answer.size() != 24) return false;
  for (std::size_t i = 0; i < 4; ++i) {
    const std::string field = answer.substr(6 * i, 6);
    if (!HEXTODEC_2(field, steps[i])) {
      bad = field;
      return false;
    }
  }
  return true;
}

bool decode_counts(const std::string& answer, std::size_t expected, std::vector<long>& counts,
                   std::string& bad) {
  bad.clear();
  counts.clear();
  if (answer.size() != expected || expected % 6 != 0) return false;
  for (std::size_t i = 0; i < expected; i += 6) {
    long v = 0;
    const std::string field = answer.substr(i, 6);
    if (!hex_count(field, v)) {
      bad = field;
      return false;
    }
    counts.push_back(v);
  }
  return true;
}

}  // namespace stadi4

namespace {

using stadi4::DECTOHEX_2;

constexpr const char* kCircle[4] = {"TH", "OM", "CH", "PH"};
// Answers of IR00 that the wake-up takes before it gives up: the controller is still busy with
// something else, but not for ever.
constexpr int kWakeIr00Limit = 20;

std::size_t at(int i) { return static_cast<std::size_t>(i); }
float steps_per_degree(int m) { return S().profile.motor[at(m)].steps_per_degree; }
float zero_offset(int m) { return S().profile.offset[at(m)]; }
long to_steps(int m, float degrees) {
  return NINT(static_cast<double>(degrees) * static_cast<double>(steps_per_degree(m)));
}

std::string send(const std::string& command) {
  std::string reply;
  int length = 0;
  SENDH_2(command, static_cast<int>(command.size()), reply, length);
  return reply;
}

// One answer line of the link; false after a reported failure. A halt typed while the link
// waits for the controller is the operator's halt of whatever the controller is doing.
bool read_answer(std::string& answer) {
  int length = 0;
  std::string failure;
  const int r = READ_STRING_PORT_QUIET(answer, length, failure);
  if (r == 2) {
    if (failure.find("stopped by the operator") != std::string::npos)
      HALTED_BY_USER();
    else
      ERRORLOG(failure);
    return false;
  }
  if (r == 1) answer.clear();  // no answer in time: taken as an empty one
  answer = stadi4::strip_leading(answer);
  return true;
}

// The four circles in degrees (controller positions), from a "PP" + "XX" exchange.
bool read_four(std::array<float, 4>& values, std::string& message) {
  send("PP");
  if (failed()) return false;
  const std::string reply = send("XX");
  message = reply.substr(0, 100);
  if (failed() || reply.size() != 24) return false;
  std::array<long, 4> steps{};
  std::string bad;
  if (!stadi4::decode_four(reply, steps, bad)) {
    ERRORLOG("INVALID CHARACTER IN HEX STRING: " + bad);
    return false;
  }
  for (int i = 0; i < 4; ++i)
    values[at(i)] = CNVSTEP(i + 1, static_cast<int>(steps[at(i)]));
  return true;
}

std::string four_fields(const std::array<float, 4>& degrees) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += DECTOHEX_2(to_steps(i + 1, degrees[at(i)]));
  return out;
}

// LOAD_SCAN_* and START_SCAN_2: the record, then "SS" until the controller answers IR06.
bool START_SCAN_2(const std::string& record) {
  for (int repeat = 0;; ++repeat) {
    send(record);
    if (failed()) return false;
    std::string reply;
    int length = 0;
    SENDH_2("SS", 2, reply, length);
    if (failed()) return false;
    if (reply == "IR06") {
      if (repeat > 0) MESSAGE("Startscan recovered from scan error");
      return true;
    }
    const std::string text = "Startscan got response of " + I(length, 3) + " characters " + reply +
                             " instead of IR06.";
    if (repeat >= 5) {
      ERRORLOG(text);
      return false;
    }
    WARNING(text + " Will try to count again");
  }
}

// READ_COUNT_LINE_2: one "XX" answer of `expected` characters.
bool READ_COUNT_LINE_2(std::size_t expected, std::vector<long>& values) {
  for (int repeat = 0;; ++repeat) {
    std::string reply;
    int length = 0;
    SENDH_2("XX", 2, reply, length);
    if (failed()) return false;
    std::string bad;
    if (stadi4::decode_counts(reply, expected, values, bad)) {
      if (repeat > 0) MESSAGE("Recovered from XX error");
      return true;
    }
    if (!bad.empty()) {
      ERRORLOG("INVALID CHARACTER IN HEX STRING: " + bad);
      return false;
    }
    const std::string text = "XX in count_line got response of " +
                             I(static_cast<long>(reply.size()), 3) + " characters " + reply +
                             " instead of" + I(static_cast<long>(expected), 3);
    if (repeat >= 5) {
      ERRORLOG(text);
      return false;
    }
    WARNING(text + ". Will try to read again");
  }
}

// READ_SCAN_2: the n counts of the last scan, four to a line.
bool READ_SCAN_2(int n, std::array<int, 200>& counts) {
  send("PI");
  if (failed()) return false;
  for (int first = 0; first < n; first += 4) {
    const int in_line = std::min(4, n - first);
    std::vector<long> values;
    if (!READ_COUNT_LINE_2(static_cast<std::size_t>(6 * in_line), values)) return false;
    for (int i = 0; i < in_line; ++i)
      counts[at(first + i)] = static_cast<int>(values[at(i)]);
  }
  return true;
}

}  // namespace

void SENDH_2(const std::string& command, int count, std::string& reply, int& length) {
  reply.clear();
  length = 0;
  const std::string sent = command.substr(0, static_cast<std::size_t>(std::max(count, 0)));
  const int delay = std::max(S().profile.compor[10], 0);
  for (int errors = 0;;) {
    // Every answer is read before the next command goes out; anything still on the line is
    // left over from an exchange that was cut short and is not this command's answer.
    DISCARD_PENDING_INPUT();
    SEND_STRING_PORT(command, count);
    if (last_send_failed()) return;
    if (sent.rfind("SP", 0) == 0) {  // stop: the controller does not answer
      WAIT_MS(1000);
      return;
    }
    const bool failed_before = failed();
    WAIT_MS(delay);
    if (failed() && !failed_before) return;  // halted
    if (!read_answer(reply)) return;
    length = static_cast<int>(reply.size());
    const stadi4::Ack ack = stadi4::classify(command, count, reply);
    if (ack.kind == stadi4::Ack::accept) {
      if (errors > 0) MESSAGE("Recovered from communications error, interface returned " + reply);
      return;
    }
    if (ack.kind == stadi4::Ack::limit) {
      STOP_ALL();
      ERRORLOG(" *****Limit switch active for drive " + I(ack.drive, 1));
      return;
    }
    if (errors >= 5) {
      ERRORLOG(I(errors, 2) + " consecutive failures in reading response from" +
               " interface. Last response was: " + reply);
      return;
    }
    WARNING(ack.text);
    ++errors;
  }
}

void WAKE_MOTORS_2() {
  SEND_STRING_PORT("XX", 2);
  if (last_send_failed()) return;
  WAIT_MS(1000);
  if (failed()) return;
  std::string answer;
  if (!read_answer(answer)) return;  // whatever it was, it is not needed
  SEND_STRING_PORT("OS000000", 8);
  if (last_send_failed()) return;
  for (int busy = 0;; ++busy) {
    if (!read_answer(answer)) return;
    if (answer != "IR00" || busy >= kWakeIr00Limit) break;
  }
  if (answer != "IR08")
    ERRORLOG("Wake_motors got " + I(static_cast<long>(answer.size()), 3) + "characters " +
             answer + " in response to OS000000");
}

void INIT_MOTORS_2() { send("P0"); }

void READ_MOTOR_INTERFACE_2(int m, int& status, float& value, std::string& message) {
  status = 1;
  if (m < 1 || m > 4) return;  // only the circles are known to this controller
  std::array<float, 4> values{};
  if (!read_four(values, message)) return;
  value = values[static_cast<std::size_t>(m - 1)];
  status = 0;
}

void READ_ALL_MOTOR_INTERFACE_2(std::array<float, 4>& values, int& status, std::string& message) {
  status = 1;
  std::array<float, 4> read{};
  if (!read_four(read, message)) return;
  values = read;
  status = 0;
}

void LOAD_MOTOR_INTERFACE_2(int m, float x) {
  if (m < 1 || m > 4) return;
  AngleSet a{};
  RDALLMTR(a);
  if (failed()) return;
  // Back to controller positions: the circles not redefined are sent as they stand.
  std::array<float, 4> ctrl{};
  for (int i = 0; i < 4; ++i)
    ctrl[static_cast<std::size_t>(i)] = a[static_cast<std::size_t>(i)] + zero_offset(i + 1);
  // A coupled omega axis reads the circle, which carries half of 2theta.
  const bool coupled = S().profile.omega_coupled();
  if (coupled) ctrl[1] += a[0] / 2.0f;
  ctrl[static_cast<std::size_t>(m - 1)] = x;
  if (m == 2 && coupled) ctrl[1] += a[0] / 2.0f;
  send("DC" + four_fields(ctrl));
}

void CHECK_LIMITS_2() {}

void DRIVE_MOTOR_2(int m, float x, float) {
  if (m < 1 || m > 4) return;
  send(kCircle[m - 1] + DECTOHEX_2(to_steps(m, x)));
  if (failed()) return;
  send("DR");
}

void DRIVE_MOTOR_ALL_2() {
  send("RA" + four_fields(S().motion.drive_target));
  if (failed()) return;
  send("DR");
}

void WAIT_MOTOR_2(int, int& busy) { busy = 0; }
void WAIT_2() {}

void STOP_ALL_2() {
  SEND_STRING_PORT("SP", 2);
  WAIT_MS(1000);
  if (S().profile.no_shutter != 0) return;
  // An acknowledge of the stopped drive may still be on the line: it is not the shutter's.
  DISCARD_PENDING_INPUT();
  SEND_STRING_PORT("OS000000", 8);
  if (last_send_failed()) return;
  std::string answer;
  read_answer(answer);
  S().motion.shutter_state = 0;
  DISPLAY_SHUTTER(0);
}

void FINISH_2() {
  SEND_STRING_PORT("SP", 2);
  WAIT_MS(1000);
}

void SHUTTER_2(int open) {
  const std::string command = open == 1 ? "OS000001" : "OS000000";
  for (int repeat = 0;; ++repeat) {
    std::string reply;
    int length = 0;
    SENDH_2(command, 8, reply, length);
    if (failed()) return;
    if (reply == "IR08") {
      if (repeat > 0) MESSAGE("Interface now returning correct IR08 code");
      return;
    }
    const auto code = read_int_field(reply, 3, 2);
    const std::string shown = code ? I(*code, 2) : stadi4::strip_leading(columns(reply, 3, 2));
    if (repeat >= 5) {
      ERRORLOG("Interface returning error = " + shown + "to shutter request");
      DISPLAY_SHUTTER(2);
      return;
    }
    WARNING("Interface returned error = " + shown + "to shutter request");
  }
}

void GET_SHUTTER_STATUS_2(int& state) {
  state = 1;
  ERRORLOG("Program called get_shutter_status! Report the error to author of program");
}

void XCOUNT_2(float t, float& rate, float& used) {
  const long hundredths = stadi4::count_hundredths(t);
  used = static_cast<float>(hundredths) / 100.0f;
  if (!START_SCAN_2(stadi4::scan_record(hundredths, 1, {0, 0, 0, 0}))) return;
  std::array<int, 200> counts{};
  if (!READ_SCAN_2(1, counts)) return;
  rate = static_cast<float>(counts[0]) / used;
  DISPLAY_COUNTER(rate);
}

void RUNSCAN_2(int& mode, float step, float t, int n, std::array<int, 200>& counts, int& status,
               float& used, int at_start, std::array<float, 200>& positions) {
  ScanStart scan;
  if (!RUNSCAN_START(mode, step, n, at_start, counts, status, scan)) return;
  const float start = scan.start;
  AngleSet present = scan.present;

  const long hundredths = stadi4::count_hundredths(t);
  used = static_cast<float>(hundredths) / 100.0f;
  std::array<long, 4> widths{};
  const ScanStep per_step = SCAN_STEP(mode, step);
  for (std::size_t i = 0; i < 4; ++i)
    if (per_step.motor[i] != 0.0f) widths[i] = to_steps(static_cast<int>(i) + 1, per_step.motor[i]);
  DISPLAY_ACTION(scan_action(mode), present);
  if (!START_SCAN_2(stadi4::scan_record(hundredths, n, widths))) return;
  // The controller moved the circles: the positions are read afresh when next asked for.
  invalidate_all_positions();
  if (!READ_SCAN_2(n, counts)) return;

  int highest = 0;
  std::array<float, 200> y{};
  for (int i = 0; i < n; ++i) {
    const std::size_t k = static_cast<std::size_t>(i);
    positions[k] = start + static_cast<float>(i + 1) * step;
    highest = std::max(highest, counts[k]);
    y[k] = static_cast<float>(counts[k]);
  }
  DISPLAY_COUNTER(static_cast<float>(highest) / used);
  PLOTSCAN(n, positions.data(), y.data());
  AngleSet now{};
  RDALLMTR(now);
  if (failed()) return;
  DISPLAY_ACTION(0, now);
  status = 0;
}

void SEARCH_REFERENCE_MARKS_2(int& found) {
  found = 0;
  std::string reply;
  int length = 0;
  SENDH_2("CK", 2, reply, length);
  if (failed()) return;
  if (columns(reply, 3, 2) != "07") {
    WARNING(" *****SEARCH FOR REFERENCE MARKS RETURNED ERROR:" + columns(reply, 1, 4));
    found = 1;
    return;
  }
  SENDH_2("XX", 2, reply, length);
  if (failed()) return;
  if (reply.size() != 24) {
    WARNING(" *****AFTER SEARCH FOR REFERENCE MARKS XX RETURNED" +
            I(static_cast<long>(reply.size()), 3) + "CHARACTERS");
    return;
  }
  if (reply == std::string(24, '0')) return;
  std::array<long, 4> steps{};
  std::string bad;
  if (!stadi4::decode_four(reply, steps, bad)) {
    ERRORLOG("INVALID CHARACTER IN HEX STRING: " + bad);
    return;
  }
  std::string text = " *****Angle offsets are:";
  for (int i = 0; i < 4; ++i)
    text += F(CNVSTEP(i + 1, static_cast<int>(steps[static_cast<std::size_t>(i)])), 10, 4);
  WRITE_OUT(text);
}

void SET_FILTER_2(int) {}
void SET_SLIT_2(char) {}

const ControllerDriver& stadi4_driver() {
  static const ControllerDriver table{
      "STADI4",          SENDH_2,         WAKE_MOTORS_2,        INIT_MOTORS_2,
      READ_MOTOR_INTERFACE_2, READ_ALL_MOTOR_INTERFACE_2, LOAD_MOTOR_INTERFACE_2,
      CHECK_LIMITS_2,    DRIVE_MOTOR_2,   DRIVE_MOTOR_ALL_2,    WAIT_MOTOR_2,
      WAIT_2,            STOP_ALL_2,      FINISH_2,             RUNSCAN_2,
      XCOUNT_2,          SHUTTER_2,       GET_SHUTTER_STATUS_2, SEARCH_REFERENCE_MARKS_2,
      SET_FILTER_2,      SET_SLIT_2};
  return table;
}

}  // namespace dorvex
