// The displays only SHOW and SET use: the experiment title, the wavelengths, the table of
// sample-environment devices and the serial-link settings. Everything goes through WRITE_OUT,
// so it reaches the console and the user log.
#include "shell/settings_display.hpp"

#include <string>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "console/output.hpp"
#include "geometry/devices.hpp"
#include "instrument/transport/link_timing.hpp"  // controller_device

namespace dorvex {

namespace {

// Fortran's Fw.0 keeps the decimal point ("    -90.").
std::string F0(double value, int width) { return F(value, width, 0); }

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

}  // namespace dorvex
