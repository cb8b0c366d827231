// Orientation from two reflections, and the Laue equivalents of INL.
#include <cmath>
#include <set>
#include <tuple>

#include "geometry/angles.hpp"
#include "geometry/cell.hpp"
#include "geometry/geometry_fixture.hpp"
#include "geometry/matrix.hpp"
#include "geometry/orient_commands.hpp"
#include "reflections/laue.hpp"

namespace dorvex {

// The command routines (their header's TEST collides with the test macro).
void INSERT_LAUE();
void GETCELL();
void ENTOM();

namespace {

class OrientTest : public testing::GeometryTest {
 protected:
  void SetUp() override {
    GeometryTest::SetUp();
    MachineProfile& p = S().profile;
    p.motor[1].lower = -180;
    p.motor[1].upper = 180;
    p.clearance_angle = -1000.0f;
    S().device.omega_lower = -270;
    S().device.omega_upper = 270;
    S().crystal.lambda1 = 0.71073f;
  }
  void set_cell(const Cell& cell) {
    ASSERT_TRUE(CALCB(cell, S().crystal.B));
    S().crystal.UB = S().crystal.B;
  }
  // Appends a reflection with its bisecting angles under `ub` and no indices.
  void measure(const Mat3& ub, const Vec3& h) {
    AngleSet a{};
    ASSERT_EQ(CALCA(current_geometry(), CALPHI(ub, h), a), 0);
    ReflectionEntry& e = S().list.entry[S().list.count++];
    e = ReflectionEntry{};
    e.angles = a;
  }
  // A rotation about a unit axis by t degrees (Rodrigues), computed in double precision.
  static Mat3 rotation(const double n[3], double t) {
    t *= 3.14159265358979323846 / 180.0;
    const double k[3][3] = {{0, -n[2], n[1]}, {n[2], 0, -n[0]}, {-n[1], n[0], 0}};
    Mat3 r;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        double kk = 0;
        for (int m = 0; m < 3; ++m) kk += k[i][m] * k[m][j];
        r(i, j) = static_cast<float>((i == j) + std::sin(t) * k[i][j] + (1 - std::cos(t)) * kk);
      }
    return r;
  }
  static double dspacing_inverse(const Mat3& B, const Vec3& h) {
    const Vec3 x = MULTMV(B, h);
    return std::sqrt(static_cast<double>(x[0]) * x[0] + static_cast<double>(x[1]) * x[1] +
                     static_cast<double>(x[2]) * x[2]);
  }
};

TEST_F(OrientTest, TwoReflectionsGiveBackAKnownOrientationForEverySenses) {
  const double axis[3] = {0.36, 0.48, 0.8};
  for (int pattern = 0; pattern < 8; ++pattern) {
    for (int m = 2; m <= 4; ++m) S().profile.sense[m] = (pattern >> (m - 2)) & 1 ? -1.0f : 1.0f;
    set_cell({7.1f, 8.4f, 10.3f, 88.0f, 101.0f, 94.0f});
    const Mat3 ub = LWMATMUL(rotation(axis, 71.0 + 13 * pattern), S().crystal.B);
    S().list.count = 0;
    measure(ub, {2, -1, 3});
    measure(ub, {0, 4, 1});
    float observed = 0, calculated = 0;
    Mat3 result;
    ASSERT_EQ(CALCOM(current_geometry(), S().list, 1, 2, {2, -1, 3}, {0, 4, 1}, observed,
                     calculated, result),
              0);
    for (int k = 0; k < 9; ++k) EXPECT_NEAR(result.a[k], ub.a[k], 2e-6) << k;
    EXPECT_NEAR(observed, calculated, 2e-3);
    // The angle between the two reciprocal vectors, from B in double precision.
    const Vec3 c1 = MULTMV(S().crystal.B, {2, -1, 3}), c2 = MULTMV(S().crystal.B, {0, 4, 1});
    const double cosine =
        dot(c1, c2) / (dspacing_inverse(S().crystal.B, {2, -1, 3}) *
                       dspacing_inverse(S().crystal.B, {0, 4, 1}));
    EXPECT_NEAR(calculated, std::acos(cosine) * 180 / 3.14159265358979323846, 2e-3);
  }
}

TEST_F(OrientTest, RefusedPairsLeaveNoMatrix) {
  set_cell({10, 10, 10, 90, 90, 90});
  const double axis[3] = {0, 0.6, 0.8};
  const Mat3 ub = LWMATMUL(rotation(axis, 30), S().crystal.B);
  measure(ub, {1, 0, 0});
  measure(ub, {0, -1, 0});
  measure(ub, {2, 0, 0});
  float observed = 0, calculated = 0;
  Mat3 result;
  // Components that sum to zero are no reason to refuse: 1 0 0 and 0 -1 0 are a good pair.
  ASSERT_EQ(CALCOM(current_geometry(), S().list, 1, 2, {1, 0, 0}, {0, -1, 0}, observed,
                   calculated, result),
            0);
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(result.a[k], ub.a[k], 2e-6);
  EXPECT_NEAR(calculated, 90.0f, 1e-3);

  // Parallel computed vectors.
  lines_.clear();
  EXPECT_EQ(CALCOM(current_geometry(), S().list, 1, 2, {1, 0, 0}, {-1, 0, 0}, observed,
                   calculated, result),
            1);
  EXPECT_TRUE(printed(" DEGENERATE SYSTEM"));
  // Parallel measured vectors (1 0 0 and 2 0 0 measured, other indices typed).
  lines_.clear();
  EXPECT_EQ(CALCOM(current_geometry(), S().list, 1, 3, {1, 0, 0}, {0, 1, 0}, observed,
                   calculated, result),
            1);
  EXPECT_TRUE(printed(" DEGENERATE SYSTEM"));
  // No cell.
  lines_.clear();
  S().crystal.B = Mat3{};
  EXPECT_EQ(CALCOM(current_geometry(), S().list, 1, 2, {1, 0, 0}, {0, -1, 0}, observed,
                   calculated, result),
            1);
  EXPECT_TRUE(printed(" INVALID UB MATRIX OR NO UNIT CELL GIVEN"));
}

TEST_F(OrientTest, LaueSymbolsAndGroupOrders) {
  const std::tuple<const char*, int, std::size_t> cases[] = {
      {"-1", 1, 2},     {"2/m", 2, 4},     {"MMM", 3, 8},     {"4/M", 4, 8},
      {"4/mmm", 5, 16}, {"-3", 6, 6},      {" -3m1", 7, 12},  {"-31M", 8, 12},
      {"6/M", 9, 12},   {"6/MMM", 10, 24}, {"m3", 11, 24},    {"M3M", 12, 48},
  };
  std::vector<SymOp> ops;
  for (const auto& [symbol, number, order] : cases) {
    EXPECT_EQ(GET_LAUE_GROUP(symbol, ops), number) << symbol;
    EXPECT_EQ(ops.size(), order) << symbol;
    // Closed under products.
    for (const SymOp& a : ops)
      for (const SymOp& b : ops) {
        bool found = false;
        for (const SymOp& c : ops) found = found || EQOP(c, GMPRD(a, b));
        EXPECT_TRUE(found) << symbol;
      }
  }
  EXPECT_EQ(GET_LAUE_GROUP("P21/c", ops), 0);
  EXPECT_TRUE(ops.empty());
}

// Every equivalent INL adds has the d-spacing of the reflection typed, in every Laue group on
// the lattice it belongs to; a general reflection gets half the group order (Friedel pairs).
TEST_F(OrientTest, InlAddsEquivalentsOfTheSameSpacing) {
  struct Case {
    const char* symbol;
    Cell cell;
    std::size_t distinct;
  };
  const Case cases[] = {
      {"-1", {6.1f, 7.7f, 8.3f, 78.2f, 85.6f, 69.9f}, 1},
      {"2/M", {7.2f, 11.5f, 9.1f, 90, 104.3f, 90}, 2},
      {"MMM", {7.2f, 11.5f, 9.1f, 90, 90, 90}, 4},
      {"4/M", {7.2f, 7.2f, 9.1f, 90, 90, 90}, 4},
      {"4/MMM", {7.2f, 7.2f, 9.1f, 90, 90, 90}, 8},
      {"-3", {7.2f, 7.2f, 9.1f, 90, 90, 120}, 3},
      {"-3M1", {7.2f, 7.2f, 9.1f, 90, 90, 120}, 6},
      {"-31M", {7.2f, 7.2f, 9.1f, 90, 90, 120}, 6},
      {"6/M", {7.2f, 7.2f, 9.1f, 90, 90, 120}, 6},
      {"6/MMM", {7.2f, 7.2f, 9.1f, 90, 90, 120}, 12},
      {"M3", {7.2f, 7.2f, 7.2f, 90, 90, 90}, 12},
      {"M3M", {7.2f, 7.2f, 7.2f, 90, 90, 90}, 24},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.symbol);
    S().list.count = 0;
    S().shell.continuation_code = 0;
    set_cell(c.cell);
    S().shell.command_argument = c.symbol;
    INSERT_LAUE();
    ASSERT_EQ(S().shell.continuation_code, 40);
    const Vec3 h{3, 1, 2};
    S().shell.command_argument = "3 1 2";
    lines_.clear();
    INSERT_LAUE();
    ASSERT_EQ(S().list.count, static_cast<int>(c.distinct));
    const double d = dspacing_inverse(S().crystal.B, h);
    std::set<std::tuple<int, int, int>> seen;
    for (int n = 0; n < S().list.count; ++n) {
      const ReflectionEntry& e = S().list.entry[n];
      EXPECT_NEAR(dspacing_inverse(S().crystal.B, {e.h, e.k, e.l}), d, 1e-6) << n;
      // Stored angles are those of the reflection.
      AngleSet a = e.angles;
      const Vec3 x = CALCH(current_geometry(), a);
      EXPECT_NEAR(std::sqrt(dot(x, x)), d, 2e-6);
      const auto key = std::make_tuple(static_cast<int>(e.h), static_cast<int>(e.k),
                                       static_cast<int>(e.l));
      EXPECT_TRUE(seen.insert(key).second);
      EXPECT_FALSE(seen.count(std::make_tuple(-std::get<0>(key), -std::get<1>(key),
                                              -std::get<2>(key))));
    }
    EXPECT_TRUE(printed(" REFLECTION    3   1   2 ADDED TO LIST"));
    // A second time: nothing new.
    lines_.clear();
    S().shell.command_argument = "-3 -1 -2";
    INSERT_LAUE();
    EXPECT_TRUE(printed(" ALL EQUIVALENTS ALREADY IN LIST"));
    EXPECT_EQ(S().list.count, static_cast<int>(c.distinct));
    S().shell.command_argument = "0 0 0";
    INSERT_LAUE();
    EXPECT_EQ(S().shell.continuation_code, 0);
  }
}

