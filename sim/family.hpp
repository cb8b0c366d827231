// A controller family: turns the command lines the program sends into actions on the virtual
// instrument and into answers. One implementation per family (smc.cpp for the SMC9000 and
// SMC9300); a further family is a further file with its maker, named in make_family().
#pragma once

#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "instrument.hpp"

namespace dorvex::sim {

// One answer to one query, before faults and line framing are applied.
struct Reply {
  std::string query;               // the query as received, without ';' (fault matching)
  std::vector<std::string> lines;  // the answer lines
  std::string prefix;              // framing the controller puts before the first line
  bool last_line_is_end = false;   // a multi-line answer whose last line closes the list
};

using NoteSink = std::function<void(const std::string&)>;

class ControllerFamily {
 public:
  virtual ~ControllerFamily() = default;
  virtual std::string name() const = 0;
  // Handles one received line (terminator removed) at simulated time `now`.
  virtual void receive(const std::string& line, double now, std::vector<Reply>& replies) = 0;
  // Runs everything started so far to its end at once and returns the simulated time at which
  // the controller is idle again (time-scale 0).
  virtual double finish(double now) = 0;

  // The name the command faults (busy, dead, stall) know a received line by: by default the
  // line without its final ';'.
  virtual std::string query_of(const std::string& line) const {
    return !line.empty() && line.back() == ';' ? line.substr(0, line.size() - 1) : line;
  }
  // What the controller answers to a command it is too busy to take ("" when it then says
  // nothing at all).
  virtual std::string busy_answer() const { return {}; }

  // A family with a device beside the serial line (the SIN-10's counter and shutter card)
  // serves it on a descriptor of its own (open_side; side_fd is -1 when there is none).
  // serve_side takes what has arrived there, false when the device failed; `clock` gives the
  // simulated time of each request.
  virtual bool open_side(const std::string& path, std::string& error) {
    error = "the " + name() + " has no device beside its serial line (" + path + ")";
    return false;
  }
  virtual int side_fd() const { return -1; }
  virtual bool serve_side(const std::function<double()>& clock) {
    (void)clock;
    return true;
  }

  // A controller that answers only when it is done (the P4 answers a status request once its
  // axes are at rest) holds the answer: next_answer_due gives the simulated time of the next
  // one (infinity: none held) and due_answers hands over those due at `now`.
  virtual double next_answer_due() const { return std::numeric_limits<double>::infinity(); }
  virtual void due_answers(double now, std::vector<Reply>& replies) {
    (void)now;
    (void)replies;
  }
};

// One maker per family file.
std::unique_ptr<ControllerFamily> make_smc_family(bool smc9300, Instrument& instrument,
                                                  NoteSink note);

// The P4 controller.
std::unique_ptr<ControllerFamily> make_p4_family(Instrument& instrument, NoteSink note);

// The STADI4 controller; it acknowledges drives, scans and the reference search when they end.
std::unique_ptr<ControllerFamily> make_stadi4_family(Instrument& instrument, NoteSink note);

// The SIN-10 controller; open_side serves its counter and shutter card on a Unix-domain socket.
std::unique_ptr<ControllerFamily> make_sin10_family(Instrument& instrument, NoteSink note);

// "smc9000" or "smc9300"; nullptr for an unknown name.
std::unique_ptr<ControllerFamily> make_family(const std::string& name, Instrument& instrument,
                                              NoteSink note);
// The family named by the profile's interface type ("" when there is none yet).
std::string family_for_interface(int interface_type);

}  // namespace dorvex::sim
