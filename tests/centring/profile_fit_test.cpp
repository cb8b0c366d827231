// The profile fits against profiles generated here from their own formulas (with seeded
// Poisson noise), and the profile functions against numerical derivatives.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "centring/centring.hpp"
#include "centring/profile_fit.hpp"
#include "common/state.hpp"

namespace {

using namespace dorvex;

// Pseudo-Voigt of FWHM w and area 1, written out independently of the program's routines.
double pseudo_voigt(double x, double x0, double w, double eta) {
  const double pi = 3.14159265358979;
  const double d = x - x0;
  const double gauss = 2.0 * std::sqrt(std::log(2.0) / pi) / w *
                       std::exp(-4.0 * std::log(2.0) * d * d / (w * w));
  const double lorentz = 2.0 / pi * w / (4.0 * d * d + w * w);
  return (1.0 - eta) * gauss + eta * lorentz;
}

struct Scan {
  std::vector<float> x, y;
};

Scan generate(int n, double first, double step, const std::function<double(double)>& mean,
              unsigned seed) {
  std::mt19937 rng(seed);
  Scan s;
  for (int i = 0; i < n; ++i) {
    const double x = first + step * i;
    std::poisson_distribution<int> draw(mean(x));
    s.x.push_back(static_cast<float>(x));
    s.y.push_back(static_cast<float>(draw(rng)));
  }
  return s;
}

TEST(ProfileFunctions, DerivativesMatchDifferencesAndTheGaussianIsCutBeyondThreeWidths) {
  const float w = 0.3f, x0 = 1.0f, eta = 0.4f, h = 1e-3f;
  for (const float x : {0.8f, 0.95f, 1.02f, 1.2f}) {
    const ProfilePoint pv = PSVOIGT(x, x0, eta, w);
    const float dx0 = (PSVOIGT(x, x0 + h, eta, w).value - PSVOIGT(x, x0 - h, eta, w).value) /
                      (2 * h);
    const float dw = (PSVOIGT(x, x0, eta, w + h).value - PSVOIGT(x, x0, eta, w - h).value) /
                     (2 * h);
    EXPECT_NEAR(pv.d_x0, dx0, 0.01f * std::fabs(dx0) + 0.02f) << x;
    EXPECT_NEAR(pv.d_w, dw, 0.01f * std::fabs(dw) + 0.02f) << x;
    EXPECT_NEAR(pv.d_eta, LORENTZ(x, x0, w).value - GAUSS(x, x0, w).value, 1e-6f);
    EXPECT_NEAR(pv.value, pseudo_voigt(x, x0, w, eta), 1e-4 * pv.value);
  }
  // Normalised: the area under each profile is 1 (the Lorentzian's tails beyond +-50 w lose
  // about 0.6 %).
  double g = 0, l = 0;
  for (int i = -20000; i <= 20000; ++i) {
    const float x = x0 + static_cast<float>(i) * 0.00075f;
    g += GAUSS(x, x0, w).value * 0.00075;
    l += LORENTZ(x, x0, w).value * 0.00075;
  }
  EXPECT_NEAR(g, 1.0, 2e-3);
  EXPECT_NEAR(l, 1.0, 8e-3);
  const ProfilePoint beyond = GAUSS(x0 + 3.01f * w, x0, w);
  EXPECT_EQ(beyond.value, 0.0f);
  EXPECT_EQ(beyond.d_x0, 0.0f);
  EXPECT_EQ(beyond.d_w, 0.0f);
  EXPECT_GT(GAUSS(x0 + 2.99f * w, x0, w).value, 0.0f);
  EXPECT_GT(LORENTZ(x0 + 10 * w, x0, w).value, 0.0f);
}

TEST(Pklsq, FindsPositionWidthAndAreaOfANoisySinglePeakFromCentringStartValues) {
  for (unsigned seed = 1; seed <= 6; ++seed) {
    const double x0 = 12.34, w = 0.25, area = 150.0, eta = 0.3, bg = 6.0;
    const Scan s = generate(31, 12.0, 0.022, [&](double x) {
      return bg + area * pseudo_voigt(x, x0, w, eta);
    }, seed);
    // Start values as a centring takes them: first count, about half the width, the largest
    // count times that width, the position of the largest count.
    ProfileParameters p{s.y[0], 0.13f, s.y[15] * 0.13f, 12.33f, 0.5f, 0.0f};
    const ProfileFit fit = PKLSQ(s.x, s.y, 0.7093f, 0.0f, 0.0f, 20.0f, p, {1, 1, 1, 1, 1, 0});
    ASSERT_EQ(fit.status, FIT_CONVERGED) << seed;
    EXPECT_NEAR(p[P_POSITION], x0, 0.01) << seed;
    EXPECT_NEAR(p[P_FWHM], w, 0.03) << seed;
    EXPECT_NEAR(p[P_AREA], area, 0.3 * area) << seed;
    EXPECT_GT(fit.esd[P_POSITION], 0.0f);
    EXPECT_LT(fit.esd[P_POSITION], 0.01f);
    EXPECT_EQ(fit.esd[P_RATIO], 0.0f);
    // Goodness near 1 for Poisson noise on the right model.
    EXPECT_GT(fit.goodness, 0.3f) << seed;
    EXPECT_LT(fit.goodness, 2.5f) << seed;
    // The minimum reached is the one a fit started at the true values reaches (background and
    // eta are strongly correlated over a scan this short, so they are compared this way).
    ProfileParameters truth{6.0f, 0.25f, 150.0f, 12.34f, 0.3f, 0.0f};
    PKLSQ(s.x, s.y, 0.7093f, 0.0f, 0.0f, 20.0f, truth, {1, 1, 1, 1, 1, 0});
    for (std::size_t j = 0; j < 5; ++j)
      EXPECT_NEAR(p[j], truth[j], 0.002f * std::fabs(truth[j]) + 0.1f) << seed << " " << j;
    ASSERT_EQ(fit.calculated.size(), s.x.size());
    for (std::size_t i = 0; i < s.x.size(); i += 5) {
      const double model = p[P_BACKGROUND] + p[P_AREA] * pseudo_voigt(s.x[i], p[P_POSITION],
                                                                       p[P_FWHM], p[P_ETA]);
      EXPECT_NEAR(fit.calculated[i], model, 0.002 * model + 0.05) << i;
    }
  }
}

TEST(Pklsq, FixedEtaStaysAndAZeroSecondWavelengthMeansOneComponent) {
  const Scan s = generate(25, 4.0, 0.025, [](double x) {
    return 3.0 + 80.0 * pseudo_voigt(x, 4.3, 0.2, 0.6);
  }, 7);
  ProfileParameters p{3.0f, 0.15f, 60.0f, 4.29f, 0.6f, 0.5f};
  const ProfileFit fit = PKLSQ(s.x, s.y, 0.7093f, 0.0f, 0.0f, 10.0f, p, {1, 1, 1, 1, 0, 1});
  ASSERT_EQ(fit.status, FIT_CONVERGED);
  EXPECT_EQ(p[P_ETA], 0.6f);
  EXPECT_EQ(fit.esd[P_ETA], 0.0f);
  EXPECT_EQ(p[P_RATIO], 0.0f);  // no second wavelength: no second component
  EXPECT_EQ(fit.esd[P_RATIO], 0.0f);
  EXPECT_NEAR(p[P_POSITION], 4.3f, 0.01f);
}

TEST(Pklsq, SeparatesTheAlpha2ComponentOfADoublet) {
  // At 2theta = 60 the alpha2 peak of Mo lies about 0.18 degree above alpha1.
  const float l1 = 0.70930f, l2 = 0.71359f, tth = 60.0f;
  const double theta = 30.0 * 3.14159265358979 / 180.0;
  const double delta = std::asin(l2 / l1 * std::sin(theta)) * 180.0 / 3.14159265358979 - 30.0;
  EXPECT_NEAR(doublet_offset(l1, l2, 0.0f, tth), delta, 1e-4);
  EXPECT_NEAR(doublet_offset(l1, l2, 0.01f, tth), delta + 0.01, 1e-4);
  EXPECT_EQ(doublet_offset(l1, 0.05f, 0.0f, tth), 0.0f);
  const double x0 = 30.0, w = 0.12, area = 120.0;
  const Scan s = generate(41, 29.7, 0.018, [&](double x) {
    return 4.0 + area * (pseudo_voigt(x, x0, w, 0.3) + 0.5 * pseudo_voigt(x, x0 + delta, w, 0.3));
  }, 11);
  ProfileParameters p{4.0f, 0.1f, 90.0f, 30.01f, 0.3f, 0.5f};
  const ProfileFit fit = PKLSQ(s.x, s.y, l1, l2, 0.0f, tth, p, {1, 1, 1, 1, 0, 0});
  ASSERT_EQ(fit.status, FIT_CONVERGED);
  EXPECT_NEAR(p[P_POSITION], x0, 0.01);
  EXPECT_NEAR(p[P_AREA], area, 0.15 * area);
  EXPECT_EQ(p[P_RATIO], 0.5f);
  // Component 2 of the drawn profile peaks at the alpha2 position.
  const std::vector<float> two = CALC_PROFILE(2, s.x, p, static_cast<float>(delta));
  const std::vector<float> one = CALC_PROFILE(1, s.x, p, static_cast<float>(delta));
  auto peak_at = [&](const std::vector<float>& v) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < v.size(); ++i) k = v[i] > v[k] ? i : k;
    return s.x[k];
  };
  EXPECT_NEAR(peak_at(one), x0, 0.01);
  EXPECT_NEAR(peak_at(two), x0 + delta, 0.01);
}