TEST_F(OrientTest, InlReportsEachEquivalentItCannotAdd) {
  set_cell({7.2f, 7.2f, 7.2f, 90, 90, 90});
  S().list.count = kListSize - 2;
  for (int n = 0; n < S().list.count; ++n) S().list.entry[n].h = 20.0f + n;
  S().shell.command_argument = "M3M";
  INSERT_LAUE();
  S().shell.command_argument = "1 0 0";  // six equivalents, three Friedel pairs
  lines_.clear();
  INSERT_LAUE();
  EXPECT_EQ(S().list.count, kListSize);
  int full = 0;
  for (const auto& l : lines_) full += l == "REFLECTION LIST FULL";
  EXPECT_EQ(full, 1);  // 0 0 1 once, though several operators give it

  // Out of reach: 2theta limited to 30 degrees.
  S().list.count = 0;
  S().profile.motor[1].upper = 30;
  S().shell.command_argument = "6 0 0";  // 2theta about 34.6
  lines_.clear();
  INSERT_LAUE();
  EXPECT_EQ(S().list.count, 0);
  int out = 0;
  for (const auto& l : lines_) out += l.find("OUT-OF-BOUNDS") != std::string::npos;
  EXPECT_EQ(out, 3);
  EXPECT_TRUE(printed(" REFLECTION    6   0   0 OUT-OF-BOUNDS"));
}

}  // namespace
}  // namespace dorvex

