#include "crystal.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>

#include "sim_profile.hpp"  // parse_real

namespace dorvex::sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;
constexpr double kFourLn2 = 2.772588722239781;

std::uint64_t splitmix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// One representative of the reflections whose intensities are equal under the Laue class.
std::array<int, 3> canonical(std::array<int, 3> h, const std::string& laue) {
  auto first_positive = [](int& a, int& b, int& c) {
    int lead = a != 0 ? a : (b != 0 ? b : c);
    if (lead < 0) {
      a = -a;
      b = -b;
      c = -c;
    }
  };
  if (laue == "mmm") return {std::abs(h[0]), std::abs(h[1]), std::abs(h[2])};
  if (laue == "2/m") {
    int zero = 0;
    h[1] = std::abs(h[1]);
    first_positive(h[0], h[2], zero);
    return h;
  }
  first_positive(h[0], h[1], h[2]);
  return h;
}

bool absent(char lattice, int h, int k, int l) {
  switch (lattice) {
    case 'A': return (k + l) % 2 != 0;
    case 'B': return (h + l) % 2 != 0;
    case 'C': return (h + k) % 2 != 0;
    case 'I': return (h + k + l) % 2 != 0;
    case 'F': return (h + k) % 2 != 0 || (h + l) % 2 != 0;
    case 'R': return (-h + k + l) % 3 != 0;  // obverse setting, hexagonal axes
    default: return false;
  }
}

double gaussian(double x, double fwhm) { return std::exp(-kFourLn2 * (x / fwhm) * (x / fwhm)); }

}  // namespace

Mat3 multiply(const Mat3& a, const Mat3& b) {
  Mat3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) r[i][j] += a[i][k] * b[k][j];
  return r;
}

Vec3 multiply(const Mat3& a, const Vec3& v) {
  Vec3 r{};
  for (int i = 0; i < 3; ++i) r[i] = a[i][0] * v[0] + a[i][1] * v[1] + a[i][2] * v[2];
  return r;
}

Mat3 b_matrix(const std::array<double, 6>& cell) {
  const double a = cell[0], b = cell[1], c = cell[2];
  const double ca = std::cos(cell[3] * kDeg), cb = std::cos(cell[4] * kDeg);
  const double cg = std::cos(cell[5] * kDeg);
  const double sa = std::sin(cell[3] * kDeg), sb = std::sin(cell[4] * kDeg);
  const double sg = std::sin(cell[5] * kDeg);
  const double volume =
      a * b * c * std::sqrt(1.0 - ca * ca - cb * cb - cg * cg + 2.0 * ca * cb * cg);
  const double as = b * c * sa / volume, bs = a * c * sb / volume, cs = a * b * sg / volume;
  const double cbs = (ca * cg - cb) / (sa * sg);  // cos(beta*)
  const double cgs = (ca * cb - cg) / (sa * sb);  // cos(gamma*)
  const double sbs = std::sqrt(1.0 - cbs * cbs), sgs = std::sqrt(1.0 - cgs * cgs);
  // Busing & Levy (1967): a* along x, b* in the xy plane.
  return Mat3{Vec3{as, bs * cgs, cs * cbs}, Vec3{0.0, bs * sgs, -cs * sbs * ca},
              Vec3{0.0, 0.0, 1.0 / c}};
}

Mat3 rotation_xyz(const Vec3& angles_deg) {
  const double x = angles_deg[0] * kDeg, y = angles_deg[1] * kDeg, z = angles_deg[2] * kDeg;
  Mat3 rx{Vec3{1, 0, 0}, Vec3{0, std::cos(x), -std::sin(x)}, Vec3{0, std::sin(x), std::cos(x)}};
  Mat3 ry{Vec3{std::cos(y), 0, std::sin(y)}, Vec3{0, 1, 0}, Vec3{-std::sin(y), 0, std::cos(y)}};
  Mat3 rz{Vec3{std::cos(z), -std::sin(z), 0}, Vec3{std::sin(z), std::cos(z), 0}, Vec3{0, 0, 1}};
  return multiply(rx, multiply(ry, rz));
}

