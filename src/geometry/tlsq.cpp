#include "geometry/tlsq.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "common/fields.hpp"
#include "geometry/matrix.hpp"  // MINV8
#include "console/output.hpp"

namespace dorvex {

namespace {

// The degree conversion of this module: pi as the 32-bit value 3.1415927.
constexpr double kPi = 3.1415927;
constexpr double kRad = kPi / 180.0;

struct TthReflection {
  int number = 0;
  double tth = 0;  // observed 2theta, degrees
  std::array<int, 3> h{};
  double d_obs = 0;
  double q_obs = 0;
};

// Full parameter vector: a*, b*, c* (1/A) and alpha*, beta*, gamma* (degrees).
using Params = std::array<double, 6>;
// The refined quantities of a system, each a group of parameters that move together.
using Groups = std::vector<std::vector<int>>;

Groups groups_of(int system) {
  switch (system) {
    case TLSQ_TRICLINIC: return {{0}, {1}, {2}, {3}, {4}, {5}};
    case TLSQ_MONOCLINIC_B: return {{0}, {1}, {2}, {4}};
    case TLSQ_MONOCLINIC_C: return {{0}, {1}, {2}, {5}};
    case TLSQ_ORTHORHOMBIC: return {{0}, {1}, {2}};
    case TLSQ_TETRAGONAL:
    case TLSQ_HEXAGONAL: return {{0, 1}, {2}};
    default: return {{0, 1, 2}};
  }
}

// Q = h^T G* h and its derivatives with respect to the six parameters (angles per radian).
double QCALC(const Params& p, const std::array<int, 3>& hi, std::array<double, 6>* dq) {
  const double h = hi[0], k = hi[1], l = hi[2];
  const double as = p[0], bs = p[1], cs = p[2];
  const double ca = std::cos(p[3] * kRad), cb = std::cos(p[4] * kRad), cg = std::cos(p[5] * kRad);
  const double q = as * as * h * h + bs * bs * k * k + cs * cs * l * l + 2 * h * k * as * bs * cg +
                   2 * h * l * as * cs * cb + 2 * k * l * bs * cs * ca;
  if (dq) {
    (*dq)[0] = 2 * as * h * h + 2 * h * k * bs * cg + 2 * h * l * cs * cb;
    (*dq)[1] = 2 * bs * k * k + 2 * h * k * as * cg + 2 * k * l * cs * ca;
    (*dq)[2] = 2 * cs * l * l + 2 * h * l * as * cb + 2 * k * l * bs * ca;
    (*dq)[3] = -2 * k * l * bs * cs * std::sin(p[3] * kRad);
    (*dq)[4] = -2 * h * l * as * cs * std::sin(p[4] * kRad);
    (*dq)[5] = -2 * h * k * as * bs * std::sin(p[5] * kRad);
  }
  return q;
}

// Inverts the n x n symmetric matrix (row-major) in place with the double-precision inversion.
bool invert(std::vector<double>& a, int n) {
  double det = 0;
  int ierr = 0;
  MINV8(a.data(), n, n, det, ierr);  // symmetric: the storage order does not matter
  return ierr == 0;
}

// Linear starting estimate: Q_obs against the design columns of the system, expanded to the
// six metric components and converted to the reciprocal cell.
bool ESTIMATE(int system, const std::vector<TthReflection>& refl, Params& p) {
  auto columns = [system](const std::array<int, 3>& hi) {
    const double h = hi[0], k = hi[1], l = hi[2];
    switch (system) {
      case TLSQ_TRICLINIC:
        return std::vector<double>{h * h, k * k, l * l, 2 * h * k, 2 * h * l, 2 * k * l};
      case TLSQ_MONOCLINIC_B: return std::vector<double>{h * h, k * k, l * l, 2 * h * l};
      case TLSQ_MONOCLINIC_C: return std::vector<double>{h * h, k * k, l * l, 2 * h * k};
      case TLSQ_ORTHORHOMBIC: return std::vector<double>{h * h, k * k, l * l};
      case TLSQ_TETRAGONAL: return std::vector<double>{h * h + k * k, l * l};
      case TLSQ_HEXAGONAL: return std::vector<double>{h * h + k * k + h * k, l * l};
      default: return std::vector<double>{h * h + k * k + l * l};
    }
  };
  const int n = static_cast<int>(columns({0, 0, 0}).size());
  std::vector<double> nm(static_cast<std::size_t>(n * n), 0.0),
      rhs(static_cast<std::size_t>(n), 0.0);
  for (const TthReflection& r : refl) {
    const std::vector<double> c = columns(r.h);
    for (int i = 0; i < n; ++i) {
      rhs[static_cast<std::size_t>(i)] += c[static_cast<std::size_t>(i)] * r.q_obs;
      for (int j = 0; j < n; ++j)
        nm[static_cast<std::size_t>(i * n + j)] +=
            c[static_cast<std::size_t>(i)] * c[static_cast<std::size_t>(j)];
    }
  }
  if (!invert(nm, n)) return false;
  std::vector<double> x(static_cast<std::size_t>(n), 0.0);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      x[static_cast<std::size_t>(i)] +=
          nm[static_cast<std::size_t>(i * n + j)] * rhs[static_cast<std::size_t>(j)];
  // Metric components g11, g22, g33, g12, g13, g23.
  std::array<double, 6> g{};
  switch (system) {
    case TLSQ_TRICLINIC: g = {x[0], x[1], x[2], x[3], x[4], x[5]}; break;
    case TLSQ_MONOCLINIC_B: g = {x[0], x[1], x[2], 0, x[3], 0}; break;
    case TLSQ_MONOCLINIC_C: g = {x[0], x[1], x[2], x[3], 0, 0}; break;
    case TLSQ_ORTHORHOMBIC: g = {x[0], x[1], x[2], 0, 0, 0}; break;
    case TLSQ_TETRAGONAL: g = {x[0], x[0], x[1], 0, 0, 0}; break;
    case TLSQ_HEXAGONAL: g = {x[0], x[0], x[1], x[0] / 2, 0, 0}; break;
    default: g = {x[0], x[0], x[0], 0, 0, 0}; break;
  }
  if (!(g[0] > 0 && g[1] > 0 && g[2] > 0)) return false;
  p[0] = std::sqrt(g[0]);
  p[1] = std::sqrt(g[1]);
  p[2] = std::sqrt(g[2]);
  auto angle = [](double cosine) { return std::acos(std::clamp(cosine, -1.0, 1.0)) / kRad; };
  p[3] = angle(g[5] / (p[1] * p[2]));
  p[4] = angle(g[4] / (p[0] * p[2]));
  p[5] = angle(g[3] / (p[0] * p[1]));
  return true;
}

// Normal matrix (row-major, per radian for angles) and right-hand side at parameters p.
void normal_equations(const Groups& groups, const std::vector<TthReflection>& refl, const Params& p,
                      std::vector<double>& nm, std::vector<double>& rhs, double& ssq) {
  const int n = static_cast<int>(groups.size());
  nm.assign(static_cast<std::size_t>(n * n), 0.0);
  rhs.assign(static_cast<std::size_t>(n), 0.0);
  ssq = 0;
  std::vector<double> d(static_cast<std::size_t>(n));
  for (const TthReflection& r : refl) {
    std::array<double, 6> dq{};
    const double resid = r.q_obs - QCALC(p, r.h, &dq);
    ssq += resid * resid;
    for (int g = 0; g < n; ++g) {
      d[static_cast<std::size_t>(g)] = 0;
      for (int member : groups[static_cast<std::size_t>(g)])
        d[static_cast<std::size_t>(g)] += dq[static_cast<std::size_t>(member)];
    }
    for (int i = 0; i < n; ++i) {
      rhs[static_cast<std::size_t>(i)] += d[static_cast<std::size_t>(i)] * resid;
      for (int j = 0; j < n; ++j)
        nm[static_cast<std::size_t>(i * n + j)] +=
            d[static_cast<std::size_t>(i)] * d[static_cast<std::size_t>(j)];
    }
  }
}

// Gauss-Newton refinement of the reciprocal cell; false on singular normal equations.
bool NONLIN(const Groups& groups, const std::vector<TthReflection>& refl, Params& p, int& cycles,
            bool& converged) {
  const int n = static_cast<int>(groups.size());
  std::vector<double> nm, rhs;
  double ssq = 0;
  cycles = 0;
  converged = false;
  for (int cycle = 0; cycle < 50; ++cycle) {
    normal_equations(groups, refl, p, nm, rhs, ssq);
    if (!invert(nm, n)) return false;
    ++cycles;
    std::vector<double> shift(static_cast<std::size_t>(n), 0.0);
    bool small = true;
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j)
        shift[static_cast<std::size_t>(i)] +=
            nm[static_cast<std::size_t>(i * n + j)] * rhs[static_cast<std::size_t>(j)];
      if (groups[static_cast<std::size_t>(i)][0] >= 3) shift[static_cast<std::size_t>(i)] /= kRad;
      if (std::fabs(shift[static_cast<std::size_t>(i)]) > 1.0e-14) small = false;
    }
    if (small) {
      converged = true;
      return true;
    }
    for (int i = 0; i < n; ++i)
      for (int member : groups[static_cast<std::size_t>(i)])
        p[static_cast<std::size_t>(member)] += shift[static_cast<std::size_t>(i)];
  }
  return true;
}

