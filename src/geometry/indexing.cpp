#include "geometry/indexing.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "common/fields.hpp"
#include "geometry/clsq.hpp"  // BCALC
#include "console/output.hpp"

namespace dorvex {

using refine::M3;
using refine::V3;

namespace {

constexpr double kDeg = 57.295;  // the degree conversion of the indexing routines
constexpr double kPairMinimum = 20.0;  // pairs of reflections closer than this are not used
constexpr double kTestWindow = 1.0;    // 2theta window of TESTREF, independent of the tolerance

V3 unit(const V3& v) {
  const double n = refine::norm3(v);
  return n > 0 ? V3{v[0] / n, v[1] / n, v[2] / n} : V3{0, 0, 0};
}

double angle_deg(const V3& a, const V3& b) {  // a and b unit vectors
  return std::acos(std::clamp(refine::dot3(a, b), -1.0, 1.0)) * kDeg;
}

// 2theta (degrees) of a reciprocal-lattice vector of squared length q; NaN beyond the sphere.
double tth_of_q(double q, double lambda) {
  const double s = lambda * std::sqrt(q) / 2;
  if (s > 1) return std::numeric_limits<double>::quiet_NaN();
  return 2 * std::asin(s) * kDeg;
}

// Orthonormal frame (columns) with the bisector of u and w first and u x w third. Returns
// false when u and w are (anti)parallel: such a pair defines no orientation.
bool MAKEBASIS(const V3& u, const V3& w, M3& t) {
  const V3 uu = unit(u), ww = unit(w);
  const V3 c = refine::cross3(uu, ww);
  const double cn = refine::norm3(c);
  if (cn < 1.0e-6) return false;
  const V3 b = unit(V3{uu[0] + ww[0], uu[1] + ww[1], uu[2] + ww[2]});
  const V3 c3{c[0] / cn, c[1] / cn, c[2] / cn};
  const V3 c2 = refine::cross3(c3, b);
  for (int i = 0; i < 3; ++i) {
    t[i][0] = b[i];
    t[i][1] = c2[i];
    t[i][2] = c3[i];
  }
  return true;
}

// The cell's direct and reciprocal metrics and B, in double precision.
struct Lattice {
  M3 g{}, gstar{}, B{}, Binv{};
  bool ok = false;
};

// The metric comes from the cell as the cell routines build it (METR, MAKEB), with their
// degree factor: the search's own coarser factor would bend 90-degree angles by 0.001 degree.
Lattice lattice_of(const std::array<double, 6>& cell) {
  Lattice lat;
  const double a = cell[0], b = cell[1], c = cell[2];
  const double ca = std::cos(cell[3] / refine::kDegree), cb = std::cos(cell[4] / refine::kDegree),
               cg = std::cos(cell[5] / refine::kDegree);
  lat.g = {{{a * a, a * b * cg, a * c * cb},
            {a * b * cg, b * b, b * c * ca},
            {a * c * cb, b * c * ca, c * c}}};
  const double dg = refine::det3(lat.g);
  if (!(dg > 0)) return lat;
  lat.gstar = refine::inverse3(lat.g, dg);
  const double as = std::sqrt(lat.gstar[0][0]), bs = std::sqrt(lat.gstar[1][1]),
               cs = std::sqrt(lat.gstar[2][2]);
  lat.B = BCALC({as, bs, cs, lat.gstar[1][2] / (bs * cs), lat.gstar[0][2] / (as * cs),
                 lat.gstar[0][1] / (as * bs)});
  const double db = refine::det3(lat.B);
  if (!(db > 0)) return lat;
  lat.Binv = refine::inverse3(lat.B, db);
  lat.ok = true;
  return lat;
}

// Index limits for reflections up to 2theta_max + 2 degrees. |h_k| <= d* |a_k| for every
// vector of length d*, so the direct axis lengths bound the box for any cell. False when the
// box would hold more than kMaxTriples triples (a mistyped cell or wavelength): the table of
// the search could not be held in memory.
constexpr double kMaxTriples = 8.0e6;

bool box_of(double tth_max, double lambda, const M3& g, std::array<int, 3>& n) {
  const double theta_lim = std::min(90.0, tth_max / 2 + 1);
  const double dstar = 2 * std::sin(theta_lim / kDeg) / lambda;
  std::array<double, 3> extent{};
  double triples = 1;
  for (int k = 0; k < 3; ++k) {
    extent[static_cast<std::size_t>(k)] = std::floor(dstar * std::sqrt(g[k][k]) + 1);
    triples *= 2 * extent[static_cast<std::size_t>(k)] + 1;
  }
  if (!(triples <= kMaxTriples)) return false;
  for (int k = 0; k < 3; ++k)
    n[static_cast<std::size_t>(k)] = static_cast<int>(extent[static_cast<std::size_t>(k)]);
  return true;
}

// Orientation built from a pair: U maps the bisector frame of the two cell vectors onto that of
// the two observed directions; UB = U B.
struct Orientation {
  M3 ub{}, ubinv{};
};

// MAKEBASIS for two unit vectors.
bool unit_basis(const V3& a, const V3& b, M3& t) {
  const V3 c = refine::cross3(a, b);
  const double cn2 = refine::dot3(c, c);
  if (cn2 < 1.0e-12) return false;
  const double ci = 1 / std::sqrt(cn2);
  const V3 s{a[0] + b[0], a[1] + b[1], a[2] + b[2]};
  const double si = 1 / std::sqrt(refine::dot3(s, s));
  const V3 c1{s[0] * si, s[1] * si, s[2] * si}, c3{c[0] * ci, c[1] * ci, c[2] * ci};
  const V3 c2 = refine::cross3(c3, c1);
  for (int i = 0; i < 3; ++i) t[i] = {c1[i], c2[i], c3[i]};
  return true;
}

bool orientation_of_frame(const M3& t_phi, const M3& t_c, const Lattice& lat, Orientation& o) {
  const M3 u = refine::mul(t_phi, refine::transposed(t_c));  // T_c is orthonormal
  o.ub = refine::mul(u, lat.B);
  o.ubinv = refine::mul(lat.Binv, refine::transposed(u));
  return true;
}

// Nearest integer, halves away from zero (as NINT), without a library call.
inline int nearest(double x) {
  return x >= 0 ? static_cast<int>(std::floor(x + 0.5)) : -static_cast<int>(std::floor(0.5 - x));
}

// Whether an orientation indexes reflection r: nearest-integer indices whose 2theta lies
// within 1 degree of the observed one and whose vector lies within psi_tol of its direction.
struct RefTest {
  bool match = false;
  std::array<int, 3> h{};
  double deviation = 0, tth_calc = 0;
};

RefTest test_reflection(const Orientation& o, const IndexingReflection& r, double lambda,
                        double psi_tol) {
  RefTest t;
  const V3 hf = refine::mul(o.ubinv, r.x);
  t.h = {nearest(hf[0]), nearest(hf[1]), nearest(hf[2])};
  const V3 xc = refine::mul(o.ub, V3{double(t.h[0]), double(t.h[1]), double(t.h[2])});
  const double len = refine::norm3(xc);
  if (!(len > 0)) return t;
  const double s = lambda * len / 2;
  t.tth_calc = s <= 1 ? 2 * std::asin(s) * kDeg : 180.0;
  t.deviation = std::acos(std::min(1.0, refine::dot3(xc, r.u) / len)) * kDeg;
  t.match = s <= 1 && std::fabs(t.tth_calc - r.tth_abs) <= kTestWindow && t.deviation <= psi_tol;
  return t;
}

// Per reflection, the bounds of TESTREF's two tests on |UB h|^2 and on the cosine of the
// deviation, so that most tests are decided without an arc sine or arc cosine. Values within
// kMargin (relative) of a bound are decided by the exact test.
struct TestBounds {
  double len2_lo = 0, len2_hi = 0;  // 2theta within 1 degree
  double cos_min = 0;               // deviation at most psi_tol
};
constexpr double kMargin = 1.0e-9;

TestBounds bounds_of(const IndexingReflection& r, double lambda, double psi_tol) {
  TestBounds b;
  auto len2 = [lambda](double tth) {
    const double t = std::clamp(tth, 0.0, 180.0);
    const double d = 2 * std::sin(t / 2 / kDeg) / lambda;
    return d * d;
  };
  b.len2_lo = r.tth_abs - kTestWindow > 0 ? len2(r.tth_abs - kTestWindow) : 0.0;
  b.len2_hi = r.tth_abs + kTestWindow < 180 ? len2(r.tth_abs + kTestWindow) : 1.0e300;
  b.cos_min = std::cos(std::min(psi_tol, 180.0) / kDeg);
  return b;
}

bool quick_match(const Orientation& o, const IndexingReflection& r, const TestBounds& b,
                 double lambda, double psi_tol) {
  const V3 hf = refine::mul(o.ubinv, r.x);
  const double h0 = nearest(hf[0]), h1 = nearest(hf[1]), h2 = nearest(hf[2]);
  const V3 xc{o.ub[0][0] * h0 + o.ub[0][1] * h1 + o.ub[0][2] * h2,
              o.ub[1][0] * h0 + o.ub[1][1] * h1 + o.ub[1][2] * h2,
              o.ub[2][0] * h0 + o.ub[2][1] * h1 + o.ub[2][2] * h2};
  const double len2 = refine::dot3(xc, xc);
  if (!(len2 > 0)) return false;
  if (len2 < b.len2_lo * (1 - kMargin) || len2 > b.len2_hi * (1 + kMargin)) return false;
  const double cosine = refine::dot3(xc, r.u) / std::sqrt(len2);
  if (cosine < b.cos_min - kMargin) return false;
  const bool clear = len2 > b.len2_lo * (1 + kMargin) && len2 < b.len2_hi * (1 - kMargin) &&
                     cosine > b.cos_min + kMargin;
  return clear || test_reflection(o, r, lambda, psi_tol).match;
}

// TESTREF: counts the matched reflections. The two reflections of the pair are tested last
// (they nearly always match), and the count gives up as soon as it can no longer rise above
// `must_beat` (the count of the best orientation so far): neither changes the result.
int TESTREF(const Orientation& o, const IndexingInput& in, const std::vector<TestBounds>& bounds,
            const std::vector<int>& order, double psi_tol, int must_beat) {
  const int n = static_cast<int>(in.refl.size());
  const int allowed_misses = n - must_beat - 1;
  int count = 0, misses = 0;
  for (int r : order) {
    const std::size_t k = static_cast<std::size_t>(r);
    if (quick_match(o, in.refl[k], bounds[k], in.lambda, psi_tol)) {
      ++count;
    } else if (++misses > allowed_misses) {
      return count;
    }
  }
  return count;
}

// The index triples of the largest box, in the search order (h, then k, then l, each from +n
// down to -n), with their 2theta; and per used reflection the triples whose 2theta agrees
// within the tolerance, in search order, with the unit vectors of B h for the angle test.
struct TripleTable {
  std::vector<std::array<int, 3>> h;
  std::vector<V3> c;      // B h
  std::vector<double> tth;  // NaN for (0,0,0) and beyond the 2theta any window can reach
};

struct Window {
  std::vector<int> index;               // into the triple table, ascending = search order
  std::vector<double> vx, vy, vz;       // unit vectors of B h, same order
  // The same in single precision, padded with NaN to whole blocks, for the fast angle
  // prefilter (NaN never passes a comparison).
  std::vector<float> fx, fy, fz;
  std::array<int, 3> extent{};          // largest |h|, |k|, |l| among them
};

constexpr std::size_t kBlock = 16;

void pad_floats(Window& w) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  w.fx.assign(w.vx.begin(), w.vx.end());
  w.fy.assign(w.vy.begin(), w.vy.end());
  w.fz.assign(w.vz.begin(), w.vz.end());
  const std::size_t padded = (w.vx.size() + kBlock - 1) / kBlock * kBlock;
  w.fx.resize(padded, nan);
  w.fy.resize(padded, nan);
  w.fz.resize(padded, nan);
}

// The triples of the box; 2theta is computed only up to `tth_reach` (a little beyond, for the
// rounding of the test on the squared length), since no window extends further.
TripleTable build_triples(const std::array<int, 3>& n, const Lattice& lat, double lambda,
                          double tth_reach) {
  TripleTable t;
  const std::size_t size = static_cast<std::size_t>(2 * n[0] + 1) *
                           static_cast<std::size_t>(2 * n[1] + 1) *
                           static_cast<std::size_t>(2 * n[2] + 1);
  t.h.reserve(size);
  t.c.reserve(size);
  t.tth.reserve(size);
  const double s_reach = std::sin(std::min(90.0, tth_reach / 2) / kDeg) * 2 / lambda;
  const double q_reach = s_reach * s_reach * (1 + 1.0e-6);
  const double none = std::numeric_limits<double>::quiet_NaN();
  for (int h = n[0]; h >= -n[0]; --h)
    for (int k = n[1]; k >= -n[1]; --k)
      for (int l = n[2]; l >= -n[2]; --l) {
        const V3 c = refine::mul(lat.B, V3{double(h), double(k), double(l)});
        const double q = refine::dot3(c, c);
        t.h.push_back({h, k, l});
        t.c.push_back(c);
        t.tth.push_back((h == 0 && k == 0 && l == 0) || q > q_reach ? none : tth_of_q(q, lambda));
      }
  return t;
}

// The triples grouped by 2theta in bins of `width` degrees (a counting sort), each bin in
// search order.
struct TthBins {
  double width = 1;
  std::vector<int> start;  // bin b holds order[start[b] .. start[b+1])
  std::vector<int> order;
};

TthBins bin_triples(const TripleTable& t, double width, double tth_reach) {
  TthBins bins;
  bins.width = width;
  const int count = static_cast<int>(tth_reach / width) + 2;
  bins.start.assign(static_cast<std::size_t>(count) + 1, 0);
  auto bin_of = [&](double tth) { return std::min(count - 1, static_cast<int>(tth / width)); };
  for (double x : t.tth)
    if (!std::isnan(x)) ++bins.start[static_cast<std::size_t>(bin_of(x)) + 1];
  for (int b = 0; b < count; ++b)
    bins.start[static_cast<std::size_t>(b) + 1] += bins.start[static_cast<std::size_t>(b)];
  bins.order.resize(static_cast<std::size_t>(bins.start.back()));
  std::vector<int> fill(bins.start.begin(), bins.start.end() - 1);
  for (std::size_t i = 0; i < t.tth.size(); ++i)
    if (!std::isnan(t.tth[i]))
      bins.order[static_cast<std::size_t>(fill[static_cast<std::size_t>(bin_of(t.tth[i]))]++)] =
          static_cast<int>(i);
  return bins;
}

Window window_of(const TripleTable& t, const TthBins& bins, double tth, double tol) {
  Window w;
  const int last_bin = static_cast<int>(bins.start.size()) - 2;
  const int first = std::clamp(static_cast<int>((tth - tol) / bins.width) - 1, 0, last_bin);
  const int last = std::clamp(static_cast<int>((tth + tol) / bins.width) + 1, 0, last_bin);
  for (int b = first; b <= last; ++b)
    for (int p = bins.start[static_cast<std::size_t>(b)];
         p < bins.start[static_cast<std::size_t>(b) + 1]; ++p) {
      const int i = bins.order[static_cast<std::size_t>(p)];
      if (std::fabs(t.tth[static_cast<std::size_t>(i)] - tth) < tol) w.index.push_back(i);
    }
  std::sort(w.index.begin(), w.index.end());
  for (int i : w.index) {
    const V3 v = unit(t.c[static_cast<std::size_t>(i)]);
    w.vx.push_back(v[0]);
    w.vy.push_back(v[1]);
    w.vz.push_back(v[2]);
    for (int k = 0; k < 3; ++k)
      w.extent[static_cast<std::size_t>(k)] =
          std::max(w.extent[static_cast<std::size_t>(k)],
                   std::abs(t.h[static_cast<std::size_t>(i)][static_cast<std::size_t>(k)]));
  }
  pad_floats(w);
  return w;
}

bool inside(const std::array<int, 3>& h, const std::array<int, 3>& box) {
  return std::abs(h[0]) <= box[0] && std::abs(h[1]) <= box[1] && std::abs(h[2]) <= box[2];
}

// The window restricted to the pair's box (a copy only when some triple lies outside it).
const Window& restrict_to(const Window& w, const TripleTable& t, const std::array<int, 3>& box,
                          Window& scratch) {
  if (w.extent[0] <= box[0] && w.extent[1] <= box[1] && w.extent[2] <= box[2]) return w;
  scratch = Window{};
  for (std::size_t p = 0; p < w.index.size(); ++p) {
    if (!inside(t.h[static_cast<std::size_t>(w.index[p])], box)) continue;
    scratch.index.push_back(w.index[p]);
    scratch.vx.push_back(w.vx[p]);
    scratch.vy.push_back(w.vy[p]);
    scratch.vz.push_back(w.vz[p]);
  }
  pad_floats(scratch);
  return scratch;
}

}  // namespace

