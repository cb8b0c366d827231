// How long the instrument takes for a drive, a count, a step scan and the shutter, at the speeds
// the controller is given from the profile. Long work is estimated from these before it starts
// (DC S, SRCH); while it runs, the times it has measured take over (console/progress.hpp).
#pragma once

#include "common/state.hpp"

namespace dorvex {

// Seconds motor m takes to move by `distance` (degrees, or mm for motors 5 to 8).
double move_seconds(int m, float distance);
// Seconds of a drive of the four circles from one setting to another (they move together).
double drive_seconds(const AngleSet& from, const AngleSet& to);
// Seconds the controller counts when asked for t seconds.
double count_seconds(float t);
// Seconds of the n steps of a step scan in RUNSCAN's mode (1 omega/2theta, 2 omega, 3 chi,
// 4 phi, 5 2theta): each step a move by `step` and a count of t seconds; the drive to the
// start of the scan is not included.
double scan_steps_seconds(int mode, float step, float t, int n);
// Seconds the shutter takes to open and to close once (its settling delays).
double shutter_seconds();

}  // namespace dorvex
