// The reflection-list commands driven as the dispatcher drives them: the argument of a new
// command or the whole answer line in command_argument, the continuation code between lines.
#include "reflections/commands.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "common/state.hpp"
#include "geometry/matfile.hpp"
#include "support/recording_toolkit.hpp"
#include "support/temp_dir.hpp"

namespace dorvex {
namespace {

using dorvex_test::install_recording_toolkit;
using dorvex_test::RecordingToolkit;
using dorvex_test::TempDir;

constexpr double kA = 5.0, kB = 6.0, kC = 7.0, kLambda = 0.71073;
constexpr double kDeg = 180.0 / 3.14159265358979323846;

class ListCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_program_state();
    tk = &install_recording_toolkit();
    ShellState& sh = S().shell;
    sh.program_directory = tmp.dir();
    sh.data_directory = tmp.dir();
    sh.matfile_name = "list";
    MachineProfile& p = S().profile;
    p.motor[1].lower = -100;
    p.motor[1].upper = 150;
    p.motor[2].lower = -180;
    p.motor[2].upper = 180;
    p.motor[3].lower = -200;
    p.motor[3].upper = 200;
    p.motor[4].lower = -400;
    p.motor[4].upper = 400;
    DeviceSettings& d = S().device;  // the working limits start as the hardware limits
    d.omega_lower = -180;
    d.omega_upper = 180;
    d.chi_lower = -200;
    d.chi_upper = 200;
    d.phi_lower = -400;
    d.phi_upper = 400;
    CrystalState& c = S().crystal;
    c.lambda1 = static_cast<float>(kLambda);
    c.UB = Mat3{};
    c.UB(0, 0) = static_cast<float>(1 / kA);
    c.UB(1, 1) = static_cast<float>(1 / kB);
    c.UB(2, 2) = static_cast<float>(1 / kC);
    std::ofstream(matfile_path()).flush();  // the file the commands rewrite
  }

  // One typed line: a new command (word and argument) when no continuation is pending, else
  // the whole line as the answer, as the dispatcher hands it on.
  void type(void (*routine)(), const std::string& argument) {
    S().shell.command_argument = argument;
    routine();
  }

  // LISTREF lines in the file on disk.
  int listref_lines() {
    std::ifstream in(matfile_path());
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line.rfind("LISTREF", 0) == 0;
    return n;
  }

  void add_entries(int n) {
    for (int i = 1; i <= n; ++i) {
      ReflectionEntry& e = S().list.entry[static_cast<std::size_t>(i - 1)];
      e = ReflectionEntry{};
      e.h = static_cast<float>(i);
      e.angles = {static_cast<float>(10 + i), 0, 0, 0};
      e.intensity = 100 * i;
    }
    S().list.count = n;
  }

  std::vector<float> hs() {
    std::vector<float> out;
    for (int i = 0; i < S().list.count; ++i) out.push_back(S().list.entry[static_cast<std::size_t>(i)].h);
    return out;
  }

  int& code() { return S().shell.continuation_code; }
  std::string prompt() { return tk->prompts.empty() ? "" : tk->prompts.back(); }

  TempDir tmp;
  RecordingToolkit* tk = nullptr;
};

