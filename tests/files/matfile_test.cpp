// The orientation-matrix file: what the writer stores is read back field for field; hand-edited
// and damaged files load with warnings; a failed rewrite keeps the old file.
#include "geometry/matfile.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "common/state.hpp"
#include "support/recording_toolkit.hpp"
#include "support/temp_dir.hpp"

namespace dorvex {
namespace {

using dorvex_test::install_recording_toolkit;
using dorvex_test::RecordingToolkit;
using dorvex_test::TempDir;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void spit(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);) out.push_back(line);
  return out;
}

// Orthorhombic cell a, b, c turned by a rotation about z then x, built in double precision:
// B = diag(1/a, 1/b, 1/c), UB = U B.
Mat3 orthorhombic_ub(double a, double b, double c, double rz, double rx) {
  const double cz = std::cos(rz), sz = std::sin(rz), cx = std::cos(rx), sx = std::sin(rx);
  const double U[3][3] = {{cz, -sz, 0}, {cx * sz, cx * cz, -sx}, {sx * sz, sx * cz, cx}};
  const double inv[3] = {1 / a, 1 / b, 1 / c};
  Mat3 ub;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) ub(i, j) = static_cast<float>(U[i][j] * inv[j]);
  return ub;
}

class MatFile : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_program_state();
    tk = &install_recording_toolkit();
    S().shell.program_directory = tmp.dir();
    S().shell.data_directory = tmp.dir();
    S().shell.matfile_name = "crystal";
    MachineProfile& p = S().profile;
    p.motor[2].lower = -180;
    p.motor[2].upper = 180;
    p.motor[3].lower = -200;
    p.motor[3].upper = 200;
    p.motor[4].lower = -400;
    p.motor[4].upper = 400;
    S().crystal.UB = orthorhombic_ub(8.1234, 10.5678, 12.3456, 0.3, 0.2);
  }

  // A file holding `text`, loaded into a state that starts from `prepare`.
  int load(const std::string& text) {
    spit(matfile_path(), text);
    return READ_MATFILE();
  }

  TempDir tmp;
  RecordingToolkit* tk = nullptr;
};

// Every field of every record stored in the file takes a distinctive value.
void fill_everything(ProgramState& st) {
  CrystalState& c = st.crystal;
  c.title = "Orthorhombic test crystal, 120 K";
  c.wave_count = 2;
  c.lambda1 = 0.709300f;
  c.lambda2 = 0.713590f;
  c.ratio = 0.5f;
  CentringParameters& cp = st.centring;
  cp.two_theta_fixed = 1;
  cp.eta_refined = 1;
  cp.chi_final_steps = 31;
  cp.omega_final_steps = 41;
  cp.min_count_rate = 123.45f;
  cp.max_min_ratio = 2.5f;
  cp.max_time_per_step = 4.25f;
  cp.slit5 = 1.2345f;
  cp.slit6 = 2.3456f;
  cp.required_max_count = 678.9f;
  cp.eta = 0.4321f;
  cp.initial_omega_width_a = 1.1111f;
  cp.initial_omega_width_b = 0.2222f;
  cp.final_omega_width_a = 0.7777f;
  cp.final_omega_width_b = 0.3333f;
  cp.chi_width_coeff = 0.5555f;
  cp.final_omega_method = 1;
  DeviceSettings& d = st.device;
  d.type = 4;
  d.fixed_phi = 1;
  d.psi_max = 45.5f;
  d.chi_limited = 1;
  d.phi_limited = 1;
  d.chi_lower = -100.25f;
  d.chi_upper = 100.5f;
  d.phi_lower = -170.125f;
  d.phi_upper = 170.75f;
  d.gasket_angle = 12.5f;
  d.zaxis_angle = 33.25f;
  d.omega_lower = -50.5f;
  d.omega_upper = 60.25f;
  d.chi_pause = 2.5f;
  d.chi_pause_move = 30.5f;
  ReflectionList& list = st.list;
  list.count = 3;
  list.entry[0] = {1, -2, 3, {12.3456f, -0.1234f, 45.6789f, -123.4567f}, 2, 1, 12345};
  list.entry[1] = {0.25f, 4.5f, -7.75f, {33.0f, 1.5f, -80.0f, 170.0f}, 8, 0, 0};
  list.entry[2] = {-10, 0, 11, {-20.5f, 0.25f, 0.0f, -0.5f}, 4, 1, 999999};
  DataCollectionParameters& dc = st.datacol;
  dc.scan_type = 2;
  dc.psi_scans = 5;
  dc.step = 0.0125f;
  dc.time_per_step = 1.5f;
  dc.constant_precision = 1;
  dc.required_i_over_sigma = 20.5f;
  dc.max_scans = 4;
  dc.violations_mode = 2;
  dc.psi_interval = 7.25f;
  dc.reserve = 3.5f;
  dc.min_i_over_sigma = 2.75f;
  dc.multiple_psi = 1;
  for (int n = 1; n <= 10; ++n) {
    dc.shell_lower[static_cast<std::size_t>(n)] = 2.5f * static_cast<float>(n);
    dc.shell_upper[static_cast<std::size_t>(n)] = 2.5f * static_cast<float>(n) + 2.125f;
    dc.shell_selected[static_cast<std::size_t>(n)] = n % 2;
  }
  dc.index_limits = {-1, 1, 0, 1, -1, 0};
  dc.increment_order = {3, 1, 2};
  for (int n = 1; n <= 5; ++n) {
    dc.standards_in_use[static_cast<std::size_t>(n)] = n % 2;
    dc.standard_indices[static_cast<std::size_t>(n)] = {static_cast<float>(n),
                                                        static_cast<float>(-n),
                                                        static_cast<float>(2 * n)};
  }
  dc.standard_count = 3;
  dc.standard_interval = 50;
  dc.scan_width_a = 1.2345f;
  dc.scan_width_b = 0.5432f;
  dc.space_group_number = 62;
  dc.space_group_symbol = "P n m a";
}

