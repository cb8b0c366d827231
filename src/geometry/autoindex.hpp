// Indexing without a cell (command INDA): the primitive lattice that indexes the most of the
// centred reflections, found from their diffraction vectors alone, and its Niggli-reduced cell.
//
// The search looks for direct-lattice vectors t, for which t.x is an integer for every
// reciprocal-lattice vector x (Duisenberg, J. Appl. Cryst. 25 (1992) 92): a plane through three
// reflections (or through two and the origin) is a lattice plane when they are lattice points,
// so its normal is the direction of a lattice vector and its distance from the origin gives the
// vector's length up to a whole factor; a scan of the length along each such direction
// (the one-dimensional Fourier view of Steller, Bolotovsky and Rossmann, 1997) settles the rest.
// Long edges, whose low-index zones hold few reflections, come from whole numbers guessed for
// three low-angle reflections, and further vectors from sums and differences of good ones.
// Vectors and cells are rated by the likelihood that the reflections lie on their lattice
// within the measuring error, a fraction of stray peaks allowed for, against peaks at random.
// The three vectors whose cell fits best form the cell (or a cell of twice its volume, if
// that fits better), which is then refined against the indexed reflections and reduced.
#pragma once

#include <array>
#include <vector>

#include "common/state.hpp"
#include "geometry/angles.hpp"
#include "geometry/refine_math.hpp"

namespace dorvex {

struct AutoindexTolerances {
  double tth = 0.3;        // |2theta calculated - 2theta observed|, degrees
  double angle = 0.5;      // angle between UB h and the observed diffraction vector, degrees
  double max_edge = 50.0;  // longest direct-lattice vector the search considers, A
};

// A used reflection as the search sees it.
struct AutoindexReflection {
  int number = 0;     // list number, 1-based
  AngleSet angles{};  // as stored
  refine::V3 x{};     // diffraction vector in the phi-axis frame (CALCH), 1/A
};

// How an orientation indexes one reflection.
struct IndexedReflection {
  std::array<int, 3> h{};  // nearest whole indices
  refine::V3 hf{};         // indices before rounding
  double deviation = 0;    // angle between UB h and the observed vector, degrees
  double tth_calc = 0;     // 2theta of h, degrees (180 beyond the sphere of reflection)
  bool indexed = false;    // within both tolerances
};

enum : int { INDA_FOUND = 0, INDA_TOO_FEW = 1, INDA_NO_LATTICE = 2 };
constexpr int kIndaMinimum = 6;  // fewest used reflections INDA works with

struct AutoindexResult {
  int status = INDA_NO_LATTICE;
  refine::M3 ub{};                     // Niggli-reduced orientation matrix
  std::array<double, 6> cell{};        // its cell: a, b, c (A), alpha, beta, gamma (degrees)
  double volume = 0;
  std::vector<IndexedReflection> refl;  // per input reflection, same order
  int indexed = 0;
  double mean_deviation = 0;           // over the indexed reflections, degrees
};

// The used reflections of the list with their diffraction vectors (CALCH with the profile's
// rotation senses and lambda1).
std::vector<AutoindexReflection> autoindex_input(const ReflectionList& list, const Geometry& g);

// Indices of x under an orientation (its inverse given), with the two tolerance tests.
IndexedReflection index_reflection(const refine::M3& ub, const refine::M3& ubinv,
                                   const refine::V3& x, double lambda,
                                   const AutoindexTolerances& tol);

// The search, refinement and reduction (no printing).
AutoindexResult AUTOINDEX(const std::vector<AutoindexReflection>& refl, double lambda,
                          const AutoindexTolerances& tol);

}  // namespace dorvex
