#include "geometry/autoindex.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "geometry/lattice.hpp"  // NIGGLI

namespace dorvex {

using refine::M3;
using refine::V3;

namespace {

constexpr double kRadian = 57.29577951308232;  // degrees per radian
constexpr double kShortest = 2.5;     // no lattice vector of a crystal is shorter, A
constexpr double kQuickTol = 0.2;     // index window of the first look at a trial vector
constexpr double kFitTol = 0.15;      // widest index window of a refined vector
constexpr int kRefinePasses = 10;   // most least-squares passes on one trial vector
constexpr double kFitFloor = 0.03;    // narrowest one
constexpr double kSearchSpread = 1.5;  // the search's angular window, in angle tolerances
constexpr double kPlaneSigma = 1.5e-3;  // uncertainty of a plane's distance from the origin, 1/A
constexpr double kScanPhase = 0.08;   // largest phase change between two scanned lengths, cycles
constexpr int kLocalScan = 30;        // a length known worse than this many scan steps is left
constexpr std::size_t kBasisPool = 40;  // shortest good vectors tried as cell edges
constexpr std::size_t kPlaneReflections = 30;  // reflections whose triples give planes
constexpr std::size_t kCombined = 40;  // shortest good vectors whose sums are tried
constexpr std::size_t kGuessReflections = 6;  // lowest-angle ones whose indices are guessed

double frac_dist(double v) { return std::fabs(v - std::nearbyint(v)); }

V3 scaled(const V3& v, double s) { return {v[0] * s, v[1] * s, v[2] * s}; }
V3 minus(const V3& a, const V3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
V3 plus(const V3& a, const V3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }

// Solves the symmetric 3x3 system a s = b; false when a is (nearly) singular.
bool solve3(const M3& a, const V3& b, V3& s) {
  const double det = refine::det3(a);
  const double scale = a[0][0] * a[1][1] * a[2][2];
  if (!(std::fabs(det) > 1.0e-9 * std::fabs(scale)) || det == 0) return false;
  s = refine::mul(refine::inverse3(a, det), b);
  return true;
}

struct TVector {
  V3 t{};
  double length = 0;
  int count = 0;
  double fit = 0;  // log-likelihood ratio of its whole indices against chance
};

// Each reflection is either on the lattice, its error Gaussian with a third of the window as
// standard deviation, or a stray peak anywhere (a fraction kStray of them). The log of the
// ratio of that likelihood to the one of peaks placed at random rewards close fits far more
// than loose ones, charges every reflection left out, and needs no threshold: `density` is
// the Gaussian's density over the one of random positions.
constexpr double kStray = 0.2;
double mixture(double density) { return std::log(kStray + (1 - kStray) * density); }

// Everything the search of one set of reflections shares.
class Search {
 public:
  Search(const std::vector<V3>& x, const std::vector<double>& radial, double max_edge,
         double spread)
      : x_(x), radial_(radial), max_edge_(max_edge), spread_(spread) {
    n_ = static_cast<int>(x_.size());
    need_ = (n_ + 1) / 2;
    keep_ = (3 * n_ + 4) / 5;
    for (const V3& v : x_) xlen_.push_back(refine::norm3(v));
  }

  void run() {
    for (int i = 0; i < n_; ++i)
      for (int j = i + 1; j < n_; ++j) zone_axis(x_[std::size_t(i)], x_[std::size_t(j)]);
    // Planes through three reflections among the lowest-angle ones (low-index planes, and a
    // bounded count of them however long the list).
    std::vector<int> low(static_cast<std::size_t>(n_));
    for (int i = 0; i < n_; ++i) low[static_cast<std::size_t>(i)] = i;
    std::sort(low.begin(), low.end(), [&](int a, int b) {
      return xlen_[static_cast<std::size_t>(a)] < xlen_[static_cast<std::size_t>(b)];
    });
    low.resize(std::min<std::size_t>(low.size(), kPlaneReflections));
    for (std::size_t i = 0; i < low.size(); ++i)
      for (std::size_t j = i + 1; j < low.size(); ++j)
        for (std::size_t k = j + 1; k < low.size(); ++k) plane(low[i], low[j], low[k]);
    // Whole numbers guessed for three of the lowest-angle reflections: t.x = m for the three
    // gives t. Their indices are small, so every lattice vector up to the longest edge is among
    // a few thousand guesses, whether or not a zone of two reflections points to it.
    const std::size_t guess = std::min(low.size(), kGuessReflections);
    for (std::size_t i = 0; i < guess; ++i)
      for (std::size_t j = i + 1; j < guess; ++j)
        for (std::size_t k = j + 1; k < guess; ++k) guess_indices(low[i], low[j], low[k]);
  }

  const std::vector<TVector>& found() const { return found_; }

  // Sums, differences and half of them of two good vectors: lattice vectors when both are,
  // and the short ones among them that no zone or plane of the few reflections pointed to
  // (the edges of a cell whose low-index zones hold no two reflections).
  void combine(std::vector<TVector> good) {
    std::sort(good.begin(), good.end(),
              [](const TVector& a, const TVector& b) { return a.length < b.length; });
    good.resize(std::min(good.size(), kCombined));
    for (std::size_t i = 0; i < good.size(); ++i)
      for (std::size_t j = i + 1; j < good.size(); ++j)
        for (const V3& t : {plus(good[i].t, good[j].t), minus(good[i].t, good[j].t)})
          for (const double f : {1.0, 0.5}) {
            const V3 c = scaled(t, f);
            const double length = refine::norm3(c);
            if (length < kShortest || length > max_edge_) continue;
            if (measure(c).count >= keep_) refine_and_keep(c);
          }
  }

  // Reflections that t indexes: the index window is the angular window seen along t, so short
  // vectors, whose indices are small, are held to a window as narrow as the measurement.
  // The fractional parts of t.x, as the likelihood ratio of TVector::fit, measure how well.
  // With `fit` false only the count.
  TVector measure(const V3& t, bool fit = true) const {
    TVector m{t, refine::norm3(t), 0, 0};
    for (std::size_t k = 0; k < x_.size(); ++k) {
      const double tol = std::clamp(m.length * xlen_[k] * radial_[k], kFitFloor, kFitTol);
      const double d = frac_dist(refine::dot3(t, x_[k]));
      if (d >= tol) continue;
      ++m.count;
      if (!fit) continue;
      const double sigma = tol / 3;
      m.fit += mixture(std::exp(-0.5 * d * d / (sigma * sigma)) / (sigma * 2.5066283)) - stray_;
    }
    m.fit += stray_ * static_cast<double>(x_.size());
    return m;
  }

 private:
  void guess_indices(int i, int j, int k) {
    const std::size_t a = std::size_t(i), b = std::size_t(j), c = std::size_t(k);
    const M3 xs{{x_[a], x_[b], x_[c]}};
    const double det = refine::det3(xs);
    if (!(std::fabs(det) > 0.2 * xlen_[a] * xlen_[b] * xlen_[c])) return;  // nearly coplanar
    const M3 inv = refine::inverse3(xs, det);
    const int ma = static_cast<int>(max_edge_ * xlen_[a]);
    const int mb = static_cast<int>(max_edge_ * xlen_[b]);
    const int mc = static_cast<int>(max_edge_ * xlen_[c]);
    for (int p = 0; p <= ma; ++p)  // t and -t alike: the first whole number not negative
      for (int q = -mb; q <= mb; ++q)
        for (int r = -mc; r <= mc; ++r) {
          const V3 t = refine::mul(inv, V3{double(p), double(q), double(r)});
          const double length = refine::norm3(t);
          if (length < kShortest || length > max_edge_) continue;
          int hits = 0, misses = 0;
          for (const V3& v : x_) {
            if (frac_dist(refine::dot3(t, v)) < kQuickTol) {
              ++hits;
            } else if (++misses > n_ - keep_) {
              break;
            }
          }
          if (hits >= keep_) refine_and_keep(t);
        }
  }

  // Two reflections and the origin: the zone axis, with its length scanned.
  void zone_axis(const V3& a, const V3& b) {
    const V3 c = refine::cross3(a, b);
    const double cn = refine::norm3(c);
    if (!(cn > 0.1 * refine::norm3(a) * refine::norm3(b))) return;  // within 6 degrees
    scan(scaled(c, 1 / cn), kShortest, max_edge_, 3);
  }

  // Three reflections: a lattice plane m/|t| from the origin, m = 1, 2, ...
  void plane(int i, int j, int k) {
    const V3& a = x_[static_cast<std::size_t>(i)];
    const V3 d1 = minus(x_[static_cast<std::size_t>(j)], a);
    const V3 d2 = minus(x_[static_cast<std::size_t>(k)], a);
    const V3 c = refine::cross3(d1, d2);
    const double cn = refine::norm3(c);
    if (!(cn > 0.1 * refine::norm3(d1) * refine::norm3(d2))) return;
    V3 n = scaled(c, 1 / cn);
    double dist = refine::dot3(n, a);
    if (dist < 0) {
      n = scaled(n, -1);
      dist = -dist;
    }
    if (dist * max_edge_ < 0.9) return;  // through the origin: the zone axes cover it
    const double pmax = max_projection(n);
    const double step = kScanPhase / pmax;
    for (int m = 1; m <= static_cast<int>(dist * max_edge_ + 0.5); ++m) {
      const double length = m / dist;
      if (length < kShortest) continue;
      const double spread = 3 * length * kPlaneSigma / dist;
      if (spread > kLocalScan * step) break;  // longer ones are known worse still
      scan(n, std::max(kShortest, length - spread), length + spread, 1);
    }
  }

  double max_projection(const V3& n) const {
    double pmax = 1.0e-6;
    for (const V3& v : x_) pmax = std::max(pmax, std::fabs(refine::dot3(n, v)));
    return pmax;
  }

  // Lengths from `lo` to `hi` along n; the best length of each run of lengths that index at
  // least half of the reflections, and of those runs the `runs` that index the most are
  // refined. The first runs are no better: along a long axis, short lengths that place half
  // of the reflections by chance come before the true one.
  void scan(const V3& n, double lo, double hi, int runs) {
    proj_.resize(x_.size());
    double pmax = 1.0e-6;
    for (std::size_t k = 0; k < x_.size(); ++k) {
      proj_[k] = refine::dot3(n, x_[k]);
      pmax = std::max(pmax, std::fabs(proj_[k]));
    }
    const double step = kScanPhase / pmax;
    runs_.clear();
    int best = -1;
    double best_length = 0;
    for (double length = lo; length <= hi + 0.5 * step; length += step) {
      int c = 0, misses = 0;
      for (double p : proj_) {
        if (frac_dist(length * p) < kQuickTol) {
          ++c;
        } else if (++misses > n_ - need_) {
          break;  // can no longer reach half
        }
      }
      if (c >= need_ && c > best) {
        best = c;
        best_length = length;
      } else if (c < need_ && best >= 0) {
        runs_.push_back({best, best_length});
        best = -1;
      }
    }
    if (best >= 0) runs_.push_back({best, best_length});
    const std::size_t take = std::min(runs_.size(), static_cast<std::size_t>(runs));
    std::partial_sort(runs_.begin(), runs_.begin() + static_cast<std::ptrdiff_t>(take),
                      runs_.end(), [](const Run& a, const Run& b) { return a.count > b.count; });
    for (std::size_t r = 0; r < take; ++r) refine_and_keep(scaled(n, runs_[r].length));
  }

  // Least squares on t.x = m over the reflections near whole m; kept when it then indexes at
  // least three in five of the reflections.
  void refine_and_keep(V3 t) {
    // From a rough direction only the low-angle reflections have the right whole number; each
    // pass brings in those that the better vector now places, until the set stops growing.
    TVector best = measure(t, false);
    int last_used = -1;
    for (int pass = 0; pass < kRefinePasses; ++pass) {
      M3 a{};
      V3 b{};
      int used = 0;
      for (const V3& v : x_) {
        const double p = refine::dot3(t, v);
        if (frac_dist(p) >= kFitTol) continue;
        const double m = std::nearbyint(p);
        for (int r = 0; r < 3; ++r) {
          for (int s = 0; s < 3; ++s) a[r][s] += v[r] * v[s];
          b[r] += m * v[r];
        }
        ++used;
      }
      V3 s{};
      if (used < 4 || !solve3(a, b, s)) break;
      t = s;
      const TVector m = measure(t, false);
      if (m.count >= best.count) best = m;
      if (used == last_used) break;
      last_used = used;
    }
    t = best.t;
    const double length = best.length;
    if (length < kShortest || length > 1.2 * max_edge_ || best.count < keep_) return;
    best = measure(t);
    // One entry per vector (t and -t alike), found through a grid of 0.5 A cells.
    if (t[0] < 0 || (t[0] == 0 && (t[1] < 0 || (t[1] == 0 && t[2] < 0)))) t = scaled(t, -1);
    best.t = t;
    const double close = 0.01 * length + 0.02;
    const std::array<long, 3> cell{std::lround(t[0] * 2), std::lround(t[1] * 2),
                                   std::lround(t[2] * 2)};
    for (long dx = -1; dx <= 1; ++dx)
      for (long dy = -1; dy <= 1; ++dy)
        for (long dz = -1; dz <= 1; ++dz) {
          const auto at = grid_.find(key(cell[0] + dx, cell[1] + dy, cell[2] + dz));
          if (at == grid_.end()) continue;
          for (std::size_t i : at->second) {
            TVector& f = found_[i];
            if (refine::norm3(minus(f.t, t)) >= close) continue;
            if (best.fit > f.fit) f = best;
            return;
          }
        }
    grid_[key(cell[0], cell[1], cell[2])].push_back(found_.size());
    found_.push_back(best);
  }

  static long long key(long x, long y, long z) {
    return ((static_cast<long long>(x) + 1024) << 22) | ((static_cast<long long>(y) + 1024) << 11) |
           (static_cast<long long>(z) + 1024);
  }

  const std::vector<V3>& x_;
  const std::vector<double>& radial_;
  double max_edge_, spread_;
  const double stray_ = mixture(0);
  std::vector<double> xlen_;
  int n_ = 0, need_ = 0, keep_ = 0;
  std::unordered_map<long long, std::vector<std::size_t>> grid_;
  std::vector<double> proj_;
  struct Run {
    int count;
    double length;
  };
  std::vector<Run> runs_;
  std::vector<TVector> found_;
};

// Whether the cell with direct axes t (rows) and UB = t^-1 places x within the window: across
// x at most |x| spread, along x at most |x| radial (at low angle the error of 2theta moves a
// reflection along its vector far more than the other angles move it across), h the nearest
// whole indices (not all zero).
// `q` takes the squared distance in units of the window.
bool fits(const M3& t, const M3& ub, const V3& x, double spread, double radial,
          std::array<int, 3>* h = nullptr, double* q = nullptr) {
  const V3 hf = refine::mul(t, x);
  const V3 hr{std::nearbyint(hf[0]), std::nearbyint(hf[1]), std::nearbyint(hf[2])};
  if (hr[0] == 0 && hr[1] == 0 && hr[2] == 0) return false;
  if (h != nullptr)
    for (int k = 0; k < 3; ++k) (*h)[k] = static_cast<int>(hr[k]);
  const V3 d = minus(refine::mul(ub, hr), x);
  const double xx = refine::dot3(x, x);
  const double along = refine::dot3(d, x);  // |x| times the component along x
  const double across2 = std::max(0.0, refine::dot3(d, d) - along * along / xx);
  const double r = (across2 / (spread * spread) + along * along / (xx * radial * radial)) / xx;
  if (q != nullptr) *q = r;
  return r <= 1;
}

// How well a cell (direct axes t, rows) indexes the reflections: the count within the window,
// and the likelihood ratio of the mixture above, the error of a fit Gaussian across and along
// x with a third of the window as standard deviation, a point at random having the density
// of the lattice points, V. A cell of half the volume that places most of the reflections
// by its density gains ln 2 a fit but pays for its loose fits and the ones it leaves out.
struct Score {
  int count = 0;
  double fit = -1.0e300;
};

Score joint_score(const M3& t, const std::vector<V3>& x, const std::vector<double>& radial,
                  double spread) {
  Score sc;
  const double det = refine::det3(t);
  if (det == 0) return sc;
  const M3 ub = refine::inverse3(t, det);
  const double volume = std::fabs(det);
  sc.fit = 0;
  for (std::size_t k = 0; k < x.size(); ++k) {
    double q = 0;
    if (!fits(t, ub, x[k], spread, radial[k], nullptr, &q)) {
      sc.fit += mixture(0);
      continue;
    }
    ++sc.count;
    const double xl = refine::norm3(x[k]);
    const double sa = xl * spread / 3, sr = xl * radial[k] / 3;
    sc.fit += mixture(std::exp(-4.5 * q) / (15.749610 * sa * sa * sr * volume));  // (2 pi)^1.5
  }
  return sc;
}

M3 rows(const V3& a, const V3& b, const V3& c) { return M3{{a, b, c}}; }

// The three good vectors whose cell indexes the reflections with the best fit; then any
// good vector that is not a whole combination of them shrinks the cell if that fits better.
// Rows of the result are the cell's direct axes.
bool choose_basis(std::vector<TVector> good, const std::vector<V3>& x,
                  const std::vector<double>& radial, double spread, M3& basis) {
  const int n = static_cast<int>(x.size());
  std::sort(good.begin(), good.end(),
            [](const TVector& a, const TVector& b) { return a.length < b.length; });
  // The pool of edges, shortest first, without vectors in the plane of two shorter ones: the
  // combinations of two short edges would otherwise fill it before a long third edge is met.
  std::vector<TVector> edges;
  for (const TVector& g : good) {
    if (edges.size() == kBasisPool) break;
    bool in_plane = false;
    for (std::size_t i = 0; i < edges.size() && !in_plane; ++i) {
      const V3 ci = refine::cross3(edges[i].t, g.t);
      in_plane = refine::norm3(ci) < 0.01 * edges[i].length * g.length;  // parallel
      for (std::size_t j = i + 1; j < edges.size() && !in_plane; ++j) {
        const V3 cij = refine::cross3(edges[i].t, edges[j].t);
        const double area = refine::norm3(cij);
        in_plane = std::fabs(refine::dot3(cij, g.t)) < 0.01 * area * g.length;
      }
    }
    if (!in_plane) edges.push_back(g);
  }
  const std::size_t pool = edges.size();
  struct Triple {
    M3 t{};
    Score score;
  };
  Triple chosen;
  for (std::size_t i = 0; i < pool; ++i)
    for (std::size_t j = i + 1; j < pool; ++j)
      for (std::size_t k = j + 1; k < pool; ++k) {
        const M3 t = rows(edges[i].t, edges[j].t, edges[k].t);
        const double volume = std::fabs(refine::det3(t));
        if (volume < 0.05 * edges[i].length * edges[j].length * edges[k].length) continue;
        const Score sc = joint_score(t, x, radial, spread);
        if (2 * sc.count < n || sc.fit <= chosen.score.fit) continue;
        chosen = Triple{t, sc};
      }
  if (chosen.score.count == 0) return false;
  basis = chosen.t;

  // A good vector with fractional coordinates in the basis belongs to a finer lattice.
  for (int round = 0; round < 6; ++round) {
    bool changed = false;
    const M3 cols = refine::transposed(basis);
    const double det = refine::det3(cols);
    const M3 inv = refine::inverse3(cols, det);
    for (const TVector& g : good) {
      V3 c = refine::mul(inv, g.t);
      V3 reduced = g.t;
      for (int r = 0; r < 3; ++r) {
        const double whole = std::floor(c[r]);
        reduced = minus(reduced, scaled(basis[static_cast<std::size_t>(r)], whole));
        c[r] -= whole;
      }
      int replace = -1;
      for (int r = 0; r < 3; ++r)
        if (c[r] > 0.1 && c[r] < 0.9 && (replace < 0 || c[r] < c[replace])) replace = r;
      if (replace < 0 || refine::norm3(reduced) < kShortest) continue;
      M3 trial = basis;
      trial[static_cast<std::size_t>(replace)] = reduced;
      const Score sc = joint_score(trial, x, radial, spread);
      if (sc.fit <= chosen.score.fit) continue;
      chosen.score = sc;
      basis = trial;
      changed = true;
      break;
    }
    if (!changed) break;
  }

  // A cell of half the volume places every reflection whose indices in the true cell have
  // one parity even; with few reflections most of them may, and it may then fit best of the
  // cells the pool offers (the pool leaves out the true edge parallel to a half one). Each of
  // the seven cells of twice the volume is tried: it wins when the reflections it places
  // with whole indices and the closer fits outweigh its lower density of lattice points.
  static const int kDouble[7][3][3] = {
      {{2, 0, 0}, {0, 1, 0}, {0, 0, 1}},  {{1, 0, 0}, {0, 2, 0}, {0, 0, 1}},
      {{1, 0, 0}, {0, 1, 0}, {0, 0, 2}},  {{1, 1, 0}, {1, -1, 0}, {0, 0, 1}},
      {{1, 0, 1}, {1, 0, -1}, {0, 1, 0}}, {{0, 1, 1}, {0, 1, -1}, {1, 0, 0}},
      {{1, 1, 0}, {0, 1, 1}, {1, 0, 1}}};
  for (int round = 0; round < 2; ++round) {
    M3 best = basis;
    for (const auto& m : kDouble) {
      M3 trial{};
      for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t c = 0; c < 3; ++c) trial[r] = plus(trial[r], scaled(basis[c], m[r][c]));
      const Score sc = joint_score(trial, x, radial, spread);
      if (sc.fit <= chosen.score.fit) continue;
      chosen.score = sc;
      best = trial;
    }
    if (best == basis) break;
    basis = best;
  }
  if (refine::det3(basis) < 0) basis[2] = scaled(basis[2], -1);
  return true;
}

// UB from the indexed reflections by least squares: UB = (sum x h^T)(sum h h^T)^-1.
bool fit_ub(const std::vector<V3>& x, const std::vector<std::array<int, 3>>& h,
            const std::vector<bool>& take, M3& ub) {
  M3 xh{}, hh{};
  int used = 0;
  for (std::size_t k = 0; k < x.size(); ++k) {
    if (!take[k]) continue;
    for (int r = 0; r < 3; ++r)
      for (int s = 0; s < 3; ++s) {
        xh[r][s] += x[k][r] * h[k][s];
        hh[r][s] += double(h[k][r]) * h[k][s];
      }
    ++used;
  }
  if (used < 4) return false;
  const double det = refine::det3(hh);
  if (!(det > 0.5)) return false;  // indices of whole numbers: a singular set has det 0
  ub = refine::mul(xh, refine::inverse3(hh, det));
  return refine::det3(ub) > 0;
}

}  // namespace

std::vector<AutoindexReflection> autoindex_input(const ReflectionList& list, const Geometry& g) {
  std::vector<AutoindexReflection> out;
  const int count = std::min(list.count, kListSize);
  for (int n = 0; n < count; ++n) {
    const ReflectionEntry& e = list.entry[static_cast<std::size_t>(n)];
    if (e.use == 0) continue;
    AutoindexReflection r;
    r.number = n + 1;
    r.angles = e.angles;
    AngleSet a = e.angles;
    const Vec3 x = CALCH(g, a);
    r.x = {x[0], x[1], x[2]};
    out.push_back(r);
  }
  return out;
}

IndexedReflection index_reflection(const M3& ub, const M3& ubinv, const V3& x, double lambda,
                                   const AutoindexTolerances& tol) {
  IndexedReflection r;
  r.hf = refine::mul(ubinv, x);
  for (int k = 0; k < 3; ++k) r.h[k] = static_cast<int>(std::lround(r.hf[k]));
  const V3 xc = refine::mul(ub, V3{double(r.h[0]), double(r.h[1]), double(r.h[2])});
  const double len = refine::norm3(xc), xlen = refine::norm3(x);
  if (!(len > 0) || !(xlen > 0)) {
    r.deviation = 180;
    r.tth_calc = 0;
    return r;
  }
  const double s = lambda * len / 2;
  r.tth_calc = s <= 1 ? 2 * std::asin(s) * kRadian : 180.0;
  const double tth_obs = 2 * std::asin(std::min(1.0, lambda * xlen / 2)) * kRadian;
  r.deviation = std::acos(std::clamp(refine::dot3(xc, x) / (len * xlen), -1.0, 1.0)) * kRadian;
  r.indexed = s <= 1 && std::fabs(r.tth_calc - tth_obs) <= tol.tth && r.deviation <= tol.angle;
  return r;
}

AutoindexResult AUTOINDEX(const std::vector<AutoindexReflection>& refl, double lambda,
                          const AutoindexTolerances& tol) {
  AutoindexResult result;
  std::vector<V3> x;
  for (const AutoindexReflection& r : refl)
    if (refine::norm3(r.x) > 1.0e-6) x.push_back(r.x);
  if (static_cast<int>(refl.size()) < kIndaMinimum || static_cast<int>(x.size()) < kIndaMinimum) {
    result.status = INDA_TOO_FEW;
    return result;
  }
  if (!(lambda > 0)) return result;

  const double spread = kSearchSpread * std::max(tol.angle, 0.1) / kRadian;
  // The window along each vector: what the 2theta tolerance moves |x| by, cot(theta) d(theta),
  // and never narrower than the window across.
  std::vector<double> radial;
  for (const V3& v : x) {
    const double sin_theta = std::min(0.999, lambda * refine::norm3(v) / 2);
    const double cot_theta = std::sqrt(1 - sin_theta * sin_theta) / sin_theta;
    radial.push_back(std::max(spread, kSearchSpread * tol.tth / 2 / kRadian * cot_theta));
  }
  Search search(x, radial, tol.max_edge, spread);
  search.run();
  // The vectors that fit at least half as well as the best one; their sums and differences
  // are tried, and the choice made again.
  auto choose_good = [&search] {
    std::vector<TVector> out;
    double top = 0;
    for (const TVector& t : search.found()) top = std::max(top, t.fit);
    for (const TVector& t : search.found())
      if (t.fit >= 0.5 * top && t.fit > 0) out.push_back(t);
    return out;
  };
  search.combine(choose_good());
  const std::vector<TVector> good = choose_good();
  M3 basis{};
  if (!choose_basis(good, x, radial, spread, basis)) return result;
  M3 ub = refine::inverse3(basis, refine::det3(basis));

  // Refinement against the reflections it indexes: first by the index window, then by the
  // operator's tolerances.
  std::vector<std::array<int, 3>> h(x.size());
  std::vector<bool> take(x.size());
  for (std::size_t k = 0; k < x.size(); ++k)
    take[k] = fits(basis, ub, x[k], spread, radial[k], &h[k]);
  for (int pass = 0; pass < 3; ++pass) {
    M3 next{};
    if (!fit_ub(x, h, take, next)) break;
    ub = next;
    const M3 ubinv = refine::inverse3(ub, refine::det3(ub));
    for (std::size_t k = 0; k < x.size(); ++k) {
      const IndexedReflection r = index_reflection(ub, ubinv, x[k], lambda, tol);
      h[k] = r.h;
      take[k] = r.indexed;
    }
  }

  // The Niggli-reduced setting: UB' = UB T^-1.
  const M3 g = refine::inverse3(refine::gstar_of(ub), refine::det3(refine::gstar_of(ub)));
  const M3 t = NIGGLI(g);
  ub = refine::mul(ub, refine::inverse3(t, refine::det3(t)));
  result.ub = ub;
  const M3 ubinv = refine::inverse3(ub, refine::det3(ub));
  refine::CellAndVolume cv;
  if (!refine::cell_from_gstar(refine::gstar_of(ub), cv)) return result;
  result.cell = cv.cell;
  result.volume = cv.volume;
  double deviations = 0;
  for (const AutoindexReflection& r : refl) {
    result.refl.push_back(index_reflection(ub, ubinv, r.x, lambda, tol));
    if (!result.refl.back().indexed) continue;
    ++result.indexed;
    deviations += result.refl.back().deviation;
  }
  if (result.indexed > 0) result.mean_deviation = deviations / result.indexed;
  const int n = static_cast<int>(refl.size());
  result.status = (result.indexed >= kIndaMinimum - 1 && 5 * result.indexed >= 3 * n)
                      ? INDA_FOUND
                      : INDA_NO_LATTICE;
  return result;
}

}  // namespace dorvex