TEST_F(MatFile, EveryFieldSurvivesWriteAndRead) {
  fill_everything(S());
  spit(matfile_path(), "");
  WRITE_MATFILE();
  const ProgramState written = S();

  reset_program_state();
  S().shell = written.shell;
  S().profile = written.profile;
  ASSERT_EQ(READ_MATFILE(), 0);
  const ProgramState& r = S();

  // Cell and volume are re-derived from UB (6 decimals of elements of about 0.1).
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(r.crystal.UB(i, j), written.crystal.UB(i, j), 5e-7);
  EXPECT_NEAR(r.crystal.cell[0], 8.1234, 2e-4);
  EXPECT_NEAR(r.crystal.cell[1], 10.5678, 2e-4);
  EXPECT_NEAR(r.crystal.cell[2], 12.3456, 3e-4);
  for (int i = 3; i < 6; ++i) EXPECT_NEAR(r.crystal.cell[static_cast<std::size_t>(i)], 90.0, 2e-3);
  EXPECT_NEAR(r.crystal.volume, 8.1234 * 10.5678 * 12.3456, 0.05);
  EXPECT_NEAR(r.crystal.B(0, 0), 1 / 8.1234, 1e-6);
  EXPECT_EQ(r.crystal.title, written.crystal.title);
  EXPECT_EQ(r.crystal.wave_count, 2);
  EXPECT_FLOAT_EQ(r.crystal.lambda1, 0.7093f);
  EXPECT_FLOAT_EQ(r.crystal.lambda2, 0.71359f);
  EXPECT_FLOAT_EQ(r.crystal.ratio, 0.5f);

  const CentringParameters& cp = r.centring;
  EXPECT_EQ(cp.two_theta_fixed, 1);
  EXPECT_EQ(cp.eta_refined, 1);
  EXPECT_EQ(cp.chi_final_steps, 31);
  EXPECT_EQ(cp.omega_final_steps, 41);
  EXPECT_EQ(cp.final_omega_method, 1);
  EXPECT_NEAR(cp.min_count_rate, 123.45, 5e-3);  // F8.2
  EXPECT_NEAR(cp.max_min_ratio, 2.5, 5e-3);
  EXPECT_NEAR(cp.max_time_per_step, 4.25, 5e-3);
  EXPECT_NEAR(cp.required_max_count, 678.9, 5e-3);
  EXPECT_NEAR(cp.initial_omega_width_a, 1.1111, 5e-5);  // F8.4
  EXPECT_NEAR(cp.initial_omega_width_b, 0.2222, 5e-5);
  EXPECT_NEAR(cp.slit5, 1.2345, 5e-5);
  EXPECT_NEAR(cp.slit6, 2.3456, 5e-5);
  EXPECT_NEAR(cp.chi_width_coeff, 0.5555, 5e-5);  // F10.4
  EXPECT_NEAR(cp.final_omega_width_a, 0.7777, 5e-5);
  EXPECT_NEAR(cp.final_omega_width_b, 0.3333, 5e-5);
  EXPECT_NEAR(cp.eta, 0.4321, 5e-5);

  const DeviceSettings& d = r.device;
  EXPECT_EQ(d.type, 4);
  EXPECT_EQ(d.fixed_phi, 1);
  EXPECT_EQ(d.chi_limited, 1);
  EXPECT_EQ(d.phi_limited, 1);
  EXPECT_FLOAT_EQ(d.psi_max, 45.5f);
  EXPECT_FLOAT_EQ(d.chi_lower, -100.25f);
  EXPECT_FLOAT_EQ(d.chi_upper, 100.5f);
  EXPECT_FLOAT_EQ(d.phi_lower, -170.125f);
  EXPECT_FLOAT_EQ(d.phi_upper, 170.75f);
  EXPECT_FLOAT_EQ(d.gasket_angle, 12.5f);
  EXPECT_FLOAT_EQ(d.zaxis_angle, 33.25f);
  EXPECT_FLOAT_EQ(d.omega_lower, -50.5f);
  EXPECT_FLOAT_EQ(d.omega_upper, 60.25f);
  EXPECT_FLOAT_EQ(d.chi_pause, 2.5f);
  EXPECT_FLOAT_EQ(d.chi_pause_move, 30.5f);  // F6.1
  EXPECT_EQ(d.restricted_range, 1);           // chi range of 200.75 degrees

  ASSERT_EQ(r.list.count, 3);
  for (std::size_t n = 0; n < 3; ++n) {
    const ReflectionEntry& a = r.list.entry[n];
    const ReflectionEntry& b = written.list.entry[n];
    EXPECT_NEAR(a.h, b.h, 5e-3);
    EXPECT_NEAR(a.k, b.k, 5e-3);
    EXPECT_NEAR(a.l, b.l, 5e-3);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(a.angles[i], b.angles[i], 5e-5);
    EXPECT_EQ(a.ref, b.ref);
    EXPECT_EQ(a.use, b.use);
    EXPECT_EQ(a.intensity, b.intensity);
  }

  const DataCollectionParameters& dc = r.datacol;
  const DataCollectionParameters& w = written.datacol;
  EXPECT_FLOAT_EQ(dc.scan_type, 2);
  EXPECT_FLOAT_EQ(dc.psi_scans, 5);
  EXPECT_NEAR(dc.step, 0.0125, 5e-5);           // F7.4
  EXPECT_NEAR(dc.time_per_step, 1.5, 0.05);     // F6.1
  EXPECT_FLOAT_EQ(dc.constant_precision, 1);
  EXPECT_NEAR(dc.required_i_over_sigma, 20.5, 0.05);
  EXPECT_FLOAT_EQ(dc.max_scans, 4);
  EXPECT_FLOAT_EQ(dc.violations_mode, 2);
  EXPECT_NEAR(dc.psi_interval, 7.25, 5e-3);     // F6.2
  EXPECT_NEAR(dc.reserve, 3.5, 0.05);
  EXPECT_NEAR(dc.min_i_over_sigma, 2.75, 5e-3);
  EXPECT_FLOAT_EQ(dc.multiple_psi, 1);
  for (std::size_t n = 1; n <= 10; ++n) {
    EXPECT_NEAR(dc.shell_lower[n], w.shell_lower[n], 5e-4);
    EXPECT_NEAR(dc.shell_upper[n], w.shell_upper[n], 5e-4);
    EXPECT_EQ(dc.shell_selected[n], w.shell_selected[n]);
  }
  EXPECT_EQ(dc.index_limits, w.index_limits);
  EXPECT_EQ(dc.increment_order, w.increment_order);
  for (std::size_t n = 1; n <= 5; ++n) {
    EXPECT_EQ(dc.standards_in_use[n], w.standards_in_use[n]);
    EXPECT_EQ(dc.standard_indices[n], w.standard_indices[n]);
  }
  EXPECT_EQ(dc.standard_count, 3);
  EXPECT_EQ(dc.standard_interval, 50);
  EXPECT_NEAR(dc.scan_width_a, 1.2345, 5e-5);
  EXPECT_NEAR(dc.scan_width_b, 0.5432, 5e-5);
  EXPECT_EQ(dc.space_group_number, 62);
  EXPECT_EQ(dc.space_group_symbol, "P n m a");
  EXPECT_TRUE(tk->take().empty()) << "a clean file loads without a message";
}

