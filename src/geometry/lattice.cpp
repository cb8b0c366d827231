#include "geometry/lattice.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>

#include <gemmi/cellred.hpp>  // GruberVector: Niggli reduction with the change of basis
#include <gemmi/twin.hpp>     // find_lattice_2fold_ops: Le Page's twofold axes of a reduced cell

namespace dorvex {

using refine::M3;
using refine::V3;

namespace {

using IV = std::array<int, 3>;
using IM = std::array<IV, 3>;  // rows

constexpr IM kIdentity{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
constexpr std::size_t kMaxAxes = 12;  // twofold axes combined at most (a lattice has 9)
constexpr int kRange = 4;             // coefficients of the lattice vectors tried as axes

IM imul(const IM& a, const IM& b) {
  IM c{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) c[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
  return c;
}

IV imul(const IM& a, const IV& v) {
  return {a[0][0] * v[0] + a[0][1] * v[1] + a[0][2] * v[2],
          a[1][0] * v[0] + a[1][1] * v[1] + a[1][2] * v[2],
          a[2][0] * v[0] + a[2][1] * v[1] + a[2][2] * v[2]};
}

IV neg(const IV& v) { return {-v[0], -v[1], -v[2]}; }
IV add(const IV& a, const IV& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
IV sub(const IV& a, const IV& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
IV times(const IV& a, int k) { return {a[0] * k, a[1] * k, a[2] * k}; }
IV icross(const IV& a, const IV& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
bool is_zero(const IV& v) { return v[0] == 0 && v[1] == 0 && v[2] == 0; }
bool parallel(const IV& a, const IV& b) { return is_zero(icross(a, b)); }
int idet(const IM& m) {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
         m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

int order_of(const IM& r) {
  IM p = r;
  for (int n = 1; n <= 6; ++n) {
    if (p == kIdentity) return n;
    p = imul(p, r);
  }
  return 0;
}

// The shortest lattice vector along the rotation axis of r (r not the identity): the kernel of
// r - 1, from the cross product of two independent rows.
IV axis_of(const IM& r) {
  IM m = r;
  for (int i = 0; i < 3; ++i) m[i][i] -= 1;
  for (const auto& [p, q] : {std::pair{0, 1}, {0, 2}, {1, 2}}) {
    IV c = icross(m[p], m[q]);
    if (is_zero(c)) continue;
    const int g = std::gcd(std::gcd(std::abs(c[0]), std::abs(c[1])), std::abs(c[2]));
    for (int& x : c) x /= g;
    return c;
  }
  return {0, 0, 0};
}

M3 widen(const IM& m) {
  M3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i][j] = m[i][j];
  return r;
}

// The lattice vectors of the reduced cell with small coefficients, shortest first.
struct Vectors {
  const M3& g;
  std::vector<std::pair<double, IV>> list;
  explicit Vectors(const M3& metric) : g(metric) {
    for (int i = -kRange; i <= kRange; ++i)
      for (int j = -kRange; j <= kRange; ++j)
        for (int k = -kRange; k <= kRange; ++k) {
          const IV v{i, j, k};
          if (!is_zero(v)) list.emplace_back(dot(v, v), v);
        }
    std::stable_sort(list.begin(), list.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
  }
  double dot(const IV& a, const IV& b) const {
    double s = 0;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) s += a[i] * g[i][j] * b[j];
    return s;
  }
  template <class Pred>
  bool shortest(Pred pred, IV& out) const {
    for (const auto& [length2, v] : list)
      if (pred(v)) {
        out = v;
        return true;
      }
    return false;
  }
};

// Translations of the lattice inside a conventional cell (rows of m in reduced coordinates):
// the rows of m^-1 taken modulo 1, without the origin, each once.
std::vector<V3> centring_vectors(const IM& m) {
  const M3 w = widen(m);
  const M3 inv = refine::inverse3(w, refine::det3(w));
  std::vector<V3> out;
  auto fold = [](double x) {
    const double f = x - std::floor(x);
    return f > 0.999 ? 0.0 : f;
  };
  for (int a = 0; a < 4; ++a)
    for (int b = 0; b < 4; ++b)
      for (int c = 0; c < 4; ++c) {
        V3 v{};
        for (int k = 0; k < 3; ++k) v[k] = fold(a * inv[0][k] + b * inv[1][k] + c * inv[2][k]);
        if (v[0] < 1e-3 && v[1] < 1e-3 && v[2] < 1e-3) continue;
        bool seen = false;
        for (const V3& u : out)
          seen = seen || (std::fabs(u[0] - v[0]) < 1e-3 && std::fabs(u[1] - v[1]) < 1e-3 &&
                          std::fabs(u[2] - v[2]) < 1e-3);
        if (!seen) out.push_back(v);
      }
  return out;
}

bool near(const V3& v, double x, double y, double z) {
  return std::fabs(v[0] - x) < 1e-3 && std::fabs(v[1] - y) < 1e-3 && std::fabs(v[2] - z) < 1e-3;
}

// The face or body centring letter of a cell of index 2.
char centring_letter(const IM& m) {
  const std::vector<V3> c = centring_vectors(m);
  if (c.size() != 1) return '?';
  if (near(c[0], 0, 0.5, 0.5)) return 'A';
  if (near(c[0], 0.5, 0, 0.5)) return 'B';
  if (near(c[0], 0.5, 0.5, 0)) return 'C';
  if (near(c[0], 0.5, 0.5, 0.5)) return 'I';
  return '?';
}

struct Group {
  std::vector<IM> ops;  // proper rotations
  unsigned mask = 0;    // which of the twofold axes found it contains
  double misfit = 0;
};

struct Setting {
  IM m{};  // rows: conventional axes in reduced coordinates
  char centring = 'P';
  std::string symbol, system;
  int clsq = 0, rank = 0;
};

const IM* element_of_order(const Group& grp, int n) {
  for (const IM& r : grp.ops)
    if (order_of(r) == n) return &r;
  return nullptr;
}

bool monoclinic(const Group& grp, const Vectors& vs, Setting& s) {
  const IM& r = *element_of_order(grp, 2);
  IV b = axis_of(r), a{}, c{};
  auto perp = [&](const IV& v) { return imul(r, v) == neg(v); };
  if (!vs.shortest(perp, a)) return false;
  if (!vs.shortest([&](const IV& v) { return perp(v) && !parallel(v, a); }, c)) return false;
  const int index = std::abs(idet({a, b, c}));
  if (index == 2) {
    switch (centring_letter({a, b, c})) {
      case 'C': break;
      case 'A': std::swap(a, c), c = neg(c); break;
      case 'I': a = add(a, c); break;
      default: return false;
    }
    // Shortest C-centred pair: c against a, a against even multiples of c.
    for (int round = 0; round < 10; ++round) {
      const int k = static_cast<int>(std::lround(vs.dot(c, a) / vs.dot(a, a)));
      c = sub(c, times(a, k));
      const int j = static_cast<int>(std::lround(vs.dot(a, c) / (2 * vs.dot(c, c))));
      a = sub(a, times(c, 2 * j));
      if (k == 0 && j == 0) break;
    }
    s.centring = 'C';
    s.symbol = "mC";
  } else if (index == 1) {
    for (int round = 0; round < 10; ++round) {
      if (vs.dot(c, c) < vs.dot(a, a)) std::swap(a, c);
      const int k = static_cast<int>(std::lround(vs.dot(c, a) / vs.dot(a, a)));
      if (k == 0) break;
      c = sub(c, times(a, k));
    }
    s.symbol = "mP";
  } else {
    return false;
  }
  if (vs.dot(a, c) > 0) a = neg(a), b = neg(b);  // beta obtuse
  if (idet({a, b, c}) < 0) b = neg(b);
  s.m = {a, b, c};
  s.system = "Monoclinic";
  s.clsq = 1;
  s.rank = 2;
  return true;
}

bool orthorhombic(const Group& grp, const Vectors& vs, Setting& s) {
  std::vector<IV> axes;
  for (const IM& r : grp.ops)
    if (order_of(r) == 2) axes.push_back(axis_of(r));
  if (axes.size() != 3) return false;
  IV a = axes[0], b = axes[1], c = axes[2];
  auto by_length = [&](IV& p, IV& q) {
    if (vs.dot(q, q) < vs.dot(p, p)) std::swap(p, q);
  };
  const int index = std::abs(idet({a, b, c}));
  char letter = 'P';
  if (index == 2) letter = centring_letter({a, b, c});
  if (index == 4) letter = 'F';
  if (index == 3 || index > 4 || letter == '?') return false;
  if (letter == 'A') {
    const IV t = a;
    a = b, b = c, c = t;
    letter = 'C';
  } else if (letter == 'B') {
    const IV t = c;
    c = b, b = a, a = t;
    letter = 'C';
  }
  if (letter == 'C') {
    by_length(a, b);
  } else {
    by_length(a, b), by_length(b, c), by_length(a, b);
  }
  if (idet({a, b, c}) < 0) c = neg(c);
  s.m = {a, b, c};
  s.centring = letter;
  s.symbol = std::string("o") + letter;
  s.system = "Orthorhombic";
  s.clsq = 3;
  s.rank = 3;
  return true;
}

bool tetragonal(const Group& grp, const Vectors& vs, Setting& s) {
  const IM& r4 = *element_of_order(grp, 4);
  const IM r2 = imul(r4, r4);
  const IV c = axis_of(r4);
  IV a{};
  if (!vs.shortest([&](const IV& v) { return imul(r2, v) == neg(v); }, a)) return false;
  IV b = imul(r4, a);
  if (idet({a, b, c}) < 0) b = neg(b);
  const int index = idet({a, b, c});
  if (index == 2 && centring_letter({a, b, c}) != 'I') return false;
  if (index != 1 && index != 2) return false;
  s.m = {a, b, c};
  s.centring = index == 1 ? 'P' : 'I';
  s.symbol = std::string("t") + s.centring;
  s.system = "Tetragonal";
  s.clsq = 4;
  s.rank = 5;
  return true;
}

// Hexagonal axes about a threefold or sixfold rotation: a the shortest lattice vector normal to
// the axis, b its image under the threefold rotation (gamma = 120 degrees).
bool hexagonal_axes(const IM& r3, const IV& c0, const Vectors& vs, IM& m) {
  const IM r3r3 = imul(r3, r3);
  IV a{};
  auto normal = [&](const IV& v) { return is_zero(add(add(v, imul(r3, v)), imul(r3r3, v))); };
  if (!vs.shortest(normal, a)) return false;
  IV c = c0;
  const IV b = imul(r3, a);
  if (idet({a, b, c}) < 0) c = neg(c);
  m = {a, b, c};
  return true;
}

bool hexagonal(const Group& grp, const Vectors& vs, Setting& s) {
  const IM& r6 = *element_of_order(grp, 6);
  if (!hexagonal_axes(imul(r6, r6), axis_of(r6), vs, s.m) || idet(s.m) != 1) return false;
  s.centring = 'P';
  s.symbol = "hP";
  s.system = "Hexagonal";
  s.clsq = 5;
  s.rank = 6;
  return true;
}

bool rhombohedral(const Group& grp, const Vectors& vs, Setting& s) {
  const IM& r3 = *element_of_order(grp, 3);
  if (!hexagonal_axes(r3, axis_of(r3), vs, s.m) || idet(s.m) != 3) return false;
  // The obverse setting has the lattice point (2/3, 1/3, 1/3); the reverse one turns into it
  // by a half turn about c.
  bool obverse = false, reverse = false;
  for (const V3& v : centring_vectors(s.m)) {
    obverse = obverse || near(v, 2.0 / 3, 1.0 / 3, 1.0 / 3);
    reverse = reverse || near(v, 1.0 / 3, 2.0 / 3, 1.0 / 3);
  }
  if (reverse) s.m[0] = neg(s.m[0]), s.m[1] = neg(s.m[1]);
  if (!obverse && !reverse) return false;
  s.centring = 'R';
  s.symbol = "hR";
  s.system = "Rhombohedral";
  s.clsq = 5;  // refined in its hexagonal axes
  s.rank = 4;
  return true;
}

bool cubic(const Group& grp, Setting& s) {
  std::vector<IV> axes;
  for (const IM& r : grp.ops) {
    if (order_of(r) != 4) continue;
    const IV u = axis_of(r);
    bool seen = false;
    for (const IV& v : axes) seen = seen || parallel(u, v);
    if (!seen) axes.push_back(u);
  }
  if (axes.size() != 3) return false;
  if (idet({axes[0], axes[1], axes[2]}) < 0) axes[2] = neg(axes[2]);
  s.m = {axes[0], axes[1], axes[2]};
  const int index = idet(s.m);
  s.centring = index == 1 ? 'P' : index == 2 ? 'I' : index == 4 ? 'F' : '?';
  if (s.centring == '?' || (index == 2 && centring_letter(s.m) != 'I')) return false;
  s.symbol = std::string("c") + s.centring;
  s.system = "Cubic";
  s.clsq = 6;
  s.rank = 7;
  return true;
}

bool conventional(const Group& grp, const Vectors& vs, Setting& s) {
  int twofolds = 0;
  for (const IM& r : grp.ops) twofolds += order_of(r) == 2 ? 1 : 0;
  const std::size_t order = grp.ops.size();
  if (order == 2 && twofolds == 1) return monoclinic(grp, vs, s);
  if (order == 4 && twofolds == 3) return orthorhombic(grp, vs, s);
  if (order == 6 && twofolds == 3) return rhombohedral(grp, vs, s);
  if (order == 8 && twofolds == 5) return tetragonal(grp, vs, s);
  if (order == 12 && twofolds == 7) return hexagonal(grp, vs, s);
  if (order == 24 && twofolds == 9) return cubic(grp, s);
  return false;
}

// The group of rotations generated by the chosen twofold axes; false when it is not finite
// within 24 elements or holds a twofold axis beyond the tolerance.
bool generate(const std::vector<IM>& twofolds, const std::vector<double>& obliquity,
              unsigned subset, Group& grp) {
  std::vector<IM> gens;
  for (std::size_t i = 0; i < twofolds.size(); ++i)
    if (subset & (1u << i)) gens.push_back(twofolds[i]);
  grp.ops = {kIdentity};
  for (std::size_t k = 0; k < grp.ops.size(); ++k)
    for (const IM& g : gens) {
      const IM p = imul(grp.ops[k], g);
      if (std::find(grp.ops.begin(), grp.ops.end(), p) != grp.ops.end()) continue;
      if (grp.ops.size() == 24) return false;
      grp.ops.push_back(p);
    }
  grp.mask = 0;
  grp.misfit = 0;
  for (const IM& r : grp.ops) {
    if (order_of(r) != 2) continue;
    const auto at = std::find(twofolds.begin(), twofolds.end(), r);
    if (at == twofolds.end()) return false;
    const std::size_t i = static_cast<std::size_t>(at - twofolds.begin());
    grp.mask |= 1u << i;
    grp.misfit = std::max(grp.misfit, obliquity[i]);
  }
  return true;
}

}  // namespace

M3 NIGGLI(const M3& g) {
  gemmi::GruberVector gv(std::array<double, 6>{g[0][0], g[1][1], g[2][2], 2 * g[1][2],
                                               2 * g[0][2], 2 * g[0][1]});
  gv.set_change_of_basis(gemmi::Op::identity());
  // Comparisons within 1e-5 of the squared cell size (Grosse-Kunstleve et al.), so that the
  // rounding of the metric cannot make the reduction cycle.
  const double eps = 1.0e-5 * std::cbrt(std::max(refine::det3(g), 0.0));
  gv.niggli_reduce(eps, 1000);
  // The columns of the change of basis are the new axes in old coordinates.
  M3 t{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      t[i][j] = double(gv.change_of_basis->rot[j][i]) / gemmi::Op::DEN;
  if (refine::det3(t) < 0)
    for (auto& row : t)
      for (double& x : row) x = -x;
  return t;
}

std::array<double, 6> cell_of_metric(const M3& g) {
  const double a = std::sqrt(g[0][0]), b = std::sqrt(g[1][1]), c = std::sqrt(g[2][2]);
  auto angle = [](double cosine) {
    return std::acos(std::clamp(cosine, -1.0, 1.0)) * refine::kDegree;
  };
  return {a, b, c, angle(g[1][2] / (b * c)), angle(g[0][2] / (a * c)), angle(g[0][1] / (a * b))};
}

bool primitive_axes(char centring, M3& p) {
  const double h = 0.5, t = 1.0 / 3;
  switch (centring) {
    case 'P': p = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}; return true;
    case 'A': p = {{{1, 0, 0}, {0, h, -h}, {0, h, h}}}; return true;
    case 'B': p = {{{h, 0, -h}, {0, 1, 0}, {h, 0, h}}}; return true;
    case 'C': p = {{{h, -h, 0}, {h, h, 0}, {0, 0, 1}}}; return true;
    case 'I': p = {{{-h, h, h}, {h, -h, h}, {h, h, -h}}}; return true;
    case 'F': p = {{{0, h, h}, {h, 0, h}, {h, h, 0}}}; return true;
    case 'R': p = {{{2 * t, t, t}, {-t, t, t}, {-t, -2 * t, t}}}; return true;
    default: return false;
  }
}

std::vector<BravaisLattice> LATTICE_SEARCH(const M3& g, char centring, double tolerance) {
  std::vector<BravaisLattice> out;
  M3 p{};
  if (!primitive_axes(centring, p)) return out;
  if (!(refine::det3(g) > 0) || !(g[0][0] > 0 && g[1][1] > 0 && g[2][2] > 0)) return out;
  const M3 gp = refine::mul(refine::mul(p, g), refine::transposed(p));
  const M3 to_reduced = refine::mul(NIGGLI(gp), p);
  const M3 gr = refine::mul(refine::mul(to_reduced, g), refine::transposed(to_reduced));
  const std::array<double, 6> reduced = cell_of_metric(gr);

  const gemmi::UnitCell cell(reduced[0], reduced[1], reduced[2], reduced[3], reduced[4],
                             reduced[5]);
  std::vector<IM> twofolds;
  std::vector<double> obliquity;
  for (const gemmi::OpObliquity& op : gemmi::find_lattice_2fold_ops(cell, tolerance)) {
    if (twofolds.size() == kMaxAxes) break;  // sorted by obliquity: the closest ones
    IM r{};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) r[i][j] = op.first.rot[i][j] / gemmi::Op::DEN;
    twofolds.push_back(r);
    obliquity.push_back(op.second);
  }

  const Vectors vs(gr);
  auto add_lattice = [&](const Setting& s, double misfit) {
    BravaisLattice b;
    b.symbol = s.symbol;
    b.system = s.system;
    b.centring = s.centring;
    b.clsq_system = s.clsq;
    b.rank = s.rank;
    b.misfit = misfit;
    b.t = refine::mul(widen(s.m), to_reduced);
    b.cell = cell_of_metric(refine::mul(refine::mul(b.t, g), refine::transposed(b.t)));
    out.push_back(b);
  };
  std::vector<unsigned> seen;
  for (unsigned subset = 1; subset < (1u << twofolds.size()); ++subset) {
    Group grp;
    if (!generate(twofolds, obliquity, subset, grp)) continue;
    if (std::find(seen.begin(), seen.end(), grp.mask) != seen.end()) continue;
    seen.push_back(grp.mask);
    Setting s;
    if (conventional(grp, vs, s)) add_lattice(s, grp.misfit);
  }
  Setting triclinic;
  triclinic.m = kIdentity;
  triclinic.symbol = "aP";
  triclinic.system = "Triclinic";
  triclinic.rank = 1;
  add_lattice(triclinic, 0);
  std::stable_sort(out.begin(), out.end(), [](const BravaisLattice& a, const BravaisLattice& b) {
    return a.rank != b.rank ? a.rank > b.rank : a.misfit < b.misfit;
  });
  return out;
}

}  // namespace dorvex
