// Least-squares refinement of the orientation matrix from the centred reflections of the list.
#pragma once

#include <array>
#include <vector>

#include "common/state.hpp"
#include "geometry/angles.hpp"       // Geometry, CALCH
#include "geometry/refine_math.hpp"  // V3

namespace dorvex {

// A list entry that takes part in a refinement: its list number (1-based), its stored angles,
// its indices rounded to the nearest integers (halves away from zero) and its observed
// diffraction vector x = CALCH(angles).
struct UsedReflection {
  int number = 0;
  AngleSet angles{};
  std::array<int, 3> h{};
  refine::V3 x{};
};

// The entries whose use flag is set, in list order.
std::vector<UsedReflection> collect_used(const ReflectionList& list, const Geometry& g);

// Fits all nine elements of UB to the used reflections, shows the table of deltas and the new
// matrix and cell (unless quiet), and stores UB, cell, volume and their standard deviations in
// `crystal`. Returns 0 when UB was replaced, 1 when the fit was refused (UB unchanged). The
// matrix and cell displays show the program's crystal record, which is `crystal` in the program.
int LSQ(CrystalState& crystal, const ReflectionList& list, const MachineProfile& profile,
        const DeviceSettings& device, bool quiet);

// LSQ on the program's records; a replaced UB is saved in the orientation-matrix file, and a
// refused fit raises the error flag (so that a macro stops there).
int LSQ(bool quiet);

}  // namespace dorvex
