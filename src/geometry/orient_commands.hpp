// Orientation from two listed reflections, the work routine behind COM.
#pragma once

#include "common/state.hpp"
#include "geometry/angles.hpp"

namespace dorvex {

// UB from list entries i and j (1-based) with indices h1 and h2: the first reflection fixes
// the direction, the second the plane. Returns 0 with the observed angle between the two
// measured vectors, the angle between the two computed ones and the new UB; 1 after the
// message when the crystal has no cell, an index triple is null, or either pair is parallel.
int CALCOM(const Geometry& g, const ReflectionList& list, int i, int j, const Vec3& h1,
           const Vec3& h2, float& observed, float& calculated, Mat3& UB);

}  // namespace dorvex
