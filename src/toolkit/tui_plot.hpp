// The scan plot drawn in character cells: a pure function from the plot's contents and a
// cell grid to the characters of each cell, so that the scaling can be checked without a
// terminal.
#pragma once

#include <string>
#include <vector>

#include "toolkit/toolkit.hpp"

namespace dorvex {

// What a cell shows, so the window can colour it. Later kinds win where they share a cell:
// the measured points stay visible under a fitted curve and a marker line.
enum class PlotInk { none, frame, text, marker, curve, points };

struct PlotCell {
  std::string glyph = " ";  // one character cell, UTF-8 in braille mode
  PlotInk ink = PlotInk::none;
};

using PlotGrid = std::vector<std::vector<PlotCell>>;  // [row][column]

// Braille gives 2 x 4 dots a cell; plain ASCII one dot a cell (for terminals without UTF-8).
enum class PlotGlyphs { braille, ascii };

struct PlotMarker {
  float x = 0;        // scan position
  std::string label;  // its value as printed (F9.4)
};

// Everything the frame shows. The scan carries its scaling in frame units; frame_width and
// frame_height are the frame size it was scaled for (what plot_frame_size reported then), so
// the picture keeps its proportions when the terminal is resized.
struct PlotModel {
  bool has_scan = false;
  ScanPlot scan;
  float frame_width = 0, frame_height = 0;
  std::vector<std::pair<std::vector<float>, std::vector<float>>> curves;
  std::vector<PlotMarker> markers;
};

// The drawing area inside a plot rectangle of rows x cols cells: the cells between the
// vertical axis (column 0), the "Max:" row (row 0) and the axis and label rows (the last two).
struct PlotCanvas {
  int top = 0, left = 0, rows = 0, cols = 0;
  int dots_x = 0, dots_y = 0;  // resolution in dots
  bool usable() const { return rows > 0 && cols > 0; }
};
constexpr int kPlotMinRows = 5, kPlotMinCols = 20;
PlotCanvas plot_canvas(int rows, int cols, PlotGlyphs glyphs);

// The frame size the toolkit reports for a plot rectangle: its resolution in dots, so that
// PLOTSCAN's scaling lands one frame unit on one dot.
void plot_frame_for(int rows, int cols, PlotGlyphs glyphs, float& width, float& height);

PlotGrid rasterise_plot(const PlotModel& model, int rows, int cols, PlotGlyphs glyphs);

}  // namespace dorvex
