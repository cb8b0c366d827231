// TLSQ (cell from 2theta alone) and TRAN (cell transformation dialogue).
#include "geometry/commands.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "geometry/tlsq.hpp"
#include "support/shell_fixture.hpp"
#include "test_crystal.hpp"

using namespace dorvex;
using refine_test::TestCrystal;

namespace {

class TlsqTest : public dorvex_test::ShellFixture {};

struct TlsqCase {
  int system;
  std::array<double, 6> cell;
};

const TlsqCase kTlsqCases[] = {
    {TLSQ_TRICLINIC, {7.13, 8.34, 9.62, 78.4, 85.1, 70.3}},
    {TLSQ_MONOCLINIC_B, {8.52, 11.23, 13.71, 90, 104.3, 90}},
    {TLSQ_MONOCLINIC_C, {8.52, 11.23, 13.71, 90, 90, 97.6}},
    {TLSQ_ORTHORHOMBIC, {8.52, 11.23, 13.71, 90, 90, 90}},
    {TLSQ_TETRAGONAL, {9.31, 9.31, 14.12, 90, 90, 90}},
    {TLSQ_HEXAGONAL, {7.93, 7.93, 12.41, 90, 90, 120}},
    {TLSQ_CUBIC, {10.21, 10.21, 10.21, 90, 90, 90}},
};

TEST_F(TlsqTest, RecoversEverySystemFromExactAndNoisyTwoTheta) {
  for (const TlsqCase& c : kTlsqCases) {
    SCOPED_TRACE("system " + std::to_string(c.system));
    TestCrystal xtal(c.cell, 40u + static_cast<unsigned>(c.system));
    refine_test::load_list(xtal.reflections(20, 41), xtal.lambda);
    TthRefinement exact;
    ASSERT_EQ(TTHREFINE(c.system, S().crystal, S().list, &exact), 0);
    EXPECT_TRUE(exact.converged);
    for (int p = 0; p < 6; ++p) EXPECT_NEAR(exact.cell[p], c.cell[p], p < 3 ? 2e-4 : 2e-3);

    refine_test::load_list(xtal.reflections(20, 42, 0.003), xtal.lambda);
    TthRefinement noisy;
    ASSERT_EQ(TTHREFINE(c.system, S().crystal, S().list, &noisy), 0);
    for (int p = 0; p < 6; ++p) {
      EXPECT_LT(std::fabs(noisy.cell[p] - c.cell[p]), 5 * noisy.cell_esd[p] + 1e-4) << p;
      EXPECT_LT(noisy.cell_esd[p], p < 3 ? 0.01 : 0.1) << p;
    }
    EXPECT_LT(std::fabs(noisy.volume - 1 / std::fabs(xtal.B[0][0] * xtal.B[1][1] * xtal.B[2][2])),
              5 * noisy.volume_esd + 0.01);
  }
  EXPECT_EQ(S().crystal.cell[0], 0.0f);  // the crystal record is not touched
}

TEST_F(TlsqTest, CountsReflectionsPerSystemAndIgnoresOtherUseFlags) {
  TestCrystal tri(kTlsqCases[0].cell, 50);
  refine_test::load_list(tri.reflections(7, 51, 0.002), tri.lambda);
  S().list.entry[6].use = 2;  // only a flag of exactly 1 counts
  EXPECT_EQ(TTHREFINE(TLSQ_TRICLINIC, S().crystal, S().list), 1);
  EXPECT_NE(
      console().find("  INSUFFICIENT REFLECTIONS SET FOR LEAST-SQUARES IN THIS CRYSTAL SYSTEM"),
      std::string::npos);
  S().list.entry[6].use = 1;
  EXPECT_EQ(TTHREFINE(TLSQ_TRICLINIC, S().crystal, S().list), 0);

  // Cubic with two reflections: a in the least-squares sense, with a finite deviation.
  TestCrystal cub(kTlsqCases[6].cell, 52);
  refine_test::load_list(cub.reflections(2, 53, 0.01), cub.lambda);
  TthRefinement r;
  ASSERT_EQ(TTHREFINE(TLSQ_CUBIC, S().crystal, S().list, &r), 0);
  EXPECT_TRUE(r.has_esd);
  EXPECT_GT(r.cell_esd[0], 0.0);
  EXPECT_NEAR(r.cell[0], 10.21, 0.02);
  // One reflection for one parameter: the cell but no deviations.
  S().list.count = 1;
  ASSERT_EQ(TTHREFINE(TLSQ_CUBIC, S().crystal, S().list, &r), 0);
  EXPECT_FALSE(r.has_esd);
}

// The table column by column (1X,I2,2F9.4,1X,3I3,4F10.4) with d from the Bragg equation, and
// the report lines (3F10.5, 3F8.3, F10.4).
TEST_F(TlsqTest, TableAndReportKeepTheirColumns) {
  TestCrystal xtal(kTlsqCases[4].cell, 55);
  const auto refl = xtal.reflections(5, 56, 0.01);
  refine_test::load_list(refl, xtal.lambda);
  ASSERT_EQ(TTHREFINE(TLSQ_TETRAGONAL, S().crystal, S().list), 0);
  std::istringstream out(console());
  std::string line;
  while (std::getline(out, line) && line.rfind("  N   TTHobs", 0) != 0) {
  }
  EXPECT_EQ(line, "  N   TTHobs     Dobs   h  k  l    TTHcal      Dcal    delTTH      delD");
  auto fixed = [](double v, int width, int decimals) {
    char b[64];
    std::snprintf(b, sizeof b, "%*.*f", width, decimals, v);
    return std::string(b);
  };
  const double lambda = static_cast<float>(xtal.lambda);
  for (std::size_t n = 0; n < refl.size(); ++n) {
    ASSERT_TRUE(std::getline(out, line));
    ASSERT_EQ(line.size(), 71u) << line;
    const double tth = S().list.entry[n].angles[0];
    const double d = lambda / (2 * std::sin(tth / 2 * M_PI / 180));
    EXPECT_EQ(line.substr(0, 21), " " + fixed(double(n + 1), 2, 0) + fixed(tth, 9, 4) +
                                      fixed(d, 9, 4));
    EXPECT_EQ(line.substr(21, 10), " " + fixed(refl[n].h[0], 3, 0) + fixed(refl[n].h[1], 3, 0) +
                                       fixed(refl[n].h[2], 3, 0));
    const double tthc = std::stod(line.substr(31, 10)), dcal = std::stod(line.substr(41, 10));
    EXPECT_NEAR(std::stod(line.substr(51, 10)), tth - tthc, 1.5e-4);
    EXPECT_NEAR(std::stod(line.substr(61, 10)), d - dcal, 1.5e-4);
  }
  ASSERT_TRUE(std::getline(out, line));
  EXPECT_EQ(line, "   Unit Cell refined to 2theta values only:");
  for (const char* label : {" Cell   ", " Sigmas "}) {
    ASSERT_TRUE(std::getline(out, line));
    EXPECT_EQ(line.substr(0, 8), label);
    ASSERT_EQ(line.size(), 8u + 30 + 24 + 10) << line;
    for (std::size_t end : {18u, 28u, 38u, 46u, 54u, 62u, 72u})
      EXPECT_NE(line[end - 1], ' ') << line;
  }
}

TEST_F(TlsqTest, DialogueRejectsNumbersOutsideTheMenu) {
  S().shell.command_argument = "";
  RUN_TTHREFINE();
  EXPECT_EQ(S().shell.continuation_code, 19);
  S().shell.command_argument = "7";
  RUN_TTHREFINE();
  EXPECT_EQ(S().shell.continuation_code, 0);
  EXPECT_NE(console().find("\nINVALID INPUT\n"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
class TranTest : public dorvex_test::ShellFixture {
 protected:
  void SetUp() override {
    ShellFixture::SetUp();
    write_file("DORVEX_TEMP.mat", "");
    xtal_ =
        std::make_unique<TestCrystal>(std::array<double, 6>{8.52, 11.23, 13.71, 90, 90, 90}, 60);
    refine_test::load_list(xtal_->reflections(5, 61), xtal_->lambda);
    S().crystal.UB = refine_test::to_mat3(xtal_->UB);
  }
  // Feeds one line to the dialogue as the dispatcher would.
  void line(const std::string& text) {
    if (S().shell.continuation_code == 0) {
      S().shell.command_argument = "";
      RUN_TRANS();
    }
    S().shell.command_argument = text;
    RUN_TRANS();
  }
  std::unique_ptr<TestCrystal> xtal_;
};

TEST_F(TranTest, SwapAsksForLeftHandedConfirmationAndSwapsAxesAndIndices) {
  const ReflectionList before = S().list;
  line("0 1 0");
  line("1 0 0");
  line("0 0 1");
  EXPECT_NE(console().find(" Modulus of Transformation:   -1.00"), std::string::npos);
  EXPECT_NE(console().find(" Transformation to a Left-handed System"), std::string::npos);
  line("y");
  EXPECT_NE(console().find(
                " Transformed Lattice Values:  11.2300  8.5200 13.7100   90.00   90.00   90.00"),
            std::string::npos);
  line("Y");
  EXPECT_EQ(S().shell.continuation_code, 0);
  EXPECT_NEAR(S().crystal.cell[0], 11.23, 1e-4);
  EXPECT_NEAR(S().crystal.cell[1], 8.52, 1e-4);
  for (int n = 0; n < before.count; ++n) {
    EXPECT_EQ(S().list.entry[n].h, before.entry[n].k);
    EXPECT_EQ(S().list.entry[n].k, before.entry[n].h);
    EXPECT_EQ(S().list.entry[n].l, before.entry[n].l);
  }
  for (int i = 0; i < 3; ++i) {  // UB' = UB T^-1 swaps the first two columns
    EXPECT_FLOAT_EQ(S().crystal.UB(i, 0), static_cast<float>(xtal_->UB[i][1]));
    EXPECT_FLOAT_EQ(S().crystal.UB(i, 1), static_cast<float>(xtal_->UB[i][0]));
  }
  EXPECT_NE(read_file("DORVEX_TEMP.mat").find("REFLECTION LIST START"), std::string::npos);
}

TEST_F(TranTest, LeftHandedRefusedAndSingularOrZeroRowsChangeNothing) {
  const Mat3 ub = S().crystal.UB;
  line("0 1 0");
  line("1 0 0");
  line("0 0 1");
  line("n");
  EXPECT_EQ(S().shell.continuation_code, 0);
  EXPECT_EQ(S().crystal.UB.a, ub.a);

  line("1 0 0");
  line("0 0 0");  // a row of zeros is asked again
  EXPECT_NE(console().find(" *****INVALID INPUT: TRY AGAIN"), std::string::npos);
  EXPECT_EQ(S().refine.tran_row, 2);
  line("0 1 0");
  line("0 0 0.05");
  EXPECT_NE(console().find(" Transformation Matrix is Singular: Try Again."), std::string::npos);
  EXPECT_EQ(S().shell.continuation_code, 0);
  EXPECT_EQ(S().crystal.UB.a, ub.a);
}

TEST_F(TranTest, IdentityKeepsEverythingAndCentringGivesHalfIndices) {
  const ReflectionList before = S().list;
  const Mat3 ub = S().crystal.UB;
  for (const char* row : {"1 0 0", "0 1 0", "0 0 1", "y"}) line(row);
  EXPECT_EQ(S().crystal.UB.a, ub.a);
  for (int n = 0; n < before.count; ++n) EXPECT_EQ(S().list.entry[n].h, before.entry[n].h);

  for (const char* row : {"1 0 0", "0 1 0", "0.5 0.5 0.5"}) line(row);
  EXPECT_NE(console().find(" Modulus of Transformation:    0.50"), std::string::npos);
  line("y");
  // c' = (a + b + c)/2 for the orthogonal cell.
  EXPECT_NEAR(S().crystal.cell[2], std::sqrt(8.52 * 8.52 + 11.23 * 11.23 + 13.71 * 13.71) / 2,
              1e-3);
  for (int n = 0; n < before.count; ++n) {
    const ReflectionEntry& e = before.entry[n];
    EXPECT_FLOAT_EQ(S().list.entry[n].l, (e.h + e.k + e.l) / 2);
  }
}

}  // namespace
