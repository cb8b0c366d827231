// The data-collection parameters as the operator sees them (LISTSCAN, SHOW DATA), the column
// header of the reflection lines, and the shell test of the collection.
#pragma once

#include <vector>

#include "common/state.hpp"

namespace dorvex {

// The scan and data-collection parameters of S(): scan type and width, steps, psi scans,
// precision mode, data file, title, standards, index ranges, increment order, shells and the
// space-group rule.
void LISTSCAN();

// The shells DC S collects, in order: those of shells 1 to 10 that are selected and have both
// limits set.
std::vector<int> collected_shells(const DataCollectionParameters& dc);

// A blank line, the column header, a blank line; `header_sequence` takes the sequence number
// at which the header was written (the header is repeated before the 61st reflection line).
void PRINTHEADER(int& header_sequence);

// 2theta (degrees) of the indices, 2 arcsin(lambda1 |B h| / 2): 0 when reachable, 1 when the
// sine exceeds 1 (two_theta is then 90).
int TTHETA(const CrystalState& crystal, const Vec3& hkl, float& two_theta);

// 1 when the indices lie outside shell `shell` (1..10): 0 0 0, unreachable, or 2theta below
// the lower limit or not below the upper one; 0 inside.
int INSHELL(const CrystalState& crystal, const DataCollectionParameters& dc, int shell,
            const Vec3& hkl);

}  // namespace dorvex