TEST(Pklsq, RefusesTooFewPointsOrNothingToRefineAndSurvivesZeroCounts) {
  std::vector<float> x{1, 2, 3, 4, 5}, y{0, 0, 9, 0, 0};
  ProfileParameters p{0, 1, 9, 3, 0.5f, 0};
  EXPECT_EQ(PKLSQ(x, y, 0.71f, 0, 0, 10, p, {1, 1, 1, 1, 1, 0}).status, FIT_TOO_FEW);
  EXPECT_EQ(PKLSQ(x, y, 0.71f, 0, 0, 10, p, {0, 0, 0, 0, 0, 0}).status, FIT_TOO_FEW);
  // An empty scan: all counts zero. Whatever the status, nothing may become NaN.
  std::vector<float> xs, zeros(20, 0.0f);
  for (int i = 0; i < 20; ++i) xs.push_back(static_cast<float>(i) * 0.05f);
  ProfileParameters q{0, 0.15f, 1, 0.5f, 0.5f, 0};
  const ProfileFit fit = PKLSQ(xs, zeros, 0.71f, 0, 0, 10, q, {1, 1, 1, 1, 0, 0});
  EXPECT_GE(fit.status, FIT_CONVERGED);
  EXPECT_LE(fit.status, FIT_TOO_FEW);
  if (fit.status == FIT_CONVERGED) {
    for (float v : q) EXPECT_TRUE(std::isfinite(v));
  }
  // Zero counts in the tails of a real peak carry weight 1 in the Gaussian fit.
  std::vector<float> chi_x, chi_y;
  for (int i = 0; i < 15; ++i) {
    const float d = static_cast<float>(i - 7) * 0.3f;
    chi_x.push_back(d);
    chi_y.push_back(std::round(200.0f * std::exp(-d * d / 0.5f)));
  }
  std::array<float, 4> g{0.0f, 0.6f, 120.0f, 0.1f};
  std::vector<float> calculated;
  ASSERT_TRUE(PKLSQ_ONE(chi_x, chi_y, g, calculated));
  EXPECT_NEAR(g[3], 0.0f, 0.01f);
  EXPECT_NEAR(std::fabs(g[1]), 0.5f, 0.02f);
}

