// Answer readers and time stamps shared by the scan, search and photograph dialogues.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "common/fields.hpp"
#include "console/status.hpp"

namespace dorvex {

inline bool blank_answer(const std::string& line) { return trim(line).empty(); }

// The first integer of a line; false when none can be read.
inline bool read_first_int(const std::string& line, int& value) {
  const IntListInput in = read_int_list(line);
  if (in.error || in.values.empty()) return false;
  value = static_cast<int>(in.values[0]);
  return true;
}

// The first `n` reals of a line; false when fewer can be read.
template <std::size_t n>
bool read_reals(const std::string& line, std::array<float, n>& values) {
  const ListInput in = read_list(line);
  if (in.error || in.values.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<float>(in.values[i]);
  return true;
}

// The date (A9), ":" and the time of day (A5) of the scan and photograph reports.
inline std::string date_and_time() { return A(date_text(), 9) + ":" + A(time_hhmm(), 5); }

}  // namespace dorvex