V3 ICALCH(const AngleSet& angles, const MachineProfile& profile) {
  const double w = angles[1] / kDeg, c = angles[2] / kDeg, p = angles[3] / kDeg;
  const double sw = std::sin(w) * profile.sense[2], cw = std::cos(w);
  const double sc = std::sin(c) * profile.sense[3], cc = std::cos(c);
  const double sp = std::sin(p) * profile.sense[4], cp = std::cos(p);
  const double sign = angles[0] < 0 ? -1.0 : 1.0;
  return {sign * (cw * cc * cp - sw * sp), sign * (cw * cc * sp + sw * cp), sign * (cw * sc)};
}

IndexingInput indexing_input(const CrystalState& crystal, const ReflectionList& list,
                             const MachineProfile& profile) {
  IndexingInput in;
  for (int k = 0; k < 6; ++k)
    in.cell[static_cast<std::size_t>(k)] = crystal.cell[static_cast<std::size_t>(k)];
  in.lambda = crystal.lambda1;
  const int count = std::min(list.count, kListSize);
  for (int n = 0; n < count; ++n) {
    const ReflectionEntry& e = list.entry[static_cast<std::size_t>(n)];
    if (e.use == 0) continue;
    IndexingReflection r;
    r.number = n + 1;
    r.angles = e.angles;
    r.tth_abs = std::fabs(double(e.angles[0]));
    r.u = unit(ICALCH(e.angles, profile));
    const double dstar = 2 * std::sin(r.tth_abs / 2 / kDeg) / in.lambda;
    r.x = {r.u[0] * dstar, r.u[1] * dstar, r.u[2] * dstar};
    in.refl.push_back(r);
  }
  return in;
}

