#include "geometry/lsq.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "common/fields.hpp"
#include "geometry/matfile.hpp"
#include "geometry/cell.hpp"    // OMTOB
#include "geometry/matrix.hpp"  // MINV8
#include "geometry/display.hpp"    // DISPLAY_UB, DISPLAY_CELL_ESD
#include "console/output.hpp"

namespace dorvex {

using refine::M3;
using refine::V3;

std::vector<UsedReflection> collect_used(const ReflectionList& list, const Geometry& g) {
  std::vector<UsedReflection> used;
  const int count = std::min(list.count, kListSize);
  for (int n = 0; n < count; ++n) {
    const ReflectionEntry& e = list.entry[static_cast<std::size_t>(n)];
    if (e.use == 0) continue;
    UsedReflection r;
    r.number = n + 1;
    r.angles = e.angles;
    r.h = {static_cast<int>(NINT(e.h)), static_cast<int>(NINT(e.k)), static_cast<int>(NINT(e.l))};
    AngleSet a = e.angles;
    const Vec3 x = CALCH(g, a);
    r.x = {x[0], x[1], x[2]};
    used.push_back(r);
  }
  return used;
}

int LSQ(CrystalState& crystal, const ReflectionList& list, const MachineProfile& profile,
        const DeviceSettings& device, bool quiet) {
  const Geometry g{crystal, profile, device};
  const std::vector<UsedReflection> used = collect_used(list, g);
  const int m = static_cast<int>(used.size());
  if (m < 3) {
    WRITE_OUT(" Only " + I(m, 3) + " Reflection(s) with USE Flag Set, 3 are Needed for LSQ");
    return 1;
  }

  // Normal sums XH = sum x h^T and HH = sum h h^T.
  M3 xh{}, hh{};
  for (const UsedReflection& r : used)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        xh[i][j] += r.x[i] * r.h[j];
        hh[i][j] += static_cast<double>(r.h[i]) * r.h[j];
      }

  std::array<double, 9> work{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) work[static_cast<std::size_t>(i + 3 * j)] = hh[i][j];
  double det = 0;
  int ierr = 0;
  MINV8(work.data(), 3, 3, det, ierr);
  if (ierr != 0) {
    WRITE_OUT("The usual cause is that your reflections are all co-planar");
    return 1;
  }
  if (std::fabs(det) <= 0.0001) {
    WRITE_OUT("Singular Matrix: LSQ terminated");
    return 1;
  }
  M3 hinv{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) hinv[i][j] = work[static_cast<std::size_t>(i + 3 * j)];

  const Mat3 old_ub = crystal.UB;
  crystal.UB = refine::narrow(refine::mul(xh, hinv));
  const M3 ub = refine::widen(crystal.UB);
  const double lambda = crystal.lambda1;

  // Table of deltas; the residual sums per Cartesian component are needed even when quiet.
  if (!quiet) {
    WRITE_OUT("");
    WRITE_OUT("   N  H  K  L    TTHO    TTHC         Vector Deltas");
  }
  V3 sdelta{};
  for (const UsedReflection& r : used) {
    const V3 hc = refine::mul(ub, V3{double(r.h[0]), double(r.h[1]), double(r.h[2])});
    V3 delta{};
    for (int i = 0; i < 3; ++i) {
      delta[i] = r.x[i] - hc[i];
      sdelta[i] += delta[i] * delta[i];
    }
    if (quiet) continue;
    const double s = std::min(1.0, refine::norm3(hc) * lambda / 2);
    const double tthc = 2 * std::asin(s) * refine::kDegree;
    // Columns: 1X, list number I3, h k l 3I3, 2theta observed and calculated 2F8.2, 2X, 3F9.5.
    WRITE_OUT(" " + I(r.number, 3) + I(r.h[0], 3) + I(r.h[1], 3) + I(r.h[2], 3) +
              F(r.angles[0], 8, 2) + F(tthc, 8, 2) + "  " + F(delta[0], 9, 5) +
              F(delta[1], 9, 5) + F(delta[2], 9, 5));
  }
  if (!quiet) {
    WRITE_OUT("");
    WRITE_OUT("     " + I(m, 3) + " Reflections used ");
    DISPLAY_UB();
  }

  if (!OMTOB(crystal, quiet)) {
    // A refined matrix without a cell (UB^T UB not positive) must not replace a good one.
    crystal.UB = old_ub;
    return 1;
  }

  crystal.cell_esd = {};
  crystal.volume_esd = 0;
  if (m < 4) return 0;

  // Standard deviations of the UB elements, propagated numerically to the cell: each element
  // in turn is moved by its deviation and the squared changes of the cell are summed.
  M3 sd{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      sd[i][j] = std::sqrt(std::max(0.0, sdelta[i] * hinv[j][j] / (m - 3)));
  refine::CellAndVolume base;
  if (!refine::cell_from_gstar(refine::gstar_of(ub), base)) return 0;
  std::array<double, 7> acc{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      M3 moved = ub;
      moved[i][j] += sd[i][j];
      refine::CellAndVolume c;
      if (!refine::cell_from_gstar(refine::gstar_of(moved), c)) continue;
      for (int p = 0; p < 6; ++p) acc[p] += (c.cell[p] - base.cell[p]) * (c.cell[p] - base.cell[p]);
      acc[6] += (c.volume - base.volume) * (c.volume - base.volume);
    }
  for (int p = 0; p < 6; ++p) crystal.cell_esd[p] = static_cast<float>(std::sqrt(acc[p]));
  crystal.volume_esd = static_cast<float>(std::sqrt(acc[6]));
  if (!quiet) DISPLAY_CELL_ESD();
  return 0;
}

int LSQ(bool quiet) {
  ProgramState& s = S();
  const int status = LSQ(s.crystal, s.list, s.profile, s.device, quiet);
  if (status == 0)
    WRITE_MATFILE();
  else
    s.shell.error_flag = 1;
  return status;
}

}  // namespace dorvex
