// Peak-profile fits: weighted Gauss-Newton least squares on 32-bit reals, with the normal
// matrix scaled to unit diagonal before inversion.
#include "centring/profile_fit.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "common/fields.hpp"
#include "geometry/matrix.hpp"
#include "console/output.hpp"

namespace dorvex {

namespace {

constexpr float kGaussNorm = 0.9394373f;  // 2 sqrt(ln 2 / pi)
constexpr float kGaussK = 1.6651092f;     // 2 sqrt(ln 2)
constexpr float kTwoOverPi = 0.6366198f;
constexpr float kDegree = 57.29578f;

std::size_t at(int i) { return static_cast<std::size_t>(i); }

// Inverts the n x n symmetric matrix `a` (row by row, n <= 6) in place. False when singular.
// The scaling to unit diagonal keeps parameters of very different size well conditioned.
bool invert_scaled(std::vector<float>& a, int n) {
  std::vector<double> scale(at(n));
  for (int j = 0; j < n; ++j) {
    const float d = a[at(j * n + j)];
    if (d < 1e-20f) return false;
    scale[at(j)] = std::sqrt(static_cast<double>(d));
  }
  std::vector<double> work(at(n * n));
  for (int j = 0; j < n; ++j)
    for (int k = 0; k < n; ++k)
      work[at(j + n * k)] = a[at(j * n + k)] / (scale[at(j)] * scale[at(k)]);
  std::vector<int> index(at(n));
  double parity = 0;
  if (!LUDCMP(work.data(), n, n, index.data(), parity)) return false;
  std::vector<double> inverse(at(n * n));
  for (int k = 0; k < n; ++k) {
    std::vector<double> column(at(n), 0.0);
    column[at(k)] = 1.0;
    LUBKSB(work.data(), n, n, index.data(), column.data());
    for (int j = 0; j < n; ++j) {
      if (!std::isfinite(column[at(j)])) return false;
      inverse[at(j + n * k)] = column[at(j)];
    }
  }
  for (int j = 0; j < n; ++j)
    for (int k = 0; k < n; ++k)
      a[at(j * n + k)] =
          static_cast<float>(inverse[at(j + n * k)] / (scale[at(j)] * scale[at(k)]));
  return true;
}

}  // namespace

ProfilePoint GAUSS(float x, float x0, float w) {
  ProfilePoint g;
  if (w == 0.0f || std::fabs(x - x0) / std::fabs(w) > 3.0f) return g;
  const float u = kGaussK * (x - x0) / w;
  g.value = (kGaussNorm / w) * std::exp(-u * u);
  g.d_x0 = 2.0f * kGaussK * kGaussK * (x - x0) * g.value / (w * w);
  g.d_w = (2.0f * u * u - 1.0f) * g.value / w;
  return g;
}

ProfilePoint LORENTZ(float x, float x0, float w) {
  ProfilePoint l;
  const float d = x - x0;
  const float D = 4.0f * d * d + w * w;
  if (D == 0.0f) return l;
  l.value = kTwoOverPi * w / D;
  l.d_x0 = 8.0f * kTwoOverPi * w * d / (D * D);
  // d/dw of w / (4 d^2 + w^2) is (4 d^2 - w^2) / D^2; a Jacobian that is not the model's own
  // would move the converged point away from the least-squares minimum.
  l.d_w = kTwoOverPi * (4.0f * d * d - w * w) / (D * D);
  return l;
}

ProfilePoint PSVOIGT(float x, float x0, float eta, float w) {
  const ProfilePoint g = GAUSS(x, x0, w);
  const ProfilePoint l = LORENTZ(x, x0, w);
  ProfilePoint pv;
  pv.value = (1.0f - eta) * g.value + eta * l.value;
  pv.d_x0 = (1.0f - eta) * g.d_x0 + eta * l.d_x0;
  pv.d_w = (1.0f - eta) * g.d_w + eta * l.d_w;
  pv.d_eta = l.value - g.value;
  return pv;
}

float doublet_offset(float lambda1, float lambda2, float m, float two_theta) {
  if (lambda2 < 0.1f || lambda1 <= 0.0f) return 0.0f;
  const float r = lambda2 / lambda1;
  const float theta = two_theta / 2.0f;
  const float s = std::clamp(r * std::sin(theta / kDegree), -1.0f, 1.0f);
  return std::asin(s) * kDegree - theta + m;
}

ProfileFit PKLSQ(const std::vector<float>& x, const std::vector<float>& y, float lambda1,
                 float lambda2, float m, float two_theta, ProfileParameters& p,
                 const std::array<int, 6>& refine_in) {
  ProfileFit fit;
  const int n = static_cast<int>(std::min({x.size(), y.size(), std::size_t{200}}));
  std::array<int, 6> refine = refine_in;
  const bool doublet = lambda2 >= 0.1f;
  if (!doublet) {
    p[P_RATIO] = 0.0f;
    refine[P_RATIO] = 0;
  }
  const float delta = doublet_offset(lambda1, lambda2, m, two_theta);
  const float r = doublet ? lambda2 / lambda1 : 0.0f;

  std::vector<int> used;
  for (int j = 0; j < 6; ++j)
    if (refine[at(j)] == 1) used.push_back(j);
  const int nr = static_cast<int>(used.size());
  if (nr == 0 || nr >= n) {
    fit.status = FIT_TOO_FEW;
    return fit;
  }

  std::vector<float> yp(at(n));
  for (int i = 0; i < n; ++i) yp[at(i)] = y[at(i)] + 1.0f;
  fit.calculated.assign(at(n), 0.0f);

  bool stop_next = false;
  for (int cycle = 1;; ++cycle) {
    if (cycle >= 201) {
      fit.status = FIT_NO_CONVERGENCE;
      break;
    }
    const float factor = std::min(0.1f * static_cast<float>(cycle), 0.7f);
    std::vector<float> A(at(nr * nr), 0.0f), B(at(nr), 0.0f);
    float S = 0, T = 0;
    for (int i = 0; i < n; ++i) {
      const float xi = x[at(i)];
      const ProfilePoint pv1 = PSVOIGT(xi, p[P_POSITION], p[P_ETA], p[P_FWHM]);
      ProfilePoint pv2;
      if (doublet) pv2 = PSVOIGT(xi, p[P_POSITION] + delta, p[P_ETA], p[P_FWHM]);
      const float model = p[P_BACKGROUND] + p[P_AREA] * (pv1.value + p[P_RATIO] * pv2.value);
      fit.calculated[at(i)] = model;
      const float Y = model + 1.0f;
      float c = 0;
      if (doublet) {
        const float denom = std::cos((p[P_POSITION] + delta) / kDegree);
        c = denom != 0.0f ? r * std::cos(p[P_POSITION] / kDegree) / denom : 0.0f;
      }
      std::array<float, 6> d{};
      d[P_BACKGROUND] = 1.0f;
      d[P_FWHM] = p[P_AREA] * (pv1.d_w + p[P_RATIO] * pv2.d_w);
      d[P_AREA] = pv1.value + p[P_RATIO] * pv2.value;
      d[P_POSITION] = p[P_AREA] * (pv1.d_x0 + p[P_RATIO] * c * pv2.d_x0);
      d[P_ETA] = p[P_AREA] * (pv1.d_eta + p[P_RATIO] * pv2.d_eta);
      d[P_RATIO] = p[P_AREA] * pv2.value;
      const float e = yp[at(i)] - Y;
      const float u = yp[at(i)] > 0.0f ? 1.0f / yp[at(i)] : 1.0f;
      for (int j = 0; j < nr; ++j) {
        const float dj = d[at(used[at(j)])];
        B[at(j)] += u * e * dj;
        for (int k = 0; k < nr; ++k) A[at(j * nr + k)] += u * dj * d[at(used[at(k)])];
      }
      S += u * e * e;
      T += u * yp[at(i)] * yp[at(i)];
    }
    fit.r = T > 0.0f ? std::sqrt(S / T) : 0.0f;
    fit.goodness = S / static_cast<float>(n - nr);
    if (stop_next) {
      fit.status = FIT_CONVERGED;
      break;
    }
    if (!invert_scaled(A, nr)) {
      fit.status = FIT_SINGULAR;
      break;
    }
    bool more = false;
    bool singular = false;
    for (int j = 0; j < nr; ++j) {
      float shift = 0;
      for (int k = 0; k < nr; ++k) shift += A[at(j * nr + k)] * B[at(k)];
      float& value = p[at(used[at(j)])];
      value += factor * shift;
      // The Lorentz fraction is a fraction: a weak or ragged scan that pushes it beyond 0 or
      // 1 leaves it on that bound, where it no longer asks for another cycle.
      bool at_bound = false;
      if (used[at(j)] == P_ETA && (value < 0.0f || value > 1.0f)) {
        value = std::clamp(value, 0.0f, 1.0f);
        at_bound = true;
      }
      const float variance = fit.goodness * A[at(j * nr + j)];
      if (!(variance >= 1e-8f) || !std::isfinite(shift)) {
        singular = true;
        continue;
      }
      const float esd = std::sqrt(variance);
      fit.esd[at(used[at(j)])] = esd;
      if (!at_bound && std::fabs(shift) / esd > 0.01f) more = true;
    }
    if (singular) {
      fit.status = FIT_SINGULAR;
      break;
    }
    stop_next = !more;
  }
  for (int j = 0; j < 6; ++j)
    if (refine[at(j)] != 1) fit.esd[at(j)] = 0.0f;
  return fit;
}

bool PKLSQ_ONE(const std::vector<float>& x, const std::vector<float>& y,
               std::array<float, 4>& p, std::vector<float>& calculated) {
  const int n = static_cast<int>(std::min({x.size(), y.size(), std::size_t{200}}));
  calculated.assign(at(n), 0.0f);
  if (n <= 4) return false;
  for (int cycle = 1; cycle <= 100; ++cycle) {
    std::array<float, 16> A{};
    std::array<float, 4> B{};
    float S = 0;
    for (int i = 0; i < n; ++i) {
      const float s = p[1];
      if (s == 0.0f) {
        WRITE_OUT(" Singularity in PKLSQ_ONE");
        return false;
      }
      const float dx = x[at(i)] - p[3];
      const float g = std::exp(-dx * dx / (2.0f * s * s));
      const float model = p[0] + (p[2] / s) * g;
      calculated[at(i)] = model;
      const std::array<float, 4> d{1.0f, (p[2] * g / (s * s)) * (dx * dx / (s * s) - 1.0f), g / s,
                                   p[2] * dx * g / (s * s * s)};
      const float e = y[at(i)] - model;
      const float u = y[at(i)] > 0.0f ? 1.0f / y[at(i)] : 1.0f;
      for (std::size_t j = 0; j < 4; ++j) {
        B[j] += u * e * d[j];
        for (std::size_t k = 0; k < 4; ++k) A[j * 4 + k] += u * d[j] * d[k];
      }
      S += u * e * e;
    }
    S /= static_cast<float>(n - 4);
    std::vector<float> inverse(A.begin(), A.end());
    if (!invert_scaled(inverse, 4)) {
      WRITE_OUT(" Singularity in PKLSQ_ONE");
      return false;
    }
    bool converged = true;
    for (std::size_t j = 0; j < 4; ++j) {
      float shift = 0;
      for (std::size_t k = 0; k < 4; ++k) shift += inverse[j * 4 + k] * B[k];
      p[j] += 0.7f * shift;
      const float variance = S * inverse[j * 4 + j];
      if (!(variance >= 1e-8f) || !std::isfinite(shift)) return false;
      if (std::fabs(shift) / std::sqrt(variance) > 0.02f) converged = false;
    }
    if (converged) {
      for (int i = 0; i < n; ++i) {
        const float dx = x[at(i)] - p[3];
        calculated[at(i)] = p[0] + (p[2] / p[1]) * std::exp(-dx * dx / (2.0f * p[1] * p[1]));
      }
      return true;
    }
  }
  WRITE_OUT(" No Convergence in PKLSQ_ONE");
  INSTLOG(" No Convergence in PKLSQ_ONE");
  INSTLOG(E(p[0], 14, 6) + E(p[1], 14, 6) + E(p[2], 14, 6) + E(p[3], 14, 6));
  for (int i = 0; i < n; ++i) INSTLOG(" " + E(x[at(i)], 14, 6) + E(y[at(i)], 14, 6));
  return false;
}

std::vector<float> CALC_PROFILE(int component, const std::vector<float>& x,
                                const ProfileParameters& p, float offset) {
  std::vector<float> values;
  values.reserve(x.size());
  for (const float xi : x) {
    if (component == 2) {
      const float pv = PSVOIGT(xi, p[P_POSITION] + offset, p[P_ETA], p[P_FWHM]).value;
      values.push_back(p[P_BACKGROUND] + p[P_AREA] * p[P_RATIO] * pv);
    } else {
      const float pv = PSVOIGT(xi, p[P_POSITION], p[P_ETA], p[P_FWHM]).value;
      values.push_back(p[P_BACKGROUND] + p[P_AREA] * pv);
    }
  }
  return values;
}

Parabola9 parabola9(const std::array<float, 9>& rate) {
  float s0 = 0, s1 = 0, s2 = 0;
  for (int i = 0; i < 9; ++i) {
    const float x = static_cast<float>(i - 4);
    s0 += rate[at(i)];
    s1 += x * rate[at(i)];
    s2 += x * x * rate[at(i)];
  }
  Parabola9 fit;
  fit.b = s1 / 60.0f;
  fit.c = s2 / 308.0f - s0 / 46.2f;
  return fit;
}

float peak_offset9(const std::array<float, 9>& rate, int top, float fallback) {
  if (top < 1 || top > 7) return fallback;
  const float floor = *std::min_element(rate.begin(), rate.end());
  const float below = rate[at(top - 1)] - floor;
  const float peak = rate[at(top)] - floor;
  const float above = rate[at(top + 1)] - floor;
  if (!(below > 0.0f && peak > 0.0f && above > 0.0f)) return fallback;
  const float lb = std::log(below), lp = std::log(peak), la = std::log(above);
  const float curvature = lb - 2.0f * lp + la;
  if (!(curvature < 0.0f)) return fallback;
  const float shift = std::clamp(0.5f * (lb - la) / curvature, -1.0f, 1.0f);
  return static_cast<float>(top - 4) + shift;
}

float doublet_peak_offset9(const std::array<float, 9>& rate, int top, float fallback,
                           float separation, float ratio) {
  const float single = peak_offset9(rate, top, fallback);
  if (!(ratio > 0.0f) || separation == 0.0f || top < 1 || top > 7) return single;
  const float floor = *std::min_element(rate.begin(), rate.end());
  const double lb = std::log(static_cast<double>(rate[at(top - 1)] - floor));
  const double lp = std::log(static_cast<double>(rate[at(top)] - floor));
  const double la = std::log(static_cast<double>(rate[at(top + 1)] - floor));
  const double curvature = lb - 2.0 * lp + la;
  if (!std::isfinite(curvature) || !(curvature < 0.0)) return single;
  // Unknowns: the alpha1 position x (steps from the top point) and the log of the Gaussian
  // width; the height drops out of the differences of the logarithms.
  const double d = separation, r = ratio;
  auto log_pair = [&](double at_x, double x, double u) {
    const double s2 = 2.0 * std::exp(2.0 * u);
    const double a = at_x - x, b = at_x - x - d;
    return std::log(std::exp(-a * a / s2) + r * std::exp(-b * b / s2));
  };
  auto residuals = [&](double x, double u, double& f1, double& f2) {
    const double at0 = log_pair(0.0, x, u);
    f1 = log_pair(-1.0, x, u) - at0 - (lb - lp);
    f2 = log_pair(1.0, x, u) - at0 - (la - lp);
  };
  // First guess, and the answer when the shape cannot be fitted: the single Gaussian's vertex
  // moved back by alpha2's share of the separation.
  const double vertex = single - static_cast<double>(top - 4);
  const float first_guess = static_cast<float>(top - 4) + static_cast<float>(vertex - r * d / (1.0 + r));
  double x = vertex - r * d / (1.0 + r);
  double u = 0.5 * std::log(-1.0 / curvature);
  for (int i = 0; i < 50; ++i) {
    double f1 = 0, f2 = 0;
    residuals(x, u, f1, f2);
    if (std::fabs(f1) + std::fabs(f2) < 1e-10) break;
    const double h = 1e-6;
    double g1 = 0, g2 = 0, k1 = 0, k2 = 0;
    residuals(x + h, u, g1, g2);
    residuals(x, u + h, k1, k2);
    const double j11 = (g1 - f1) / h, j21 = (g2 - f2) / h;
    const double j12 = (k1 - f1) / h, j22 = (k2 - f2) / h;
    const double det = j11 * j22 - j12 * j21;
    if (!(std::fabs(det) > 1e-14)) return first_guess;
    x -= (f1 * j22 - f2 * j12) / det;
    u -= (j11 * f2 - j21 * f1) / det;
    if (!std::isfinite(x) || !std::isfinite(u) || std::fabs(x) > 2.0) return first_guess;
  }
  double f1 = 0, f2 = 0;
  residuals(x, u, f1, f2);
  if (!(std::fabs(f1) + std::fabs(f2) < 1e-6)) return first_guess;
  return static_cast<float>(top - 4) + static_cast<float>(x);
}

}  // namespace dorvex
