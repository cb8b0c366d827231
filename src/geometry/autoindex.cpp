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
constexpr double kFitFloor = 0.03;    // narrowest one
constexpr double kSearchSpread = 1.5;  // the search's angular window, in angle tolerances
constexpr double kPlaneSigma = 1.5e-3;  // uncertainty of a plane's distance from the origin, 1/A
constexpr double kScanPhase = 0.08;   // largest phase change between two scanned lengths, cycles
constexpr int kLocalScan = 30;        // a length known worse than this many scan steps is left
constexpr std::size_t kBasisPool = 40;  // shortest good vectors tried as cell edges
constexpr std::size_t kPlaneReflections = 30;  // reflections whose triples give planes

double frac_dist(double v) { return std::fabs(v - std::nearbyint(v)); }

V3 scaled(const V3& v, double s) { return {v[0] * s, v[1] * s, v[2] * s}; }
V3 minus(const V3& a, const V3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }

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
};

// Everything the search of one set of reflections shares.
class Search {
 public:
  Search(const std::vector<V3>& x, double max_edge, double spread)
      : x_(x), max_edge_(max_edge), spread_(spread) {
    n_ = static_cast<int>(x_.size());
    need_ = (n_ + 1) / 2;
    keep_ = (3 * n_ + 4) / 5;
    for (const V3& v : x_) xlen_.push_back(refine::norm3(v));
  }

  void run() {
    for (int i = 0; i < n_; ++i)
      for (int j = i + 1; j < n_; ++j) zone_axis(i, j);
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
  }

  const std::vector<TVector>& found() const { return found_; }

  // Reflections that t indexes: the index window is the angular window seen along t, so short
  // vectors, whose indices are small, are held to a window as narrow as the measurement.
  int count(const V3& t) const {
    const double tl = refine::norm3(t) * spread_;
    int c = 0;
    for (std::size_t k = 0; k < x_.size(); ++k) {
      const double tol = std::clamp(tl * xlen_[k], kFitFloor, kFitTol);
      if (frac_dist(refine::dot3(t, x_[k])) < tol) ++c;
    }
    return c;
  }

 private:
  // Two reflections and the origin: the zone axis, with its length scanned.
  void zone_axis(int i, int j) {
    const V3& a = x_[static_cast<std::size_t>(i)];
    const V3& b = x_[static_cast<std::size_t>(j)];
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

  // Lengths from `lo` to `hi` along n; the best of each run of lengths that index at least
  // half of the reflections is refined, for at most `runs` runs.
  void scan(const V3& n, double lo, double hi, int runs) {
    proj_.resize(x_.size());
    double pmax = 1.0e-6;
    for (std::size_t k = 0; k < x_.size(); ++k) {
      proj_[k] = refine::dot3(n, x_[k]);
      pmax = std::max(pmax, std::fabs(proj_[k]));
    }
    const double step = kScanPhase / pmax;
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
        refine_and_keep(scaled(n, best_length));
        best = -1;
        if (--runs == 0) return;
      }
    }
    if (best >= 0) refine_and_keep(scaled(n, best_length));
  }

  // Least squares on t.x = m over the reflections near whole m, three times with narrowing
  // windows; kept when it then indexes at least half of the reflections.
  void refine_and_keep(V3 t) {
    for (int pass = 0; pass < 4; ++pass) {
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
    }
    const double length = refine::norm3(t);
    if (length < kShortest || length > 1.2 * max_edge_) return;
    const int c = count(t);
    if (c < keep_) return;
    // One entry per vector (t and -t alike), found through a grid of 0.5 A cells.
    if (t[0] < 0 || (t[0] == 0 && (t[1] < 0 || (t[1] == 0 && t[2] < 0)))) t = scaled(t, -1);
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
            if (c > f.count) f = TVector{t, length, c};
            return;
          }
        }
    grid_[key(cell[0], cell[1], cell[2])].push_back(found_.size());
    found_.push_back(TVector{t, length, c});
  }

  static long long key(long x, long y, long z) {
    return ((static_cast<long long>(x) + 1024) << 22) | ((static_cast<long long>(y) + 1024) << 11) |
           (static_cast<long long>(z) + 1024);
  }

  const std::vector<V3>& x_;
  double max_edge_, spread_;
  std::vector<double> xlen_;
  int n_ = 0, need_ = 0, keep_ = 0;
  std::unordered_map<long long, std::vector<std::size_t>> grid_;
  std::vector<double> proj_;
  std::vector<TVector> found_;
};

