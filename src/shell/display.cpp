// The settings displays: fixed-format summaries of the title, wavelength, centring, cell,
// device, angle limits and serial-link settings. Everything goes through WRITE_OUT, so it
// reaches the console and the user log.
#include "shell/display.hpp"

#include <cmath>
#include <string>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "geometry/cell.hpp"                     // METR: the reciprocal metric tensor
#include "geometry/matrix.hpp"                   // MINV3, LWMATMUL: U from UB and B
#include "instrument/transport/link_timing.hpp"  // controller_device
#include "shell/commands.hpp"                    // DISPLAY_UB, PRINT_MATRICES
#include "shell/devices.hpp"
#include "shell/output.hpp"

namespace dorvex {

namespace {

// Fortran's Fw.0 keeps the decimal point ("    -90.").
std::string F0(double value, int width) { return F(value, width, 0); }

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

// Iw, widened for a value that needs more columns: timeouts of a second or more are common.
std::string I_wide(long value, int width) {
  const std::string digits = std::to_string(value);
  return static_cast<int>(digits.size()) > width ? digits : I(value, width);
}

const char* terminator_name(int code) {
  switch (code) {
    case 1:
      return "<CR>";
    case 2:
      return "<LF>";
    default:
      return "<CR><LF>";
  }
}

}  // namespace

void DISPLAY_TITLE() {
  const std::string_view title = rtrim(S().crystal.title);
  if (trim(title).empty())
    WRITE_OUT("  No Experiment Title Is Set");
  else
    WRITE_OUT("   Experiment Title is: " + std::string(title));
}

void DISPLAY_WAVE() {
  const CrystalState& c = S().crystal;
  if (c.wave_count == 1) {
    WRITE_OUT("  Current wavelength is " + F(c.lambda1, 8, 6));
  } else {
    WRITE_OUT("  Current" + I(c.wave_count, 2) + " wavelengths are: " + F(c.lambda1, 8, 6) +
              " and " + F(c.lambda2, 8, 6) + "   Intensity ratio = " + F(c.ratio, 5, 3));
  }
}

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

// Columns of a row: 1-2 blanks, 3-12 name (A10), 13-16 number (I4), 17-18 blanks, 19-50 the
// default chi and phi limits (4F8.0), then the geometry mode.
void DISPLAY_DEVICE_TYPES() {
  WRITE_OUT("");
  WRITE_OUT("  AVAILABLE DEVICES:");
  WRITE_OUT("  DEVICE      NO.  CHIMIN  CHIMAX  PHIMIN  PHIMAX");
  for (int n = 0; n <= 6; ++n) {
    const DeviceType& r = kDeviceTypes[n];
    WRITE_OUT("  " + A(r.name, 10) + I(n, 4) + "  " + F0(r.chi_min, 8) + F0(r.chi_max, 8) +
              F0(r.phi_min, 8) + F0(r.phi_max, 8) +
              (r.asks_psi ? "   FIXED PHI MODE" : "   BISECTING MODE"));
  }
  WRITE_OUT("          (Zero pairs indicate no limits)");
}

void DISPLAY_COMM() {
  const auto& c = S().profile.compor;
  WRITE_OUT("Comm port parameters as read from difprof.dat:");
  WRITE_OUT(c[1] == 1 ? "SET FOR WINDOWS XP" : "SET FOR WINDOWS 98");
  WRITE_OUT("Port = COM" + std::to_string(c[2]) + " Baud rate = " + std::to_string(c[3]));
  static constexpr const char* kParity[] = {"NONE", "ODD", "EVEN", "MARK", "SPACE"};
  WRITE_OUT(std::string("Parity = ") + kParity[c[4] >= 1 && c[4] <= 4 ? c[4] : 0]);
  // The link always uses one stop bit; no profile field sets it.
  WRITE_OUT("Databits = " + std::to_string(c[5]) + " Stop Bits = 1.0");
  WRITE_OUT(std::string("INPUT LINE TERMINATOR =  ") + terminator_name(c[7]));
  WRITE_OUT(std::string("OUTPUT LINE TERMINATOR = ") + terminator_name(c[8]));
  if (c[1] != 1)
    WRITE_OUT("  Read timeouts set by default to 100 msecs");
  else if (c[9] == 0)
    WRITE_OUT("  No Timeouts set on reading from port");
  else
    WRITE_OUT("  Total read timeout set at " + I_wide(c[9], 3) + " msecs");
  if (c[10] == 0)
    WRITE_OUT("  No delay between send and read");
  else
    WRITE_OUT("  Delay of " + I_wide(c[10], 4) + " msecs between send and read");
  // On Linux the COM port is a character device: say which one the link opens.
  WRITE_OUT("  Serial device used: " + controller_device());
}

void DISPLAY_DATA_PARMS() {}

}  // namespace dorvex
