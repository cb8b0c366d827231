// The limit check: ranges of the circles, equivalent chi and phi inside limited ranges, arm
// clearance, the fixed-phi cone, and the check modes.
#include <cmath>

#include "geometry/geometry_fixture.hpp"
#include "geometry/limits.hpp"

namespace dorvex {
namespace {

class LimitsTest : public testing::GeometryTest {
 protected:
  void SetUp() override {
    GeometryTest::SetUp();
    MachineProfile& p = S().profile;
    p.motor[1].lower = -50;
    p.motor[1].upper = 90;
    p.clearance_angle = 40;
    p.config[5] = 1;  // the omega motor reads the circle
    DeviceSettings& d = S().device;
    d.omega_lower = -90;
    d.omega_upper = 90;
  }
  int check(AngleSet& a, int mode) { return SOFTLIMITS(S().profile, S().device, a, mode); }
};

TEST_F(LimitsTest, LimitedPhiIsPutIntoItsRangeOrRefused) {
  DeviceSettings& d = S().device;
  d.phi_limited = 1;
  d.phi_lower = -100;
  d.phi_upper = 100;
  float x = 200;
  EXPECT_EQ(PUT_INTO_RANGE(S().profile, d, x, 4), 1);  // 200 - 360 = -160: below the range
  EXPECT_EQ(x, 200.0f);                                // a refused angle is left alone
  x = 300;
  EXPECT_EQ(PUT_INTO_RANGE(S().profile, d, x, 4), 0);
  EXPECT_FLOAT_EQ(x, -60.0f);
  x = -400;
  EXPECT_EQ(PUT_INTO_RANGE(S().profile, d, x, 4), 0);
  EXPECT_FLOAT_EQ(x, -40.0f);
  x = -100;  // exactly at the lower limit: moved up by a turn, then beyond the upper limit
  EXPECT_EQ(PUT_INTO_RANGE(S().profile, d, x, 4), 1);
  x = 1.0e30f;
  EXPECT_EQ(PUT_INTO_RANGE(S().profile, d, x, 4), 1);
  x = NAN;
  EXPECT_EQ(PUT_INTO_RANGE(S().profile, d, x, 4), 1);

  // Limits are motor positions: the zero offset shifts the logical range.
  S().profile.offset[4] = 10;
  x = 95;  // position 105
  EXPECT_EQ(PUT_INTO_RANGE(S().profile, d, x, 4), 1);
  x = 85;
  EXPECT_EQ(PUT_INTO_RANGE(S().profile, d, x, 4), 0);
  EXPECT_FLOAT_EQ(x, 85.0f);

  // Through the whole check: phi replaced, and mode 4 looks at phi only.
  S().profile.offset[4] = 0;
  AngleSet a{20, 0, 10, 300};
  EXPECT_EQ(check(a, 0), 0);
  EXPECT_FLOAT_EQ(a[3], -60.0f);
  AngleSet far{170, 80, 10, 50};  // 2theta, omega and clearance all wrong
  EXPECT_EQ(check(far, 4), 0);
  far[3] = 200;
  EXPECT_EQ(check(far, 4), 1);
}

TEST_F(LimitsTest, CircleRangesAndArmClearance) {
  AngleSet a{20, 0, 0, 0};
  EXPECT_EQ(check(a, 0), 0);
  a = {95, 0, 0, 0};
  EXPECT_EQ(check(a, 0), 1);  // 2theta above 90
  EXPECT_EQ(check(a, 2), 0);  // mode 2 skips 2theta: omega 47.5, clearance 42.5
  a = {60, 65, 0, 0};         // omega circle at 95
  EXPECT_EQ(check(a, 1), 1);
  EXPECT_EQ(check(a, 3), 0);  // mode 3 skips omega; clearance 65 + 90 - 30 = 125 < 140
  a = {60, 45, 0, 0};         // omega circle 75; clearance 45 + 90 - 30 = 105
  EXPECT_EQ(check(a, 0), 0);
  a = {60, 55, 0, 0};         // omega circle 85; clearance 115
  EXPECT_EQ(check(a, 0), 0);
  a = {80, 70, 0, 0};         // omega circle 110: outside
  EXPECT_EQ(check(a, 0), 1);
  a = {80, -15, 0, 0};        // clearance -15 + 90 - 40 = 35 < 40
  EXPECT_EQ(check(a, 3), 1);
  EXPECT_EQ(check(a, 4), 0);
  a = {-40, 15, 0, 0};        // negative arm: clearance -15 + 90 - 20 = 55
  EXPECT_EQ(check(a, 0), 0);
  a = {-40, -35, 0, 0};       // 35 + 70 = 105
  EXPECT_EQ(check(a, 0), 0);
  a = {-40, 35, 0, 0};        // -35 + 70 = 35 < 40
  EXPECT_EQ(check(a, 0), 1);
  a = {20, 0, 0, 0};
  EXPECT_EQ(check(a, 9), 0);  // unknown mode checks everything
  a = {95, 0, 0, 0};
  EXPECT_EQ(check(a, 9), 1);
  // Where the omega circle follows 2theta by itself its motor reads omega from the bisecting
  // position: the same settings stand at 65 and 70 on it, inside its limits.
  S().profile.config[5] = 0;
  for (AngleSet b : {AngleSet{60, 65, 0, 0}, AngleSet{80, 70, 0, 0}}) EXPECT_EQ(check(b, 1), 0);
  AngleSet c{10, 95, 0, 0};
  EXPECT_EQ(check(c, 1), 1);
}

TEST_F(LimitsTest, ChiRangeIsCheckedInModesZeroAndThree) {
  DeviceSettings& d = S().device;
  d.chi_limited = 1;
  d.chi_lower = -30;
  d.chi_upper = 30;
  AngleSet a{20, 0, 50, 0};
  EXPECT_EQ(check(a, 1), 0);
  EXPECT_EQ(check(a, 3), 1);
  EXPECT_EQ(check(a, 0), 1);
  EXPECT_EQ(check(a, 4), 0);
  a[2] = 350;
  EXPECT_EQ(check(a, 3), 0);
  EXPECT_FLOAT_EQ(a[2], -10.0f);
}

// Fixed-phi mode: at phi 0 the incident and diffracted beams make theta +- omega with the
// plane normal to the phi axis, so both cosines are cos(theta +- omega).
TEST_F(LimitsTest, FixedPhiConeGivesTheDeviceStatus) {
  DeviceSettings& d = S().device;
  d.fixed_phi = 1;
  AngleSet a{20, 0, 0, 0};
  d.psi_max = 15;
  EXPECT_EQ(check(a, 0), 0);
  d.psi_max = 5;
  EXPECT_EQ(check(a, 0), 2);
  EXPECT_EQ(check(a, 1), 0);  // the device checks belong to mode 0 only
  a = {20, 4, 0, 0};  // beams at 14 and 6 degrees
  d.psi_max = 13;
  EXPECT_EQ(check(a, 0), 2);
  d.psi_max = 14.5f;
  EXPECT_EQ(check(a, 0), 0);
  d.fixed_phi = 0;
  d.psi_max = 1;
  EXPECT_EQ(check(a, 0), 0);
}

}  // namespace
}  // namespace dorvex