TEST_F(ListCommands, InsertByIndicesComputesBisectingAngles) {
  type(INSERT_HKL, "");
  EXPECT_EQ(code(), 7);
  EXPECT_EQ(prompt(), "INH: Enter h,k,l>");
  type(INSERT_HKL, "1 0 0");
  type(INSERT_HKL, "0,0,2");
  EXPECT_EQ(code(), 7);
  ASSERT_EQ(S().list.count, 2);
  EXPECT_EQ(listref_lines(), 2);

  const ReflectionEntry& e1 = S().list.entry[0];
  EXPECT_NEAR(e1.angles[0], 2 * std::asin(kLambda / (2 * kA)) * kDeg, 1e-3);
  EXPECT_NEAR(e1.angles[2], 0.0, 1e-4);
  EXPECT_NEAR(e1.angles[3], 0.0, 1e-4);
  EXPECT_EQ(e1.use, 1);
  EXPECT_EQ(e1.ref, 0);
  EXPECT_EQ(e1.intensity, 0);
  const ReflectionEntry& e2 = S().list.entry[1];
  EXPECT_NEAR(e2.angles[0], 2 * std::asin(2 * kLambda / (2 * kC)) * kDeg, 1e-3);
  EXPECT_NEAR(e2.angles[2], 90.0, 1e-3);
  EXPECT_FLOAT_EQ(e2.l, 2.0f);

  // Beyond the sphere of reflection: refused, nothing added.
  type(INSERT_HKL, "30 0 0");
  EXPECT_TRUE(tk->printed(" REFLECTION OUT-OF-BOUNDS"));
  EXPECT_EQ(S().list.count, 2);
  // Unreadable text does nothing and asks again.
  tk->prompts.clear();
  type(INSERT_HKL, "1 x 0");
  EXPECT_EQ(S().list.count, 2);
  EXPECT_EQ(prompt(), "INH: Enter h,k,l>");

  tk->take();
  type(INSERT_HKL, "0 0 0");
  EXPECT_EQ(code(), 0);
  EXPECT_TRUE(tk->printed(" NO     H     K     L    TTH      OMEGA     CHI      PHI   REF  USE "
                          "INTENSITY"));
}

TEST_F(ListCommands, SixtyFirstEntryIsRefused) {
  add_entries(59);
  type(INSERT_HKL, " 1 1 0");
  EXPECT_EQ(S().list.count, 60);
  tk->take();
  type(INSERT_HKL, " 1 1 1");
  EXPECT_TRUE(tk->printed("REFLECTION LIST FULL"));
  EXPECT_EQ(S().list.count, 60);
  type(INSERT_ANGLES, " 20 0 10 10");
  type(INSERT_HKL_ANGLES, " 1 0 0 20 0 0 0");
  EXPECT_EQ(S().list.count, 60);
  EXPECT_EQ(listref_lines(), 60);
}

TEST_F(ListCommands, InsertByAnglesComputesFractionalIndices) {
  type(INSERT_ANGLES, " 20 0 30 40");
  ASSERT_EQ(S().list.count, 1);
  const double d = 2 * std::sin(10 / kDeg) / kLambda;
  const ReflectionEntry& e = S().list.entry[0];
  EXPECT_NEAR(e.h, kA * d * std::cos(30 / kDeg) * std::cos(40 / kDeg), 1e-4);
  EXPECT_NEAR(e.k, kB * d * std::cos(30 / kDeg) * std::sin(40 / kDeg), 1e-4);
  EXPECT_NEAR(e.l, kC * d * std::sin(30 / kDeg), 1e-4);
  EXPECT_EQ(listref_lines(), 1);

  type(INSERT_ANGLES, " 170 0 0 0");  // 2theta above the motor limit
  EXPECT_TRUE(tk->printed(" REFLECTION OUT-OF-BOUNDS"));
  EXPECT_EQ(S().list.count, 1);

  code() = 8;
  type(INSERT_ANGLES, "0.001 0 0 0.005");
  EXPECT_EQ(code(), 0);
  EXPECT_EQ(S().list.count, 1);
}

TEST_F(ListCommands, InsertIndicesAndAnglesReportsDisagreement) {
  type(INSERT_HKL_ANGLES, " 1 0 0 20 0 0 0");
  ASSERT_EQ(S().list.count, 1);
  EXPECT_FLOAT_EQ(S().list.entry[0].h, 1.0f);  // the typed indices are kept
  const double h = kA * 2 * std::sin(10 / kDeg) / kLambda;
  char expected[64];
  std::snprintf(expected, sizeof expected, " CALC REFLECTION INDICES WERE: %6.3f%6.3f%6.3f", h, 0.0,
                0.0);
  EXPECT_TRUE(tk->printed(expected)) << expected;
  EXPECT_EQ(listref_lines(), 1);

  // Indices that agree within 0.3 in total give no message.
  tk->take();
  const double tth = 2 * std::asin(kLambda / (2 * kA)) * kDeg;
  type(INSERT_HKL_ANGLES, " 1.1 0.1 0 " + std::to_string(tth) + " 0 0 0");
  EXPECT_EQ(S().list.count, 2);
  EXPECT_FALSE(tk->printed("CALC REFLECTION INDICES"));

  // Indices that round to nothing end the input.
  code() = 9;
  type(INSERT_HKL_ANGLES, "0.2 0.1 0.1 20 0 0 0");
  EXPECT_EQ(code(), 0);
  EXPECT_EQ(S().list.count, 2);
}

