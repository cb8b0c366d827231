// Injected controller faults, given on the command line as --fault FAULT.
//
//   drop:QUERY:N[:K]     the N-th answer to QUERY (and K-1 after it) is not sent at all
//   garble:QUERY:N[:K]   the same answers are sent garbled (every other character '#')
//   empty:QUERY:N[:K]    the same answers are sent as an empty line
//   limit:AXIS:POS       a limit switch on AXIS at controller position POS
//   short:AXIS:N[:DEG]   the next N drives of AXIS stop DEG (default 0.5) short of the target
//   countshort:N         the next N count-array answers lack their last count
//   shutter:N            the next N shutter-open commands leave the shutter closed
//   shuttergarble:N      the next N shutter-state answers are garbled (garble:?IO:1:N)
//   reply:QUERY:TEXT:N[:K]  the N-th answer to QUERY (and K-1 after it) is TEXT instead
//   late:QUERY:SECONDS:N[:K]  the same answers come SECONDS (real time) late; every answer
//                        after them waits behind them, as from a controller working in order
//   busy:QUERY:N[:K]     the N-th QUERY command (and K-1 after it) is refused as busy: not
//                        carried out, answered with the family's busy answer where it has one
//   dead:QUERY:N         from the N-th QUERY command on the controller neither acts nor answers
//   stall:QUERY:SECONDS:N  after the N-th QUERY command the controller takes no characters
//                        from the line for SECONDS (real time): the program's writes fail
//
// QUERY is the start of a query command without its ';' ("?P" matches every axis, "?P2" only
// axis 2); answers are numbered from 1 in the order the queries arrive, per fault. Families
// that answer every command (the SIN-10) match any command, "AR" for instance.
#pragma once

#include <string>
#include <vector>

namespace dorvex::sim {

enum class AnswerFault { none, drop, garble, empty, reply, late };

// What happens to a command before the controller looks at it.
enum class CommandFault { none, busy, dead, stall };

struct AnswerRule {
  AnswerFault kind = AnswerFault::none;
  std::string query;
  long first = 1;
  long count = 1;
  long seen = 0;  // matching queries so far
  std::string text;  // the answer of a reply fault
  double seconds = 0.0;  // a late answer's delay, a stall's length
};

struct CommandRule {
  CommandFault kind = CommandFault::none;
  std::string query;
  long first = 1;
  long count = 1;
  long seen = 0;
  double seconds = 0.0;
};

struct LimitSwitchFault {
  char axis = ' ';
  double position = 0.0;
};

struct ShortDriveFault {
  char axis = ' ';
  long remaining = 0;
  double amount = 0.5;
};

class Faults {
 public:
  // The family answers commands of any form: QUERY may be any command text; otherwise (the
  // SMC families) it must be a query, beginning with '?'.
  bool any_command = false;

  // Adds one --fault FAULT; false with a reason when it cannot be read.
  bool add(const std::string& text, std::string& error);

  // Decides what happens to the answer of `query` (counted once per call).
  // A reply fault puts its answer into *text, a late one its delay into *seconds.
  AnswerFault answer_fault(const std::string& query, std::string* text = nullptr,
                           double* seconds = nullptr);
  // Decides what happens to the command `query` before it is carried out (counted once per
  // call); a stall puts its length into *seconds. Once dead, every command is `dead`.
  CommandFault command_fault(const std::string& query, double* seconds = nullptr);
  bool dead() const { return dead_; }
  // Consumes one short drive of the axis; returns the amount short (0: none).
  double take_short_drive(char axis);
  bool take_count_short();
  bool take_shutter_failure();
  const std::vector<LimitSwitchFault>& limit_switches() const { return limits_; }

 private:
  std::vector<AnswerRule> rules_;
  std::vector<CommandRule> commands_;
  bool dead_ = false;
  std::vector<LimitSwitchFault> limits_;
  std::vector<ShortDriveFault> shorts_;
  long count_short_ = 0;
  long shutter_failures_ = 0;
};

// The garbled form of an answer: every other character replaced, plus one, so that no decoder
// of the program can take it for a well-formed answer.
std::string garble(const std::string& answer);

}  // namespace dorvex::sim
