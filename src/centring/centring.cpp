// Peak centring and the commands CNTR, CENT and REF.
//
// The sequence at positive 2theta: omega, theta/2theta, omega and chi search scans (MTSTEP),
// then a fine omega scan, the final chi scan with a Gaussian fit and the final omega scan with
// a pseudo-Voigt fit (MINICENTER). CNTR and REF repeat the omega scans at negative 2theta; the
// mean of the two 2theta settings is the 2theta zero. After every scan, drive and count the
// error flag is tested: a halt or a reported error ends everything without a further message.
#include "centring/centring.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "centring/profile_fit.hpp"
#include "common/fields.hpp"
#include "files/datafile.hpp"
#include "geometry/matfile.hpp"
#include "geometry/angles.hpp"
#include "instrument/controller.hpp"
#include "geometry/limits.hpp"
#include "instrument/motion.hpp"
#include "centring/commands.hpp"
#include "console/dialogue.hpp"
#include "geometry/display.hpp"
#include "console/output.hpp"
#include "console/progress.hpp"
#include "console/status.hpp"

namespace dorvex {

namespace {

const CentringParameters& C() { return S().centring; }
std::size_t at(int i) { return static_cast<std::size_t>(i); }

const char* kOutOfBounds = " Centering halted, end of scan out-of-bounds ";
// Moves of a search scan that keep finding the maximum at an edge (a rising background or a
// free-running chi axis would otherwise be followed without end).
constexpr int kMaxSearchMoves = 40;
// 2theta counts as centred once a theta/2theta scan moves it by no more than this (degrees);
// the pair of theta/2theta and omega scans is made at most kTwoThetaRounds times.
constexpr float kTwoThetaSettled = 0.003f;
constexpr int kTwoThetaRounds = 8;

// tan and sin of theta from 2theta in degrees. The scan widths grow with |theta| on both sides
// of the beam.
float tan_theta(float two_theta) { return std::tan(std::fabs(two_theta) / 114.592f); }
float sin_theta(float two_theta) { return std::sin(std::fabs(two_theta) * 0.00873f); }

float read_motor(int m) {
  float v = 0;
  RDMTR(m, v);
  return v;
}

// Slit 5 as set: the motor where there is one, else the centring setting.
float slit5_setting() {
  if (S().profile.motor_present(5)) return read_motor(5);
  return C().slit5;
}

// Drives the four circles to `a`; false when it failed or was refused (status in `status`).
bool drive_to(const AngleSet& a, int& status) {
  S().motion.target = a;
  status = 0;
  DRIVEP(1, status);
  return !failed() && status == 0;
}

bool drive_one(int motor, float value) {
  int status = 0;
  DRIVE(motor, value, 0.0f, 0, status);
  return !failed() && status == 0;
}

std::string four_f(const AngleSet& a, int w, int d) {
  return F(a[0], w, d) + F(a[1], w, d) + F(a[2], w, d) + F(a[3], w, d);
}

// Where the alpha2 peak of a search scan lies from the alpha1 one (degrees of the scanned
// motor; 0 for one wavelength). Alpha2 diffracts at the larger Bragg angle: the crystal turns
// further by the difference of the two thetas, and along a theta/2theta scan the pair lies
// twice that apart in 2theta; both away from the direct beam on either side.
float alpha2_separation(int motor, float two_theta) {
  const MachineProfile& pr = S().profile;
  if (pr.wave_count != 2 || pr.lambda2 < 0.1f || !(pr.ratio > 0.0f)) return 0.0f;
  const float dtheta = doublet_offset(pr.lambda1, pr.lambda2, 0.0f, two_theta);
  if (motor == 1) return 2.0f * dtheta;
  if (motor == 2) return dtheta;
  return 0.0f;
}

}  // namespace

float counting_time(float required, float max_rate, float ceiling, float floor) {
  float t = max_rate > 0.0f ? required / max_rate : ceiling;
  t = std::max(t, floor);
  return std::min(t, ceiling);
}

int CHECK_SLIT5() {
  const float slit = slit5_setting();
  if (failed() || slit >= 0.1f) return failed() ? 1 : 0;
  const std::string text = " Slit 5 is set to less than 0.1mm. Chi scans in centering will fail.";
  ERRORLOG(text + (S().profile.slits_motorised() ? " Reset slits with mot"
                                                 : " Reset slit value with ldmt"));
  return 1;
}

SearchResult MTSTEP(int motor, float step, float time_per_step) {
  SearchResult r;
  step = R_ANGLE(std::max(step, 0.001f), motor == 1 ? 1 : motor);
  if (step <= 0.0f) step = 0.001f;
  WAIT();
  if (failed()) return r;
  ONBEAM();
  if (failed()) return r;
  int widenings = 0;
  int moves = 0;
  for (;;) {
    AngleSet centre{};
    RDALLMTR(centre);
    if (failed()) return r;
    std::array<int, 200> counts{};
    std::array<float, 200> positions{};
    int mode = motor;  // 1: theta/2theta, 2: omega, 3: chi
    int status = 0;
    float used = 0;
    RUNSCAN(mode, step, time_per_step, 9, counts, status, used, 0, positions);
    if (failed()) return r;
    if (status != 0) {
      WRITE_OUT(kOutOfBounds);
      r.failure = 1;
      return r;
    }
    AngleSet end{};
    RDALLMTR(end);
    if (failed()) return r;
    // Change of the four circles per step of the scan, as the controller moved them.
    AngleSet per_step{};
    for (std::size_t j = 0; j < 4; ++j) per_step[j] = (end[j] - centre[j]) / 4.0f;
    auto offset_from_centre = [&](float steps) {
      AngleSet a = centre;
      for (std::size_t j = 0; j < 4; ++j) a[j] += steps * per_step[j];
      return a;
    };

    std::array<float, 9> rate{};
    r.max_rate = 0;
    r.min_rate = 1000000.0f;
    r.peak_index = 1;
    for (int i = 0; i < 9; ++i) {
      rate[at(i)] = used > 0.0f ? static_cast<float>(counts[at(i)]) / used : 0.0f;
      if (rate[at(i)] > r.max_rate) {
        r.max_rate = rate[at(i)];
        r.peak_index = i + 1;
      }
      r.min_rate = std::min(r.min_rate, rate[at(i)]);
    }
    if (r.max_rate < 0.1f) return r;

    int drive_status = 0;
    if (r.peak_index <= 2 || r.peak_index >= 8) {
      if (++moves > kMaxSearchMoves) {
        WRITE_OUT(" CENTERING FAILURE IN MTSTEP, MOTOR = " + I(motor, 2) +
                  " MAXIMUM NOT FOUND WITHIN" + I(kMaxSearchMoves, 3) + " MOVES");
        r.max_rate = 0;
        return r;
      }
      if (!drive_to(offset_from_centre(static_cast<float>(r.peak_index - 5)), drive_status)) {
        if (!failed()) r.failure = 1;
        return r;
      }
      continue;
    }
    const Parabola9 fit = parabola9(rate);
    if (fit.has_maximum() && std::fabs(fit.vertex()) <= 2.5f) {
      const float x0 = doublet_peak_offset9(rate, r.peak_index - 1, fit.vertex(),
                                            alpha2_separation(motor, centre[0]) / step,
                                            S().profile.ratio);
      if (!drive_to(offset_from_centre(x0), drive_status)) {
        if (!failed()) r.failure = 1;
        return r;
      }
      const float scanned = centre[motor == 1 ? 0 : at(motor - 1)];
      PLOT_MARKER(scanned + x0 * step, scanned + x0 * step);
      int above = 0;
      for (const float v : rate) above += v > r.max_rate / 2.0f ? 1 : 0;
      r.fwhm = step * static_cast<float>(above);
      return r;
    }
    step = R_ANGLE(step * 1.5f, motor == 1 ? 1 : motor);
    if (!drive_to(centre, drive_status)) {
      if (!failed()) r.failure = 1;
      return r;
    }
    if (++widenings >= 3) {
      r.max_rate = 0;
      WRITE_OUT(" CENTERING FAILURE IN MTSTEP, MOTOR = " + I(motor, 2) + " COEFA = " +
                E(fit.c, 12, 4));
      return r;
    }
  }
}

namespace {

// Final chi scan with the Gaussian fit; chi_centre receives the fitted centre. False on failure
// (a message has been written unless the error flag is set).
bool CHISTEP(float& chi_centre, float time_per_step) {
  const int n = std::clamp(C().chi_final_steps, 1, 200);
  const float tth = read_motor(1);
  const float slit = slit5_setting();
  if (failed()) return false;
  const float width = C().chi_width_coeff * std::sqrt(std::max(slit, 0.0f)) /
                      std::max(sin_theta(tth), 1e-4f);
  const float step = R_ANGLE(std::max(1.25f * width / static_cast<float>(n), 0.01f), 3);
  std::array<int, 200> counts{};
  std::array<float, 200> positions{};
  int mode = 3, status = 0;
  float used = 0;
  RUNSCAN(mode, step, time_per_step, n, counts, status, used, 0, positions);
  if (failed()) return false;
  if (status != 0) {
    WRITE_OUT(kOutOfBounds);
    return false;
  }
  std::vector<float> x(at(n)), y(at(n));
  int top = 0;
  for (int i = 0; i < n; ++i) {
    x[at(i)] = positions[at(i)];
    y[at(i)] = static_cast<float>(counts[at(i)]);
    if (y[at(i)] > y[at(top)]) top = i;
  }
  // Start: a profile four steps wide at half height (the model's width is the standard
  // deviation, FWHM / 2.3548; starting it at four steps itself sends the fit astray on peaks
  // a few steps wide), with the largest count at the top.
  const float sigma0 = 4.0f * step / 2.3548f;
  std::array<float, 4> p{y[0], sigma0, y[at(top)] * sigma0, x[at(top)]};
  std::vector<float> calculated;
  if (!PKLSQ_ONE(x, y, p, calculated)) return false;
  // A centre outside the scanned range is no centre of this scan.
  if (!(p[3] >= x.front() - step && p[3] <= x.back() + step)) return false;
  chi_centre = p[3];
  PLOT_DATA_LINE(x, calculated);
  PLOT_MARKER(chi_centre, chi_centre);
  return true;
}

struct OmegaFit {
  bool ok = false;
  float centre = 0, fwhm = 0, eta = 0, chi2 = 0;
};

// Final omega scan with the pseudo-Voigt fit.
OmegaFit OMSTEP(float time_per_step, float step) {
  OmegaFit out;
  const MachineProfile& pr = S().profile;
  const int n = std::clamp(C().omega_final_steps, 1, 200);
  time_per_step = std::min(time_per_step, C().max_time_per_step);
  if (time_per_step < 0.01f) return out;
  const float one_step = pr.motor[2].steps_per_degree > 0 ? 1.0f / pr.motor[2].steps_per_degree
                                                          : 0.0f;
  step = R_ANGLE(std::max(step, one_step), 2);
  const float tth = read_motor(1);
  if (failed()) return out;
  const bool doublet = pr.wave_count == 2 && pr.lambda2 >= 0.1f;
  if (doublet) {
    const float omega = read_motor(2);
    if (failed()) return out;
    const float shift = doublet_offset(pr.lambda1, pr.lambda2, 0.0f, tth);
    if (!drive_one(2, omega + shift / 2.0f)) return out;
  }
  std::array<int, 200> counts{};
  std::array<float, 200> positions{};
  int mode = 2, status = 0;
  float used = 0;
  RUNSCAN(mode, step, time_per_step, n, counts, status, used, 0, positions);
  if (failed()) return out;
  if (status != 0) {
    WRITE_OUT(kOutOfBounds);
    return out;
  }
  if (n < 2) return out;
  step = (positions[at(n - 1)] - positions[0]) / static_cast<float>(n - 1);
  std::vector<float> x(at(n)), y(at(n));
  int top = 0;
  for (int i = 0; i < n; ++i) {
    x[at(i)] = positions[at(i)];
    y[at(i)] = static_cast<float>(counts[at(i)]);
    if (y[at(i)] > y[at(top)]) top = i;
  }
  float half = 0;
  for (int i = 0; i < n; ++i) {
    if (y[at(i)] >= y[at(top)] / 2.0f) {
      half = std::fabs(x[at(top)] - x[at(i)]);
      break;
    }
  }
  const float fwhm0 = std::max(half, 3.0f * step);
  ProfileParameters p{y[0], fwhm0, y[at(top)] * fwhm0, x[at(top)], C().eta,
                      doublet ? pr.ratio : 0.0f};
  const std::array<int, 6> refine{1, 1, 1, 1, C().eta_refined == 1 ? 1 : 0, 0};
  const float lambda2 = doublet ? pr.lambda2 : 0.0f;
  const ProfileFit fit = PKLSQ(x, y, pr.lambda1, lambda2, pr.monoc_correction, tth, p, refine);
  if (fit.status != FIT_CONVERGED) return out;
  // A width the scan cannot measure is no fit of a peak: under two steps the profile rests on
  // one or two points (a spike), beyond the scan's width it is a tilted background. Its centre
  // would be taken as the reflection's omega, so the fit is refused with the reason.
  const float scan_width = step * static_cast<float>(n - 1);
  if (p[P_FWHM] < 2.0f * step || p[P_FWHM] > scan_width) {
    const bool narrow = p[P_FWHM] < 2.0f * step;
    WRITE_OUT("  Final omega fit refused: FWHM " + degrees_text(p[P_FWHM]) +
              (narrow ? " is below two steps of the scan, " + degrees_text(2.0f * step)
                      : " is beyond the width of the scan, " + degrees_text(scan_width)));
    return out;
  }
  // The centre must lie in the scan and within the omega motor's travel.
  if (!(p[P_POSITION] >= x.front() && p[P_POSITION] <= x.back()) || !(p[P_FWHM] > 0.0f))
    return out;
  const float circle = pr.omega_motor(tth, p[P_POSITION]) + pr.offset[2];
  if (circle > pr.motor[2].upper || circle < pr.motor[2].lower) return out;

  if (S().shell.log_final_omega_profiles != 0) {
    AngleSet angles{};
    RDALLMTR(angles);
    if (failed()) return out;
    angles[1] = p[P_POSITION];
    std::vector<long> raw(counts.begin(), counts.begin() + n);
    WRITE_OMEGASCAN_TOFILE(angles, raw, positions[0], positions[at(n - 1)], used);
  }
  const float offset = doublet_offset(pr.lambda1, lambda2, pr.monoc_correction, tth);
  PLOT_DATA_LINE(x, CALC_PROFILE(1, x, p, offset));
  if (doublet) PLOT_DATA_LINE(x, CALC_PROFILE(2, x, p, offset));
  PLOT_MARKER(p[P_POSITION], p[P_POSITION]);
  out.ok = true;
  out.centre = p[P_POSITION];
  out.fwhm = p[P_FWHM];
  out.eta = p[P_ETA];
  out.chi2 = fit.goodness;
  return out;
}

// The three tests after a search scan. Returns false (with the fitting message written) when
// the scan failed or found no usable peak.
bool search_ok(const SearchResult& r, const char* failure, const char* weak,
               const char* ratio = nullptr) {
  if (failed()) return false;
  if (r.failure != 0) {
    WRITE_OUT(failure);
    return false;
  }
  if (r.max_rate < C().min_count_rate || r.max_rate < 0.1f) {
    WRITE_OUT(weak);
    return false;
  }
  if (ratio != nullptr && r.max_rate < C().max_min_ratio * r.min_rate) {
    WRITE_OUT(ratio);
    return false;
  }
  return true;
}

// Failure words of the scans that settle 2theta: the theta/2theta scan's three, the omega
// scan's two.
struct ScanWords {
  const char* failure;
  const char* weak;
  const char* ratio;
  const char* omega_failure;
  const char* omega_weak;
};

// Centres 2theta with theta/2theta search scans, each followed by an omega search scan.
// The theta/2theta scan turns the crystal by half of every 2theta step, so it takes the crystal
// off its omega peak while it brings the detector onto the diffracted beam: its maximum lies
// between where the detector and where the crystal would want to be, and a single scan leaves
// part of a 2theta error behind. The omega scan puts the crystal back on its peak; the pair is
// repeated until the theta/2theta scan no longer moves 2theta, which is where the crystal and
// the detector are both centred. `omega` receives the last omega scan's result, `two_theta`
// (through the caller's `last`) the last theta/2theta scan's.
bool settle_two_theta(float step0, float time_per_step, const ScanWords& w, SearchResult& last) {
  SearchResult omega;
  for (int round = 1;; ++round) {
    const float before = read_motor(1);
    if (failed()) return false;
    last = MTSTEP(1, 2.0f * step0, time_per_step);
    if (!search_ok(last, w.failure, w.weak, round == 1 ? w.ratio : nullptr)) return false;
    const float moved = std::fabs(read_motor(1) - before);
    if (failed()) return false;
    omega = MTSTEP(2, step0 / 2.0f, time_per_step);
    if (!search_ok(omega, w.omega_failure, w.omega_weak)) return false;
    if (moved <= kTwoThetaSettled || round == kTwoThetaRounds) return true;
  }
}

// End of the positive-2theta centring: third omega scan, final chi and final omega scans.
bool MINICENTER(CentringResult& result) {
  const float tth = read_motor(1);
  if (failed()) return false;
  const float width0 = C().initial_omega_width_a + C().initial_omega_width_b * tan_theta(tth);
  const SearchResult third = MTSTEP(2, width0 / 32.0f, 0.5f);
  if (!search_ok(third, "Failure in third omega scan",
                 "Failure in Center: peak too weak on third omega scan"))
    return false;
  const float t = counting_time(C().required_max_count, third.max_rate, C().max_time_per_step,
                                0.2f);
  float chi = 0;
  if (!CHISTEP(chi, t)) {
    if (!failed()) WRITE_OUT("Failure in Center: Peak fitting failed on final chi scan");
    return false;
  }
  if (!drive_one(3, chi)) return false;
  if (C().parabola()) {
    const SearchResult fine = MTSTEP(2, 0.02f, 0.5f);
    if (failed()) return false;
    if (fine.failure != 0 || fine.max_rate < 0.1f) {
      WRITE_OUT("Failure in Center: Peak fitting failed on final omega scan");
      return false;
    }
    result.fwhm = 0;
    result.eta = C().eta;
    return true;
  }
  const float step = (C().final_omega_width_a + C().final_omega_width_b * tan_theta(tth)) /
                     static_cast<float>(std::max(C().omega_final_steps, 1));
  const OmegaFit fit = OMSTEP(t, step);
  if (failed()) return false;
  if (!fit.ok) {
    WRITE_OUT("Failure in Center: peak fitting failed final omega scan");
    return false;
  }
  if (!drive_one(2, fit.centre)) return false;
  result.fwhm = fit.fwhm;
  result.eta = fit.eta;
  result.chi2 = fit.chi2;
  return true;
}

// The positive- and negative-2theta sequence; false on failure (message written unless the
// error flag is set).
bool center_sequence(int positive_only, CentringResult& result) {
  const float tth0 = read_motor(1);
  if (failed()) return false;
  const float step0 =
      (C().initial_omega_width_a + C().initial_omega_width_b * tan_theta(tth0)) / 8.0f;

  SearchResult s = MTSTEP(2, step0, 0.5f);
  if (!search_ok(s, "Failure in Center during initial omega scan",
                 "Failure in Center: peak too weak on initial omega scan",
                 "Failure in Center: Max/Min counts too small on initial omega scan"))
    return false;
  if (C().two_theta_fixed == 0) {
    const ScanWords words{"Failure in Center during 2theta scan",
                          "Failure in Center: Peak too weak on theta/2theta scan",
                          "Failure in Center: Max/Min counts too small on theta/2theta scan",
                          "Failure in Center during second omega scan",
                          "Failure in Center: peak too weak on second omega scan"};
    if (!settle_two_theta(step0, 0.5f, words, s)) return false;
  } else {
    s = MTSTEP(2, step0 / 2.0f, 0.5f);
    if (!search_ok(s, "Failure in Center during second omega scan",
                   "Failure in Center: peak too weak on second omega scan"))
      return false;
  }
  const float tth1 = read_motor(1);
  const float slit = slit5_setting();
  if (failed()) return false;
  const float chi_width = C().chi_width_coeff * std::sqrt(std::max(slit, 0.0f)) /
                          std::max(sin_theta(tth1), 1e-4f);
  const float chi_step = std::max(static_cast<float>(NINT(chi_width / 8.0f * 1000.0f)) / 1000.0f,
                                  0.01f);
  s = MTSTEP(3, chi_step, 0.5f);
  if (!search_ok(s, "Failure in Center on initial chi scan",
                 "Failure in Center: peak too weak on initial chi scan"))
    return false;
  if (!MINICENTER(result)) return false;
  if (positive_only == 1) {
    result.zero = 0;
    return true;
  }

  // Negative 2theta.
  OFBEAM();
  if (failed()) return false;
  const float omega_p = read_motor(2);
  const float tth_p = read_motor(1);
  if (failed()) return false;
  const float s_p = tth_p / 2.0f + omega_p;
  int refused = 0;
  DRIVE(1, -tth_p, 0.0f, 0, refused);
  if (failed()) return false;
  if (refused == 1) {
    // Nothing moved: the reflection stays centred where it is, only its zero is not found.
    WRITE_OUT(" -2theta setting out of limits: centred at +2theta only, no 2theta zero");
    result.zero = 0;
    result.positive_side_only = 1;
    ONBEAM();
    return !failed();
  }
  ONBEAM();
  if (failed()) return false;
  s = MTSTEP(2, step0, 0.5f);
  if (!search_ok(s, "Failure in first omega scan at negative 2theta",
                 "Failure in Center: peak too weak on first omega scan at negative 2theta"))
    return false;
  float t = counting_time(C().required_max_count, s.max_rate, C().max_time_per_step, 0.25f);
  if (C().two_theta_fixed == 0) {
    const ScanWords words{
        "Failure in 2theta scan at negative 2theta",
        "Failure in Center: peak too weak on theta/2theta scan at negative 2theta", nullptr,
        "Failure in first omega scan at negative 2theta",
        "Failure in Center: peak too weak on first omega scan at negative 2theta"};
    SearchResult two_theta;
    if (!settle_two_theta(step0, t, words, two_theta)) return false;
    t = counting_time(C().required_max_count, two_theta.max_rate, C().max_time_per_step, 0.25f);
  }
  const float tth_now = read_motor(1);
  if (failed()) return false;
  const float step = (C().final_omega_width_a + C().final_omega_width_b * tan_theta(tth_now)) /
                     static_cast<float>(std::max(C().omega_final_steps, 1));
  const OmegaFit fit = OMSTEP(t, step);
  if (failed()) return false;
  if (!fit.ok) {
    WRITE_OUT("Failure in Center: peak fitting failed on final omega scan at negative 2theta");
    return false;
  }
  OFBEAM();
  if (failed()) return false;
  const float tth_n = read_motor(1);
  if (failed()) return false;
  const float omega_n = fit.centre;
  const float s_n = tth_n / 2.0f + omega_n;
  result.zero = s_p + s_n - (omega_p + omega_n);
  const float omega_final = (omega_p + omega_n) / 2.0f;
  const float tth_final = (s_p - s_n) + result.zero;
  if (!drive_one(1, tth_final) || !drive_one(2, omega_final)) {
    if (!failed()) WRITE_OUT(kOutOfBounds);
    return false;
  }
  ONBEAM();
  return !failed();
}

}  // namespace

CentringResult CENTER(int positive_only) {
  CentringResult result;
  result.failure = 1;
  if (center_sequence(positive_only, result)) {
    result.failure = 0;
    return result;
  }
  if (failed()) return result;
  AngleSet a{};
  RDALLMTR(a);
  if (failed()) return result;
  WRITE_OUT("MOTOR POSITIONS AFTER FAILURE OF CENTER: ");
  WRITE_OUT(four_f(a, 10, 4));
  OFBEAM();
  return result;
}

// ---- commands ------------------------------------------------------------------------------

namespace {

// What CNTR/CENT keep between the centring and the answer to the add question.
struct PendingCentre {
  int variant = 0;  // 0 CNTR, 1 CENT
  Vec3 hkl{};
  AngleSet angles{};
  float rate = 0;
  bool positive_side_only = false;  // centred as CENT would: no zero
};
PendingCentre pending;

constexpr int kCentreCode = 5, kRefineCode = 30;

bool answered_no(const std::string& line) {
  const std::string_view t = trim(line);
  return !t.empty() && (t[0] == 'N' || t[0] == 'n');
}
bool answered_yes(const std::string& line) {
  const std::string_view t = trim(line);
  return !t.empty() && (t[0] == 'Y' || t[0] == 'y');
}

// Counts 5 s at the centred position; the 2theta of the result is corrected by `zero`.
// The crystal stands at 2theta / 2 + omega, and that must not change when the zero comes off
// 2theta. Where the omega motor reads the omega circle, the omega read is the circle less half
// the 2theta reading (zero included), so it gains half the zero back; where the omega circle
// follows the physical 2theta arm, the omega read already leaves the 2theta zero out.
bool count_at_centre(float zero, AngleSet& angles, float& rate) {
  RDALLMTR(angles);
  if (failed()) return false;
  float used = 0;
  XCOUNT(5.0f, rate, used);
  if (failed()) return false;
  angles[0] -= zero;
  if (S().profile.omega_coupled()) angles[1] += zero / 2.0f;
  return true;
}

struct RefineDialogue {
  int step = 0;
};
RefineDialogue refine_dialogue;

}  // namespace

void CNTR_COMMAND(int variant) {
  ShellState& sh = S().shell;
  if (sh.continuation_code == kCentreCode) {
    end_dialogue();
    if (answered_no(sh.command_argument)) return;
    ReflectionList& list = S().list;
    if (list.count >= kListSize) {
      WRITE_OUT(" Maximum Number of List Items, Not Added.");
      return;
    }
    ReflectionEntry& e = list.entry[at(list.count)];
    e = ReflectionEntry{};
    e.h = pending.hkl[0];
    e.k = pending.hkl[1];
    e.l = pending.hkl[2];
    e.angles = pending.angles;
    e.ref = pending.variant == 1 || pending.positive_side_only ? 1 : 2;
    e.use = 1;
    e.intensity = static_cast<int>(NINT(pending.rate));
    ++list.count;
    WRITE_MATFILE();
    return;
  }
  if (!normal_mode()) return;
  pending = PendingCentre{};
  pending.variant = variant;
  if (CHECK_SLIT5() != 0) return;
  ONBEAM();
  if (failed()) return;
  const CentringResult c = CENTER(variant == 1 ? 1 : 0);
  if (failed()) return;
  if (c.failure != 0) {
    OFBEAM();
    WRITE_OUT(" Peak Not Centered.");
    return;
  }
  const float zero = variant == 1 ? 0.0f : c.zero;
  pending.positive_side_only = c.positive_side_only != 0;
  if (!count_at_centre(zero, pending.angles, pending.rate)) return;
  OFBEAM();
  if (failed()) return;
  pending.hkl = HCALC(current_geometry(), pending.angles);
  // " Angles: " 4F9.3 ", Rate:" F10.3
  // CNTR: "   Zero: " F9.3 ", Width: " F6.3 " Eta: " F6.3; CENT: 20X "Width: " F6.3 " Eta: " F6.3
  // " Calculated indices:" 3F7.2
  WRITE_OUT(" Angles: " + four_f(pending.angles, 9, 3) + ", Rate:" + F(pending.rate, 10, 3));
  if (variant == 1) {
    WRITE_OUT(std::string(20, ' ') + "Width: " + F(c.fwhm, 6, 3) + " Eta: " + F(c.eta, 6, 3));
  } else {
    WRITE_OUT("   Zero: " + F(c.zero, 9, 3) + ", Width: " + F(c.fwhm, 6, 3) + " Eta: " +
              F(c.eta, 6, 3));
  }
  WRITE_OUT(" Calculated indices:" + F(pending.hkl[0], 7, 2) + F(pending.hkl[1], 7, 2) +
            F(pending.hkl[2], 7, 2));
  ask(kCentreCode, "Add to Reflection List<Y,N>,<Y>? ");
}

namespace {

void mark_not_used(ReflectionEntry& e) {
  e.intensity = 0;
  e.use = 0;
  e.ref = 0;
}

std::string reflection_no(int number) { return " Reflection No." + I(number, 3); }

// Re-centres every list entry whose use flag is set, from the calculated setting (calc) or
// the listed angles.
void REFINE(bool calc) {
  ReflectionList& list = S().list;
  int total = 0;
  for (int i = 0; i < list.count; ++i) total += list.entry[at(i)].use == 1 ? 1 : 0;
  ProgressMeter progress("REF", "reflection", total);
  for (int i = 0; i < list.count; ++i) {
    ReflectionEntry& e = list.entry[at(i)];
    if (e.use != 1) continue;
    progress.next();
    const int number = i + 1;
    AngleSet a = e.angles;
    int status = 0;
    const long order = NINT(std::fabs(e.h) + std::fabs(e.k) + std::fabs(e.l));
    if (calc && order != 0) {
      status = CALCA(current_geometry(), CALPHI(S().crystal.UB, Vec3{e.h, e.k, e.l}), a);
    } else {
      status = SOFTLIMITS(S().profile, S().device, a, 0);
    }
    if (status == 0) {
      drive_to(a, status);
      if (failed()) break;
    }
    if (status != 0) {
      WRITE_OUT(reflection_no(number) + " not Accessible.");
      mark_not_used(e);
      WRITE_MATFILE();
      continue;
    }
    ONBEAM();
    if (failed()) break;
    const CentringResult c = CENTER(0);
    if (failed()) break;
    if (c.failure != 0) {
      WRITE_OUT(reflection_no(number) + " Not Found or too Weak.");
      mark_not_used(e);
      WRITE_MATFILE();
      continue;
    }
    AngleSet angles{};
    float rate = 0;
    if (!count_at_centre(c.zero, angles, rate)) break;
    // The shutter stays shut while the next reflection is reached.
    OFBEAM();
    if (failed()) break;
    // " Reflection No." I3 " at:" 4F8.2; 13X " Tthzero:" F8.2 "   Rate:" I7 "   Eta:" F5.2
    WRITE_OUT(reflection_no(number) + " at:" + four_f(angles, 8, 2));
    WRITE_OUT(std::string(13, ' ') + " Tthzero:" + F(c.zero, 8, 2) + "   Rate:" +
              I(NINT(rate), 7) + "   Eta:" + F(c.eta, 5, 2));
    e.angles = angles;
    e.intensity = static_cast<int>(NINT(rate));
    e.use = 1;
    e.ref = c.positive_side_only != 0 ? 1 : 2;
    WRITE_MATFILE();
  }
  if (!failed()) OFBEAM();
}

}  // namespace

void RUN_REFINE() {
  ShellState& sh = S().shell;
  if (sh.continuation_code != kRefineCode) {
    refine_dialogue = {};
    if (!normal_mode()) return;
    if (S().list.count <= 0) {
      WRITE_OUT(" Reflection List Empty, REFINE Aborted.");
      return;
    }
    if (CHECK_SLIT5() != 0) return;
    DISPLAY_CENTER_PARMS();
    refine_dialogue.step = 1;
    ask(kRefineCode, "Continue with these parameters <Y/N>?");
    return;
  }
  const std::string line = sh.command_argument;
  switch (refine_dialogue.step) {
    case 1: {
      if (!answered_yes(line)) {
        WRITE_OUT(" Use SETUP to change these parameters");
        break;
      }
      int used = 0;
      for (int i = 0; i < S().list.count; ++i) used += S().list.entry[at(i)].use == 1 ? 1 : 0;
      if (used == 0) {
        WRITE_OUT("There are NO reflections with the USE flag set");
        break;
      }
      WRITE_OUT(" There are" + I(used, 3) + " reflections with the USE flag set");
      refine_dialogue.step = 3;
      ask(kRefineCode, "Continue (Y,N)<Y>:");
      return;
    }
    case 3:
      if (answered_no(line)) break;
      refine_dialogue.step = 4;
      ask(kRefineCode, "Do you want centering on calc positions or list angles? (C,A)<C>:");
      return;
    case 4: {
      const std::string_view t = trim(line);
      const bool list_angles = !t.empty() && (t[0] == 'A' || t[0] == 'a');
      refine_dialogue.step = 0;
      end_dialogue();
      REFINE(!list_angles);
      return;
    }
    default:
      break;
  }
  refine_dialogue.step = 0;
  end_dialogue();
}

}  // namespace dorvex