int INDEX_SEARCH(const IndexingInput& in, double tth_tol, double psi_tol, IndexingSolution& best) {
  best = IndexingSolution{};
  const int n = static_cast<int>(in.refl.size());
  best.used = n;

  // REFPICK: the first used reflection needs a partner more than 20 degrees away.
  bool picked = false;
  for (int j = 1; j < n && !picked; ++j)
    picked = angle_deg(in.refl[0].u, in.refl[static_cast<std::size_t>(j)].u) > kPairMinimum;
  if (!picked) return INDC_PICK_FAILED;

  const Lattice lat = lattice_of(in.cell);
  if (!lat.ok || !(in.lambda > 0)) return INDC_NO_CANDIDATE;

  // The triples of the largest box the search can use, once, with their 2theta; then per
  // reflection the triples of its 2theta window, in search order.
  double tth_max = 0;
  for (const IndexingReflection& r : in.refl) tth_max = std::max(tth_max, r.tth_abs);
  const double reach = tth_max + tth_tol + 0.01;
  std::array<int, 3> largest{};
  if (!box_of(tth_max, in.lambda, lat.g, largest)) return INDC_BOX_TOO_LARGE;
  const TripleTable table = build_triples(largest, lat, in.lambda, reach);
  const TthBins bins = bin_triples(table, std::max(0.01, tth_tol / 4), reach);
  std::vector<Window> windows;
  std::vector<TestBounds> bounds;
  windows.reserve(in.refl.size());
  for (const IndexingReflection& r : in.refl) {
    windows.push_back(window_of(table, bins, r.tth_abs, tth_tol));
    bounds.push_back(bounds_of(r, in.lambda, psi_tol));
  }

  Window scratch1, scratch2;
  std::vector<int> hits, order;
  for (int i = 0; i < n; ++i) {
    for (int j = i + 1; j < n; ++j) {
      const IndexingReflection& ri = in.refl[static_cast<std::size_t>(i)];
      const IndexingReflection& rj = in.refl[static_cast<std::size_t>(j)];
      const double psi_obs = angle_deg(ri.u, rj.u);
      if (psi_obs <= kPairMinimum) continue;
      const double pair_max = std::max(ri.tth_abs, rj.tth_abs);
      if (pair_max == 0) return INDC_ZERO_TWO_THETA;
      M3 t_phi{};
      if (!MAKEBASIS(ri.u, rj.u, t_phi)) continue;
      std::array<int, 3> box{};
      box_of(pair_max, in.lambda, lat.g, box);  // within the largest box
      const Window& w1 = restrict_to(windows[static_cast<std::size_t>(i)], table, box, scratch1);
      const Window& w2 = restrict_to(windows[static_cast<std::size_t>(j)], table, box, scratch2);
      order.clear();
      for (int r = 0; r < n; ++r)
        if (r != i && r != j) order.push_back(r);
      order.push_back(i);
      order.push_back(j);
      // The angle window as a window on the cosine, in single precision and wider by far more
      // than its rounding, so that no triple is lost; the exact test follows.
      const float cos_lo =
          static_cast<float>(std::cos(std::min(180.0, psi_obs + psi_tol) / kDeg) - 1.0e-5);
      const float cos_hi =
          static_cast<float>(std::cos(std::max(0.0, psi_obs - psi_tol) / kDeg) + 1.0e-5);
      const std::size_t m2 = w2.fx.size();
      hits.resize(m2);
      const double* vx = w2.vx.data();
      const double* vy = w2.vy.data();
      const double* vz = w2.vz.data();
      const float* fx = w2.fx.data();
      const float* fy = w2.fy.data();
      const float* fz = w2.fz.data();
      for (std::size_t a = 0; a < w1.index.size(); ++a) {
        const float ax = w1.fx[a], ay = w1.fy[a], az = w1.fz[a];
        std::size_t nh = 0;
        for (std::size_t blk = 0; blk < m2; blk += kBlock) {
          std::int32_t pass[kBlock];
          std::int32_t any = 0;
          for (std::size_t b = 0; b < kBlock; ++b) {
            const float d = ax * fx[blk + b] + ay * fy[blk + b] + az * fz[blk + b];
            pass[b] = (d >= cos_lo ? 1 : 0) & (d <= cos_hi ? 1 : 0);
          }
          for (std::size_t b = 0; b < kBlock; ++b) any |= pass[b];
          if (!any) continue;
          for (std::size_t b = 0; b < kBlock; ++b)
            if (pass[b]) hits[nh++] = static_cast<int>(blk + b);
        }
        if (nh == 0) continue;
        const V3 v1{w1.vx[a], w1.vy[a], w1.vz[a]};
        const int t1 = w1.index[a];
        for (std::size_t q = 0; q < nh; ++q) {
          const int b = hits[q];
          const V3 v2{vx[b], vy[b], vz[b]};
          if (std::fabs(angle_deg(v1, v2) - psi_obs) > psi_tol) continue;
          M3 t_c{};
          if (!unit_basis(v1, v2, t_c)) continue;  // collinear triples define no orientation
          Orientation o;
          orientation_of_frame(t_phi, t_c, lat, o);
          ++best.candidates;
          const int count = TESTREF(o, in, bounds, order, psi_tol, best.matched);
          if (count <= best.matched) continue;
          best.matched = count;
          best.found = true;
          best.first = i;
          best.second = j;
          best.h1 = table.h[static_cast<std::size_t>(t1)];
          best.h2 = table.h[static_cast<std::size_t>(w2.index[static_cast<std::size_t>(b)])];
          best.ub = o.ub;
          if (count == n) return INDC_FOUND;
        }
      }
    }
  }
  return best.found ? INDC_FOUND : INDC_NO_CANDIDATE;
}

