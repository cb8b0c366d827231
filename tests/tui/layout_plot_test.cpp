// Layout of the master window and rasterisation of the scan plot.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "toolkit/tui_layout.hpp"
#include "toolkit/tui_plot.hpp"

namespace dorvex {
namespace {

bool overlap(const Rect& a, const Rect& b) {
  if (a.empty() || b.empty()) return false;
  return a.top < b.top + b.height && b.top < a.top + a.height && a.left < b.left + b.width &&
         b.left < a.left + a.width;
}

std::vector<Rect> widgets(const TuiLayout& l) {
  // The halt key sits inside the header row on purpose; it is checked apart.
  return {l.header, l.title, l.matfile, l.status, l.plot, l.rule, l.console, l.command, l.hints};
}

TEST(TuiLayout, EveryWidgetFitsAndNoneOverlapAtAnySize) {
  for (const bool hardware : {true, false}) {
    for (int rows = 1; rows <= 70; ++rows) {
      for (int cols = 1; cols <= 220; cols += 3) {
        const TuiLayout l = compute_layout(rows, cols, hardware);
        const bool fits = rows >= l.min_rows && cols >= l.min_cols;
        ASSERT_EQ(l.too_small, !fits) << rows << "x" << cols;
        if (l.too_small) {
          for (const Rect& r : widgets(l)) EXPECT_TRUE(r.empty());
          continue;
        }
        const auto all = widgets(l);
        for (std::size_t i = 0; i < all.size(); ++i) {
          const Rect& r = all[i];
          EXPECT_GE(r.top, 0);
          EXPECT_GE(r.left, 0);
          EXPECT_LE(r.top + r.height, rows) << "widget " << i << " at " << rows << "x" << cols;
          EXPECT_LE(r.left + r.width, cols) << "widget " << i << " at " << rows << "x" << cols;
          for (std::size_t j = i + 1; j < all.size(); ++j)
            EXPECT_FALSE(overlap(r, all[j])) << i << " and " << j << " at " << rows << "x" << cols;
        }
        EXPECT_GE(l.console.height, 4);
        EXPECT_EQ(l.command.width, cols);
        EXPECT_EQ(l.command.top, rows - 2);
        if (hardware) {
          EXPECT_EQ(l.status.height, kStatusHeight);
          EXPECT_EQ(l.status.width, kStatusWidth);
          EXPECT_GE(l.plot.height, kPlotMinRows);
          EXPECT_GE(l.plot.width, kPlotMinCols);
          EXPECT_EQ(l.halt_key.top, 0);
          EXPECT_EQ(l.halt_key.left + l.halt_key.width, cols);
          EXPECT_TRUE(l.title.empty());
        } else {
          EXPECT_TRUE(l.status.empty());
          EXPECT_TRUE(l.plot.empty());
          EXPECT_TRUE(l.halt_key.empty());
          EXPECT_FALSE(l.title.empty());
          EXPECT_FALSE(l.matfile.empty());
        }
      }
    }
  }
}

TEST(TuiLayout, KnownSizesAndTheirLimits) {
  const TuiLayout wide = compute_layout(40, 120, true);
  EXPECT_FALSE(wide.too_small);
  EXPECT_EQ(wide.plot.height, 12);  // a third of the spare rows
  EXPECT_EQ(wide.plot.width, 120 - kStatusWidth - 1);
  EXPECT_EQ(wide.console.top, 14);
  EXPECT_EQ(wide.console.height, 24);

  EXPECT_FALSE(compute_layout(kHardwareMinRows, kHardwareMinCols, true).too_small);
  EXPECT_TRUE(compute_layout(kHardwareMinRows - 1, kHardwareMinCols, true).too_small);
  EXPECT_TRUE(compute_layout(kHardwareMinRows, kHardwareMinCols - 1, true).too_small);
  // The virtual window has no band, so it fits where the hardware one does not.
  EXPECT_FALSE(compute_layout(15, 60, false).too_small);
  EXPECT_TRUE(compute_layout(15, 60, true).too_small);
  EXPECT_TRUE(compute_layout(kVirtualMinRows - 1, 100, false).too_small);
  // The plot stops growing: a tall terminal gives its rows to the console.
  EXPECT_EQ(compute_layout(200, 120, true).plot.height, 20);
}

// ------------------------------------------------------------------------------------------
// The scaling as the plot routine computes it, worked out here on its own: largest count (at
// least 10) at 0.95 of the height, the span across the width, or width * 100 for a span of at
// most 0.01.
ScanPlot scaled(const std::vector<float>& x, const std::vector<float>& y, float width,
                float height) {
  ScanPlot p;
  p.x = x;
  p.y = y;
  float largest = 0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (y[i] > largest) {
      largest = y[i];
      p.max_index = static_cast<int>(i);
    }
  }
  p.y_max = std::max(largest, 10.0f);
  const double span = static_cast<double>(x.back()) - x.front();
  p.x_scale = span <= 0.01 ? width * 100.0f : static_cast<float>(width / span);
  p.y_scale = 0.95f * height / p.y_max;
  p.left_label = "  10.000";
  p.right_label = "  14.000";
  p.max_text = "Max:     100 at   12.000";
  return p;
}

PlotModel model_for(const ScanPlot& scan, float width, float height) {
  PlotModel m;
  m.has_scan = true;
  m.scan = scan;
  m.frame_width = width;
  m.frame_height = height;
  return m;
}

std::set<std::pair<int, int>> cells_with(const PlotGrid& grid, PlotInk ink) {
  std::set<std::pair<int, int>> out;
  for (std::size_t r = 0; r < grid.size(); ++r)
    for (std::size_t c = 0; c < grid[r].size(); ++c)
      if (grid[r][c].ink == ink) out.insert({static_cast<int>(r), static_cast<int>(c)});
  return out;
}

std::string row_text(const PlotGrid& grid, int row) {
  std::string out;
  for (const auto& cell : grid[static_cast<std::size_t>(row)]) out += cell.glyph;
  return out;
}

// Dots of one braille cell: bit pattern back to (dx, dy).
std::set<std::pair<int, int>> braille_dots(const std::string& glyph) {
  std::set<std::pair<int, int>> out;
  if (glyph.size() != 3 || static_cast<unsigned char>(glyph[0]) != 0xE2) return out;
  const unsigned bits = ((static_cast<unsigned char>(glyph[1]) & 0x3u) << 6) |
                        (static_cast<unsigned char>(glyph[2]) & 0x3Fu);
  const int where[8][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}, {0, 3}, {1, 3}};
  for (int b = 0; b < 8; ++b)
    if (bits & (1u << b)) out.insert({where[b][0], where[b][1]});
  return out;
}

