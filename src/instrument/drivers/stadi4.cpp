// STADI4 driver. Every command goes through SENDH_2, which reads the acknowledge, takes data
// for "XX" requests and sends the command again on a bad answer (five times at most). The
// controller acknowledges a drive, a scan and the reference search only when they have ended,
// so the driver has no waits of its own: the link waits for the answer until the operator halts.
// Those three commands are never simply sent again on a bad answer: the circles may already
// have moved, and a scan run twice ends elsewhere with counts that belong to other positions.
// The controller is asked where the circles are first.
#include "instrument/drivers/stadi4.hpp"

#include <algorithm>
#include <chrono>
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
// The whole wake-up at start-up: a controller that has not answered OS000000 with IR08 by then
// is dead or stays busy, and start-up goes on without it.
constexpr int kWakeLimitMs = 5000;
// A controller that said IR00 (busy) and then nothing is asked again after this pause.
constexpr int kWakeBusyPauseMs = 250;
// The position register: six hexadecimal digits, of which the controller reads those above
// 145000 as negative; below, a signed 24-bit register.
constexpr long kRegisterMax = 145000;
constexpr long kRegisterMin = -8388608;
// How long the controller is given to stop and close the shutter after "SP".
constexpr int kStopSettleMs = 1000;

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

// One answer line, waiting at most `limit_ms` (negative: as the link waits); false after a
// reported failure, or a halt (the operator's, served by the link). `timed_out` tells a wait
// that ran out from an empty answer.
bool read_answer(std::string& answer, int limit_ms = -1, bool* timed_out = nullptr) {
  int length = 0;
  std::string failure;
  const int r = READ_STRING_PORT_WITHIN(answer, length, failure, limit_ms);
  if (timed_out != nullptr) *timed_out = r == 1;
  if (r == 2) ERRORLOG(failure);
  if (r >= 2) return false;
  if (r == 1) answer.clear();  // no answer in time: taken as an empty one
  answer = stadi4::strip_leading(answer);
  return true;
}

// True when the position of motor m, in steps, fits the controller's position register;
// otherwise reported, naming the motor, before anything is sent.
bool fits_register(int m, long steps, float degrees) {
  if (steps >= kRegisterMin && steps <= kRegisterMax) return true;
  ERRORLOG("Motor " + std::to_string(m) + " (" + kCircle[m - 1] + "): " +
           std::string(trim(F(degrees, 10, 3))) + " degrees is " + std::to_string(steps) +
           " steps, beyond the controller's position register (" +
           std::to_string(kRegisterMin) + " to " + std::to_string(kRegisterMax) +
           "): nothing moved");
  return false;
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

// The four circles in steps, from a "PP" + "XX" exchange; false after a reported failure.
bool read_steps(std::array<long, 4>& steps) {
  send("PP");
  if (failed()) return false;
  const std::string reply = send("XX");
  if (failed()) return false;
  std::string bad;
  if (stadi4::decode_four(reply, steps, bad)) return true;
  ERRORLOG(bad.empty() ? "Positions not read from the interface, answer was: " + reply
                       : "INVALID CHARACTER IN HEX STRING: " + bad);
  return false;
}

std::string circles_text(const std::array<long, 4>& steps) {
  std::string out;
  for (int i = 0; i < 4; ++i)
    out += F(CNVSTEP(i + 1, static_cast<int>(steps[at(i)])), 10, 4);
  return out;
}

// LOAD_SCAN_* and START_SCAN_2: the record, then "SS" until the controller answers IR06. A scan
// that moves the circles (`widths` not all zero) is sent again only when the circles still
// stand where it starts; when they stand where it ends, it ran and only its acknowledge was
// lost. A count alone moves nothing and is simply counted again. `before`: the circles in
// steps where the scan starts.
bool START_SCAN_2(const std::string& record, const std::array<long, 4>& widths, long steps,
                  const std::array<long, 4>& before) {
  const bool moves = std::any_of(widths.begin(), widths.end(), [](long w) { return w != 0; });
  std::array<long, 4> end{};
  for (std::size_t i = 0; i < 4; ++i) end[i] = before[i] + steps * widths[i];
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
    if (moves) {
      std::array<long, 4> now{};
      if (!read_steps(now)) return false;
      if (now == end) {
        WARNING(text + " The circles stand where the scan ends: it ran, its counts are read");
        return true;
      }
      if (now != before) {
        ERRORLOG(text + " The scan stopped part way, at" + circles_text(now) + "; it ends at" +
                 circles_text(end));
        return false;
      }
    }
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
  const bool starts_job = sent == "DR" || sent == "SS" || sent == "CK";
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
    if (starts_job) {
      // The drive, scan or search may have run: the caller asks the controller what it did.
      std::string text = ack.text;
      const std::string again = " Trying again";
      if (text.size() >= again.size() &&
          text.compare(text.size() - again.size(), again.size(), again) == 0)
        text.erase(text.size() - again.size());
      WARNING(text + " (not sent again before the controller is asked where the circles are)");
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
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWakeLimitMs);
  auto left_ms = [&] {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(ms, 0));
  };
  SEND_STRING_PORT("XX", 2);
  if (last_send_failed()) return;
  WAIT_MS(1000);
  if (failed()) return;
  std::string answer;
  // Whatever it was, it is not needed; a controller that says nothing is found out below.
  if (!read_answer(answer, std::min(1000, left_ms()))) return;
  std::string reason;
  bool seen_busy = false;
  for (int busy = 0;; ++busy) {
    DISCARD_PENDING_INPUT();
    SEND_STRING_PORT("OS000000", 8);
    if (last_send_failed()) return;
    bool timed_out = false;
    if (!read_answer(answer, left_ms(), &timed_out)) return;
    // Busy: further answers may follow; when none does, the shutter is asked again (closing a
    // closed shutter changes nothing).
    while (answer == "IR00" && left_ms() > 0) {
      std::string next;
      bool quiet = false;
      if (!read_answer(next, std::min(kWakeBusyPauseMs, left_ms()), &quiet)) return;
      if (quiet) break;
      answer = next;
    }
    if (answer == "IR00") seen_busy = true;
    if (timed_out || left_ms() == 0 || busy >= kWakeIr00Limit) {
      reason = seen_busy ? ": the controller stayed busy"
                         : ": no answer within " + std::to_string(kWakeLimitMs / 1000) + " s";
      break;
    }
    if (answer != "IR00") break;
  }
  if (answer != "IR08")
    ERRORLOG("Wake_motors got " + I(static_cast<long>(answer.size()), 3) + "characters " +
             answer + " in response to OS000000" + reason);
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
  // A coupled omega axis reads the circle, which carries half of 2theta. The value to load is
  // a controller position already (the caller has added the half of 2theta for omega).
  if (S().profile.omega_coupled()) ctrl[1] += a[0] / 2.0f;
  ctrl[static_cast<std::size_t>(m - 1)] = x;
  for (int i = 1; i <= 4; ++i)
    if (!fits_register(i, to_steps(i, ctrl[at(i - 1)]), ctrl[at(i - 1)])) return;
  send("DC" + four_fields(ctrl));
}

