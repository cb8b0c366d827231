// Unit cell, metric tensors, B and UB.
#pragma once

#include <array>

#include "common/state.hpp"

namespace dorvex {

using Cell = std::array<float, 6>;  // a, b, c, alpha, beta, gamma

// B from the cell. A metric tensor with a determinant <= 0 prints
// " Error in Cell: Determinant of G = " and the value and leaves B unchanged (returns false).
bool CALCB(const Cell& cell, Mat3& B);
// Cell, volume and B of the crystal from its UB; shows the cell unless quiet. A UB with
// det(UB^T UB) <= 0 prints " Invalid Orientation Matrix - Use COM" and changes nothing.
bool OMTOB(CrystalState& crystal, bool quiet);
void METR(const Cell& cell, Mat3& gstar, float& det);
void MAKEB(const Cell& cell, const Mat3& gstar, Mat3& B);
// (a, b, c, cos alpha, cos beta, cos gamma) -> volume, reciprocal (a*, b*, c*, cos*...), 1/V.
void RECIP(const std::array<float, 6>& in, float& volume, std::array<float, 6>& out,
           float& inv_volume);
// Cell and volume from a refined reciprocal basis M (G* = M^T M).
void PARAMS(const Mat3& M, Cell& cell, float& volume);

}  // namespace dorvex
