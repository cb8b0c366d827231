// SET DATA: the data-collection parameters edited as a console form, one question per control,
// run through the SET continuation so that it works alike in every console.
//
// The form opens with the title "Dorvex: Data Collection Parameters" and goes through four
// pages in order, each question showing the control's label and its current value in brackets;
// an empty answer keeps the value, an unreadable one asks again (as does a step, width or time
// per step that is not above 0).
//   Scans:         Scan Type (1 Omega, 2 Om/2th); Step Size; Scan Width; Time per Step;
//                  Precision (0 one scan per reflection, 1 Constant Precision); with constant
//                  precision Min I/sigI for rescan, Required Precision (I/sigI), Max no. repeat
//                  scans; Psi scans Enable (Y/N); with psi scans No. Positions, Psi increment.
//   Index Limits:  Symmetry Controls (0 all, 1 only allowed, 2 only absent); Space Group;
//                  Quadrants: Negative/Positive for h, k, l (Y/N), the extent shown after each;
//                  Increment Order: Fastest, Medium, Slowest (h, k or l; the row that held the
//                  chosen index takes this row's old one, so the rows stay a permutation).
//   2theta Limits: five shells, each answered "collect(1/0) 2th-min 2th-max".
//   Standards:     five standards, each answered "collect(1/0) h k l"; the interval.
//   OK or Cancel (O/C).
// Choices (scan type, precision, psi enable, symmetry, quadrants, increment order) act at once;
// Cancel (or "-" at any question) puts every parameter back as the form found it. Numbers, the space group, shells and standards are held until OK,
// where they are taken in this order: scan numbers, space group (P-1 when it cannot be read),
// shells (a selected shell reversed or of no width is cleared and deselected), standards
// (indices rounded) and the interval; then the parameter listing. Cancel drops them.
#include "datacol/data_dialog.hpp"

#include <array>
#include <cctype>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "datacol/listscan.hpp"
#include "geometry/spacegroup.hpp"
#include "console/output.hpp"
#include "console/status.hpp"