TEST_F(MatFile, LinesAreStoredInTheirFixedColumns) {
  fill_everything(S());
  spit(matfile_path(), "");
  WRITE_MATFILE();
  const std::vector<std::string> lines = lines_of(slurp(matfile_path()));
  ASSERT_GT(lines.size(), 40u);
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex("      THIS MAT FILE CREATED BY DORVEX ON  "
                           "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] \\d\\d:\\d\\d:\\d\\d \\d{4}")))
      << lines[0];
  EXPECT_EQ(lines[1], "      FILE NAME: crystal");
  EXPECT_EQ(lines[2], "TITLE Orthorhombic test crystal, 120 K" + std::string(28, ' '));
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(lines[4], "");
  EXPECT_EQ(lines[5].substr(0, 6), "CELL  ");
  EXPECT_EQ(lines[5].size(), 6u + 70u);
  EXPECT_EQ(lines[6].substr(0, 6), "UB    ");
  EXPECT_EQ(lines[11], "WAVEL     2  0.709300  0.713590  0.500000");
  EXPECT_EQ(lines[12], "SCANS1  123.45    2.50    4.25  678.90  1.1111  0.2222  1.2345  2.3456");
  EXPECT_EQ(lines[13], "SCANS2   31   41    1    1    1    0.5555    0.7777    0.3333    0.4321");
  EXPECT_EQ(lines[14],
            "DEVICE 4 1 1 1   45.500 -100.250  100.500 -170.125  170.750   12.500   33.250");
  EXPECT_EQ(lines[15], "HIGHT   -50.500   60.250   2.5  30.5");
  EXPECT_EQ(lines[18], "REFLECTION LIST START");
  EXPECT_EQ(lines[19], "NREFLN    3");
  EXPECT_EQ(lines[20],
            "LISTREF  1  1.00 -2.00  3.00   12.3456   -0.1234   45.6789 -123.4567  12345 2 1");
  EXPECT_EQ(lines[21],
            "LISTREF  2  0.25  4.50 -7.75   33.0000    1.5000  -80.0000  170.0000      0 8 0");
  EXPECT_EQ(lines[23], "REFLECTION LIST END");
  EXPECT_EQ(lines[26], "         DATA COLLECTION PARAMETERS");
  EXPECT_EQ(lines[28], "SGROUP   62P n m a" + std::string(13, ' '));
  EXPECT_EQ(lines[29], "DSCAN1  1.2345  0.5432");
  EXPECT_EQ(lines[30], "DSCAN2   2.0   5.0 0.0125   1.5   1.0  20.5   4.0   2.0  7.25   3.5  2.75"
                       "   1.0");
  EXPECT_EQ(lines[31], "HKLORD  -1   1   0   1  -1   0   3   1   2");
  EXPECT_EQ(lines[32], "ALLSTD    3   50");
  EXPECT_EQ(lines[33], "HKLST   1    1   -1    2    1");
  EXPECT_EQ(lines[38], "SHELL     1    2.500    4.625    1");
  EXPECT_EQ(lines.size(), 48u);

  // A value too wide for its field would be stored as asterisks and lost at the next load:
  // the file is not rewritten, and the line is shown.
  const std::string before = slurp(matfile_path());
  S().list.entry[1].h = 1000.0f;
  WRITE_MATFILE();
  EXPECT_EQ(slurp(matfile_path()), before);
  EXPECT_TRUE(tk->printed("MAT FILE NOT REWRITTEN: A VALUE IS TOO LARGE FOR ITS FIELD"));
  EXPECT_TRUE(tk->printed("LISTREF  2******"));
}

