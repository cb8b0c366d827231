// The STADI4 controller. Commands are fixed-length records: two letters, for some commands
// followed by six-digit hexadecimal fields (motor steps; a negative n is sent as n + FFFFFF).
// Every command but "SP" is acknowledged with "IR" and two characters: "IROK" for what is
// taken at once, "IR05" when a drive has ended, "IR06" when a scan has ended, "IR07" when the
// reference marks are found, "IR08" for the shutter, "IR01".."IR04" when drive 1..4 (TH, OM,
// CH, PH) ran onto a limit switch. A drive, a scan and the reference search are acknowledged
// only when they have ended. Data ("PP" positions, "PI" counts, the offsets found by "CK") are
// fetched line by line with "XX"; "IR00" means there is nothing to fetch, or that the
// controller is still busy with a drive or scan.
#include <array>
#include <cmath>
#include <deque>
#include <limits>
#include <optional>

#include "family.hpp"

namespace dorvex::sim {

namespace {

constexpr long kFull = 16777215;         // FFFFFF
constexpr long kLargestPositive = 145000;
constexpr double kSpeed = 1000.0;        // steps per second of every circle
const char* const kCircle[4] = {"TH", "OM", "CH", "PH"};

std::string hex6(long n) {
  if (n < 0) n += kFull;
  n = std::max(0L, std::min(n, kFull));
  static const char digits[] = "0123456789ABCDEF";
  std::string out(6, '0');
  for (int i = 5; i >= 0; --i) {
    out[static_cast<std::size_t>(i)] = digits[n % 16];
    n /= 16;
  }
  return out;
}

bool read_hex6(const std::string& text, std::size_t at, long& value) {
  if (at + 6 > text.size()) return false;
  long v = 0;
  for (std::size_t i = at; i < at + 6; ++i) {
    const char c = text[i];
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0) return false;
    v = v * 16 + d;
  }
  value = v > kLargestPositive ? v - kFull : v;
  return true;
}

class Stadi4Controller : public ControllerFamily {
 public:
  Stadi4Controller(Instrument& instrument, NoteSink note)
      : inst_(instrument), note_(std::move(note)) {}

  std::string name() const override { return "stadi4"; }
  std::string query_of(const std::string& line) const override { return "?" + line.substr(0, 2); }
  std::string busy_answer() const override { return "IR00"; }

  void receive(const std::string& line, double now, std::vector<Reply>& replies) override {
    due_answers(now, replies);  // what ended before this command came is answered first
    const std::string cmd = line.substr(0, 2);
    if (cmd == "SP") {
      stop(now);
      return;
    }
    std::string text = answer(line, cmd, now);
    if (text.empty()) return;  // acknowledged when the job has ended
    Reply r;
    r.query = "?" + cmd;  // faults name a command as a query
    r.lines.push_back(std::move(text));
    replies.push_back(std::move(r));
  }

  double finish(double now) override {
    advance(std::numeric_limits<double>::infinity());
    double end = now;
    for (const Pending& p : acks_) end = std::max(end, p.at);
    for (Axis& a : inst_.axes()) end = std::max(end, a.end_time());
    return end;
  }

  double next_answer_due() const override {
    double t = std::numeric_limits<double>::infinity();
    for (const Pending& p : acks_) t = std::min(t, p.at);
    if (job_ != Job::none) t = std::min(t, job_end());
    return t;
  }

  void due_answers(double now, std::vector<Reply>& replies) override {
    advance(now);
    for (auto it = acks_.begin(); it != acks_.end();) {
      if (it->at > now) {
        ++it;
        continue;
      }
      Reply r;
      r.query = it->command;
      r.lines.push_back(it->text);
      replies.push_back(std::move(r));
      it = acks_.erase(it);
    }
  }

 private:
  enum class Job { none, drive, scan, reference };
  struct Pending {
    double at;
    std::string command;
    std::string text;
  };
  struct ScanRecord {
    long hundredths = 0;
    long steps = 0;
    std::array<long, 4> widths{};
  };

  Axis* circle(int i) { return inst_.motor_axis(i + 1); }
  const Axis* circle(int i) const { return const_cast<Instrument&>(inst_).motor_axis(i + 1); }
  long steps_of(const Axis& a, double position) const {
    return std::lround(position * a.steps_per_unit());
  }

  double job_end() const {
    if (job_ == Job::scan) return phase_end_;
    double t = job_start_;
    for (int i = 0; i < 4; ++i)
      if (const Axis* a = circle(i)) t = std::max(t, a->end_time());
    return t;
  }

