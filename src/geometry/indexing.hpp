// Auto-indexing (command INDC): the orientation of a crystal of known cell from centred but
// unindexed reflections, by an exhaustive search over pairs of reflections and pairs of index
// triples whose 2theta values and mutual angle agree with the cell.
#pragma once

#include <array>
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

struct IndexingSolution {
  int matched = 0;  // reflections the best orientation indexes
  int used = 0;     // used reflections
  bool found = false;
  int first = -1, second = -1;     // positions in the used set of the pair that gave it
  std::array<int, 3> h1{}, h2{};   // their index triples
  refine::M3 ub{};                 // the orientation matrix built from the pair
  long candidates = 0;             // candidate pairs of triples tried
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
};

// The search alone (no printing): fills `best`, returns one of the statuses above.
int INDEX_SEARCH(const IndexingInput& in, double tth_tol, double psi_tol, IndexingSolution& best);

// The search with its messages and the final listing; on success the UB of `crystal` holds the
// best orientation. The cell, the list and the matrix file are not changed.
int GENUB(CrystalState& crystal, const ReflectionList& list, const MachineProfile& profile,
          double tth_tol, double psi_tol, IndexingSolution* solution = nullptr);

}  // namespace dorvex
