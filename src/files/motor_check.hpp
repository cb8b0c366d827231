// The controller families' checks of a MOTOR line of the profile, which the profile reader
// runs on every MOTOR line once the whole file is read. CHECK_MOTOR dispatches to these by the
// profile's interface type. They only store and default the profile values; no controller is
// contacted.
//
// Before the call the profile reader has stored the motor's controller axis character in
// motor[m].axis; the checks keep the line's ten reals in motor[m].raw.
#pragma once

#include <array>

namespace dorvex {

// Motor line of the profile: stores scale, parameters, limits, axis; status 0 accepts.
void CHECK_MOTOR(int motor, const std::array<float, 10>& params, int& status);

// SMC9000 and SMC9300 (types 1 and 7): also map the axis digit back to the motor.
void CHECK_MOTOR_1(int motor, const std::array<float, 10>& params, int& status);
void CHECK_MOTOR_7(int motor, const std::array<float, 10>& params, int& status);
// STADI4 (type 2): as type 1 without the axis map.
void CHECK_MOTOR_2(int motor, const std::array<float, 10>& params, int& status);
// SIN-10 (type 3): limits from values 7 and 8, clearance angle from value 9.
void CHECK_MOTOR_3(int motor, const std::array<float, 10>& params, int& status);
// P4 (type 6): its own limit defaults; speed values outside 100..600 replaced.
void CHECK_MOTOR_6(int motor, const std::array<float, 10>& params, int& status);

}  // namespace dorvex
