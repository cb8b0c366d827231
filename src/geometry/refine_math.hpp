// Double-precision 3x3 kit and the used-reflection set shared by the refinement, indexing and
// transformation routines. The program-wide records keep 32-bit values; these routines widen
// them on entry so that sums over up to 60 reflections and the numerical derivatives of the
// cell keep their accuracy, and narrow the results when they are stored.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "common/state.hpp"

namespace dorvex::refine {

using V3 = std::array<double, 3>;
// Row-major 3x3: m[i][j] is row i, column j (0-based).
using M3 = std::array<std::array<double, 3>, 3>;

constexpr double kDegree = 57.2958;  // degrees per radian, as in the cell routines

inline M3 widen(const Mat3& m) {
  M3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i][j] = m(i, j);
  return r;
}

inline Mat3 narrow(const M3& m) {
  Mat3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r(i, j) = static_cast<float>(m[i][j]);
  return r;
}

inline M3 mul(const M3& a, const M3& b) {
  M3 c{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) c[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
  return c;
}

inline V3 mul(const M3& m, const V3& v) {
  return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2],
          m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
          m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

inline M3 transposed(const M3& m) {
  M3 t{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) t[i][j] = m[j][i];
  return t;
}

inline double dot3(const V3& a, const V3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline double norm3(const V3& a) { return std::sqrt(dot3(a, a)); }
inline V3 cross3(const V3& a, const V3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

inline double det3(const M3& m) {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
         m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

// Inverse by cofactors; the caller tests the determinant first.
inline M3 inverse3(const M3& m, double det) {
  M3 r{};
  r[0][0] = (m[1][1] * m[2][2] - m[1][2] * m[2][1]) / det;
  r[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det;
  r[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det;
  r[1][0] = (m[1][2] * m[2][0] - m[1][0] * m[2][2]) / det;
  r[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det;
  r[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det;
  r[2][0] = (m[1][0] * m[2][1] - m[1][1] * m[2][0]) / det;
  r[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / det;
  r[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det;
  return r;
}

// Direct cell (a, b, c, alpha, beta, gamma in degrees) and volume from a reciprocal metric
// G* = UB^T UB. Returns false when G* is not positive definite.
struct CellAndVolume {
  std::array<double, 6> cell{};
  double volume = 0;
};
inline bool cell_from_gstar(const M3& gstar, CellAndVolume& out) {
  const double dg = det3(gstar);
  if (!(dg > 0)) return false;
  const M3 g = inverse3(gstar, dg);
  if (!(g[0][0] > 0 && g[1][1] > 0 && g[2][2] > 0)) return false;
  const double a = std::sqrt(g[0][0]), b = std::sqrt(g[1][1]), c = std::sqrt(g[2][2]);
  auto angle = [](double cosine) { return std::acos(std::clamp(cosine, -1.0, 1.0)) * kDegree; };
  out.cell = {
      a, b, c, angle(g[1][2] / (b * c)), angle(g[0][2] / (a * c)), angle(g[0][1] / (a * b))};
  out.volume = 1.0 / std::sqrt(dg);
  return true;
}

inline M3 gstar_of(const M3& ub) { return mul(transposed(ub), ub); }

// Volume of a direct cell from its lengths and angles (degrees).
inline double cell_volume(const std::array<double, 6>& c) {
  const double ca = std::cos(c[3] / kDegree), cb = std::cos(c[4] / kDegree),
               cg = std::cos(c[5] / kDegree);
  const double s = 1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg;
  return c[0] * c[1] * c[2] * std::sqrt(std::max(s, 0.0));
}

}  // namespace dorvex::refine
