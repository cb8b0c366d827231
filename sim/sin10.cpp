// The SIN-10 motor controller and the counter and shutter card beside it.
//
// Serial line: one command a line, or several joined with ';'; every line gets exactly one
// answer line. Commands begin with the axis letter: a"Z" position in steps ("1234;"), a"N"n
// load the position register, a"R"n absolute move, a"+"n / a"-"n relative move, a"^" moving
// ("1") or at rest ("0"), a"]" limit switch (0 none, 1 lower, 2 upper), and the set-up
// commands a"Y"n,n, a"l"n, a"K"n,n, a"I"n, a"V"n (run speed, steps per second), a"D"n.
// Without an axis: ESC stops every axis, ETX resets the command interpreter, "&P1"
// re-initialises and answers the letters of its axes, "&W*" answers once every axis is at rest.
// Accepted commands answer "*"; "$" busy (all axes wait, or an absolute move of a moving
// axis), "#" a number that cannot be read, "?" an unknown command.
//
// Counter card (Unix-domain socket, one client at a time; text lines): "o PORT VALUE" writes
// a byte, "i PORT" reads one and is answered with the byte; ports and bytes in hexadecimal.
// Port 300 is the data port and 301 the command and status port of a five-counter timer chip:
// counter 1 divides the 1 MHz clock (load register 1 ticks), counter 2 gates the count for its
// load register + 1 ticks, counters 3 and 4 count detector pulses in cascade. Command bytes:
// FF reset, 01-05 / 09-0D / 11-15 / 17 select the mode / load / hold / master-mode register,
// 2x arm (with counter 2: start the gate), 4x load, 8x disarm and save into the hold
// registers, anything else accepted and ignored. Data bytes go low byte first. Status (read of
// 301): bit 2 set while the gate is open. Port 302 reads FE with the shutter open, FF closed;
// port 303 takes 1 to open it and 0 to close it.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "family.hpp"
#include "unix_listener.hpp"

namespace dorvex::sim {

namespace {

constexpr char kEsc = '\x1b';
constexpr char kEtx = '\x03';
constexpr double kDefaultSpeed = 1000.0;  // steps per second until a "V" command sets one

bool read_long(std::string_view text, long& value) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::string hex2(unsigned v) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%02X", v & 0xFFu);
  return buffer;
}

class Sin10Controller : public ControllerFamily {
 public:
  Sin10Controller(Instrument& instrument, NoteSink note)
      : inst_(instrument), note_(std::move(note)) {
    speed_.fill(kDefaultSpeed);
  }
  ~Sin10Controller() override {
    if (client_ >= 0) ::close(client_);
    if (listener_ >= 0) {
      ::close(listener_);
      ::unlink(card_path_.c_str());
    }
  }

  std::string name() const override { return "sin10"; }
  std::string busy_answer() const override { return "$"; }

  void receive(const std::string& line, double now, std::vector<Reply>& replies) override {
    Reply r;
    r.query = line;
    if (!r.query.empty() && r.query.back() == ';') r.query.pop_back();
    r.lines.push_back(answer(line, now));
    replies.push_back(std::move(r));
  }

  double finish(double now) override {
    double end = now;
    for (Axis& a : inst_.axes()) end = std::max(end, a.end_time());
    if (gate_open_) end = std::max(end, gate_end_);
    return end;
  }

  bool open_side(const std::string& path, std::string& error) override {
    listener_ = listen_unix_socket(path, "counter card", error);
    if (listener_ < 0) return false;
    card_path_ = path;
    note_("card on " + path);
    return true;
  }

  int side_fd() const override { return client_ >= 0 ? client_ : listener_; }

  bool serve_side(const std::function<double()>& clock) override {
    if (client_ < 0) {
      client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client_ >= 0) note_("card: client connected");
      return true;  // a failed accept leaves the listener as it was
    }
    char buffer[512];
    const ssize_t n = ::read(client_, buffer, sizeof buffer);
    if (n <= 0) {
      note_("card: client left");
      ::close(client_);
      client_ = -1;
      pending_.clear();
      return true;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t eol; (eol = pending_.find('\n')) != std::string::npos;) {
      const std::string request = pending_.substr(0, eol);
      pending_.erase(0, eol + 1);
      std::string reply;
      card_request(request, clock(), reply);
      if (!reply.empty()) {
        reply += '\n';
        if (::write(client_, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size()))
          note_("card: answer not taken");
      }
    }
    if (pending_.size() > 4096) pending_.clear();  // no line end in sight: not a card client
    return true;
  }