namespace dorvex {

namespace {

enum Step : int {
  kClosed = 0,
  kScanType,
  kStepSize,
  kScanWidth,
  kTimePerStep,
  kPrecision,
  kMinRescan,
  kRequired,
  kMaxRepeats,
  kPsiEnable,
  kPsiPositions,
  kPsiIncrement,
  kSymmetry,
  kSpaceGroup,
  kQuadrant1,                  // h negative, h positive, k negative, ... l positive
  kIncrement1 = kQuadrant1 + 6,  // fastest, medium, slowest
  kShell1 = kIncrement1 + 3,   // shells 1..5
  kStandard1 = kShell1 + 5,    // standards 1..5
  kInterval = kStandard1 + 5,
  kOkCancel,
};

constexpr int kNumbers = kPsiIncrement + 1;

// The text fields held until OK.
struct Held {
  std::array<std::optional<float>, kNumbers> number{};
  std::optional<std::string> space_group;
  std::array<std::optional<std::array<float, 3>>, 6> shell{};  // flag, lower, upper (1..5)
  std::array<std::optional<std::array<float, 4>>, 6> standard{};  // flag, h, k, l (1..5)
  std::optional<float> interval;
};

struct Dialog {
  int step = kClosed;
  Held held;
  DataCollectionParameters opened;  // as the form found them: Cancel goes back to them
};

Dialog& dialog() {
  static Dialog d;
  return d;
}

DataCollectionParameters& dc() { return S().datacol; }

void ask(const std::string& prompt) {
  S().set.pending_prompt = prompt;
  SET_PROMPT(prompt);
}

std::string num(float v, int decimals) { return std::string(trim(F(v, 12, decimals))); }

std::string yes_no(bool on) { return on ? "Y" : "N"; }

const char* kIndexName[] = {"h", "k", "l"};

std::string extent_text() {
  int nonzero = 0;
  for (int v : dc().index_limits) nonzero += v != 0 ? 1 : 0;
  switch (nonzero) {
    case 3:
      return "1 quadrant";
    case 4:
      return "1/4 sphere";
    case 5:
      return "Hemisphere";
    case 6:
      return "Full sphere";
    default:
      return "";
  }
}

// SET_QUADRANTBOX: an index with no range at all is given its positive half.
void fill_quadrants() {
  auto& lim = dc().index_limits;
  for (std::size_t i = 0; i < 3; ++i) {
    if (lim[2 * i] == 0 && lim[2 * i + 1] == 0) lim[2 * i + 1] = 1;
  }
}

bool enabled(int step) {
  if (step >= kMinRescan && step <= kMaxRepeats) return dc().constant_precision > 0.5f;
  if (step == kPsiPositions || step == kPsiIncrement) return dc().multiple_psi > 0.5f;
  return true;
}

float* number_target(int step) {
  DataCollectionParameters& d = dc();
  switch (step) {
    case kStepSize: return &d.step;
    case kScanWidth: return &d.scan_width_a;
    case kTimePerStep: return &d.time_per_step;
    case kMinRescan: return &d.min_i_over_sigma;
    case kRequired: return &d.required_i_over_sigma;
    case kMaxRepeats: return &d.max_scans;
    case kPsiPositions: return &d.psi_scans;
    case kPsiIncrement: return &d.psi_interval;
    default: return nullptr;
  }
}

float shown(int step);

// The scan that Step Size and Scan Width make must have 10 to 200 points (a data-collection
// scan refuses any other at the measurement): checked when the width is answered, so that the
// operator hears it now. Returns the reason of a refusal, "" when the scan can be measured.
std::string scan_points_refusal() {
  const float step = shown(kStepSize), width = shown(kScanWidth);
  if (!(step > 0.0f) || !(width > 0.0f)) return "";
  const long n = std::lround(static_cast<double>(width) / step + 1.0);
  if (n >= 10 && n <= 200) return "";
  return " Scan Width " + std::string(trim(F(width, 10, 2))) + " deg in steps of " +
         std::string(trim(F(step, 10, 4))) + " deg makes " + std::to_string(n) +
         " steps in a scan: 10 to 200 allowed";
}

// The matrix-file field of a number (width, decimals): a value that would fill it with
// asterisks is refused, or the whole line would be lost at the next start.
std::pair<int, int> number_field(int step) {
  switch (step) {
    case kStepSize: return {7, 4};
    case kScanWidth: return {8, 4};
    case kMinRescan: case kPsiIncrement: return {6, 2};
    default: return {6, 1};
  }
}

const char* number_label(int step) {
  switch (step) {
    case kStepSize: return "Step Size";
    case kScanWidth: return "Scan Width";
    case kTimePerStep: return "Time per Step";
    case kMinRescan: return "Min I/sigI for rescan";
    case kRequired: return "Required Precision (I/sigI)";
    case kMaxRepeats: return "Max no. repeat scans";
    case kPsiPositions: return "No. Positions";
    case kPsiIncrement: return "Psi increment";
    default: return "";
  }
}

// The value shown for a held number: the typed one when there is one.
float shown(int step) {
  const auto& h = dialog().held.number[static_cast<std::size_t>(step)];
  return h ? *h : *number_target(step);
}

void write_page(int step) {
  if (step == kScanType) WRITE_OUT(" --- Scans ---");
  if (step == kSymmetry) WRITE_OUT(" --- Index Limits ---");
  if (step == kShell1) WRITE_OUT(" --- 2theta Limits ---");
  if (step == kStandard1) WRITE_OUT(" --- Standards ---");
}

void ask_step(int step) {
  const DataCollectionParameters& d = dc();
  const Held& held = dialog().held;
  write_page(step);
  if (step == kScanType) {
    ask(std::string("Scan Type: 1 Omega, 2 Om/2th [") + (d.scan_type > 1.5f ? "Om/2th" : "Omega") +
        "]: ");
  } else if (number_target(step) != nullptr) {
    ask(std::string(number_label(step)) + " [" + num(shown(step), 4) + "]: ");
  } else if (step == kPrecision) {
    ask(std::string("Precision: 0 one scan per reflection, 1 Constant Precision [") +
        (d.constant_precision > 0.5f ? "1" : "0") + "]: ");
  } else if (step == kPsiEnable) {
    ask("Psi scans: Enable (Y/N) [" + yes_no(d.multiple_psi > 0.5f) + "]: ");
  } else if (step == kSymmetry) {
    ask("Symmetry Controls: 0 Collect all reflections, 1 Collect Only Allowed, "
        "2 Collect Only Absent [" + std::to_string(NINT(d.violations_mode)) + "]: ");
  } else if (step == kSpaceGroup) {
    const std::string sg = held.space_group ? *held.space_group : d.space_group_symbol;
    ask("Space Group [" + std::string(trim(sg)) + "]: ");
  } else if (step >= kQuadrant1 && step < kIncrement1) {
    const int i = step - kQuadrant1;
    const bool negative = i % 2 == 0;
    ask(std::string("Quadrants: ") + (negative ? "Negative " : "Positive ") + kIndexName[i / 2] +
        " (Y/N) [" + yes_no(d.index_limits[static_cast<std::size_t>(i)] != 0) + "]: ");
  } else if (step >= kIncrement1 && step < kShell1) {
    static const char* kRow[] = {"Fastest", "Medium", "Slowest"};
    const int r = step - kIncrement1;
    const int index = d.increment_order[static_cast<std::size_t>(r)];
    ask(std::string("Increment Order: ") + kRow[r] + " (h, k or l) [" +
        (index >= 1 && index <= 3 ? kIndexName[index - 1] : "?") + "]: ");
  } else if (step >= kShell1 && step < kStandard1) {
    const auto n = static_cast<std::size_t>(step - kShell1 + 1);
    std::array<float, 3> v{static_cast<float>(d.shell_selected[n]), d.shell_lower[n],
                           d.shell_upper[n]};
    if (held.shell[n]) v = *held.shell[n];
    ask("2theta shell " + std::to_string(n) + ": Collect (1/0), 2th min, 2th max [" +
        std::to_string(NINT(v[0])) + " " + num(v[1], 3) + " " + num(v[2], 3) + "]: ");
  } else if (step >= kStandard1 && step < kInterval) {
    const auto n = static_cast<std::size_t>(step - kStandard1 + 1);
    std::array<float, 4> v{static_cast<float>(d.standards_in_use[n]), d.standard_indices[n][0],
                           d.standard_indices[n][1], d.standard_indices[n][2]};
    if (held.standard[n]) v = *held.standard[n];
    ask("Standard " + std::to_string(n) + ": Collect (1/0), h, k, l [" +
        std::to_string(NINT(v[0])) + " " + std::to_string(NINT(v[1])) + " " +
        std::to_string(NINT(v[2])) + " " + std::to_string(NINT(v[3])) + "]: ");
  } else if (step == kInterval) {
    const float v = held.interval ? *held.interval : static_cast<float>(d.standard_interval);
    ask("Standards collected every ... reflections [" + std::to_string(NINT(v)) + "]: ");
  } else if (step == kOkCancel) {
    ask("OK or Cancel (O/C) [OK]: ");
  }
}

// Goes to the first enabled question at or after `step`.
void next(int step) {
  while (step < kOkCancel && !enabled(step)) ++step;
  dialog().step = step;
  ask_step(step);
}

// The typed numbers; false when the line is not a list of numbers (or holds one too large).
bool numbers(std::vector<float>& out, std::size_t max_count) {
  const ListInput in = read_list(S().shell.command_argument);
  if (in.error || in.values.size() > max_count) return false;
  out.clear();
  for (double v : in.values) {
    if (!std::isfinite(v) || std::fabs(v) > 1.0e6) return false;
    out.push_back(static_cast<float>(v));
  }
  return true;
}

std::string answer() { return std::string(trim(S().shell.command_argument)); }

// A Y/N answer: 1 yes, 0 no, -1 empty, -2 unreadable.
int yes_no_answer() {
  const std::string a = answer();
  if (a.empty()) return -1;
  const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(a[0])));
  if (c == 'Y' || c == '1') return 1;
  if (c == 'N' || c == '0') return 0;
  return -2;
}

