// The CIF that goes with a reduced data set: the crystal, the radiation, the orientation, how
// the intensities were measured and corrected, under the data names of the CIF core dictionary.
// Quoting and the layout of the file are left to gemmi's CIF writer.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "common/state.hpp"

namespace dorvex {

struct CifExperiment {
  std::string block;  // data block name (letters, digits and -_ only are kept)
  std::string title;
  std::array<float, 6> cell{};
  std::array<float, 6> cell_su{};  // all 0: the cell is written without uncertainties
  float volume = 0, volume_su = 0;
  float wavelength = 0;
  float monochromator_2theta = 0;  // 0: none
  Mat3 UB;
  std::string diffractometer;      // the machine's name
  std::string space_group;         // blank: not given
  int scan_type = 1;               // 1 omega, 2 omega/2theta
  double width_min = 0, width_max = 0, step_min = 0, step_max = 0;
  int reflections = 0;
  std::array<int, 3> hkl_min{}, hkl_max{};
  double theta_min = 0, theta_max = 0;
  std::vector<std::array<int, 3>> standards;
  int standards_interval = 0;
  bool decay_applied = false;
  double decay_percent = 0;
  bool absorption_applied = false;
  double t_min = 1, t_max = 1;
  bool lorentz_polarisation = true;
  bool have_r_int = false;
  double r_int = 0;
  int unique = 0;
  std::string version;             // the program's version text
};

// The radiation of a wavelength: "Mo K\a" and the like for the usual anode lines (within 0.003
// A), empty otherwise.
std::string radiation_type(float wavelength);

// A value with its standard uncertainty in parentheses, the uncertainty given to one digit, or
// two when they are 19 or less ("8.0012(14)", "959.9(2)"); without an uncertainty the value
// with `decimals` decimals.
std::string with_su(double value, double su, int decimals);

std::string experiment_cif(const CifExperiment& e);

}  // namespace dorvex