TEST_F(MatFile, DeviceWithoutHeightLineStillReadsOne) {
  S().device.type = 1;
  spit(matfile_path(), "");
  WRITE_MATFILE();
  EXPECT_EQ(slurp(matfile_path()).find("HIGHT"), std::string::npos);

  ASSERT_EQ(load("DEVICE 1 0 0 0\nHIGHT    -20.0    30.0  -1.0  10.0\n"), 0);
  EXPECT_FLOAT_EQ(S().device.omega_lower, -20.0f);
  EXPECT_FLOAT_EQ(S().device.omega_upper, 30.0f);
  EXPECT_FLOAT_EQ(S().device.chi_pause, 0.0f);  // a negative pause becomes 0
  EXPECT_FLOAT_EQ(S().device.chi_pause_move, 10.0f);
  ASSERT_EQ(load("HIGHT -400 400 5 -3\n"), 0);  // narrowed to the hardware omega limits
  EXPECT_FLOAT_EQ(S().device.omega_lower, -180.0f);
  EXPECT_FLOAT_EQ(S().device.omega_upper, 180.0f);
  EXPECT_FLOAT_EQ(S().device.chi_pause, 0.0f);  // a negative chi move clears both
  EXPECT_FLOAT_EQ(S().device.chi_pause_move, 0.0f);
}

TEST_F(MatFile, DeviceLimitsOnlyNarrowWhatTheHardwareLimits) {
  MachineProfile& p = S().profile;
  p.chi_limited = 1;
  p.motor[3].lower = -90;
  p.motor[3].upper = 90;
  S().device.chi_limited = 1;
  S().device.chi_lower = -90;
  S().device.chi_upper = 90;
  ASSERT_EQ(load("DEVICE 3 0 1 0 90 -120 60 0 0 0 0\n"), 0);
  EXPECT_FLOAT_EQ(S().device.chi_lower, -90.0f);
  EXPECT_FLOAT_EQ(S().device.chi_upper, 60.0f);
  EXPECT_EQ(S().device.chi_limited, 1);
  EXPECT_EQ(S().device.phi_limited, 0);
  EXPECT_EQ(S().device.restricted_range, 1);

  // A line that clears chi's flag cannot free a circle that the hardware limits.
  ASSERT_EQ(load("DEVICE 0 0 0 0 90 0 0 0 0 0 0\n"), 0);
  EXPECT_EQ(S().device.chi_limited, 1);
  EXPECT_EQ(S().device.restricted_range, 1);

  // Phi is free in hardware: the line's flag and limits are taken; 180.1 degrees is wide.
  ASSERT_EQ(load("device 0 0 0 1 90 0 0 -90.05 90.05 0 0\n"), 0);
  EXPECT_EQ(S().device.phi_limited, 1);
  EXPECT_FLOAT_EQ(S().device.phi_lower, -90.05f);
  EXPECT_EQ(S().device.restricted_range, 1);  // chi still 150 degrees
  p.chi_limited = 0;
  ASSERT_EQ(load("DEVICE 0 0 0 1 90 0 0 -90.05 90.05 0 0\n"), 0);
  EXPECT_EQ(S().device.chi_limited, 0);
  EXPECT_EQ(S().device.restricted_range, 0);
}

