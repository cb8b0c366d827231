// The SMC9000 and SMC9300 motor/counter controllers. Commands are short ASCII texts ending in
// ';'. Queries ("?...") are answered at once; drives, counts and scans are loaded into a
// program buffer ("CLR;" empties it) and run by "START:;". A program is a main part ending in
// "END;" followed by subroutines that begin with "LIN<label>;" and end with "RET;". Moves
// start at once and run together; "CNT<t>;" waits until every axis is at rest and then counts
// for t seconds into the count memory, which "?CNT;" lists and "CCNT;" clears.
//
// Axis status: 1 at rest, 2 moving or busy with a program (plus 16 while counting), plus 4 or 8
// when the lower or upper limit switch is pressed. The SMC9300 puts ETX before every one-line
// answer; the lines of the count list carry no framing on either model.

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "family.hpp"

namespace dorvex::sim {

namespace {

constexpr char kEtx = '\x03';
constexpr char kAck = '\x06';
constexpr double kDefaultSpeed = 1000.0;  // steps per second when a command names none
constexpr long kCounterMax = 99999;       // five digits in the count list
constexpr std::size_t kCountMemory = 1000;

enum class Op { move, count, gosub, label, ret, end, separator };

struct Statement {
  Op op = Op::separator;
  char axis = ' ';
  bool absolute = false;
  double value = 0.0;  // target, relative distance or count time
  double speed = 0.0;  // steps per second
  long label = 0;
  long times = 0;
};

bool read_number(std::string_view& text, double& value) {
  std::size_t n = 0;
  while (n < text.size() && (std::isdigit(static_cast<unsigned char>(text[n])) ||
                             text[n] == '.' || ((text[n] == '-' || text[n] == '+') && n == 0)))
    ++n;
  std::string_view digits = text.substr(0, n);
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty()) return false;
  text.remove_prefix(n);
  return true;
}

bool read_whole(std::string_view text, long& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::string fixed4(double value) {
  if (std::fabs(value) < 0.00005) value = 0.0;
  char buffer[64];
  auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 4);
  std::string text(buffer, ec == std::errc() ? end : buffer);
  return value >= 0.0 ? "+" + text : text;
}

class SmcController : public ControllerFamily {
 public:
  SmcController(bool smc9300, Instrument& instrument, NoteSink note)
      : smc9300_(smc9300), inst_(instrument), note_(std::move(note)) {}

  std::string name() const override { return smc9300_ ? "smc9300" : "smc9000"; }

  void receive(const std::string& line, double now, std::vector<Reply>& replies) override {
    advance(now);
    if (line.size() == 1 && line[0] == kAck) return;  // acknowledge: nothing to do
    std::size_t start = 0;
    while (start < line.size()) {
      std::size_t semicolon = line.find(';', start);
      if (semicolon == std::string::npos) {
        note_("ignored (no ';'): " + line.substr(start));
        return;
      }
      execute(std::string_view(line).substr(start, semicolon - start), now, replies);
      start = semicolon + 1;
    }
  }

  double finish(double now) override {
    advance(std::numeric_limits<double>::infinity());
    double end = std::max(now, tp_);
    for (Axis& a : inst_.axes()) end = std::max(end, a.end_time());
    return end;
  }

 private:
  // Runs the loaded program up to simulated time `now`.
  void advance(double now) {
    while (running_) {
      if (counting_) {
        if (count_end_ > now) return;
        long n = inst_.count(count_start_, count_seconds_);
        if (counts_.size() < kCountMemory) counts_.push_back(std::min(n, kCounterMax));
        counting_ = false;
        tp_ = count_end_;
        ++pc_;
        continue;
      }
      if (pc_ >= program_.size()) {
        running_ = false;
        return;
      }
      const Statement& s = program_[pc_];
      switch (s.op) {
        case Op::move: run_move(s);
          ++pc_;
          break;
        case Op::count: {
          double ready = tp_;
          for (Axis& a : inst_.axes()) ready = std::max(ready, a.end_time());
          if (ready > now) return;
          if (switch_met_) {
            note_("limit switch met: program stopped");
            tp_ = ready;
            running_ = false;
            return;
          }
          count_start_ = ready;
          count_seconds_ = s.value;
          count_end_ = ready + s.value;
          counting_ = true;
          break;
        }
        case Op::gosub: {
          auto label = std::find_if(program_.begin(), program_.end(), [&](const Statement& x) {
            return x.op == Op::label && x.label == s.label;
          });
          if (label == program_.end() || stack_.size() >= 8) {
            note_("subroutine " + std::to_string(s.label) + " missing or nested too deep");
            running_ = false;
            return;
          }
          std::size_t body = static_cast<std::size_t>(label - program_.begin()) + 1;
          if (s.times <= 0) {
            ++pc_;
          } else {
            stack_.push_back({pc_ + 1, body, s.times});
            pc_ = body;
          }
          break;
        }
        case Op::ret:
          if (stack_.empty()) {
            running_ = false;
            return;
          }
          if (--stack_.back().remaining > 0) {
            pc_ = stack_.back().body;
          } else {
            pc_ = stack_.back().return_to;
            stack_.pop_back();
          }
          break;
        case Op::end:
          running_ = false;
          return;
        case Op::label:
          if (stack_.empty()) {  // the main part ran into the subroutines
            running_ = false;
            return;
          }
          ++pc_;
          break;
        case Op::separator: ++pc_;
          break;
      }
    }
  }

