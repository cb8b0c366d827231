// The settings displays and SHOW: exact texts and fixed columns.
#include "geometry/display.hpp"
#include "shell/settings_display.hpp"

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "settings/settings_fixture.hpp"

namespace dorvex {
namespace {

using testing_support::SettingsTest;
using DisplayTest = SettingsTest;

TEST_F(DisplayTest, WavelengthsAndTitle) {
  S().crystal.wave_count = 1;
  S().crystal.lambda1 = 0.71073f;
  DISPLAY_WAVE();
  S().crystal.wave_count = 2;
  S().crystal.lambda2 = 1.5444f;
  S().crystal.ratio = 0.5f;
  DISPLAY_WAVE();
  DISPLAY_TITLE();
  S().crystal.title = "  Quartz at 100 K";
  DISPLAY_TITLE();
  const std::vector<std::string> expected = {
      "  Current wavelength is 0.710730",
      "  Current 2 wavelengths are: 0.710730 and 1.544400   Intensity ratio = 0.500",
      "  No Experiment Title Is Set",
      "   Experiment Title is:   Quartz at 100 K",
  };
  EXPECT_EQ(console_->lines, expected);
}

TEST_F(DisplayTest, CentringParameters) {
  CentringParameters& c = S().centring;
  c = CentringParameters{};
  c.min_count_rate = 20.4f;
  c.max_min_ratio = 3.26f;
  c.max_time_per_step = 4.6f;
  c.required_max_count = 300;
  c.initial_omega_width_a = 0.8f;
  c.initial_omega_width_b = 0.5f;
  c.chi_final_steps = 21;
  c.chi_width_coeff = 0.456f;
  c.omega_final_steps = 31;
  c.final_omega_width_a = 0.6f;
  c.final_omega_width_b = 0.3f;
  c.eta = 0.5f;
  c.eta_refined = 1;
  c.slit5 = 1.0f;
  c.slit6 = 2.5f;
  DISPLAY_CENTER_PARMS();
  c.final_omega_method = 1;
  c.two_theta_fixed = 1;
  DISPLAY_CENTER_PARMS();
  const std::vector<std::string> expected = {
      " Peak Centering Parameters",
      "   Minimum Count Rate:  20 cps, Max/Min Ratio:  3.3, Max Time/Step:   5 secs",
      "   Required counts on maximum: 300 cps",
      "   Initial Omega Scan width = 0.80+0.50 tan(th)",
      "   2Theta/omega will be scanned",
      "  Chi scan parameters:    21 steps, width parameter =  0.46",
      "   Final omega scan:  31 steps, width = 0.60+0.30 tan(th)",
      "   Final omega scan will be fit by PROFILE",
      "   Eta refineable, initial value: 0.50",
      "   Slit settings: Motor 5 = 1.00 Motor 6 = 2.50",
      " Peak Centering Parameters",
      "   Minimum Count Rate:  20 cps, Max/Min Ratio:  3.3, Max Time/Step:   5 secs",
      "   Required counts on maximum: 300 cps",
      "   Initial Omega Scan width = 0.80+0.50 tan(th)",
      "   2Theta/omega will NOT be scanned",
      "  Chi scan parameters:    21 steps, width parameter =  0.46",
      "   Final omega scan:  31 steps, width = 0.60+0.30 tan(th)",
      "   ****** Final omega scan will be fit by PARABOLA",
      "   Slit settings: Motor 5 = 1.00 Motor 6 = 2.50",
  };
  EXPECT_EQ(console_->lines, expected);
}

TEST_F(DisplayTest, CellAndDeviations) {
  S().crystal.cell = {5.4321f, 12.5f, 7.0f, 90.0f, 101.25f, 90.0f};
  S().crystal.volume = 466.1234f;
  S().crystal.cell_esd = {0.0012f, 0.002f, 0.0015f, 0.0f, 0.012f, 0.0f};
  DISPLAY_CELL();
  DISPLAY_CELL_ESD();
  const std::vector<std::string> expected = {
      "",
      " Cell      5.43210  12.50000   7.00000  90.000 101.250  90.000  466.1234",
      " Sigmas    0.00120   0.00200   0.00150   0.000   0.012   0.000",
      "",
  };
  EXPECT_EQ(console_->lines, expected);
}

TEST_F(DisplayTest, DevicesAndLimits) {
  DeviceSettings& d = S().device;
  d = DeviceSettings{};
  DISPLAY_DEVICE();
  d.type = 3;
  d.chi_limited = 1;
  d.chi_lower = -90;
  d.chi_upper = 45;
  d.omega_lower = -20;
  d.omega_upper = 30.5f;
  d.chi_pause = 4.6f;
  d.chi_pause_move = 12.5f;
  DISPLAY_DEVICE();
  d.type = 6;
  d.fixed_phi = 1;
  d.psi_max = 45;
  d.gasket_angle = 65;
  d.zaxis_angle = 80;
  d.chi_lower = -180;
  d.chi_upper = 180;
  d.phi_limited = 1;
  d.phi_lower = -180;
  d.phi_upper = 90;
  DISPLAY_DEVICE();
  const std::vector<std::string> expected = {
      "  Current Device is NONE:",
      "  Bisecting Mode",
      "Current Device is COOLER     with following constraints:",
      "  Bisecting Mode",
      "  Absolute omega limits are: -20.00 and  30.50",
      "  Drives will pause for   5 secs after moves of more than   12.5 degs on chi",
      "  Chi Restricted, Range:  -90.0 to   45.0",
      "   Assymetric Chi Limits May Cause Problems in Zref",
      "Current Device is ULTRAS DAC with following constraints:",
      "  Fixed Phi Mode, Psi(max) = 45.0",
      "  Angle restriction in gasket plane is 65.0 degrees",
      "  Angle restriction towards z-axis is 80.0 degrees",
      "  Chi Non-circular",
      "  Phi Restricted, Range: -180.0 to   90.0",
  };
  EXPECT_EQ(console_->lines, expected);
}

TEST_F(DisplayTest, DeviceTable) {
  DISPLAY_DEVICE_TYPES();
  const std::vector<std::string> expected = {
      "",
      "  AVAILABLE DEVICES:",
      "  DEVICE      NO.  CHIMIN  CHIMAX  PHIMIN  PHIMAX",
      "  AIR          0        0.      0.      0.      0.   BISECTING MODE",
      "  DAC          1        0.      0.      0.      0.   FIXED PHI MODE",
      "  HEATED DAC   2     -180.    180.   -180.    180.   FIXED PHI MODE",
      "  COOLER       3      -90.     90.      0.      0.   BISECTING MODE",
      "  FURNACE      4     -180.    180.   -180.    180.   BISECTING MODE",
      "  JT COOLER    5      -45.     45.   -180.     90.   BISECTING MODE",
      "  ULTRAS DAC   6        0.      0.      0.      0.   BISECTING MODE",
      "          (Zero pairs indicate no limits)",
  };
  EXPECT_EQ(console_->lines, expected);
}

TEST_F(DisplayTest, SerialLinkSettingsAndTheDeviceUsed) {
  auto& c = S().profile.compor;
  c = {0, 2, 3, 19200, 2, 7, 1, 2, 3, 0, 150};
  ::unsetenv("DORVEX_COM3");
  DISPLAY_COMM();
  const std::vector<std::string> expected = {
      "Comm port parameters as read from difprof.dat:",
      "SET FOR WINDOWS 98",
      "Port = COM3 Baud rate = 19200",
      "Parity = EVEN",
      "Databits = 7 Stop Bits = 1.0",
      "INPUT LINE TERMINATOR =  <LF>",
      "OUTPUT LINE TERMINATOR = <CR><LF>",
      "  Read timeouts set by default to 100 msecs",
      "  Delay of  150 msecs between send and read",
      "  Serial device used: /dev/ttyS2",
  };
  EXPECT_EQ(console_->lines, expected);

  console_->lines.clear();
  c[1] = 1;
  c[9] = 500;
  c[10] = 0;
  ::setenv("DORVEX_COM3", "/dev/ttyUSB7", 1);
  DISPLAY_COMM();
  ::unsetenv("DORVEX_COM3");
  EXPECT_TRUE(console_->has_line("SET FOR WINDOWS XP"));
  EXPECT_TRUE(console_->has_line("  Total read timeout set at 500 msecs"));
  EXPECT_TRUE(console_->has_line("  No delay between send and read"));
  EXPECT_TRUE(console_->has_line("  Serial device used: /dev/ttyUSB7"));

  console_->lines.clear();
  c[9] = 0;
  S().shell.port_override = "/tmp/sim-pty";
  DISPLAY_COMM();
  EXPECT_TRUE(console_->has_line("  No Timeouts set on reading from port"));
  EXPECT_TRUE(console_->has_line("  Serial device used: /tmp/sim-pty"));
}

// The numbers of a printed row of fixed fields.
std::vector<double> numbers(const std::string& row) {
  std::istringstream in(row);
  std::vector<double> out;
  for (double x; in >> x;) out.push_back(x);
  return out;
}

TEST_F(DisplayTest, MatricesOfAMonoclinicCrystal) {
  // a = 6, b = 8, c = 10, beta = 120: G and B by hand; U a rotation of 30 degrees about z.
  const double a = 6, b = 8, c = 10, beta = 120 * M_PI / 180;
  const double g[3][3] = {
      {a * a, 0, a * c * std::cos(beta)}, {0, b * b, 0}, {a * c * std::cos(beta), 0, c * c}};
  const double det = a * a * b * b * c * c * std::pow(std::sin(beta), 2);
  const double gs[3][3] = {{b * b * c * c / det, 0, -a * c * std::cos(beta) * b * b / det},
                           {0, 1 / (b * b), 0},
                           {-a * c * std::cos(beta) * b * b / det, 0, a * a * b * b / det}};
  // B: a* along x; c* in the x-z plane at beta* = 60 degrees from a*.
  const double astar = 1 / (a * std::sin(beta)), cstar = 1 / (c * std::sin(beta));
  const double bm[3][3] = {{astar, 0, cstar * std::cos(M_PI - beta)}, {0, 1 / b, 0}, {0, 0, 1 / c}};
  const double t = 30 * M_PI / 180;
  const double u[3][3] = {{std::cos(t), -std::sin(t), 0}, {std::sin(t), std::cos(t), 0}, {0, 0, 1}};

  CrystalState& crystal = S().crystal;
  crystal.cell = {6, 8, 10, 90, 120, 90};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      crystal.B(i, j) = static_cast<float>(bm[i][j]);
      double ub = 0;
      for (int k = 0; k < 3; ++k) ub += u[i][k] * bm[k][j];
      crystal.UB(i, j) = static_cast<float>(ub);
    }
  }
  PRINT_MATRICES();
  const auto& l = console_->lines;
  ASSERT_EQ(l.size(), 14u);
  EXPECT_EQ(l[0], "");
  EXPECT_EQ(l[1], "Orientation Matrix:");
  EXPECT_EQ(l[5], "");
  EXPECT_EQ(l[6], "Metric Tensor:                         Recip Metric Tensor:");
  EXPECT_EQ(l[10], "B matrix     :                              U matrix:");
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(l[static_cast<std::size_t>(7 + i)].size(), 70u);
    const auto tensors = numbers(l[static_cast<std::size_t>(7 + i)]);
    const auto matrices = numbers(l[static_cast<std::size_t>(11 + i)]);
    const auto ub = numbers(l[static_cast<std::size_t>(2 + i)]);
    ASSERT_EQ(tensors.size(), 6u);
    ASSERT_EQ(matrices.size(), 6u);
    ASSERT_EQ(ub.size(), 3u);
    for (int j = 0; j < 3; ++j) {
      const auto J = static_cast<std::size_t>(j);
      EXPECT_NEAR(tensors[J], g[i][j], 2e-4);
      EXPECT_NEAR(tensors[J + 3], gs[i][j], 2e-5);
      EXPECT_NEAR(matrices[J], bm[i][j], 2e-5);
      EXPECT_NEAR(matrices[J + 3], u[i][j], 2e-5);
    }
  }
}

