// The controller link as the drivers see it: OPEN_COMMPORT, CLOSE_COMMPORT, SEND_STRING_PORT and
// READ_STRING_PORT, switched on the port type of the profile's COMPOR line. Both port types run
// on the same termios link; they differ in their messages, their read timeouts and what a read
// that times out means.
#include <termios.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "instrument/motion.hpp"
#include "instrument/transport.hpp"
#include "instrument/transport/link_timing.hpp"
#include "instrument/transport/serial_link.hpp"
#include "console/output.hpp"
#include "console/wait.hpp"

namespace dorvex {

namespace {

SerialLink& link() {
  static SerialLink the_link;
  return the_link;
}

int port_type() { return S().profile.compor[1]; }
int port_number() { return S().profile.compor[2]; }
std::string com_name() { return "COM" + std::to_string(port_number()); }

int terminator_code(int field) {
  const int t = S().profile.compor[static_cast<std::size_t>(field)];
  return (t >= 1 && t <= 3) ? t : 3;
}
int input_terminator() { return terminator_code(7); }
int output_terminator() { return terminator_code(8); }

bool port_type_valid(const char* where) {
  if (port_type() == 1 || port_type() == 2) return true;
  ERRORLOG("INVALID COMM PORT TYPE =" + I(port_type(), 2) + where);
  return false;
}

std::string first_chars(const std::string& text, std::size_t n) { return text.substr(0, n); }

std::string four_i5(const LineState& s) {
  return I(s.baud, 5) + I(s.parity, 5) + I(s.data_bits, 5) + I(s.stop_bits, 5);
}

// The reply is a controller line of at most 255 characters; a 1-byte write is given a second.
constexpr int kWriteTimeoutMs = 1000;
constexpr int kMaxLine = 255;

int write_code(LinkStatus st) {
  switch (st) {
    case LinkStatus::ok: return 0;
    case LinkStatus::timeout: return 1;
    case LinkStatus::disconnected: return 2;
    case LinkStatus::error: break;
  }
  return 3;
}

// SENDCHARPORT: one byte, 0 when written.
int SENDCHARPORT(unsigned char c) { return write_code(link().write_byte(c, kWriteTimeoutMs)); }

bool send_failed = false;

}  // namespace

std::string controller_device() {
  if (!S().shell.port_override.empty()) return S().shell.port_override;
  const std::string env_name = "DORVEX_COM" + std::to_string(port_number());
  if (const char* env = std::getenv(env_name.c_str()); env != nullptr && *env != '\0') return env;
  return "/dev/ttyS" + std::to_string(port_number() - 1);
}

int link_read_timeout_ms() {
  if (port_type() == 2) return 100;  // the run-time facility's default
  const int constant = S().profile.compor[9];
  // 10 ms per character (one here) plus the profile's constant; without a constant the wait is
  // still bounded, so that a silent controller cannot stop the console.
  return constant > 0 ? constant + 10 : kUnsetReadTimeoutMs;
}

void OPEN_COMMPORT() {
  if (!port_type_valid(" IN OPEN_COMMPORT")) return;
  const std::string com = com_name();
  WRITE_OUT("     *****OPENING COMMUNICATIONS ON " + com + ":....please wait.....");
  const std::string device = controller_device();
  std::string reason;
  if (!link().open(device, reason)) {
    if (port_type() == 1)
      ERRORLOG("Error opening " + com + " Check that no other version of the program is running: " +
               reason);
    else
      ERRORLOG("Error opening " + com + " Check that no other version of the program is ruuning: " +
               reason);
    return;
  }
  link().purge();
  LinkSettings want;
  want.device = device;
  want.baud = S().profile.compor[3];
  want.parity = (S().profile.compor[4] >= 1 && S().profile.compor[4] <= 4) ? S().profile.compor[4] : 0;
  want.data_bits = S().profile.compor[5];
  want.stop_bits = 0;  // no profile field sets it: one stop bit
  LineState before;
  if (link().get_line(before) != 0) {
    ERRORLOG("Error Getting Parameters for " + com);
    link().close();
    return;
  }
  if (link().set_line(want) != 0) {
    ERRORLOG("Error Setting Parameters for " + com);
    link().close();
    return;
  }
  LineState got;
  const int res = link().get_line(got);
  const LineState asked{want.baud, want.parity, want.data_bits, want.stop_bits};
  if (got.baud != asked.baud || got.parity != asked.parity || got.data_bits != asked.data_bits ||
      got.stop_bits != asked.stop_bits) {
    ERRORLOG(" Error opening comm port,   Requested port parameters: " + four_i5(asked) +
             "       Returned port parameters: " + four_i5(got));
    link().close();
    return;
  }
  if (res != 0) {
    ERRORLOG("ERROR OPENING " + com + " IRES = " + std::to_string(res));
    link().close();
    return;
  }
  MESSAGE("  Opened " + com + ":");
}

void CLOSE_COMMPORT() {
  if (!port_type_valid(" IN CLOSE_COMMPORT")) return;
  link().close();
}

bool commport_open() { return link().is_open(); }

void SEND_STRING_PORT(const std::string& text, int count) {
  send_failed = true;
  if (!port_type_valid(" IN SEND_STRING_PORT")) return;
  send_failed = false;
  if (count < 0) return;
  if (count > static_cast<int>(text.size())) count = static_cast<int>(text.size());
  const std::string sent = text.substr(0, static_cast<std::size_t>(count));
  int errors = 0;
  for (int i = 0; i < count;) {
    const unsigned char c = static_cast<unsigned char>(sent[static_cast<std::size_t>(i)]);
    const int ires = SENDCHARPORT(c);
    if (ires == 0) {
      ++i;
      continue;
    }
    if (errors >= 5) {
      ERRORLOG("*****FIVE ERRORS WRITING STRING=" + first_chars(sent, 40));
      send_failed = true;
      return;
    }
    WARNING("*****SENDCHARPORT RETURNED ERROR IRES= " + I(ires, 4) + "\t\t\tSTRING SENT WAS: " +
            first_chars(sent, 40) + "ERROR AT N= " + I(i + 1, 3) + "CHARACTER = " +
            std::string(1, static_cast<char>(c)));
    if (port_type() == 1) link().purge();
    ++errors;
    i = 0;  // the whole string again
  }
  if (S().shell.log_comm_echo == 1)
    WRITE_TERM((port_type() == 1 ? " SENT STRING IS:" : "     SENT STRING IS:") + sent);
  int ires = 0;
  switch (output_terminator()) {
    case 1: ires = SENDCHARPORT('\r'); break;
    case 2: ires = SENDCHARPORT('\n'); break;
    default:
      ires = SENDCHARPORT('\r');
      if (ires == 0) ires = SENDCHARPORT('\n');
      break;
  }
  if (ires != 0) send_failed = true;
  if (ires != 0)
    ERRORLOG("***SENDCHARPORT RETURNED ERROR IRES= " + std::to_string(ires) +
             " WHEN LINE TERMINATOR SENT");
}

namespace {

enum class ReadResult { line, empty, timed_out, failed, halted, unanswered };

// The controller let an answer go by while the diffractometer was being stopped (told once,
// with the halt), and has not answered since (until the next command).
bool stop_unanswered = false;
bool silent_since_halt = false;

using Clock = std::chrono::steady_clock;

// After the operator's halt, until the command has ended, the controller gets only a short
// time for each answer: the stop and the re-read of the positions must not keep the operator
// waiting on a controller that has stopped answering.
bool stopping() { return halt_in_force(); }

int ms_until(Clock::time_point t) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
  return ms > 0 ? static_cast<int>(std::min<long long>(ms, 1 << 30)) : 0;
}

// One answer line, waiting at most `line_limit_ms` for all of it (negative: only the link's
// own per-character bound). `failure` holds the error text when the result is `failed`. Every
// wait is cut into short slices between which the operator's halt is looked for.
ReadResult read_line(std::string& text, int& count, std::string& failure, int line_limit_ms) {
  text.clear();
  count = 0;
  const int interface = S().profile.interface_type;
  // Types 2 and 6 wait for their answer however long it takes, whatever the port type (only a
  // halt ends the wait).
  bool wait_forever = interface == 2 || interface == 6;
  // While a halt is in force the wait is short, and a further halt has nothing more to end.
  const bool after_halt = stopping();
  if (!after_halt) silent_since_halt = false;
  // A controller that has let one answer go by since the halt is not waited for again.
  const int stop_wait = silent_since_halt ? 0 : kStopAnswerMs;
  if (after_halt)
    line_limit_ms = line_limit_ms < 0 ? stop_wait : std::min(line_limit_ms, stop_wait);
  if (line_limit_ms >= 0) wait_forever = false;
  const auto line_deadline = Clock::now() + std::chrono::milliseconds(std::max(line_limit_ms, 0));
  const int term = input_terminator();
  for (;;) {
    unsigned char c = 0;
    // The wait for this character: the link's bound, or none, cut to the line's deadline.
    int char_limit = wait_forever ? -1 : link_read_timeout_ms();
    if (line_limit_ms >= 0) {
      const int left = ms_until(line_deadline);
      char_limit = char_limit < 0 ? left : std::min(left, char_limit);
    }
    const auto char_deadline = Clock::now() + std::chrono::milliseconds(std::max(char_limit, 0));
    LinkStatus st = LinkStatus::timeout;
    for (;;) {
      const int slice =
          char_limit < 0 ? kForeverSliceMs : std::min(kForeverSliceMs, ms_until(char_deadline));
      st = link().read_byte(c, slice);
      if (st != LinkStatus::timeout) break;
      if (!after_halt && halt_pending()) {
        failure = "****ERROR IN READSTRING: waiting for the controller stopped by the operator";
        return ReadResult::halted;
      }
      if (char_limit >= 0 && Clock::now() >= char_deadline) break;
    }
    if (st == LinkStatus::timeout && after_halt) {
      // Told once, with the halt: the sequence of the stop just ends here.
      stop_unanswered = true;
      silent_since_halt = true;
      S().shell.error_flag = 1;
      return ReadResult::unanswered;
    }
    if (st == LinkStatus::timeout && line_limit_ms >= 0 && Clock::now() >= line_deadline) {
      failure = "****ERROR IN READSTRING: No answer within " + std::to_string(line_limit_ms) +
                " ms";
      return ReadResult::timed_out;
    }
    if (st == LinkStatus::timeout) {
      // The run-time facility of port type 2 returns what it has; an empty line is no error.
      if (port_type() == 2) return count == 0 ? ReadResult::empty : ReadResult::line;
      failure = "****ERROR IN READSTRING: No bytes returned: Assumed port timed out";
      return ReadResult::timed_out;
    }
    if (st != LinkStatus::ok) {
      const std::string lost =
          st == LinkStatus::disconnected ? " (the controller link was lost)" : "";
      if (port_type() == 2)
        failure = "****ERROR IN READSTRINGPORT:  IRES = " + std::to_string(link().last_errno()) + lost;
      else
        failure = "****ERROR IN READString:  IRET = " + I(link().last_errno(), 4) +
                  " RETURNED CHAR = " + std::string(1, static_cast<char>(c)) + " inbytes =" +
                  std::to_string(0) + lost;
      return ReadResult::failed;
    }
    if ((term == 1 && c == '\r') || (term == 2 && c == '\n')) return ReadResult::line;
    if (term == 3 && c == '\n') {
      if (count > 0 && text[static_cast<std::size_t>(count - 1)] == '\r') {
        text.pop_back();
        --count;
      } else {
        WARNING("****ERROR IN READString:  FOUND <LF> BUT NO <CR>");
      }
      return ReadResult::line;
    }
    if (count >= kMaxLine) {
      failure = "****ERROR IN READString: buffer overflowed. First 100 chars were: " +
                first_chars(text, 100);
      text.clear();
      count = 0;
      return ReadResult::failed;
    }
    text.push_back(static_cast<char>(c));
    ++count;
  }
}

void echo_returned(const std::string& text, int count) {
  if (S().shell.log_comm_echo == 1 && (port_type() == 1 || count > 0))
    WRITE_TERM(" RETURNED STRING IS:" + text);
}

}  // namespace

