// Peak-profile fits of the centring scans: the pseudo-Voigt (optionally an alpha1/alpha2
// doublet) of the final omega scan, the Gaussian of the final chi scan, and the nine-point
// parabola of the search scans. Pure computations on 32-bit reals; only PKLSQ_ONE writes (its
// two failure messages).
#pragma once

#include <array>
#include <vector>

namespace dorvex {

// A normalised profile of FWHM w at x0 with its derivatives.
struct ProfilePoint {
  float value = 0, d_x0 = 0, d_w = 0, d_eta = 0;  // d_eta only for PSVOIGT
};

// Gaussian; zero (value and derivatives) beyond three FWHM from the centre.
ProfilePoint GAUSS(float x, float x0, float w);
// Lorentzian; no cut-off.
ProfilePoint LORENTZ(float x, float x0, float w);
// (1 - eta) Gauss + eta Lorentz.
ProfilePoint PSVOIGT(float x, float x0, float eta, float w);

// Parameters of PKLSQ: background, FWHM, area of the first component, its position, eta,
// intensity ratio of the second component.
enum ProfileParameter { P_BACKGROUND, P_FWHM, P_AREA, P_POSITION, P_ETA, P_RATIO };
using ProfileParameters = std::array<float, 6>;

enum : int { FIT_CONVERGED = 0, FIT_SINGULAR = 1, FIT_NO_CONVERGENCE = 2, FIT_TOO_FEW = 3 };

struct ProfileFit {
  int status = FIT_TOO_FEW;
  std::vector<float> calculated;  // model counts at the scan positions
  std::array<float, 6> esd{};     // 0 for parameters not refined
  float r = 0;                    // sqrt(sum u e^2 / sum u y^2)
  float goodness = 0;             // sum u e^2 / (n - refined)
};

// Offset (degrees) of the alpha2 component from the alpha1 one in a scan at 2theta
// `two_theta`; 0 when lambda2 < 0.1 (one wavelength). `m` is the monochromator term.
float doublet_offset(float lambda1, float lambda2, float m, float two_theta);

// Weighted least-squares pseudo-Voigt fit of counts y at positions x (at most 200 points).
// `p` holds the start values and receives the result; `refine` flags the refined parameters.
ProfileFit PKLSQ(const std::vector<float>& x, const std::vector<float>& y, float lambda1,
                 float lambda2, float m, float two_theta, ProfileParameters& p,
                 const std::array<int, 6>& refine);

// Gaussian fit (background, standard deviation s, area, position; all refined) of counts y at
// positions x. Returns true when it converged; `p` receives the result, `calculated` the model.
bool PKLSQ_ONE(const std::vector<float>& x, const std::vector<float>& y,
               std::array<float, 4>& p, std::vector<float>& calculated);

// The fitted profile of component 1 or 2 at positions x (component 2 lies `offset` degrees
// above the first and has P6 times its area).
std::vector<float> CALC_PROFILE(int component, const std::vector<float>& x,
                                const ProfileParameters& p, float offset);

// Least-squares parabola a + b i + c i^2 through nine rates at i = -4..+4.
struct Parabola9 {
  float b = 0, c = 0;
  bool has_maximum() const { return c < 0.0f; }
  float vertex() const { return -b / (2.0f * c); }
};
Parabola9 parabola9(const std::array<float, 9>& rate);

// Offset (in steps, from the middle point) of the maximum of a peak whose largest rate lies at
// point `top` (0-based, 1..7): the vertex of the Gaussian through that point and its two
// neighbours, above the smallest rate of the scan. A least-squares parabola over all nine
// points pulls a peak narrower than the scan towards the middle; this does not. Falls back to
// `fallback` when a neighbour does not stand above the smallest rate.
float peak_offset9(const std::array<float, 9>& rate, int top, float fallback);
// The same for an alpha1/alpha2 pair: the alpha2 peak lies `separation` steps from the alpha1
// one with `ratio` times its height, both of one Gaussian shape. Returns the offset of the
// alpha1 maximum, with the pair's shape fitted through the three points (the single Gaussian
// when the ratio or the separation is 0).
float doublet_peak_offset9(const std::array<float, 9>& rate, int top, float fallback,
                           float separation, float ratio);

}  // namespace dorvex