TEST_F(MatFile, HandEditedFileLoadsWithWarnings) {
  fill_everything(S());
  S().list.count = 2;
  const Mat3 old_ub = S().crystal.UB;
  const std::string text =
      "some notes the operator typed at the top\n"
      "title A crystal from the fridge\n"
      "cell      1.0 2.0 3.0 90 90 90 6.0\n"
      "ub       0.1 0.0 0.0\n"
      "Ub       0.0 0.2 0.0\n"
      "uB       0.0 0.0 0.25\n"
      "UB       9.0 9.0 9.0\n"
      "wavel 1 1.54184\n"
      "GARBAG 1 2 3\n"
      "SCANS1 50 abc\n"
      "nrefln 2\n"
      "LISTREF  1  1.00  0.00  0.00    8.0000    0.0000    0.0000    0.0000      0 0 1\n"
      "listref  9  0.00  1.00  0.00    9.0000    0.0000   90.0000    0.0000    100 1 1\n"
      "LISTREF  3  0.00  0.00  1.00   10.0000    0.0000    0.0000   90.0000      0 0 1\n"
      "LISTREF  4  1.00  1.00  1.00   11.0000    0.0000    0.0000   90.0000      0 0 1\n"
      "HKLST    7    1    1    1    1\n"
      "SHELL    2  3.0\n"
      "\x01\x02\xff\xfe binary junk \x7f\n";
  ASSERT_EQ(load(text), 0);
  const CrystalState& c = S().crystal;
  EXPECT_EQ(c.title, "A crystal from the fridge");  // columns 7 on
  EXPECT_FLOAT_EQ(c.UB(0, 0), 0.1f);
  EXPECT_FLOAT_EQ(c.UB(1, 1), 0.2f);
  EXPECT_FLOAT_EQ(c.UB(2, 2), 0.25f);
  EXPECT_NE(old_ub(0, 0), c.UB(0, 0));
  // The CELL line disagrees with UB; the cell of UB wins.
  EXPECT_NEAR(c.cell[0], 10.0, 1e-4);
  EXPECT_NEAR(c.cell[1], 5.0, 1e-4);
  EXPECT_NEAR(c.cell[2], 4.0, 1e-4);
  EXPECT_NEAR(c.volume, 200.0, 1e-2);
  EXPECT_EQ(c.wave_count, 1);
  EXPECT_FLOAT_EQ(c.lambda1, 1.54184f);
  EXPECT_FLOAT_EQ(c.lambda2, 0.71359f);  // missing values keep theirs
  EXPECT_FLOAT_EQ(S().centring.min_count_rate, 123.45f);  // the bad line changes nothing

  ASSERT_EQ(S().list.count, 2);
  EXPECT_FLOAT_EQ(S().list.entry[1].k, 1.0f);  // the number in the line does not place it
  EXPECT_EQ(S().list.entry[1].intensity, 100);
  EXPECT_FLOAT_EQ(S().list.entry[2].h, -10.0f);  // beyond NREFLN: not loaded
  EXPECT_FLOAT_EQ(S().datacol.shell_lower[2], 3.0f);
  EXPECT_FLOAT_EQ(S().datacol.shell_upper[2], 7.125f);  // kept

  const std::vector<std::string> out = tk->take();
  auto count = [&](std::string_view text_) {
    return std::count_if(out.begin(), out.end(),
                         [&](const std::string& l) { return l.find(text_) != std::string::npos; });
  };
  EXPECT_EQ(count("MORE THAN 3 UB LINES IN MAT FILE"), 1);
  EXPECT_EQ(count("FORMAT ERROR IN MAT FILE LINE WITH LABEL = SCANS1"), 1);
  EXPECT_EQ(count(" MATFILE: MORE REFLECTIONS THAN NLST"), 1);  // once per load
  EXPECT_EQ(count("FORMAT ERROR"), 1);
}

TEST_F(MatFile, ImpossibleListSizesAreKeptInsideTheTable) {
  S().list.count = 5;
  ASSERT_EQ(load("NREFLN 500\n"), 0);
  EXPECT_EQ(S().list.count, 0);  // no LISTREF line followed: cut to what was read
  ASSERT_EQ(load("NREFLN -3\nLISTREF  1  1.00  0.00  0.00    8.0000    0.0000    0.0000    "
                 "0.0000      0 0 1\n"),
            0);
  EXPECT_EQ(S().list.count, 0);
  EXPECT_TRUE(tk->printed(" MATFILE: MORE REFLECTIONS THAN NLST"));

  std::string text = "NREFLN   99\n";
  for (int n = 1; n <= 70; ++n)
    text += "LISTREF" + std::string(3 - std::to_string(n).size(), ' ') + std::to_string(n) +
            "  1.00  0.00  0.00    8.0000    0.0000    0.0000    0.0000      0 0 1\n";
  ASSERT_EQ(load(text), 0);
  EXPECT_EQ(S().list.count, kListSize);
}

TEST_F(MatFile, MissingFileIsReportedAndNotCreated) {
  S().shell.matfile_name = "absent";
  EXPECT_EQ(READ_MATFILE(), 1);
  EXPECT_TRUE(tk->printed("ERROR OPENING MAT FILE BY READ_MATFILE"));
  WRITE_MATFILE();
  EXPECT_TRUE(tk->printed("WRITE_MATFILE FAILED TO OPEN .MAT FILE CALLED absent"));
  EXPECT_FALSE(std::filesystem::exists(tmp.dir() + "absent.mat"));
}

