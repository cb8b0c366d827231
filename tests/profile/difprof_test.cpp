// READ_DIFPROF and the controller families' motor checks, on profiles written into a temporary
// program directory.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "files/difprof.hpp"
#include "support/recording_toolkit.hpp"

namespace dorvex {
namespace {

namespace fs = std::filesystem;
using dorvex_test::RecordingToolkit;

// `text` placed so that it starts in column `col` (1-based) of `line`.
std::string at(std::string line, int col, const std::string& text) {
  const auto start = static_cast<std::size_t>(col - 1);
  if (line.size() < start + text.size()) line.resize(start + text.size(), ' ');
  line.replace(start, text.size(), text);
  return line;
}

std::string right(const std::string& text, int width) {
  return std::string(static_cast<std::size_t>(std::max<int>(0, width - int(text.size()))), ' ') +
         text;
}
std::string r10(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4f", v);
  return right(buf, 10);
}
std::string r10(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return right(buf, 10);
}
std::string i5(long v) { return right(std::to_string(v), 5); }

// "MOTORn a," and ten 10-column reals right after the comma.
std::string motor_line(int n, const std::string& axis, std::vector<double> v) {
  std::string line = "MOTOR" + std::to_string(n) + " " + axis + ",";
  for (double x : v) line += r10(x);
  return line;
}

std::string config_line(std::vector<long> v) {
  std::string line = "CONFIG";
  for (long x : v) line += i5(x);
  return line;
}

std::string control_line(int type) { return at("CONTROL", 8, right(std::to_string(type), 10)); }

// A complete SMC9300 machine: four circles, slits not motorised.
std::vector<std::string> base_profile() {
  return {
      control_line(7),
      motor_line(1, "1", {1000, 1, 2, 3, 4, -10, 120}),
      motor_line(2, "2", {1000, 1, 2, 3, 4, -60, 80, 45}),
      motor_line(3, "3", {500, 1, 2, 3, 4, 0, 0}),
      motor_line(4, "4", {100, 1, 2, 3, 4, 0, 0}),
      config_line({1, -1, 1, -1, 0, 0, 0, 0, 0, 0, 250, 1}),
  };
}

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_program_state();
    dir_ = fs::temp_directory_path() /
           ("dorvex_profile_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    S().shell.program_directory = dir_.string() + "/";
    S().shell.data_directory = dir_.string() + "/";
    console_ = &dorvex_test::install_recording_toolkit();
  }
  void TearDown() override { fs::remove_all(dir_); }

  void write_profile(const std::vector<std::string>& lines) {
    std::ofstream out(dir_ / "DIFPROF.DAT", std::ios::binary);
    for (const auto& l : lines) out << l << '\n';
  }
  // Reads the profile; true when no fatal error was reported.
  bool read(const std::vector<std::string>& lines) {
    write_profile(lines);
    READ_DIFPROF();
    return S().shell.error_flag == 0;
  }
  // The one error reported, as the installation log records it (the error box shows it
  // without its leading blanks).
  std::string only_error() const {
    if (console_->errors.size() != 1)
      return "<" + std::to_string(console_->errors.size()) + " errors>";
    std::ifstream log(dir_ / "dorvex.log");
    std::string line, last;
    while (std::getline(log, line))
      if (!line.empty()) last = line;
    return last;
  }