// Grid of 15 x 41 cells: canvas rows 1..12 and columns 1..40, axis on row 13, labels on 14.
constexpr int kRows = 15, kCols = 41;

TEST(TuiPlot, PointsLandWhereTheScalingPutsThemAndTheAxisMarksAgree) {
  float w = 0, h = 0;
  plot_frame_for(kRows, kCols, PlotGlyphs::ascii, w, h);
  ASSERT_EQ(w, 40);
  ASSERT_EQ(h, 12);
  const std::vector<float> x = {10, 11, 12, 13, 14}, y = {0, 50, 100, 50, 0};
  const PlotGrid grid = rasterise_plot(model_for(scaled(x, y, w, h), w, h), kRows, kCols,
                                       PlotGlyphs::ascii);
  std::set<std::pair<int, int>> expected;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const int up = static_cast<int>(std::floor(y[i] * 0.95 * 12 / 100));
    const int across = std::min(39, static_cast<int>(std::floor((x[i] - 10) * 10)));
    expected.insert({1 + 11 - up, 1 + across});
  }
  EXPECT_EQ(cells_with(grid, PlotInk::points), expected);
  EXPECT_EQ(grid[1][21].glyph, "*");  // the peak in the top row of the canvas

  // Axis marks at 0, 1/4, 1/2, 3/4 and the full width: under the points of those positions.
  const std::string axis = row_text(grid, 13);
  std::vector<int> marks;
  for (int c = 1; c < kCols; ++c)
    if (axis[static_cast<std::size_t>(c)] == '+') marks.push_back(c);
  EXPECT_EQ(marks, (std::vector<int>{1, 11, 21, 31, 40}));
  for (int r = 1; r <= 12; ++r) EXPECT_EQ(grid[static_cast<std::size_t>(r)][0].glyph, "|");

  // Labels: x(1) at the left end, x(n) at the right end, the maximum above.
  const std::string labels = row_text(grid, 14);
  EXPECT_EQ(labels.substr(0, 6), "10.000");
  EXPECT_EQ(labels.substr(kCols - 6), "14.000");
  EXPECT_EQ(row_text(grid, 0).substr(0, 24), "Max:     100 at   12.000");
}