TEST_F(DisplayTest, ShowFindsItsKeysInOrder) {
  S().crystal.title = "Sub";
  command("SHOW");
  EXPECT_TRUE(console_->has_line(" OPTIONS FOR THE SHOW COMMAND ARE:"));
  EXPECT_TRUE(console_->has_line(
      "TITLE  WAVE  CENTER  DEVICE  DATA  MATFILE  DATFILE UB DEV_TYPES LIMITS COMM"));

  console_->lines.clear();
  command("SHOW subtitle");  // TITLE before UB
  EXPECT_EQ(console_->lines, std::vector<std::string>{"   Experiment Title is: Sub"});

  console_->lines.clear();
  command("SHOW CELL");
  ASSERT_EQ(console_->lines.size(), 2u);
  EXPECT_EQ(console_->lines[1].substr(0, 8), " Cell   ");

  console_->lines.clear();
  command("SHOW DEV_TYPES");
  EXPECT_TRUE(console_->has_line("  AVAILABLE DEVICES:"));
  console_->lines.clear();
  command("SHOW DEVICE");
  EXPECT_TRUE(console_->has_line("  Current Device is NONE:"));

  console_->lines.clear();
  command("SHOW MATFILE");
  EXPECT_EQ(console_->lines, std::vector<std::string>{" Mat File is: crystal.mat"});

  console_->lines.clear();
  command("SHOW FORMAT");  // MAT found inside the word
  EXPECT_EQ(console_->lines, std::vector<std::string>{" Mat File is: crystal.mat"});

  console_->lines.clear();
  command("SHOW DATFILE");
  EXPECT_EQ(console_->lines, std::vector<std::string>{" No Data File Is Set"});

  console_->lines.clear();
  command("SHOW XYZ");
  EXPECT_EQ(console_->lines, std::vector<std::string>{" OPTION NOT RECOGNISED"});
}

}  // namespace
}  // namespace dorvex
