// The pieces of the search, cone and photograph routines that need no diffractometer: the
// search grid, the splitting of long scan lines, the peak test, the cone vectors and the
// photograph sweep.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "centring/searches.hpp"
#include "common/state.hpp"

namespace {

using dorvex::find_search_peaks;
using dorvex::search_segments;

constexpr double kRad = 180.0 / M_PI;

TEST(SearchGrid, StepsFollowTheApertureSeenFromTheCrystalRoundedToATenth) {
  // 2 mm at 175 mm subtends 0.6548 degrees; at 2theta 9.9 the chi step sees it 1/sin larger.
  EXPECT_FLOAT_EQ(dorvex::search_step(2.0f, 175.0f, 1.0f), 0.7f);
  const double chi = 2.0 * std::atan(1.0 / (175.0 * std::sin(9.9 / kRad))) * kRad;  // 3.807
  EXPECT_FLOAT_EQ(dorvex::search_step(2.0f, 175.0f, static_cast<float>(std::sin(9.9 / kRad))),
                  static_cast<float>(std::trunc(10.0 * chi + 0.5) / 10.0));
  // 0.3 mm at 100 mm: 0.1719 rounds to 0.2; 0.08 mm: 0.0458 rounds to nothing.
  EXPECT_FLOAT_EQ(dorvex::search_step(0.3f, 100.0f, 1.0f), 0.2f);
  EXPECT_FLOAT_EQ(dorvex::search_step(0.08f, 100.0f, 1.0f), 0.0f);

  // Positions include both ends, also when the sum of steps misses the end in the last bit.
  EXPECT_EQ(dorvex::search_positions(9.9f, 10.6f, 0.7f), 2);
  EXPECT_EQ(dorvex::search_positions(30.0f, 20.0f, 3.8f), 3);
  EXPECT_EQ(dorvex::search_positions(5.0f, 5.0f, 0.3f), 1);

  dorvex::reset_program_state();
  dorvex::S().profile.goncon = {0.5f, 175.0f};
  dorvex::SearchParameters p;
  p.aperture5 = p.aperture6 = 2.0f;
  p.two_theta_first = 0.0f;  // chi step without end: refused
  EXPECT_FALSE(dorvex::search_grid(p));
  p.two_theta_first = -9.9f;  // the other side of the beam: the same grid
  ASSERT_TRUE(dorvex::search_grid(p));
  EXPECT_FLOAT_EQ(p.two_theta_step, 0.7f);
  EXPECT_FLOAT_EQ(p.chi_step, 3.8f);
}

TEST(SearchSegments, ShortLinesAreSkippedAndLongOnesSplitEvenly) {
  EXPECT_TRUE(search_segments(0.0f, 0.9f, 0.1f).empty());  // 9 steps
  EXPECT_TRUE(search_segments(5.0f, 4.0f, 0.1f).empty());
  const auto ten = search_segments(0.0f, 1.0f, 0.1f);
  ASSERT_EQ(ten.size(), 1u);
  EXPECT_EQ(ten[0].points, 10);
  const auto whole = search_segments(23.0f, 30.0f, 0.1f);  // 70 steps despite 0.1 in binary
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0].points, 70);
  EXPECT_EQ(search_segments(0.0f, 200.0f, 1.0f).size(), 1u);
  const auto two = search_segments(0.0f, 201.0f, 1.0f);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[1].points, 100);
  EXPECT_FLOAT_EQ(two[1].start, 100.0f);

  // 450 steps: three scans of 150 that follow each other.
  const auto three = search_segments(-10.0f, 35.0f, 0.1f);
  ASSERT_EQ(three.size(), 3u);
  for (std::size_t j = 0; j < 3; ++j) {
    EXPECT_EQ(three[j].points, 150);
    EXPECT_NEAR(three[j].start, -10.0 + 15.0 * static_cast<double>(j), 1e-3);
  }
}

TEST(SearchPeaks, OnlyTheTopOfASignificantPeakIsReportedWithItsHalfHeightWidth) {
  // The mean of these 12 counts is 50, the threshold at significance 3 is 71.2.
  std::vector<int> c = {10, 10, 12, 30, 90, 200, 150, 60, 11, 10, 9, 8};
  auto peaks = find_search_peaks(c.data(), static_cast<int>(c.size()), 3.0f, 0.1f);
  ASSERT_EQ(peaks.size(), 1u);
  EXPECT_EQ(peaks[0].index, 5);
  EXPECT_EQ(peaks[0].count, 200);
  // Half height 100: index 4 (90) and index 7 (60) bound it: (7 - 4 - 1) steps.
  EXPECT_NEAR(peaks[0].width, 0.2f, 1e-6);

  // Not significant at a higher level: nothing.
  EXPECT_TRUE(find_search_peaks(c.data(), static_cast<int>(c.size()), 30.0f, 0.1f).empty());

  // A flat top is one peak; a second, separate peak counts on its own; a peak whose counts
  // never fall to half towards the end of the line is bounded by the end.
  std::vector<int> d = {5, 5, 100, 100, 5, 5, 5, 5, 70, 5, 5, 5, 60, 80};
  peaks = find_search_peaks(d.data(), static_cast<int>(d.size()), 1.0f, 0.5f);
  ASSERT_EQ(peaks.size(), 3u);
  EXPECT_EQ(peaks[0].index, 2);
  EXPECT_NEAR(peaks[0].width, 1.0f, 1e-6);   // (4 - 1 - 1) steps
  EXPECT_EQ(peaks[1].index, 8);
  EXPECT_NEAR(peaks[1].width, 0.5f, 1e-6);
  EXPECT_EQ(peaks[2].index, 13);              // 60 sees the higher 80 before half height
  EXPECT_NEAR(peaks[2].width, 0.5f, 1e-6);   // (13 - 11 - 1) steps, the end bounding it

  // A shoulder above threshold beside a higher point within half height is not a peak.
  std::vector<int> e = {1, 1, 1, 1, 1, 1, 1, 1, 80, 100, 1, 1};
  peaks = find_search_peaks(e.data(), static_cast<int>(e.size()), 2.0f, 0.1f);
  ASSERT_EQ(peaks.size(), 1u);
  EXPECT_EQ(peaks[0].index, 9);
}

