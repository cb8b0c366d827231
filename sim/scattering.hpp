// What stands between a structure's F-squared and the peak rate the detector sees, beyond the
// crystal's own reflecting power: the Lorentz-polarisation factor of the four-circle geometry,
// the transmission of an absorbing crystal shaped as a rectangular block, and the decay of the
// scattering power with time. Each is off unless the crystal file asks for it, so that the
// plain virtual crystal keeps its peak rates.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace dorvex::sim {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<Vec3, 3>;  // rows

struct ScatteringModel {
  bool lorentz_polarisation = false;
  double monochromator_2theta = 0.0;  // degrees (the profile's MONOC angle); 0: no monochromator
  double mu = 0.0;                    // linear absorption coefficient, 1/mm; 0: no absorption
  Vec3 block{};                       // edges along x, y, z of the phi-axis frame, mm
  double decay_per_hour = 0.0;        // per cent of the initial scattering power lost per hour
};

// L = 1/sin(2theta) times P = (1 + cos^2(2theta_M) cos^2(2theta)) / (1 + cos^2(2theta_M)).
double lorentz_polarisation(double two_theta_deg, double monochromator_2theta_deg);

// Mean of exp(-mu (l_in + l_out)) over the block centred on the origin, where l_in and l_out
// are the path lengths from a point to the surface along the unit vectors `path_in` (towards
// the source) and `path_out` (towards the detector), both in the block's frame.
double block_transmission(double mu, const Vec3& edges, const Vec3& path_in, const Vec3& path_out);

// Relative scattering power after `seconds`: 1 - decay/100 * hours, never below 0.
double scattering_power(double decay_per_hour, double seconds);

// The factor by which absorption and decay scale a reflection's peak rate at simulated time
// `seconds`, with `R` the rotation from the phi-axis frame to the frame in which the diffraction
// vector lies along +x (or -x for negative 2theta, side -1) and the beams in the xy plane.
double peak_factor(const ScatteringModel& m, const Mat3& R, double theta_deg, double side,
                   double seconds);

// Reads one of the crystal file's keywords of this model: "lorentz_polarisation on|off",
// "absorption MU DX DY DZ", "decay PERCENT_PER_HOUR". False with a reason for bad values; the
// keyword must be one of scattering_keyword().
bool scattering_keyword(const std::string& key);
bool read_scattering(const std::string& key, const std::vector<std::string>& args,
                     const std::vector<double>& values, bool numeric, ScatteringModel& m,
                     std::string& error);

}  // namespace dorvex::sim
