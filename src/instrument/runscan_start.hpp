// The steps every controller's step scan begins with, whatever the controller: refuse more
// than 200 points, open the shutter, read the circles, drive to the start (unless already
// there) and check the end against the limits; and how far each circle turns per step.
#pragma once

#include <array>
#include <cstddef>

#include "common/state.hpp"

namespace dorvex {

// Scan modes: 1 theta/2theta (the crystal turns by half of every 2theta step), 2 omega, 3 chi,
// 4 phi, 5 theta/2theta reached in theta/2theta from the start offset too (becomes 1), and
// 6 2theta alone (the detector moves, the crystal stands still).
constexpr int kScanTwoThetaAlone = 6;

struct ScanStart {
  int scanned = 1;       // motor whose positions the scan reports (2theta for modes 1, 5, 6)
  std::size_t ax = 0;    // its index in an AngleSet
  float start = 0;       // its position at the first point less one step
  AngleSet present{};    // the circles at the start
};

// What one step of a scan does to the four circles: `motor` is how far each controller axis
// is moved (degrees), `logical` how far each logical angle changes (omega measured from the
// bisecting position). A theta/2theta step keeps logical omega: the omega motor is moved by
// half the step only where it reads the circle; where the circle follows 2theta by itself it
// stands. 2theta alone is the reverse.
struct ScanStep {
  AngleSet motor{};
  AngleSet logical{};
};
ScanStep SCAN_STEP(int mode, float step);
// The status display's action code of a scan mode (2theta alone shows as the 2theta scan).
inline int scan_action(int mode) { return mode == kScanTwoThetaAlone ? 5 : mode; }

// Clears the counts and sets status 1 first; mode 5 becomes 1. Returns false when the scan must
// not run: more than 200 or fewer than 1 points, an unknown mode, a failure on the way (error
// flag), a start refused by the limits (status 1) or an end refused (status 1 or 2).
bool RUNSCAN_START(int& mode, float step, int steps, int at_start, std::array<int, 200>& counts,
                   int& status, ScanStart& scan);

}  // namespace dorvex
