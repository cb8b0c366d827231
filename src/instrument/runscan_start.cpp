#include "instrument/runscan_start.hpp"

#include <string>

#include "geometry/limits.hpp"
#include "instrument/motion.hpp"
#include "console/dialogue.hpp"
#include "console/output.hpp"

namespace dorvex {

ScanStep SCAN_STEP(int mode, float step) {
  ScanStep s;
  const bool reads_circle = S().profile.omega_coupled();
  if (mode == 1 || mode == 5) {
    s.logical[0] = s.motor[0] = step;
    s.motor[1] = reads_circle ? step / 2.0f : 0.0f;
  } else if (mode == kScanTwoThetaAlone) {
    s.logical[0] = s.motor[0] = step;
    s.logical[1] = -step / 2.0f;
    s.motor[1] = reads_circle ? 0.0f : -step / 2.0f;
  } else if (mode >= 2 && mode <= 4) {
    s.logical[static_cast<std::size_t>(mode - 1)] = s.motor[static_cast<std::size_t>(mode - 1)] =
        step;
  }
  return s;
}

bool RUNSCAN_START(int& mode, float step, int steps, int at_start, std::array<int, 200>& counts,
                   int& status, ScanStart& scan) {
  counts.fill(0);
  status = 1;
  if (steps > 200) {
    WARNING("*** Error calling runscan: " + std::to_string(steps) + " steps requested");
    WRITE_OUT("Max allowed:   200");
    return false;
  }
  if (steps < 1 || mode < 1 || mode > kScanTwoThetaAlone) return false;
  ONBEAM();
  if (failed()) return false;
  RDALLMTR(scan.present);
  if (failed()) return false;
  if (mode == 5) mode = 1;
  scan.scanned = (mode == 1 || mode == kScanTwoThetaAlone) ? 1 : mode;
  scan.ax = static_cast<std::size_t>(scan.scanned - 1);
  // The start lies (steps + 1)/2 steps back along the scan: a theta/2theta start keeps logical
  // omega (driving 2theta takes the crystal along at half the angle on both kinds of machine),
  // a 2theta-alone start keeps the crystal where it is.
  const ScanStep per_step = SCAN_STEP(mode, step);
  const float back = static_cast<float>(steps + 1) / 2.0f;
  scan.start = scan.present[scan.ax];
  if (at_start == 0) {
    AngleSet first = scan.present;
    for (std::size_t i = 0; i < 4; ++i) first[i] -= back * per_step.logical[i];
    // A start outside the limits is refused like an end outside them: a scan from wherever
    // the axis happens to be would not be centred on what was asked for.
    int drive_status = 0;
    if (mode == kScanTwoThetaAlone) {
      if (SOFTLIMITS(S().profile, S().device, first, 0) != 0) return false;
      S().motion.target = first;
      DRIVEP(1, drive_status);
    } else {
      DRIVE(scan.scanned, first[scan.ax], 0.0f, 0, drive_status);
    }
    if (failed() || drive_status == 1) return false;
    RDALLMTR(scan.present);
    if (failed()) return false;
    scan.start = scan.present[scan.ax];
  }
  AngleSet end = scan.present;
  for (std::size_t i = 0; i < 4; ++i) end[i] += static_cast<float>(steps) * per_step.logical[i];
  end[scan.ax] = scan.start + static_cast<float>(steps) * step;
  const int limit_status = SOFTLIMITS(S().profile, S().device, end, 0);
  if (limit_status != 0) {
    status = limit_status;
    return false;
  }
  return true;
}

}  // namespace dorvex
