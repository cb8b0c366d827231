#include "instrument.hpp"

#include <algorithm>
#include <cmath>

namespace dorvex::sim {

Axis::Axis(char name, int motor, double steps_per_unit, double position)
    : name_(name), motor_(motor), steps_per_unit_(steps_per_unit), from_(0.0), to_(0.0) {
  from_ = to_ = round_to_step(position);
}

double Axis::round_to_step(double x) const {
  return std::round(x * steps_per_unit_) / steps_per_unit_;
}

void Axis::set_hardware_limits(double lower, double upper) {
  hardware_ = true;
  lower_switch_ = lower - kSwitchMargin;
  upper_switch_ = upper + kSwitchMargin;
  add_switch(lower_switch_);
  add_switch(upper_switch_);
}

double Axis::exact(double t) const {
  if (t >= t1_ || t1_ <= t0_) return to_;
  if (t <= t0_) return from_;
  return from_ + (to_ - from_) * (t - t0_) / (t1_ - t0_);
}

double Axis::position(double t) const { return round_to_step(exact(t)); }

int Axis::limit_bits(double t) const {
  if (moving(t)) return 0;
  int bits = pending_bits_ != 0 ? pending_bits_ : bits_;
  if (hardware_) {
    // A hardware switch stays pressed for as long as the axis stands beyond it.
    if (to_ >= upper_switch_) bits |= kUpperSwitch;
    if (to_ <= lower_switch_) bits |= kLowerSwitch;
  }
  return bits;
}

void Axis::move_to(double t, double target, double speed) {
  const double start = position(t);
  const int old_bits = limit_bits(t);
  stop(t);
  target = round_to_step(target);
  const double eps = 0.5 / steps_per_unit_;
  const int direction = target > start + eps ? 1 : (target < start - eps ? -1 : 0);
  if (direction == 0) return;
  if ((direction > 0 && (old_bits & kUpperSwitch)) || (direction < 0 && (old_bits & kLowerSwitch)))
    return;  // pressed further into its switch: the controller refuses
  bits_ = 0;
  double end = target;
  int bits = 0;
  for (double s : switches_) {
    if (direction > 0 && s > start + eps && s <= end) {
      end = s;
      bits = kUpperSwitch;
    } else if (direction < 0 && s < start - eps && s >= end) {
      end = s;
      bits = kLowerSwitch;
    }
  }
  from_ = start;
  to_ = end;
  pending_bits_ = bits;
  t0_ = t;
  t1_ = t + std::fabs(end - start) / std::max(speed, 1e-6);
}

void Axis::stop(double t) {
  if (moving(t)) {
    to_ = position(t);
    pending_bits_ = 0;
  } else if (pending_bits_ != 0) {
    bits_ = pending_bits_;
    pending_bits_ = 0;
  }
  from_ = to_;
  t0_ = t1_ = t;
}

void Axis::load(double t, double value) {
  stop(t);
  from_ = to_ = round_to_step(value);
}

Instrument::Instrument(const SimProfile& profile, std::unique_ptr<Crystal> crystal,
                       OmegaReading omega, unsigned long seed, Faults& faults)
    : profile_(profile), crystal_(std::move(crystal)), omega_(omega), rng_(seed),
      faults_(faults) {
  std::vector<int> order;
  for (int m = 1; m <= 10; ++m) {
    if (profile_.motors[m].present) order.push_back(m);
  }
  auto digit = [&](int m) {
    char c = profile_.motors[m].axis;
    return c >= '0' && c <= '9' ? c - '0' : 100 + m;
  };
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return digit(a) < digit(b); });
  for (int m : order) {
    const SimMotor& sm = profile_.motors[m];
    double start = sm.park + sm.offset;
    // The omega circle reads theta more than omega when it is not referred to the bisector.
    if (m == 2 && omega_ == OmegaReading::circle) start += profile_.motors[1].park / 2.0;
    Axis a(sm.axis, m, sm.steps_per_unit, start);
    if (sm.limited) a.set_hardware_limits(sm.lower, sm.upper);
    for (const LimitSwitchFault& f : faults_.limit_switches()) {
      if (f.axis == sm.axis) a.add_switch(f.position);
    }
    axes_.push_back(a);
  }
}

Axis* Instrument::axis(char name) {
  for (Axis& a : axes_) {
    if (a.name() == name) return &a;
  }
  return nullptr;
}

Axis* Instrument::motor_axis(int motor) {
  for (Axis& a : axes_) {
    if (a.motor() == motor) return &a;
  }
  return nullptr;
}

PhysicalSetting Instrument::setting(double t) {
  const CrystalModel& m = crystal_->model();
  auto logical = [&](int motor, double zero) {
    Axis* a = motor_axis(motor);
    return a ? a->position(t) - profile_.motors[motor].offset - zero : 0.0;
  };
  PhysicalSetting s;
  s.time = t;
  s.two_theta = logical(1, m.zero_errors_tth_om_chi[0]);
  s.omega_circle = logical(2, m.zero_errors_tth_om_chi[1]);
  if (omega_ == OmegaReading::bisecting) s.omega_circle += s.two_theta / 2.0;
  s.chi = logical(3, m.zero_errors_tth_om_chi[2]);
  s.phi = logical(4, m.zero_error_phi);
  return s;
}

double Instrument::rate(double t) {
  if (!shutter_open_ && !profile_.no_shutter) return crystal_->model().dark;
  return crystal_->rate(setting(t));
}

long Instrument::count(double t, double seconds) {
  double mean = std::max(rate(t) * seconds, 0.0);
  if (mean <= 0.0) return 0;
  std::poisson_distribution<long> poisson(mean);
  return poisson(rng_);
}

void Instrument::shutter(bool open) {
  if (open && faults_.take_shutter_failure()) return;
  shutter_open_ = open;
}

}  // namespace dorvex::sim
