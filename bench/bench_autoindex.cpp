// INDA's cell search (search, refinement, Niggli reduction) on 30 used reflections:
// monoclinic 9.1 x 11.3 x 14.7 A, beta 104.5, Mo K-alpha (0.71073 A), 2theta 8 to 40 degrees,
// angles with Gaussian noise of 0.05 degrees, in a seeded random orientation; once with 30
// lattice reflections, once with 24 and 6 spurious peaks; and the 60-reflection list with 12.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "geometry/autoindex.hpp"
#include "inda_measure.hpp"

using namespace dorvex;

namespace {

constexpr double kRad = 180.0 / M_PI;
constexpr double kLambda = 0.71073;

// Diffraction vectors as the instrument's bisecting settings give them, noise on the angles.
std::vector<AutoindexReflection> reflections(int real, int junk) {
  std::mt19937 rng(4711);
  std::normal_distribution<double> gauss(0, 1);
  const double a = 9.1, b = 11.3, c = 14.7, beta = 104.5 / kRad;
  // Reciprocal basis of the monoclinic cell (b unique), turned about an oblique axis.
  const double as = 1 / (a * std::sin(beta)), bs = 1 / b, cs = 1 / (c * std::sin(beta));
  const refine::V3 ra{as, 0, 0}, rb{0, bs, 0}, rc{-cs * std::cos(beta), 0, cs * std::sin(beta)};
  const double t = 0.7, cz = std::cos(t), sz = std::sin(t), cx = std::cos(0.4), sx = std::sin(0.4);
  auto turn = [&](const refine::V3& v) {
    const refine::V3 w{cz * v[0] - sz * v[1], sz * v[0] + cz * v[1], v[2]};
    return refine::V3{w[0], cx * w[1] - sx * w[2], sx * w[1] + cx * w[2]};
  };
  const double dmin = 2 * std::sin(4 / kRad) / kLambda, dmax = 2 * std::sin(20 / kRad) / kLambda;
  std::vector<refine::V3> pool;
  for (int h = -12; h <= 12; ++h)
    for (int k = -15; k <= 15; ++k)
      for (int l = -19; l <= 19; ++l) {
        const refine::V3 x = turn({h * ra[0] + l * rc[0], k * rb[1], h * ra[2] + l * rc[2]});
        const double d = refine::norm3(x);
        if (d >= dmin && d <= dmax) pool.push_back(x);
      }
  std::shuffle(pool.begin(), pool.end(), rng);
  std::vector<AutoindexReflection> out = dorvex_bench::measured(pool, real, junk, rng, gauss);
  return out;
}

void run(benchmark::State& state, int real, int junk) {
  const std::vector<AutoindexReflection> in = reflections(real, junk);
  for (auto _ : state) {
    const AutoindexResult r = AUTOINDEX(in, kLambda, AutoindexTolerances{});
    if (r.status != INDA_FOUND || r.indexed < real) state.SkipWithError("cell not found");
    benchmark::DoNotOptimize(r.volume);
  }
}

void BM_Inda30(benchmark::State& state) { run(state, 30, 0); }
void BM_Inda24And6Spurious(benchmark::State& state) { run(state, 24, 6); }
void BM_Inda48And12Spurious(benchmark::State& state) { run(state, 48, 12); }

}  // namespace

BENCHMARK(BM_Inda30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Inda24And6Spurious)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Inda48And12Spurious)->Unit(benchmark::kMillisecond);