  void run_move(const Statement& s) {
    Axis* a = inst_.axis(s.axis);
    if (a == nullptr) return;
    // A relative move adds to where the axis is going.
    const double from = a->moving(tp_) ? a->target() : a->position(tp_);
    double target = s.absolute ? s.value : from + s.value;
    if (s.absolute) {
      double shortfall = inst_.faults().take_short_drive(s.axis);
      if (shortfall > 0.0) {
        double distance = target - from;
        target = std::fabs(distance) <= shortfall ? from
                                                  : target - std::copysign(shortfall, distance);
        note_(std::string("fault: drive of axis ") + s.axis + " stops short at " + fixed4(target));
      }
    }
    double speed = (s.speed > 0.0 ? s.speed : kDefaultSpeed) / a->steps_per_unit();
    a->move_to(tp_, target, speed);
    // Running onto a switch, or refused because the axis already presses it.
    const bool refused = !a->moving(tp_) && a->limit_bits(tp_) != 0 &&
                         std::fabs(a->target() - a->round_to_step(target)) > 1e-9;
    if (a->pending_switch() != 0 || refused) switch_met_ = true;
  }

  void execute(std::string_view c, double now, std::vector<Reply>& replies) {
    if (!c.empty() && c[0] == '?') {
      query(c, now, replies);
    } else if (c == "Q") {
      for (Axis& a : inst_.axes()) a.stop(now);
      if (running_) note_("program stopped");
      running_ = counting_ = false;
      tp_ = now;
    } else if (c.substr(0, 3) == "POS" && c.size() > 5 && c[4] == ':') {
      Axis* a = inst_.axis(c[3]);
      double value = 0.0;
      std::string_view number = c.substr(5);
      if (a != nullptr && read_number(number, value) && number.empty()) {
        a->load(now, value);
      } else {
        note_("bad position load: " + std::string(c));
      }
    } else if (c == "CLR") {
      buffer_.clear();
    } else if (c == "CCNT") {
      counts_.clear();
    } else if (c == "START:") {
      start(now);
    } else if (c == "IO0" || c == "IO1") {
      bool open = c == "IO1";
      inst_.shutter(open);
      if (open && !inst_.shutter_open()) note_("fault: shutter stays closed");
    } else if ((c.substr(0, 3) == "*FI" || c.substr(0, 3) == "*HS") && c.size() == 4 &&
               std::isdigit(static_cast<unsigned char>(c[3]))) {
      (c[1] == 'F' ? inst_.filter : inst_.half_slit) = c[3] - '0';
    } else {
      Statement s;
      if (parse_statement(c, s)) {
        buffer_.push_back(s);
      } else {
        note_("unknown command: " + std::string(c));
      }
    }
  }

  bool parse_statement(std::string_view c, Statement& s) {
    long number = 0;
    if (c == "NL") {
      s.op = Op::separator;
    } else if (c == "END") {
      s.op = Op::end;
    } else if (c == "RET") {
      s.op = Op::ret;
    } else if (c.substr(0, 3) == "LIN" && read_whole(c.substr(3), number)) {
      s.op = Op::label;
      s.label = number;
    } else if (c.substr(0, 3) == "GSB") {
      std::size_t star = c.find('*');
      long times = 1;
      if (!read_whole(c.substr(3, star - 3), number) ||
          (star != std::string_view::npos && !read_whole(c.substr(star + 1), times)))
        return false;
      s.op = Op::gosub;
      s.label = number;
      s.times = std::min(times, 100000L);
    } else if (c.substr(0, 3) == "CNT") {
      std::string_view t = c.substr(3);
      if (!read_number(t, s.value) || !t.empty() || s.value < 0.0) return false;
      s.op = Op::count;
    } else if (c.size() > 2 && c[1] == ':' && inst_.axis(c[0]) != nullptr) {
      return parse_move(c, s);
    } else {
      return false;
    }
    return true;
  }

