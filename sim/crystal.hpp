// The virtual crystal: a unit cell in a fixed orientation on the phi axis, and the intensity it
// sends into the detector for a given setting of the four circles.
#pragma once

#include <array>
#include <map>
#include <string>
#include <vector>

#include "scattering.hpp"  // Lp, absorbing block, decay

namespace dorvex::sim {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<Vec3, 3>;  // rows

struct CrystalModel {
  std::string title = "Orthorhombic test crystal";
  std::array<double, 6> cell{8.0, 10.0, 12.0, 90.0, 90.0, 90.0};
  Vec3 orientation{15.0, -20.0, 30.0};  // U = Rx(a)·Ry(b)·Rz(c), degrees
  bool has_ub = false;                   // UB given directly instead of cell + orientation
  Mat3 ub{};
  char lattice = 'P';                    // centring: P A B C I F R (absences)
  std::string laue = "mmm";              // -1, 2/m (b unique) or mmm: equal intensities
  double lambda1 = 0.0;                  // 0: the profile's wavelengths
  double lambda2 = -1.0;                 // -1: the profile's
  double ratio = -1.0;                   // -1: the profile's
  double scale = 5000.0;                 // counts per second of an average reflection at s = 0
  double bfactor = 2.0;                  // overall Debye-Waller B, A^2
  double background = 5.0;               // counts per second at high angle
  double dark = 0.2;                     // counts per second with the shutter closed
  double fwhm_omega = 0.25;              // degrees
  double fwhm_2theta = 0.35;
  double fwhm_chi = 1.5;
  double eta = 0.3;                      // Lorentzian fraction of the omega profile
  unsigned structure_seed = 1;           // draws the structure-factor magnitudes
  Vec3 zero_errors_tth_om_chi{};         // instrument zero errors of 2theta, omega, chi
  double zero_error_phi = 0.0;
  // Listed peak rates (counts per second) standing for their whole symmetry class; the sample
  // crystal's three axial reflections are strong so that they serve as standards.
  std::map<std::array<int, 3>, double> listed{
      {{2, 0, 0}, 8000.0}, {{0, 2, 0}, 6000.0}, {{0, 0, 2}, 7000.0}};
  // True F-squared of listed symmetry classes (peak rate scale x F^2, in place of the Wilson
  // draw and its B factor), and what turns them into peak rates beyond the crystal itself.
  std::map<std::array<int, 3>, double> fsquared;
  ScatteringModel scattering;
};

// Reads a crystal file (keyword lines, '#' comments); false with a reason on failure.
bool read_crystal(const std::string& path, CrystalModel& model, std::string& error);

// The four circle angles the crystal sees (degrees, zero errors already removed): the detector
// 2theta, the omega circle measured from the incident beam such that a bisecting setting reads
// theta, chi and phi.
struct PhysicalSetting {
  double two_theta = 0.0;
  double omega_circle = 0.0;
  double chi = 0.0;
  double phi = 0.0;
  double time = 0.0;  // simulated seconds since the start (the crystal's decay)
};

class Crystal {
 public:
  // senses: rotation senses of omega, chi, phi (+1/-1); two_theta_max bounds the reflections.
  Crystal(const CrystalModel& model, double lambda1, double lambda2, double ratio,
          std::array<int, 3> senses, double two_theta_max);

  // Counts per second arriving at the detector with the shutter open.
  double rate(const PhysicalSetting& s) const;
  // UB (rows), reciprocal-lattice vectors in 1/A.
  const Mat3& ub() const { return ub_; }
  const CrystalModel& model() const { return model_; }
  std::size_t reflection_count() const { return spots_.size(); }
  // Relative intensity of h (0 for an absence); exposed for the documentation examples.
  double intensity(int h, int k, int l) const;

 private:
  struct Spot {
    double two_theta;  // degrees, for this wavelength
    Vec3 x_phi;        // UB·h
    double peak;       // counts per second at the peak
  };
  CrystalModel model_;
  Mat3 ub_{};
  std::array<int, 3> senses_;
  std::vector<Spot> spots_;  // sorted by two_theta
};

Mat3 b_matrix(const std::array<double, 6>& cell);
Mat3 rotation_xyz(const Vec3& angles_deg);
Mat3 multiply(const Mat3& a, const Mat3& b);
Vec3 multiply(const Mat3& a, const Vec3& v);
// The rotation from the phi-axis frame to the frame of the diffraction vector, with senses.
Mat3 goniometer_rotation(double omega, double chi, double phi, const std::array<int, 3>& senses);

}  // namespace dorvex::sim
