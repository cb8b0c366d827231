// Placement of the master window's widgets. Hardware variant, top to bottom: the header row;
// a band with the status fields at the left and the scan plot beside them; a rule; the
// console; the command field; the key-help row. The virtual variant has the title and
// "Mat file:" rows in place of the band.
#include "toolkit/tui_layout.hpp"

#include <algorithm>

namespace dorvex {

TuiLayout compute_layout(int rows, int cols, bool hardware) {
  TuiLayout out;
  out.min_rows = hardware ? kHardwareMinRows : kVirtualMinRows;
  out.min_cols = hardware ? kHardwareMinCols : kVirtualMinCols;
  if (rows < out.min_rows || cols < out.min_cols) {
    out.too_small = true;
    return out;
  }

  out.header = {0, 0, 1, cols};
  out.command = {rows - 2, 0, 1, cols};
  out.hints = {rows - 1, 0, 1, cols};

  int band_bottom = 1;  // first row below the band
  if (hardware) {
    constexpr int halt_width = 12;
    out.halt_key = {0, cols - halt_width, 1, halt_width};
    // A third of the rows beyond the fixed ones goes to the band, so taller terminals get a
    // taller plot; the status block needs kStatusHeight rows.
    const int band = std::clamp((rows - 4) / 3, kStatusHeight, 20);
    out.status = {1, 0, kStatusHeight, kStatusWidth};
    out.plot = {1, kStatusWidth + 1, band, cols - kStatusWidth - 1};
    band_bottom = 1 + band;
  } else {
    out.title = {1, 0, 1, cols};
    out.matfile = {2, 0, 1, cols};
    band_bottom = 3;
  }
  out.rule = {band_bottom, 0, 1, cols};
  out.console = {band_bottom + 1, 0, out.command.top - band_bottom - 1, cols};
  return out;
}

}  // namespace dorvex