  // a ":" ["A"] x, then speed fields: SMC9000 "S" n or "S" start "L" speed "B" ramp;
  // SMC9300 "S" start "R" speed "A" acceleration. Relative moves carry "S" n on both.
  bool parse_move(std::string_view c, Statement& s) {
    s.op = Op::move;
    s.axis = c[0];
    std::string_view rest = c.substr(2);
    s.absolute = !rest.empty() && rest[0] == 'A';
    if (s.absolute) rest.remove_prefix(1);
    if (!read_number(rest, s.value)) return false;
    double start_speed = 0.0, run_speed = 0.0;
    const std::string letters = smc9300_ ? "SRA" : "SLB";
    while (!rest.empty()) {
      char key = rest[0];
      rest.remove_prefix(1);
      double v = 0.0;
      if (letters.find(key) == std::string::npos || !read_number(rest, v)) return false;
      if (key == 'S') start_speed = v;
      if (key == 'L' || key == 'R') run_speed = v;
    }
    s.speed = run_speed > 0.0 ? run_speed : start_speed;
    return true;
  }

  void start(double now) {
    if (running_) {
      note_("busy: START ignored");
      return;
    }
    program_ = buffer_;
    pc_ = 0;
    stack_.clear();
    tp_ = now;
    switch_met_ = false;
    running_ = true;
    advance(now);
  }

  void query(std::string_view c, double now, std::vector<Reply>& replies) {
    Reply r;
    r.query = std::string(c);
    if (smc9300_) r.prefix = std::string(1, kEtx);
    if (c == "?S") {
      std::string text;
      for (Axis& a : inst_.axes()) {
        int status = a.moving(now) || running_ ? 2 : 1;
        if (running_ && counting_ && !a.moving(now)) status += 16;
        status += a.limit_bits(now);
        text += std::string(1, a.name()) + ":" + std::to_string(status) + ";";
      }
      r.lines.push_back(text);
    } else if (c == "?IO") {
      r.lines.push_back(inst_.shutter_open() ? "1" : "0");
    } else if (c == "?CNT") {
      r.prefix.clear();
      r.last_line_is_end = true;
      if (running_) note_("count list asked for while the program runs");
      std::size_t n = counts_.size();
      if (n > 0 && inst_.faults().take_count_short()) {
        --n;
        note_("fault: count list one line short");
      }
      char buffer[16];
      for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buffer, sizeof buffer, "%5ld", counts_[i]);
        r.lines.push_back(buffer);
      }
      r.lines.push_back("CEND");
    } else if (c.size() == 3 && c.substr(0, 2) == "?P" && inst_.axis(c[2]) != nullptr) {
      Axis& a = *inst_.axis(c[2]);
      const char* unit = a.motor() >= 5 && a.motor() <= 8 ? "mm;" : "deg;";
      r.lines.push_back(std::string(1, a.name()) + ":" + fixed4(a.position(now)) + unit);
    } else {
      r.lines.push_back("ERR;");
      note_("unknown query: " + std::string(c));
    }
    replies.push_back(std::move(r));
  }

  struct Frame {
    std::size_t return_to;
    std::size_t body;
    long remaining;
  };

  bool smc9300_;
  Instrument& inst_;
  NoteSink note_;
  std::vector<Statement> buffer_;   // loaded, not yet started
  std::vector<Statement> program_;  // running or last run
  bool running_ = false;
  std::size_t pc_ = 0;
  std::vector<Frame> stack_;
  double tp_ = 0.0;                 // simulated time the program has reached
  bool switch_met_ = false;
  bool counting_ = false;
  double count_start_ = 0.0, count_end_ = 0.0, count_seconds_ = 0.0;
  std::vector<long> counts_;
};

}  // namespace

std::unique_ptr<ControllerFamily> make_smc_family(bool smc9300, Instrument& instrument,
                                                  NoteSink note) {
  return std::make_unique<SmcController>(smc9300, instrument, std::move(note));
}

}  // namespace dorvex::sim
