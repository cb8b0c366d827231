// LSQ and CLSQ against crystals built in the test: seeded random orientations, exact angles
// computed in double precision, seeded noise.
#include "geometry/commands.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>

#include "geometry/clsq.hpp"
#include "geometry/lsq.hpp"
#include "support/shell_fixture.hpp"
#include "test_crystal.hpp"

using namespace dorvex;
using refine_test::TestCrystal;

namespace {

class LsqTest : public dorvex_test::ShellFixture {
 protected:
  void SetUp() override {
    ShellFixture::SetUp();
    write_file("DORVEX_TEMP.mat", "");  // the matrix file exists from start-up on
  }
};

struct SystemCase {
  int system;  // CLSQ numbering
  std::array<double, 6> cell;
};

const SystemCase kSystems[] = {
    {CLSQ_MONOCLINIC_B, {8.52, 11.23, 13.71, 90, 104.3, 90}},
    {CLSQ_MONOCLINIC_C, {8.52, 11.23, 13.71, 90, 90, 97.6}},
    {CLSQ_ORTHORHOMBIC, {8.52, 11.23, 13.71, 90, 90, 90}},
    {CLSQ_TETRAGONAL, {9.31, 9.31, 14.12, 90, 90, 90}},
    {CLSQ_HEXAGONAL, {7.93, 7.93, 12.41, 90, 90, 120}},
    {CLSQ_CUBIC, {10.21, 10.21, 10.21, 90, 90, 90}},
    {CLSQ_RHOMBOHEDRAL, {7.12, 7.12, 7.12, 64.5, 64.5, 64.5}},
};

TEST_F(LsqTest, RecoversOrientationAndCellOfEverySystemWithinTheNoise) {
  for (const SystemCase& c : kSystems) {
    SCOPED_TRACE("system " + std::to_string(c.system));
    TestCrystal xtal(c.cell, 11u + static_cast<unsigned>(c.system));
    refine_test::load_list(xtal.reflections(25, 100u + static_cast<unsigned>(c.system), 0.004),
                           xtal.lambda);
    ASSERT_EQ(LSQ(false), 0);
    const CrystalState& cr = S().crystal;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) EXPECT_NEAR(cr.UB(i, j), xtal.UB[i][j], 2e-4);
    for (int p = 0; p < 6; ++p) {
      const double err = std::fabs(cr.cell[p] - c.cell[p]);
      const double esd = cr.cell_esd[p];
      // Deviations of the right size: positive, small, and covering the actual error.
      EXPECT_GT(esd, 0.0);
      EXPECT_LT(esd, p < 3 ? 0.01 : 0.05);
      EXPECT_LT(err, 5 * esd + 1e-4) << "parameter " << p;
    }
    EXPECT_GT(cr.volume_esd, 0.0f);
  }
  EXPECT_NE(read_file("DORVEX_TEMP.mat").find("UB    "), std::string::npos);
}

TEST_F(LsqTest, ExactDataGiveZeroDeviationsAndThreeReflectionsNone) {
  TestCrystal xtal({8.52, 11.23, 13.71, 90, 104.3, 90}, 5);
  refine_test::load_list(xtal.reflections(4, 6), xtal.lambda);
  ASSERT_EQ(LSQ(false), 0);
  for (int p = 0; p < 6; ++p) {
    EXPECT_NEAR(S().crystal.cell[p], xtal.cell[p], 2e-4);
    EXPECT_LT(S().crystal.cell_esd[p], 2e-4);
  }
  EXPECT_NE(console().find(" Sigmas "), std::string::npos);

  S().crystal.cell_esd = {1, 1, 1, 1, 1, 1};
  S().list.count = 3;
  clear_console();
  ASSERT_EQ(LSQ(false), 0);
  EXPECT_EQ(S().crystal.cell_esd[0], 0.0f);  // no stale deviations for the new cell
  EXPECT_NE(console().find("       3 Reflections used"), std::string::npos);
}

TEST_F(LsqTest, RefusesFewOrCoplanarReflectionsAndKeepsUb) {
  TestCrystal xtal({10.21, 10.21, 10.21, 90, 90, 90}, 8);
  const Mat3 before = S().crystal.UB = refine_test::to_mat3(xtal.UB);
  std::vector<refine_test::Reflection> flat;
  for (const auto& r : xtal.reflections(200, 9))
    if (r.h[2] == 0 && flat.size() < 6) flat.push_back(r);
  ASSERT_GE(flat.size(), 4u);
  refine_test::load_list(flat, xtal.lambda);
  EXPECT_EQ(LSQ(false), 1);
  EXPECT_NE(console().find("The usual cause is that your reflections are all co-planar"),
            std::string::npos);
  EXPECT_EQ(S().shell.error_flag, 1);

  S().list.count = 2;
  clear_console();
  EXPECT_EQ(LSQ(false), 1);
  EXPECT_NE(console().find(" Only   2 Reflection(s) with USE Flag Set, 3 are Needed for LSQ"),
            std::string::npos);
  EXPECT_EQ(S().crystal.UB.a, before.a);
}