 private:
  std::size_t index(const Axis& a) const {
    return static_cast<std::size_t>(std::clamp(a.motor(), 0, 10));
  }
  long steps(const Axis& a, double t) const {
    return std::lround(a.position(t) * a.steps_per_unit());
  }

  // The answer to one command line.
  std::string answer(const std::string& line, double now) {
    if (line.find(kEsc) != std::string::npos) {
      for (Axis& a : inst_.axes()) a.stop(now);
      note_("stop");
      return "*";
    }
    if (line.find(kEtx) != std::string::npos) {
      note_("reset");
      return "*";
    }
    if (line == "&P1") {
      std::string letters;
      for (Axis& a : inst_.axes()) letters += a.name();
      return letters;
    }
    if (line == "&W*") {
      for (Axis& a : inst_.axes())
        if (a.moving(now)) return "$";
      return "*";
    }
    std::string result = "*";
    std::size_t start = 0;
    while (start < line.size()) {
      std::size_t end = line.find(';', start);
      if (end == std::string::npos) end = line.size();
      if (end > start) {
        std::string one = command(std::string_view(line).substr(start, end - start), now);
        if (one != "*") return one;  // the first complaint answers the line
      }
      start = end + 1;
    }
    return result;
  }

  std::string command(std::string_view c, double now) {
    Axis* a = c.size() >= 2 ? inst_.axis(c[0]) : nullptr;
    if (a == nullptr) {
      note_("unknown command: " + std::string(c));
      return "?";
    }
    const char op = c[1];
    const std::string_view arg = c.substr(2);
    long n = 0;
    switch (op) {
      case 'Z':
        if (!arg.empty()) return "?";
        return std::to_string(steps(*a, now)) + ";";
      case '^':
        return arg.empty() ? (a->moving(now) ? "1" : "0") : "?";
      case ']': {
        if (!arg.empty()) return "?";
        const int bits = a->limit_bits(now);
        return bits == kLowerSwitch ? "1" : (bits == kUpperSwitch ? "2" : "0");
      }
      case 'N':
        if (!read_long(arg, n)) return "#";
        if (a->moving(now)) return "$";
        a->load(now, static_cast<double>(n) / a->steps_per_unit());
        return "*";
      case 'R':
      case '+':
      case '-': {
        if (!read_long(arg, n) || (op != 'R' && n < 0)) return "#";
        if (op == 'R' && a->moving(now)) return "$";
        const double unit = 1.0 / a->steps_per_unit();
        const double from = a->moving(now) ? a->target() : a->position(now);
        double target = op == 'R' ? n * unit : from + (op == '+' ? n : -n) * unit;
        if (op == 'R') {
          const double shortfall = inst_.faults().take_short_drive(a->name());
          if (shortfall > 0.0) {
            const double distance = target - from;
            target = std::fabs(distance) <= shortfall
                         ? from
                         : target - std::copysign(shortfall, distance);
            note_(std::string("fault: drive of axis ") + a->name() + " stops short");
          }
        }
        a->move_to(now, target, speed_[index(*a)] * unit);
        return "*";
      }
      case 'V':
        if (!read_long(arg, n) || n <= 0) return "#";
        speed_[index(*a)] = static_cast<double>(n);
        return "*";
      case 'Y':
      case 'K': {
        const std::size_t comma = arg.find(',');
        long m = 0;
        if (comma == std::string_view::npos || !read_long(arg.substr(0, comma), n) ||
            !read_long(arg.substr(comma + 1), m))
          return "#";
        return "*";
      }
      case 'l':
      case 'I':
      case 'D':
        return read_long(arg, n) ? "*" : "#";
      default:
        note_("unknown command: " + std::string(c));
        return "?";
    }
  }