  fs::path dir_;
  RecordingToolkit* console_ = nullptr;
};

TEST_F(ProfileTest, SampleProfilesLoadWithoutComplaint) {
  const fs::path examples = fs::path(DORVEX_SOURCE_DIR) / "examples";
  const std::vector<std::pair<std::string, int>> samples = {
      {"DIFPROF_SMC9000.DAT", 1}, {"DIFPROF_SMC9300.DAT", 7}, {"DIFPROF_STADI4.DAT", 2},
      {"DIFPROF_SIN10.DAT", 3},   {"DIFPROF_P4.DAT", 6},      {"DIFPROF.DAT", 7},
      {"DIFPROF_GEARED.DAT", 7}};
  for (const auto& [name, type] : samples) {
    SCOPED_TRACE(name);
    reset_program_state();
    S().shell.program_directory = dir_.string() + "/";
    S().shell.data_directory = dir_.string() + "/";
    console_->lines.clear();
    fs::copy_file(examples / name, dir_ / "DIFPROF.DAT", fs::copy_options::overwrite_existing);
    console_->errors.clear();
    READ_DIFPROF();
    EXPECT_EQ(S().shell.error_flag, 0) << only_error();
    EXPECT_TRUE(console_->lines.empty()) << console_->lines.front();
    EXPECT_EQ(S().profile.interface_type, type);
    for (int m = 1; m <= 4; ++m) EXPECT_TRUE(S().profile.motor_present(m)) << m;
    EXPECT_GT(S().profile.motor[1].steps_per_degree, 0.0f);
    // Park positions must lie inside the limits, with the detector clear of the beam.
    EXPECT_GT(S().profile.park[1], 3.0f);
    EXPECT_GE(S().profile.park[1], S().profile.motor[1].lower);
    EXPECT_LE(S().profile.park[1], S().profile.motor[1].upper);
  }
  std::ifstream a(examples / "DIFPROF.DAT"), b(examples / "DIFPROF_SMC9300.DAT");
  std::stringstream sa, sb;
  sa << a.rdbuf();
  sb << b.rdbuf();
  // The default profile is the SMC9300 one, with the omega motor reading the circle and
  // 2theta free to -50 degrees.
  std::string expected = sb.str();
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"CONFIG    1    1    1    1    0", "CONFIG    1    1    1    1    1"},
           {"500.00    -10.00    120.00", "500.00    -50.00    120.00"}}) {
    const auto at = expected.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    expected.replace(at, from.size(), to);
  }
  auto keys = [](const std::string& text) {
    std::string out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
      if (l.size() >= 6 && l.compare(0, 6, "      ") != 0) out += l + "\n";
    return out;
  };
  EXPECT_EQ(keys(sa.str()), keys(expected));
}

TEST_F(ProfileTest, DefaultSampleDescribesTheSmc9300Machine) {
  fs::copy_file(fs::path(DORVEX_SOURCE_DIR) / "examples" / "DIFPROF.DAT", dir_ / "DIFPROF.DAT");
  READ_DIFPROF();
  ASSERT_EQ(S().shell.error_flag, 0);
  const MachineProfile& p = S().profile;
  EXPECT_FLOAT_EQ(p.motor[1].lower, -50.0f);
  EXPECT_TRUE(p.omega_coupled());
  EXPECT_FLOAT_EQ(p.motor[1].upper, 120.0f);
  EXPECT_EQ(p.chi_limited, 0);
  EXPECT_EQ(p.phi_limited, 0);
  EXPECT_TRUE(p.slits_motorised());
  EXPECT_TRUE(p.motor_present(5));
  EXPECT_TRUE(p.motor_present(6));
  EXPECT_EQ(p.axis_count, 6);
  for (int k = 1; k <= 6; ++k) EXPECT_EQ(p.axis_motor[static_cast<std::size_t>(k)], k);
  // The working records start from the machine's values.
  EXPECT_FLOAT_EQ(S().device.omega_lower, p.motor[2].lower);
  EXPECT_FLOAT_EQ(S().device.omega_upper, p.motor[2].upper);
  EXPECT_EQ(S().crystal.wave_count, 2);
  EXPECT_FLOAT_EQ(S().crystal.lambda1, 0.7093f);
  EXPECT_FLOAT_EQ(S().centring.min_count_rate, 20.0f);
  EXPECT_EQ(S().centring.omega_final_steps, 31);
  EXPECT_EQ(S().datacol.standard_indices[1][0], 2.0f);
  EXPECT_EQ(S().datacol.standards_in_use[3], 1);
  EXPECT_FLOAT_EQ(S().datacol.shell_upper[5], 55.0f);
  EXPECT_EQ(S().datacol.space_group_symbol, "P -1");
  EXPECT_EQ(p.ubtran_count, 3);
  EXPECT_EQ(p.ubtran[1].name, "A<->B");
  EXPECT_FLOAT_EQ(p.ubtran[1].m(0, 1), 1.0f);
  EXPECT_FLOAT_EQ(p.ubtran[1].m(2, 2), -1.0f);
}

