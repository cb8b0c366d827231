// Auto-indexing (command INDC): the orientation of a crystal of known cell from centred but
// unindexed reflections, by an exhaustive search over pairs of reflections and pairs of index
// triples whose 2theta values and mutual angle agree with the cell.
#pragma once

#include <array>
#include <functional>
#include <vector>

#include "common/state.hpp"
#include "geometry/refine_math.hpp"

namespace dorvex {

// A used reflection as the search sees it.
struct IndexingReflection {
  int number = 0;        // list number, 1-based
  AngleSet angles{};     // as stored
  double tth_abs = 0;    // |2theta|
  refine::V3 u{};        // unit direction of the diffraction vector in the phi-axis frame
  refine::V3 x{};        // observed diffraction vector u / d
};

// What a search would cost, from the number of index triples in each reflection's 2theta
// window: the pairs of triples whose angle agrees (the orientations to be tested) and the
// time on one core.
struct IndexingEstimate {
  double candidates = 0;
  double seconds = 0;
};

struct IndexingSolution {
  int matched = 0;  // reflections the best orientation indexes
  int used = 0;     // used reflections
  bool found = false;
  int first = -1, second = -1;     // positions in the used set of the pair that gave it
  std::array<int, 3> h1{}, h2{};   // their index triples
  refine::M3 ub{};                 // the orientation matrix built from the pair
  long candidates = 0;             // candidate pairs of triples tried
  IndexingEstimate estimate;       // of the search asked for
  IndexingEstimate estimate_unit;  // the same with tolerances of at most 1 degree
};

// Searches estimated to need more than this (seconds on one core) are refused.
constexpr double kIndexingTimeLimit = 120.0;

// How a search runs. The pairs of reflections are shared out among `threads` workers (0: one
// per core); the result does not depend on their number. `halt` is asked from the calling
// thread only, about every 50 ms; when it answers true the search ends at once.
struct IndexingControl {
  int threads = 0;
  std::function<bool()> halt;
  double time_limit = kIndexingTimeLimit;
};

// Everything the search works on, prepared once: the cell's metrics and B in double
// precision, the wavelength and the used reflections.
struct IndexingInput {
  std::array<double, 6> cell{};
  double lambda = 0;
  std::vector<IndexingReflection> refl;
};

// Direction of the diffraction vector of a setting: the first row of the phi-to-laboratory
// rotation with the circles' rotation senses, reversed for a negative 2theta.
refine::V3 ICALCH(const AngleSet& angles, const MachineProfile& profile);

// The used reflections of the list (use flag set), in list order.
IndexingInput indexing_input(const CrystalState& crystal, const ReflectionList& list,
                             const MachineProfile& profile);

// Status of the search.
enum : int {
  INDC_FOUND = 0,
  INDC_PICK_FAILED = 1,
  INDC_ZERO_TWO_THETA = 2,
  INDC_NO_CANDIDATE = 3,  // also for a cell or wavelength that gives no lattice
  INDC_BOX_TOO_LARGE = 4,  // the index box of the cell and 2theta range is too large to search
  INDC_TOO_LONG = 5,       // estimated beyond the time limit: refused before it starts
  INDC_HALTED = 6,         // the operator's halt
};

// The search alone (no printing): fills `best`, returns one of the statuses above. It tries the
// pairs of reflections (i < j) and, for each, the pairs of index triples in the order h, k, l
// from +n down to -n, and keeps the first orientation that indexes the most reflections.
int INDEX_SEARCH(const IndexingInput& in, double tth_tol, double psi_tol, IndexingSolution& best,
                 const IndexingControl& control = {});

// The search with its messages and the final listing; on success the UB of `crystal` holds the
// best orientation. The cell, the list and the matrix file are not changed.
int GENUB(CrystalState& crystal, const ReflectionList& list, const MachineProfile& profile,
          double tth_tol, double psi_tol, IndexingSolution* solution = nullptr);

}  // namespace dorvex