TEST(PklsqOne, FitsAGaussianChiScanFromTheCentringsStartValues) {
  // Steps of two thirds to one standard deviation of the peak, as the chi widths give them.
  for (unsigned seed = 1; seed <= 8; ++seed) {
    const double centre = 3.4, sigma = 1.5 / 2.3548, area = 400.0, bg = 2.0;
    const float step = seed % 2 == 0 ? 0.42f : 0.59f;
    const Scan s = generate(21, centre + 0.3 - 10 * step, step, [&](double x) {
      const double d = x - centre;
      return bg + area / sigma * std::exp(-d * d / (2 * sigma * sigma));
    }, seed);
    std::size_t top = 0;
    for (std::size_t i = 0; i < s.y.size(); ++i) top = s.y[i] > s.y[top] ? i : top;
    const float sigma0 = 4 * step / 2.3548f;
    std::array<float, 4> p{s.y[0], sigma0, s.y[top] * sigma0, s.x[top]};
    std::vector<float> calculated;
    ASSERT_TRUE(PKLSQ_ONE(s.x, s.y, p, calculated)) << seed;
    EXPECT_NEAR(p[3], centre, 0.05) << seed;
    EXPECT_NEAR(std::fabs(p[1]), sigma, 0.08) << seed;
    EXPECT_NEAR(p[2] / p[1], area / sigma, 0.1 * area / sigma) << seed;
    ASSERT_EQ(calculated.size(), s.x.size());
    const double d = s.x[10] - p[3];
    EXPECT_NEAR(calculated[10], p[0] + p[2] / p[1] * std::exp(-d * d / (2 * p[1] * p[1])),
                0.01 * calculated[10]);
  }
}

