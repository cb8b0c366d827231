// The evaluation of a reflection's equivalent settings. Measured settings are made here from
// true angles and chosen circle zeroes (a circle reads its true angle plus its zero), so the
// zeroes it must find are known; the crystal-offset terms are checked against values worked
// by hand.
#include <gtest/gtest.h>

#include <cmath>

#include "centring/zero_offsets.hpp"
#include "geometry/angles.hpp"

namespace {

using dorvex::AngleSet;
using dorvex::CALC_OFFSETS;
using dorvex::OffsetConstants;
using dorvex::ZeroOffsets;

struct Zeroes {
  float tth = 0, omega = 0, chi = 0;
};

// The eight settings as the circles read them, chi and phi folded into (-180, 180]. 2theta reads
// its true angle plus its zero. Where the omega circle follows the 2theta arm (`geared`) omega
// reads from the bisecting position: its true angle plus its zero. Where the omega motor reads
// the circle, the crystal angle plus the omega zero, the program takes half the 2theta reading
// (zero included) off that.
std::array<AngleSet, 8> measured(const AngleSet& truth, const Zeroes& z, bool geared = true) {
  std::array<AngleSet, 8> out{};
  for (int p = 1; p <= 8; ++p) {
    AngleSet a = truth;
    dorvex::GET_ZREF(a, p);
    for (int i = 2; i < 4; ++i) {
      while (a[static_cast<std::size_t>(i)] > 180.0f) a[static_cast<std::size_t>(i)] -= 360.0f;
      while (a[static_cast<std::size_t>(i)] <= -180.0f) a[static_cast<std::size_t>(i)] += 360.0f;
    }
    a[0] += z.tth;
    a[1] += z.omega - (geared ? 0.0f : z.tth / 2);
    a[2] += z.chi;
    out[static_cast<std::size_t>(p - 1)] = a;
  }
  return out;
}

OffsetConstants constants(bool geared = true) {
  OffsetConstants k;
  k.d1 = 0.5f;
  k.d2 = 175.0f;
  k.omega_follows_two_theta = geared;
  return k;
}

constexpr std::array<int, 8> kAll{1, 1, 1, 1, 1, 1, 1, 1};

TEST(CalcOffsets, EightSettingsSeparateTrueAnglesFromTheCircleZeroes) {
  // An ideal instrument, then one with zeroes, at a chi that wraps settings 3 to 6 and at
  // a negative chi; omega large enough for the omega sign check to apply.
  const AngleSet cases[] = {{20.0f, 0.0f, 30.0f, 40.0f},
                            {35.0f, 4.0f, 150.0f, -170.0f},
                            {12.0f, -3.0f, -60.0f, 100.0f}};
  // Both kinds of machine report the omega zero itself.
  for (const bool geared : {false, true})
  for (const AngleSet& t : cases) {
    for (const Zeroes z : {Zeroes{}, Zeroes{0.2f, -0.1f, 0.3f}}) {
      ZeroOffsets r;
      ASSERT_EQ(CALC_OFFSETS(measured(t, z, geared), kAll, constants(geared), r), 0) << t[2];
      EXPECT_NEAR(r.true_tth, t[0], 1e-4);
      EXPECT_NEAR(r.true_omega, t[1], 1e-4);
      EXPECT_NEAR(r.true_chi, t[2], 1e-3);
      EXPECT_NEAR(r.zero_tth, z.tth, 1e-4);
      EXPECT_NEAR(r.zero_omega_theta, z.omega, 1e-4) << geared;
      EXPECT_NEAR(r.zero_chi, z.chi, 1e-3);
      // Zero errors of the circles alone put the crystal nowhere off the centre.
      for (float c : r.crystal) EXPECT_NEAR(c, 0.0f, 1e-5);
      EXPECT_NEAR(r.delta_h, 0.0f, 1e-5);
    }
  }
}

TEST(CalcOffsets, FourSettingsDetermineWhatTheyCanAndZeroTheRest) {
  const AngleSet t{20.0f, 2.0f, 30.0f, 40.0f};
  const Zeroes z{0.2f, -0.1f, 0.3f};
  ZeroOffsets r;
  // Settings 1 to 4: no chi zero.
  for (const bool geared : {false, true}) {
    ASSERT_EQ(CALC_OFFSETS(measured(t, z, geared), {1, 1, 1, 1, 0, 0, 0, 0}, constants(geared),
                           r), 0);
    EXPECT_NEAR(r.true_tth, 20.0f, 1e-4);
    EXPECT_NEAR(r.true_chi, 30.3f, 1e-3);  // chi carries its zero
    EXPECT_NEAR(r.zero_tth, 0.2f, 1e-4);
    EXPECT_NEAR(r.zero_omega_theta, -0.1f, 1e-4) << geared;
    EXPECT_EQ(r.zero_chi, 0.0f);
    EXPECT_EQ(r.delta_h, 0.0f);
  }
  // Settings 1, 2, 7 and 8: chi and -chi give the chi zero; omega + theta stays undetermined.
  ASSERT_EQ(CALC_OFFSETS(measured(t, z), {1, 1, 0, 0, 0, 0, 1, 1}, constants(), r), 0);
  EXPECT_NEAR(r.true_tth, 20.0f, 1e-4);
  EXPECT_NEAR(r.true_omega, 2.0f, 1e-4);
  EXPECT_NEAR(r.true_chi, 30.0f, 1e-3);
  EXPECT_NEAR(r.zero_tth, 0.2f, 1e-4);
  EXPECT_EQ(r.zero_omega_theta, 0.0f);
  EXPECT_NEAR(r.zero_chi, 0.3f, 1e-3);
  // Any other choice of settings determines nothing.
  EXPECT_EQ(CALC_OFFSETS(measured(t, z), {1, 1, 1, 0, 0, 0, 0, 0}, constants(), r), 4);
  EXPECT_EQ(CALC_OFFSETS(measured(t, z), {1, 1, 1, 1, 1, 0, 0, 0}, constants(), r), 4);
  EXPECT_EQ(CALC_OFFSETS(measured(t, z), {0, 1, 1, 1, 1, 1, 1, 1}, constants(), r), 4);
}

// At chi near 0 (or 180) the settings near chi 180 (or 0) are read on either side of the half
// turn; the readings are taken on one turn and the zeroes come out as for any other chi.
TEST(CalcOffsets, ChiReadOnEitherSideOfTheHalfTurnIsOneChi) {
  for (const float chi : {0.002f, -0.003f, 179.998f}) {
    const AngleSet t{10.0f, 0.0f, chi, 30.0f};
    const Zeroes z{0.2f, -0.1f, 0.0f};
    auto a = measured(t, z);
    for (std::size_t p : {2u, 5u}) a[p][2] += a[p][2] > 0.0f ? -360.0f : 360.0f;  // other side
    ZeroOffsets r;
    ASSERT_EQ(CALC_OFFSETS(a, kAll, constants(), r), 0) << chi;
    EXPECT_NEAR(r.zero_tth, z.tth, 1e-4);
    EXPECT_NEAR(r.zero_omega_theta, z.omega, 1e-4);
    EXPECT_NEAR(r.zero_chi, 0.0f, 1e-3) << chi;
    EXPECT_NEAR(std::remainder(r.true_chi - chi, 360.0f), 0.0f, 1e-3) << chi;
  }
}

TEST(CalcOffsets, InconsistentSettingsAreRefused) {
  const AngleSet t{20.0f, 5.0f, 30.0f, 40.0f};
  ZeroOffsets r;
  auto a = measured(t, {});
  a[1][0] = -a[1][0];  // setting 2 at positive 2theta
  EXPECT_EQ(CALC_OFFSETS(a, kAll, constants(), r), 1);
  a = measured(t, {});
  a[2][1] = -a[2][1];  // setting 3 at the omega of setting 1
  EXPECT_EQ(CALC_OFFSETS(a, kAll, constants(), r), 2);
  // Within a degree of zero the omega signs are not compared.
  auto small = measured(AngleSet{20.0f, 0.5f, 30.0f, 40.0f}, {});
  small[2][1] = -small[2][1];
  EXPECT_EQ(CALC_OFFSETS(small, kAll, constants(), r), 0);
  a = measured(t, {});
  a[5][2] += 5.5f;  // settings 5 and 6 differ by more than 5 degrees of chi
  EXPECT_EQ(CALC_OFFSETS(a, kAll, constants(), r), 3);
  a = measured(t, {});
  a[5][2] += 4.5f;
  EXPECT_EQ(CALC_OFFSETS(a, kAll, constants(), r), 0);
}

TEST(CalcOffsets, DisplacedCrystalGivesTheOffsetsWorkedByHand) {
  // omega = chi = phi = 0 makes the rotation the identity; 2theta 20, theta 10 degrees.
  const AngleSet t{20.0f, 0.0f, 0.0f, 0.0f};
  auto a = measured(t, {});
  // Omega of settings 1, 2, 5, 6 up and 3, 4, 7, 8 down by 0.1: SX = 0.1, nothing else.
  for (std::size_t p : {0u, 1u, 4u, 5u}) a[p][1] += 0.1f;
  for (std::size_t p : {2u, 3u, 6u, 7u}) a[p][1] -= 0.1f;
  ZeroOffsets r;
  ASSERT_EQ(CALC_OFFSETS(a, kAll, constants(), r), 0);
  EXPECT_NEAR(r.true_omega, 0.0f, 1e-5);
  EXPECT_NEAR(r.zero_omega_theta, 0.0f, 1e-5);
  // X1 = 0.1 * 0.5 / cos(10 deg) / 57.295 = 0.050771 / 57.295
  EXPECT_NEAR(r.crystal[0], 0.00088614f, 2e-7);
  EXPECT_NEAR(r.crystal[1], 0.0f, 1e-7);
  EXPECT_NEAR(r.crystal[2], 0.0f, 1e-7);
  EXPECT_NEAR(r.delta_h, 0.0f, 1e-6);

  // Chi pattern - + + - - + + - by 0.1: DELCHI = 0.1 and
  // delta-H = -(2 * 175 * 0.1 * sin(10 deg)) / 57.295 = -6.07768 / 57.295.
  a = measured(t, {});
  const float e[8] = {-0.1f, 0.1f, 0.1f, -0.1f, -0.1f, 0.1f, 0.1f, -0.1f};
  for (std::size_t p = 0; p < 8; ++p) a[p][2] += e[p];
  ASSERT_EQ(CALC_OFFSETS(a, kAll, constants(), r), 0);
  EXPECT_NEAR(r.true_chi, 0.0f, 1e-4);
  EXPECT_NEAR(r.zero_chi, 0.0f, 1e-4);
  EXPECT_NEAR(r.delta_h, -0.106077f, 2e-5);
  for (float c : r.crystal) EXPECT_NEAR(c, 0.0f, 1e-6);

  // A reversed omega sense turns SX, and with it the offset, round.
  a = measured(t, {});
  for (std::size_t p : {0u, 1u, 4u, 5u}) a[p][1] += 0.1f;
  for (std::size_t p : {2u, 3u, 6u, 7u}) a[p][1] -= 0.1f;
  OffsetConstants k = constants();
  k.sense[2] = -1.0f;
  ASSERT_EQ(CALC_OFFSETS(a, kAll, k, r), 0);
  EXPECT_NEAR(r.crystal[0], -0.00088614f, 2e-7);
}

}  // namespace