  std::string answer(const std::string& line, const std::string& cmd, double now) {
    if (cmd == "XX") {
      if (data_.empty() || job_ != Job::none) return "IR00";
      std::string d = data_.front();
      // A record of positions or offsets is fetched as often as asked; count lines one by one.
      if (!record_data_) data_.pop_front();
      return d;
    }
    if (job_ != Job::none) {
      note_("busy: " + line);
      return "IR00";
    }
    if (cmd == "PP" && line.size() == 2) {
      std::string record;
      for (int i = 0; i < 4; ++i) {
        const Axis* a = circle(i);
        record += hex6(a ? steps_of(*a, a->position(now)) : 0);
      }
      data_.assign(1, record);
      record_data_ = true;
      return "IROK";
    }
    if (cmd == "P0" && line.size() == 2) return "IROK";
    if (cmd == "DC" && line.size() == 26) {
      std::array<long, 4> v{};
      for (std::size_t i = 0; i < 4; ++i)
        if (!read_hex6(line, 2 + 6 * i, v[i])) return bad(line);
      for (int i = 0; i < 4; ++i) {
        Axis* a = circle(i);
        if (a == nullptr) continue;
        const double value = static_cast<double>(v[static_cast<std::size_t>(i)]) /
                             a->steps_per_unit();
        reference_shift_[static_cast<std::size_t>(i)] += value - a->position(now);
        a->load(now, value);
      }
      return "IROK";
    }
    for (int i = 0; i < 4; ++i) {
      if (cmd == kCircle[i] && line.size() == 8) {
        long v = 0;
        if (!read_hex6(line, 2, v)) return bad(line);
        loaded_[static_cast<std::size_t>(i)] = v;
        return "IROK";
      }
    }
    if (cmd == "RA" && line.size() == 26) {
      std::array<long, 4> v{};
      for (std::size_t i = 0; i < 4; ++i)
        if (!read_hex6(line, 2 + 6 * i, v[i])) return bad(line);
      for (std::size_t i = 0; i < 4; ++i) loaded_[i] = v[i];
      return "IROK";
    }
    if (cmd == "DR" && line.size() == 2) {
      start_drive(now);
      return {};
    }
    if (cmd == "SV" && line.size() == 38) {
      ScanRecord s;
      std::array<long, 6> v{};
      for (std::size_t i = 0; i < 6; ++i)
        if (!read_hex6(line, 2 + 6 * i, v[i])) return bad(line);
      s.hundredths = v[0];
      s.steps = v[1];
      for (std::size_t i = 0; i < 4; ++i) s.widths[i] = v[2 + i];
      if (s.hundredths < 1 || s.steps < 1) return bad(line);
      record_ = s;
      return "IROK";
    }
    if (cmd == "SS" && line.size() == 2) {
      if (!record_) {
        note_("scan started without a scan record");
        return "IR09";
      }
      start_scan(now);
      return {};
    }
    if (cmd == "PI" && line.size() == 2) {
      prepare_counts();
      return "IROK";
    }
    if (cmd == "CK" && line.size() == 2) {
      start_reference(now);
      return {};
    }
    if (line == "OS000001" || line == "OS000000") {
      const bool open = line == "OS000001";
      inst_.shutter(open);
      if (open && !inst_.shutter_open()) {
        note_("fault: shutter stays closed");
        return "IR09";
      }
      return "IR08";
    }
    note_("unknown command: " + line);
    return "IR12";
  }

  std::string bad(const std::string& line) {
    note_("bad record: " + line);
    return "IR11";
  }

  void start_drive(double now) {
    job_ = Job::drive;
    job_start_ = now;
    switch_drive_ = 0;
    for (int i = 0; i < 4; ++i) {
      std::optional<long>& target = loaded_[static_cast<std::size_t>(i)];
      Axis* a = circle(i);
      if (!target || a == nullptr) continue;
      double to = static_cast<double>(*target) / a->steps_per_unit();
      const double from = a->position(now);
      const double shortfall = inst_.faults().take_short_drive(a->name());
      if (shortfall > 0.0) {
        const double distance = to - from;
        to = std::fabs(distance) <= shortfall ? from : to - std::copysign(shortfall, distance);
        note_(std::string("fault: drive of axis ") + a->name() + " stops short");
      }
      move(*a, i, now, to);
      target.reset();
    }
  }

  void start_reference(double now) {
    job_ = Job::reference;
    job_start_ = now;
    switch_drive_ = 0;
    for (int i = 0; i < 4; ++i)
      if (Axis* a = circle(i)) move(*a, i, now, reference_shift_[static_cast<std::size_t>(i)]);
  }

  void start_scan(double now) {
    job_ = Job::scan;
    job_start_ = now;
    switch_drive_ = 0;
    counts_.clear();
    step_ = 0;
    start_step(now);
  }