// An integer choice among [lowest, highest]: the value, -1 empty, -2 unreadable.
int choice(int lowest, int highest) {
  std::vector<float> v;
  if (!numbers(v, 1)) return -2;
  if (v.empty()) return -1;
  const int c = NINT(v[0]);
  if (static_cast<float>(c) != v[0] || c < lowest || c > highest) return -2;
  return c;
}

void read_shells() {
  DataCollectionParameters& d = dc();
  for (std::size_t n = 1; n <= 5; ++n) {
    const auto& h = dialog().held.shell[n];
    if (!h) continue;
    d.shell_selected[n] = NINT((*h)[0]) != 0 ? 1 : 0;
    d.shell_lower[n] = (*h)[1];
    d.shell_upper[n] = (*h)[2];
  }
  for (std::size_t n = 1; n <= 5; ++n) {
    if (d.shell_selected[n] == 0) continue;
    if (d.shell_upper[n] < d.shell_lower[n] ||
        std::fabs(d.shell_upper[n] - d.shell_lower[n]) < 0.001f) {
      d.shell_lower[n] = 0.0f;
      d.shell_upper[n] = 0.0f;
      d.shell_selected[n] = 0;
    }
  }
}

void read_standards() {
  DataCollectionParameters& d = dc();
  for (std::size_t n = 1; n <= 5; ++n) {
    const auto& h = dialog().held.standard[n];
    if (!h) continue;
    d.standards_in_use[n] = NINT((*h)[0]) != 0 ? 1 : 0;
    for (std::size_t i = 0; i < 3; ++i) {
      d.standard_indices[n][i] = static_cast<float>(NINT((*h)[i + 1]));
    }
  }
  if (dialog().held.interval) d.standard_interval = NINT(*dialog().held.interval);
  // The count of the ALLSTD line is the number of standards in use: left at 0, the listing
  // would report no standards while they are being measured.
  d.standard_count = 0;
  for (std::size_t n = 1; n <= 5; ++n) d.standard_count += d.standards_in_use[n] != 0 ? 1 : 0;
}

