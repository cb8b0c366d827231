#include "geometry/indexing.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>  // the angle prefilter, four single-precision lanes at a time
#endif

#include "common/fields.hpp"
#include "geometry/clsq.hpp"  // BCALC
#include "console/output.hpp"
#include "console/wait.hpp"  // the operator's halt

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

// The index triples of the largest box, in the search order (h, then k, then l, each from +n
// down to -n), with their 2theta. The box is symmetric, so -h sits at size - 1 - (place of h).
struct TripleTable {
  std::vector<std::array<int, 3>> h;
  std::vector<V3> c;        // B h
  std::vector<double> tth;  // NaN for (0,0,0) and beyond the 2theta any window can reach
  int opposite(int t) const { return static_cast<int>(h.size()) - 1 - t; }
};

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

// How many triples lie within a 2theta window, to 0.01 degree: for the cost estimate and for
// ordering the reflections of the count.
class TthCounts {
 public:
  explicit TthCounts(const TripleTable& t) : below_(kSteps + 2, 0) {
    for (double x : t.tth)
      if (!std::isnan(x)) ++below_[static_cast<std::size_t>(step(x)) + 1];
    for (std::size_t s = 1; s < below_.size(); ++s) below_[s] += below_[s - 1];
  }
  double within(double tth, double tol) const {
    return double(below_[static_cast<std::size_t>(step(tth + tol)) + 1] -
                  below_[static_cast<std::size_t>(step(tth - tol))]);
  }

 private:
  static constexpr int kSteps = 18000;
  static int step(double tth) { return std::clamp(static_cast<int>(tth * 100), 0, kSteps); }
  std::vector<long> below_;
};

// One half of a reflection's 2theta window: the triples that agree within the tolerance and
// come before (0,0,0) in the search order, ascending. The other half are their opposites -h,
// which come after (0,0,0) in the reverse order, so that the whole window in search order
// reads h[0] .. h[m-1], -h[m-1] .. -h[0]. 2theta and the box are the same for h and -h, and
// B(-h) = -(B h) to the last bit, so every test of -h is that of h with signs changed.
struct Half {
  std::vector<int> index;          // into the triple table
  std::vector<double> vx, vy, vz;  // unit vectors of B h
  // The same in single precision, padded with NaN to whole blocks, for the fast angle
  // prefilter (NaN never passes a comparison).
  std::vector<float> fx, fy, fz;
  std::array<int, 3> extent{};  // largest |h|, |k|, |l| among them
};

constexpr std::size_t kBlock = 16;

// The prefilter on a block of kBlock unit vectors: bit b of `plus` is set when the dot product
// of a with vector b lies in [lo, hi], of `minus` when it lies in [-hi, -lo].
struct Masks {
  std::uint32_t plus = 0, minus = 0;
};

#if defined(__SSE2__)
inline Masks window_masks(float ax, float ay, float az, const float* fx, const float* fy,
                          const float* fz, float lo, float hi) {
  const __m128 vax = _mm_set1_ps(ax), vay = _mm_set1_ps(ay), vaz = _mm_set1_ps(az);
  const __m128 vlo = _mm_set1_ps(lo), vhi = _mm_set1_ps(hi);
  const __m128 nlo = _mm_set1_ps(-lo), nhi = _mm_set1_ps(-hi);
  Masks m;
  for (std::size_t b = 0; b < kBlock; b += 4) {
    const __m128 d = _mm_add_ps(_mm_add_ps(_mm_mul_ps(vax, _mm_loadu_ps(fx + b)),
                                           _mm_mul_ps(vay, _mm_loadu_ps(fy + b))),
                                _mm_mul_ps(vaz, _mm_loadu_ps(fz + b)));
    const __m128 plus = _mm_and_ps(_mm_cmpge_ps(d, vlo), _mm_cmple_ps(d, vhi));
    const __m128 minus = _mm_and_ps(_mm_cmpge_ps(d, nhi), _mm_cmple_ps(d, nlo));
    m.plus |= static_cast<std::uint32_t>(_mm_movemask_ps(plus)) << b;
    m.minus |= static_cast<std::uint32_t>(_mm_movemask_ps(minus)) << b;
  }
  return m;
}
#else
inline Masks window_masks(float ax, float ay, float az, const float* fx, const float* fy,
                          const float* fz, float lo, float hi) {
  Masks m;
  for (std::size_t b = 0; b < kBlock; ++b) {
    const float d = ax * fx[b] + ay * fy[b] + az * fz[b];
    m.plus |= static_cast<std::uint32_t>(d >= lo && d <= hi) << b;
    m.minus |= static_cast<std::uint32_t>(d >= -hi && d <= -lo) << b;
  }
  return m;
}
#endif

// Nearest integers by the addition of 1.5 * 2^52, which rounds to the nearest integer (halves
// to even, but values near a half go to the exact test anyway).
constexpr double kRound = 6755399441055744.0;

// The partners of one triple h1, in search order, and what the screen found for them.
constexpr std::size_t kScreened = 2;  // tests of the count done for the whole batch at once
struct Batch {
  std::size_t size = 0;
  std::vector<double> x, y, z;  // unit vectors of B h2
  std::vector<int> t;           // places of h2 in the triple table
  std::vector<std::int32_t> angle;  // 0 outside the angle window, 1 inside, 2 too near to say
  std::array<std::vector<std::int32_t>, kScreened> result;  // as quick_match
  void reserve(std::size_t n) {
    if (x.size() >= n) return;
    for (auto* v : {&x, &y, &z}) v->resize(n);
    t.resize(n);
    angle.resize(n);
    for (auto& r : result) r.resize(n);
  }
};

