// Progress of long work (data collection, centring the list, zero offsets, searches): which item
// runs, of how many, and about how long is left, from the instrument time the finished items
// took (before the first has finished, from an estimate when there is one). The window shows it
// in its status area; a console without one gets it as a line about once a minute of
// instrument time. Only the outermost meter of nested work reports.
#pragma once

#include <string>
#include <string_view>

namespace dorvex {

class ProgressMeter {
 public:
  // `command` heads the console line ("DC S"); `item` names what is counted ("reflection").
  ProgressMeter(std::string command, std::string item, int total, double seconds_per_item = 0);
  ~ProgressMeter();
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;

  // The next item begins; `where` follows its number ("in shell 2").
  void next(std::string_view where = {});
  int started() const { return started_; }

 private:
  std::string command_, item_;
  int total_;
  double guess_;
  int started_ = 0;
  double start_ = 0, last_line_ = 0;
  bool reporting_ = false;
};

// The text of a meter: "reflection 3 of 40 in shell 1, about 1:05 left" (no time when
// `seconds_left` is negative).
std::string progress_text(std::string_view item, int n, int total, std::string_view where,
                          double seconds_left);

}  // namespace dorvex