void CHECK_LIMITS_2() {}

// A bad acknowledge of "DR" is not followed by another "DR": the motion layer reads where the
// circles stand and issues the drive again only when they are not at their targets.
void DRIVE_MOTOR_2(int m, float x, float) {
  if (m < 1 || m > 4) return;
  if (!fits_register(m, to_steps(m, x), x)) return;
  send(kCircle[m - 1] + DECTOHEX_2(to_steps(m, x)));
  if (failed()) return;
  send("DR");
}

void DRIVE_MOTOR_ALL_2() {
  const std::array<float, 4>& t = S().motion.drive_target;
  for (int i = 1; i <= 4; ++i)
    if (!fits_register(i, to_steps(i, t[at(i - 1)]), t[at(i - 1)])) return;
  send("RA" + four_fields(t));
  if (failed()) return;
  send("DR");
}

void WAIT_MOTOR_2(int, int& busy) { busy = 0; }
void WAIT_2() {}

void STOP_ALL_2() {
  SEND_STRING_PORT("SP", 2);
  if (S().profile.no_shutter != 0) {
    // Time to stop before the next command; after the operator's halt the command ends here.
    if (!halt_in_force()) WAIT_MS(kStopSettleMs);
    return;
  }
  // The controller takes the shutter command once it has stopped, and answers it then; an
  // acknowledge of the stopped drive may still come first: it is not the shutter's.
  DISCARD_PENDING_INPUT();
  SEND_STRING_PORT("OS000000", 8);
  S().motion.shutter_state = 0;
  if (last_send_failed()) {
    DISPLAY_SHUTTER(2);
    return;
  }
  std::string answer;
  bool timed_out = false;
  for (int answers = 0; answers < 3 && answer != "IR08"; ++answers)
    if (!read_answer(answer, kStopSettleMs, &timed_out) || timed_out) break;
  DISPLAY_SHUTTER(answer == "IR08" ? 0 : 2);
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
  if (!START_SCAN_2(stadi4::scan_record(hundredths, 1, {0, 0, 0, 0}), {0, 0, 0, 0}, 1, {})) return;
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
  std::array<long, 4> start_steps{};
  if (!read_steps(start_steps)) return;
  std::array<long, 4> widths{};
  const ScanStep per_step = SCAN_STEP(mode, step);
  for (std::size_t i = 0; i < 4; ++i)
    if (per_step.motor[i] != 0.0f) widths[i] = to_steps(static_cast<int>(i) + 1, per_step.motor[i]);
  std::array<long, 4> expected_end{};
  for (int i = 1; i <= 4; ++i) {
    expected_end[at(i - 1)] = start_steps[at(i - 1)] + n * widths[at(i - 1)];
    // The circle's last position of the scan must fit the position register too.
    const long last = expected_end[at(i - 1)];
    if (!fits_register(i, last, static_cast<float>(last) / steps_per_degree(i))) return;
  }
  DISPLAY_ACTION(scan_action(mode), present);
  if (!START_SCAN_2(stadi4::scan_record(hundredths, n, widths), widths, n, start_steps)) return;
  // The controller moved the circles: the positions are read afresh when next asked for.
  invalidate_all_positions();
  if (!READ_SCAN_2(n, counts)) return;
  // A scan that ran more or less than once ends elsewhere, and its counts do not belong to
  // the positions of the scan: none is kept.
  std::array<long, 4> end{};
  if (!read_steps(end)) return;
  if (end != expected_end) {
    counts.fill(0);
    ERRORLOG("The scan did not end where it should: the circles are at" + circles_text(end) +
             ", the scan ends at" + circles_text(expected_end) + ". Its counts are not kept");
    return;
  }

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