TEST_F(ProfileTest, EveryKeywordIsReadFromItsColumns) {
  auto lines = base_profile();
  lines.push_back("goncon" + r10(1.25) + r10(-2.5));
  std::string scans1 = "SCANS1";
  for (double v : {10.0, 2.5, 6.0, 400.0, 0.9, 0.45, 1.5, 2.5}) scans1 += r10(v);
  lines.push_back(scans1);
  lines.push_back("SCANS2" + i5(19) + i5(41) + i5(1) + i5(1) + i5(0) + r10(0.4) + r10(0.7) +
                  r10(0.2) + r10(0.35));
  lines.push_back("wavel " + i5(2) + r10(1.5406) + r10(1.5444) + r10(0.5));
  std::string view = "VIEW  ";
  for (int i = 1; i <= 9; ++i) view += r10(i);
  view += "   12.5";  // the tenth field: only columns 97-100 are read ("   1")
  lines.push_back(view);
  lines.push_back("FILMD " + r10(57.3));
  lines.push_back("PARK  " + r10(5) + r10(2.5) + r10(0) + r10(0) + r10(1.5));
  lines.push_back("OFFSET" + r10(0.01) + r10(-0.02));
  lines.push_back("PHOTO " + r10(1) + r10(2) + r10(3) + r10(4) + r10(5));
  lines.push_back("DIFNAMTest machine   ");
  lines.push_back("COMPOR " + i5(2) + i5(3) + i5(19200) + i5(2) + i5(7) + i5(2) + i5(2) + i5(9) +
                  i5(500) + i5(-5));
  // Nine 7-column reals with 5 implied decimals, then the name from column 70.
  lines.push_back("UBTRAN" "  10000" "      0" "      0" "      0" "-100000" "      0" "      0"
                  "      0" "    1.5" "HALF A");
  lines.push_back("SGROUP   14P 1 21/c 1");
  lines.push_back("DSCAN1 0.9, 0.4");
  lines.push_back("DSCAN2 2 3 0.01 0.5 1 20 4 1 10.0 0 3 1");
  lines.push_back("HKLORD -1 5 0 6 -7 0 3 1 2");
  lines.push_back("ALLSTD 3 50");
  lines.push_back("hklst   2    1   -2    3    1");
  lines.push_back("SHELL     4   10.000   20.500    1");
  lines.push_back(" SHELL    9    1.000    2.000    1");
  ASSERT_TRUE(read(lines)) << only_error();

  const MachineProfile& p = S().profile;
  EXPECT_FLOAT_EQ(p.goncon[0], 1.25f);
  EXPECT_FLOAT_EQ(p.goncon[1], -2.5f);
  EXPECT_EQ(p.sense[1], 1.0f);
  EXPECT_EQ(p.sense[2], -1.0f);
  EXPECT_EQ(p.sense[4], -1.0f);
  EXPECT_EQ(p.shutter_delay_ms(), 250);
  EXPECT_TRUE(p.shutter_readable());
  EXPECT_FLOAT_EQ(p.view[8], 9.0f);
  EXPECT_FLOAT_EQ(p.view[9], 1.0f);
  EXPECT_FLOAT_EQ(p.film_distance, 57.3f);
  EXPECT_FLOAT_EQ(p.park[2], 2.5f);
  EXPECT_FLOAT_EQ(p.park[5], 1.5f);
  EXPECT_FLOAT_EQ(p.offset[2], -0.02f);
  EXPECT_FLOAT_EQ(p.photo[4], 5.0f);
  EXPECT_EQ(p.difnam, "Test machine");
  // Terminator 9 becomes CR LF (3); the input terminator stays; a negative delay becomes 0.
  EXPECT_EQ(p.compor[1], 2);
  EXPECT_EQ(p.compor[3], 19200);
  EXPECT_EQ(p.compor[7], 2);
  EXPECT_EQ(p.compor[8], 3);
  EXPECT_EQ(p.compor[9], 500);
  EXPECT_EQ(p.compor[10], 0);
  ASSERT_EQ(p.ubtran_count, 1);
  EXPECT_FLOAT_EQ(p.ubtran[0].m(0, 0), 0.1f);
  EXPECT_FLOAT_EQ(p.ubtran[0].m(1, 1), -1.0f);
  EXPECT_FLOAT_EQ(p.ubtran[0].m(2, 2), 1.5f);
  EXPECT_EQ(p.ubtran[0].name, "HALF A");

  const CentringParameters& c = S().centring;
  EXPECT_FLOAT_EQ(c.min_count_rate, 10.0f);
  EXPECT_FLOAT_EQ(c.max_min_ratio, 2.5f);
  EXPECT_FLOAT_EQ(c.max_time_per_step, 6.0f);
  EXPECT_FLOAT_EQ(c.required_max_count, 400.0f);
  EXPECT_FLOAT_EQ(c.initial_omega_width_a, 0.9f);
  EXPECT_FLOAT_EQ(c.initial_omega_width_b, 0.45f);
  EXPECT_FLOAT_EQ(c.slit5, 1.5f);
  EXPECT_FLOAT_EQ(c.slit6, 2.5f);
  EXPECT_EQ(c.chi_final_steps, 19);
  EXPECT_EQ(c.omega_final_steps, 41);
  EXPECT_TRUE(c.parabola());
  EXPECT_EQ(c.two_theta_fixed, 1);
  EXPECT_EQ(c.eta_refined, 0);
  EXPECT_FLOAT_EQ(c.chi_width_coeff, 0.4f);
  EXPECT_FLOAT_EQ(c.final_omega_width_a, 0.7f);
  EXPECT_FLOAT_EQ(c.final_omega_width_b, 0.2f);
  EXPECT_FLOAT_EQ(c.eta, 0.35f);

  EXPECT_EQ(S().crystal.wave_count, 2);
  EXPECT_FLOAT_EQ(S().crystal.lambda2, 1.5444f);
  EXPECT_FLOAT_EQ(S().crystal.ratio, 0.5f);

  const DataCollectionParameters& d = S().datacol;
  EXPECT_EQ(d.space_group_number, 14);
  EXPECT_EQ(d.space_group_symbol, "P 1 21/c 1");
  EXPECT_FLOAT_EQ(d.scan_width_a, 0.9f);
  EXPECT_FLOAT_EQ(d.scan_width_b, 0.4f);
  EXPECT_FLOAT_EQ(d.scan_type, 2.0f);
  EXPECT_FLOAT_EQ(d.step, 0.01f);
  EXPECT_FLOAT_EQ(d.psi_interval, 10.0f);
  EXPECT_FLOAT_EQ(d.multiple_psi, 1.0f);
  EXPECT_EQ(d.index_limits[0], -1);
  EXPECT_EQ(d.index_limits[4], -7);
  EXPECT_EQ(d.increment_order[0], 3);
  EXPECT_EQ(d.standard_count, 3);
  EXPECT_EQ(d.standard_interval, 50);
  EXPECT_EQ(d.standard_indices[2][1], -2.0f);
  EXPECT_EQ(d.standards_in_use[2], 1);
  EXPECT_FLOAT_EQ(d.shell_lower[4], 10.0f);
  EXPECT_FLOAT_EQ(d.shell_upper[4], 20.5f);
  EXPECT_EQ(d.shell_selected[4], 1);
  EXPECT_FLOAT_EQ(d.shell_upper[9], 2.0f);
  EXPECT_TRUE(console_->lines.empty());
}

