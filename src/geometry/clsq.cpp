#include "geometry/clsq.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "common/fields.hpp"
#include "geometry/angles.hpp"  // Geometry
#include "geometry/cell.hpp"    // PARAMS
#include "geometry/lsq.hpp"     // collect_used
#include "geometry/matrix.hpp"  // MINV8
#include "geometry/display.hpp"    // DISPLAY_CELL, DISPLAY_CELL_ESD
#include "console/output.hpp"

namespace dorvex {

using refine::M3;
using refine::V3;

namespace {

constexpr double kDerivativeStep = 0.0005;

// Index of M(i, j) (1-based) among the nine parameters, taken row by row.
constexpr int P(int i, int j) { return 3 * (i - 1) + (j - 1); }

// Reciprocal cell of a reciprocal metric; false when the metric has a non-positive diagonal.
bool reciprocal_cell(const M3& gs, ReciprocalCell& rc) {
  if (!(gs[0][0] > 0 && gs[1][1] > 0 && gs[2][2] > 0)) return false;
  const double as = std::sqrt(gs[0][0]), bs = std::sqrt(gs[1][1]), cs = std::sqrt(gs[2][2]);
  rc = {as, bs, cs, gs[1][2] / (bs * cs), gs[0][2] / (as * cs), gs[0][1] / (as * bs)};
  return true;
}

// Imposes the exact relations of the system on a direct cell. The constraint rows hold the
// symmetry to first order in the correction matrix; the second-order remainder (of the order
// of the squared misfit) is removed here so that equal axes and fixed angles come out exact.
void symmetrise(int system, std::array<double, 6>& c) {
  switch (system) {
    case CLSQ_MONOCLINIC_B: c[3] = c[5] = 90; break;
    case CLSQ_MONOCLINIC_C: c[3] = c[4] = 90; break;
    case CLSQ_ORTHORHOMBIC: c[3] = c[4] = c[5] = 90; break;
    case CLSQ_TETRAGONAL:
      c[0] = c[1] = (c[0] + c[1]) / 2;
      c[3] = c[4] = c[5] = 90;
      break;
    case CLSQ_HEXAGONAL:
    case CLSQ_RHOMBOHEDRAL:
      c[0] = c[1] = (c[0] + c[1]) / 2;
      c[3] = c[4] = 90;
      c[5] = 120;
      break;
    case CLSQ_CUBIC:
      c[0] = c[1] = c[2] = (c[0] + c[1] + c[2]) / 3;
      c[3] = c[4] = c[5] = 90;
      break;
    default: break;
  }
}

// Rhombohedral cell (obverse setting) from the hexagonal a and c: a_r = sqrt(3a^2 + c^2)/3,
// sin(alpha/2) = 3a / (2 sqrt(3a^2 + c^2)); the primitive volume is a third of the hexagonal.
void hexagonal_to_rhombohedral(std::array<double, 6>& c, double& volume) {
  const double root = std::sqrt(3 * c[0] * c[0] + c[2] * c[2]);
  const double ar = root / 3;
  const double alpha = 2 * std::asin(std::min(1.0, 3 * c[0] / (2 * root))) * refine::kDegree;
  c = {ar, ar, ar, alpha, alpha, alpha};
  volume /= 3;
}

// The reported quantities as a function of the correction matrix: a, b, c, the cosines of the
// three angles and the volume, after the system's relations (and the rhombohedral conversion).
bool reported(int system, const M3& ub1, const std::array<double, 9>& x,
              std::array<double, 7>& out) {
  M3 m{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[i][j] = x[static_cast<std::size_t>(3 * i + j)];
  refine::CellAndVolume cv;
  if (!refine::cell_from_gstar(refine::gstar_of(refine::mul(ub1, m)), cv)) return false;
  symmetrise(system, cv.cell);
  double volume = refine::cell_volume(cv.cell);
  if (system == CLSQ_RHOMBOHEDRAL) hexagonal_to_rhombohedral(cv.cell, volume);
  for (int p = 0; p < 3; ++p) {
    out[p] = cv.cell[p];
    out[p + 3] = std::cos(cv.cell[p + 3] / refine::kDegree);
  }
  out[6] = volume;
  return true;
}

bool invert_hh(const M3& hh, M3& hinv, double& det) {
  std::array<double, 9> work{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) work[static_cast<std::size_t>(i + 3 * j)] = hh[i][j];
  int ierr = 0;
  MINV8(work.data(), 3, 3, det, ierr);
  if (ierr != 0) return false;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) hinv[i][j] = work[static_cast<std::size_t>(i + 3 * j)];
  return true;
}

}  // namespace

M3 BCALC(const ReciprocalCell& rc) {
  const double sin_gamma = std::sqrt(std::max(0.0, 1 - rc[5] * rc[5]));
  const double t = sin_gamma > 0 ? (rc[3] - rc[4] * rc[5]) / sin_gamma : 0.0;
  M3 b{};
  b[0][0] = rc[0];
  b[0][1] = rc[1] * rc[5];
  b[0][2] = rc[2] * rc[4];
  b[1][1] = rc[1] * sin_gamma;
  b[1][2] = rc[2] * t;
  b[2][2] = rc[2] * std::sqrt(std::max(0.0, 1 - rc[4] * rc[4] - t * t));
  return b;
}

std::vector<std::array<double, 9>> CONSTR(int system, const ReciprocalCell& rc) {
  const double as = rc[0], bs = rc[1], cs = rc[2], cb = rc[4], cg = rc[5];
  auto row = [&](int r) {
    std::array<double, 9> c{};
    switch (r) {
      case 1:  // gamma* = 90
        c[P(1, 2)] = as / bs;
        c[P(2, 1)] = bs / as;
        break;
      case 2:  // beta* = 90
        c[P(1, 3)] = as / cs;
        c[P(3, 1)] = cs / as;
        break;
      case 3:  // alpha* = 90
        c[P(2, 3)] = bs / cs;
        c[P(3, 2)] = cs / bs;
        break;
      case 4:  // a* = b* (orthogonal axes)
        c[P(1, 1)] = 1;
        c[P(2, 2)] = -1;
        break;
      case 5:  // a* = c*
        c[P(1, 1)] = 1;
        c[P(3, 3)] = -1;
        break;
      case 6:  // a* = b* with gamma* = 60
        c[P(1, 1)] = 1;
        c[P(2, 1)] = 1;
        c[P(2, 2)] = -1;
        break;
      case 7:  // beta* = 90 with gamma* free
        c[P(3, 1)] = cs / as;
        c[P(1, 3)] = as / cs;
        c[P(2, 3)] = bs * cg / cs;
        break;
      case 8:  // alpha* = 90 with gamma* free
        c[P(3, 1)] = -cs * cg / as;
        c[P(3, 2)] = cs / bs;
        c[P(2, 3)] = (1 - cg * cg) * bs / cs;
        break;
      case 9:  // alpha* = 90 with beta* free
        c[P(2, 3)] = bs / cs;
        c[P(3, 2)] = cs / bs;
        c[P(1, 2)] = as * cb / bs;
        break;
      case 10:  // gamma* = 90 with beta* free
        c[P(2, 3)] = -bs * cb / cs;
        c[P(2, 1)] = bs / as;
        c[P(1, 2)] = (1 - cb * cb) * as / bs;
        break;
      default: break;
    }
    return c;
  };
  std::vector<int> rows;
  switch (system) {
    case CLSQ_MONOCLINIC_B: rows = {9, 10}; break;
    case CLSQ_MONOCLINIC_C: rows = {7, 8}; break;
    case CLSQ_ORTHORHOMBIC: rows = {1, 2, 3}; break;
    case CLSQ_TETRAGONAL: rows = {4, 1, 2, 3}; break;
    case CLSQ_HEXAGONAL:
    case CLSQ_RHOMBOHEDRAL: rows = {6, 1, 7, 8}; break;
    case CLSQ_CUBIC: rows = {4, 5, 1, 2, 3}; break;
    default: break;
  }
  std::vector<std::array<double, 9>> out;
  for (int r : rows) out.push_back(row(r));
  return out;
}

int MXLNEQ(std::vector<double>& a, int n, std::vector<double>& b, int m) {
  auto A = [&](int i, int j) -> double& { return a[static_cast<std::size_t>(i * n + j)]; };
  auto Bm = [&](int i, int j) -> double& { return b[static_cast<std::size_t>(i * m + j)]; };
  std::vector<int> used(static_cast<std::size_t>(n), 0), row_of(static_cast<std::size_t>(n)),
      col_of(static_cast<std::size_t>(n));
  for (int step = 0; step < n; ++step) {
    double big = 0;
    int prow = -1, pcol = -1;
    for (int i = 0; i < n; ++i) {
      if (used[static_cast<std::size_t>(i)]) continue;
      for (int j = 0; j < n; ++j)
        if (!used[static_cast<std::size_t>(j)] && std::fabs(A(i, j)) > big) {
          big = std::fabs(A(i, j));
          prow = i;
          pcol = j;
        }
    }
    if (big < 1.0e-6) return step;
    used[static_cast<std::size_t>(pcol)] = 1;
    if (prow != pcol) {
      for (int j = 0; j < n; ++j) std::swap(A(prow, j), A(pcol, j));
      for (int j = 0; j < m; ++j) std::swap(Bm(prow, j), Bm(pcol, j));
    }
    row_of[static_cast<std::size_t>(step)] = prow;
    col_of[static_cast<std::size_t>(step)] = pcol;
    const double inv = 1.0 / A(pcol, pcol);
    A(pcol, pcol) = 1.0;
    for (int j = 0; j < n; ++j) A(pcol, j) *= inv;
    for (int j = 0; j < m; ++j) Bm(pcol, j) *= inv;
    for (int i = 0; i < n; ++i) {
      if (i == pcol) continue;
      const double f = A(i, pcol);
      if (f == 0) continue;
      A(i, pcol) = 0.0;
      for (int j = 0; j < n; ++j) A(i, j) -= A(pcol, j) * f;
      for (int j = 0; j < m; ++j) Bm(i, j) -= Bm(pcol, j) * f;
    }
  }
  // Undo the column interchanges of the inverse in reverse order.
  for (int step = n - 1; step >= 0; --step) {
    const int r = row_of[static_cast<std::size_t>(step)],
              c = col_of[static_cast<std::size_t>(step)];
    if (r != c)
      for (int i = 0; i < n; ++i) std::swap(A(i, r), A(i, c));
  }
  return n;
}

int LSVEC(int system, CrystalState& crystal, const ReflectionList& list,
          const MachineProfile& profile, const DeviceSettings& device) {
  const Geometry g{crystal, profile, device};
  std::vector<UsedReflection> used = collect_used(list, g);
  const int nr = static_cast<int>(used.size());
  // Rhombohedral indices go to the hexagonal (obverse) setting; the list's own indices are
  // kept for the table.
  std::vector<std::array<int, 3>> listed;
  for (UsedReflection& r : used) {
    listed.push_back(r.h);
    if (system == CLSQ_RHOMBOHEDRAL) {
      const int h = r.h[0], k = r.h[1], l = r.h[2];
      r.h = {h - k, k - l, h + k + l};
    }
  }
  if (nr < 3) {
    WRITE_OUT("Too Few Reflections with use flags set for Least Squares");
    return 1;
  }

  M3 xh{}, hh{};
  for (const UsedReflection& r : used)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        xh[i][j] += r.x[i] * r.h[j];
        hh[i][j] += static_cast<double>(r.h[i]) * r.h[j];
      }
  M3 hinv{};
  double det = 0;
  if (!invert_hh(hh, hinv, det)) {
    WRITE_OUT("The usual cause is that your reflections are all co-planar");
    return 1;
  }
  if (det < 1.0e-6) {
    WRITE_OUT("Matrix is Singular");
    return 1;
  }

