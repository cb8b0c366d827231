// Rasterisation of the scan plot. A scan point at position x and count y lies at
// ((x - x(1)) * x_scale, y * y_scale) in frame units, frame units map linearly onto the dots
// of the canvas, and dots are packed into braille cells (or one '*' a cell in ASCII).
#include "toolkit/tui_plot.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "common/fields.hpp"

namespace dorvex {

namespace {

// Dot grid with the ink of each dot.
class DotGrid {
 public:
  DotGrid(int width, int height)
      : width_(width), height_(height),
        ink_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), PlotInk::none) {}

  void set(int x, int y, PlotInk ink) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    auto& dot = ink_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                     static_cast<std::size_t>(x)];
    if (ink > dot) dot = ink;
  }
  PlotInk at(int x, int y) const {
    return ink_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                static_cast<std::size_t>(x)];
  }

  // Straight line between two dots (Bresenham).
  void line(int x0, int y0, int x1, int y1, PlotInk ink) {
    const int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
    const int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    for (int guard = 0; guard < 100000; ++guard) {
      set(x0, y0, ink);
      if (x0 == x1 && y0 == y1) break;
      const int e2 = 2 * err;
      if (e2 >= dy) {
        err += dy;
        x0 += sx;
      }
      if (e2 <= dx) {
        err += dx;
        y0 += sy;
      }
    }
  }

 private:
  int width_, height_;
  std::vector<PlotInk> ink_;
};

// Frame units to dots. Dot rows count from the top; frame y from the bottom.
struct Mapping {
  double frame_w, frame_h;
  int dots_x, dots_y;

  // Dot column of frame x, or nothing when it lies outside the frame.
  bool column(double fx, int& out) const {
    const double slack = 1e-4 * frame_w;
    if (!(fx >= -slack && fx <= frame_w + slack)) return false;
    out = std::clamp(static_cast<int>(std::floor(fx / frame_w * dots_x)), 0, dots_x - 1);
    return true;
  }
  bool row(double fy, int& out) const {
    const double slack = 1e-4 * frame_h;
    if (!(fy >= -slack && fy <= frame_h + slack)) return false;
    const int up = std::clamp(static_cast<int>(std::floor(fy / frame_h * dots_y)), 0, dots_y - 1);
    out = dots_y - 1 - up;
    return true;
  }
  // Unclipped versions for line segments, which are clipped dot by dot.
  int column_free(double fx) const {
    return static_cast<int>(std::floor(std::clamp(fx / frame_w, -4.0, 5.0) * dots_x));
  }
  int row_free(double fy) const {
    return dots_y - 1 - static_cast<int>(std::floor(std::clamp(fy / frame_h, -4.0, 5.0) * dots_y));
  }
};

std::string braille(unsigned bits) {
  // U+2800 + bits, in UTF-8.
  std::string out;
  out += static_cast<char>(0xE2);
  out += static_cast<char>(0xA0 | (bits >> 6));
  out += static_cast<char>(0x80 | (bits & 0x3F));
  return out;
}

// Bit of the braille dot at column dx (0, 1) and row dy (0..3) of a cell.
unsigned braille_bit(int dx, int dy) {
  static constexpr unsigned bits[2][4] = {{0x01, 0x02, 0x04, 0x40}, {0x08, 0x10, 0x20, 0x80}};
  return bits[dx][dy];
}

void put_text(PlotGrid& grid, int row, int col, std::string_view text, PlotInk ink) {
  if (row < 0 || row >= static_cast<int>(grid.size())) return;
  auto& line = grid[static_cast<std::size_t>(row)];
  for (std::size_t i = 0; i < text.size(); ++i) {
    const int c = col + static_cast<int>(i);
    if (c < 0 || c >= static_cast<int>(line.size())) continue;
    line[static_cast<std::size_t>(c)] = PlotCell{std::string(1, text[i]), ink};
  }
}

void put_glyph(PlotGrid& grid, int row, int col, std::string glyph, PlotInk ink) {
  if (row < 0 || row >= static_cast<int>(grid.size())) return;
  auto& line = grid[static_cast<std::size_t>(row)];
  if (col < 0 || col >= static_cast<int>(line.size())) return;
  line[static_cast<std::size_t>(col)] = PlotCell{std::move(glyph), ink};
}

}  // namespace

PlotCanvas plot_canvas(int rows, int cols, PlotGlyphs glyphs) {
  PlotCanvas canvas;
  if (rows < kPlotMinRows || cols < kPlotMinCols) return canvas;
  canvas.top = 1;
  canvas.left = 1;
  canvas.rows = rows - 3;
  canvas.cols = cols - 1;
  const bool dots = glyphs == PlotGlyphs::braille;
  canvas.dots_x = canvas.cols * (dots ? 2 : 1);
  canvas.dots_y = canvas.rows * (dots ? 4 : 1);
  return canvas;
}

void plot_frame_for(int rows, int cols, PlotGlyphs glyphs, float& width, float& height) {
  const PlotCanvas canvas = plot_canvas(rows, cols, glyphs);
  if (canvas.usable()) {
    width = static_cast<float>(canvas.dots_x);
    height = static_cast<float>(canvas.dots_y);
  } else {
    // No frame on screen: a nominal one, so that the scaling is still well defined.
    width = 600;
    height = 300;
  }
}