TEST_F(ProfileTest, LaterLinesOverwriteAndCountOneDropsTheRatio) {
  auto lines = base_profile();
  lines.push_back("DIFNAMFirst name");
  lines.push_back("DIFNAMSecond name");
  lines.push_back("WAVEL " + i5(1) + r10(0.7107) + r10(0.7136) + r10(0.5));
  ASSERT_TRUE(read(lines));
  EXPECT_EQ(S().profile.difnam, "Second name");
  EXPECT_EQ(S().profile.wave_count, 1);
  EXPECT_EQ(S().profile.ratio, 0.0f);
  EXPECT_EQ(S().crystal.ratio, 0.0f);
}

TEST_F(ProfileTest, OnlyTenTransformationsAreKept) {
  auto lines = base_profile();
  for (int i = 1; i <= 11; ++i)
    lines.push_back(at("UBTRAN 1.0000 0.0000 0.0000 0.0000 1.0000 0.0000 0.0000 0.0000 1.0000",
                       70, "T" + std::to_string(i)));
  ASSERT_TRUE(read(lines));
  EXPECT_EQ(S().profile.ubtran_count, 10);
  EXPECT_EQ(S().profile.ubtran[9].name, "T10");
  EXPECT_TRUE(console_->lines.empty());
}

TEST_F(ProfileTest, LowerCaseKeywordsExceptControl) {
  auto lines = base_profile();
  lines[0] = at("control", 8, "         7");
  lines.push_back("config    1    1    1    1");
  ASSERT_FALSE(read(lines));
  EXPECT_TRUE(console_->has_line(" **** UNRECOGNISED KEYWORD CONTRO IN PROFILE FILE - IGNORED"));
  EXPECT_EQ(only_error(),
            " ***** ERROR IN DIFPROF.DAT. INTERFACE NOT SPECIFIED"
            "                ****PROGRAM HALTED****");

  SetUp();
  lines[0] = at("Control", 8, "         7");
  ASSERT_FALSE(read(lines));
  EXPECT_TRUE(console_->has_line(" **** UNRECOGNISED KEYWORD CONTRO IN PROFILE FILE - IGNORED"));

  SetUp();
  lines[0] = at("contRoL", 8, "         7");  // only the seventh letter must be an upper-case L
  EXPECT_TRUE(read(lines)) << only_error();
  EXPECT_EQ(S().profile.interface_type, 7);
}

