// Auto-indexing and the three least-squares refinements on seeded crystals.
//
//   INDC: the cases of indc_cases.hpp, tolerances 1.0 and 1.0 degrees: 25 x 30 x 35 A with data
//   that the first pair indexes completely (early full match), and with two stray reflections,
//   so that no orientation indexes every reflection and the search runs over all pairs; the
//   same on a 50 x 50 x 60 A cell, to see how the cost grows with the cell. Arguments: the
//   number of worker threads (0: one per core). The times are wall and process CPU time.
//   LSQ, CLSQ (orthorhombic) and TLSQ (orthorhombic) on 60 reflections, console discarded.
#include <benchmark/benchmark.h>

#include "geometry/clsq.hpp"
#include "geometry/indexing.hpp"
#include "geometry/lsq.hpp"
#include "geometry/tlsq.hpp"
#include "indc_cases.hpp"
#include "support/recording_toolkit.hpp"

using namespace dorvex;

namespace {

void fresh_state() {
  reset_program_state();
  S().shell.data_directory.clear();  // no user log: only the computation is timed
  dorvex_test::install_recording_toolkit(false);  // the figures are those of the computation
}

void run_indc(benchmark::State& state, const std::array<double, 6>& cell, int strays) {
  fresh_state();
  indc_case::load(cell, strays);
  const IndexingInput in = indexing_input(S().crystal, S().list, S().profile);
  IndexingControl control;
  control.threads = static_cast<int>(state.range(0));
  IndexingSolution best;
  for (auto _ : state) {
    INDEX_SEARCH(in, 1.0, 1.0, best, control);
    benchmark::DoNotOptimize(best.matched);
  }
  state.counters["matched"] = best.matched;
  state.counters["used"] = best.used;
  state.counters["candidates"] = static_cast<double>(best.candidates);
  state.counters["estimate_s"] = best.estimate.seconds;
}

void BM_IndcEarlyFullMatch(benchmark::State& state) { run_indc(state, indc_case::kSmallCell, 0); }
void BM_IndcTwoStrays(benchmark::State& state) { run_indc(state, indc_case::kSmallCell, 2); }
void BM_IndcLargeEarlyFullMatch(benchmark::State& state) {
  run_indc(state, indc_case::kLargeCell, 0);
}
void BM_IndcLargeTwoStrays(benchmark::State& state) { run_indc(state, indc_case::kLargeCell, 2); }

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

BENCHMARK(BM_IndcEarlyFullMatch)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)
    ->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_IndcTwoStrays)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)
    ->UseRealTime()->MeasureProcessCPUTime()->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_IndcLargeEarlyFullMatch)->Arg(0)->Unit(benchmark::kMillisecond)
    ->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_IndcLargeTwoStrays)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(1)
    ->UseRealTime()->MeasureProcessCPUTime()->Repetitions(3)->ReportAggregatesOnly();
BENCHMARK(BM_Lsq60)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Clsq60)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Tlsq60)->Unit(benchmark::kMicrosecond);
