// The steps every controller's step scan begins with, whatever the controller: refuse more
// than 200 points, open the shutter, read the circles, drive to the start (unless already
// there) and check the end against the limits.
#pragma once

#include <array>
#include <cstddef>

#include "common/state.hpp"

namespace dorvex {

struct ScanStart {
  int scanned = 1;       // motor whose positions the scan reports (2theta for modes 1 and 5)
  std::size_t ax = 0;    // its index in an AngleSet
  float start = 0;       // its position at the first point less one step
  AngleSet present{};    // the circles at the start
};

// Clears the counts and sets status 1 first; mode 5 becomes 1. Returns false when the scan must
// not run: more than 200 or fewer than 1 points, an unknown mode, a failure on the way (error
// flag), a start refused by the limits (status 1) or an end refused (status 1 or 2).
bool RUNSCAN_START(int& mode, float step, int steps, int at_start, std::array<int, 200>& counts,
                   int& status, ScanStart& scan);

}  // namespace dorvex
