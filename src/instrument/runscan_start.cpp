#include "instrument/runscan_start.hpp"

#include <string>

#include "geometry/limits.hpp"
#include "instrument/motion.hpp"
#include "console/dialogue.hpp"
#include "console/output.hpp"

namespace dorvex {

bool RUNSCAN_START(int& mode, float step, int steps, int at_start, std::array<int, 200>& counts,
                   int& status, ScanStart& scan) {
  counts.fill(0);
  status = 1;
  if (steps > 200) {
    WARNING("*** Error calling runscan: " + std::to_string(steps) + " steps requested");
    WRITE_OUT("Max allowed:   200");
    return false;
  }
  if (steps < 1 || mode < 1 || mode > 5) return false;
  ONBEAM();
  if (failed()) return false;
  RDALLMTR(scan.present);
  if (failed()) return false;
  scan.scanned = (mode == 1 || mode == 5) ? 1 : mode;
  scan.ax = static_cast<std::size_t>(scan.scanned - 1);
  const float half_width = static_cast<float>(steps + 1) * step / 2.0f;
  scan.start = scan.present[scan.ax];
  if (at_start == 0) {
    int drive_status = 0;
    // A start outside the limits is refused like an end outside them: a scan from wherever
    // the axis happens to be would not be centred on what was asked for.
    DRIVE(scan.scanned, scan.present[scan.ax] - half_width, 0.0f, 0, drive_status);
    if (failed() || drive_status == 1) return false;
    if (mode == 5) {
      DRIVE(2, scan.present[1] - half_width / 2.0f, 0.0f, 0, drive_status);
      if (failed() || drive_status == 1) return false;
    }
    RDALLMTR(scan.present);
    if (failed()) return false;
    scan.start = scan.present[scan.ax];
  }
  if (mode == 5) mode = 1;
  AngleSet end = scan.present;
  end[scan.ax] = scan.start + static_cast<float>(steps) * step;
  const int limit_status = SOFTLIMITS(S().profile, S().device, end, 0);
  if (limit_status != 0) {
    status = limit_status;
    return false;
  }
  return true;
}

}  // namespace dorvex
