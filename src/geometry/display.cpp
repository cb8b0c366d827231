// The displays of the crystal and of the settings its matrix file holds: fixed-format
// summaries of the centring parameters, UB and the metric tensors, the cell, the device and its
// angle limits. Everything goes through WRITE_OUT, so it reaches the console and the user log.
#include "geometry/display.hpp"

#include <cmath>
#include <string>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "geometry/cell.hpp"    // METR: the reciprocal metric tensor
#include "geometry/matrix.hpp"  // MINV3, LWMATMUL: U from UB and B
#include "geometry/devices.hpp"
#include "geometry/limits.hpp"  // motor_limits
#include "console/output.hpp"

namespace dorvex {

namespace {

constexpr double kDegree = 57.2958;  // degrees per radian of the cell routines

// Two 3x3 matrices side by side, row by row: 3F10.5, 10 blanks, 3F10.5.
void write_side_by_side(const Mat3& left, const Mat3& right) {
  for (int i = 0; i < 3; ++i) {
    std::string row;
    for (int j = 0; j < 3; ++j) row += F(left(i, j), 10, 5);
    row += std::string(10, ' ');
    for (int j = 0; j < 3; ++j) row += F(right(i, j), 10, 5);
    WRITE_OUT(row);
  }
}

}  // namespace

void DISPLAY_CENTER_PARMS() {
  const CentringParameters& c = S().centring;
  WRITE_OUT(" Peak Centering Parameters");
  WRITE_OUT("   Minimum Count Rate: " + I(NINT(c.min_count_rate), 3) +
            " cps, Max/Min Ratio: " + F(c.max_min_ratio, 4, 1) +
            ", Max Time/Step: " + I(NINT(c.max_time_per_step), 3) + " secs");
  WRITE_OUT("   Required counts on maximum: " + I(NINT(c.required_max_count), 3) + " cps");
  WRITE_OUT("   Initial Omega Scan width = " + F(c.initial_omega_width_a, 4, 2) + "+" +
            F(c.initial_omega_width_b, 4, 2) + " tan(th)");
  WRITE_OUT(c.two_theta_fixed == 1 ? "   2Theta/omega will NOT be scanned"
                                   : "   2Theta/omega will be scanned");
  WRITE_OUT("  Chi scan parameters:   " + I(c.chi_final_steps, 3) +
            " steps, width parameter = " + F(c.chi_width_coeff, 5, 2));
  WRITE_OUT("   Final omega scan: " + I(c.omega_final_steps, 3) + " steps, width = " +
            F(c.final_omega_width_a, 4, 2) + "+" + F(c.final_omega_width_b, 4, 2) + " tan(th)");
  if (c.parabola()) {
    WRITE_OUT("   ****** Final omega scan will be fit by PARABOLA ");
  } else {
    WRITE_OUT("   Final omega scan will be fit by PROFILE");
    WRITE_OUT((c.eta_refined != 0 ? "   Eta refineable, initial value: "
                                  : "   Value of eta is fixed at: ") +
              F(c.eta, 4, 2));
  }
  WRITE_OUT("   Slit settings: Motor 5 = " + F(c.slit5, 4, 2) + " Motor 6 = " + F(c.slit6, 4, 2));
}

void DISPLAY_UB() {
  const Mat3& ub = S().crystal.UB;
  WRITE_OUT("");
  WRITE_OUT("Orientation Matrix:");
  for (int i = 0; i < 3; ++i)
    WRITE_OUT(F(ub(i, 0), 12, 5) + F(ub(i, 1), 12, 5) + F(ub(i, 2), 12, 5));
  WRITE_OUT("");
}

void PRINT_MATRICES() {
  const CrystalState& c = S().crystal;
  DISPLAY_UB();

  // Direct metric tensor G(i,j) = a_i a_j cos(angle between axes i and j); G* is its inverse.
  Mat3 g;
  const double len[3] = {c.cell[0], c.cell[1], c.cell[2]};
  const double cosine[3] = {std::cos(c.cell[3] / kDegree), std::cos(c.cell[4] / kDegree),
                            std::cos(c.cell[5] / kDegree)};  // alpha (b,c), beta (a,c), gamma (a,b)
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      const double cos_ij = i == j ? 1.0 : cosine[3 - i - j];
      g(i, j) = static_cast<float>(len[i] * len[j] * cos_ij);
    }
  }
  Mat3 gstar;
  float det = 0.0f;
  METR(c.cell, gstar, det);
  WRITE_OUT("Metric Tensor:" + std::string(25, ' ') + "Recip Metric Tensor:");
  write_side_by_side(g, gstar);

  // U = UB B^-1.
  int ierr = 0;
  const Mat3 b_inverse = MINV3(c.B, det, ierr);
  const Mat3 u = LWMATMUL(c.UB, b_inverse);
  WRITE_OUT("B matrix     :" + std::string(30, ' ') + "U matrix:");
  write_side_by_side(c.B, u);
}