int GENUB(CrystalState& crystal, const ReflectionList& list, const MachineProfile& profile,
          double tth_tol, double psi_tol, IndexingSolution* solution) {
  const IndexingInput in = indexing_input(crystal, list, profile);
  IndexingSolution best;
  const int status = INDEX_SEARCH(in, tth_tol, psi_tol, best);
  if (solution) *solution = best;
  if (status == INDC_PICK_FAILED) {
    WRITE_OUT(" Error in Picking Two Reflections - Job aborted.");
    return status;
  }
  if (status == INDC_ZERO_TWO_THETA) {
    WRITE_OUT(" Maximum 2Theta is ZERO.  Job aborted.");
    return status;
  }
  if (status == INDC_BOX_TOO_LARGE) {
    WRITE_OUT(" Index range too large for INDC (check cell and wavelength) - Job aborted.");
    return status;
  }
  const int n = static_cast<int>(in.refl.size());
  WRITE_OUT("");
  WRITE_OUT(" The best solution matches" + I(best.matched, 3) + " of" + I(n, 3) +
            " reflections, as follows:");
  WRITE_OUT("");
  if (status == INDC_NO_CANDIDATE) {
    // No pair of reflections agreed with the cell: there is no orientation to list.
    WRITE_OUT(" No pair of index triples agrees with the cell within the tolerances;");
    WRITE_OUT(" the orientation matrix is unchanged.");
    return status;
  }

  // MAKEUB from the best pair, then every used reflection as that orientation indexes it.
  crystal.UB = refine::narrow(best.ub);
  Orientation o;
  o.ub = refine::widen(crystal.UB);
  const double det = refine::det3(o.ub);
  o.ubinv = refine::inverse3(o.ub, det);
  WRITE_OUT(std::string(59, ' ') + "angular" + std::string(6, ' ') + "calc");
  WRITE_OUT("    h    k    l    2theta     omega      chi      phi     deviation    2theta");
  WRITE_OUT("");
  for (const IndexingReflection& r : in.refl) {
    const RefTest t = test_reflection(o, r, in.lambda, psi_tol);
    // Columns: h k l 3I5, 2theta omega chi phi and the angular deviation 5F10.3, 2X, the
    // calculated 2theta F10.2.
    WRITE_OUT(I(t.h[0], 5) + I(t.h[1], 5) + I(t.h[2], 5) + F(r.angles[0], 10, 3) +
              F(r.angles[1], 10, 3) + F(r.angles[2], 10, 3) + F(r.angles[3], 10, 3) +
              F(t.deviation, 10, 3) + "  " + F(t.tth_calc, 10, 2));
  }
  return status;
}

}  // namespace dorvex
