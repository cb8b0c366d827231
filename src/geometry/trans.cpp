#include "geometry/trans.hpp"

#include <algorithm>
#include <cmath>

#include "geometry/cell.hpp"         // OMTOB
#include "geometry/matrix.hpp"       // MINV3
#include "geometry/refine_math.hpp"

namespace dorvex {

bool transformed_cell(const Mat3& T, const Mat3& UB, std::array<double, 6>& cell) {
  const refine::M3 gstar = refine::gstar_of(refine::widen(UB));
  const double det = refine::det3(gstar);
  if (!(det > 0)) return false;
  const refine::M3 t = refine::widen(T);
  const refine::M3 g =
      refine::mul(refine::mul(t, refine::inverse3(gstar, det)), refine::transposed(t));
  if (!(g[0][0] > 0 && g[1][1] > 0 && g[2][2] > 0)) return false;
  const double a = std::sqrt(g[0][0]), b = std::sqrt(g[1][1]), c = std::sqrt(g[2][2]);
  auto angle = [](double cosine) {
    return std::acos(std::clamp(cosine, -1.0, 1.0)) * refine::kDegree;
  };
  cell = {a, b, c, angle(g[1][2] / (b * c)), angle(g[0][2] / (a * c)), angle(g[0][1] / (a * b))};
  return true;
}

bool TRANS(const Mat3& T, CrystalState& crystal, ReflectionList& list) {
  float det = 0;
  int ierr = 0;
  const Mat3 tinv = MINV3(T, det, ierr);
  if (ierr != 0 || det == 0.0f) return false;
  const Mat3 old_ub = crystal.UB;
  crystal.UB = refine::narrow(refine::mul(refine::widen(old_ub), refine::widen(tinv)));
  if (!OMTOB(crystal, false)) {
    crystal.UB = old_ub;
    return false;
  }
  const refine::M3 t = refine::widen(T);
  const int count = std::min(list.count, kListSize);
  for (int n = 0; n < count; ++n) {
    ReflectionEntry& e = list.entry[static_cast<std::size_t>(n)];
    const refine::V3 h = refine::mul(t, refine::V3{e.h, e.k, e.l});
    e.h = static_cast<float>(h[0]);
    e.k = static_cast<float>(h[1]);
    e.l = static_cast<float>(h[2]);
  }
  return true;
}

}  // namespace dorvex
