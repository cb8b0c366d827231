#include "files/motor_check.hpp"

#include <cmath>

#include "common/state.hpp"
#include "console/output.hpp"

namespace dorvex {

namespace {

// Where a family's MOTOR line keeps its limits and clearance angle (1-based value numbers),
// and the defaults that replace a limit whose magnitude is below 1 degree.
struct MotorLineLayout {
  int lower_value;
  int upper_value;
  int clearance_value;
  float two_theta_lower, two_theta_upper;
  float omega_lower, omega_upper;
  float clearance;
};

constexpr MotorLineLayout kSmcLayout{6, 7, 8, -50.0f, 90.0f, -90.0f, 90.0f, 40.0f};
// The SIN-10 line carries one more controller parameter (value 6) before the limits.
constexpr MotorLineLayout kSin10Layout{7, 8, 9, -50.0f, 90.0f, -90.0f, 90.0f, 40.0f};
constexpr MotorLineLayout kP4Layout{6, 7, 8, -106.0f, 116.0f, -40.0f, 40.0f, 35.0f};

float value(const std::array<float, 10>& params, int number) {
  return params[static_cast<std::size_t>(number - 1)];
}

float or_default(float x, float fallback) { return std::fabs(x) < 1.0f ? fallback : x; }

// Scale, parameters, limits with their defaults, clearance angle and the chi/phi limited
// flags: what every family stores for a motor line.
void store_motor_line(int m, const std::array<float, 10>& params, const MotorLineLayout& layout) {
  MachineProfile& profile = S().profile;
  MotorProfile& motor = profile.motor[static_cast<std::size_t>(m)];
  motor.raw = params;
  motor.steps_per_degree = value(params, 1);
  for (int i = 0; i < 4; ++i) motor.p[static_cast<std::size_t>(i)] = value(params, i + 2);
  motor.lower = value(params, layout.lower_value);
  motor.upper = value(params, layout.upper_value);

  if (m == 1) {
    motor.upper = or_default(motor.upper, layout.two_theta_upper);
    motor.lower = or_default(motor.lower, layout.two_theta_lower);
  } else if (m == 2) {
    profile.clearance_angle = or_default(value(params, layout.clearance_value), layout.clearance);
    motor.upper = or_default(motor.upper, layout.omega_upper);
    motor.lower = or_default(motor.lower, layout.omega_lower);
  } else if (m == 3 || m == 4) {
    // Both limits (near) zero: a free circle that may be wrapped.
    const int limited = std::fabs(motor.lower) > 0.01f || std::fabs(motor.upper) > 0.01f;
    (m == 3 ? profile.chi_limited : profile.phi_limited) = limited;
  }
}

// The SMC controllers report axis states in their own order; the axis digit of the motor line
// tells which motor each state belongs to.
void map_axis(int m, int& status) {
  MachineProfile& profile = S().profile;
  const char axis = profile.motor[static_cast<std::size_t>(m)].axis;
  if (axis < '0' || axis > '9') {
    ERRORLOG("Error in motorname decoding");
    status = 1;
    return;
  }
  const auto k = static_cast<std::size_t>(axis - '0');
  if (profile.axis_motor[k] != 0 && profile.axis_motor[k] != m) {
    ERRORLOG("Error in motorname decoding");
    status = 1;
    return;
  }
  // A later MOTOR line for the same motor replaces the earlier one, its axis included.
  for (int& owner : profile.axis_motor)
    if (owner == m) owner = 0;
  profile.axis_motor[k] = m;
  int count = 0;
  for (int owner : profile.axis_motor)
    if (owner != 0) ++count;
  profile.axis_count = count;
}

}  // namespace

void CHECK_MOTOR_1(int motor, const std::array<float, 10>& params, int& status) {
  status = 0;
  store_motor_line(motor, params, kSmcLayout);
  map_axis(motor, status);
}

void CHECK_MOTOR_7(int motor, const std::array<float, 10>& params, int& status) {
  CHECK_MOTOR_1(motor, params, status);
}

void CHECK_MOTOR_2(int motor, const std::array<float, 10>& params, int& status) {
  status = 0;
  store_motor_line(motor, params, kSmcLayout);
}

void CHECK_MOTOR_3(int motor, const std::array<float, 10>& params, int& status) {
  status = 0;
  store_motor_line(motor, params, kSin10Layout);
}

void CHECK_MOTOR_6(int motor, const std::array<float, 10>& params, int& status) {
  status = 0;
  store_motor_line(motor, params, kP4Layout);
  // The P4 takes its speeds (p1 and p3) only within 100..600; anything else runs at 6.
  MotorProfile& m = S().profile.motor[static_cast<std::size_t>(motor)];
  for (std::size_t i : {std::size_t{0}, std::size_t{2}})
    if (m.p[i] < 100.0f || m.p[i] > 600.0f) m.p[i] = 6.0f;
}

void CHECK_MOTOR(int motor, const std::array<float, 10>& params, int& status) {
  if (motor < 1 || motor > 10) return;
  switch (S().profile.interface_type) {
    case 1:
      CHECK_MOTOR_1(motor, params, status);
      break;
    case 2:
      CHECK_MOTOR_2(motor, params, status);
      break;
    case 3:
      CHECK_MOTOR_3(motor, params, status);
      break;
    case 6:
      CHECK_MOTOR_6(motor, params, status);
      break;
    case 7:
      CHECK_MOTOR_7(motor, params, status);
      break;
    default:
      break;  // no driver: inert, status left as it was
  }
}

}  // namespace dorvex