namespace dorvex {
namespace {

void type(void (*command)(), const char* line) {
  S().shell.command_argument = line;
  command();
}

// An impossible cell or a singular typed matrix leaves cell, B and UB as they were, so the
// crystal never holds a cell that disagrees with its matrices.
TEST_F(OrientTest, RefusedCellOrMatrixChangesNothing) {
  set_cell({10, 10, 10, 90, 90, 90});
  ASSERT_TRUE(OMTOB(S().crystal, true));
  const CrystalState before = S().crystal;
  type(GETCELL, "");
  ASSERT_EQ(S().shell.continuation_code, 17);
  type(GETCELL, "5 5 5 40 40 100");
  EXPECT_EQ(S().shell.continuation_code, 0);
  EXPECT_EQ(S().crystal.cell, before.cell);
  EXPECT_EQ(S().crystal.UB.a, before.UB.a);
  EXPECT_EQ(S().crystal.B.a, before.B.a);

  type(ENTOM, "");
  type(ENTOM, "1 2 3");
  type(ENTOM, "2 4 6");
  type(ENTOM, "1 1 1");
  EXPECT_EQ(S().shell.continuation_code, 0);
  EXPECT_TRUE(printed(" Invalid Orientation Matrix - Use COM"));
  EXPECT_EQ(S().crystal.UB.a, before.UB.a);
  EXPECT_EQ(S().crystal.cell, before.cell);

  // Values left out keep those of the previous CELL input; small angles become 90.
  type(GETCELL, "");
  type(GETCELL, "6 7 8 0 100");
  EXPECT_EQ(S().crystal.cell[3], 90.0f);
  EXPECT_NEAR(S().crystal.cell[4], 100.0f, 1e-3);
  type(GETCELL, "");
  type(GETCELL, "9");
  EXPECT_NEAR(S().crystal.cell[0], 9.0f, 1e-4);
  EXPECT_NEAR(S().crystal.cell[2], 8.0f, 1e-4);
  EXPECT_NEAR(S().crystal.cell[4], 100.0f, 1e-3);
  EXPECT_NEAR(S().crystal.UB(2, 2), 1 / 8.0, 1e-6);  // UB = B
}

}  // namespace
}  // namespace dorvex
