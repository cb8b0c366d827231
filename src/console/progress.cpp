#include "console/progress.hpp"

#include <algorithm>

#include "console/clock.hpp"
#include "console/status.hpp"

namespace dorvex {

namespace {

int active_meters = 0;
constexpr double kLineEvery = 60.0;  // instrument seconds between console lines

}  // namespace

std::string progress_text(std::string_view item, int n, int total, std::string_view where,
                          double seconds_left) {
  std::string text = std::string(item) + " " + std::to_string(n) + " of " + std::to_string(total);
  if (!where.empty()) text += " " + std::string(where);
  if (seconds_left >= 0) text += ", about " + hm_text(seconds_left) + " left";
  return text;
}

ProgressMeter::ProgressMeter(std::string command, std::string item, int total,
                             double seconds_per_item)
    : command_(std::move(command)), item_(std::move(item)), total_(total),
      guess_(seconds_per_item), reporting_(active_meters == 0) {
  ++active_meters;
  start_ = last_line_ = instrument_seconds();
}

ProgressMeter::~ProgressMeter() {
  --active_meters;
  if (reporting_) DISPLAY_PROGRESS("");
}

void ProgressMeter::next(std::string_view where) {
  ++started_;
  if (!reporting_) return;
  const int total = std::max(total_, started_);
  const int done = started_ - 1;
  const double now = instrument_seconds();
  // Items are timed from the start of the first, so that preparations (the first standards of
  // a collection) do not count as the time of an item.
  if (done == 0) start_ = now;
  double left = -1;
  if (done > 0)
    left = (now - start_) / done * (total - done);
  else if (guess_ > 0)
    left = guess_ * total;
  const std::string text = progress_text(item_, started_, total, where, left);
  DISPLAY_PROGRESS(text);
  if (now - last_line_ >= kLineEvery) {
    last_line_ = now;
    WRITE_STATUS("  " + command_ + ": " + text);
  }
}

}  // namespace dorvex