TEST_F(MatFile, FailedRewriteKeepsTheOldFile) {
  spit(matfile_path(), "");
  WRITE_MATFILE();
  const std::string before = slurp(matfile_path());
  ASSERT_NE(before.find("NREFLN    0"), std::string::npos);

  // The temporary file cannot be created: a directory stands in its place.
  std::filesystem::create_directory(matfile_path() + ".tmp");
  S().list.count = 1;
  WRITE_MATFILE();
  EXPECT_TRUE(tk->printed("WRITE_MATFILE FAILED TO OPEN .MAT FILE CALLED crystal"));
  EXPECT_EQ(slurp(matfile_path()), before);
  std::filesystem::remove(matfile_path() + ".tmp");

  // The disk fills up in the middle of the write (a file-size limit in a child process).
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{100, 100};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    S().list.count = 1;
    WRITE_MATFILE();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(slurp(matfile_path()), before);
  EXPECT_FALSE(std::filesystem::exists(matfile_path() + ".tmp"));

  // A successful rewrite replaces the contents and leaves no temporary file behind.
  S().list.count = 1;
  WRITE_MATFILE();
  EXPECT_NE(slurp(matfile_path()).find("NREFLN    1"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(matfile_path() + ".tmp"));
}

TEST_F(MatFile, RewriteFollowsASymbolicLink) {
  const std::string real = tmp.dir() + "real.mat";
  spit(real, "");
  std::filesystem::create_symlink(real, matfile_path());
  WRITE_MATFILE();
  EXPECT_TRUE(std::filesystem::is_symlink(matfile_path()));
  EXPECT_NE(slurp(real).find("REFLECTION LIST START"), std::string::npos);
}

TEST_F(MatFile, ChoosingByNameLoadsWithoutQuestions) {
  fill_everything(S());
  spit(matfile_path(), "");
  WRITE_MATFILE();
  reset_program_state();
  tk = &install_recording_toolkit();
  S().shell.data_directory = tmp.dir();
  S().shell.program_directory = tmp.dir();

  EXPECT_EQ(MATFILE(1, "nothere"), 1);
  EXPECT_EQ(MATFILE(1, "crystal.mat"), 0);
  EXPECT_EQ(S().shell.matfile_name, "crystal");
  EXPECT_EQ(S().list.count, 3);
  EXPECT_EQ(S().shell.matfile_chosen, 1);
  EXPECT_TRUE(tk->questions.empty());
  // The user log follows the matrix file and carries the header of the session.
  const std::string log = slurp(tmp.dir() + "crystal.LOG");
  EXPECT_NE(log.find("DORVEX2010 Diffractometer Control Program"), std::string::npos);
  EXPECT_NE(log.find("DUMMY MODE"), std::string::npos);
  EXPECT_NE(log.find("SUCCESSFULLY OPENED MAT FILE:"), std::string::npos);
}

TEST_F(MatFile, StartUpPathIsCreatedThenLoaded) {
  const std::string sub = tmp.dir() + "run1";
  std::filesystem::create_directory(sub);
  S().shell.startup_matfile = sub + "/newcrystal.mat";
  S().list.count = 1;
  EXPECT_EQ(MATFILE(0, ""), 0);
  EXPECT_TRUE(tk->questions.empty());
  EXPECT_EQ(S().shell.data_directory, sub + "/");
  EXPECT_EQ(S().shell.matfile_name, "newcrystal");
  EXPECT_NE(slurp(sub + "/newcrystal.mat").find("NREFLN    1"), std::string::npos);
  EXPECT_TRUE(tk->printed("Created new matrix file: " + sub + "/newcrystal.mat"));
  EXPECT_TRUE(S().shell.startup_matfile.empty());

  // Given without extension, an existing file is loaded as it stands.
  S().list.count = 0;
  S().shell.matfile_chosen = 0;
  S().shell.startup_matfile = sub + "/newcrystal";
  EXPECT_EQ(MATFILE(0, ""), 0);
  EXPECT_EQ(S().list.count, 1);
}

TEST_F(MatFile, DialogCreatesAChosenNewFile) {
  // The file named is the file made: only the last ".mat" is taken off for the crystal's name.
  tk->browser_answers.push_back(tmp.dir() + "fresh.v2.mat");
  tk->yes_no_answers.push_back(true);
  EXPECT_EQ(MATFILE(0, ""), 0);
  EXPECT_EQ(S().shell.matfile_name, "fresh.v2");
  EXPECT_TRUE(std::filesystem::exists(tmp.dir() + "fresh.v2.mat"));
  EXPECT_FALSE(std::filesystem::exists(tmp.dir() + "fresh.mat"));
  ASSERT_EQ(tk->questions.size(), 2u);
  EXPECT_EQ(tk->questions[0], "DORVEX: Open Mat File");
  EXPECT_EQ(tk->questions[1], "Do you wish to create a new MAT file?");
  EXPECT_EQ(S().shell.matfile_chosen, 1);

  // Cancelled later in the run: the loaded file stays in use.
  EXPECT_EQ(MATFILE(0, ""), 0);
  EXPECT_EQ(S().shell.matfile_name, "fresh.v2");
}

// A later choice that comes to nothing (a new name not created, then the dialog cancelled)
// keeps the loaded file in use: the work that follows is saved where it belongs.
TEST_F(MatFile, AbandonedChoiceKeepsTheLoadedFile) {
  fill_everything(S());
  spit(matfile_path(), "");
  WRITE_MATFILE();
  ASSERT_EQ(MATFILE(1, "crystal"), 0);
  const std::string other = tmp.dir() + "elsewhere";
  std::filesystem::create_directory(other);
  tk->browser_answers = {other + "/unborn.mat", std::nullopt};
  tk->yes_no_answers = {false};
  EXPECT_EQ(MATFILE(0, ""), 0);
  EXPECT_EQ(S().shell.matfile_name, "crystal");
  EXPECT_EQ(S().shell.data_directory, tmp.dir());
  S().list.count = 1;
  WRITE_MATFILE();
  EXPECT_NE(slurp(tmp.dir() + "crystal.mat").find("NREFLN    1"), std::string::npos);
  EXPECT_FALSE(tk->printed("WRITE_MATFILE FAILED TO OPEN .MAT FILE CALLED unborn"));
}

TEST_F(MatFile, DeclinedDialogEndsInsteadOfAskingForEver) {
  // Cancel, do not try again, do not create ".mat": the choice ends with no file.
  EXPECT_EQ(MATFILE(0, ""), 1);
  EXPECT_EQ(S().shell.matfile_chosen, 0);
  ASSERT_EQ(tk->questions.size(), 3u);
  EXPECT_NE(tk->questions[1].find("YOU MUST SELECT A MAT FILE OR CREATE A NEW ONE"),
            std::string::npos);

  // Cancel, no retry, then Yes: a file named only ".mat" in the data directory.
  tk->yes_no_answers = {false, true};
  EXPECT_EQ(MATFILE(0, ""), 0);
  EXPECT_TRUE(std::filesystem::exists(tmp.dir() + ".mat"));
}

}  // namespace
}  // namespace dorvex