TEST(Parabola9, VertexOfAnExactParabolaAndNoMaximumOnAFlatOrHollowScan) {
  std::array<float, 9> r{};
  for (int i = 0; i < 9; ++i) {
    const float x = static_cast<float>(i - 4);
    r[static_cast<std::size_t>(i)] = 100.0f - 3.0f * (x - 1.3f) * (x - 1.3f);
  }
  const Parabola9 fit = parabola9(r);
  ASSERT_TRUE(fit.has_maximum());
  EXPECT_NEAR(fit.vertex(), 1.3f, 1e-4f);
  EXPECT_NEAR(fit.c, -3.0f, 1e-4f);
  r.fill(50.0f);
  EXPECT_FALSE(parabola9(r).has_maximum());
  for (int i = 0; i < 9; ++i)
    r[static_cast<std::size_t>(i)] = static_cast<float>((i - 4) * (i - 4));
  EXPECT_FALSE(parabola9(r).has_maximum());
}

TEST(PeakOffset9, FindsANarrowPeakBetweenPointsWhereTheNinePointParabolaFallsShort) {
  // A Gaussian peak 1.5 steps wide at half height, 1.3 steps above the middle point, on a
  // background of 5 counts/s.
  for (const double offset : {-2.2, -0.4, 0.0, 0.45, 1.3}) {
    std::array<float, 9> r{};
    int top = 0;
    for (int i = 0; i < 9; ++i) {
      const double d = (i - 4) - offset;
      r[static_cast<std::size_t>(i)] =
          static_cast<float>(5.0 + 800.0 * std::exp(-4.0 * std::log(2.0) * d * d / 2.25));
      if (r[static_cast<std::size_t>(i)] > r[static_cast<std::size_t>(top)]) top = i;
    }
    const Parabola9 fit = parabola9(r);
    ASSERT_TRUE(fit.has_maximum()) << offset;
    EXPECT_NEAR(peak_offset9(r, top, fit.vertex()), offset, 0.02) << offset;
    if (std::fabs(offset) > 1.0) {
      EXPECT_GT(std::fabs(fit.vertex() - offset), 0.3) << offset;
    }
  }
  // A neighbour no higher than the smallest rate: the parabola's vertex is kept.
  std::array<float, 9> flat{5, 5, 5, 5, 100, 5, 5, 5, 5};
  EXPECT_EQ(peak_offset9(flat, 4, 0.25f), 0.25f);
  EXPECT_EQ(peak_offset9(flat, 0, 0.5f), 0.5f);
}