void read_data_dialog() {
  DataCollectionParameters& d = dc();
  const Held& held = dialog().held;
  for (int s = kStepSize; s <= kPsiIncrement; ++s) {
    if (!enabled(s) || number_target(s) == nullptr) continue;
    const auto& v = held.number[static_cast<std::size_t>(s)];
    if (!v) continue;
    const bool whole = s == kMaxRepeats || s == kPsiPositions;
    *number_target(s) = whole ? static_cast<float>(NINT(*v)) : *v;
  }
  d.scan_width_b = 0.0f;
  if (held.space_group) {
    SpaceGroup group;
    d.space_group_symbol = held.space_group->substr(0, 20);
    if (SYMMETRY(d.space_group_symbol, group) != 0) {
      WRITE_OUT("Error in Space Group Processing: set P-1");
      d.space_group_symbol = "P -1";
    }
  }
  read_shells();
  read_standards();
  LISTSCAN();
}

void close_dialog() {
  dialog() = Dialog{};
  S().shell.continuation_code = 0;
}

// Takes the answer to the current question; false when it cannot be read.
bool take_answer(int step) {
  DataCollectionParameters& d = dc();
  Held& held = dialog().held;
  const bool empty = answer().empty();
  if (step == kScanType || step == kPrecision || step == kSymmetry) {
    const int c = step == kScanType ? choice(1, 2) : choice(0, step == kSymmetry ? 2 : 1);
    if (c == -2) return false;
    if (c >= 0) {
      if (step == kScanType) d.scan_type = static_cast<float>(c);
      if (step == kPrecision) d.constant_precision = static_cast<float>(c);
      if (step == kSymmetry) d.violations_mode = static_cast<float>(c);
    }
  } else if (number_target(step) != nullptr) {
    std::vector<float> v;
    if (!numbers(v, 1)) return false;
    if (!v.empty()) {
      const auto [width, decimals] = number_field(step);
      if (F(v[0], width, decimals).find('*') != std::string::npos) return false;
      // A scan needs a step, a width and a counting time: nothing could be measured without.
      if ((step == kStepSize || step == kScanWidth || step == kTimePerStep) && !(v[0] > 0.0f)) {
        WRITE_OUT(std::string(" ") + number_label(step) + " must be greater than 0");
        return false;
      }
    }
    auto& slot = held.number[static_cast<std::size_t>(step)];
    const std::optional<float> before = slot;
    if (!v.empty()) slot = v[0];
    if (step == kScanWidth) {
      const std::string why = scan_points_refusal();
      if (!why.empty()) {
        WRITE_OUT(why);
        slot = before;
        return false;
      }
    }
  } else if (step == kPsiEnable) {
    const int c = yes_no_answer();
    if (c == -2) return false;
    if (c >= 0) d.multiple_psi = static_cast<float>(c);
  } else if (step == kSpaceGroup) {
    if (!empty) held.space_group = answer();
  } else if (step >= kQuadrant1 && step < kIncrement1) {
    const int c = yes_no_answer();
    if (c == -2) return false;
    const auto i = static_cast<std::size_t>(step - kQuadrant1);
    if (c >= 0) d.index_limits[i] = c == 0 ? 0 : (i % 2 == 0 ? -1 : 1);
    WRITE_OUT("  " + extent_text());
  } else if (step >= kIncrement1 && step < kShell1) {
    if (!empty) {
      const std::string a = answer();
      const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(a[0])));
      const std::string::size_type at = std::string("hkl").find(c);
      const int index = at != std::string::npos ? static_cast<int>(at) + 1
                        : (c >= '1' && c <= '3') ? c - '0'
                                                 : 0;
      if (index == 0 || a.size() > 1) return false;
      auto& order = d.increment_order;
      const auto row = static_cast<std::size_t>(step - kIncrement1);
      for (std::size_t r = 0; r < 3; ++r) {
        if (r != row && order[r] == index) order[r] = order[row];
      }
      order[row] = index;
    }
  } else if (step >= kShell1 && step < kStandard1) {
    std::vector<float> v;
    if (!numbers(v, 3)) return false;
    if (!v.empty()) {
      const auto n = static_cast<std::size_t>(step - kShell1 + 1);
      std::array<float, 3> cur{static_cast<float>(d.shell_selected[n]), d.shell_lower[n],
                               d.shell_upper[n]};
      if (held.shell[n]) cur = *held.shell[n];
      for (std::size_t i = 0; i < v.size(); ++i) cur[i] = v[i];
      if (std::fabs(cur[1]) >= 1000.0f || std::fabs(cur[2]) >= 1000.0f) return false;
      held.shell[n] = cur;
    }
  } else if (step >= kStandard1 && step < kInterval) {
    std::vector<float> v;
    if (!numbers(v, 4)) return false;
    if (!v.empty()) {
      const auto n = static_cast<std::size_t>(step - kStandard1 + 1);
      std::array<float, 4> cur{static_cast<float>(d.standards_in_use[n]),
                               static_cast<float>(d.standard_indices[n][0]),
                               static_cast<float>(d.standard_indices[n][1]),
                               static_cast<float>(d.standard_indices[n][2])};
      if (held.standard[n]) cur = *held.standard[n];
      for (std::size_t i = 0; i < v.size(); ++i) cur[i] = v[i];
      for (std::size_t i = 1; i < 4; ++i) {
        if (std::fabs(cur[i]) >= 1000.0f) return false;
      }
      held.standard[n] = cur;
    }
  } else if (step == kInterval) {
    std::vector<float> v;
    if (!numbers(v, 1)) return false;
    if (!v.empty()) {
      if (v[0] < 0.0f || v[0] >= 100000.0f) return false;
      held.interval = v[0];
    }
  }
  return true;
}

}  // namespace