TEST(TuiPlot, CountsBelowTenArePlottedAgainstTen) {
  float w = 0, h = 0;
  plot_frame_for(kRows, kCols, PlotGlyphs::ascii, w, h);
  const ScanPlot scan = scaled({1, 2, 3}, {2, 5, 3}, w, h);
  ASSERT_FLOAT_EQ(scan.y_max, 10);
  const PlotGrid grid = rasterise_plot(model_for(scan, w, h), kRows, kCols, PlotGlyphs::ascii);
  // 5 of 10 counts: floor(5 * 0.95 * 12 / 10) = 5 dots up, so row 1 + 11 - 5; against its own
  // largest count the point would be in the top row.
  const auto points = cells_with(grid, PlotInk::points);
  EXPECT_TRUE(points.count({7, 21})) << "peak not at half of 95% of the height";
  for (const auto& [row, col] : points) EXPECT_GT(row, 1) << col;
}

TEST(TuiPlot, OnePointAndTinySpansUseTheFixedHorizontalScale) {
  float w = 0, h = 0;
  plot_frame_for(kRows, kCols, PlotGlyphs::ascii, w, h);
  ScanPlot one = scaled({7.5f}, {40}, w, h);
  ASSERT_FLOAT_EQ(one.x_scale, w * 100);
  one.left_label = one.right_label = "   7.500";
  const PlotGrid grid = rasterise_plot(model_for(one, w, h), kRows, kCols, PlotGlyphs::ascii);
  EXPECT_EQ(cells_with(grid, PlotInk::points),
            (std::set<std::pair<int, int>>{{1 + 11 - static_cast<int>(40 * 0.95 * 12 / 40), 1}}));
  const std::string labels = row_text(grid, 14);
  EXPECT_EQ(labels.substr(0, 5), "7.500");
  EXPECT_EQ(labels.substr(kCols - 5), "7.500");

  // A span of 1/128 (exact in floating point) at width * 100 reaches 31.25 of 40 units.
  const ScanPlot tiny = scaled({2.0f, 2.0078125f}, {30, 30}, w, h);
  const PlotGrid g2 = rasterise_plot(model_for(tiny, w, h), kRows, kCols, PlotGlyphs::ascii);
  std::set<int> columns;
  for (const auto& cell : cells_with(g2, PlotInk::points)) columns.insert(cell.second);
  EXPECT_EQ(columns, (std::set<int>{1, 1 + 31}));
}

