// The virtual goniometer behind every controller family: motor axes that move at a finite speed
// in simulated time and meet limit switches, the shutter, and the counter looking at the
// virtual crystal.
#pragma once

#include <memory>
#include <random>
#include <vector>

#include "crystal.hpp"
#include "faults.hpp"
#include "sim_profile.hpp"

namespace dorvex::sim {

// Limit-switch bits of an axis status.
constexpr int kLowerSwitch = 4;
constexpr int kUpperSwitch = 8;
// Hardware switches sit this far outside the profile's limits, so that a target on a limit is
// still reached.
constexpr double kSwitchMargin = 0.1;

class Axis {
 public:
  Axis(char name, int motor, double steps_per_unit, double position);

  char name() const { return name_; }
  int motor() const { return motor_; }
  double steps_per_unit() const { return steps_per_unit_; }
  double round_to_step(double x) const;

  void add_switch(double position) { switches_.push_back(position); }
  void set_hardware_limits(double lower, double upper);

  // Position in controller units at time t (whole steps), and whether the axis still moves.
  double position(double t) const;
  bool moving(double t) const { return t < t1_; }
  double end_time() const { return t1_; }
  double target() const { return to_; }
  // 0, kLowerSwitch or kUpperSwitch.
  int limit_bits(double t) const;
  // The switch the present move will end on (0: none).
  int pending_switch() const { return pending_bits_; }

  // Starts a move at time t (speed in units per second). An axis resting on a switch refuses
  // to move further into it; an axis that meets a switch stops there.
  void move_to(double t, double target, double speed);
  void stop(double t);
  void load(double t, double value);

 private:
  double exact(double t) const;
  char name_;
  int motor_;
  double steps_per_unit_;
  double from_, to_;
  double t0_ = 0.0, t1_ = 0.0;
  int pending_bits_ = 0;  // switch met at the end of the present move
  int bits_ = 0;          // switch met by the last move
  bool hardware_ = false;
  double lower_switch_ = 0.0, upper_switch_ = 0.0;
  std::vector<double> switches_;
};

enum class OmegaReading { circle, bisecting };

class Instrument {
 public:
  Instrument(const SimProfile& profile, std::unique_ptr<Crystal> crystal, OmegaReading omega,
             unsigned long seed, Faults& faults);

  const SimProfile& profile() const { return profile_; }
  Faults& faults() { return faults_; }
  // Axes in controller order: digit names ascending, then the others in motor order.
  std::vector<Axis>& axes() { return axes_; }
  Axis* axis(char name);
  Axis* motor_axis(int motor);

  // The setting the crystal sees at time t (profile offsets and crystal zero errors removed).
  PhysicalSetting setting(double t);
  // Counts collected in `seconds` at the setting of time t, with Poisson noise.
  long count(double t, double seconds);
  double rate(double t);

  void shutter(bool open);
  bool shutter_open() const { return shutter_open_; }
  int filter = 0;
  int half_slit = 0;

 private:
  SimProfile profile_;
  std::unique_ptr<Crystal> crystal_;
  OmegaReading omega_;
  std::mt19937_64 rng_;
  Faults& faults_;
  std::vector<Axis> axes_;
  bool shutter_open_ = false;
};

}  // namespace dorvex::sim
