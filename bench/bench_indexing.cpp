// Auto-indexing and the three least-squares refinements on seeded crystals.
//
//   INDC: orthorhombic 25 x 30 x 35 A, Mo K-alpha (0.71073 A), 30 used reflections with
//   2theta from 5 to 35 degrees, tolerances 1.0 and 1.0 degrees; once with data that the first
//   pair indexes completely (early full match), once with one reflection off the lattice, so
//   that no orientation matches every reflection and the search runs over all pairs.
//   LSQ, CLSQ (orthorhombic) and TLSQ (orthorhombic) on 60 reflections, console discarded.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "geometry/clsq.hpp"
#include "geometry/indexing.hpp"
#include "geometry/lsq.hpp"
#include "geometry/tlsq.hpp"
#include "refinement/test_crystal.hpp"  // seeded crystals with exact angles
#include "support/recording_toolkit.hpp"

using namespace dorvex;

namespace {

void fresh_state() {
  reset_program_state();
  S().shell.data_directory.clear();  // no user log: only the computation is timed
  dorvex_test::install_recording_toolkit(false);  // the figures are those of the computation
}

IndexingInput indexing_case(bool outlier) {
  fresh_state();
  const std::array<double, 6> cell{25.0, 30.0, 35.0, 90, 90, 90};
  refine_test::TestCrystal xtal(cell, 4242);
  auto refl = xtal.reflections(30, 4243, 0.002, 5, 35);
  if (outlier) {
    // A reflection that no lattice vector explains: its nearest lattice vector lies more than
    // two degrees off its direction (on so large a cell most directions have one nearby).
    std::mt19937 rng(99);
    std::uniform_real_distribution<double> tth(15, 30), chi(-60, 60), phi(-180, 180);
    const refine_test::M ubi = refine_test::inverse(xtal.UB);
    for (;;) {
      const std::array<double, 4> a{tth(rng), 0, chi(rng), phi(rng)};
      const double c = a[2] / refine_test::kRadToDeg, f = a[3] / refine_test::kRadToDeg;
      const double dstar = 2 * std::sin(a[0] / 2 / refine_test::kRadToDeg) / xtal.lambda;
      const refine_test::V u{std::cos(c) * std::cos(f), std::cos(c) * std::sin(f), std::sin(c)};
      const refine_test::V hf =
          refine_test::mul(ubi, refine_test::V{u[0] * dstar, u[1] * dstar, u[2] * dstar});
      const refine_test::V x = refine_test::mul(
          xtal.UB, refine_test::V{std::round(hf[0]), std::round(hf[1]), std::round(hf[2])});
      const double cosine = (x[0] * u[0] + x[1] * u[1] + x[2] * u[2]) / refine_test::norm(x);
      if (std::acos(std::min(1.0, cosine)) * refine_test::kRadToDeg > 2.0) {
        refl[12] = refine_test::Reflection{{0, 0, 0}, a};
        break;
      }
    }
  }
  refine_test::load_list(refl, xtal.lambda, false);
  for (int p = 0; p < 6; ++p) S().crystal.cell[p] = static_cast<float>(cell[p]);
  return indexing_input(S().crystal, S().list, S().profile);
}

void run_indc(benchmark::State& state, bool outlier) {
  const IndexingInput in = indexing_case(outlier);
  IndexingSolution best;
  for (auto _ : state) {
    INDEX_SEARCH(in, 1.0, 1.0, best);
    benchmark::DoNotOptimize(best.matched);
  }
  state.counters["matched"] = best.matched;
  state.counters["used"] = best.used;
  state.counters["candidates"] = static_cast<double>(best.candidates);
}

void BM_IndcEarlyFullMatch(benchmark::State& state) { run_indc(state, false); }
void BM_IndcNoFullMatch(benchmark::State& state) { run_indc(state, true); }

void refinement_case() {
  fresh_state();
  refine_test::TestCrystal xtal({8.52, 11.23, 13.71, 90, 90, 90}, 77);
  refine_test::load_list(xtal.reflections(60, 78, 0.003, 8, 50), xtal.lambda);
  S().crystal.UB = refine_test::to_mat3(xtal.UB);
}

void BM_Lsq60(benchmark::State& state) {
  refinement_case();
  ProgramState& s = S();
  for (auto _ : state) benchmark::DoNotOptimize(LSQ(s.crystal, s.list, s.profile, s.device, true));
}

void BM_Clsq60(benchmark::State& state) {
  refinement_case();
  ProgramState& s = S();
  for (auto _ : state)
    benchmark::DoNotOptimize(LSVEC(CLSQ_ORTHORHOMBIC, s.crystal, s.list, s.profile, s.device));
}

void BM_Tlsq60(benchmark::State& state) {
  refinement_case();
  ProgramState& s = S();
  for (auto _ : state) benchmark::DoNotOptimize(TTHREFINE(TLSQ_ORTHORHOMBIC, s.crystal, s.list));
}

}  // namespace

BENCHMARK(BM_IndcEarlyFullMatch)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IndcNoFullMatch)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);
BENCHMARK(BM_Lsq60)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Clsq60)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Tlsq60)->Unit(benchmark::kMicrosecond);