TEST(TuiPlot, BrailleCellsCarryTheDotsOfEachSymbol) {
  float w = 0, h = 0;
  plot_frame_for(kRows, kCols, PlotGlyphs::braille, w, h);
  ASSERT_EQ(w, 80);
  ASSERT_EQ(h, 48);
  // One point in the middle of a three-point scan, at dot (40, 47 - floor(0.95 * 48 / 2)).
  const ScanPlot scan = scaled({0, 1, 2}, {-1, 50, -1}, w, h);
  const PlotGrid grid = rasterise_plot(model_for(scan, w, h), kRows, kCols, PlotGlyphs::braille);
  std::set<std::pair<int, int>> dots;
  for (std::size_t r = 1; r <= 12; ++r)
    for (std::size_t c = 1; c < kCols; ++c)
      if (grid[r][c].ink == PlotInk::points)
        for (const auto& [dx, dy] : braille_dots(grid[r][c].glyph))
          dots.insert({static_cast<int>(c - 1) * 2 + dx, static_cast<int>(r - 1) * 4 + dy});
  const int cx = 40, cy = 47 - static_cast<int>(std::floor(0.95 * 48));
  // Negative counts lie below the frame and are not drawn: only the cross of the middle point.
  EXPECT_EQ(dots, (std::set<std::pair<int, int>>{
                      {cx, cy}, {cx - 1, cy}, {cx + 1, cy}, {cx, cy - 1}, {cx, cy + 1}}));
}

TEST(TuiPlot, CurvesAndMarkersFollowTheScanScaling) {
  float w = 0, h = 0;
  plot_frame_for(kRows, kCols, PlotGlyphs::ascii, w, h);
  PlotModel m = model_for(scaled({10, 14}, {0, 100}, w, h), w, h);
  m.curves.push_back({{10, 14}, {0, 100}});
  m.markers.push_back({12, "  12.0000"});
  const PlotGrid grid = rasterise_plot(m, kRows, kCols, PlotGlyphs::ascii);
  // The line is unbroken: every canvas column holds some of it.
  std::set<int> columns;
  for (const auto& cell : cells_with(grid, PlotInk::curve)) columns.insert(cell.second);
  for (int c = 2; c < kCols - 1; ++c) EXPECT_TRUE(columns.count(c)) << c;
  // The marker runs down the middle and its value is printed in the top row.
  int marker_rows = 0;
  for (int r = 1; r <= 12; ++r)
    if (grid[static_cast<std::size_t>(r)][21].ink == PlotInk::marker) ++marker_rows;
  EXPECT_GE(marker_rows, 10);  // the curve crosses it
  // Points stay visible where the curve passes through them.
  EXPECT_EQ(grid[12][1].ink, PlotInk::points);
  EXPECT_EQ(grid[1][40].ink, PlotInk::points);
  EXPECT_NE(row_text(grid, 0).find("12.0000"), std::string::npos);
}

TEST(TuiPlot, KeepsItsProportionsWhenTheFrameGrows) {
  // Scaled for a 40 x 12 frame, drawn into twice as many columns: positions scale with it.
  const ScanPlot scan = scaled({0, 1, 2, 3, 4}, {10, 10, 10, 10, 10}, 40, 12);
  const PlotGrid grid = rasterise_plot(model_for(scan, 40, 12), kRows, 81, PlotGlyphs::ascii);
  std::set<int> columns;
  for (const auto& cell : cells_with(grid, PlotInk::points)) columns.insert(cell.second);
  EXPECT_EQ(columns, (std::set<int>{1, 21, 41, 61, 80}));
}

TEST(TuiPlot, NothingIsDrawnWithoutAScanOrRoom) {
  const ScanPlot scan = scaled({0, 1}, {5, 20}, 40, 12);
  for (const auto& grid : {rasterise_plot(PlotModel{}, kRows, kCols, PlotGlyphs::braille),
                           rasterise_plot(model_for(scan, 40, 12), kPlotMinRows - 1, kCols,
                                          PlotGlyphs::braille),
                           rasterise_plot(model_for(scan, 40, 12), kRows, kPlotMinCols - 1,
                                          PlotGlyphs::braille)}) {
    for (const auto& row : grid)
      for (const auto& cell : row) EXPECT_EQ(cell.ink, PlotInk::none);
  }
  // Without a frame on screen the reported size is still usable for the scaling.
  float w = 0, h = 0;
  plot_frame_for(0, 0, PlotGlyphs::braille, w, h);
  EXPECT_GT(w, 0);
  EXPECT_GT(h, 0);
}

}  // namespace
}  // namespace dorvex
