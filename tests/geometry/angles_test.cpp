// Circle angles of reflections: the settings are checked against the Eulerian-cradle rotation
// built here in double precision, for every pattern of rotation senses.
#include <cmath>
#include <random>

#include "geometry/angles.hpp"
#include "geometry/cell.hpp"
#include "geometry/geometry_fixture.hpp"
#include "geometry/matrix.hpp"

namespace dorvex {
namespace {

constexpr double kRad = 3.14159265358979323846 / 180.0;

using M = std::array<std::array<double, 3>, 3>;

M mul(const M& a, const M& b) {
  M c{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) c[i][j] += a[i][k] * b[k][j];
  return c;
}

// R = Omega X Phi, each sine carrying the sense of its circle.
M cradle(double om, double chi, double phi, double so, double sc, double sp) {
  const double co = std::cos(om * kRad), sno = so * std::sin(om * kRad);
  const double cc = std::cos(chi * kRad), snc = sc * std::sin(chi * kRad);
  const double cp = std::cos(phi * kRad), snp = sp * std::sin(phi * kRad);
  const M omega{{{co, sno, 0}, {-sno, co, 0}, {0, 0, 1}}};
  const M x{{{cc, 0, snc}, {0, 1, 0}, {-snc, 0, cc}}};
  const M ph{{{cp, snp, 0}, {-snp, cp, 0}, {0, 0, 1}}};
  return mul(omega, mul(x, ph));
}

class AnglesTest : public testing::GeometryTest {
 protected:
  void SetUp() override {
    GeometryTest::SetUp();
    MachineProfile& p = S().profile;
    p.motor[1].lower = -180;
    p.motor[1].upper = 180;
    p.clearance_angle = -1000.0f;  // no arm clearance: every setting of the sphere is allowed
    DeviceSettings& d = S().device;
    d.omega_lower = -270;
    d.omega_upper = 270;
    S().crystal.lambda1 = 0.71073f;
    ASSERT_TRUE(CALCB({8.3f, 9.1f, 12.7f, 84.0f, 97.5f, 101.2f}, S().crystal.B));
    // Some orientation: rotate B about an inclined axis.
    const double t = 37 * kRad;
    const double n[3] = {0.48, -0.6, 0.64};
    Mat3 u;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        const double cross = (i == j) ? 0 : n[3 - i - j] * (((j - i + 3) % 3 == 1) ? -1 : 1);
        u(i, j) = static_cast<float>((i == j ? std::cos(t) : 0) + (1 - std::cos(t)) * n[i] * n[j] +
                                     std::sin(t) * cross);
      }
    S().crystal.UB = LWMATMUL(u, S().crystal.B);
  }
  void senses(int pattern) {
    for (int m = 2; m <= 4; ++m) S().profile.sense[m] = (pattern >> (m - 2)) & 1 ? -1.0f : 1.0f;
  }
  double sense(int m) const { return S().profile.sense[m]; }
};

TEST_F(AnglesTest, CalcaBringsTheVectorIntoDiffractingPositionInBothModes) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> index(-5, 5);
  int checked = 0;
  for (int fixed = 0; fixed <= 1; ++fixed) {
    S().device.fixed_phi = fixed;
    for (int pattern = 0; pattern < 8; ++pattern) {
      senses(pattern);
      for (int trial = 0; trial < 40; ++trial) {
        const Vec3 h{static_cast<float>(index(rng)), static_cast<float>(index(rng)),
                     static_cast<float>(index(rng))};
        const Vec3 x = CALPHI(S().crystal.UB, h);
        AngleSet a{};
        const int status = CALCA(current_geometry(), x, a);
        const double dstar = std::sqrt(dot(x, x));
        if (dstar < 1e-6 || dstar * 0.71073 / 2 > 1) {
          EXPECT_EQ(status, 1);
          EXPECT_EQ(a, (AngleSet{0, 0, 0, 0}));
          continue;
        }
        ASSERT_EQ(status, 0);
        EXPECT_EQ(fixed == 0 ? a[1] : a[3], 0.0f);
        EXPECT_NEAR(std::sin(a[0] / 2 * kRad), dstar * 0.71073 / 2, 1e-6);
        // R x_phi = (d*, 0, 0).
        const M r = cradle(a[1], a[2], a[3], sense(2), sense(3), sense(4));
        for (int i = 0; i < 3; ++i) {
          const double lab = r[i][0] * x[0] + r[i][1] * x[1] + r[i][2] * x[2];
          EXPECT_NEAR(lab, i == 0 ? dstar : 0.0, 2e-6);
        }
        AngleSet copy = a;
        const Vec3 back = CALCH(current_geometry(), copy);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[i], x[i], 2e-6);
        const Vec3 hb = HCALC(current_geometry(), a);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(hb[i], h[i], 2e-4);
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 500);
}

TEST_F(AnglesTest, SpecialDirectionsAndRefusals) {
  S().crystal.UB = Mat3::identity(0.1f);
  AngleSet a{};
  EXPECT_EQ(CALCA(current_geometry(), CALPHI(S().crystal.UB, {0, 0, 0}), a), 1);
  EXPECT_EQ(a, (AngleSet{0, 0, 0, 0}));
  EXPECT_EQ(CALCA(current_geometry(), {3.0f, 0, 0}, a), 1);  // sin theta > 1

  for (int pattern = 0; pattern < 8; ++pattern) {
    senses(pattern);
    ASSERT_EQ(CALCA(current_geometry(), {0.1f, 0, 0}, a), 0);
    EXPECT_EQ(a[1], 0.0f);
    EXPECT_EQ(a[2], 0.0f);
    EXPECT_EQ(a[3], 0.0f);
    ASSERT_EQ(CALCA(current_geometry(), {0, 0, 0.1f}, a), 0);
    EXPECT_NEAR(a[2], 90.0 * sense(3), 1e-4);
  }
  // CALCH of (2theta, 0, 0, 0) with all senses +1.
  senses(0);
  AngleSet z{30.0f, 0, 0, 0};
  const Vec3 x = CALCH(current_geometry(), z);
  EXPECT_NEAR(x[0], 2 * std::sin(15 * kRad) / 0.71073, 1e-6);
  EXPECT_EQ(x[1], 0.0f);
  EXPECT_EQ(x[2], 0.0f);
  AngleSet tiny{20.0f, 5e-7f, -5e-7f, 3.0f};
  CALCH(current_geometry(), tiny);
  EXPECT_EQ(tiny[1], 0.0f);
  EXPECT_EQ(tiny[2], 0.0f);

  // A setting the limits refuse gives the limit check's flag and zeros.
  S().profile.motor[1].upper = 10;
  EXPECT_EQ(CALCA(current_geometry(), {1.0f, 0.5f, 0}, a), 1);  // 2theta 46.8
  EXPECT_EQ(a, (AngleSet{0, 0, 0, 0}));
}

TEST_F(AnglesTest, PsimatIsTheCradleRotation) {
  for (int pattern = 0; pattern < 8; ++pattern) {
    senses(pattern);
    const AngleSet a{25, 13, -71, 144};
    const Mat3 r = PSIMAT(current_geometry(), a);
    const M expected = cradle(13, -71, 144, sense(2), sense(3), sense(4));
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) EXPECT_NEAR(r(i, j), expected[i][j], 1e-6);
  }
}

