// B, G* and the cell from UB, checked against the reciprocal lattice built here from the
// direct basis vectors in double precision; the general inversion against known inverses.
#include <cmath>
#include <random>

#include "geometry/cell.hpp"
#include "geometry/matrix.hpp"
#include "geometry/geometry_fixture.hpp"

namespace dorvex {
namespace {

using testing::GeometryTest;

constexpr double kPi = 3.14159265358979323846;

struct D3 {
  double x, y, z;
};
D3 cross(D3 a, D3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double dot3(D3 a, D3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// Reciprocal metric tensor of a cell: direct basis vectors in Cartesian form, reciprocal
// vectors a* = (b x c)/V etc., G*(i,j) = a*_i . a*_j.
std::array<std::array<double, 3>, 3> reciprocal_metric(const Cell& cell, double& volume) {
  const double al = cell[3] * kPi / 180, be = cell[4] * kPi / 180, ga = cell[5] * kPi / 180;
  const D3 a{cell[0], 0, 0};
  const D3 b{cell[1] * std::cos(ga), cell[1] * std::sin(ga), 0};
  const double cx = cell[2] * std::cos(be);
  const double cy = cell[2] * (std::cos(al) - std::cos(be) * std::cos(ga)) / std::sin(ga);
  const D3 c{cx, cy, std::sqrt(cell[2] * cell[2] - cx * cx - cy * cy)};
  volume = dot3(a, cross(b, c));
  const D3 r[3] = {cross(b, c), cross(c, a), cross(a, b)};
  std::array<std::array<double, 3>, 3> g{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) g[i][j] = dot3(r[i], r[j]) / (volume * volume);
  return g;
}

Mat3 random_rotation(std::mt19937& rng) {
  std::normal_distribution<double> n(0.0, 1.0);
  double q[4];
  double len = 0;
  for (double& v : q) {
    v = n(rng);
    len += v * v;
  }
  len = std::sqrt(len);
  for (double& v : q) v /= len;
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  const double m[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
                          {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
                          {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)}};
  Mat3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r(i, j) = static_cast<float>(m[i][j]);
  return r;
}

const Cell kCells[] = {
    {10, 10, 10, 90, 90, 90},                 // cubic
    {4.9134f, 4.9134f, 5.4052f, 90, 90, 120},  // hexagonal
    {7.2f, 11.5f, 9.1f, 90, 104.3f, 90},       // monoclinic
    {6.1f, 7.7f, 8.3f, 78.2f, 85.6f, 69.9f},   // triclinic
    {5.5f, 6.6f, 7.7f, 101.5f, 112.0f, 95.0f}, // triclinic, obtuse
};

TEST_F(GeometryTest, BMatrixIsUpperTriangularAndReproducesTheReciprocalMetric) {
  for (const Cell& cell : kCells) {
    SCOPED_TRACE(cell[0]);
    double volume = 0;
    const auto gstar = reciprocal_metric(cell, volume);
    Mat3 B;
    ASSERT_TRUE(CALCB(cell, B));
    EXPECT_FLOAT_EQ(B(1, 0), 0.0f);
    EXPECT_FLOAT_EQ(B(2, 0), 0.0f);
    EXPECT_FLOAT_EQ(B(2, 1), 0.0f);
    EXPECT_NEAR(B(0, 0), std::sqrt(gstar[0][0]), 2e-6);
    EXPECT_NEAR(B(2, 2), 1.0 / cell[2], 2e-6);
    const Mat3 btb = LWMATMUL(transpose(B), B);
    Mat3 g_from_metr;
    float det = 0;
    METR(cell, g_from_metr, det);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        EXPECT_NEAR(btb(i, j), gstar[i][j], 2e-6) << i << j;
        EXPECT_NEAR(g_from_metr(i, j), gstar[i][j], 2e-6) << i << j;
      }
    // METR's determinant is that of the direct metric tensor, V^2.
    EXPECT_NEAR(det / (volume * volume), 1.0, 1e-4);
  }
}

TEST_F(GeometryTest, KnownCubicAndHexagonalValues) {
  Mat3 B;
  ASSERT_TRUE(CALCB({10, 10, 10, 90, 90, 90}, B));
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(B(i, j), i == j ? 0.1f : 0.0f, 1e-6);
  S().crystal.UB = B;
  ASSERT_TRUE(OMTOB(S().crystal, true));
  EXPECT_NEAR(S().crystal.volume, 1000.0f, 0.01f);

  // Hexagonal: b* = 2/(a sqrt 3), B(1,2) = b* cos 60 = b*/2.
  const float a = 4.0f;
  ASSERT_TRUE(CALCB({a, a, 6, 90, 90, 120}, B));
  const double bstar = 2.0 / (a * std::sqrt(3.0));
  EXPECT_NEAR(B(0, 1), bstar / 2, 1e-6);
  EXPECT_NEAR(B(1, 1), bstar * std::sqrt(3.0) / 2, 1e-6);
  EXPECT_NEAR(B(2, 2), 1.0 / 6, 1e-6);
}

TEST_F(GeometryTest, CellFromRotatedUbForRandomOrientations) {
  std::mt19937 rng(20240611);
  for (const Cell& cell : kCells) {
    Mat3 B;
    ASSERT_TRUE(CALCB(cell, B));
    double volume = 0;
    reciprocal_metric(cell, volume);
    for (int trial = 0; trial < 20; ++trial) {
      CrystalState crystal;
      crystal.UB = LWMATMUL(random_rotation(rng), B);
      ASSERT_TRUE(OMTOB(crystal, true));
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(crystal.cell[i], cell[i], 2e-4 * cell[i]);
      for (int i = 3; i < 6; ++i) EXPECT_NEAR(crystal.cell[i], cell[i], 5e-3);
      EXPECT_NEAR(crystal.volume, volume, 1e-4 * volume);
      for (int k = 0; k < 9; ++k) EXPECT_NEAR(crystal.B.a[k], B.a[k], 1e-5);
    }
  }
  EXPECT_TRUE(lines_.empty());  // quiet: nothing shown
}

TEST_F(GeometryTest, ParamsAndRecipInvertEachOther) {
  for (const Cell& cell : kCells) {
    Mat3 B;
    ASSERT_TRUE(CALCB(cell, B));
    double volume = 0;
    reciprocal_metric(cell, volume);
    Cell back{};
    float v = 0;
    PARAMS(B, back, v);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(back[i], cell[i], 2e-3) << i;
    EXPECT_NEAR(v, volume, 1e-4 * volume);

    // RECIP twice gives the cell back.
    const std::array<float, 6> in = {cell[0], cell[1], cell[2],
                                     static_cast<float>(std::cos(cell[3] * kPi / 180)),
                                     static_cast<float>(std::cos(cell[4] * kPi / 180)),
                                     static_cast<float>(std::cos(cell[5] * kPi / 180))};
    std::array<float, 6> rec{}, dir{};
    float v1 = 0, iv1 = 0, v2 = 0, iv2 = 0;
    RECIP(in, v1, rec, iv1);
    RECIP(rec, v2, dir, iv2);
    EXPECT_NEAR(v1, volume, 1e-4 * volume);
    EXPECT_NEAR(iv2, volume, 1e-4 * volume);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(dir[i], in[i], 1e-4) << i;
  }
}

TEST_F(GeometryTest, ImpossibleCellAndSingularUbAreRefused) {
  Mat3 B = Mat3::identity(0.5f);
  const Mat3 before = B;
  EXPECT_FALSE(CALCB({5, 5, 5, 40, 40, 100}, B));  // alpha + beta < gamma
  EXPECT_EQ(B.a, before.a);
  ASSERT_FALSE(lines_.empty());
  EXPECT_EQ(lines_.back().rfind(" Error in Cell: Determinant of G = ", 0), 0u);

  lines_.clear();
  CrystalState crystal;
  crystal.cell = {1, 2, 3, 90, 90, 90};
  crystal.UB = Mat3::identity(0.1f);
  crystal.UB(1, 0) = crystal.UB(1, 1) = crystal.UB(1, 2) = 0.0f;  // a zero row
  EXPECT_FALSE(OMTOB(crystal, false));
  EXPECT_TRUE(printed("  Singular matrix."));
  EXPECT_TRUE(printed(" Invalid Orientation Matrix - Use COM"));
  EXPECT_EQ(crystal.cell[1], 2.0f);
}

TEST_F(GeometryTest, InversionAgreesWithKnownInversesAndReportsSingularMatrices) {
  // A 4x4 block of a 5x5 declared matrix, with a pivot of zero on the diagonal.
  const double m[4][4] = {{0, 2, 1, 0}, {1, 1, 0, 3}, {2, 0, 1, 1}, {0, 1, 4, 2}};
  float a[25] = {};
  double a8[25] = {};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) a[i + 5 * j] = static_cast<float>(a8[i + 5 * j] = m[i][j]);
  float det = 0;
  int ierr = 0;
  MINV(a, 5, 4, det, ierr);
  ASSERT_EQ(ierr, 0);
  // Determinant by cofactor expansion along the first row.
  auto det3 = [&](int skip_col) {
    double s[3][3];
    for (int i = 1; i < 4; ++i)
      for (int j = 0, c = 0; j < 4; ++j)
        if (j != skip_col) s[i - 1][c++] = m[i][j];
    return s[0][0] * (s[1][1] * s[2][2] - s[1][2] * s[2][1]) -
           s[0][1] * (s[1][0] * s[2][2] - s[1][2] * s[2][0]) +
           s[0][2] * (s[1][0] * s[2][1] - s[1][1] * s[2][0]);
  };
  const double expected_det = -2 * det3(1) + 1 * det3(2);
  EXPECT_NEAR(det, expected_det, 1e-4);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      double s = 0;
      for (int k = 0; k < 4; ++k) s += m[i][k] * a[k + 5 * j];
      EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-5) << i << j;
    }
  double det8 = 0;
  MINV8(a8, 5, 4, det8, ierr);
  EXPECT_EQ(ierr, 0);
  EXPECT_NEAR(det8, expected_det, 1e-10);

  // A zero row: message, identity, determinant 0.
  Mat3 z = Mat3::identity(3.0f);
  z(2, 2) = 0.0f;
  const Mat3 inv = MINV3(z, det, ierr);
  EXPECT_EQ(ierr, 1);
  EXPECT_EQ(det, 0.0f);
  EXPECT_EQ(inv.a, Mat3::identity().a);
  EXPECT_TRUE(printed("  Singular matrix."));

  MINV(a, 3, 4, det, ierr);  // declared order below the order
  EXPECT_EQ(ierr, 1);
}

}  // namespace
}  // namespace dorvex