// Direct cell and volume from the reciprocal cell, with the derivatives of (a, b, c, alpha,
// beta, gamma, V) with respect to the six reciprocal parameters (angles in radians both ways):
// G = G*^-1 gives dG = -G dG* G, and a = sqrt(G11), cos alpha = G23/(b c), V = det(G*)^-1/2.
void direct_cell(const Params& p, std::array<double, 6>& cell, double& volume,
                 std::array<std::array<double, 6>, 7>& jac) {
  const double as = p[0], bs = p[1], cs = p[2];
  const double ang[3] = {p[3] * kRad, p[4] * kRad, p[5] * kRad};
  const double ca = std::cos(ang[0]), cb = std::cos(ang[1]), cg = std::cos(ang[2]);
  double gs[3][3] = {{as * as, as * bs * cg, as * cs * cb},
                     {as * bs * cg, bs * bs, bs * cs * ca},
                     {as * cs * cb, bs * cs * ca, cs * cs}};
  const double det = gs[0][0] * (gs[1][1] * gs[2][2] - gs[1][2] * gs[2][1]) -
                     gs[0][1] * (gs[1][0] * gs[2][2] - gs[1][2] * gs[2][0]) +
                     gs[0][2] * (gs[1][0] * gs[2][1] - gs[1][1] * gs[2][0]);
  double g[3][3];
  g[0][0] = (gs[1][1] * gs[2][2] - gs[1][2] * gs[2][1]) / det;
  g[1][1] = (gs[0][0] * gs[2][2] - gs[0][2] * gs[2][0]) / det;
  g[2][2] = (gs[0][0] * gs[1][1] - gs[0][1] * gs[1][0]) / det;
  g[0][1] = g[1][0] = (gs[0][2] * gs[2][1] - gs[0][1] * gs[2][2]) / det;
  g[0][2] = g[2][0] = (gs[0][1] * gs[1][2] - gs[0][2] * gs[1][1]) / det;
  g[1][2] = g[2][1] = (gs[0][2] * gs[1][0] - gs[0][0] * gs[1][2]) / det;
  const double len[3] = {std::sqrt(g[0][0]), std::sqrt(g[1][1]), std::sqrt(g[2][2])};
  // Angle k lies between the axes (i, j): alpha (1,2), beta (0,2), gamma (0,1).
  const int pair[3][2] = {{1, 2}, {0, 2}, {0, 1}};
  double cosine[3];
  for (int k = 0; k < 3; ++k) {
    const int i = pair[k][0], j = pair[k][1];
    cosine[k] = g[i][j] / (len[i] * len[j]);
    cell[static_cast<std::size_t>(k)] = len[k];
    cell[static_cast<std::size_t>(k + 3)] = std::acos(std::clamp(cosine[k], -1.0, 1.0)) / kRad;
  }
  volume = 1.0 / std::sqrt(det);

  for (int q = 0; q < 6; ++q) {
    // dG* with respect to parameter q.
    double dgs[3][3] = {};
    switch (q) {
      case 0:
        dgs[0][0] = 2 * as;
        dgs[0][1] = dgs[1][0] = bs * cg;
        dgs[0][2] = dgs[2][0] = cs * cb;
        break;
      case 1:
        dgs[1][1] = 2 * bs;
        dgs[0][1] = dgs[1][0] = as * cg;
        dgs[1][2] = dgs[2][1] = cs * ca;
        break;
      case 2:
        dgs[2][2] = 2 * cs;
        dgs[0][2] = dgs[2][0] = as * cb;
        dgs[1][2] = dgs[2][1] = bs * ca;
        break;
      case 3: dgs[1][2] = dgs[2][1] = -bs * cs * std::sin(ang[0]); break;
      case 4: dgs[0][2] = dgs[2][0] = -as * cs * std::sin(ang[1]); break;
      default: dgs[0][1] = dgs[1][0] = -as * bs * std::sin(ang[2]); break;
    }
    double dg[3][3] = {};
    double trace = 0;  // tr(G dG*)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        double s = 0;
        for (int k = 0; k < 3; ++k)
          for (int l = 0; l < 3; ++l) s += g[i][k] * dgs[k][l] * g[l][j];
        dg[i][j] = -s;
        trace += g[i][j] * dgs[j][i];
      }
    double dlen[3];
    for (int k = 0; k < 3; ++k) {
      dlen[k] = dg[k][k] / (2 * len[k]);
      jac[static_cast<std::size_t>(k)][static_cast<std::size_t>(q)] = dlen[k];
    }
    for (int k = 0; k < 3; ++k) {
      const int i = pair[k][0], j = pair[k][1];
      const double dcos =
          dg[i][j] / (len[i] * len[j]) - cosine[k] * (dlen[i] / len[i] + dlen[j] / len[j]);
      const double sine = std::sqrt(std::max(1.0e-30, 1 - cosine[k] * cosine[k]));
      jac[static_cast<std::size_t>(k + 3)][static_cast<std::size_t>(q)] = -dcos / sine;
    }
    jac[6][static_cast<std::size_t>(q)] = -volume / 2 * trace;
  }
}

