#include "geometry/cell.hpp"

#include <cmath>

#include "common/fields.hpp"   // E field of the determinant message
#include "geometry/matrix.hpp"
#include "geometry/display.hpp"   // DISPLAY_CELL
#include "console/output.hpp"

namespace dorvex {

namespace {

constexpr double kDegree = 57.2958;  // degrees per radian of the cell routines

// Direct metric tensor: G(i,i) = a_i^2, G(i,j) = a_i a_j cos(angle between axes i and j).
Mat3 metric(const Cell& cell) {
  const double a = cell[0], b = cell[1], c = cell[2];
  const double ca = std::cos(cell[3] / kDegree), cb = std::cos(cell[4] / kDegree),
               cg = std::cos(cell[5] / kDegree);
  Mat3 g;
  g(0, 0) = static_cast<float>(a * a);
  g(1, 1) = static_cast<float>(b * b);
  g(2, 2) = static_cast<float>(c * c);
  g(0, 1) = g(1, 0) = static_cast<float>(a * b * cg);
  g(0, 2) = g(2, 0) = static_cast<float>(a * c * cb);
  g(1, 2) = g(2, 1) = static_cast<float>(b * c * ca);
  return g;
}

// A metric tensor describes a cell only when its determinant is positive; one that is zero
// but for rounding (a flat cell, a singular UB) is refused too. Relative to the product of the
// diagonal elements the determinant is (V / abc)^2, far above the bound for any real cell.
bool flat_metric(const Mat3& m, double det) {
  const double diagonal = static_cast<double>(m(0, 0)) * m(1, 1) * m(2, 2);
  return !(det > 0.0) || !(diagonal > 0.0) || det <= 1.0e-8 * diagonal;
}

double degrees_of(double cosine) {
  if (cosine > 1.0) cosine = 1.0;
  if (cosine < -1.0) cosine = -1.0;
  return std::acos(cosine) * kDegree;
}

}  // namespace

void METR(const Cell& cell, Mat3& gstar, float& det) {
  gstar = metric(cell);
  int ierr = 0;
  MINV(gstar.a.data(), 3, 3, det, ierr);
  if (ierr != 0) det = 0.0f;
}

void MAKEB(const Cell& cell, const Mat3& gstar, Mat3& B) {
  const double astar = std::sqrt(std::fmax(0.0, gstar(0, 0)));
  const double bstar = std::sqrt(std::fmax(0.0, gstar(1, 1)));
  const double cstar = std::sqrt(std::fmax(0.0, gstar(2, 2)));
  const double cos_alpha = gstar(1, 2) / (bstar * cstar);
  const double cos_beta = gstar(0, 2) / (astar * cstar);
  const double cos_gamma = gstar(0, 1) / (astar * bstar);
  const double sin_gamma = std::sqrt(std::fmax(0.0, 1.0 - cos_gamma * cos_gamma));
  const double t = (cos_alpha - cos_beta * cos_gamma) / sin_gamma;
  Mat3 m;
  m(0, 0) = static_cast<float>(astar);
  m(0, 1) = static_cast<float>(bstar * cos_gamma);
  m(0, 2) = static_cast<float>(cstar * cos_beta);
  m(1, 1) = static_cast<float>(bstar * sin_gamma);
  m(1, 2) = static_cast<float>(cstar * t);
  // c* sqrt(1 - cos^2 beta* - t^2) is 1/c; the direct length is the better-conditioned form.
  m(2, 2) = static_cast<float>(1.0 / cell[2]);
  B = m;
}

bool CALCB(const Cell& cell, Mat3& B) {
  Mat3 gstar;
  float det = 0.0f;
  METR(cell, gstar, det);
  if (flat_metric(metric(cell), det) || !std::isfinite(det) || cell[2] == 0.0f) {
    WRITE_OUT(" Error in Cell: Determinant of G = " + std::string(trim(E(det, 12, 4))));
    return false;
  }
  MAKEB(cell, gstar, B);
  return true;
}

bool OMTOB(CrystalState& crystal, bool quiet) {
  const Mat3 gstar = LWMATMUL(transpose(crystal.UB), crystal.UB);
  float det = 0.0f;
  int ierr = 0;
  const Mat3 g = MINV3(gstar, det, ierr);
  if (ierr != 0 || flat_metric(gstar, det)) {
    WRITE_OUT(" Invalid Orientation Matrix - Use COM");
    return false;
  }
  const double a = std::sqrt(std::fmax(0.0, g(0, 0)));
  const double b = std::sqrt(std::fmax(0.0, g(1, 1)));
  const double c = std::sqrt(std::fmax(0.0, g(2, 2)));
  Cell cell{};
  cell[0] = static_cast<float>(a);
  cell[1] = static_cast<float>(b);
  cell[2] = static_cast<float>(c);
  cell[3] = static_cast<float>(degrees_of(g(1, 2) / (b * c)));
  cell[4] = static_cast<float>(degrees_of(g(0, 2) / (a * c)));
  cell[5] = static_cast<float>(degrees_of(g(0, 1) / (a * b)));
  crystal.cell = cell;
  crystal.volume = static_cast<float>(1.0 / std::sqrt(static_cast<double>(det)));
  if (!quiet) DISPLAY_CELL();
  Mat3 B;
  if (CALCB(cell, B)) crystal.B = B;
  return true;
}

void RECIP(const std::array<float, 6>& in, float& volume, std::array<float, 6>& out,
           float& inv_volume) {
  const double a = in[0], b = in[1], c = in[2];
  const double ca = in[3], cb = in[4], cg = in[5];
  const double sa = std::sqrt(std::fmax(0.0, 1.0 - ca * ca));
  const double sb = std::sqrt(std::fmax(0.0, 1.0 - cb * cb));
  const double sg = std::sqrt(std::fmax(0.0, 1.0 - cg * cg));
  const double v =
      a * b * c * std::sqrt(std::fmax(0.0, 1.0 - ca * ca - cb * cb - cg * cg + 2.0 * ca * cb * cg));
  volume = static_cast<float>(v);
  inv_volume = v > 0.0 ? static_cast<float>(1.0 / v) : 0.0f;
  if (!(v > 0.0) || sa == 0.0 || sb == 0.0 || sg == 0.0) {
    out = {};
    return;
  }
  out[0] = static_cast<float>(b * c * sa / v);
  out[1] = static_cast<float>(c * a * sb / v);
  out[2] = static_cast<float>(a * b * sg / v);
  out[3] = static_cast<float>((cb * cg - ca) / (sb * sg));
  out[4] = static_cast<float>((cg * ca - cb) / (sg * sa));
  out[5] = static_cast<float>((ca * cb - cg) / (sa * sb));
}

void PARAMS(const Mat3& M, Cell& cell, float& volume) {
  const Mat3 gstar = LWMATMUL(transpose(M), M);
  std::array<float, 6> reciprocal{};
  for (int i = 0; i < 3; ++i)
    reciprocal[static_cast<std::size_t>(i)] = std::sqrt(std::fmax(0.0f, gstar(i, i)));
  auto cosine = [&](int i, int j) {
    const float den =
        reciprocal[static_cast<std::size_t>(i)] * reciprocal[static_cast<std::size_t>(j)];
    return den > 0.0f ? gstar(i, j) / den : 0.0f;
  };
  reciprocal[3] = cosine(1, 2);
  reciprocal[4] = cosine(0, 2);
  reciprocal[5] = cosine(0, 1);
  std::array<float, 6> direct{};
  float reciprocal_volume = 0.0f, inv = 0.0f;
  RECIP(reciprocal, reciprocal_volume, direct, inv);
  volume = inv;  // the volume of the direct cell is the inverse of the reciprocal volume
  for (int i = 0; i < 3; ++i)
    cell[static_cast<std::size_t>(i)] = direct[static_cast<std::size_t>(i)];
  for (int i = 3; i < 6; ++i) {
    const double cs = direct[static_cast<std::size_t>(i)];
    cell[static_cast<std::size_t>(i)] =
        static_cast<float>(std::atan2(std::sqrt(std::fmax(0.0, 1.0 - cs * cs)), cs) * kDegree);
  }
}

}  // namespace dorvex