namespace dorvex {
namespace {

// The sample matrix file shipped with the program loads cleanly.
TEST(SampleMatFile, LoadsWithoutWarnings) {
  reset_program_state();
  RecordingToolkit& tk = install_recording_toolkit();
  TempDir tmp;
  S().shell.program_directory = tmp.dir();
  S().shell.data_directory = tmp.dir();  // a copy, so that no log lands in the source tree
  S().shell.matfile_name = "sample";
  std::filesystem::copy_file(std::string(DORVEX_SOURCE_DIR) + "/examples/sample.mat",
                             tmp.dir() + "sample.mat");
  ASSERT_EQ(READ_MATFILE(), 0);
  EXPECT_TRUE(tk.lines.empty());
  // The sample is the crystal the controller simulator carries (examples/sample_crystal.txt).
  EXPECT_EQ(S().list.count, 8);
  EXPECT_NEAR(S().crystal.cell[0], 8.0, 1e-3);
  EXPECT_NEAR(S().crystal.cell[1], 10.0, 1e-3);
  EXPECT_NEAR(S().crystal.cell[2], 12.0, 1e-3);
  EXPECT_NEAR(S().crystal.lambda1, 0.7093, 1e-6);
}

}  // namespace
}  // namespace dorvex

namespace dorvex {
namespace {

std::string sample_text() { return slurp(std::string(DORVEX_SOURCE_DIR) + "/examples/sample.mat"); }

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// Opening a file, as start-up does (the choice, then the closing rewrite of SET), leaves it
// byte for byte as it was; the first change is stored. The name keeps every full stop but
// that of ".mat".
TEST_F(MatFile, OpeningLeavesTheFileAsItWas) {
  const std::string path = tmp.dir() + "sample.v2.mat";
  const std::string original = sample_text();
  spit(path, original);
  const auto old_time = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24);
  std::filesystem::last_write_time(path, old_time);

  S().shell.startup_matfile = path;
  ASSERT_EQ(MATFILE(0, ""), 0);
  EXPECT_EQ(S().shell.matfile_name, "sample.v2");
  EXPECT_EQ(S().list.count, 8);
  WRITE_MATFILE();
  EXPECT_EQ(slurp(path), original);
  EXPECT_EQ(std::filesystem::last_write_time(path), old_time);
  EXPECT_FALSE(std::filesystem::exists(tmp.dir() + "sample.mat"));
  EXPECT_TRUE(tk->questions.empty());

  S().crystal.title = "Changed";
  WRITE_MATFILE();
  EXPECT_NE(slurp(path).find("TITLE Changed"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(path + ".bak"));  // an intact file needs no backup
}

// A protein's cell has a volume beyond F10.4: it is stored with fewer decimals, and the file
// reads back whole.
TEST_F(MatFile, LargeCellIsStoredAndReadBackWhole) {
  S().crystal.UB = orthorhombic_ub(79.1, 79.1, 37.9, 0.3, 0.2);
  spit(matfile_path(), "");
  WRITE_MATFILE();
  const std::string text = slurp(matfile_path());
  EXPECT_EQ(text.find('*'), std::string::npos) << text;
  S().crystal.volume = 0;
  ASSERT_EQ(READ_MATFILE(), 0);
  EXPECT_TRUE(tk->lines.empty()) << ::testing::PrintToString(tk->lines);
  EXPECT_EQ(S().shell.matfile_damaged, 0);
  // UB holds 4 to 5 significant digits (F10.6 of elements near 0.013).
  EXPECT_NEAR(S().crystal.volume, 79.1 * 79.1 * 37.9, 237133 * 2e-4);
}

// Damaged files: what can be read is read, each line that cannot is named with its number and
// text, and the file is rewritten only after a yes, with the original kept beside it.
TEST_F(MatFile, DamagedFilesAreReadAsFarAsTheyGo) {
  const std::string s = sample_text();
  std::string utf16 = "\xFF\xFE";
  for (char ch : s) utf16 += std::string{ch, '\0'};
  struct Case {
    const char* name;
    std::string text;
    int list_count;
    double cell_a;   // the sample's 8 A; 8.1234 is the crystal in memory before the load
    bool damaged;
    const char* said;  // a warning that must be shown ("" when none may be)
  };
  const std::vector<Case> cases = {
      {"CR line ends", replaced(s, "\n", "\r"), 8, 8.0, false, ""},
      {"CR LF line ends", std::regex_replace(s, std::regex("\n"), "\r\n"), 8, 8.0, false, ""},
      {"UTF-16", utf16, 8, 8.0, true, "UTF-16"},
      {"cut inside a line", s.substr(0, s.find("LISTREF  5") + 20), 4, 8.0, true,
       "ENDS IN THE MIDDLE OF LINE 24"},
      {"header only", s.substr(0, s.find("TITLE")), 0, 8.1234, true, "LINES MISSING"},
      {"UB row of nan", replaced(s, "0.050788  0.088078 -0.020268", "nan  1e308 3e38"), 8, 8.0,
       true, "FORMAT ERROR IN MAT FILE LINE WITH LABEL = UB     (LINE 8: nan  1e308 3e38)"},
      {"angle of 3e38", replaced(s, "    6.7773", "      3e38"), 7, 8.0, true,
       "FORMAT ERROR IN MAT FILE LINE WITH LABEL = LISTRE (LINE 22: "},
      {"no NREFLN line", replaced(s, "NREFLN    8\n", ""), 8, 8.0, true,
       "NO NREFLN LINE; 8 REFLECTIONS TAKEN"},
      {"no UB lines", std::regex_replace(s, std::regex("UB .*\n"), ""), 8, 8.0, true,
       "MATRIX IS MADE FROM THE CELL"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    SetUp();
    S().shell.matfile_name = "case" + std::to_string(i);
    spit(matfile_path(), c.text);
    ASSERT_EQ(READ_MATFILE(), 0);
    EXPECT_EQ(S().list.count, c.list_count);
    EXPECT_NEAR(S().crystal.cell[0], c.cell_a, 2e-3);
    EXPECT_EQ(S().shell.matfile_damaged, c.damaged ? 1 : 0);
    if (*c.said == '\0')
      EXPECT_TRUE(tk->lines.empty()) << tk->lines.front();
    else
      EXPECT_TRUE(tk->printed(c.said));
    if (!c.damaged) continue;

    S().crystal.title = "Changed";
    tk->yes_no_answers = {false};
    WRITE_MATFILE();
    EXPECT_TRUE(slurp(matfile_path()) == c.text);
    EXPECT_TRUE(tk->printed("MAT FILE NOT REWRITTEN: THE CHANGE IS HELD IN MEMORY ONLY"));
    tk->yes_no_answers = {true};
    WRITE_MATFILE();
    EXPECT_TRUE(slurp(matfile_path() + ".bak") == c.text);
    EXPECT_TRUE(tk->printed("THE ORIGINAL MAT FILE IS KEPT AS " + matfile_path() + ".bak"));
    tk->take();
    ASSERT_EQ(READ_MATFILE(), 0);  // what was written reads whole
    EXPECT_EQ(S().shell.matfile_damaged, 0);
    EXPECT_EQ(S().list.count, c.list_count);
  }
}

// A file that is no matrix file is not opened: nothing of it reaches memory, and start-up
// asks for another file.
TEST_F(MatFile, NoMatrixFileIsOpened) {
  std::string binary = sample_text();
  binary[100] = '\0';
  std::string huge;
  while (huge.size() <= (1u << 20)) huge += sample_text();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"binary", binary},
      {"prose", "Dear colleague,\nhere are the cell and the matrix you asked for.\n"},
      {"huge", huge},
  };
  for (const auto& [name, text] : cases) {
    SCOPED_TRACE(name);
    S().list.count = 3;
    spit(matfile_path(), text);
    EXPECT_EQ(READ_MATFILE(), 1);
    EXPECT_EQ(S().list.count, 3);
    EXPECT_TRUE(tk->printed("NOT A MAT FILE ("));
    EXPECT_EQ(slurp(matfile_path()), text);
  }
  std::filesystem::remove(matfile_path());
  std::filesystem::create_symlink("/dev/zero", matfile_path());
  EXPECT_EQ(READ_MATFILE(), 1);
  EXPECT_TRUE(tk->printed("NOT A MAT FILE (it is a device"));