double angle_between(const dorvex::Vec3& a, const dorvex::Vec3& b) {
  double ab = 0, aa = 0, bb = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    ab += a[i] * b[i];
    aa += a[i] * a[i];
    bb += b[i] * b[i];
  }
  return std::acos(ab / std::sqrt(aa * bb)) * kRad;
}

TEST(ConeVector, LiesOnTheConeWithTheAskedLengthAndTurnsWithPsi) {
  const dorvex::Vec3 first = {0.2f, 0.1f, 0.05f};
  const dorvex::Vec3 z = {0.0f, 0.0f, 1.0f};
  dorvex::Vec3 previous{};
  for (float psi : {0.0f, 37.0f, 90.0f, 180.0f, 359.0f}) {
    const auto v = dorvex::cone_vector(first, 65.0f, psi, 0.3f);
    EXPECT_NEAR(std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]), 0.3, 1e-5);
    EXPECT_NEAR(angle_between(first, v), 65.0, 1e-3) << psi;
    if (psi == 0.0f) {
      // In the plane of the first vector and the phi axis, on the side of the axis.
      const dorvex::Vec3 n = {first[1] * z[2] - first[2] * z[1], first[2] * z[0] - first[0] * z[2],
                              first[0] * z[1] - first[1] * z[0]};
      EXPECT_NEAR(v[0] * n[0] + v[1] * n[1] + v[2] * n[2], 0.0, 1e-6);
      EXPECT_LT(angle_between(v, z), angle_between(first, z));
    }
    if (psi == 37.0f) {
      // Seen along the first vector, psi is the turn from the psi-0 direction.
      const auto v0 = dorvex::cone_vector(first, 65.0f, 0.0f, 0.3f);
      const double along0 = std::cos(65.0 / kRad) * 0.3;
      dorvex::Vec3 p0{}, p1{};
      const double f = std::sqrt(first[0] * first[0] + first[1] * first[1] + first[2] * first[2]);
      for (std::size_t i = 0; i < 3; ++i) {
        p0[i] = static_cast<float>(v0[i] - along0 * first[i] / f);
        p1[i] = static_cast<float>(v[i] - along0 * first[i] / f);
      }
      EXPECT_NEAR(angle_between(p0, p1), 37.0, 1e-2);
    }
    previous = v;
  }
  // A first vector along the phi axis still gives a cone.
  const auto up = dorvex::cone_vector(z, 30.0f, 10.0f, 1.0f);
  EXPECT_NEAR(angle_between(z, up), 30.0, 1e-3);
  EXPECT_FALSE(std::isnan(previous[0]));
}

TEST(PhotoSweep, OneStepInsideTheLimitsOrAFullTurn) {
  dorvex::reset_program_state();
  auto& s = dorvex::S();
  s.profile.motor[4].steps_per_degree = 100.0f;
  float from = 0, to = 0;
  dorvex::photo_sweep(from, to);
  EXPECT_FLOAT_EQ(from, -179.99f);
  EXPECT_FLOAT_EQ(to, 179.99f);
  // Limited phi: the limits are controller positions, the sweep logical angles.
  s.device.phi_limited = 1;
  s.device.phi_lower = -100.0f;
  s.device.phi_upper = 120.0f;
  s.profile.offset[4] = 10.0f;
  s.profile.motor[4].steps_per_degree = 50.0f;
  dorvex::photo_sweep(from, to);
  EXPECT_FLOAT_EQ(from, -109.98f);
  EXPECT_FLOAT_EQ(to, 109.98f);
  // Without a device restriction the limits of the hardware bound it, when it has them.
  s.device.phi_limited = 0;
  s.profile.phi_limited = 1;
  s.profile.motor[4].lower = -40.0f;
  s.profile.motor[4].upper = 60.0f;
  dorvex::photo_sweep(from, to);
  EXPECT_FLOAT_EQ(from, -49.98f);
  EXPECT_FLOAT_EQ(to, 49.98f);
}

}  // namespace