void RUN_DATA_DIALOG() {
  Dialog& dlg = dialog();
  // A dialogue left over from a program state that has since been reset starts afresh.
  if (dlg.step != kClosed && S().set.pending_prompt.empty()) dlg = Dialog{};
  if (dlg.step == kClosed) {
    WRITE_OUT("");
    WRITE_OUT("Dorvex: Data Collection Parameters");
    dlg.opened = dc();
    fill_quadrants();
    next(kScanType);
    return;
  }
  if (dlg.step == kOkCancel) {
    const std::string a = answer();
    const char c =
        a.empty() ? 'O' : static_cast<char>(std::toupper(static_cast<unsigned char>(a[0])));
    if (c == 'O') {
      read_data_dialog();
    } else if (c == 'C') {
      // Nothing of the form is kept, the choices that acted at once included.
      CANCEL_DATA_DIALOG();
      WRITE_OUT(" Cancelled: the data-collection parameters are as before");
      return;
    } else {
      SET_PROMPT("Error on input, try again:");
      return;
    }
    close_dialog();
    return;
  }
  if (!take_answer(dlg.step)) {
    SET_PROMPT("Error on input, try again:");
    return;
  }
  next(dlg.step + 1);
}

void CANCEL_DATA_DIALOG() {
  if (dialog().step != kClosed) dc() = dialog().opened;
  close_dialog();
}

}  // namespace dorvex
