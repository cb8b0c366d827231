// Cell refinement from the 2theta values of indexed reflections alone (command TLSQ), in
// double precision. It reports; it changes nothing in the crystal record or the list.
#pragma once

#include <array>

#include "common/state.hpp"

namespace dorvex {

// Crystal systems of TLSQ.
enum : int {
  TLSQ_TRICLINIC = 0,
  TLSQ_MONOCLINIC_B = 1,
  TLSQ_MONOCLINIC_C = 2,
  TLSQ_ORTHORHOMBIC = 3,
  TLSQ_TETRAGONAL = 4,
  TLSQ_HEXAGONAL = 5,
  TLSQ_CUBIC = 6,
};

struct TthRefinement {
  std::array<double, 6> cell{};  // a, b, c, alpha, beta, gamma
  double volume = 0;
  std::array<double, 6> cell_esd{};
  double volume_esd = 0;
  bool has_esd = false;  // false when there are as many reflections as parameters
  int cycles = 0;        // Gauss-Newton cycles run
  bool converged = false;
};

// Refines the cell of crystal system 0..6 from the 2theta values of the entries whose use flag
// is exactly 1, prints the table and the report, and returns 0; or prints why it cannot and
// returns 1. `result`, when given, receives the refined values.
int TTHREFINE(int system, const CrystalState& crystal, const ReflectionList& list,
              TthRefinement* result = nullptr);

}  // namespace dorvex