void READ_STRING_PORT(std::string& text, int& count) {
  text.clear();
  count = 0;
  if (!port_type_valid(" IN READ_STRING_PORT")) return;
  std::string failure;
  const ReadResult r = read_line(text, count, failure, -1);
  if (r == ReadResult::halted) {
    HALTED_BY_USER();
    return;
  }
  if (r == ReadResult::unanswered) return;
  if (r == ReadResult::failed || r == ReadResult::timed_out) {
    ERRORLOG(failure);
    return;
  }
  echo_returned(text, count);
}

int READ_STRING_PORT_WITHIN(std::string& text, int& count, std::string& failure, int limit_ms) {
  text.clear();
  count = 0;
  if (port_type() != 1 && port_type() != 2) {
    failure = "INVALID COMM PORT TYPE =" + I(port_type(), 2) + " IN READ_STRING_PORT";
    return 2;
  }
  switch (read_line(text, count, failure, limit_ms)) {
    case ReadResult::timed_out: return 1;
    case ReadResult::failed: return 2;
    case ReadResult::halted:
      // The operator's halt of whatever the controller was doing: served here, so that every
      // caller ends its sequence on the error flag the halt leaves set.
      HALTED_BY_USER();
      return 3;
    case ReadResult::unanswered: return 3;
    default: break;
  }
  echo_returned(text, count);
  return 0;
}

int READ_STRING_PORT_QUIET(std::string& text, int& count, std::string& failure) {
  return READ_STRING_PORT_WITHIN(text, count, failure, -1);
}

bool last_send_failed() { return send_failed; }

bool take_unanswered_stop() {
  const bool was = stop_unanswered;
  stop_unanswered = false;
  return was;
}

void DISCARD_PENDING_INPUT() {
  if (link().is_open()) ::tcflush(link().fd(), TCIFLUSH);
}

}  // namespace dorvex