// What the screen needs of a pair and of its first kScreened reflections of the count.
struct ScreenSetup {
  double lo = 0, hi = 0;  // the cosine window of the angle between the triples
  M3 binv{}, b{};
  std::array<V3, kScreened> y{};
  std::array<double, kScreened> inv_dstar{}, len2_lo{}, len2_hi{}, cos_lo2{}, cos_hi2{};
};

// One test of the screen for the frame (b, m, n) of unit_basis: 1, 0 or -1 as quick_match.
// Written without branches (the flags are added and multiplied) so that the loop vectorises.
inline std::int32_t screen_test(const ScreenSetup& k, std::size_t t, double bx, double by,
                                double bz, double mx, double my, double mz, double nx,
                                double ny, double nz) {
  const V3& y = k.y[t];
  const double px = bx * y[0] + mx * y[1] + nx * y[2];
  const double py = by * y[0] + my * y[1] + ny * y[2];
  const double pz = bz * y[0] + mz * y[1] + nz * y[2];
  const double f0 = k.binv[0][0] * px + k.binv[0][1] * py + k.binv[0][2] * pz;
  const double f1 = k.binv[1][0] * px + k.binv[1][1] * py + k.binv[1][2] * pz;
  const double f2 = k.binv[2][0] * px + k.binv[2][1] * py + k.binv[2][2] * pz;
  const double h0 = (f0 + kRound) - kRound, h1 = (f1 + kRound) - kRound,
               h2 = (f2 + kRound) - kRound;
  // Too near a half to round here, or too large (or not a number) to round this way.
  const int halfway = (std::fabs(std::fabs(f0 - h0) - 0.5) < kMargin) |
                      (std::fabs(std::fabs(f1 - h1) - 0.5) < kMargin) |
                      (std::fabs(std::fabs(f2 - h2) - 0.5) < kMargin) |
                      (std::fabs(f0) + std::fabs(f1) + std::fabs(f2) < 1.0e9 ? 0 : 1);
  const double xx = k.b[0][0] * h0 + k.b[0][1] * h1 + k.b[0][2] * h2;
  const double xy = k.b[1][0] * h0 + k.b[1][1] * h1 + k.b[1][2] * h2;
  const double xz = k.b[2][0] * h0 + k.b[2][1] * h1 + k.b[2][2] * h2;
  const double len2 = xx * xx + xy * xy + xz * xz;
  const double proj = (xx * px + xy * py + xz * pz) * k.inv_dstar[t];
  const double proj2 = proj * proj;
  const int miss = (len2 <= 0) | (len2 < k.len2_lo[t] * (1 - kMargin)) |
                   (len2 > k.len2_hi[t] * (1 + kMargin)) | (proj <= 0) |
                   (proj2 < k.cos_lo2[t] * len2);
  const int hit = (len2 > k.len2_lo[t] * (1 + kMargin)) & (len2 < k.len2_hi[t] * (1 - kMargin)) &
                  (proj > 0) & (proj2 > k.cos_hi2[t] * len2);
  const int base = hit - (1 - hit) * (1 - miss);  // 1 hit, 0 miss, -1 neither
  return base - halfway * (base + 1);
}

// The screen of a batch: for each partner q of h1 (unit vector v1), whether the angle between
// the triples lies in the window, and the first kScreened tests of the count of the orientation
// built from the pair (1 indexed, 0 not, -1 too near a bound to say), as quick_match decides
// them. A loop without branches, vectorised (four lanes where the processor has them).
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
__attribute__((target_clones("avx2", "default")))
#endif
void screen_batch(const V3& v1, const ScreenSetup& k, std::size_t size, const double* bx2,
                  const double* by2, const double* bz2, std::int32_t* angle,
                  std::int32_t* result0, std::int32_t* result1) {
  for (std::size_t q = 0; q < size; ++q) {
    const double x2 = bx2[q], y2 = by2[q], z2 = bz2[q];
    const double d = v1[0] * x2 + v1[1] * y2 + v1[2] * z2;
    // The frame of unit_basis: bisector, the normal's cross product with it, normal.
    const double sx = v1[0] + x2, sy = v1[1] + y2, sz = v1[2] + z2;
    const double cx = v1[1] * z2 - v1[2] * y2, cy = v1[2] * x2 - v1[0] * z2,
                 cz = v1[0] * y2 - v1[1] * x2;
    const double cn2 = cx * cx + cy * cy + cz * cz;
    const double sn2 = sx * sx + sy * sy + sz * sz;
    const double si = 1 / std::sqrt(std::max(sn2, 1.0e-300));
    const double ci = 1 / std::sqrt(std::max(cn2, 1.0e-300));
    const double bx = sx * si, by = sy * si, bz = sz * si;
    const double nx = cx * ci, ny = cy * ci, nz = cz * ci;
    const double mx = ny * bz - nz * by, my = nz * bx - nx * bz, mz = nx * by - ny * bx;
    const int out = (d < k.lo - 1.0e-12) | (d > k.hi + 1.0e-12) | (cn2 < 1.0e-12);
    const int near = (d < k.lo + 1.0e-12) | (d > k.hi - 1.0e-12);
    angle[q] = (1 - out) * (1 + near);
    result0[q] = screen_test(k, 0, bx, by, bz, mx, my, mz, nx, ny, nz);
    result1[q] = screen_test(k, 1, bx, by, bz, mx, my, mz, nx, ny, nz);
  }
}

