// The limit check of the motion layer: pure computations on the profile and device settings.
#pragma once

#include <string>

#include "common/state.hpp"

namespace dorvex {

// Checks setting `a` (logical angles) in check mode `mode` (0 everything; 1 2theta, omega and
// clearance; 2 omega and clearance; 3 clearance and chi; 4 phi). Returns 0 accepted, 1 outside
// the limits, 2 device restriction. The chi/phi range checks may replace a[2]/a[3] by their
// equivalent inside the range.
int SOFTLIMITS(const MachineProfile& profile, const DeviceSettings& device, AngleSet& a, int mode);
// Why SOFTLIMITS (mode 0) refuses setting `a`, for the operator: the axis, its value and the
// limit it passes ("2theta 130.000 deg above its upper limit 120.000 deg"); "" when nothing is
// wrong. Motors 5 to 10 are checked alone with motor_reason.
std::string limits_reason(const MachineProfile& profile, const DeviceSettings& device,
                          const AngleSet& a);
// Why `value` is refused for motor m (1 to 10) on its own: outside its limits, or no such motor.
std::string motor_reason(const MachineProfile& profile, const DeviceSettings& device, int m,
                         float value);
// The working limits of motor m (1 to 10) in logical degrees, the zero offset taken off: chi,
// phi and omega from the device settings, the others from the profile. For omega these are
// limits of the omega motor, which reads omega + 2theta/2 when omega is coupled.
void motor_limits(const MachineProfile& profile, const DeviceSettings& device, int m,
                  float& lower, float& upper);
// An angle for a message: "12.500 deg" (an exponent for values too large for the field).
std::string degrees_text(float v);
// Brings x (logical degrees) of motor m (3 chi or 4 phi) into its range by multiples of 360.
// Returns 0 and the new x, or 1 when no equivalent lies in the range.
int PUT_INTO_RANGE(const MachineProfile& profile, const DeviceSettings& device, float& x, int m);

}  // namespace dorvex