  spit(tmp.dir() + "letter.mat", "Dear colleague,\n");
  S().shell.startup_matfile = tmp.dir() + "letter.mat";
  EXPECT_EQ(MATFILE(0, ""), 1);  // browser cancelled, no retry, no new file
  ASSERT_FALSE(tk->questions.empty());
  EXPECT_EQ(tk->questions[0], "DORVEX: Open Mat File");
  EXPECT_EQ(slurp(tmp.dir() + "letter.mat"), "Dear colleague,\n");
}

// A file the operator could not write in place is not replaced by a rename: the reason is
// given and a new file offered. A file that may be written keeps its mode and owner.
TEST_F(MatFile, ReadOnlyFilesAreNotReplaced) {
  namespace fs = std::filesystem;
  spit(matfile_path(), sample_text());
  ASSERT_EQ(READ_MATFILE(), 0);
  fs::permissions(matfile_path(), fs::perms::owner_read | fs::perms::group_read);
  S().crystal.title = "Changed";
  WRITE_MATFILE();  // the offer declined
  EXPECT_EQ(slurp(matfile_path()), sample_text());
  EXPECT_TRUE(tk->printed("MAT FILE NOT REWRITTEN, THE FILE IS READ-ONLY: "));
  EXPECT_TRUE(tk->printed("THE CHANGE IS HELD IN MEMORY ONLY"));
  ASSERT_EQ(tk->questions.size(), 1u);
  EXPECT_EQ(tk->questions[0], "SAVE THE CRYSTAL IN A NEW MAT FILE crystal_2.mat?");

  tk->yes_no_answers = {true};
  WRITE_MATFILE();
  EXPECT_EQ(slurp(tmp.dir() + "crystal.mat"), sample_text());
  EXPECT_EQ(S().shell.matfile_name, "crystal_2");
  EXPECT_NE(slurp(tmp.dir() + "crystal_2.mat").find("TITLE Changed"), std::string::npos);
  EXPECT_EQ(fs::status(tmp.dir() + "crystal.mat").permissions(),
            fs::perms::owner_read | fs::perms::group_read);

  if (::geteuid() != 0) GTEST_SKIP() << "the owner of a file can be kept only by the superuser";
  const std::string other = tmp.dir() + "crystal_2.mat";
  ASSERT_EQ(::chown(other.c_str(), 4242, 4343), 0);
  ASSERT_EQ(::chmod(other.c_str(), 0640), 0);
  S().crystal.title = "Changed again";
  WRITE_MATFILE();
  struct stat st {};
  ASSERT_EQ(::stat(other.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4242u);
  EXPECT_EQ(st.st_gid, 4343u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_NE(slurp(other).find("TITLE Changed again"), std::string::npos);
}

}  // namespace
}  // namespace dorvex
