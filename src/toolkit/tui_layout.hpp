// Geometry of the full-screen master window: which rectangle of the terminal each widget
// takes, as a pure function of the terminal size and the window variant.
#pragma once

namespace dorvex {

struct Rect {
  int top = 0, left = 0, height = 0, width = 0;
  bool empty() const { return height <= 0 || width <= 0; }
};

// The status fields take a fixed block in the hardware variant.
constexpr int kStatusWidth = 42;
constexpr int kStatusHeight = 9;

struct TuiLayout {
  bool too_small = false;  // nothing but a notice fits; every rectangle below is empty
  int min_rows = 0, min_cols = 0;
  Rect header;     // first row: window name, halt key at its right end (hardware)
  Rect halt_key;   // hardware variant only
  Rect title;      // virtual variant: the title text field
  Rect matfile;    // virtual variant: "Mat file:" and the matrix-file name
  Rect status;     // hardware variant: the status fields
  Rect plot;       // hardware variant: the scan-plot frame
  Rect rule;       // horizontal rule above the console (scroll-back notice goes here)
  Rect console;    // the scrolling console
  Rect command;    // the command field with its prompt
  Rect hints;      // last row: key help, or the candidates of a Tab completion
};

// Smallest terminals that hold each variant.
constexpr int kHardwareMinRows = 20, kHardwareMinCols = 80;
constexpr int kVirtualMinRows = 10, kVirtualMinCols = 40;

TuiLayout compute_layout(int rows, int cols, bool hardware);

}  // namespace dorvex
