// The speeds are those each controller family is given by its driver:
// - SMC9000 and SMC9300: the run speed of a drive is chosen by its distance from the motor's
//   speeds p1 (long moves), p3 (1 to 5 degrees) and p4 (the SMC9300's short moves), or 0.2 p3
//   (the SMC9000's moves under a degree), in steps per second; the steps of a scan run at
//   0.4 p3; counts are the controller's count times (smc::count_time).
// - STADI4: 1000 steps per second on every circle; counts in hundredths of a second.
// - SIN-10: the run speed V loaded at initialisation (the third value of the motor line);
//   counts in milliseconds on the card.
// - P4: p1 degrees per minute; counts in hundredths, at least 0.25 s.
// Ramps are not counted: the distances of a diffractometer are long against them.
#include "instrument/timing.hpp"

#include <algorithm>
#include <cmath>

#include "instrument/drivers/p4.hpp"
#include "instrument/drivers/sin10.hpp"
#include "instrument/drivers/smc.hpp"
#include "instrument/drivers/stadi4.hpp"

namespace dorvex {

namespace {

const MachineProfile& P() { return S().profile; }
const MotorProfile& motor(int m) { return P().motor[static_cast<std::size_t>(m)]; }

// Steps per second of a drive of `distance` on motor m (0: not known).
double drive_speed(int m, float distance) {
  const MotorProfile& mp = motor(m);
  switch (P().interface_type) {
    case 1:
      if (distance < 1.0f) return 0.2 * mp.p[2];
      return distance < 5.0f ? mp.p[2] : mp.p[0];
    case 7:
      if (distance >= 5.0f) return mp.p[0];
      return distance >= 1.0f ? mp.p[2] : mp.p[3];
    case 2:
      return 1000.0;
    case 3:
      return mp.raw[2];
    case 6:
      return mp.p[0] / 60.0 * mp.steps_per_degree;
    default:
      return 0.0;
  }
}

// Steps per second of the moves between the points of a step scan.
double scan_speed(int m) {
  switch (P().interface_type) {
    case 1:
    case 7:
      return 0.4 * motor(m).p[2];
    default:
      return drive_speed(m, 0.0f);
  }
}

double seconds_at(int m, float distance, double speed) {
  const double steps = std::fabs(distance) * motor(m).steps_per_degree;
  return speed > 0 ? steps / speed : 0.0;
}

}  // namespace

double move_seconds(int m, float distance) {
  if (m < 1 || m > 10) return 0.0;
  return seconds_at(m, distance, drive_speed(m, std::fabs(distance)));
}

double drive_seconds(const AngleSet& from, const AngleSet& to) {
  std::array<float, 4> d{};
  for (std::size_t i = 0; i < 4; ++i) d[i] = to[i] - from[i];
  // An omega motor that carries half of 2theta moves by that half as well.
  if (P().omega_coupled()) d[1] += d[0] / 2.0f;
  double longest = 0;
  for (int m = 1; m <= 4; ++m)
    longest = std::max(longest, move_seconds(m, d[static_cast<std::size_t>(m - 1)]));
  return longest;
}

double count_seconds(float t) {
  switch (P().interface_type) {
    case 1:
    case 7:
      return smc::count_time(P().interface_type, t);
    case 2:
      return stadi4::count_hundredths(t) / 100.0;
    case 3:
      return sin10::count_milliseconds(t) / 1000.0;
    case 6:
      return p4::count_time(t);
    default:
      return t;
  }
}

double scan_steps_seconds(int mode, float step, float t, int n) {
  double move = 0;
  if (mode == 1 || mode == 5) {
    // 2theta by the step and omega by half of it, together.
    move = std::max(seconds_at(1, step, scan_speed(1)), seconds_at(2, step / 2.0f, scan_speed(2)));
  } else if (mode >= 2 && mode <= 4) {
    move = seconds_at(mode, step, scan_speed(mode));
  }
  return n * (move + count_seconds(t));
}

double shutter_seconds() {
  if (P().no_shutter != 0) return 0.0;
  return 2.0 * std::max(P().shutter_delay_ms(), 0) / 1000.0;
}

}  // namespace dorvex
