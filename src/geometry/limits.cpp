#include "geometry/limits.hpp"

#include <cmath>

#include "common/fields.hpp"

namespace dorvex {

namespace {

constexpr double kDegree = 57.29578;  // degrees per radian of the device checks

struct Range {
  float lower;
  float upper;
};

// The working range of a motor: chi, phi and omega from the device settings (they may be
// narrower than the hardware), everything else from the profile.
Range range_of(const MachineProfile& profile, const DeviceSettings& device, int m) {
  switch (m) {
    case 2: return {device.omega_lower, device.omega_upper};
    case 3: return {device.chi_lower, device.chi_upper};
    case 4: return {device.phi_lower, device.phi_upper};
    default: {
      const auto& motor = profile.motor[static_cast<std::size_t>(m >= 0 && m <= 10 ? m : 0)];
      return {motor.lower, motor.upper};
    }
  }
}

float offset_of(const MachineProfile& profile, int m) {
  return m >= 1 && m <= 10 ? profile.offset[static_cast<std::size_t>(m)] : 0.0f;
}

// Fixed-phi cone: both the incident and the diffracted beam must stay within psi(max) of the
// phi axis.
bool outside_psi_cone(const MachineProfile& profile, const DeviceSettings& device,
                      const AngleSet& a) {
  const double s_omega = profile.sense[2], s_chi = profile.sense[3], s_phi = profile.sense[4];
  const double p = (a[0] / 2.0 + s_omega * a[1]) / kDegree;
  const double q = (s_omega * a[1] - a[0] / 2.0) / kDegree;
  const double c = s_chi * a[2] / kDegree;
  const double f = s_phi * a[3] / kDegree;
  const double x = std::cos(p) * std::cos(f) - std::sin(f) * std::sin(p) * std::cos(c);
  const double y = std::cos(q) * std::cos(f) - std::sin(f) * std::sin(q) * std::cos(c);
  return std::fmin(std::fabs(x), std::fabs(y)) < std::cos(device.psi_max / kDegree);
}

// Ultrasonic cell (device 6): the beams may not come closer to the cell's z axis or to the
// gasket plane than the device allows.
bool outside_device6(const DeviceSettings& device, const AngleSet& a) {
  const double half = a[0] / 2.0;
  const double plus = (half + a[1]) / kDegree;
  const double minus = (half - a[1]) / kDegree;
  const double s = std::sin(a[2] / kDegree);
  const double z = std::fabs(std::cos(device.zaxis_angle / kDegree));
  bool bad = std::fabs(std::sin(plus) * s) > z || std::fabs(std::sin(minus) * s) > z;
  const double w = std::cos(a[2] / kDegree) * std::sin(a[3] / kDegree);
  const double k = std::cos(a[3] / kDegree);
  const double u = std::cos(plus);
  const double g = std::fabs(std::cos(device.gasket_angle / kDegree));
  bad = bad || std::fabs(std::sin(plus) * w - u * k) > g ||
        std::fabs(std::sin(minus) * w + u * k) > g;
  return bad;
}

const char* const kAxisName[] = {"", "2theta", "omega", "chi", "phi", "motor 5", "motor 6",
                                 "motor 7", "motor 8", "motor 9", "motor 10"};

}  // namespace

std::string degrees_text(float v) {
  std::string text = F(v, 12, 3);
  if (text.find('*') != std::string::npos) text = E(v, 12, 4);
  return std::string(trim(text)) + " deg";
}

namespace {

std::string degrees(float v) { return degrees_text(v); }

// The value of motor m against its range, as the motor sees it (zero offset included).
std::string range_text(const MachineProfile& profile, const DeviceSettings& device, int m,
                       float logical) {
  const Range r = range_of(profile, device, m);
  const float p = logical + offset_of(profile, m);
  const std::string name = kAxisName[m];
  if (!std::isfinite(p)) return name + " value is not a number";
  if (p > r.upper) return name + " " + degrees(logical) + " above its upper limit " +
                          degrees(r.upper - offset_of(profile, m));
  if (p < r.lower) return name + " " + degrees(logical) + " below its lower limit " +
                          degrees(r.lower - offset_of(profile, m));
  return name + " " + degrees(logical) + ": no turn of it lies within its limits " +
         degrees(r.lower - offset_of(profile, m)) + " to " +
         degrees(r.upper - offset_of(profile, m));
}

}  // namespace

void motor_limits(const MachineProfile& profile, const DeviceSettings& device, int m,
                  float& lower, float& upper) {
  const Range r = range_of(profile, device, m);
  lower = r.lower - offset_of(profile, m);
  upper = r.upper - offset_of(profile, m);
}

std::string limits_reason(const MachineProfile& profile, const DeviceSettings& device,
                          const AngleSet& a) {
  {
    const Range r = range_of(profile, device, 1);
    const float p = a[0] + offset_of(profile, 1);
    if (!(p <= r.upper && p >= r.lower)) return range_text(profile, device, 1, a[0]);
  }
  AngleSet b = a;
  if (SOFTLIMITS(profile, device, b, 1) != 0) {
    AngleSet c = a;
    if (SOFTLIMITS(profile, device, c, 2) != 0) {
      const Range r = range_of(profile, device, 2);
      const float p = profile.omega_motor(a[0], a[1]) + offset_of(profile, 2);
      if (p > r.upper || p < r.lower) {
        return "omega motor " + degrees(p - offset_of(profile, 2)) +
               (p > r.upper ? " above its upper limit " + degrees(r.upper - offset_of(profile, 2))
                            : " below its lower limit " +
                                  degrees(r.lower - offset_of(profile, 2)));
      }
      return "detector arm " + degrees(a[0]) + " closer than " + degrees(profile.clearance_angle) +
             " to the omega carriage at omega " + degrees(a[1]);
    }
    return range_text(profile, device, 1, a[0]);
  }
  b = a;
  if (device.chi_limited != 0 && PUT_INTO_RANGE(profile, device, b[2], 3) != 0)
    return range_text(profile, device, 3, a[2]);
  if (device.phi_limited != 0 && PUT_INTO_RANGE(profile, device, b[3], 4) != 0)
    return range_text(profile, device, 4, a[3]);
  b = a;
  if (SOFTLIMITS(profile, device, b, 0) == 2)
    return device.type == 6 ? "the setting passes the angle restrictions of the device"
                            : "the beams leave the psi cone of " + degrees(device.psi_max) +
                                  " of the fixed-phi mode";
  return "";
}

std::string motor_reason(const MachineProfile& profile, const DeviceSettings& device, int m,
                         float value) {
  if (m < 1 || m > 10 || !profile.motor_present(m))
    return "there is no motor " + std::to_string(m) + " on this diffractometer";
  const Range r = range_of(profile, device, m);
  const float p = value + offset_of(profile, m);
  if (p > r.upper || p < r.lower || !std::isfinite(p)) return range_text(profile, device, m, value);
  return "";
}

int PUT_INTO_RANGE(const MachineProfile& profile, const DeviceSettings& device, float& x, int m) {
  const Range r = range_of(profile, device, m);
  const float zero = offset_of(profile, m);
  float p = x + zero;
  // A value that no number of turns brings near the range is refused (and the loops below
  // stay short).
  if (!std::isfinite(p) || std::fabs(p) > 1.0e5f) return 1;
  if (p <= r.lower) {
    do p += 360.0f;
    while (p < r.lower);
    if (p > r.upper) return 1;
  } else if (p > r.upper) {
    while (p > r.upper) p -= 360.0f;
    if (p <= r.lower) return 1;
  }
  x = p - zero;
  return 0;
}

int SOFTLIMITS(const MachineProfile& profile, const DeviceSettings& device, AngleSet& a,
               int mode) {
  if (mode < 1 || mode > 4) mode = 0;
  const float zero1 = offset_of(profile, 1), zero2 = offset_of(profile, 2);

  if (mode == 0 || mode == 1) {
    const Range r = range_of(profile, device, 1);
    const float p = a[0] + zero1;
    if (p > r.upper || p < r.lower) return 1;
  }
  if (mode <= 2) {
    const Range r = range_of(profile, device, 2);
    // The omega motor's own limits: it reads the circle (half of 2theta included) only
    // where omega and 2theta have motors of their own.
    const float p = profile.omega_motor(a[0], a[1]) + zero2;
    if (p > r.upper || p < r.lower) return 1;
  }
  if (mode <= 3) {
    // Arm clearance: the angle between the detector arm and the omega carriage.
    const float p = zero1 + a[0];
    const float sign = p >= 0.0f ? 1.0f : -1.0f;
    const float c = sign * (zero2 + a[1]) + 90.0f - std::fabs(p) / 2.0f;
    if (c < profile.clearance_angle || c > 180.0f - profile.clearance_angle) return 1;
  }
  if (mode == 1 || mode == 2) return 0;
  if (mode == 0 || mode == 3) {
    if (device.chi_limited != 0 && PUT_INTO_RANGE(profile, device, a[2], 3) != 0) return 1;
  }
  if (mode == 3) return 0;
  if (device.phi_limited != 0 && PUT_INTO_RANGE(profile, device, a[3], 4) != 0) return 1;
  if (mode == 4) return 0;

  int status = 0;
  if (device.fixed_phi != 0 && outside_psi_cone(profile, device, a)) status = 2;
  if (device.type == 6 && outside_device6(device, a)) status = 2;
  return status;
}

}  // namespace dorvex