// Columns: 1-8 " Cell   ", 9-38 a b c (3F10.5), 39-62 angles (3F8.3), 63-72 volume (F10.4).
void DISPLAY_CELL() {
  const CrystalState& c = S().crystal;
  WRITE_OUT("");
  WRITE_OUT(" Cell   " + F(c.cell[0], 10, 5) + F(c.cell[1], 10, 5) + F(c.cell[2], 10, 5) +
            F(c.cell[3], 8, 3) + F(c.cell[4], 8, 3) + F(c.cell[5], 8, 3) + F(c.volume, 10, 4));
}

void DISPLAY_CELL_ESD() {
  const auto& e = S().crystal.cell_esd;
  WRITE_OUT(" Sigmas " + F(e[0], 10, 5) + F(e[1], 10, 5) + F(e[2], 10, 5) + F(e[3], 8, 3) +
            F(e[4], 8, 3) + F(e[5], 8, 3));
  WRITE_OUT("");
}

void PRINT_MATFILE() { WRITE_OUT(" Mat File is: " + S().shell.matfile_name + ".mat"); }

void DISPLAY_DEVICE() {
  const DeviceSettings& d = S().device;
  if (d.type < 1 || d.type > 6)
    WRITE_OUT("  Current Device is NONE:");
  else
    WRITE_OUT("Current Device is " + A(kDeviceTypes[d.type].name, 10) +
              " with following constraints:");
  if (d.fixed_phi == 1)
    WRITE_OUT("  Fixed Phi Mode, Psi(max) =" + F(d.psi_max, 5, 1));
  else
    WRITE_OUT("  Bisecting Mode");
  if (d.type == 6) {
    WRITE_OUT("  Angle restriction in gasket plane is " + F(d.gasket_angle, 4, 1) + " degrees");
    WRITE_OUT("  Angle restriction towards z-axis is " + F(d.zaxis_angle, 4, 1) + " degrees");
  }
  if (d.type >= 2 && d.type <= 5) {
    WRITE_OUT("  Absolute omega limits are: " + F(d.omega_lower, 6, 2) + " and " +
              F(d.omega_upper, 6, 2));
    if (d.chi_pause <= 0.1f)
      WRITE_OUT("  No pause after moves of chi");
    else
      WRITE_OUT("  Drives will pause for " + I(NINT(d.chi_pause), 3) +
                " secs after moves of more than " + F(d.chi_pause_move, 6, 1) + " degs on chi");
  }
  DISPLAY_LIMITS();
}

void DISPLAY_LIMITS() {
  const DeviceSettings& d = S().device;
  if (d.chi_limited) {
    if (d.chi_upper - d.chi_lower <= 359.9f)
      WRITE_OUT("  Chi Restricted, Range: " + F(d.chi_lower, 6, 1) + " to " + F(d.chi_upper, 6, 1));
    else
      WRITE_OUT("  Chi Non-circular");
    if (std::fabs(std::fabs(d.chi_lower) - std::fabs(d.chi_upper)) > 0.1f)
      WRITE_OUT("   Assymetric Chi Limits May Cause Problems in Zref");
  }
  if (d.phi_limited) {
    if (d.phi_upper - d.phi_lower <= 359.9f)
      WRITE_OUT("  Phi Restricted, Range: " + F(d.phi_lower, 6, 1) + " to " + F(d.phi_upper, 6, 1));
    else
      WRITE_OUT("  Phi Non-circular");
  }
}

void DISPLAY_CIRCLE_LIMITS() {
  const MachineProfile& profile = S().profile;
  const DeviceSettings& d = S().device;
  WRITE_OUT("  Limits of the circles (deg, zero offsets allowed for):");
  const char* const names[] = {"", "2theta", "omega ", "chi   ", "phi   "};
  for (int m = 1; m <= 4; ++m) {
    std::string line = "    " + std::string(names[m]) + " ";
    const bool free = (m == 3 && d.chi_limited == 0) || (m == 4 && d.phi_limited == 0);
    if (free) {
      line += "any angle (not limited)";
    } else {
      float lower = 0, upper = 0;
      motor_limits(profile, d, m, lower, upper);
      line += F(lower, 9, 3) + " to " + F(upper, 9, 3) + " deg";
      if (m == 2 && profile.omega_coupled()) line += " (of the omega motor: omega + 2theta/2)";
    }
    WRITE_OUT(line);
  }
  WRITE_OUT("    detector arm at least " + F(profile.clearance_angle, 7, 3) +
            " deg from the omega carriage");
}

void DISPLAY_DATA_PARMS() {}

}  // namespace dorvex
