// The part of the diffractometer profile the simulated controller needs: the motors with their
// controller axes, scales and limits, zero offsets, park positions, circle senses, the coupled
// omega flag, wavelengths, the line terminators and the controller family.
#pragma once

#include <array>
#include <string>

namespace dorvex::sim {

struct SimMotor {
  bool present = false;
  char axis = ' ';                  // controller axis character
  double steps_per_unit = 100.0;    // steps per degree (or per mm)
  std::array<double, 4> p{};        // speed parameters p1..p4 of the motor line
  std::array<double, 10> values{};  // the ten values of the motor line as written
  double lower = 0.0;               // limits in controller units
  double upper = 0.0;
  bool limited = false;             // hardware limit switches fitted
  double park = 0.0;                // logical park position
  double offset = 0.0;              // controller position = logical angle + offset
};

struct SimProfile {
  std::array<SimMotor, 11> motors{};      // index 1..10
  std::array<int, 5> senses{0, 1, 1, 1, 1};  // index 1..4: +1 or -1
  bool coupled_omega = false;             // CONFIG field 5
  int wavelength_count = 1;
  double lambda1 = 0.71073;
  double lambda2 = 0.0;
  double ratio = 0.0;
  int program_input_terminator = 3;       // what the simulator sends (COMPOR field 7)
  int program_output_terminator = 3;      // what the simulator receives (COMPOR field 8)
  int interface_type = 0;                 // CONTROL
  bool no_shutter = false;
  // MONOC angle when CONFIG field 7 declares a monochromator (its polarisation), else 0.
  double monochromator_2theta = 0.0;
};

// Reads the profile; on failure returns false with a reason in `error`.
bool read_sim_profile(const std::string& path, SimProfile& profile, std::string& error);

// The controller's numbers are read locale-free from fixed columns (1-based `first`).
bool fixed_real(const std::string& line, int first, int width, double& value);
bool fixed_int(const std::string& line, int first, int width, int& value);
// A whole text read as a number (blanks around it allowed).
bool parse_real(std::string_view text, double& value);

}  // namespace dorvex::sim
