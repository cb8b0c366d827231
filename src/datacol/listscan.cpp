#include "datacol/listscan.hpp"

#include <cmath>
#include <string>

#include "common/fields.hpp"
#include "files/datafile.hpp"  // kColumnHeader
#include "console/output.hpp"

namespace dorvex {

namespace {

bool shell_exists(const DataCollectionParameters& dc, std::size_t n) {
  return dc.shell_lower[n] > 0.001f && dc.shell_upper[n] > 0.001f;
}

}  // namespace

std::vector<int> collected_shells(const DataCollectionParameters& dc) {
  std::vector<int> shells;
  for (std::size_t n = 1; n <= 10; ++n)
    if (dc.shell_selected[n] == 1 && shell_exists(dc, n)) shells.push_back(static_cast<int>(n));
  return shells;
}

void LISTSCAN() {
  const DataCollectionParameters& dc = S().datacol;
  const ShellState& shell = S().shell;
  WRITE_OUT("SCAN PARAMETERS");
  if (NINT(dc.scan_type) == 2)
    WRITE_OUT("  Scan type is omega/2theta, width = " + F(dc.scan_width_a, 5, 2));
  else
    WRITE_OUT("  Scan type is omega, scan width = " + F(dc.scan_width_a, 5, 2));
  WRITE_OUT("  In Steps of " + F(dc.step, 5, 3) + " degrees; " + F(dc.time_per_step, 5, 2) +
            " secs per step");
  if (dc.multiple_psi == 0.0f)
    WRITE_OUT("  No multiple psi scans");
  else
    WRITE_OUT(I(NINT(dc.psi_scans), 3) + " scans each refln at " + F(dc.psi_interval, 7, 2) +
              " degree intervals in psi");
  if (dc.constant_precision == 0.0f)
    WRITE_OUT("  Each reflection with fixed scan time");
  else
    WRITE_OUT("  Constant precision mode: min(I/sigI) = " + F(dc.min_i_over_sigma, 4, 1) +
              " Required:" + F(dc.required_i_over_sigma, 4, 1) + " Max no. scans = " +
              I(NINT(dc.max_scans), 3));

  WRITE_OUT("DATA COLLECTION PARAMETERS");
  if (shell.datfile_set != 0 && !trim(shell.datfile_name).empty())
    WRITE_OUT("  Reflection File: " + std::string(trim(shell.datfile_name)));
  else
    WRITE_OUT("NO DATAFILE FOR REFLECTION SCANS WAS SELECTED");
  WRITE_OUT("    Title: " + A(S().crystal.title, 60));

  bool any_standard = false;
  for (std::size_t n = 1; n <= 5; ++n) any_standard = any_standard || dc.standards_in_use[n] == 1;
  if (dc.standard_count > 0 && any_standard) {
    WRITE_OUT("  Number Std Reflns: " + I(dc.standard_count, 2) + " Every " +
              I(dc.standard_interval, 4) + " reflections");
    WRITE_OUT("  Standard Indices:");
    for (std::size_t n = 1; n <= 5; ++n) {
      if (dc.standards_in_use[n] != 1) continue;
      std::string line = "    ";
      for (float x : dc.standard_indices[n]) line += I(NINT(x), 4);
      WRITE_OUT(line);
    }
  } else {
    WRITE_OUT(" No standard reflections ");
  }

  std::string ranges = "  Ranges of h,k,l will be: ";
  for (int x : dc.index_limits) ranges += I(x, 3);
  WRITE_OUT(ranges);
  std::string order = "  Increment order (fastest first): ";
  for (int x : dc.increment_order) {
    order += x == 1 ? "h" : x == 2 ? "k" : x == 3 ? "l" : "?";
    order += " ";
  }
  WRITE_OUT(order);

  const std::vector<int> shells = collected_shells(dc);
  bool any_limits = false;
  for (std::size_t n = 1; n <= 10; ++n) any_limits = any_limits || shell_exists(dc, n);
  if (!any_limits) {
    WRITE_OUT("  WARNING: No 2theta limits available");
  } else if (shells.empty()) {
    WRITE_OUT("  WARNING: No 2theta shell is selected");
  } else {
    WRITE_OUT("  Data will be collected in " + I(static_cast<long>(shells.size()), 2) +
              " shells of 2theta ranges:");
    for (int n : shells) {
      const auto s = static_cast<std::size_t>(n);
      WRITE_OUT(I(n, 5) + ":" + F(dc.shell_lower[s], 6, 2) + " to " + F(dc.shell_upper[s], 6, 2) +
                " degrees two-theta");
    }
  }

  if (dc.violations_mode <= 0.5f) {
    WRITE_OUT("  All reflections will be collected");
  } else {
    WRITE_OUT(" Space group is " + std::string(trim(dc.space_group_symbol)));
    if (dc.violations_mode > 1.5f)
      WRITE_OUT("  ONLY Space Group Violations will be collected");
    else
      WRITE_OUT("  Space Group Violations will NOT be collected");
  }
}

void PRINTHEADER(int& header_sequence) {
  WRITE_OUT("");
  WRITE_OUT(kColumnHeader);
  WRITE_OUT("");
  header_sequence = S().datacol.sequence_number;
}

int TTHETA(const CrystalState& crystal, const Vec3& hkl, float& two_theta) {
  double length2 = 0;
  for (int i = 0; i < 3; ++i) {
    double x = 0;
    for (int j = 0; j < 3; ++j)
      x += static_cast<double>(crystal.B(i, j)) * hkl[static_cast<std::size_t>(j)];
    length2 += x * x;
  }
  const double sine = crystal.lambda1 * std::sqrt(length2) / 2.0;
  if (sine > 1.0) {
    two_theta = 90.0f;
    return 1;
  }
  two_theta = static_cast<float>(2.0 * std::asin(sine) * 180.0 / 3.14159265358979);
  return 0;
}

int INSHELL(const CrystalState& crystal, const DataCollectionParameters& dc, int shell,
            const Vec3& hkl) {
  if (hkl[0] == 0.0f && hkl[1] == 0.0f && hkl[2] == 0.0f) return 1;
  if (shell < 1 || shell > 10) return 1;
  float tth = 0;
  if (TTHETA(crystal, hkl, tth) != 0) return 1;
  const auto n = static_cast<std::size_t>(shell);
  return tth < dc.shell_lower[n] || tth >= dc.shell_upper[n] ? 1 : 0;
}

}  // namespace dorvex