TEST(PeakOffset9, AlphaOneOfAPairIsFoundWhereTheSingleGaussianLandsBetweenThem) {
  // Gaussian pairs 2.5 steps wide, alpha2 half as strong and 0.4 or 1.2 steps further on (or
  // back, on the other side of the beam), no background.
  for (const double sep : {0.4, 1.2, -1.2}) {
    for (const double x1 : {-0.6, 0.0, 0.7}) {
      std::array<float, 9> r{};
      int top = 0;
      auto g = [](double d) { return std::exp(-4.0 * std::log(2.0) * d * d / 6.25); };
      for (int i = 0; i < 9; ++i) {
        const double d = (i - 4) - x1;
        r[static_cast<std::size_t>(i)] = static_cast<float>(1000.0 * (g(d) + 0.5 * g(d - sep)));
        if (r[static_cast<std::size_t>(i)] > r[static_cast<std::size_t>(top)]) top = i;
      }
      const float fallback = parabola9(r).vertex();
      EXPECT_NEAR(doublet_peak_offset9(r, top, fallback, static_cast<float>(sep), 0.5f), x1, 0.01)
          << sep << " " << x1;
      EXPECT_GT(std::fabs(peak_offset9(r, top, fallback) - x1), 0.1) << sep << " " << x1;
      EXPECT_EQ(doublet_peak_offset9(r, top, fallback, 0.0f, 0.5f), peak_offset9(r, top, fallback));
    }
  }
}

TEST(Pklsq, EtaStaysAFractionWhenTheTailsAskForMore) {
  // Tails heavier than a Lorentzian's: an unbounded fit takes eta beyond 1.
  std::vector<float> x, y;
  for (int i = 0; i < 31; ++i) {
    x.push_back(-0.6f + 0.04f * static_cast<float>(i));
    const double q = x.back() / 0.25;
    y.push_back(static_cast<float>(5.0 + 2000.0 / std::pow(1.0 + 4.0 * q * q, 0.6)));
  }
  ProfileParameters p{5.0f, 0.25f, 500.0f, 0.02f, 0.5f, 0.0f};
  const ProfileFit fit = PKLSQ(x, y, 0.7093f, 0.0f, 0.0f, 10.0f, p, {1, 1, 1, 1, 1, 0});
  EXPECT_EQ(fit.status, FIT_CONVERGED);
  EXPECT_EQ(p[P_ETA], 1.0f);  // held on its bound
  EXPECT_NEAR(p[P_POSITION], 0.0f, 0.002f);
}

TEST(CountingTime, RequiredCountsOverThePeakRateBoundedBelowAndAbove) {
  EXPECT_FLOAT_EQ(counting_time(300.0f, 600.0f, 4.0f, 0.25f), 0.5f);
  EXPECT_FLOAT_EQ(counting_time(300.0f, 30.0f, 4.0f, 0.25f), 4.0f);     // weak: the ceiling
  EXPECT_FLOAT_EQ(counting_time(300.0f, 6000.0f, 4.0f, 0.25f), 0.25f);  // strong: the floor
  EXPECT_FLOAT_EQ(counting_time(300.0f, 6000.0f, 4.0f, 0.2f), 0.2f);
  EXPECT_FLOAT_EQ(counting_time(300.0f, 0.0f, 4.0f, 0.2f), 4.0f);       // no rate: no division
}

}  // namespace
