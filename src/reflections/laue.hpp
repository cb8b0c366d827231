// Laue-group equivalents of a reflection (INL): the twelve Laue groups, their operators, and
// the iteration over the equivalents that are not yet in the reflection list.
#pragma once

#include <string_view>
#include <vector>

#include "common/state.hpp"

namespace dorvex {

// A symmetry operator acting on the index row vector: h'_i = sum_j r(j,i) h_j, plus a
// translation (zero for the Laue groups).
struct SymOp {
  Mat3 r;
  Vec3 t{};
};

constexpr int kMaxOperators = 48;

SymOp GMPRD(const SymOp& a, const SymOp& b);  // a then b: the matrix product a.r * b.r
bool EQOP(const SymOp& a, const SymOp& b);    // same matrix (0.0001) and translation (0.0005)

// Looks the symbol up in the first ten characters of `text` (any case) and builds the group's
// operators, identity and inversion first. Returns the group number 1..12, or 0 (ops empty).
int GET_LAUE_GROUP(std::string_view text, std::vector<SymOp>& ops);

struct LaueIteration {
  std::size_t next = 0;       // next operator to try
  bool done = false;
  std::vector<Vec3> offered;  // equivalents returned so far
};

void INIT_LAUE(LaueIteration& it);
// The next equivalent of h that neither it nor its Friedel opposite is in the list (or was
// offered before in this iteration). False, with the done flag, when the operators are used up.
bool GET_LAUE_REFLECTION(const std::vector<SymOp>& ops, const ReflectionList& list, const Vec3& h,
                         LaueIteration& it, Vec3& equivalent);

}  // namespace dorvex
