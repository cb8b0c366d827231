// Space-group symbols: the symmetry operators and lattice centring of a Hermann-Mauguin symbol,
// and the tests that decide whether a reflection is systematically absent.
//
// Symbols are written with blanks between the lattice letter and the directional fields
// ("P 21/c", "P 21 21 21", "F m -3 m", "R -3 c"), in any case. Fields run together are also
// read where they cannot be taken two ways ("P21/c", "Fd-3m", "I41/amd", "P63/mmc"). The
// settings are the conventional ones: unique axis b for monoclinic groups given by one field,
// hexagonal axes (obverse) for R groups.
#pragma once

#include <array>
#include <string_view>

#include "common/state.hpp"  // Vec3

namespace dorvex {

struct SymmetryOperator {
  std::array<int, 9> rotation{1, 0, 0, 0, 1, 0, 0, 0, 1};  // row by row: x'_i = sum_j r_ij x_j
  Vec3 translation{};                                      // fractions, 0 <= t < 1
};

constexpr int kMaxOperators = 24;

struct SpaceGroup {
  char lattice = 'P';  // P, A, B, C, F, I, R
  int operator_count = 1;
  std::array<SymmetryOperator, kMaxOperators> op{};  // op[0] is the identity
  // Set when the group holds the inversion; the inversion centre is then at the origin and
  // only the proper rotation of each pair related by it is listed.
  int centrosymmetric = 0;
  int centring_count = 0;
  std::array<Vec3, 3> centring{};
};

// Interprets a symbol (lattice letter and fields): 0 on success, 1 when it cannot be read or
// names no space group. On failure `group` is left as P 1.
int SYMGEN(std::string_view symbol, SpaceGroup& group);

// The symbol of the data-collection parameters (20 characters; all blank means "p 1"):
// operators, lattice letter and centring translations. 0 on success, 1 on error (the group is
// then P 1); the caller reports the error.
int SYMMETRY(std::string_view symbol, SpaceGroup& group);

int LATABS(const SpaceGroup& group, const Vec3& h);  // 1 allowed by the centring, 0 absent
int ISPABS(const SpaceGroup& group, const Vec3& h);  // 1 allowed by the operators, 0 absent
// Neither absent by the centring nor by the operators.
bool ALLOWED(const SpaceGroup& group, const Vec3& h);

}  // namespace dorvex
