// The simulator's end of the serial line: a pseudo-terminal in raw mode whose slave device is
// reachable through a symbolic link, with the profile's line terminators, and the transcript.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace dorvex::sim {

// Terminator codes of the profile: 1 CR, 2 LF, 3 CR LF.
std::string terminator_text(int code);
// A line for the transcript: control characters shown as <ETX>, <ACK>, <CR>, <LF> or <xNN>.
std::string visible(const std::string& text);

class Transcript {
 public:
  bool open(const std::string& path);
  // One record: real seconds since start, simulated seconds, direction ("<" received,
  // ">" sent, "#" note) and the text.
  void write(double real, double simulated, const char* direction, const std::string& text);
  ~Transcript();

 private:
  std::FILE* file_ = nullptr;
};

class PtyLink {
 public:
  ~PtyLink();
  // Opens the pseudo-terminal and points `link_path` at its slave; false with a reason.
  bool open(const std::string& link_path, int receive_terminator, int send_terminator,
            std::string& error);
  int fd() const { return master_; }
  // Reads what is available; complete lines go to `lines`, framing oddities to `notes`.
  // Returns false when the link failed.
  bool read_lines(std::vector<std::string>& lines, std::vector<std::string>& notes);
  // Sends a line with the terminator (or without it, `raw`); false when it could not be sent.
  bool send(const std::string& text);
  // A controller that holds the line (flow control): the program's writes do not get through
  // until it is released.
  void hold_input(bool hold);
  void close();

 private:
  int master_ = -1;
  int slave_ = -1;  // kept open so that the line does not hang up between sessions
  std::string link_path_;
  std::string slave_name_;
  int receive_terminator_ = 3;
  std::string send_terminator_;
  std::string pending_;
};

}  // namespace dorvex::sim
