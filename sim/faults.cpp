#include "faults.hpp"

#include <charconv>

#include "sim_profile.hpp"  // parse_real

namespace dorvex::sim {

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

bool whole(const std::string& text, long& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value >= 0;
}

}  // namespace

std::string garble(const std::string& answer) {
  std::string out = answer;
  for (std::size_t i = 0; i < out.size(); i += 2) out[i] = '#';
  return out + "#";
}

bool Faults::add(const std::string& text, std::string& error) {
  std::vector<std::string> f = split(text, ':');
  auto fail = [&](const char* why) {
    error = "fault '" + text + "': " + why;
    return false;
  };
  const std::string& kind = f[0];
  if (kind == "drop" || kind == "garble" || kind == "empty") {
    AnswerRule rule;
    rule.kind = kind == "drop" ? AnswerFault::drop
                               : (kind == "garble" ? AnswerFault::garble : AnswerFault::empty);
    if (f.size() < 3 || f.size() > 4) return fail("expected KIND:QUERY:N[:K]");
    rule.query = f[1];
    if (!rule.query.empty() && rule.query.back() == ';') rule.query.pop_back();
    if (rule.query.empty() || (!any_command && rule.query[0] != '?'))
      return fail("QUERY must begin with '?'");
    if (!whole(f[2], rule.first) || rule.first < 1) return fail("N must be 1 or more");
    if (f.size() == 4 && (!whole(f[3], rule.count) || rule.count < 1))
      return fail("K must be 1 or more");
    rules_.push_back(rule);
  } else if (kind == "reply") {
    AnswerRule rule;
    rule.kind = AnswerFault::reply;
    if (f.size() < 4 || f.size() > 5) return fail("expected reply:QUERY:TEXT:N[:K]");
    rule.query = f[1];
    rule.text = f[2];
    if (rule.query.empty() || (!any_command && rule.query[0] != '?'))
      return fail("QUERY must begin with '?'");
    if (!whole(f[3], rule.first) || rule.first < 1) return fail("N must be 1 or more");
    if (f.size() == 5 && (!whole(f[4], rule.count) || rule.count < 1))
      return fail("K must be 1 or more");
    rules_.push_back(rule);
  } else if (kind == "late") {
    AnswerRule rule;
    rule.kind = AnswerFault::late;
    if (f.size() < 4 || f.size() > 5) return fail("expected late:QUERY:SECONDS:N[:K]");
    rule.query = f[1];
    if (rule.query.empty() || (!any_command && rule.query[0] != '?'))
      return fail("QUERY must begin with '?'");
    if (!parse_real(f[2], rule.seconds) || rule.seconds <= 0.0)
      return fail("SECONDS must be positive");
    if (!whole(f[3], rule.first) || rule.first < 1) return fail("N must be 1 or more");
    if (f.size() == 5 && (!whole(f[4], rule.count) || rule.count < 1))
      return fail("K must be 1 or more");
    rules_.push_back(rule);
  } else if (kind == "busy" || kind == "dead" || kind == "stall") {
    // Any command may be named: these act on what the controller receives, answered or not.
    CommandRule rule;
    rule.kind = kind == "busy" ? CommandFault::busy
                               : (kind == "dead" ? CommandFault::dead : CommandFault::stall);
    std::size_t at = 2;
    if (kind == "busy" && (f.size() < 3 || f.size() > 4)) return fail("expected busy:QUERY:N[:K]");
    if (kind == "dead" && f.size() != 3) return fail("expected dead:QUERY:N");
    if (kind == "stall") {
      if (f.size() != 4) return fail("expected stall:QUERY:SECONDS:N");
      if (!parse_real(f[2], rule.seconds) || rule.seconds <= 0.0)
        return fail("SECONDS must be positive");
      at = 3;
    }
    rule.query = f[1];
    if (!rule.query.empty() && rule.query.back() == ';') rule.query.pop_back();
    if (rule.query.empty()) return fail("QUERY must not be empty");
    if (!whole(f[at], rule.first) || rule.first < 1) return fail("N must be 1 or more");
    if (f.size() == at + 2 && (!whole(f[at + 1], rule.count) || rule.count < 1))
      return fail("K must be 1 or more");
    commands_.push_back(rule);
  } else if (kind == "limit") {
    double position = 0.0;
    if (f.size() != 3 || f[1].size() != 1 || !parse_real(f[2], position))
      return fail("expected limit:AXIS:POSITION");
    limits_.push_back({f[1][0], position});
  } else if (kind == "short") {
    ShortDriveFault s;
    if (f.size() < 3 || f.size() > 4 || f[1].size() != 1 || !whole(f[2], s.remaining))
      return fail("expected short:AXIS:N[:DEGREES]");
    if (f.size() == 4 && (!parse_real(f[3], s.amount) || s.amount <= 0.0))
      return fail("DEGREES must be positive");
    s.axis = f[1][0];
    shorts_.push_back(s);
  } else if (kind == "countshort" || kind == "shutter" || kind == "shuttergarble") {
    long n = 0;
    if (f.size() != 2 || !whole(f[1], n)) return fail("expected KIND:N");
    if (kind == "countshort") count_short_ += n;
    if (kind == "shutter") shutter_failures_ += n;
    if (kind == "shuttergarble" && n > 0)
      rules_.push_back({AnswerFault::garble, "?IO", 1, n, 0, {}});
  } else {
    return fail("unknown kind (drop garble empty reply late busy dead stall limit short "
                "countshort shutter shuttergarble)");
  }
  return true;
}

AnswerFault Faults::answer_fault(const std::string& query, std::string* text, double* seconds) {
  AnswerFault result = AnswerFault::none;
  for (AnswerRule& rule : rules_) {
    if (query.compare(0, rule.query.size(), rule.query) != 0) continue;
    long n = ++rule.seen;
    if (result == AnswerFault::none && n >= rule.first && n < rule.first + rule.count) {
      result = rule.kind;
      if (text != nullptr) *text = rule.text;
      if (seconds != nullptr) *seconds = rule.seconds;
    }
  }
  return result;
}

CommandFault Faults::command_fault(const std::string& query, double* seconds) {
  if (dead_) return CommandFault::dead;
  CommandFault result = CommandFault::none;
  for (CommandRule& rule : commands_) {
    if (query.compare(0, rule.query.size(), rule.query) != 0) continue;
    long n = ++rule.seen;
    if (result != CommandFault::none || n < rule.first || n >= rule.first + rule.count) continue;
    result = rule.kind;
    if (seconds != nullptr) *seconds = rule.seconds;
  }
  if (result == CommandFault::dead) dead_ = true;
  return result;
}

double Faults::take_short_drive(char axis) {
  for (ShortDriveFault& s : shorts_) {
    if (s.axis == axis && s.remaining > 0) {
      --s.remaining;
      return s.amount;
    }
  }
  return 0.0;
}

bool Faults::take_count_short() {
  if (count_short_ <= 0) return false;
  --count_short_;
  return true;
}

bool Faults::take_shutter_failure() {
  if (shutter_failures_ <= 0) return false;
  --shutter_failures_;
  return true;
}

}  // namespace dorvex::sim