TEST_F(ListCommands, DeleteRangesAndRepeats) {
  add_entries(5);
  type(DELETE_LIST, " 2 -4");
  EXPECT_EQ(hs(), (std::vector<float>{1, 5}));
  EXPECT_EQ(listref_lines(), 2);

  add_entries(6);
  type(DELETE_LIST, " 2 2 -3 3");  // each entry deleted once only
  EXPECT_EQ(hs(), (std::vector<float>{1, 4, 5, 6}));

  add_entries(6);
  type(DELETE_LIST, " 5 -1000000000");  // a wide range stops at the end of the list
  EXPECT_EQ(hs(), (std::vector<float>{1, 2, 3, 4}));
  type(DELETE_LIST, " 3 -4 -9 0 1");  // a second range goes on from the first; 0 ends
  EXPECT_EQ(hs(), (std::vector<float>{1, 2}));

  add_entries(3);
  type(DELETE_LIST, " 0 1");  // first number below 1: nothing happens
  EXPECT_EQ(S().list.count, 3);
  type(DELETE_LIST, "");
  EXPECT_EQ(code(), 10);
  type(DELETE_LIST, "1.5");  // a read error ends the command
  EXPECT_EQ(code(), 0);
  EXPECT_EQ(S().list.count, 3);
}

TEST_F(ListCommands, UseAndOmitCheckTheirInput) {
  add_entries(10);
  type(USE_LIST, " 3 -70");
  EXPECT_EQ(code(), 11);
  EXPECT_EQ(prompt(), "Input exceeds max list number - try again:");
  type(OMIT_LIST, "2 -4 9");
  EXPECT_EQ(code(), 11) << "OMIT keeps the code it was given";
  code() = 0;
  type(OMIT_LIST, " 2 -4 9");
  for (int n = 1; n <= 10; ++n)
    EXPECT_EQ(S().list.entry[static_cast<std::size_t>(n - 1)].use,
              (n >= 2 && n <= 4) || n == 9 ? 0 : 1)
        << n;
  EXPECT_EQ(code(), 0);

  type(USE_LIST, " a");
  EXPECT_EQ(prompt(), "Error reading your input - try again:");
  EXPECT_EQ(code(), 11);
  type(USE_LIST, "-3 4");
  EXPECT_EQ(prompt(), "First input number invalid - try again:");
  type(USE_LIST, "3 -4");
  EXPECT_EQ(prompt(), "USE: Enter List Nos>");
  EXPECT_EQ(S().list.entry[2].use, 1);
  EXPECT_EQ(S().list.entry[3].use, 1);
  EXPECT_EQ(S().list.entry[1].use, 0);
  type(USE_LIST, "");
  EXPECT_EQ(code(), 0);

  std::ifstream in(matfile_path());
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("LISTREF  2  2.00  0.00  0.00   12.0000    0.0000    0.0000    0.0000    "
                      "200 0 0"),
            std::string::npos);
}