// Whether the cell with direct axes t (rows) and UB = t^-1 places x within the angular window:
// |UB h - x| at most |x| spread, h the nearest whole indices (not all zero).
bool fits(const M3& t, const M3& ub, const V3& x, double spread, std::array<int, 3>* h = nullptr) {
  const V3 hf = refine::mul(t, x);
  const V3 hr{std::nearbyint(hf[0]), std::nearbyint(hf[1]), std::nearbyint(hf[2])};
  if (hr[0] == 0 && hr[1] == 0 && hr[2] == 0) return false;
  if (h != nullptr)
    for (int k = 0; k < 3; ++k) (*h)[k] = static_cast<int>(hr[k]);
  const V3 d = minus(refine::mul(ub, hr), x);
  return refine::dot3(d, d) <= refine::dot3(x, x) * spread * spread;
}

// How well a cell (direct axes t, rows) indexes the reflections: the count within the window,
// and the evidence of the fits, the sum over them of -ln p, p being the chance that a point
// anywhere falls within the window of a lattice point of that cell (window volume over the
// reciprocal cell's). A larger cell places chance points more easily and so earns less for
// each fit: among many trial cells, one that catches a few stray peaks by its size does not
// outscore the true cell.
struct Score {
  int count = 0;
  double evidence = 0;
};

Score joint_score(const M3& t, const std::vector<V3>& x, double spread) {
  Score sc;
  const double det = refine::det3(t);
  if (det == 0) return sc;
  const M3 ub = refine::inverse3(t, det);
  const double volume = std::fabs(det);
  for (const V3& v : x) {
    if (!fits(t, ub, v, spread)) continue;
    ++sc.count;
    const double r = refine::norm3(v) * spread;
    const double p = 4.18879 * r * r * r * volume;  // 4/3 pi r^3 / (1/V)
    if (p < 1) sc.evidence -= std::log(p);
  }
  return sc;
}

M3 rows(const V3& a, const V3& b, const V3& c) { return M3{{a, b, c}}; }

// The three good vectors whose cell indexes the reflections with the most evidence; then any
// good vector that is not a whole combination of them shrinks the cell if that adds evidence.
// Rows of the result are the cell's direct axes.
bool choose_basis(std::vector<TVector> good, const std::vector<V3>& x, double spread,
                  M3& basis) {
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
        const Score sc = joint_score(t, x, spread);
        if (2 * sc.count < n || sc.evidence <= chosen.score.evidence) continue;
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
      const Score sc = joint_score(trial, x, spread);
      if (sc.evidence <= chosen.score.evidence) continue;
      chosen.score = sc;
      basis = trial;
      changed = true;
      break;
    }
    if (!changed) break;
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
  Search search(x, tol.max_edge, spread);
  search.run();
  std::vector<TVector> good;
  int top = 0;
  for (const TVector& t : search.found()) top = std::max(top, t.count);
  for (const TVector& t : search.found())
    if (4 * t.count >= 3 * top) good.push_back(t);
  M3 basis{};
  if (!choose_basis(good, x, spread, basis)) return result;
  M3 ub = refine::inverse3(basis, refine::det3(basis));

  // Refinement against the reflections it indexes: first by the index window, then by the
  // operator's tolerances.
  std::vector<std::array<int, 3>> h(x.size());
  std::vector<bool> take(x.size());
  for (std::size_t k = 0; k < x.size(); ++k) take[k] = fits(basis, ub, x[k], spread, &h[k]);
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