  // Unconstrained start: UB0 = U B0 with B0 the Cholesky factor of its metric, so U is a rotation.
  const M3 ub0 = refine::mul(xh, hinv);
  ReciprocalCell rc0;
  if (!reciprocal_cell(refine::gstar_of(ub0), rc0)) {
    WRITE_OUT("Matrix is Singular");
    return 1;
  }
  const M3 b0m = BCALC(rc0);
  const double det_b0 = refine::det3(b0m);
  if (!(std::fabs(det_b0) > 0)) {
    WRITE_OUT("Matrix is Singular");
    return 1;
  }
  const M3 u = refine::mul(ub0, refine::inverse3(b0m, det_b0));

  // Constrained starting cell.
  ReciprocalCell rc1 = rc0;
  rc1[3] = 0;
  switch (system) {
    case CLSQ_MONOCLINIC_B: rc1[5] = 0; break;
    case CLSQ_MONOCLINIC_C: rc1[4] = 0; break;
    case CLSQ_ORTHORHOMBIC: rc1[4] = rc1[5] = 0; break;
    case CLSQ_TETRAGONAL:
      rc1[0] = rc1[1] = std::sqrt(rc0[0] * rc0[1]);
      rc1[4] = rc1[5] = 0;
      break;
    case CLSQ_HEXAGONAL:
    case CLSQ_RHOMBOHEDRAL:
      rc1[0] = rc1[1] = std::sqrt(rc0[0] * rc0[1]);
      rc1[4] = 0;
      rc1[5] = 0.5;
      break;
    case CLSQ_CUBIC:
      rc1[0] = rc1[1] = rc1[2] = std::cbrt(rc0[0] * rc0[1] * rc0[2]);
      rc1[4] = rc1[5] = 0;
      break;
    default: break;
  }
  const M3 ub1 = refine::mul(u, BCALC(rc1));
  const double det_ub1 = refine::det3(ub1);
  // UB1 is a rotation times B1, so |det| equals the product of the column lengths times the
  // sine factors of the cell; the test is made on that ratio so that large cells (small
  // determinants) are not taken for singular ones.
  double column_product = 1;
  for (int j = 0; j < 3; ++j)
    column_product *=
        std::sqrt(ub1[0][j] * ub1[0][j] + ub1[1][j] * ub1[1][j] + ub1[2][j] * ub1[2][j]);
  if (!(column_product > 0) || std::fabs(det_ub1) <= 1.0e-5 * column_product) {
    WRITE_OUT("Normal Equations Matrix is Singular.");
    return 1;
  }
  const M3 ub1_inv = refine::inverse3(ub1, det_ub1);