TEST_F(ProfileTest, RequiredMotors) {
  auto without = [](std::vector<std::string> lines, const std::string& prefix) {
    std::erase_if(lines, [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    return lines;
  };
  // Motors 5, 7 and 8 are never required; motor 6 only with motorised slits.
  EXPECT_TRUE(read(base_profile()));
  EXPECT_FALSE(S().profile.motor_present(5));

  for (int m = 1; m <= 4; ++m) {
    SetUp();
    EXPECT_FALSE(read(without(base_profile(), "MOTOR" + std::to_string(m))));
    EXPECT_EQ(only_error(), "  ***** PARAMETERS FOR MOTOR " + std::to_string(m) +
                                " NOT RECORDED                ****PROGRAM HALTED****");
  }

  SetUp();
  auto slits = base_profile();
  slits.push_back(config_line({1, 1, 1, 1, 0, 0, 0, 1}));
  EXPECT_FALSE(read(slits));
  EXPECT_EQ(only_error(),
            "  ***** PARAMETERS FOR MOTOR 6 NOT RECORDED                ****PROGRAM HALTED****");

  SetUp();
  slits.push_back(motor_line(6, "6", {100, 0, 0, 0, 0, 0.1, 10}));
  EXPECT_TRUE(read(slits)) << only_error();
  EXPECT_TRUE(S().profile.motor_present(6));
}

TEST_F(ProfileTest, MotorNumbersOutsideOneToEightAreIgnored) {
  auto lines = base_profile();
  lines.push_back(motor_line(9, "9", {100}));
  lines.push_back("MOTOR  ,    100.0");
  ASSERT_TRUE(read(lines));
  EXPECT_TRUE(console_->has_line(" ****UNRECOGNISED MOTOR NUMBER 9 IN PROFILE FILE - IGNORED"));
  EXPECT_TRUE(console_->has_line(" ****UNRECOGNISED MOTOR NUMBER 0 IN PROFILE FILE - IGNORED"));
  EXPECT_FALSE(S().profile.motor_present(9));
}

TEST_F(ProfileTest, MonochromatorCorrection) {
  // Computed here in double precision: factor * (asin(l2/l1 * sin(|m|/2)) - m/2).
  const double m = -12.16, l1 = 0.70930, l2 = 0.71359;
  const double rad = 3.14159265358979323846 / 180.0;
  const double theta_m = std::fabs(m) / 2 * rad;
  const double expected = 2.0 * (std::asin(l2 / l1 * std::sin(theta_m)) / rad - m / 2);

  auto lines = base_profile();
  lines.push_back(config_line({1, 1, 1, 1, 0, 0, 1}));
  lines.push_back("WAVEL " + i5(2) + r10(l1, 5) + r10(l2, 5) + r10(0.5));
  lines.push_back("MONOC " + r10(m) + r10(9.9) + i5(2));
  ASSERT_TRUE(read(lines));
  EXPECT_NEAR(S().profile.monoc_correction, expected, 1e-4);

  // A declared monochromator without its angle: reported, the correction is left alone.
  SetUp();
  S().profile.monoc_correction = 0.25f;
  lines.back() = "MONOC " + r10(0) + r10(0) + i5(1);
  ASSERT_TRUE(read(lines));
  EXPECT_TRUE(console_->has_line(" ***** ERROR IN MONOCHROMATOR INFORMATION"));
  EXPECT_EQ(S().profile.monoc_correction, 0.25f);

  // Factor 0: no correction.
  SetUp();
  S().profile.monoc_correction = 0.25f;
  lines.back() = "MONOC " + r10(m) + r10(0) + i5(0);
  ASSERT_TRUE(read(lines));
  EXPECT_EQ(S().profile.monoc_correction, 0.0f);

  // No first wavelength: no angle to compute, reported instead of a NaN correction.
  SetUp();
  lines.erase(lines.end() - 2);
  lines.back() = "MONOC " + r10(m) + r10(0) + i5(1);
  ASSERT_TRUE(read(lines));
  EXPECT_TRUE(console_->has_line(" ***** ERROR IN MONOCHROMATOR INFORMATION"));
  EXPECT_FALSE(std::isnan(S().profile.monoc_correction));
}

TEST_F(ProfileTest, NoShutterDisablesTheShutterReadBack) {
  S().shell.operating_mode = MODE_NORMAL;
  auto lines = base_profile();
  lines.push_back("noshut");
  ASSERT_TRUE(read(lines));
  EXPECT_EQ(S().profile.no_shutter, 1);
  EXPECT_FALSE(S().profile.shutter_readable());
  EXPECT_EQ(S().status.shutter, "Shutter: disabled");
}

TEST_F(ProfileTest, FatalMessages) {
  READ_DIFPROF();  // no file at all
  EXPECT_EQ(only_error(), "ERROR OPENING DIFFRACTOMETER PROFILE FILE");

  SetUp();
  auto lines = base_profile();
  lines.push_back(config_line({1, 1, 0, 1}));
  EXPECT_FALSE(read(lines));
  EXPECT_EQ(only_error(), " ***** FATAL ERROR READING PARITY  DATA IN DIFPROF FILE");

  SetUp();
  lines.back() = "CONFIG    1    1    x    1";
  EXPECT_FALSE(read(lines));
  EXPECT_EQ(only_error(), "ERROR READING DIFFRACTOMETER PROFILE FILE, THE LAST LINE READ IN WAS: "
                          "CONFIG    1    1    x    1");

  SetUp();
  lines.back() = control_line(5);
  EXPECT_FALSE(read(lines));
  EXPECT_NE(only_error().find("INTERFACE TYPE 5"), std::string::npos);
}

TEST_F(ProfileTest, UnreadableLinesHaltWithTheLineQuoted) {
  const std::vector<std::string> bad = {
      "MOTOR1 1  1000.0",                   // no comma before the values
      "MOTORX 1,    1000.0",                // motor number not a digit
      "CONTROL9999999999",                 // beyond a 32-bit integer
      "WAVEL     1  1.0E+99",               // beyond a 32-bit real
      "GONCON   1.0.0",                     // not a number
      "HKLORD 1 2 3.5",                     // an index limit must be whole
      "DSCAN2 1 2 abc",
      std::string("FILMD    ") + '\x01' + "\xff" + "7",  // binary bytes in a field
  };
  for (const std::string& line : bad) {
    SCOPED_TRACE(line);
    SetUp();
    auto lines = base_profile();
    lines.push_back(line);
    EXPECT_FALSE(read(lines));
    ASSERT_EQ(console_->errors.size(), 1u);
    EXPECT_EQ(only_error().rfind(
                  "ERROR READING DIFFRACTOMETER PROFILE FILE, THE LAST LINE READ IN WAS: ", 0),
              0u);
    // The quoted line never carries control characters to the console.
    for (char c : console_->errors[0]) EXPECT_GE(static_cast<unsigned char>(c), 32u);
  }
}

TEST_F(ProfileTest, AwkwardButReadableFiles) {
  auto lines = base_profile();
  for (auto& l : lines) l += "\r";  // CR LF endings
  lines.push_back("      comment with binary \x01\x02\xfe bytes after six blanks");
  lines.push_back(std::string("\x7f\x80garbage"));
  lines.push_back("FILMD " + r10(60) + std::string(5000, '9'));  // overlong line
  lines.push_back("");
  ASSERT_TRUE(read(lines)) << only_error();
  EXPECT_FLOAT_EQ(S().profile.film_distance, 60.0f);
  EXPECT_EQ(S().profile.interface_type, 7);
  ASSERT_EQ(console_->lines.size(), 1u);
  EXPECT_EQ(console_->lines[0], " **** UNRECOGNISED KEYWORD _?GARB IN PROFILE FILE - IGNORED");
}

// ---- motor checks of the controller families ------------------------------------------------

TEST_F(ProfileTest, SmcMotorDefaultsAndLimitedCircles) {
  auto lines = base_profile();
  lines[1] = motor_line(1, "1", {1000, 1, 2, 3, 4, 0.5, -0.5});
  lines[2] = motor_line(2, "2", {1000, 1, 2, 3, 4, 0, 0, 0.9});
  lines[3] = motor_line(3, "3", {500, 1, 2, 3, 4, -0.02, 0});
  lines[4] = motor_line(4, "4", {100, 11, 12, 13, 14, -0.01, 0.01});
  ASSERT_TRUE(read(lines));
  const MachineProfile& p = S().profile;
  EXPECT_FLOAT_EQ(p.motor[1].lower, -50.0f);
  EXPECT_FLOAT_EQ(p.motor[1].upper, 90.0f);
  EXPECT_FLOAT_EQ(p.motor[2].lower, -90.0f);
  EXPECT_FLOAT_EQ(p.motor[2].upper, 90.0f);
  EXPECT_FLOAT_EQ(p.clearance_angle, 40.0f);
  EXPECT_EQ(p.chi_limited, 1);
  EXPECT_EQ(p.phi_limited, 0);
  EXPECT_FLOAT_EQ(p.motor[4].steps_per_degree, 100.0f);
  EXPECT_FLOAT_EQ(p.motor[4].p[0], 11.0f);
  EXPECT_FLOAT_EQ(p.motor[4].p[3], 14.0f);
  // The device limits start as the hardware limits.
  EXPECT_EQ(S().device.chi_limited, 1);
  EXPECT_FLOAT_EQ(S().device.chi_lower, -0.02f);
  EXPECT_FLOAT_EQ(S().device.omega_lower, -90.0f);
  EXPECT_EQ(S().device.restricted_range, 1);
}

TEST_F(ProfileTest, SmcAxisMap) {
  auto lines = base_profile();
  lines[3] = motor_line(3, "7", {500, 1, 2, 3, 4});
  lines[4] = "MOTOR4," + r10(100);  // no axis character: the motor number is the axis
  ASSERT_TRUE(read(lines));
  EXPECT_EQ(S().profile.axis_motor[7], 3);
  EXPECT_EQ(S().profile.axis_motor[4], 4);
  EXPECT_EQ(S().profile.axis_motor[3], 0);
  EXPECT_EQ(S().profile.axis_count, 4);

  // A MOTOR line given twice replaces the first one, its axis included.
  SetUp();
  lines.push_back(motor_line(3, "5", {500}));
  ASSERT_TRUE(read(lines)) << only_error();
  EXPECT_EQ(S().profile.axis_motor[7], 0);
  EXPECT_EQ(S().profile.axis_motor[5], 3);
  EXPECT_EQ(S().profile.axis_count, 4);

  for (const std::string& axis : {std::string("1"), std::string("T")}) {
    SetUp();
    auto clash = base_profile();
    clash[2] = motor_line(2, axis, {1000});
    EXPECT_FALSE(read(clash));
    EXPECT_EQ(only_error(), "Error in motorname decoding");
  }
}

TEST_F(ProfileTest, OtherFamiliesMotorRules) {
  // STADI4: SMC rules without an axis map, so letters and repeated axes are fine.
  auto lines = base_profile();
  lines[0] = control_line(2);
  lines[2] = motor_line(2, "T", {400, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(read(lines)) << only_error();
  EXPECT_FLOAT_EQ(S().profile.motor[2].upper, 90.0f);
  EXPECT_EQ(S().profile.axis_count, 0);
  EXPECT_EQ(S().profile.motor[2].axis, 'T');

  // SIN-10: limits are values 7 and 8, the clearance angle value 9.
  SetUp();
  lines[0] = control_line(3);
  lines[1] = motor_line(1, "A", {200, 1, 2, 3, 4, 5, -20, 100});
  lines[2] = motor_line(2, "B", {200, 1, 2, 3, 4, 5, -45, 70, 30});
  lines[3] = motor_line(3, "C", {100, 1, 2, 3, 4, 5, -90, 0});
  ASSERT_TRUE(read(lines)) << only_error();
  EXPECT_FLOAT_EQ(S().profile.motor[1].lower, -20.0f);
  EXPECT_FLOAT_EQ(S().profile.motor[1].upper, 100.0f);
  EXPECT_FLOAT_EQ(S().profile.motor[2].upper, 70.0f);
  EXPECT_FLOAT_EQ(S().profile.clearance_angle, 30.0f);
  EXPECT_EQ(S().profile.chi_limited, 1);
  EXPECT_FLOAT_EQ(S().profile.motor[3].raw[5], 5.0f);

  // P4: its own defaults, and speeds outside 100..600 replaced by 6.
  SetUp();
  lines[0] = control_line(6);
  lines[1] = motor_line(1, "1", {100, 50, 7, 700, 9});
  lines[2] = motor_line(2, "2", {100, 100, 7, 600, 9});
  lines[3] = motor_line(3, "3", {100});
  ASSERT_TRUE(read(lines)) << only_error();
  const MachineProfile& p = S().profile;
  EXPECT_FLOAT_EQ(p.motor[1].lower, -106.0f);
  EXPECT_FLOAT_EQ(p.motor[1].upper, 116.0f);
  EXPECT_FLOAT_EQ(p.motor[2].lower, -40.0f);
  EXPECT_FLOAT_EQ(p.motor[2].upper, 40.0f);
  EXPECT_FLOAT_EQ(p.clearance_angle, 35.0f);
  EXPECT_FLOAT_EQ(p.motor[1].p[0], 6.0f);
  EXPECT_FLOAT_EQ(p.motor[1].p[1], 7.0f);
  EXPECT_FLOAT_EQ(p.motor[1].p[2], 6.0f);
  EXPECT_FLOAT_EQ(p.motor[2].p[0], 100.0f);
  EXPECT_FLOAT_EQ(p.motor[2].p[2], 600.0f);
}

TEST_F(ProfileTest, ControlMayFollowTheMotorLines) {
  auto lines = base_profile();
  std::rotate(lines.begin(), lines.begin() + 1, lines.end());
  ASSERT_TRUE(read(lines)) << only_error();
  EXPECT_EQ(S().profile.axis_count, 4);
}

}  // namespace
}  // namespace dorvex

namespace dorvex {
namespace {

// Values the machine cannot run with are refused with their line, as unreadable ones are.
TEST_F(ProfileTest, ImpossibleValuesHaltWithTheLineQuoted) {
  struct Case {
    std::size_t replaces;  // index in base_profile(), or past its end to add the line
    std::string line;
    const char* said;
  };
  const std::vector<Case> cases = {
      {1, motor_line(1, "1", {0, 1, 2, 3, 4, -10, 120}), "STEPS PER DEGREE OF MOTOR 1"},
      {2, motor_line(2, "2", {1, 1, 2, 3, 4, -60, 80}).replace(9, 10, right("3.0E38", 10)),
       "STEPS PER DEGREE OF MOTOR 2"},
      {1, motor_line(1, "1", {1000, 1, 2, 3, 4, 120, -10}), "LIMITS OF MOTOR 1"},
      {3, motor_line(3, "3", {500, 1, 2, 3, 4, 90, -90}), "LIMITS OF MOTOR 3"},
      {4, motor_line(4, "4", {100, 1, 2, 3, 4, 5, 5}), "LIMITS OF MOTOR 4"},
      {5, config_line({1, -1, 1, -1, 0, 0, 0, 0, 0, 0, -5, 1}), "SHUTTER DELAY"},
      {9, "WAVEL " + i5(3) + r10(0.7093, 6), "NUMBER OF WAVELENGTHS"},
      {9, "WAVEL " + i5(1) + r10(0.0, 6), "WAVELENGTH NOT BETWEEN"},
      {9, "WAVEL " + i5(2) + r10(0.7093, 6) + r10(-1.0, 6) + r10(0.5), "WAVELENGTH NOT BETWEEN"},
      {9, "WAVEL " + i5(2) + r10(0.7093, 6) + r10(0.7136, 6) + r10(2.0), "INTENSITY RATIO"},
      {9, "COMPOR " + i5(1) + i5(1) + i5(0) + i5(0) + i5(8), "BAUD RATE"},
      {9, "COMPOR " + i5(1) + i5(1) + i5(9600) + i5(0) + i5(9), "DATA BITS"},
      {9, "COMPOR " + i5(1) + i5(1) + i5(9600) + i5(0) + i5(8) + i5(1) + i5(1) + i5(1) + i5(-1),
       "NEGATIVE READ TIMEOUT"},
      {9, "FILMD " + r10(-60), "NEGATIVE FILM DISTANCE"},
      {9, "MONOC " + r10(200) + r10(0) + i5(1), "MONOCHROMATOR 2THETA"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    SetUp();
    auto lines = base_profile();
    if (c.replaces < lines.size())
      lines[c.replaces] = c.line;
    else
      lines.push_back(c.line);
    EXPECT_FALSE(read(lines));
    EXPECT_TRUE(console_->printed(c.said));
    EXPECT_EQ(only_error(),
              "ERROR READING DIFFRACTOMETER PROFILE FILE, THE LAST LINE READ IN WAS: " +
                  std::string(rtrim(columns(c.line, 1, 80))));
  }
}

// What is no profile is said to be none at once, and never read without bound.
TEST_F(ProfileTest, FilesThatAreNoProfileAreRefusedAtOnce) {
  std::string binary(4000, '\0');
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7 % 251);
  {
    std::ofstream(dir_ / "DIFPROF.DAT", std::ios::binary) << binary;
  }
  READ_DIFPROF();
  EXPECT_NE(only_error().find("IS NOT A PROFILE: it holds binary data"), std::string::npos);
  EXPECT_FALSE(console_->printed("UNRECOGNISED KEYWORD"));

  SetUp();
  fs::create_symlink("/dev/zero", dir_ / "DIFPROF.DAT");
  READ_DIFPROF();
  EXPECT_NE(only_error().find("IS NOT A PROFILE: it is a device"), std::string::npos);

  // Text that is no profile: a few unknown keywords are passed over, then reading stops.
  SetUp();
  std::vector<std::string> prose(500, "Dear colleague, here are the measurements.");
  EXPECT_FALSE(read(prose));
  EXPECT_NE(only_error().find("IS NOT A PROFILE"), std::string::npos);
  EXPECT_EQ(console_->lines.size(), 11u + 1u);  // eleven keywords, then the error box

  // UTF-16 text of a good profile reads as the profile.
  SetUp();
  std::string utf16 = "\xFF\xFE";
  for (const std::string& l : base_profile())
    for (char ch : l + "\r\n") utf16 += std::string{ch, '\0'};
  std::ofstream(dir_ / "DIFPROF.DAT", std::ios::binary) << utf16;
  READ_DIFPROF();
  EXPECT_EQ(S().shell.error_flag, 0) << only_error();
  EXPECT_EQ(S().profile.interface_type, 7);
}

}  // namespace
}  // namespace dorvex
