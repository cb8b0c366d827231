// One serial line to the controller over POSIX termios: a character device opened exclusively,
// raw, with the profile's line settings. Every read is bounded by a timeout; a timeout is kept
// apart from a failed call and from a lost line (the far end closed), and reads interrupted by
// signals are resumed.
#pragma once

#include <string>

namespace dorvex {

enum class LinkStatus { ok, timeout, error, disconnected };

struct LinkSettings {
  std::string device;   // e.g. /dev/ttyS0
  int baud = 9600;
  int parity = 0;       // 0 none, 1 odd, 2 even, 3 mark, 4 space
  int data_bits = 8;    // 5..8 (termios has no 4-bit characters)
  int stop_bits = 0;    // 0 one, 1 one and a half (taken as two), 2 two
};

// The line settings as the port reports them back: baud, parity, data bits, stop-bit code.
struct LineState {
  int baud = 0, parity = 0, data_bits = 0, stop_bits = 0;
};

class SerialLink {
 public:
  SerialLink() = default;
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;
  ~SerialLink() { close(); }

  // Opens the device (exclusive, no controlling terminal) and puts it in raw mode. On failure
  // returns false with the operating system's reason (and a hint how to fix it) in `reason`.
  bool open(const std::string& device, std::string& reason);
  // Sets baud, parity, data bits and stop bits. Returns 0, 2 when a value is out of range
  // (nothing written), -1 when the system refused.
  int set_line(const LinkSettings& settings);
  // Reads the line settings back; returns 0, or -1 when the system refused.
  int get_line(LineState& state) const;
  // Drops whatever is pending in both directions.
  void purge();
  void close();
  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Writes one byte; waits at most `timeout_ms` for the line to take it.
  LinkStatus write_byte(unsigned char byte, int timeout_ms);
  // Reads one byte, waiting at most `timeout_ms` (negative: no limit).
  LinkStatus read_byte(unsigned char& byte, int timeout_ms);

  // errno of the last failed call, for messages.
  int last_errno() const { return last_errno_; }

 private:
  int fd_ = -1;
  int last_errno_ = 0;
};

// Text of an errno value with a hint for the usual causes (device missing, no permission,
// port in use); independent of the locale.
std::string describe_open_error(int err, const std::string& device);

}  // namespace dorvex