Mat3 goniometer_rotation(double omega, double chi, double phi, const std::array<int, 3>& senses) {
  const double co = std::cos(omega * kDeg), so = std::sin(omega * kDeg) * senses[0];
  const double cc = std::cos(chi * kDeg), sc = std::sin(chi * kDeg) * senses[1];
  const double cp = std::cos(phi * kDeg), sp = std::sin(phi * kDeg) * senses[2];
  Mat3 om{Vec3{co, so, 0}, Vec3{-so, co, 0}, Vec3{0, 0, 1}};
  Mat3 ch{Vec3{cc, 0, sc}, Vec3{0, 1, 0}, Vec3{-sc, 0, cc}};
  Mat3 ph{Vec3{cp, sp, 0}, Vec3{-sp, cp, 0}, Vec3{0, 0, 1}};
  return multiply(om, multiply(ch, ph));
}

bool read_crystal(const std::string& path, CrystalModel& model, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot open the crystal file " + path;
    return false;
  }
  model.listed.clear();  // a file lists its own strong reflections
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (std::size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string key;
    if (!(words >> key)) continue;
    for (char& c : key) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    std::vector<std::string> args;
    for (std::string w; words >> w;) args.push_back(w);
    std::vector<double> v;
    bool numeric = true;
    for (const std::string& w : args) {
      double x = 0.0;
      if (parse_real(w, x)) v.push_back(x); else numeric = false;
    }
    auto fail = [&](const char* what) {
      error = path + " line " + std::to_string(number) + ": " + what;
      return false;
    };
    auto need = [&](std::size_t n) { return numeric && v.size() >= n; };
    if (key == "title") {
      // The rest of the line after the keyword, blanks around it removed.
      std::size_t at = line.find_first_of(" \t", line.find_first_not_of(" \t"));
      at = at == std::string::npos ? at : line.find_first_not_of(" \t", at);
      model.title = at == std::string::npos ? "" : line.substr(at);
      model.title.erase(model.title.find_last_not_of(" \t\r") + 1);
    } else if (key == "cell") {
      if (!need(6)) return fail("cell needs a b c alpha beta gamma");
      for (int i = 0; i < 6; ++i) model.cell[i] = v[i];
    } else if (key == "orientation") {
      if (!need(3)) return fail("orientation needs three angles");
      model.orientation = {v[0], v[1], v[2]};
      model.has_ub = false;
    } else if (key == "ub") {
      if (!need(9)) return fail("ub needs nine numbers, row by row");
      for (int i = 0; i < 9; ++i) model.ub[i / 3][i % 3] = v[i];
      model.has_ub = true;
    } else if (key == "lattice") {
      if (args.size() != 1 || std::string("PABCIFR").find(args[0][0] & ~0x20) == std::string::npos)
        return fail("lattice is one of P A B C I F R");
      model.lattice = static_cast<char>(args[0][0] & ~0x20);
    } else if (key == "laue") {
      if (args.size() != 1 || (args[0] != "-1" && args[0] != "2/m" && args[0] != "mmm"))
        return fail("laue is -1, 2/m or mmm");
      model.laue = args[0];
    } else if (key == "wavelength") {
      if (!need(1)) return fail("wavelength needs lambda1 [lambda2 ratio]");
      model.lambda1 = v[0];
      model.lambda2 = v.size() >= 3 ? v[1] : 0.0;
      model.ratio = v.size() >= 3 ? v[2] : 0.0;
    } else if (key == "scale" || key == "bfactor" || key == "background" || key == "dark" ||
               key == "eta" || key == "structure_seed") {
      if (!need(1)) return fail("a number is missing");
      if (key == "scale") model.scale = v[0];
      if (key == "bfactor") model.bfactor = v[0];
      if (key == "background") model.background = v[0];
      if (key == "dark") model.dark = v[0];
      if (key == "eta") model.eta = std::clamp(v[0], 0.0, 1.0);
      if (key == "structure_seed") model.structure_seed = static_cast<unsigned>(v[0]);
    } else if (key == "fwhm") {
      if (!need(3) || v[0] <= 0 || v[1] <= 0 || v[2] <= 0)
        return fail("fwhm needs three positive widths: omega 2theta chi");
      model.fwhm_omega = v[0];
      model.fwhm_2theta = v[1];
      model.fwhm_chi = v[2];
    } else if (key == "zero") {
      if (!need(4)) return fail("zero needs four values: 2theta omega chi phi");
      model.zero_errors_tth_om_chi = {v[0], v[1], v[2]};
      model.zero_error_phi = v[3];
    } else if (key == "fsquared") {
      if (!need(4) || v[3] < 0.0) return fail("fsquared needs h k l and F-squared (not negative)");
      model.fsquared[{static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2])}] =
          v[3];
    } else if (scattering_keyword(key)) {
      std::string why;
      if (!read_scattering(key, args, v, numeric, model.scattering, why)) return fail(why.c_str());
    } else if (key == "reflection") {
      if (!need(4)) return fail("reflection needs h k l and a peak rate");
      model.listed[{static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2])}] = v[3];
    } else {
      return fail("unknown keyword");
    }
  }
  return true;
}

