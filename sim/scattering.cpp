#include "scattering.hpp"

#include <algorithm>
#include <cmath>

namespace dorvex::sim {

namespace {

constexpr double kDeg = 3.14159265358979323846 / 180.0;
// Points per edge of the block's integration grid (cell centres): transmissions come out
// smooth in the angles and to a few parts in a thousand of the exact volume integral.
constexpr int kGrid = 10;

// Distance from p (inside the block of half-edges h) to its surface along the unit vector u.
double path_length(const Vec3& p, const Vec3& h, const Vec3& u) {
  double l = 1e30;
  for (int i = 0; i < 3; ++i) {
    if (std::fabs(u[i]) < 1e-12) continue;
    l = std::min(l, ((u[i] > 0 ? h[i] : -h[i]) - p[i]) / u[i]);
  }
  return l;
}

Vec3 transposed_times(const Mat3& r, const Vec3& v) {
  return {r[0][0] * v[0] + r[1][0] * v[1] + r[2][0] * v[2],
          r[0][1] * v[0] + r[1][1] * v[1] + r[2][1] * v[2],
          r[0][2] * v[0] + r[1][2] * v[1] + r[2][2] * v[2]};
}

}  // namespace

double lorentz_polarisation(double two_theta_deg, double monochromator_2theta_deg) {
  const double c = std::cos(two_theta_deg * kDeg);
  const double s = std::fabs(std::sin(two_theta_deg * kDeg));
  const double cm = std::cos(monochromator_2theta_deg * kDeg);
  const double p = (1.0 + cm * cm * c * c) / (1.0 + cm * cm);
  return s > 1e-9 ? p / s : 0.0;
}

double block_transmission(double mu, const Vec3& edges, const Vec3& path_in, const Vec3& path_out) {
  const Vec3 h{edges[0] / 2.0, edges[1] / 2.0, edges[2] / 2.0};
  double sum = 0.0;
  for (int i = 0; i < kGrid; ++i) {
    for (int j = 0; j < kGrid; ++j) {
      for (int k = 0; k < kGrid; ++k) {
        const Vec3 p{h[0] * ((2.0 * i + 1.0) / kGrid - 1.0), h[1] * ((2.0 * j + 1.0) / kGrid - 1.0),
                     h[2] * ((2.0 * k + 1.0) / kGrid - 1.0)};
        sum += std::exp(-mu * (path_length(p, h, path_in) + path_length(p, h, path_out)));
      }
    }
  }
  return sum / (kGrid * kGrid * kGrid);
}

double scattering_power(double decay_per_hour, double seconds) {
  return std::max(0.0, 1.0 - decay_per_hour / 100.0 * seconds / 3600.0);
}

double peak_factor(const ScatteringModel& m, const Mat3& R, double theta_deg, double side,
                   double seconds) {
  double factor = scattering_power(m.decay_per_hour, seconds);
  if (m.mu > 0.0) {
    // The beams in the diffraction frame: the diffraction vector along x, the 2theta circle's
    // plane xy; back along the incident beam and out along the diffracted one.
    const double st = std::sin(theta_deg * kDeg) * side, ct = std::cos(theta_deg * kDeg);
    const Vec3 in = transposed_times(R, Vec3{st, -ct, 0.0});
    const Vec3 out = transposed_times(R, Vec3{st, ct, 0.0});
    factor *= block_transmission(m.mu, m.block, in, out);
  }
  return factor;
}

bool scattering_keyword(const std::string& key) {
  return key == "lorentz_polarisation" || key == "absorption" || key == "decay";
}

bool read_scattering(const std::string& key, const std::vector<std::string>& args,
                     const std::vector<double>& values, bool numeric, ScatteringModel& m,
                     std::string& error) {
  if (key == "lorentz_polarisation") {
    if (args.size() != 1 || (args[0] != "on" && args[0] != "off")) {
      error = "lorentz_polarisation is on or off";
      return false;
    }
    m.lorentz_polarisation = args[0] == "on";
  } else if (key == "absorption") {
    if (!numeric || values.size() != 4 || values[0] < 0.0 || values[1] <= 0.0 ||
        values[2] <= 0.0 || values[3] <= 0.0) {
      error = "absorption needs mu (1/mm) and three positive edges dx dy dz (mm)";
      return false;
    }
    m.mu = values[0];
    m.block = {values[1], values[2], values[3]};
  } else {
    if (!numeric || values.size() != 1 || values[0] < 0.0) {
      error = "decay needs the per cent of scattering power lost per hour";
      return false;
    }
    m.decay_per_hour = values[0];
  }
  return true;
}

}  // namespace dorvex::sim
