// A crystal built in the test, in double precision and independently of the program's cell
// routines: B as the upper-triangular factor of G* (B^T B = G*), a seeded random rotation U,
// and the exact circle angles of chosen reflections (with optional seeded noise).
#pragma once

#include <array>
#include <cmath>
#include <random>
#include <set>
#include <vector>

#include "common/state.hpp"

namespace refine_test {

using M = std::array<std::array<double, 3>, 3>;
using V = std::array<double, 3>;

constexpr double kRadToDeg = 180.0 / M_PI;

inline M mul(const M& a, const M& b) {
  M c{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) c[i][j] += a[i][k] * b[k][j];
  return c;
}
inline V mul(const M& a, const V& v) {
  V r{};
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) r[i] += a[i][k] * v[k];
  return r;
}
inline double norm(const V& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

inline M inverse(const M& m) {
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  M r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const int i1 = (j + 1) % 3, i2 = (j + 2) % 3, j1 = (i + 1) % 3, j2 = (i + 2) % 3;
      r[i][j] = (m[i1][j1] * m[i2][j2] - m[i1][j2] * m[i2][j1]) / det;
    }
  return r;
}

// Upper-triangular B with B^T B = G* (Cholesky factor), from the direct cell.
inline M b_matrix(const std::array<double, 6>& c) {
  const double ca = std::cos(c[3] / kRadToDeg), cb = std::cos(c[4] / kRadToDeg),
               cg = std::cos(c[5] / kRadToDeg);
  const M g{{{c[0] * c[0], c[0] * c[1] * cg, c[0] * c[2] * cb},
             {c[0] * c[1] * cg, c[1] * c[1], c[1] * c[2] * ca},
             {c[0] * c[2] * cb, c[1] * c[2] * ca, c[2] * c[2]}}};
  const M gs = inverse(g);
  M r{};
  r[0][0] = std::sqrt(gs[0][0]);
  r[0][1] = gs[0][1] / r[0][0];
  r[0][2] = gs[0][2] / r[0][0];
  r[1][1] = std::sqrt(gs[1][1] - r[0][1] * r[0][1]);
  r[1][2] = (gs[1][2] - r[0][1] * r[0][2]) / r[1][1];
  r[2][2] = std::sqrt(gs[2][2] - r[0][2] * r[0][2] - r[1][2] * r[1][2]);
  return r;
}

inline M random_rotation(std::mt19937& rng) {
  std::normal_distribution<double> n(0, 1);
  double q[4];
  double s = 0;
  for (double& x : q) {
    x = n(rng);
    s += x * x;
  }
  for (double& x : q) x /= std::sqrt(s);
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  return M{{{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
            {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
            {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}}};
}

struct Reflection {
  std::array<int, 3> h{};
  std::array<double, 4> angles{};  // 2theta, omega, chi, phi
};

// Exact setting of the vector x (all rotation senses +1): 2theta from |x|, omega chosen,
// then chi and phi so that the first row of the phi-to-laboratory rotation lies along x.
inline std::array<double, 4> setting(const V& x, double lambda, double omega_deg) {
  const double d = norm(x);
  const V u{x[0] / d, x[1] / d, x[2] / d};
  double w = omega_deg / kRadToDeg;
  if (std::fabs(u[2]) > std::cos(w)) w = 0;
  const double sc = u[2] / std::cos(w), cc = std::sqrt(1 - sc * sc);
  const double p = std::cos(w) * cc, q = std::sin(w);
  const double phi = std::atan2(u[1], u[0]) - std::atan2(q, p);
  double phi_deg = phi * kRadToDeg;
  while (phi_deg > 180) phi_deg -= 360;
  while (phi_deg <= -180) phi_deg += 360;
  return {2 * std::asin(lambda * d / 2) * kRadToDeg, w * kRadToDeg, std::asin(sc) * kRadToDeg,
          phi_deg};
}

struct TestCrystal {
  std::array<double, 6> cell{};
  double lambda = 0.71073;
  M B{}, U{}, UB{};

  TestCrystal(const std::array<double, 6>& c, unsigned seed) : cell(c) {
    std::mt19937 rng(seed);
    B = b_matrix(cell);
    U = random_rotation(rng);
    UB = mul(U, B);
  }

  // `count` distinct reflections (no Friedel pairs) with indices up to `index_max` and 2theta
  // in [tth_min, tth_max], with omega offsets up to `omega_max` and Gaussian noise of `sigma`
  // degrees on every angle.
  std::vector<Reflection> reflections(int count, unsigned seed, double sigma = 0,
                                      double tth_min = 10, double tth_max = 40,
                                      double omega_max = 8, int index_max = 8) const {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pick(-index_max, index_max);
    std::uniform_real_distribution<double> om(-omega_max, omega_max);
    std::normal_distribution<double> noise(0, sigma > 0 ? sigma : 1);
    std::set<std::array<int, 3>> seen;
    std::vector<Reflection> out;
    for (int guard = 0; static_cast<int>(out.size()) < count && guard < 100000; ++guard) {
      const std::array<int, 3> h{pick(rng), pick(rng), pick(rng)};
      if (h == std::array<int, 3>{0, 0, 0} || seen.count(h) || seen.count({-h[0], -h[1], -h[2]}))
        continue;
      const V x = mul(UB, V{double(h[0]), double(h[1]), double(h[2])});
      const double tth = 2 * std::asin(std::min(1.0, lambda * norm(x) / 2)) * kRadToDeg;
      if (tth < tth_min || tth > tth_max) continue;
      seen.insert(h);
      Reflection r;
      r.h = h;
      r.angles = setting(x, lambda, om(rng));
      if (sigma > 0)
        for (double& a : r.angles) a += noise(rng);
      out.push_back(r);
    }
    return out;
  }
};

// Puts the reflections into the program's list (use flag 1) and the crystal's wavelength.
inline void load_list(const std::vector<Reflection>& refl, double lambda,
                      bool with_indices = true) {
  dorvex::ProgramState& s = dorvex::S();
  s.crystal.lambda1 = static_cast<float>(lambda);
  s.list.count = static_cast<int>(refl.size());
  for (std::size_t i = 0; i < refl.size(); ++i) {
    dorvex::ReflectionEntry& e = s.list.entry[i];
    e = dorvex::ReflectionEntry{};
    if (with_indices) {
      e.h = static_cast<float>(refl[i].h[0]);
      e.k = static_cast<float>(refl[i].h[1]);
      e.l = static_cast<float>(refl[i].h[2]);
    }
    for (int a = 0; a < 4; ++a)
      e.angles[static_cast<std::size_t>(a)] = static_cast<float>(refl[i].angles[a]);
    e.use = 1;
  }
}

inline dorvex::Mat3 to_mat3(const M& m) {
  dorvex::Mat3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r(i, j) = static_cast<float>(m[i][j]);
  return r;
}

}  // namespace refine_test