  // The counter chip and the shutter ports.
  void card_request(const std::string& request, double now, std::string& reply) {
    char kind = ' ';
    unsigned port = 0, value = 0;
    int fields = std::sscanf(request.c_str(), " %c %x %x", &kind, &port, &value);
    if ((kind == 'o' && fields == 3 && value <= 0xFF) || (kind == 'i' && fields == 2)) {
      note_("card < " + request);
    } else {
      note_("card: bad request " + request);
      reply = "?";
      return;
    }
    if (kind == 'o') {
      card_write(port, value, now);
      return;
    }
    unsigned byte = 0xFF;
    switch (port) {
      case 0x300: byte = data_read(now); break;
      case 0x301: byte = gate_open_ && now < gate_end_ ? 0x04 : 0x00; break;
      case 0x302: byte = inst_.shutter_open() ? 0xFE : 0xFF; break;
      default: break;
    }
    if (port == 0x301 && gate_open_ && now >= gate_end_) close_gate(gate_end_);
    reply = hex2(byte);
    note_("card > " + reply);
  }

  void card_write(unsigned port, unsigned value, double now) {
    if (port == 0x303) {
      inst_.shutter((value & 1u) != 0);
      if ((value & 1u) != 0 && !inst_.shutter_open()) note_("fault: shutter stays closed");
      return;
    }
    if (port == 0x300) {
      std::uint16_t& r = selected();
      r = low_byte_ ? static_cast<std::uint16_t>((r & 0xFF00u) | value)
                    : static_cast<std::uint16_t>((r & 0x00FFu) | (value << 8));
      low_byte_ = !low_byte_;
      return;
    }
    if (port != 0x301) return;
    low_byte_ = true;
    const unsigned group = value & 0xE0u, mask = value & 0x1Fu;
    if (value == 0xFF) {
      gate_open_ = false;
      hold_.fill(0);
      pointer_ = 0;
    } else if (value == 0x17 || (value >= 0x01 && value <= 0x05) ||
               (value >= 0x09 && value <= 0x0D) || (value >= 0x11 && value <= 0x15)) {
      pointer_ = value;
    } else if (group == 0x20 && (mask & 0x02u) != 0) {
      const double tick = (load_[1] == 0 ? 1000.0 : load_[1]) * 1e-6;
      gate_start_ = now;
      gate_end_ = now + (static_cast<double>(load_[2]) + 1.0) * tick;
      gate_open_ = true;
      counted_ = -1;
    } else if (group == 0x80) {
      if (gate_open_) close_gate(std::min(now, gate_end_));
      const long c = std::max(counted_, 0L);
      hold_[3] = static_cast<std::uint16_t>(c & 0xFFFF);
      hold_[4] = static_cast<std::uint16_t>((c >> 16) & 0xFFFF);
    }
  }

  void close_gate(double end) {
    gate_open_ = false;
    const long c = inst_.count(gate_start_, std::max(end - gate_start_, 0.0));
    counted_ = std::min<long>(c, 0xFFFFFFFFL);
  }

  std::uint16_t& selected() {
    static std::uint16_t sink = 0;
    if (pointer_ >= 0x01 && pointer_ <= 0x05) return mode_[pointer_];
    if (pointer_ >= 0x09 && pointer_ <= 0x0D) return load_[pointer_ - 0x08];
    if (pointer_ >= 0x11 && pointer_ <= 0x15) return hold_[pointer_ - 0x10];
    if (pointer_ == 0x17) return master_;
    return sink;
  }

  unsigned data_read(double) {
    const std::uint16_t r = selected();
    const unsigned byte = low_byte_ ? (r & 0xFFu) : (r >> 8);
    low_byte_ = !low_byte_;
    return byte;
  }

  Instrument& inst_;
  NoteSink note_;
  std::array<double, 11> speed_{};
  // Card.
  int listener_ = -1, client_ = -1;
  std::string card_path_, pending_;
  unsigned pointer_ = 0;
  bool low_byte_ = true;
  std::array<std::uint16_t, 6> mode_{}, load_{}, hold_{};
  std::uint16_t master_ = 0;
  bool gate_open_ = false;
  double gate_start_ = 0.0, gate_end_ = 0.0;
  long counted_ = -1;
};

}  // namespace

std::unique_ptr<ControllerFamily> make_sin10_family(Instrument& instrument, NoteSink note) {
  return std::make_unique<Sin10Controller>(instrument, std::move(note));
}

}  // namespace dorvex::sim