TEST_F(LsqTest, QuietLsqPrintsNothingButSavesTheFile) {
  TestCrystal xtal({8.52, 11.23, 13.71, 90, 90, 90}, 12);
  refine_test::load_list(xtal.reflections(8, 13, 0.003), xtal.lambda);
  ASSERT_EQ(LSQ(true), 0);
  EXPECT_EQ(console(), "");
  EXPECT_NE(read_file("DORVEX_TEMP.mat").find("UB    "), std::string::npos);
}

TEST_F(LsqTest, ConstrainedRefinementKeepsTheExactSymmetryOfEachSystem) {
  for (const SystemCase& c : kSystems) {
    SCOPED_TRACE("system " + std::to_string(c.system));
    TestCrystal xtal(c.cell, 21u + static_cast<unsigned>(c.system));
    refine_test::load_list(xtal.reflections(25, 200u + static_cast<unsigned>(c.system), 0.004),
                           xtal.lambda);
    const Mat3 ub = S().crystal.UB = refine_test::to_mat3(xtal.UB);
    ASSERT_EQ(LSVEC(c.system, S().crystal, S().list, S().profile, S().device), 0);
    const auto& cell = S().crystal.cell;
    const auto& esd = S().crystal.cell_esd;
    for (int p = 0; p < 6; ++p) {
      EXPECT_NEAR(cell[p], c.cell[p], p < 3 ? 0.01 : 0.05) << "parameter " << p;
      EXPECT_LT(std::fabs(cell[p] - c.cell[p]), 5 * esd[p] + 2e-4) << "parameter " << p;
    }
    switch (c.system) {
      case CLSQ_MONOCLINIC_B:
        EXPECT_EQ(cell[3], 90.0f);
        EXPECT_EQ(cell[5], 90.0f);
        EXPECT_EQ(esd[3], 0.0f);
        EXPECT_GT(esd[4], 0.0f);
        break;
      case CLSQ_MONOCLINIC_C:
        EXPECT_EQ(cell[3], 90.0f);
        EXPECT_EQ(cell[4], 90.0f);
        EXPECT_GT(esd[5], 0.0f);
        break;
      case CLSQ_ORTHORHOMBIC:
      case CLSQ_TETRAGONAL:
      case CLSQ_CUBIC:
        for (int p = 3; p < 6; ++p) EXPECT_EQ(cell[p], 90.0f);
        if (c.system != CLSQ_ORTHORHOMBIC) {
          EXPECT_EQ(cell[0], cell[1]);
        }
        if (c.system == CLSQ_CUBIC) {
          EXPECT_EQ(cell[0], cell[2]);
        }
        break;
      case CLSQ_HEXAGONAL:
        EXPECT_EQ(cell[0], cell[1]);
        EXPECT_EQ(cell[3], 90.0f);
        EXPECT_EQ(cell[5], 120.0f);
        break;
      case CLSQ_RHOMBOHEDRAL:
        EXPECT_EQ(cell[0], cell[1]);
        EXPECT_EQ(cell[0], cell[2]);
        EXPECT_EQ(cell[3], cell[4]);
        EXPECT_EQ(cell[3], cell[5]);
        EXPECT_GT(esd[3], 0.0f);
        break;
    }
    EXPECT_EQ(S().crystal.UB.a, ub.a);  // CLSQ leaves the orientation alone
  }
}

// On a cell with very unequal axes the error of UB1^-1 x grows with the direct axis length, so
// the deviations must follow the spread of the refined values axis by axis, not a pooled one.
TEST_F(LsqTest, ConstrainedDeviationsFollowTheSpreadOfEachAxis) {
  const std::array<double, 6> cell{5.2, 11.23, 25.71, 90, 90, 90};
  TestCrystal xtal(cell, 5);
  const auto exact = xtal.reflections(20, 7, 0, 10, 40);
  constexpr int kRuns = 60;
  std::array<double, 3> sum{}, sum2{}, esd{};
  std::mt19937 rng(1000);
  std::normal_distribution<double> noise(0, 0.01);
  for (int run = 0; run < kRuns; ++run) {
    auto refl = exact;
    for (auto& r : refl)
      for (double& a : r.angles) a += noise(rng);
    refine_test::load_list(refl, xtal.lambda);
    S().crystal.UB = refine_test::to_mat3(xtal.UB);
    ASSERT_EQ(LSVEC(CLSQ_ORTHORHOMBIC, S().crystal, S().list, S().profile, S().device), 0);
    for (int p = 0; p < 3; ++p) {
      sum[p] += S().crystal.cell[p];
      sum2[p] += S().crystal.cell[p] * S().crystal.cell[p];
      esd[p] += S().crystal.cell_esd[p];
    }
  }
  for (int p = 0; p < 3; ++p) {
    const double mean = sum[p] / kRuns;
    const double spread = std::sqrt(sum2[p] / kRuns - mean * mean);
    const double ratio = esd[p] / kRuns / spread;
    EXPECT_GT(ratio, 0.65) << "axis " << p;
    EXPECT_LT(ratio, 1.5) << "axis " << p;
  }
}