Crystal::Crystal(const CrystalModel& model, double lambda1, double lambda2, double ratio,
                 std::array<int, 3> senses, double two_theta_max)
    : model_(model), senses_(senses) {
  // Listed intensities stand for their whole symmetry class.
  std::map<std::array<int, 3>, double> listed;
  for (const auto& [h, value] : model_.listed) listed[canonical(h, model_.laue)] = value;
  model_.listed = listed;
  std::map<std::array<int, 3>, double> fsquared;
  for (const auto& [h, value] : model_.fsquared) fsquared[canonical(h, model_.laue)] = value;
  model_.fsquared = fsquared;
  ub_ = model_.has_ub ? model_.ub
                      : multiply(rotation_xyz(model_.orientation), b_matrix(model_.cell));
  struct Wave {
    double lambda, weight;
  };
  std::vector<Wave> waves{{lambda1, 1.0}};
  if (lambda2 > 0.0 && ratio > 0.0) waves.push_back({lambda2, ratio});
  two_theta_max = std::clamp(two_theta_max, 1.0, 179.0);
  const double dstar_max = 2.0 * std::sin(two_theta_max / 2.0 * kDeg) / std::min(lambda1,
      lambda2 > 0.0 ? lambda2 : lambda1);
  // |h| is at most d*max times the length of the direct axis; the rows of UB^-1 give those.
  Mat3 g = ub_;
  double det = g[0][0] * (g[1][1] * g[2][2] - g[1][2] * g[2][1]) -
               g[0][1] * (g[1][0] * g[2][2] - g[1][2] * g[2][0]) +
               g[0][2] * (g[1][0] * g[2][1] - g[1][1] * g[2][0]);
  std::array<int, 3> range{};
  for (int i = 0; i < 3; ++i) {
    // Row i of the inverse is the cross product of columns j and k divided by det.
    int j = (i + 1) % 3, k = (i + 2) % 3;
    Vec3 cj{g[0][j], g[1][j], g[2][j]}, ck{g[0][k], g[1][k], g[2][k]};
    Vec3 cross{cj[1] * ck[2] - cj[2] * ck[1], cj[2] * ck[0] - cj[0] * ck[2],
               cj[0] * ck[1] - cj[1] * ck[0]};
    double length = std::sqrt(cross[0] * cross[0] + cross[1] * cross[1] + cross[2] * cross[2]);
    range[i] = std::min(static_cast<int>(std::ceil(dstar_max * length / std::fabs(det))), 60);
  }
  for (int h = -range[0]; h <= range[0]; ++h) {
    for (int k = -range[1]; k <= range[1]; ++k) {
      for (int l = -range[2]; l <= range[2]; ++l) {
        if ((h == 0 && k == 0 && l == 0) || absent(model_.lattice, h, k, l)) continue;
        Vec3 x = multiply(ub_, Vec3{double(h), double(k), double(l)});
        double dstar = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
        if (dstar > dstar_max) continue;
        double peak = intensity(h, k, l);
        if (peak <= 0.0) continue;
        for (const Wave& w : waves) {
          double s = dstar * w.lambda / 2.0;
          if (s >= 1.0) continue;
          double tth = 2.0 * std::asin(s) / kDeg;
          if (tth > two_theta_max) continue;
          const double lp = model_.scattering.lorentz_polarisation
                                ? lorentz_polarisation(tth, model_.scattering.monochromator_2theta)
                                : 1.0;
          spots_.push_back({tth, x, peak * w.weight * lp});
        }
      }
    }
  }
  std::sort(spots_.begin(), spots_.end(),
            [](const Spot& a, const Spot& b) { return a.two_theta < b.two_theta; });
}

