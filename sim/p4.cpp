// The P4 controller. A command is a letter, the axis character and a number in degrees:
// "F"a","x loads an absolute and "A"a","x a relative move, "D" starts the loaded moves together
// (or, after "I1" and "C0,"t, counts t seconds once they have ended and answers the count),
// "S"a","v sets a speed (degrees per minute), "B"a l u travel bounds (two F10.5), "EZ"a","d
// shifts the axis zero by d, "U"a","n declares the axis to stand at n whole degrees keeping
// its fraction, "W+1"/"W-1" open and close the shutter. "U0,0" asks for the four circle angles
// and two status words.
//
// The circles count from 0 to 360 and turn the short way to a target of a free circle; a
// circle with limit switches reaches a target by the way that stays between them. The
// controller answers a status request only once its axes are at rest, and a count once it has
// counted: those answers are held and sent in order when they are due.
//
// Status word 1: 2 (the controller is ready), plus 1 while a circle stands on a limit switch,
// plus 32768 while the shutter is open. Status word 2 is 0.

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <deque>
#include <limits>
#include <map>

#include "family.hpp"
#include "sim_profile.hpp"

namespace dorvex::sim {

namespace {

constexpr double kDefaultSpeed = 300.0;     // degrees per minute before any "S"
constexpr long kCounterMax = 99999999;      // what the count answer holds
constexpr int kReady = 2;
constexpr int kLimit = 1;
constexpr int kShutterOpen = 32768;

// A number filling the whole text (blanks around it allowed).
bool number(std::string_view text, double& value) { return parse_real(text, value); }

double turn_of(double x) { return x - 360.0 * std::floor(x / 360.0); }  // [0, 360)

struct Held {
  bool count = false;  // else a status request
  std::string query;   // for fault matching
  double count_start = 0.0, count_seconds = 0.0;
};

class P4Controller : public ControllerFamily {
 public:
  P4Controller(Instrument& instrument, NoteSink note)
      : inst_(instrument), note_(std::move(note)) {}

  std::string name() const override { return "p4"; }
  std::string query_of(const std::string& line) const override { return "?" + line; }

  void receive(const std::string& raw, double now, std::vector<Reply>& replies) override {
    std::string line = raw;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    while (!line.empty() && line.front() == '\r') line.erase(0, 1);
    if (line.empty()) return;  // wake-up
    if (!execute(line, now)) note_("unknown command: " + line);
    due_answers(now, replies);
  }

  double finish(double now) override { return std::max(now, idle_time()); }

  double next_answer_due() const override {
    return held_.empty() ? std::numeric_limits<double>::infinity() : idle_time();
  }

  void due_answers(double now, std::vector<Reply>& replies) override {
    while (!held_.empty() && idle_time() <= now) {
      const Held h = held_.front();
      held_.pop_front();
      Reply r;
      r.query = h.query;
      if (h.count) {
        const long n = std::min(inst_.count(h.count_start, h.count_seconds), kCounterMax);
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%8ld", n);
        r.lines.push_back(buffer);
      } else {
        r.lines.push_back(status_text(idle_time()));
      }
      replies.push_back(std::move(r));
    }
  }

 private:
  // The time at which every axis is at rest and the count has ended.
  double idle_time() const {
    double t = busy_until_;
    for (const Axis& a : inst_.axes()) t = std::max(t, a.end_time());
    return t;
  }

  std::string status_text(double t) {
    std::string text;
    int word1 = kReady;
    for (int motor : {1, 2, 4, 3}) {  // phi before chi
      Axis* a = inst_.motor_axis(motor);
      double shown = a != nullptr ? turn_of(a->position(t)) : 0.0;
      if (shown >= 359.9999995) shown = 0.0;
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%10.6f ", shown);
      text += buffer;
      if (a != nullptr && a->limit_bits(t) != 0) word1 |= kLimit;
    }
    if (inst_.shutter_open()) word1 += kShutterOpen;
    char words[32];
    std::snprintf(words, sizeof words, "%5d %5d", word1, 0);
    return text + words;
  }

  Axis* axis_of(char name) {
    if (name == '0') return nullptr;
    return inst_.axis(name);
  }

  const SimMotor& motor_of(const Axis& a) const {
    return inst_.profile().motors[static_cast<std::size_t>(a.motor())];
  }

  // "a,x": the axis and the number after the comma.
  bool axis_number(std::string_view args, Axis*& a, double& value) {
    if (args.size() < 3 || args[1] != ',') return false;
    a = axis_of(args[0]);
    return a != nullptr && number(args.substr(2), value);
  }

  // The equivalent of a target (or a declared angle) that the axis takes: between its
  // switches when it has them, else the one nearest to `from`.
  double equivalent(const Axis& a, double x, double from) const {
    const SimMotor& m = motor_of(a);
    if (m.limited) {
      const double lo = m.lower - kSwitchMargin, hi = m.upper + kSwitchMargin;
      double best = x;
      bool found = false;
      for (int k = -2; k <= 2; ++k) {
        const double y = x + 360.0 * k;
        if (y < lo || y > hi) continue;
        if (!found || std::fabs(y - from) < std::fabs(best - from)) best = y;
        found = true;
      }
      return best;
    }
    return x + 360.0 * std::round((from - x) / 360.0);
  }