// PSIANG must give a setting whose rotation is R_psi R; then the same vector diffracts and the
// psi rotation is the one asked for. Settings with chi at 0 and 180 take the degenerate branch.
TEST_F(AnglesTest, PsiRotationGivesTheRotatedCradleForAllSenses) {
  const AngleSet settings[] = {
      {30, 12, 40, -65}, {30, -60, 120, 170}, {30, 20, 0, 35}, {30, -35, 180, 35},
      {30, 0, 0, -150},  {30, 70, -180, 10},  {30, 0, 90, 0},
  };
  const float psis[] = {0.0f, 17.0f, -123.0f, 180.0f};
  for (int pattern = 0; pattern < 8; ++pattern) {
    senses(pattern);
    for (const AngleSet& s : settings) {
      for (float psi : psis) {
        SCOPED_TRACE(::testing::Message() << "senses " << pattern << " chi " << s[2] << " psi "
                                          << psi);
        const Mat3 r = PSIMAT(current_geometry(), s);
        AngleSet out = s;
        ASSERT_EQ(PSIANG(current_geometry(), r, psi, out), 0);
        EXPECT_LE(std::fabs(out[1]), 90.0f);
        EXPECT_EQ(out[0], s[0]);
        const M rpsi{{{1, 0, 0},
                      {0, std::cos(psi * kRad), std::sin(psi * kRad)},
                      {0, -std::sin(psi * kRad), std::cos(psi * kRad)}}};
        const M want = mul(rpsi, cradle(s[1], s[2], s[3], sense(2), sense(3), sense(4)));
        const M got = cradle(out[1], out[2], out[3], sense(2), sense(3), sense(4));
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) EXPECT_NEAR(got[i][j], want[i][j], 2e-5) << i << j;
        AngleSet a1 = s, a2 = out;
        const Vec3 x1 = CALCH(current_geometry(), a1), x2 = CALCH(current_geometry(), a2);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(x2[i], x1[i], 2e-5);
      }
    }
  }
}

// Positions 1, 3, 5, 7 diffract x_phi, positions 2, 4, 6, 8 its opposite (-2theta or chi
// through 180 turns the diffraction vector over).
TEST_F(AnglesTest, EquivalentSettingsDiffractTheSameVectorUpToItsSign) {
  for (int pattern = 0; pattern < 8; ++pattern) {
    senses(pattern);
    const AngleSet s{34, 8, 52, -77};
    AngleSet a = s;
    const Vec3 x = CALCH(current_geometry(), a);
    for (int p = 1; p <= 8; ++p) {
      AngleSet e = s;
      GET_ZREF(e, p);
      const Vec3 y = CALCH(current_geometry(), e);
      const float sign = p % 2 == 1 ? 1.0f : -1.0f;
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(y[i], sign * x[i], 2e-6) << p;
    }
  }
  AngleSet one{10, 2, 30, 40}, eight = one;
  GET_ZREF(eight, 8);
  EXPECT_EQ(eight, (AngleSet{10, 2, -30, 220}));
  EXPECT_EQ(SGN(0.0001f), -1.0f);
  EXPECT_EQ(SGN(0.0002f), 1.0f);
}

}  // namespace
}  // namespace dorvex