std::string cell_line(const std::string& label, const std::array<double, 6>& c, double v) {
  // Columns: label A8, a b c 3F10.5, alpha beta gamma 3F8.3, volume F10.4.
  return label + F(c[0], 10, 5) + F(c[1], 10, 5) + F(c[2], 10, 5) + F(c[3], 8, 3) +
         F(c[4], 8, 3) + F(c[5], 8, 3) + F(v, 10, 4);
}

}  // namespace

int TTHREFINE(int system, const CrystalState& crystal, const ReflectionList& list,
              TthRefinement* result) {
  const double lambda = crystal.lambda1;
  std::vector<TthReflection> refl;
  const int count = std::min(list.count, kListSize);
  for (int n = 0; n < count; ++n) {
    const ReflectionEntry& e = list.entry[static_cast<std::size_t>(n)];
    if (e.use != 1) continue;
    TthReflection r;
    r.number = n + 1;
    r.tth = e.angles[0];
    r.h = {static_cast<int>(NINT(e.h)), static_cast<int>(NINT(e.k)), static_cast<int>(NINT(e.l))};
    const double s = std::sin(r.tth / 2 * kRad);
    r.q_obs = std::pow(2 * s / lambda, 2);
    r.d_obs = s != 0 ? lambda / (2 * s) : 0.0;
    refl.push_back(r);
  }

  const Groups groups = groups_of(system);
  const int n = static_cast<int>(groups.size());
  const int nr = static_cast<int>(refl.size());
  if (nr < n || (system == TLSQ_TRICLINIC && nr < 7)) {
    WRITE_OUT("  INSUFFICIENT REFLECTIONS SET FOR LEAST-SQUARES IN THIS CRYSTAL SYSTEM");
    return 1;
  }
  Params p{};
  if (!ESTIMATE(system, refl, p)) {
    WARNING("SUBROUTINE ESTIMATE IN TLSQ RETURNED IERR=1");
    return 1;
  }
  int cycles = 0;
  bool converged = false;
  if (!NONLIN(groups, refl, p, cycles, converged)) {
    WARNING("SUBROUTINE NONLIN IN TLSQ RETURNED IERR=1");
    return 1;
  }

  // Table of observed and calculated values.
  WRITE_OUT("  N   TTHobs     Dobs   h  k  l    TTHcal      Dcal    delTTH      delD");
  for (const TthReflection& r : refl) {
    const double q = QCALC(p, r.h, nullptr);
    const double root = std::sqrt(std::max(q, 0.0));
    const double tthc = 2 * std::asin(std::min(1.0, lambda * root / 2)) / kRad;
    const double dcal = root > 0 ? 1 / root : 0.0;
    // Columns: 1X, list number I2, 2theta and d observed 2F9.4, 1X, h k l 3I3, 2theta and d
    // calculated and the two differences 4F10.4.
    WRITE_OUT(" " + I(r.number, 2) + F(r.tth, 9, 4) + F(r.d_obs, 9, 4) + " " + I(r.h[0], 3) +
              I(r.h[1], 3) + I(r.h[2], 3) + F(tthc, 10, 4) + F(dcal, 10, 4) +
              F(r.tth - tthc, 10, 4) + F(r.d_obs - dcal, 10, 4));
  }
  std::vector<double> nm, rhs;
  double ssq = 0;
  normal_equations(groups, refl, p, nm, rhs, ssq);
  if (!invert(nm, n)) {
    WARNING("SUBROUTINE CALCVAL IN TLSQ RETURNED IERR=1");
    return 1;
  }
  const bool has_esd = nr > n;
  const double variance = has_esd ? ssq / (nr - n) : 0.0;

  // Report: the direct cell and its deviations by first-order propagation.
  TthRefinement out;
  std::array<std::array<double, 6>, 7> jac{};
  direct_cell(p, out.cell, out.volume, jac);
  std::array<double, 7> sd{};
  for (int q = 0; q < 7; ++q) {
    std::vector<double> jg(static_cast<std::size_t>(n), 0.0);
    for (int g = 0; g < n; ++g)
      for (int member : groups[static_cast<std::size_t>(g)])
        jg[static_cast<std::size_t>(g)] +=
            jac[static_cast<std::size_t>(q)][static_cast<std::size_t>(member)];
    double v = 0;
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j)
        v += jg[static_cast<std::size_t>(i)] * variance * nm[static_cast<std::size_t>(i * n + j)] *
             jg[static_cast<std::size_t>(j)];
    sd[static_cast<std::size_t>(q)] = std::sqrt(std::max(v, 0.0));
  }
  for (int k = 0; k < 3; ++k) {
    out.cell_esd[static_cast<std::size_t>(k)] = sd[static_cast<std::size_t>(k)];
    out.cell_esd[static_cast<std::size_t>(k + 3)] = sd[static_cast<std::size_t>(k + 3)] / kRad;
  }
  out.volume_esd = sd[6];
  out.has_esd = has_esd;
  out.cycles = cycles;
  out.converged = converged;

  WRITE_OUT("   Unit Cell refined to 2theta values only:");
  WRITE_OUT(cell_line(" Cell   ", out.cell, out.volume));
  // With as many reflections as parameters the fit is exact and says nothing about the
  // precision: no deviations are shown rather than misleading zeros.
  if (has_esd) WRITE_OUT(cell_line(" Sigmas ", out.cell_esd, out.volume_esd));
  if (result) *result = out;
  return 0;
}

}  // namespace dorvex