TEST_F(ListCommands, SortKeysAndDirections) {
  add_entries(4);
  S().list.entry[0].angles[0] = 30;
  S().list.entry[1].angles[0] = 10;
  S().list.entry[2].angles[0] = 40;
  S().list.entry[3].angles[0] = 10;
  type(SORT_LIST, " -2");
  EXPECT_EQ(hs(), (std::vector<float>{3, 1, 4, 2}));  // equal keys reversed
  type(SORT_LIST, " 2");
  EXPECT_EQ(hs(), (std::vector<float>{4, 2, 1, 3}));  // stable
  type(SORT_LIST, " i");
  EXPECT_EQ(hs(), (std::vector<float>{1, 2, 3, 4}));
  type(SORT_LIST, " +c-XH");  // the key is looked for after the minus sign
  EXPECT_EQ(hs(), (std::vector<float>{4, 3, 2, 1}));
  EXPECT_EQ(code(), 0);

  tk->take();
  type(SORT_LIST, " X");
  EXPECT_TRUE(tk->printed(" *****Input not recognised, valid inputs are + - with H,K,L,2,O,C,P,I,"));
  EXPECT_EQ(code(), 49);
  EXPECT_EQ(prompt(), "SORT: Enter Item to sort>");
  type(SORT_LIST, "XH");
  EXPECT_EQ(hs(), (std::vector<float>{1, 2, 3, 4}));
  EXPECT_EQ(code(), 0);
  type(SORT_LIST, "");
  EXPECT_EQ(code(), 49);
  type(SORT_LIST, "");
  EXPECT_EQ(code(), 0);

  std::ifstream in(matfile_path());
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_LT(text.find("LISTREF  1  1.00"), text.find("LISTREF  2  2.00"));
}

TEST_F(ListCommands, IndexTheList) {
  type(INSERT_ANGLES, " 20 0 30 40");
  add_entries(0);
  type(INSERT_ANGLES, " 20 0 30 40");
  type(INSERT_HKL, " 0 1 0");
  const Vec3 computed{S().list.entry[0].h, S().list.entry[0].k, S().list.entry[0].l};

  type(INDEX_LIST, "");
  EXPECT_TRUE(tk->printed("INDL choices: 1 = Manual Indexing, 2 = Index by UB, 3 = Clear Indeces"));
  EXPECT_EQ(code(), 13);
  type(INDEX_LIST, "3");
  EXPECT_EQ(code(), 0);
  EXPECT_FLOAT_EQ(S().list.entry[0].h, 0.0f);
  EXPECT_FLOAT_EQ(S().list.entry[1].k, 0.0f);

  type(INDEX_LIST, " 2");
  EXPECT_FLOAT_EQ(S().list.entry[0].h, computed[0]);
  EXPECT_NEAR(S().list.entry[1].k, 1.0, 1e-4);

  type(INDEX_LIST, " 1");
  EXPECT_EQ(code(), 14);
  EXPECT_EQ(prompt(), "INDL: Enter List no & hkl>");
  type(INDEX_LIST, "1 2 -3 4");
  EXPECT_FLOAT_EQ(S().list.entry[0].h, 2.0f);
  EXPECT_FLOAT_EQ(S().list.entry[0].k, -3.0f);
  EXPECT_FLOAT_EQ(S().list.entry[0].l, 4.0f);
  EXPECT_NE(std::ifstream(matfile_path()).peek(), EOF);
  type(INDEX_LIST, "3 1 1 1");
  EXPECT_TRUE(tk->printed("ONLY   2 REFLECTIONS IN LIST"));
  tk->take();
  type(INDEX_LIST, "-1 1 1 1");
  EXPECT_TRUE(tk->printed("ONLY   2 REFLECTIONS IN LIST"));
  EXPECT_EQ(code(), 14);
  type(INDEX_LIST, "0");
  EXPECT_EQ(code(), 0);

  std::ifstream in(matfile_path());
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("LISTREF  1  2.00 -3.00  4.00"), std::string::npos);
}

TEST_F(ListCommands, ListLayout) {
  type(DISPLAY_LIST, "");
  EXPECT_TRUE(tk->printed("LIST IS EMPTY"));
  S().list.count = 1;
  S().list.entry[0] = {1, -2, 3, {12.3456f, -0.1234f, 45.6789f, -123.4567f}, 2, 1, 12345};
  tk->take();
  type(DISPLAY_LIST, "");
  const std::vector<std::string> out = tk->take();
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0], "");
  EXPECT_EQ(out[1], " NO     H     K     L    TTH      OMEGA     CHI      PHI   REF  USE INTENSITY");
  EXPECT_EQ(out[2], "");
  EXPECT_EQ(out[3], "  1   1.0  -2.0   3.0   12.346   -0.123   45.679 -123.457    2    1    12345");
  EXPECT_EQ(out[4], "");
}

}  // namespace
}  // namespace dorvex