  // Bordered normal equations: three copies of HH on the diagonal, one per row of M, then the
  // constraint rows with their Lagrange multipliers.
  const std::vector<std::array<double, 9>> constraints = CONSTR(system, rc1);
  const int nc = static_cast<int>(constraints.size());
  const int n = 9 + nc;
  std::vector<double> a(static_cast<std::size_t>(n * n), 0.0),
      rhs(static_cast<std::size_t>(n), 0.0);
  auto A = [&](int i, int j) -> double& { return a[static_cast<std::size_t>(i * n + j)]; };
  for (int blk = 0; blk < 3; ++blk)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) A(3 * blk + i, 3 * blk + j) = hh[i][j];
  for (const UsedReflection& r : used) {
    const V3 y = refine::mul(ub1_inv, r.x);
    for (int row = 0; row < 3; ++row)
      for (int j = 0; j < 3; ++j) rhs[static_cast<std::size_t>(3 * row + j)] += y[row] * r.h[j];
  }
  for (int c = 0; c < nc; ++c)
    for (int p = 0; p < 9; ++p) {
      A(9 + c, p) = constraints[static_cast<std::size_t>(c)][static_cast<std::size_t>(p)];
      A(p, 9 + c) = constraints[static_cast<std::size_t>(c)][static_cast<std::size_t>(p)];
    }
  if (MXLNEQ(a, n, rhs, 1) < n) {
    WRITE_OUT("Normal Equations Matrix is Singular.");
    return 1;
  }
  std::array<double, 9> x{};
  for (int p = 0; p < 9; ++p) x[static_cast<std::size_t>(p)] = rhs[static_cast<std::size_t>(p)];
  M3 mcorr{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) mcorr[i][j] = x[static_cast<std::size_t>(3 * i + j)];
  const M3 ubr = refine::mul(ub1, mcorr);

  // Table of the constrained fit.
  WRITE_OUT("Results for Constrained Refinement");
  WRITE_OUT("                     OBS     CAL             Vector Deltas");
  WRITE_OUT("   N   h   k   l     2TH     2TH     Del X     Del Y     Del Z      Length");
  // Residual sums of the fitted quantities, UB1^-1 x - M h (index units), one per row of M.
  V3 ss{};
  const double lambda = crystal.lambda1;
  for (std::size_t r = 0; r < used.size(); ++r) {
    const UsedReflection& e = used[r];
    const V3 hc = refine::mul(ubr, V3{double(e.h[0]), double(e.h[1]), double(e.h[2])});
    const V3 d{e.x[0] - hc[0], e.x[1] - hc[1], e.x[2] - hc[2]};
    const double len2 = refine::dot3(d, d);
    const V3 y = refine::mul(ub1_inv, e.x);
    const V3 mh = refine::mul(mcorr, V3{double(e.h[0]), double(e.h[1]), double(e.h[2])});
    for (int i = 0; i < 3; ++i) ss[i] += (y[i] - mh[i]) * (y[i] - mh[i]);
    const double tthc =
        2 * std::asin(std::min(1.0, refine::norm3(hc) * lambda / 2)) * refine::kDegree;
    // Columns: list number and h k l 4I4, 2theta observed and calculated 2F8.3, the delta
    // vector 3F10.5, 2X, its length F10.5.
    WRITE_OUT(I(e.number, 4) + I(listed[r][0], 4) + I(listed[r][1], 4) + I(listed[r][2], 4) +
              F(e.angles[0], 8, 3) + F(tthc, 8, 3) + F(d[0], 10, 5) + F(d[1], 10, 5) +
              F(d[2], 10, 5) + "  " + F(std::sqrt(len2), 10, 5));
  }
  WRITE_OUT("     " + I(nr, 3) + " Reflections used ");

  // Refined cell: PARAMS of the refined matrix, then the exact relations of the system.
  Cell pcell{};
  float pvolume = 0;
  PARAMS(refine::narrow(ubr), pcell, pvolume);
  std::array<double, 6> cell{};
  for (int p = 0; p < 6; ++p)
    cell[static_cast<std::size_t>(p)] = pcell[static_cast<std::size_t>(p)];
  symmetrise(system, cell);
  double volume = refine::cell_volume(cell);
  if (system == CLSQ_RHOMBOHEDRAL) hexagonal_to_rhombohedral(cell, volume);
  for (int p = 0; p < 6; ++p)
    crystal.cell[static_cast<std::size_t>(p)] =
        static_cast<float>(cell[static_cast<std::size_t>(p)]);
  crystal.volume = static_cast<float>(volume);
  DISPLAY_CELL();

  // Standard deviations: numerical derivatives of the reported quantities with respect to the
  // nine elements of M, through the covariance of M. Row i of M fits component i of UB1^-1 x,
  // whose error grows with the length of direct axis i, so each row gets the variance of its
  // own residuals (as LSQ gives each row of UB its own); the covariance is then P W P, with P
  // the parameter block of the inverse bordered matrix and W = diag(s_i^2 HH), which reduces
  // to s^2 P when the three variances are equal. The degrees of freedom, 3 n_r - (9 - c), are
  // shared equally among the rows.
  const double freedom = (3.0 * nr - (9 - nc)) / 3.0;
  V3 s2{};
  for (int i = 0; i < 3; ++i) s2[i] = freedom > 0 ? ss[i] / freedom : 0.0;
  std::array<std::array<double, 9>, 9> pw{};  // P W
  for (int p1 = 0; p1 < 9; ++p1)
    for (int p2 = 0; p2 < 9; ++p2)
      for (int j = 0; j < 3; ++j)
        pw[p1][p2] += A(p1, 3 * (p2 / 3) + j) * s2[p2 / 3] * hh[j][p2 % 3];
  std::array<std::array<double, 9>, 9> cov{};  // P W P
  for (int p1 = 0; p1 < 9; ++p1)
    for (int p2 = 0; p2 < 9; ++p2)
      for (int k = 0; k < 9; ++k) cov[p1][p2] += pw[p1][k] * A(k, p2);
  std::array<std::array<double, 7>, 9> deriv{};
  bool derivatives_ok = true;
  for (int p = 0; p < 9 && derivatives_ok; ++p) {
    std::array<double, 9> up = x, down = x;
    up[static_cast<std::size_t>(p)] += kDerivativeStep;
    down[static_cast<std::size_t>(p)] -= kDerivativeStep;
    std::array<double, 7> fu{}, fd{};
    derivatives_ok = reported(system, ub1, up, fu) && reported(system, ub1, down, fd);
    for (int q = 0; q < 7; ++q)
      deriv[static_cast<std::size_t>(p)][static_cast<std::size_t>(q)] =
          (fu[static_cast<std::size_t>(q)] - fd[static_cast<std::size_t>(q)]) /
          (2 * kDerivativeStep);
  }
  std::array<double, 7> var{};
  if (derivatives_ok)
    for (int q = 0; q < 7; ++q)
      for (int p1 = 0; p1 < 9; ++p1)
        for (int p2 = 0; p2 < 9; ++p2)
          var[static_cast<std::size_t>(q)] +=
              deriv[static_cast<std::size_t>(p1)][static_cast<std::size_t>(q)] *
              cov[static_cast<std::size_t>(p1)][static_cast<std::size_t>(p2)] *
              deriv[static_cast<std::size_t>(p2)][static_cast<std::size_t>(q)];
  for (int p = 0; p < 3; ++p)
    crystal.cell_esd[static_cast<std::size_t>(p)] =
        static_cast<float>(std::sqrt(std::max(0.0, var[static_cast<std::size_t>(p)])));
  for (int p = 3; p < 6; ++p) {
    // From the deviation of the cosine to that of the angle, in degrees.
    const double sine = std::sin(cell[static_cast<std::size_t>(p)] / refine::kDegree);
    const double sd_cos = std::sqrt(std::max(0.0, var[static_cast<std::size_t>(p)]));
    crystal.cell_esd[static_cast<std::size_t>(p)] =
        static_cast<float>(sine > 1.0e-6 ? sd_cos / sine * refine::kDegree : 0.0);
  }
  crystal.volume_esd = static_cast<float>(std::sqrt(std::max(0.0, var[6])));
  DISPLAY_CELL_ESD();
  return 0;
}

}  // namespace dorvex
