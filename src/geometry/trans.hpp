// Change of the unit-cell setting (command TRAN): new axes a'_i = sum_j T(i,j) a_j, so new
// indices h' = T h and the new orientation matrix UB' = UB T^-1.
#pragma once

#include <array>

#include "common/state.hpp"

namespace dorvex {

// The cell (a, b, c, alpha, beta, gamma) that T would give, from G' = T G T^T with
// G = (UB^T UB)^-1. Nothing is changed. Returns false when UB gives no metric.
bool transformed_cell(const Mat3& T, const Mat3& UB, std::array<double, 6>& cell);

// Applies T: UB := UB T^-1, the cell is derived and shown (OMTOB), and every list entry's
// indices become T h, kept as reals. Returns false (nothing changed) when T is singular. The
// caller saves the orientation-matrix file.
bool TRANS(const Mat3& T, CrystalState& crystal, ReflectionList& list);

}  // namespace dorvex