PlotGrid rasterise_plot(const PlotModel& model, int rows, int cols, PlotGlyphs glyphs) {
  PlotGrid grid(static_cast<std::size_t>(std::max(rows, 0)),
                std::vector<PlotCell>(static_cast<std::size_t>(std::max(cols, 0))));
  const PlotCanvas canvas = plot_canvas(rows, cols, glyphs);
  if (!canvas.usable() || !model.has_scan) return grid;
  const bool ascii = glyphs == PlotGlyphs::ascii;

  // Axes: vertical at column 0 of the canvas rows, horizontal on the row below the canvas,
  // with marks at 0, 1/4, 1/2, 3/4 and the full width.
  const int axis_row = canvas.top + canvas.rows;
  for (int r = canvas.top; r < axis_row; ++r)
    put_glyph(grid, r, 0, ascii ? "|" : "\u2502", PlotInk::frame);
  put_glyph(grid, axis_row, 0, ascii ? "+" : "\u2514", PlotInk::frame);
  for (int c = 1; c < cols; ++c)
    put_glyph(grid, axis_row, c, ascii ? "-" : "\u2500", PlotInk::frame);
  for (int quarter = 0; quarter <= 4; ++quarter) {
    // The cell in which a point at that fraction of the frame lands.
    const int c = canvas.left + std::min(canvas.cols - 1, quarter * canvas.cols / 4);
    put_glyph(grid, axis_row, c, ascii ? "+" : "\u2534", PlotInk::frame);
  }

  // Labels: x(1) at the left end, x(n) at the right end, "Max:" above the canvas.
  const std::string left(trim(model.scan.left_label));
  const std::string right(trim(model.scan.right_label));
  put_text(grid, axis_row + 1, 0, left, PlotInk::text);
  put_text(grid, axis_row + 1, cols - static_cast<int>(right.size()), right, PlotInk::text);
  const std::string max_text(rtrim(model.scan.max_text));
  put_text(grid, 0, 0, max_text, PlotInk::text);

  const Mapping map{model.frame_width > 0 ? model.frame_width : 1.0,
                    model.frame_height > 0 ? model.frame_height : 1.0, canvas.dots_x,
                    canvas.dots_y};
  DotGrid dots(canvas.dots_x, canvas.dots_y);
  const auto& scan = model.scan;
  const double x_origin = scan.x.empty() ? 0.0 : scan.x.front();

  // Scan points as symbols: a small cross of dots in braille, one '*' a cell in ASCII.
  const std::size_t n = std::min(scan.x.size(), scan.y.size());
  for (std::size_t i = 0; i < n; ++i) {
    int cx = 0, cy = 0;
    if (!map.column((scan.x[i] - x_origin) * scan.x_scale, cx)) continue;
    if (!map.row(static_cast<double>(scan.y[i]) * scan.y_scale, cy)) continue;
    dots.set(cx, cy, PlotInk::points);
    if (!ascii) {
      dots.set(cx - 1, cy, PlotInk::points);
      dots.set(cx + 1, cy, PlotInk::points);
      dots.set(cx, cy - 1, PlotInk::points);
      dots.set(cx, cy + 1, PlotInk::points);
    }
  }

  // Fitted curves, in the scan's scaling.
  for (const auto& [cx_values, cy_values] : model.curves) {
    const std::size_t m = std::min(cx_values.size(), cy_values.size());
    for (std::size_t i = 0; i + 1 < m; ++i) {
      dots.line(map.column_free((cx_values[i] - x_origin) * scan.x_scale),
                map.row_free(static_cast<double>(cy_values[i]) * scan.y_scale),
                map.column_free((cx_values[i + 1] - x_origin) * scan.x_scale),
                map.row_free(static_cast<double>(cy_values[i + 1]) * scan.y_scale),
                PlotInk::curve);
    }
    if (m == 1) {
      int cx = 0, cy = 0;
      if (map.column((cx_values[0] - x_origin) * scan.x_scale, cx) &&
          map.row(static_cast<double>(cy_values[0]) * scan.y_scale, cy))
        dots.set(cx, cy, PlotInk::curve);
    }
  }

  // Markers: a vertical line over the canvas, the value in the top row.
  std::vector<std::pair<int, std::string>> labels;
  for (const auto& marker : model.markers) {
    int cx = 0;
    if (!map.column((marker.x - x_origin) * scan.x_scale, cx)) continue;
    for (int y = 0; y < canvas.dots_y; y += ascii ? 1 : 2) dots.set(cx, y, PlotInk::marker);
    labels.emplace_back(canvas.left + cx / (ascii ? 1 : 2), std::string(trim(marker.label)));
  }

  // Pack the dots into cells.
  const int per_x = ascii ? 1 : 2, per_y = ascii ? 1 : 4;
  for (int r = 0; r < canvas.rows; ++r) {
    for (int c = 0; c < canvas.cols; ++c) {
      unsigned bits = 0;
      PlotInk ink = PlotInk::none;
      for (int dy = 0; dy < per_y; ++dy) {
        for (int dx = 0; dx < per_x; ++dx) {
          const PlotInk dot = dots.at(c * per_x + dx, r * per_y + dy);
          if (dot == PlotInk::none) continue;
          if (!ascii) bits |= braille_bit(dx, dy);
          ink = std::max(ink, dot);
        }
      }
      if (ink == PlotInk::none) continue;
      std::string glyph;
      if (ascii) {
        glyph = ink == PlotInk::points ? "*" : ink == PlotInk::curve ? "." : "|";
      } else {
        glyph = braille(bits);
      }
      put_glyph(grid, canvas.top + r, canvas.left + c, std::move(glyph), ink);
    }
  }

  // Marker values go in the top row right of the "Max:" text, where there is room.
  const int reserved = static_cast<int>(max_text.size()) + 1;
  for (const auto& [col, text] : labels) {
    const int len = static_cast<int>(text.size());
    int start = std::min(col - len / 2, cols - len);
    start = std::max(start, reserved);
    if (start + len <= cols) put_text(grid, 0, start, text, PlotInk::marker);
  }
  return grid;
}

}  // namespace dorvex