// The rows of a table that follow the line `header` (up to the first line of another shape).
std::vector<std::string> rows_after(const std::string& out, const std::string& header,
                                    std::size_t width) {
  std::vector<std::string> rows;
  std::istringstream in(out);
  std::string line;
  bool seen = false;
  while (std::getline(in, line)) {
    if (seen && line.size() != width) break;
    if (seen) rows.push_back(line);
    if (line == header) seen = true;
  }
  return rows;
}

std::string fixed(double v, int width, int decimals) {
  char b[64];
  std::snprintf(b, sizeof b, "%*.*f", width, decimals, v);
  return b;
}

// Both tables column by column: LSQ 1X,4I3,2F8.2,2X,3F9.5 and CLSQ 4I4,2F8.3,3F10.5,2X,F10.5.
TEST_F(LsqTest, TablesKeepTheirColumns) {
  TestCrystal xtal({8.52, 11.23, 13.71, 90, 90, 90}, 14);
  const auto refl = xtal.reflections(6, 15, 0.01);
  refine_test::load_list(refl, xtal.lambda);
  ASSERT_EQ(LSQ(false), 0);
  const auto lsq = rows_after(console(), "   N  H  K  L    TTHO    TTHC         Vector Deltas", 58);
  ASSERT_EQ(lsq.size(), refl.size()) << console();
  for (std::size_t n = 0; n < refl.size(); ++n) {
    const std::string& row = lsq[n];
    const ReflectionEntry& e = S().list.entry[n];
    EXPECT_EQ(row.substr(0, 13), " " + fixed(double(n + 1), 3, 0) + fixed(refl[n].h[0], 3, 0) +
                                     fixed(refl[n].h[1], 3, 0) + fixed(refl[n].h[2], 3, 0));
    EXPECT_EQ(row.substr(13, 8), fixed(e.angles[0], 8, 2));
    const double tthc = std::stod(row.substr(21, 8));
    EXPECT_NEAR(tthc, e.angles[0], 0.05);
    EXPECT_EQ(row.substr(29, 2), "  ");
    for (int k = 0; k < 3; ++k) {
      const std::string field = row.substr(31 + 9 * static_cast<std::size_t>(k), 9);
      EXPECT_EQ(field[field.size() - 6], '.') << row;
      EXPECT_LT(std::fabs(std::stod(field)), 0.01);
    }
  }

  clear_console();
  ASSERT_EQ(LSVEC(CLSQ_ORTHORHOMBIC, S().crystal, S().list, S().profile, S().device), 0);
  const auto clsq = rows_after(
      console(), "   N   h   k   l     2TH     2TH     Del X     Del Y     Del Z      Length", 74);
  ASSERT_EQ(clsq.size(), refl.size()) << console();
  for (std::size_t n = 0; n < refl.size(); ++n) {
    const std::string& row = clsq[n];
    EXPECT_EQ(row.substr(0, 16), fixed(double(n + 1), 4, 0) + fixed(refl[n].h[0], 4, 0) +
                                     fixed(refl[n].h[1], 4, 0) + fixed(refl[n].h[2], 4, 0));
    EXPECT_EQ(row.substr(16, 8), fixed(S().list.entry[n].angles[0], 8, 3));
    EXPECT_NEAR(std::stod(row.substr(24, 8)), S().list.entry[n].angles[0], 0.05);
    double len2 = 0;
    for (int k = 0; k < 3; ++k) {
      const double d = std::stod(row.substr(32 + 10 * static_cast<std::size_t>(k), 10));
      len2 += d * d;
    }
    EXPECT_EQ(row.substr(62, 2), "  ");
    EXPECT_NEAR(std::stod(row.substr(64, 10)), std::sqrt(len2), 2e-5);
  }
}

TEST_F(LsqTest, ClsqDialogueCountsFlagsAndRefusesBadChoices) {
  TestCrystal xtal({10.21, 10.21, 10.21, 90, 90, 90}, 30);
  refine_test::load_list(xtal.reflections(2, 31), xtal.lambda);
  S().shell.command_argument = "";
  RUN_LSVEC();
  EXPECT_NE(console().find("Too Few Reflections with use flags set for Least Squares"),
            std::string::npos);
  EXPECT_EQ(S().shell.continuation_code, 0);

  refine_test::load_list(xtal.reflections(10, 31, 0.002), xtal.lambda);
  S().shell.error_flag = 0;
  RUN_LSVEC();
  EXPECT_EQ(S().shell.continuation_code, 16);
  S().shell.command_argument = "9";
  RUN_LSVEC();
  EXPECT_NE(console().find(" INVALID INPUT"), std::string::npos);
  EXPECT_EQ(S().shell.continuation_code, 0);

  clear_console();
  S().shell.command_argument = " 6";  // choice on the command line
  RUN_LSVEC();
  EXPECT_NE(console().find("Results for Constrained Refinement"), std::string::npos);
  EXPECT_NEAR(S().crystal.cell[0], 10.21, 0.005);
}

}  // namespace