  void start_step(double t) {
    counting_ = false;
    phase_end_ = t;
    for (int i = 0; i < 4; ++i) {
      const long w = record_->widths[static_cast<std::size_t>(i)];
      Axis* a = circle(i);
      if (w == 0 || a == nullptr) continue;
      move(*a, i, t, a->position(t) + static_cast<double>(w) / a->steps_per_unit());
      phase_end_ = std::max(phase_end_, a->end_time());
    }
  }

  void move(Axis& a, int i, double t, double to) {
    a.move_to(t, to, kSpeed / a.steps_per_unit());
    const bool refused = !a.moving(t) && a.limit_bits(t) != 0 &&
                         std::fabs(a.position(t) - a.round_to_step(to)) > 1e-9;
    if ((a.pending_switch() != 0 || refused) && switch_drive_ == 0) switch_drive_ = i + 1;
  }

  void acknowledge(double at, const std::string& command, const std::string& text) {
    acks_.push_back({at, command, text});
    job_ = Job::none;
  }

  std::string limit_code() const { return "IR0" + std::to_string(switch_drive_); }

  // Runs the job up to simulated time `now`.
  void advance(double now) {
    if (job_ == Job::drive || job_ == Job::reference) {
      const double end = job_end();
      if (end > now) return;
      if (switch_drive_ != 0) {
        note_("limit switch of drive " + std::to_string(switch_drive_));
        acknowledge(end, job_ == Job::drive ? "?DR" : "?CK", limit_code());
        return;
      }
      if (job_ == Job::drive) {
        acknowledge(end, "?DR", "IR05");
        return;
      }
      std::string offsets;
      for (int i = 0; i < 4; ++i) {
        Axis* a = circle(i);
        double& shift = reference_shift_[static_cast<std::size_t>(i)];
        offsets += hex6(a ? steps_of(*a, shift) : 0);
        if (a) a->load(end, 0.0);
        shift = 0.0;
      }
      data_.assign(1, offsets);
      record_data_ = true;
      acknowledge(end, "?CK", "IR07");
      return;
    }
    while (job_ == Job::scan && phase_end_ <= now) {
      const double seconds = static_cast<double>(record_->hundredths) / 100.0;
      if (!counting_) {
        if (switch_drive_ != 0) {
          note_("limit switch of drive " + std::to_string(switch_drive_) + ": scan stopped");
          acknowledge(phase_end_, "?SS", limit_code());
          return;
        }
        counting_ = true;
        count_start_ = phase_end_;
        phase_end_ += seconds;
        continue;
      }
      counts_.push_back(std::min(inst_.count(count_start_, seconds), kFull));
      if (++step_ >= record_->steps) {
        acknowledge(phase_end_, "?SS", "IR06");
        return;
      }
      start_step(phase_end_);
    }
  }

  void stop(double now) {
    for (Axis& a : inst_.axes()) a.stop(now);
    if (job_ != Job::none) note_("stopped");
    job_ = Job::none;
    counting_ = false;
    acks_.clear();
  }

  // The counts of the last scan, four to a line.
  void prepare_counts() {
    data_.clear();
    record_data_ = false;
    for (std::size_t i = 0; i < counts_.size(); i += 4) {
      std::string line;
      for (std::size_t j = i; j < std::min(i + 4, counts_.size()); ++j) line += hex6(counts_[j]);
      data_.push_back(line);
    }
    if (!data_.empty() && inst_.faults().take_count_short()) {
      // The line is offered whole at the next request: the controller's memory is intact.
      data_.insert(data_.end() - 1, data_.back().substr(0, data_.back().size() - 6));
      note_("fault: last count line one count short");
    }
  }

  Instrument& inst_;
  NoteSink note_;
  Job job_ = Job::none;
  double job_start_ = 0.0;
  int switch_drive_ = 0;                      // drive (1..4) that met a switch in this job
  std::vector<Pending> acks_;                 // acknowledges of ended jobs, not yet sent
  std::deque<std::string> data_;              // lines to fetch with "XX"
  bool record_data_ = false;                  // data_ is one record, not count lines
  std::array<std::optional<long>, 4> loaded_{};  // drive targets in steps
  std::optional<ScanRecord> record_;
  std::array<double, 4> reference_shift_{};   // how far "DC" moved each position register
  std::vector<long> counts_;
  long step_ = 0;
  bool counting_ = false;
  double phase_end_ = 0.0, count_start_ = 0.0;
};

}  // namespace

std::unique_ptr<ControllerFamily> make_stadi4_family(Instrument& instrument, NoteSink note) {
  return std::make_unique<Stadi4Controller>(instrument, std::move(note));
}

}  // namespace dorvex::sim
