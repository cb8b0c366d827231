// Cell refinement under the metric constraints of a crystal system (command CLSQ): the
// orientation matrix is refined with Lagrange-bordered normal equations that keep the form of
// the reciprocal metric of the chosen system.
#pragma once

#include <array>
#include <vector>

#include "common/state.hpp"
#include "geometry/refine_math.hpp"

namespace dorvex {

// Crystal systems of CLSQ.
enum : int {
  CLSQ_MONOCLINIC_B = 1,
  CLSQ_MONOCLINIC_C = 2,
  CLSQ_ORTHORHOMBIC = 3,
  CLSQ_TETRAGONAL = 4,
  CLSQ_HEXAGONAL = 5,
  CLSQ_CUBIC = 6,
  CLSQ_RHOMBOHEDRAL = 7,
};

// Reciprocal cell as (a*, b*, c*, cos alpha*, cos beta*, cos gamma*).
using ReciprocalCell = std::array<double, 6>;

// B (upper triangular, a* along x, b* in the xy plane) from a reciprocal cell.
refine::M3 BCALC(const ReciprocalCell& rc);

// The constraint rows (nine coefficients on M11, M12, ..., M33) of crystal system 1..7 for the
// constrained starting cell `rc`.
std::vector<std::array<double, 9>> CONSTR(int system, const ReciprocalCell& rc);

// Gauss-Jordan elimination with full pivoting of the n x n row-major matrix `a` with `m`
// right-hand sides in the n x m row-major `b`. Elimination ends when the largest remaining
// pivot is below 1.0E-6 in magnitude. Returns the number of pivots found; when it equals n,
// `a` holds the inverse and `b` the solutions.
int MXLNEQ(std::vector<double>& a, int n, std::vector<double>& b, int m);

// Constrained refinement for crystal system 1..7: shows the table of deltas, stores the
// refined cell, volume and their standard deviations in `crystal` and shows them. UB, B and
// the list are not changed. Returns 0, or 1 when the refinement was refused.
int LSVEC(int system, CrystalState& crystal, const ReflectionList& list,
          const MachineProfile& profile, const DeviceSettings& device);

}  // namespace dorvex