  double here(const Axis& a, double now) const {
    return a.moving(now) ? a.target() : a.position(now);
  }

  void start_moves(double now) {
    for (auto& [name, target] : loaded_) {
      Axis* a = inst_.axis(name);
      if (a == nullptr) continue;
      const double to = target;
      // Travel bounds (both 0: none) hold for the target or its equivalent within a turn.
      const auto bounds = bounds_.find(name);
      const double lo = bounds != bounds_.end() ? bounds->second.first : 0.0;
      const double hi = bounds != bounds_.end() ? bounds->second.second : 0.0;
      if (lo != 0.0 || hi != 0.0) {
        auto within = [&](double x) { return x >= lo && x <= hi; };
        if (!within(to) && !within(turn_of(to)) && !within(turn_of(to) - 360.0)) {
          note_(std::string("target of axis ") + name + " outside its travel bounds: not moved");
          continue;
        }
      }
      const double speed = speed_.count(name) != 0 ? speed_[name] : kDefaultSpeed;
      a->move_to(now, to, std::max(speed, 1e-3) / 60.0);
    }
    loaded_.clear();
  }

  bool execute(const std::string& c, double now) {
    const std::string_view v(c);
    Axis* a = nullptr;
    double x = 0.0;
    switch (c[0]) {
      case 'U': {
        if (v == "U0,0") {
          held_.push_back({false, "?U0,0", 0.0, 0.0});
          return true;
        }
        if (!axis_number(v.substr(1), a, x) || x != std::floor(x)) return false;
        // The axis keeps its fraction of a degree and takes the whole degrees given.
        const double reading = turn_of(a->position(now));
        const double declared = x + (reading - std::round(reading));
        a->load(now, equivalent(*a, declared, a->position(now)));
        return true;
      }
      case 'E':
        if (v.size() < 2 || v[1] != 'Z' || !axis_number(v.substr(2), a, x)) return false;
        a->load(now, a->position(now) - x);
        return true;
      case 'F': {
        if (!axis_number(v.substr(1), a, x)) return false;
        double target = equivalent(*a, x, here(*a, now));
        const double shortfall = inst_.faults().take_short_drive(a->name());
        if (shortfall > 0.0) {
          const double distance = target - here(*a, now);
          target = std::fabs(distance) <= shortfall
                       ? here(*a, now)
                       : target - std::copysign(shortfall, distance);
          note_(std::string("fault: drive of axis ") + a->name() + " stops short");
        }
        loaded_[a->name()] = target;
        return true;
      }
      case 'A': {
        if (!axis_number(v.substr(1), a, x)) return false;
        auto it = loaded_.find(a->name());
        const double from = it != loaded_.end() ? it->second : here(*a, now);
        loaded_[a->name()] = from + x;
        return true;
      }
      case 'D':
        if (v != "D") return false;
        start_moves(now);
        if (count_armed_) {
          const double start = std::max(now, idle_time());
          busy_until_ = start + count_seconds_;
          held_.push_back({true, "?D", start, count_seconds_});
          count_armed_ = false;
        }
        return true;
      case 'S':
        if (!axis_number(v.substr(1), a, x) || x <= 0.0) return false;
        speed_[a->name()] = x;
        return true;
      case 'B': {
        double lo = 0.0, hi = 0.0;
        if (v.size() != 22 || (a = axis_of(v[1])) == nullptr || !number(v.substr(2, 10), lo) ||
            !number(v.substr(12, 10), hi))
          return false;
        bounds_[a->name()] = {lo, hi};
        return true;
      }
      case 'W':
        if (v != "W+1" && v != "W-1") return false;
        inst_.shutter(v == "W+1");
        if (v == "W+1" && !inst_.shutter_open()) note_("fault: shutter stays closed");
        return true;
      case 'I':
        return v == "I1";
      case 'C':
        if (v.substr(0, 3) != "C0," || !number(v.substr(3), x) || x < 0.0) return false;
        count_seconds_ = x;
        count_armed_ = true;
        return true;
      default:
        return false;
    }
  }

  Instrument& inst_;
  NoteSink note_;
  std::map<char, double> loaded_;  // targets loaded for the next "D"
  std::map<char, double> speed_;
  std::map<char, std::pair<double, double>> bounds_;
  bool count_armed_ = false;
  double count_seconds_ = 0.0;
  double busy_until_ = 0.0;  // end of the last count
  std::deque<Held> held_;
};

}  // namespace

std::unique_ptr<ControllerFamily> make_p4_family(Instrument& instrument, NoteSink note) {
  return std::make_unique<P4Controller>(instrument, std::move(note));
}

}  // namespace dorvex::sim
