// Arbitrary space-group symbols as an operator may type them: interpreting one must never
// crash or hang, a symbol that is read gives a sound group, and one that is not leaves P 1.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "geometry/spacegroup.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dorvex;
  const std::string_view symbol(reinterpret_cast<const char*>(data), size);
  SpaceGroup g;
  const int status = size % 2 == 0 ? SYMMETRY(symbol, g) : SYMGEN(symbol, g);
  if (status != 0 && status != 1) std::abort();
  if (g.operator_count < 1 || g.operator_count > kMaxOperators) std::abort();
  if (status == 1 && (g.operator_count != 1 || g.centring_count != 0)) std::abort();
  if (g.centring_count < 0 || g.centring_count > 3) std::abort();
  for (int k = 0; k < g.operator_count; ++k) {
    const SymmetryOperator& o = g.op[static_cast<std::size_t>(k)];
    const auto& r = o.rotation;
    const int det = r[0] * (r[4] * r[8] - r[5] * r[7]) - r[1] * (r[3] * r[8] - r[5] * r[6]) +
                    r[2] * (r[3] * r[7] - r[4] * r[6]);
    if (det != 1 && det != -1) std::abort();
    if (g.centrosymmetric != 0 && det != 1) std::abort();  // only proper halves are listed
    for (float t : o.translation)
      if (!(t >= 0.0f && t < 1.0f)) std::abort();
  }
  // 0 0 0 is never absent; a reflection and its Friedel mate are absent together.
  if (!ALLOWED(g, {0, 0, 0})) std::abort();
  for (int i = 0; i + 2 < static_cast<int>(size) && i < 12; i += 3) {
    auto index = [&](int j) { return static_cast<float>(static_cast<int8_t>(data[j]) % 16); };
    const Vec3 h{index(i), index(i + 1), index(i + 2)};
    const Vec3 minus{-h[0], -h[1], -h[2]};
    if (ALLOWED(g, h) != ALLOWED(g, minus)) std::abort();
  }
  return 0;
}