void pad_floats(Half& w) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  w.fx.assign(w.vx.begin(), w.vx.end());
  w.fy.assign(w.vy.begin(), w.vy.end());
  w.fz.assign(w.vz.begin(), w.vz.end());
  const std::size_t padded = (w.vx.size() + kBlock - 1) / kBlock * kBlock;
  w.fx.resize(padded, nan);
  w.fy.resize(padded, nan);
  w.fz.resize(padded, nan);
}

Half half_window(const TripleTable& t, const TthBins& bins, double tth, double tol) {
  Half w;
  const int centre = static_cast<int>(t.h.size()) / 2;  // (0,0,0)
  const int last_bin = static_cast<int>(bins.start.size()) - 2;
  const int first = std::clamp(static_cast<int>((tth - tol) / bins.width) - 1, 0, last_bin);
  const int last = std::clamp(static_cast<int>((tth + tol) / bins.width) + 1, 0, last_bin);
  for (int b = first; b <= last; ++b)
    for (int p = bins.start[static_cast<std::size_t>(b)];
         p < bins.start[static_cast<std::size_t>(b) + 1]; ++p) {
      const int i = bins.order[static_cast<std::size_t>(p)];
      if (i < centre && std::fabs(t.tth[static_cast<std::size_t>(i)] - tth) < tol)
        w.index.push_back(i);
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

// The half window restricted to the pair's box (a copy only when some triple lies outside it).
const Half& restrict_to(const Half& w, const TripleTable& t, const std::array<int, 3>& box,
                        Half& scratch) {
  if (w.extent[0] <= box[0] && w.extent[1] <= box[1] && w.extent[2] <= box[2]) return w;
  scratch = Half{};
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

// ---------------------------------------------------------------------------------------------
// The search proper.

// A pair of reflections to try, in the search order.
struct PairTask {
  int i = 0, j = 0;
  double psi = 0;          // observed angle between them
  M3 t_phi{};              // their bisector frame
  std::array<int, 3> box{};
};

// The best of one pair of reflections (see `Shared` for what it means when several workers run).
struct PairResult {
  bool found = false;
  int matched = 0;
  std::array<int, 3> h1{}, h2{};
  M3 ub{};
  long candidates = 0;
};

// What the workers share: the next pair to take, the largest count found anywhere with the
// earliest pair that found it, the first pair that indexed every reflection, and the order to
// stop.
//
// A pair keeps a candidate when its count reaches its own best + 1 and the largest count M
// found anywhere so far, or M + 1 when an earlier pair already found M (the search one by one
// would keep that earlier one). Its record is then the first candidate of the pair with that
// count. The first candidate of the whole search with the largest count M always becomes its
// pair's record (nothing before it in the pair reaches M, nothing anywhere exceeds M, and no
// earlier pair can have found M), and no earlier pair records M; so the merge, which takes the
// first pair with the largest record, finds exactly the candidate the search one by one would
// keep, however the pairs were shared out. Pairs after the first full match are not needed.
struct Shared {
  std::atomic<int> next{0};
  // count << 32 | (2^32 - 1 - pair): larger means a larger count, or the same from an earlier
  // pair.
  std::atomic<std::uint64_t> best{0};
  std::atomic<int> full_at{std::numeric_limits<int>::max()};
  std::atomic<bool> stop{false};

  static std::uint64_t record(int count, int pair) {
    return (static_cast<std::uint64_t>(count) << 32) |
           (0xFFFFFFFFu - static_cast<std::uint32_t>(pair));
  }
  // The count a candidate of pair p must reach to matter to the search.
  int need(int p) const {
    const std::uint64_t r = best.load(std::memory_order_relaxed);
    const int count = static_cast<int>(r >> 32);
    const int pair = static_cast<int>(0xFFFFFFFFu - static_cast<std::uint32_t>(r));
    return count > 0 && pair < p ? count + 1 : count;
  }
  void offer(int count, int pair) {
    const std::uint64_t mine = record(count, pair);
    std::uint64_t seen = best.load();
    while (seen < mine && !best.compare_exchange_weak(seen, mine)) {
    }
  }
};

// The operator's halt, asked from the calling thread only.
struct HaltPoll {
  using Clock = std::chrono::steady_clock;
  const std::function<bool()>* halt = nullptr;
  Clock::time_point next{};
  bool halted = false;

  void poll(Shared& shared) {
    if (halt == nullptr || !*halt) return;
    const Clock::time_point now = Clock::now();
    if (now < next) return;
    next = now + std::chrono::milliseconds(50);
    if ((*halt)()) {
      halted = true;
      shared.stop.store(true);
    }
  }
};

// Everything the workers read; nothing in it changes during the search.
struct Context {
  const IndexingInput* in = nullptr;
  double tth_tol = 0, psi_tol = 0;
  Lattice lat;
  TripleTable table;
  std::vector<Half> windows;
  std::vector<TestBounds> bounds;
  std::vector<int> rank;  // reflections by rising number of lattice points in their test window
  std::vector<PairTask> pairs;
};

// A worker's own buffers, reused from pair to pair.
struct Scratch {
  Half first, second;
  std::vector<int> plus, minus;          // per triple of the first half: partners (see below)
  std::vector<int> plus_end, minus_end;  // where each triple's partners end in plus and minus
  std::vector<int> order;                // the reflections in the order they are counted
  std::vector<V3> y;                     // their diffraction vectors in the pair's frame
  std::vector<double> inv_dstar;         // 1 / |y|
  std::vector<TestBounds> bounds;        // of the reflections in that order
  // What the counts so far taught: per place of the count, tests and misses since the order
  // was last set; per reflection, all of them.
  std::vector<long> place_tests, place_misses;
  std::vector<double> tests, misses;
  Batch batch;
  ScreenSetup setup;
};

class PairSearch {
 public:
  PairSearch(const Context& ctx, Shared& shared, Scratch& s, HaltPoll* poll, int p,
             PairResult& out)
      : ctx_(ctx), in_(*ctx.in), shared_(shared), s_(s), poll_(poll), p_(p), pair_(ctx.pairs[
            static_cast<std::size_t>(p)]), out_(out), n_(static_cast<int>(in_.refl.size())) {}

  void run() {
    const Half& w1 =
        restrict_to(ctx_.windows[static_cast<std::size_t>(pair_.i)], ctx_.table, pair_.box,
                    s_.first);
    const Half& w2 =
        restrict_to(ctx_.windows[static_cast<std::size_t>(pair_.j)], ctx_.table, pair_.box,
                    s_.second);
    prepare_count();
    // The angle window as a window on the cosine; in single precision wider by far more than
    // its rounding, so that the prefilter loses no triple; the exact test follows.
    cos_lo_ = std::cos(std::min(180.0, pair_.psi + ctx_.psi_tol) / kDeg);
    cos_hi_ = std::cos(std::max(0.0, pair_.psi - ctx_.psi_tol) / kDeg);
    s_.setup.lo = cos_lo_;
    s_.setup.hi = cos_hi_;
    if (!partners(w1, w2)) return;

    // h1 = +h[a] for a rising, then -h[a] for a falling; for each, h2 in search order: the
    // partners +h[b] with b rising, then -h[b] with b falling. The dot product of -v1 and v2
    // is minus that of v1 and v2, so +h[a] pairs with +h[b] and -h[a] with -h[b] when the
    // dot product lies in the window ("plus"), and crosswise when its negative does ("minus").
    const int m1 = static_cast<int>(w1.index.size());
    for (int a = 0; a < m1; ++a)
      if (!first_triple(w1, w2, a, +1)) return;
    for (int a = m1 - 1; a >= 0; --a)
      if (!first_triple(w1, w2, a, -1)) return;
  }

 private:
  bool keep_going() {
    if (poll_) poll_->poll(shared_);
    return !shared_.stop.load(std::memory_order_relaxed) &&
           p_ <= shared_.full_at.load(std::memory_order_relaxed);
  }

  // Adds what the counts since the order was last set taught to the worker's record.
  void learn() {
    const std::size_t n = std::min(s_.order.size(), s_.place_tests.size());
    if (s_.tests.size() != in_.refl.size()) {
      s_.tests.assign(in_.refl.size(), 0.0);
      s_.misses.assign(in_.refl.size(), 0.0);
    }
    for (std::size_t t = 0; t < n; ++t) {
      const std::size_t r = static_cast<std::size_t>(s_.order[t]);
      s_.tests[r] += double(s_.place_tests[t]);
      s_.misses[r] += double(s_.place_misses[t]);
      s_.place_tests[t] = s_.place_misses[t] = 0;
    }
  }

  // The reflections in the order they are counted: those that most often missed so far first
  // (stray peaks, and the reflections with the fewest lattice points in their 2theta window,
  // which a wrong orientation rarely indexes), so that a trial is given up after its first
  // few tests; before anything is learnt, by the number of lattice points in the window. The
  // pair's own two come last. The order of the tests does not change a count, only how soon a
  // trial that cannot win is given up. The count's diffraction vectors are turned into the
  // pair's bisector frame, so that a trial orientation needs only its crystal-side frame.
  void prepare_count() {
    learn();
    s_.order.clear();
    for (int r : ctx_.rank)
      if (r != pair_.i && r != pair_.j) s_.order.push_back(r);
    // Misses per test, with one test of prior weight at a rate of one half.
    auto rate = [&](int r) {
      const std::size_t u = static_cast<std::size_t>(r);
      return (s_.misses[u] + 0.5) / (s_.tests[u] + 1);
    };
    std::stable_sort(s_.order.begin(), s_.order.end(),
                     [&](int a, int b) { return rate(a) > rate(b); });
    s_.order.push_back(pair_.i);
    s_.order.push_back(pair_.j);
    s_.place_tests.assign(s_.order.size(), 0);
    s_.place_misses.assign(s_.order.size(), 0);
    s_.y.resize(s_.order.size());
    s_.inv_dstar.resize(s_.order.size());
    for (std::size_t t = 0; t < s_.order.size(); ++t) {
      const V3& x = in_.refl[static_cast<std::size_t>(s_.order[t])].x;
      const M3& f = pair_.t_phi;
      s_.y[t] = {f[0][0] * x[0] + f[1][0] * x[1] + f[2][0] * x[2],
                 f[0][1] * x[0] + f[1][1] * x[1] + f[2][1] * x[2],
                 f[0][2] * x[0] + f[1][2] * x[1] + f[2][2] * x[2]};
      const double d = refine::norm3(x);
      s_.inv_dstar[t] = d > 0 ? 1 / d : 0.0;
    }
    s_.bounds.clear();
    for (int r : s_.order) s_.bounds.push_back(ctx_.bounds[static_cast<std::size_t>(r)]);
    // The screen covers the first two reflections of the count while the angle bound is
    // positive (tolerances below 90 degrees); otherwise every test is done one by one.
    screened_ = s_.order.size() >= kScreened && ctx_.bounds[0].cos_min - kMargin > 0 ? kScreened
                                                                                     : 0;
    ScreenSetup& k = s_.setup;
    k.binv = ctx_.lat.Binv;
    k.b = ctx_.lat.B;
    for (std::size_t t = 0; t < screened_; ++t) {
      const TestBounds& tb = s_.bounds[t];
      k.y[t] = s_.y[t];
      k.inv_dstar[t] = s_.inv_dstar[t];
      k.len2_lo[t] = tb.len2_lo;
      k.len2_hi[t] = tb.len2_hi;
      k.cos_lo2[t] = (tb.cos_min - kMargin) * (tb.cos_min - kMargin);
      k.cos_hi2[t] = (tb.cos_min + kMargin) * (tb.cos_min + kMargin);
    }
  }

  // For every triple a of the first half, the triples b of the second half whose unit vectors
  // make a dot product with it inside the cosine window (plus) or inside its negative (minus),
  // b rising. False when the search was stopped.
  bool partners(const Half& w1, const Half& w2) {
    const float lo = static_cast<float>(cos_lo_ - 1.0e-5);
    const float hi = static_cast<float>(cos_hi_ + 1.0e-5);
    const std::size_t m2 = w2.fx.size();
    const float* fx = w2.fx.data();
    const float* fy = w2.fy.data();
    const float* fz = w2.fz.data();
    s_.plus.clear();
    s_.minus.clear();
    s_.plus_end.clear();
    s_.minus_end.clear();
    for (std::size_t a = 0; a < w1.index.size(); ++a) {
      if ((a & 63) == 0 && !keep_going()) return false;
      const float ax = w1.fx[a], ay = w1.fy[a], az = w1.fz[a];
      for (std::size_t blk = 0; blk < m2; blk += kBlock) {
        const Masks found = window_masks(ax, ay, az, fx + blk, fy + blk, fz + blk, lo, hi);
        for (std::uint32_t bits = found.plus; bits != 0; bits &= bits - 1)
          s_.plus.push_back(static_cast<int>(blk) + std::countr_zero(bits));
        for (std::uint32_t bits = found.minus; bits != 0; bits &= bits - 1)
          s_.minus.push_back(static_cast<int>(blk) + std::countr_zero(bits));
      }
      s_.plus_end.push_back(static_cast<int>(s_.plus.size()));
      s_.minus_end.push_back(static_cast<int>(s_.minus.size()));
    }
    return true;
  }

  // All candidates with h1 = sign * h[a] of the first half. False when the pair is done.
  bool first_triple(const Half& w1, const Half& w2, int a, int sign) {
    if (!keep_going()) return false;
    if ((++batches_ & 15) == 0) prepare_count();  // the order again, from what was learnt
    const std::size_t ua = static_cast<std::size_t>(a);
    const double s1 = sign;
    const V3 v1{s1 * w1.vx[ua], s1 * w1.vy[ua], s1 * w1.vz[ua]};
    const int t1 = sign > 0 ? w1.index[ua] : ctx_.table.opposite(w1.index[ua]);
    // With h1 = +h[a] the partners +h[b] are the plus list and -h[b] the minus list; with
    // h1 = -h[a] the other way round.
    const std::vector<int>& same = sign > 0 ? s_.plus : s_.minus;
    const std::vector<int>& cross = sign > 0 ? s_.minus : s_.plus;
    const std::vector<int>& same_end = sign > 0 ? s_.plus_end : s_.minus_end;
    const std::vector<int>& cross_end = sign > 0 ? s_.minus_end : s_.plus_end;
    const int same_from = a > 0 ? same_end[ua - 1] : 0;
    const int cross_from = a > 0 ? cross_end[ua - 1] : 0;
    Batch& batch = s_.batch;
    batch.size = static_cast<std::size_t>(same_end[ua] - same_from + cross_end[ua] - cross_from);
    batch.reserve(batch.size);
    std::size_t k = 0;
    for (int q = same_from; q < same_end[ua]; ++q, ++k) {
      const std::size_t b = static_cast<std::size_t>(same[static_cast<std::size_t>(q)]);
      batch.x[k] = w2.vx[b];
      batch.y[k] = w2.vy[b];
      batch.z[k] = w2.vz[b];
      batch.t[k] = w2.index[b];
    }
    for (int q = cross_end[ua] - 1; q >= cross_from; --q, ++k) {
      const std::size_t b = static_cast<std::size_t>(cross[static_cast<std::size_t>(q)]);
      batch.x[k] = -w2.vx[b];
      batch.y[k] = -w2.vy[b];
      batch.z[k] = -w2.vz[b];
      batch.t[k] = ctx_.table.opposite(w2.index[b]);
    }
    screen_batch(v1, s_.setup, batch.size, batch.x.data(), batch.y.data(), batch.z.data(),
                 batch.angle.data(), batch.result[0].data(), batch.result[1].data());
    for (std::size_t q = 0; q < batch.size; ++q)
      if (candidate(v1, t1, q)) return false;
    return true;
  }

  // Whether reflection t of the count is indexed by the orientation with crystal-side frame
  // t_c: 1 or 0, or -1 when a value lies too near a bound (or a rounding to the nearest
  // integer too near a half) to decide here. UB^-1 x = B^-1 T_c T_phi^T x = B^-1 T_c y.
  int quick_match(const M3& t_c, std::size_t t) const {
    const V3& y = s_.y[t];
    const V3 p{t_c[0][0] * y[0] + t_c[0][1] * y[1] + t_c[0][2] * y[2],
               t_c[1][0] * y[0] + t_c[1][1] * y[1] + t_c[1][2] * y[2],
               t_c[2][0] * y[0] + t_c[2][1] * y[1] + t_c[2][2] * y[2]};
    const V3 hf = refine::mul(ctx_.lat.Binv, p);
    V3 h{};
    for (std::size_t k = 0; k < 3; ++k) {
      if (!(std::fabs(hf[k]) < 1.0e9)) return -1;
      h[k] = (hf[k] + kRound) - kRound;
      if (std::fabs(std::fabs(hf[k] - h[k]) - 0.5) < kMargin) return -1;
    }
    const V3 xc = refine::mul(ctx_.lat.B, h);  // U^T UB h
    const double len2 = refine::dot3(xc, xc);
    if (!(len2 > 0)) return 0;
    const TestBounds& b = s_.bounds[t];
    if (len2 < b.len2_lo * (1 - kMargin) || len2 > b.len2_hi * (1 + kMargin)) return 0;
    // The cosine of the deviation is xc.p / (|xc| |p|), |p| = |x| = d* (the orientation is a
    // rotation); compared as squares while the bound is positive, to spare a root.
    const double proj = refine::dot3(xc, p) * s_.inv_dstar[t];  // cosine * |xc|
    const double c_lo = b.cos_min - kMargin, c_hi = b.cos_min + kMargin;
    bool clear_angle = false;
    if (c_lo > 0) {
      if (!(proj > 0) || proj * proj < c_lo * c_lo * len2) return 0;
      clear_angle = proj * proj > c_hi * c_hi * len2;
    } else {
      const double cosine = proj / std::sqrt(len2);
      if (cosine < c_lo) return 0;
      clear_angle = cosine > c_hi;
    }
    const bool clear = clear_angle && len2 > b.len2_lo * (1 + kMargin) &&
                       len2 < b.len2_hi * (1 - kMargin);
    return clear ? 1 : -1;
  }

  // Candidate q of the batch of h1 (unit vector v1, place t1 in the triple table). True when
  // it indexed every reflection: the pair is done.
  bool candidate(const V3& v1, int t1, std::size_t q) {
    const Batch& batch = s_.batch;
    const std::int8_t angle = batch.angle[q];
    if (angle == 0) return false;
    const V3 v2{batch.x[q], batch.y[q], batch.z[q]};
    // Near the bounds of the window the angle itself decides.
    if (angle == 2 && std::fabs(angle_deg(v1, v2) - pair_.psi) > ctx_.psi_tol) return false;
    ++out_.candidates;

    // TESTREF, given up as soon as the count can no longer reach what it must: above this
    // pair's best and what the search still needs (see Shared).
    const int need = std::max(out_.matched + 1, shared_.need(p_));
    const int allowed_misses = n_ - need;
    int count = 0, misses = 0;
    long* tests = s_.place_tests.data();
    long* missed = s_.place_misses.data();
    for (std::size_t t = 0; t < screened_; ++t) {
      if (batch.result[t][q] == 1) {
        ++tests[t];
        ++count;
      } else if (batch.result[t][q] == 0) {
        ++tests[t];
        ++missed[t];
        if (++misses > allowed_misses) return false;
      }
    }
    M3 t_c{};
    unit_basis(v1, v2, t_c);
    bool built = false;
    Orientation& o = o_;
    auto exact = [&](std::size_t t) {
      if (!built) built = orientation_of_frame(pair_.t_phi, t_c, ctx_.lat, o);
      return test_reflection(o, in_.refl[static_cast<std::size_t>(s_.order[t])], in_.lambda,
                             ctx_.psi_tol).match;
    };
    for (std::size_t t = 0; t < screened_; ++t) {
      if (batch.result[t][q] >= 0) continue;
      ++tests[t];
      if (exact(t)) {
        ++count;
      } else {
        ++missed[t];
        if (++misses > allowed_misses) return false;
      }
    }
    for (std::size_t t = screened_; t < s_.order.size(); ++t) {
      const int match = quick_match(t_c, t);
      ++tests[t];
      if (match > 0 || (match < 0 && exact(t))) {
        ++count;
      } else {
        ++missed[t];
        if (++misses > allowed_misses) return false;
      }
    }
    if (!built) orientation_of_frame(pair_.t_phi, t_c, ctx_.lat, o);
    out_.found = true;
    out_.matched = count;
    out_.h1 = ctx_.table.h[static_cast<std::size_t>(t1)];
    out_.h2 = ctx_.table.h[static_cast<std::size_t>(batch.t[q])];
    out_.ub = o.ub;
    shared_.offer(count, p_);
    if (count < n_) return false;
    int first_full = shared_.full_at.load();
    while (first_full > p_ && !shared_.full_at.compare_exchange_weak(first_full, p_)) {
    }
    return true;
  }

  const Context& ctx_;
  const IndexingInput& in_;
  Shared& shared_;
  Scratch& s_;
  HaltPoll* poll_;
  int p_;
  const PairTask& pair_;
  PairResult& out_;
  int n_;
  double cos_lo_ = 0, cos_hi_ = 0;
  Orientation o_;  // of the candidate being counted, built only when needed
  std::size_t screened_ = 0;
  unsigned batches_ = 0;
};

// The cost of a search, from the window sizes: per pair of reflections, the pairs of triples
// of their windows whose angle agrees (for directions spread evenly, the share of the sphere
// within the tolerance of the observed angle) and the prefilter over a quarter of all pairs
// of triples. The unit costs are those of this implementation on a 2-core 3 GHz machine,
// rounded up.
constexpr double kSecondsPerCandidate = 4.0e-8;
constexpr double kSecondsPerPrefilter = 1.0e-9;

IndexingEstimate estimate_of(const IndexingInput& in, const TthCounts& counts, double tth_tol,
                             double psi_tol) {
  IndexingEstimate e;
  const std::size_t n = in.refl.size();
  std::vector<double> size(n);
  for (std::size_t r = 0; r < n; ++r) size[r] = counts.within(in.refl[r].tth_abs, tth_tol);
  double prefilter = 0;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j) {
      const double psi = angle_deg(in.refl[i].u, in.refl[j].u);
      if (psi <= kPairMinimum) continue;
      const double share = (std::cos(std::max(0.0, psi - psi_tol) / kDeg) -
                            std::cos(std::min(180.0, psi + psi_tol) / kDeg)) / 2;
      e.candidates += size[i] * size[j] * share;
      prefilter += size[i] * size[j] / 4;
    }
  e.seconds = e.candidates * kSecondsPerCandidate + prefilter * kSecondsPerPrefilter;
  return e;
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

int INDEX_SEARCH(const IndexingInput& in, double tth_tol, double psi_tol, IndexingSolution& best,
                 const IndexingControl& control) {
  best = IndexingSolution{};
  const int n = static_cast<int>(in.refl.size());
  best.used = n;

  // REFPICK: the first used reflection needs a partner more than 20 degrees away.
  bool picked = false;
  for (int j = 1; j < n && !picked; ++j)
    picked = angle_deg(in.refl[0].u, in.refl[static_cast<std::size_t>(j)].u) > kPairMinimum;
  if (!picked) return INDC_PICK_FAILED;

  Context ctx;
  ctx.in = &in;
  ctx.tth_tol = tth_tol;
  ctx.psi_tol = psi_tol;
  ctx.lat = lattice_of(in.cell);
  if (!ctx.lat.ok || !(in.lambda > 0)) return INDC_NO_CANDIDATE;

  // The triples of the largest box the search can use, once, with their 2theta.
  double tth_max = 0;
  for (const IndexingReflection& r : in.refl) tth_max = std::max(tth_max, r.tth_abs);
  const double reach = tth_max + std::max(tth_tol, kTestWindow) + 0.01;
  std::array<int, 3> largest{};
  if (!box_of(tth_max, in.lambda, ctx.lat.g, largest)) return INDC_BOX_TOO_LARGE;
  ctx.table = build_triples(largest, ctx.lat, in.lambda, reach);

  // What it would cost, and what it would with tolerances of one degree (to say which is to
  // blame when it is refused).
  const TthCounts counts(ctx.table);
  best.estimate = estimate_of(in, counts, tth_tol, psi_tol);
  best.estimate_unit = estimate_of(in, counts, std::min(tth_tol, 1.0), std::min(psi_tol, 1.0));
  if (best.estimate.seconds > control.time_limit) return INDC_TOO_LONG;

  // Per reflection its window of triples, the bounds of its test, and its place in the count.
  const TthBins bins = bin_triples(ctx.table, std::max(0.01, tth_tol / 4), reach);
  std::vector<double> crowding;
  for (const IndexingReflection& r : in.refl) {
    ctx.windows.push_back(half_window(ctx.table, bins, r.tth_abs, tth_tol));
    ctx.bounds.push_back(bounds_of(r, in.lambda, psi_tol));
    crowding.push_back(counts.within(r.tth_abs, kTestWindow));
  }
  ctx.rank.resize(in.refl.size());
  for (int r = 0; r < n; ++r) ctx.rank[static_cast<std::size_t>(r)] = r;
  std::stable_sort(ctx.rank.begin(), ctx.rank.end(), [&](int a, int b) {
    return crowding[static_cast<std::size_t>(a)] < crowding[static_cast<std::size_t>(b)];
  });

  // The pairs of reflections in the search order, up to one whose 2theta values are both zero:
  // the search stops there unless an earlier orientation indexed everything.
  bool zero_pair = false;
  for (int i = 0; i < n && !zero_pair; ++i)
    for (int j = i + 1; j < n; ++j) {
      const IndexingReflection& ri = in.refl[static_cast<std::size_t>(i)];
      const IndexingReflection& rj = in.refl[static_cast<std::size_t>(j)];
      PairTask task;
      task.i = i;
      task.j = j;
      task.psi = angle_deg(ri.u, rj.u);
      if (task.psi <= kPairMinimum) continue;
      const double pair_max = std::max(ri.tth_abs, rj.tth_abs);
      if (pair_max == 0) {
        zero_pair = true;
        break;
      }
      if (!MAKEBASIS(ri.u, rj.u, task.t_phi)) continue;
      box_of(pair_max, in.lambda, ctx.lat.g, task.box);  // within the largest box
      ctx.pairs.push_back(task);
    }

  // The pairs are shared out in order among the workers; the calling thread is one of them
  // and the only one that looks for the halt.
  const int pairs = static_cast<int>(ctx.pairs.size());
  std::vector<PairResult> results(ctx.pairs.size());
  Shared shared;
  HaltPoll poll;
  poll.halt = &control.halt;
  std::mutex mutex;
  std::condition_variable finished;
  int running = 0;
  std::exception_ptr failure;
  auto work = [&](HaltPoll* halt_poll) {
    try {
      Scratch scratch;
      for (;;) {
        if (shared.stop.load()) break;
        const int p = shared.next.fetch_add(1);
        if (p >= pairs || p > shared.full_at.load()) break;
        PairSearch(ctx, shared, scratch, halt_poll, p, results[static_cast<std::size_t>(p)]).run();
      }
    } catch (...) {
      shared.stop.store(true);
      const std::lock_guard<std::mutex> lock(mutex);
      if (!failure) failure = std::current_exception();
    }
  };
  int workers = control.threads > 0 ? control.threads
                                    : static_cast<int>(std::thread::hardware_concurrency());
  workers = std::clamp(workers, 1, std::max(1, std::min(pairs, 16)));
  std::vector<std::thread> helpers;
  for (int w = 1; w < workers; ++w) {
    {
      const std::lock_guard<std::mutex> lock(mutex);
      ++running;
    }
    helpers.emplace_back([&] {
      work(nullptr);
      const std::lock_guard<std::mutex> lock(mutex);
      --running;
      finished.notify_all();
    });
  }
  work(&poll);
  {
    // The other workers finish their last pairs; the halt is still looked for meanwhile.
    std::unique_lock<std::mutex> lock(mutex);
    while (running > 0) {
      finished.wait_for(lock, std::chrono::milliseconds(20));
      lock.unlock();
      poll.poll(shared);
      lock.lock();
    }
  }
  for (std::thread& t : helpers) t.join();
  if (failure) std::rethrow_exception(failure);
  if (poll.halted) return INDC_HALTED;


  // The first pair with the largest count holds the first best candidate of the search.
  const int last = std::min(pairs - 1, shared.full_at.load());
  for (int p = 0; p <= last; ++p) {
    const PairResult& r = results[static_cast<std::size_t>(p)];
    best.candidates += r.candidates;
    if (!r.found || r.matched <= best.matched) continue;
    const PairTask& task = ctx.pairs[static_cast<std::size_t>(p)];
    best.found = true;
    best.matched = r.matched;
    best.first = task.i;
    best.second = task.j;
    best.h1 = r.h1;
    best.h2 = r.h2;
    best.ub = r.ub;
  }
  if (best.found && best.matched == n) return INDC_FOUND;
  if (zero_pair) return INDC_ZERO_TWO_THETA;
  return best.found ? INDC_FOUND : INDC_NO_CANDIDATE;
}

namespace {

// A duration for the operator: seconds, minutes, hours or days, rounded.
std::string duration_words(double seconds) {
  auto count = [](double v, const char* unit) {
    const long k = std::max(1L, std::lround(v));
    return std::to_string(k) + " " + unit + (k == 1 ? "" : "s");
  };
  if (seconds < 90) return count(seconds, "second");
  if (seconds < 90 * 60) return count(seconds / 60, "minute");
  if (seconds < 36 * 3600) return count(seconds / 3600, "hour");
  return count(seconds / 86400, "day");
}

}  // namespace

int GENUB(CrystalState& crystal, const ReflectionList& list, const MachineProfile& profile,
          double tth_tol, double psi_tol, IndexingSolution* solution) {
  const IndexingInput in = indexing_input(crystal, list, profile);
  IndexingSolution best;
  IndexingControl control;
  control.halt = [] { return halt_pending(); };
  const int status = INDEX_SEARCH(in, tth_tol, psi_tol, best, control);
  if (solution) *solution = best;
  switch (status) {
    case INDC_PICK_FAILED:
      WRITE_OUT(" Error in Picking Two Reflections - Job aborted.");
      return status;
    case INDC_ZERO_TWO_THETA:
      WRITE_OUT(" Maximum 2Theta is ZERO.  Job aborted.");
      return status;
    case INDC_BOX_TOO_LARGE:
      WRITE_OUT(" Index range too large for INDC (check cell and wavelength) - Job aborted.");
      return status;
    case INDC_HALTED:
      WRITE_OUT(" INDC halted by user - the orientation matrix is unchanged.");
      return status;
    case INDC_TOO_LONG: {
      // Say which is to blame: the tolerances when one degree would do, else the cell.
      WRITE_OUT(" INDC would take about " + duration_words(best.estimate.seconds) +
                " - Job aborted.");
      if (best.estimate_unit.seconds <= kIndexingTimeLimit &&
          (tth_tol > 1.0 || psi_tol > 1.0)) {
        WRITE_OUT(" The tolerances" + F(tth_tol, 7, 2) + F(psi_tol, 7, 2) +
                  " are too wide for this cell: 1.0 1.0 would take about " +
                  duration_words(best.estimate_unit.seconds) + ".");
      } else {
        std::string cell;
        for (float v : crystal.cell) cell += F(v, 9, 3);
        WRITE_OUT(" The cell" + cell + " has too many lattice points within the 2theta range");
        WRITE_OUT(" of the reflections for this search: check the cell and the wavelength.");
      }
      return status;
    }
    default:
      break;
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