double Crystal::intensity(int h, int k, int l) const {
  if (absent(model_.lattice, h, k, l)) return 0.0;
  std::array<int, 3> key = canonical({h, k, l}, model_.laue);
  if (auto it = model_.listed.find(key); it != model_.listed.end()) return it->second;
  if (auto it = model_.fsquared.find(key); it != model_.fsquared.end())
    return model_.scale * it->second;
  std::uint64_t packed = (std::uint64_t(std::uint16_t(key[0])) << 48) |
                         (std::uint64_t(std::uint16_t(key[1])) << 32) |
                         (std::uint64_t(std::uint16_t(key[2])) << 16) | model_.structure_seed;
  double u = (double(splitmix(packed) >> 11) + 0.5) / 9007199254740992.0;
  double f2 = std::min(-std::log(u), 6.0);  // Wilson statistics of an acentric structure
  Vec3 x = multiply(ub_, Vec3{double(h), double(k), double(l)});
  double s2 = (x[0] * x[0] + x[1] * x[1] + x[2] * x[2]) / 4.0;  // (sin(theta)/lambda)^2
  return model_.scale * f2 * std::exp(-2.0 * model_.bfactor * s2);
}

double Crystal::rate(const PhysicalSetting& s) const {
  const double tth = std::fabs(s.two_theta);
  double total = model_.background * (1.0 + 4.0 * std::exp(-tth / 6.0));
  if (tth < 0.05) return total;
  const double side = s.two_theta > 0.0 ? 1.0 : -1.0;
  const double window = 3.0 * model_.fwhm_2theta;
  // Chi and phi are common to every reflection; omega depends on each one's Bragg angle,
  // because the crystal diffracts when its orientation to the incident beam is right,
  // whatever the detector does.
  Mat3 chi_phi = goniometer_rotation(0.0, s.chi, s.phi, senses_);
  auto first = std::lower_bound(spots_.begin(), spots_.end(), tth - window,
                                [](const Spot& a, double t) { return a.two_theta < t; });
  for (auto it = first; it != spots_.end() && it->two_theta <= tth + window; ++it) {
    const Vec3 w = multiply(chi_phi, it->x_phi);
    // Omega turns the vector about z and leaves its elevation (the chi deviation) alone.
    const double d_chi = std::atan2(side * w[2], std::hypot(w[0], w[1])) / kDeg;
    if (std::fabs(d_chi) > 3.0 * model_.fwhm_chi) continue;
    const double omega = s.omega_circle - side * it->two_theta / 2.0;
    double d_omega = std::atan2(side * w[1], side * w[0]) / kDeg - senses_[0] * omega;
    d_omega -= 360.0 * std::round(d_omega / 360.0);
    if (std::fabs(d_omega) > 12.0 * model_.fwhm_omega) continue;
    const double q = d_omega / model_.fwhm_omega;
    const double p_omega = model_.eta / (1.0 + 4.0 * q * q) +
                           (1.0 - model_.eta) * gaussian(d_omega, model_.fwhm_omega);
    const double factor = peak_factor(model_.scattering,
                                      goniometer_rotation(omega, s.chi, s.phi, senses_),
                                      it->two_theta / 2.0, side, s.time);
    total += it->peak * factor * p_omega * gaussian(tth - it->two_theta, model_.fwhm_2theta) *
             gaussian(d_chi, model_.fwhm_chi);
  }
  return total;
}

}  // namespace dorvex::sim
