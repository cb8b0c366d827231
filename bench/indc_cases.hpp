// The auto-indexing cases of the benchmarks and of the end-to-end timing: an orthorhombic cell,
// Mo K-alpha (0.71073 A), 30 used reflections with 2theta from 5 to 35 degrees centred to
// 0.002 degree, and optionally stray reflections (peaks no lattice vector explains), which
// keep any orientation from indexing every reflection, so that the search runs to the end.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

#include "common/state.hpp"
#include "refinement/test_crystal.hpp"  // seeded crystals with exact angles

namespace indc_case {

inline const std::array<double, 6> kSmallCell{25.0, 30.0, 35.0, 90, 90, 90};
inline const std::array<double, 6> kLargeCell{50.0, 50.0, 60.0, 90, 90, 90};

// A direction whose nearest lattice vector lies more than two degrees off it (on so large a
// cell most directions have one nearby).
inline std::array<double, 4> stray_setting(const refine_test::TestCrystal& xtal,
                                           std::mt19937& rng) {
  std::uniform_real_distribution<double> tth(15, 30), chi(-60, 60), phi(-180, 180);
  const refine_test::M ubi = refine_test::inverse(xtal.UB);
  for (;;) {
    const std::array<double, 4> a{tth(rng), 0, chi(rng), phi(rng)};
    const double c = a[2] / refine_test::kRadToDeg, f = a[3] / refine_test::kRadToDeg;
    const double dstar = 2 * std::sin(a[0] / 2 / refine_test::kRadToDeg) / xtal.lambda;
    const refine_test::V u{std::cos(c) * std::cos(f), std::cos(c) * std::sin(f), std::sin(c)};
    const refine_test::V hf =
        refine_test::mul(ubi, refine_test::V{u[0] * dstar, u[1] * dstar, u[2] * dstar});
    const refine_test::V x = refine_test::mul(
        xtal.UB, refine_test::V{std::round(hf[0]), std::round(hf[1]), std::round(hf[2])});
    const double cosine = (x[0] * u[0] + x[1] * u[1] + x[2] * u[2]) / refine_test::norm(x);
    if (std::acos(std::min(1.0, cosine)) * refine_test::kRadToDeg > 2.0) return a;
  }
}

// The largest index any reflection up to 2theta 35 degrees can have on `cell`, so that the
// reflections are drawn from the whole 2theta range and not from a small box about the origin.
inline int index_reach(const std::array<double, 6>& cell, double lambda) {
  const double dstar = 2 * std::sin(17.5 / refine_test::kRadToDeg) / lambda;
  return static_cast<int>(std::ceil(dstar * std::max({cell[0], cell[1], cell[2]})));
}

// Fills the program's list and cell with the case: 30 reflections spread over 2theta 5 to 35
// degrees, `strays` of them (at list places 13, 22, ...) replaced by stray ones.
inline void load(const std::array<double, 6>& cell, int strays) {
  refine_test::TestCrystal xtal(cell, 4242);
  auto refl = xtal.reflections(30, 4243, 0.002, 5, 35, 8, index_reach(cell, xtal.lambda));
  std::mt19937 rng(99);
  for (int s = 0; s < strays; ++s)
    refl[static_cast<std::size_t>(12 + 9 * s)] = refine_test::Reflection{{0, 0, 0},
                                                                         stray_setting(xtal, rng)};
  refine_test::load_list(refl, xtal.lambda, false);
  for (int p = 0; p < 6; ++p) dorvex::S().crystal.cell[p] = static_cast<float>(cell[p]);
}

}  // namespace indc_case
