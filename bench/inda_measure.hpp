// Reflections as INDA receives them from the instrument: the first `real` diffraction vectors
// of `pool` turned into bisecting settings and back with Gaussian noise of 0.05 degrees on each
// angle, then `junk` spurious peaks at random settings (2theta 8 to 40, chi -80 to 80), Mo
// K-alpha. Shared by the benchmark and the success-rate harness.
#pragma once

#include <cmath>
#include <random>
#include <vector>

#include "geometry/autoindex.hpp"

namespace dorvex_bench {

// `gauss` is the caller's standard normal distribution, so that a caller's seeded sequence
// goes on where it left off.
inline std::vector<dorvex::AutoindexReflection> measured(
    const std::vector<dorvex::refine::V3>& pool, int real, int junk, std::mt19937& rng,
    std::normal_distribution<double>& gauss) {
  using dorvex::refine::V3;
  constexpr double kRad = 180.0 / M_PI;
  constexpr double kLambda = 0.71073;
  std::vector<dorvex::AutoindexReflection> out;
  auto add = [&](double tth, double chi, double phi) {
    tth += 0.05 * gauss(rng);
    const double om = 0.05 * gauss(rng) / kRad;
    chi = (chi + 0.05 * gauss(rng)) / kRad;
    phi = (phi + 0.05 * gauss(rng)) / kRad;
    const double s = 2 * std::sin(tth / 2 / kRad) / kLambda;
    dorvex::AutoindexReflection r;
    r.number = static_cast<int>(out.size()) + 1;
    r.x = {s * (std::cos(om) * std::cos(chi) * std::cos(phi) - std::sin(om) * std::sin(phi)),
           s * (std::sin(om) * std::cos(phi) + std::cos(om) * std::cos(chi) * std::sin(phi)),
           s * std::cos(om) * std::sin(chi)};
    out.push_back(r);
  };
  for (int n = 0; n < real; ++n) {
    const V3& v = pool[static_cast<std::size_t>(n)];
    add(2 * std::asin(kLambda * dorvex::refine::norm3(v) / 2) * kRad,
        std::atan2(v[2], std::hypot(v[0], v[1])) * kRad, std::atan2(v[1], v[0]) * kRad);
  }
  std::uniform_real_distribution<double> tth(8, 40), chi(-80, 80), phi(-180, 180);
  for (int n = 0; n < junk; ++n) add(tth(rng), chi(rng), phi(rng));
  return out;
}

}  // namespace dorvex_bench
