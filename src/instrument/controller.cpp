// The controller operations: each forwards its arguments to the driver bound to the profile's
// interface type and adds nothing else. Also the degree/step conversions and READ_INTERFACE.
#include "instrument/controller.hpp"

#include <cmath>
#include <cstdlib>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "instrument/driver.hpp"
#include "instrument/motion.hpp"
#include "console/status.hpp"

namespace dorvex {

const ControllerDriver* driver_for(int interface_type) {
  switch (interface_type) {
    case 1: return &smc9000_driver();
    case 2: return &stadi4_driver();
    case 3: return &sin10_driver();
    case 6: return &p4_driver();
    case 7: return &smc9300_driver();
    default: return nullptr;
  }
}

namespace {
const ControllerDriver* bound() { return driver_for(S().profile.interface_type); }
}  // namespace

void SENDH(const std::string& command, int count, std::string& reply, int& reply_length) {
  if (auto d = bound()) d->SENDH(command, count, reply, reply_length);
}
void WAKE_MOTORS() {
  if (auto d = bound()) d->WAKE_MOTORS();
}
void INIT_MOTORS() {
  if (auto d = bound()) d->INIT_MOTORS();
}
void READ_MOTOR_INTERFACE(int motor, int& status, float& value, std::string& message) {
  if (auto d = bound()) d->READ_MOTOR_INTERFACE(motor, status, value, message);
}
void READ_ALL_MOTOR_INTERFACE(std::array<float, 4>& values, int& status, std::string& message) {
  if (auto d = bound()) d->READ_ALL_MOTOR_INTERFACE(values, status, message);
}
void LOAD_MOTOR_INTERFACE(int motor, float value) {
  if (auto d = bound()) d->LOAD_MOTOR_INTERFACE(motor, value);
}
void CHECK_LIMITS() {
  if (auto d = bound()) d->CHECK_LIMITS();
}
void DRIVE_MOTOR(int motor, float target, float distance) {
  if (auto d = bound()) d->DRIVE_MOTOR(motor, target, distance);
}
void DRIVE_MOTOR_ALL() {
  if (auto d = bound()) d->DRIVE_MOTOR_ALL();
}
void WAIT_MOTOR(int motor, int& busy) {
  if (auto d = bound()) d->WAIT_MOTOR(motor, busy);
}
void WAIT() {
  if (auto d = bound()) d->WAIT();
}
void STOP_ALL() {
  if (auto d = bound()) d->STOP_ALL();
}
void FINISH() {
  if (auto d = bound()) d->FINISH();
}
void RUNSCAN(int& mode, float step, float count_time, int steps, std::array<int, 200>& counts,
             int& status, float& time_used, int at_start, std::array<float, 200>& positions) {
  if (auto d = bound())
    d->RUNSCAN(mode, step, count_time, steps, counts, status, time_used, at_start, positions);
}
void XCOUNT(float count_time, float& rate, float& time_used) {
  if (auto d = bound()) d->XCOUNT(count_time, rate, time_used);
}
void SHUTTER(int open) {
  if (auto d = bound()) d->SHUTTER(open);
}
void GET_SHUTTER_STATUS(int& state) {
  if (auto d = bound()) d->GET_SHUTTER_STATUS(state);
}
void SEARCH_REFERENCE_MARKS(int& found) {
  if (auto d = bound()) d->SEARCH_REFERENCE_MARKS(found);
}
void SET_FILTER(int filter) {
  if (auto d = bound()) d->SET_FILTER(filter);
}
void SET_SLIT(char code) {
  if (auto d = bound()) d->SET_SLIT(code);
}

void READ_INTERFACE() {
  WAIT();
  invalidate_all_positions();
  AngleSet a{};
  RDALLMTR(a);
  if (S().shell.error_flag != 0) return;
  DISPLAY_ACTION(0, a);
  float slit1 = 0, slit2 = 0;
  RDMTR(5, slit1);
  RDMTR(6, slit2);
  DISPLAY_SLITS(slit1, slit2);
  if (S().profile.motor_present(7)) {
    float v = 0;
    RDMTR(7, v);
    DISPLAY_DD(v);
  }
  if (S().profile.motor_present(8)) {
    float v = 0;
    RDMTR(8, v);
    DISPLAY_SAMPLEZ(v);
  }
}

float R_ANGLE(float angle, int motor) {
  const float spd = S().profile.motor[static_cast<std::size_t>(motor)].steps_per_degree;
  if (spd == 0.0f) return angle;
  const long n = NINT(angle * spd);
  return static_cast<float>(n) / spd;
}

float CNVSTEP(int motor, int steps) {
  const float spd = S().profile.motor[static_cast<std::size_t>(motor)].steps_per_degree;
  if (spd == 0.0f) return 0.0f;
  // Whole degrees first, so that a large step count keeps its last steps.
  const float whole = std::trunc(static_cast<float>(steps) / spd);
  const float rest = static_cast<float>(steps - static_cast<long>(std::trunc(whole * spd)));
  return rest / spd + whole;
}

int JFORMAT(int i) {
  if (i == 0) return 1;
  int digits = 0;
  for (long v = std::labs(static_cast<long>(i)); v > 0; v /= 10) ++digits;
  return digits + (i < 0 ? 1 : 0);
}

}  // namespace dorvex
