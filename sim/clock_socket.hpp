// The simulator's clock served to the program beside the serial line. A real controller has no
// such thing: the program times a real instrument by the wall clock. A simulated instrument runs
// on simulated time (faster than real, or jumping to the end of every move and count), so the
// program asks the simulator for it instead.
//
// Unix-domain stream socket, one client at a time, one request a line and one answer line each:
//   now        -> the simulated time in seconds ("%.6f")
//   rate       -> simulated seconds per real second (the time scale; 0: the clock jumps)
//   skip S     -> the program waited S seconds on its own (a shutter delay, a counting time it
//                 times itself); at time scale 0 the clock moves on by S. Answer: the time after.
// Anything else is answered "?".
#pragma once

#include <functional>
#include <string>

namespace dorvex::sim {

class ClockSocket {
 public:
  ~ClockSocket();
  // Listens on `path` (an existing socket there is replaced, any other file refused).
  bool open(const std::string& path, std::string& error);
  // The descriptor to poll: the client's while one is connected, else the listener's.
  int fd() const { return client_ >= 0 ? client_ : listener_; }
  // Takes what has arrived (a new client, or requests); `answer` turns a request into its answer.
  void serve(const std::function<std::string(const std::string&)>& answer);

 private:
  int listener_ = -1, client_ = -1;
  std::string path_;
  std::string pending_;
};

}  // namespace dorvex::sim
