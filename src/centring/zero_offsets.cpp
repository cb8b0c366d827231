// Zero-offset determination and the commands ZREF and CEN8.
//
// A reflection is centred at positive 2theta in each of its equivalent settings; after every
// centred setting the working angles are taken back from the measured ones, so the next
// setting starts from the improved position. Combinations of 2theta/2 + omega and of chi over
// the settings separate the true angles from the zero errors of the circles and from the
// displacement of the crystal from the goniometer centre.
#include "centring/zero_offsets.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>

#include "centring/centring.hpp"
#include "common/fields.hpp"
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

constexpr float kDeg = 57.295f;  // degrees per radian as the offsets have always used it

// An angle in (-180, 180]; the limit check then moves chi and phi into their ranges.
float principal(float x) {
  float r = std::remainder(x, 360.0f);
  if (r <= -180.0f) r += 360.0f;
  return r;
}

float sign_of(float x) { return x < 0.0f ? -1.0f : 1.0f; }  // +1 for zero
std::size_t at(int i) { return static_cast<std::size_t>(i); }

std::string three_f(float a, float b, float c, int w, int d) {
  return F(a, w, d) + F(b, w, d) + F(c, w, d);
}

}  // namespace

OffsetConstants offset_constants() {
  OffsetConstants k;
  k.sense = S().profile.sense;
  k.d1 = S().profile.goncon[0];
  k.d2 = S().profile.goncon[1];
  k.diagnostic = S().shell.log_extra_zref != 0;
  k.omega_follows_two_theta = !S().profile.omega_coupled();
  return k;
}

int CALC_OFFSETS(std::array<AngleSet, 8> a, const std::array<int, 8>& used,
                 const OffsetConstants& k, ZeroOffsets& out) {
  out = ZeroOffsets{};
  auto u = [&](int p) { return used[at(p - 1)] != 0; };
  auto tth = [&](int p) -> float& { return a[at(p - 1)][0]; };
  auto om = [&](int p) -> float& { return a[at(p - 1)][1]; };
  auto chi = [&](int p) -> float& { return a[at(p - 1)][2]; };
  if (!u(1)) return 4;
  static constexpr std::array<float, 8> tth_pattern{1, -1, -1, 1, 1, -1, -1, 1};
  static constexpr std::array<float, 8> om_pattern{1, 1, -1, -1, -1, -1, 1, 1};
  for (int p = 2; p <= 8; ++p) {
    if (!u(p)) continue;
    if (sign_of(tth(1)) * sign_of(tth(p)) != tth_pattern[at(p - 1)]) return 1;
    if (std::fabs(om(1)) > 1.0f && sign_of(om(1)) * sign_of(om(p)) != om_pattern[at(p - 1)])
      return 2;
  }
  // Chi readings are taken as the turns nearest to what each setting's rule makes of chi 1
  // (chi, chi + 180, 180 - chi, -chi): a chi near 0 or 180 may be read on either side of the
  // half turn, and the combinations below need the readings on one turn. This also unwraps
  // settings 3 to 6 above setting 1.
  static constexpr std::array<float, 8> chi_sign{1, 1, 1, 1, -1, -1, -1, -1};
  static constexpr std::array<float, 8> chi_add{0, 0, 180, 180, 180, 180, 0, 0};
  for (int p = 2; p <= 8; ++p) {
    if (!u(p)) continue;
    const float expected = chi_sign[at(p - 1)] * chi(1) + chi_add[at(p - 1)];
    chi(p) = expected + std::remainder(chi(p) - expected, 360.0f);
  }
  for (int p = 1; p <= 7; p += 2) {
    if (u(p) && u(p + 1) && std::fabs(chi(p) - chi(p + 1)) > 5.0f) return 3;
  }

  int n = 0;
  for (int p = 1; p <= 8; ++p) n += u(p) ? 1 : 0;
  const bool all = n == 8;
  const bool first_four = n == 4 && u(1) && u(2) && u(3) && u(4);
  const bool outer_four = n == 4 && u(1) && u(2) && u(7) && u(8);
  if (!all && !first_four && !outer_four) return 4;

  std::array<float, 9> A{}, C{};
  float sum_tth = 0, sum_a = 0, sum_c = 0;
  for (int p = 1; p <= 8; ++p) {
    if (!u(p)) continue;
    A[at(p)] = tth(p) / 2.0f + om(p);
    C[at(p)] = chi(p);
    sum_tth += tth(p);
    sum_a += A[at(p)];
    sum_c += C[at(p)];
  }
  // Terms of unused settings are zero, so one set of sums serves all three cases.
  const float tth_sum = A[1] - A[2] - A[3] + A[4] + A[5] - A[6] - A[7] + A[8];
  const float om_sum = A[1] + A[2] - A[3] - A[4] - A[5] - A[6] + A[7] + A[8];
  const float chi_sum = C[1] + C[2] + C[3] + C[4] - C[5] - C[6] - C[7] - C[8];
  const float scale = all ? 1.0f : 2.0f;
  out.true_tth = scale * tth_sum / 4.0f;
  out.true_omega = scale * om_sum / 8.0f;
  out.zero_tth = sum_tth / static_cast<float>(n);
  if (all) {
    out.true_chi = chi_sum / 8.0f;
    out.zero_omega_theta = sum_a / 8.0f;
    out.zero_chi = (sum_c - 720.0f) / 8.0f;
  } else if (first_four) {
    out.true_chi = (chi_sum - 360.0f) / 4.0f;
    out.zero_omega_theta = sum_a / 4.0f;
    out.zero_chi = 0.0f;
  } else {
    // Settings 1, 2, 7 and 8 carry chi and -chi: their sum is four times the chi zero.
    out.true_chi = chi_sum / 4.0f;
    out.zero_omega_theta = 0.0f;
    out.zero_chi = sum_c / 4.0f;
  }
  // The omega zero is reported as the program applies zeros: the 2theta zero comes off the
  // 2theta reading before it is halved, so the crystal stands at (2theta - zero) / 2 + omega.
  // Where the omega motor reads the omega circle, omega + theta as read is the circle reading
  // and its mean over the settings is the omega zero itself. Where the circle follows the
  // physical 2theta arm, the crystal stands at omega - omega error + (2theta - 2theta error) / 2,
  // so the mean of omega + theta as read carries half the 2theta zero as well.
  if (k.omega_follows_two_theta && (all || first_four))
    out.zero_omega_theta -= out.zero_tth / 2.0f;
  if (!all) return 0;

  const float e2t = k.sense[1], eom = k.sense[2], echi = k.sense[3], ephi = k.sense[4];
  const float sx = eom * (A[1] + A[2] - A[3] - A[4] + A[5] + A[6] - A[7] - A[8]) / 8.0f;
  const float sy = eom * (A[1] - A[2] - A[3] + A[4] - A[5] + A[6] + A[7] - A[8]) / 8.0f;
  const float delxtl = echi * (C[1] - C[2] + C[3] - C[4] - C[5] + C[6] - C[7] + C[8]) / 8.0f;
  const float delchi = echi * (-C[1] + C[2] + C[3] - C[4] - C[5] + C[6] + C[7] - C[8]) / 8.0f;
  const float delp4 = echi * (C[1] - C[2] + C[3] - C[4] + C[5] - C[6] + C[7] - C[8]) / 8.0f;
  const float theta = out.true_tth / 2.0f / kDeg;
  const float omega_t = out.true_omega / kDeg, chi_t = out.true_chi / kDeg;
  const float st = std::sin(theta), ct = std::cos(theta), cot = std::cos(omega_t);
  const float x1 = sx * k.d1 / ct / kDeg;
  const float x2 = sy * k.d1 / (e2t * st) / kDeg;
  float x3 = 0.0f;
  if (k.d1 != 0.0f && k.d2 != 0.0f)
    x3 = 2.0f * delxtl * e2t * st / cot / (1.0f / k.d1 + 1.0f / k.d2) / kDeg;
  const float phi1 = a[0][3] / kDeg;
  const float cp = std::cos(phi1), sp = ephi * std::sin(phi1);
  const float cc = std::cos(chi_t), sc = echi * std::sin(chi_t);
  const float co = cot, so = eom * std::sin(omega_t);
  // Columns of M.
  const std::array<std::array<float, 3>, 3> m{{{cp * co * cc - sp * so, co * cc * sp + so * cp,
                                                co * sc},
                                               {-so * cc * cp - sp * co, co * cp - so * cc * sp,
                                                -so * sc},
                                               {-sc * cp, -sp * sc, cc}}};
  const std::array<float, 3> x{x1, x2, x3};
  for (std::size_t r = 0; r < 3; ++r)
    out.crystal[r] = m[0][r] * x[0] + m[1][r] * x[1] + m[2][r] * x[2];
  out.delta_h = -(2.0f * k.d2 * delchi * e2t * st / cot) / kDeg;
  if (k.diagnostic) {
    WRITE_OUT(std::string(5, ' ') + "SX = " + F(sx, 6, 4) + "  SY = " + F(sy, 6, 4) +
              "  DELXTL = " + F(delxtl, 6, 4));
    WRITE_OUT("OFFSETS ON THETA AXES:" + three_f(x1, x2, x3, 8, 4));
    WRITE_OUT("DELCHI = " + F(delchi, 6, 4) + " DELP4 = " + F(delp4, 6, 4));
  }
  return 0;
}

Center8Result CENTER8(const AngleSet& start, const std::vector<int>& settings,
                      bool continue_after_failures) {
  Center8Result r;
  const bool diag = S().shell.log_extra_zref != 0;
  WRITE_OUT(std::string("   2Theta    Omega      Chi      Phi    Intens Width  Chi2   Eta") +
            (diag ? "  AbsOmega" : ""));
  std::array<AngleSet, 8> measured{};
  std::array<int, 8> used{};
  double s_int = 0, s_fwhm = 0, s_chi2 = 0, s_eta = 0;
  double q_int = 0, q_fwhm = 0, q_chi2 = 0, q_eta = 0;
  AngleSet work = start;
  float phi1 = start[3];
  bool measured_before = false;
  AngleSet last{};  // where the previous setting was measured
  ProgressMeter progress("CEN8", "setting", static_cast<int>(settings.size()));
  for (const int p : settings) {
    progress.next();
    AngleSet a = work;
    GET_ZREF(a, p);
    // Chi and phi go the short way from where the previous setting was measured, so that the
    // readings of one reflection stay on one turn; the limit check then brings a limited
    // circle into its range.
    for (std::size_t j = 2; j <= 3; ++j)
      a[j] = measured_before ? last[j] + std::remainder(a[j] - last[j], 360.0f) : principal(a[j]);
    int status = SOFTLIMITS(S().profile, S().device, a, 0);
    if (p == 1 && status == 0) phi1 = a[3];
    if (status != 0) {
      WRITE_OUT(" Reflection OUT-OF-BOUNDS");
    } else {
      S().motion.target = a;
      DRIVEP(1, status);
      if (failed()) return r;
      if (status != 0) WRITE_OUT(" Reflection OUT-OF-BOUNDS");
    }
    if (status != 0) {
      ++r.failures;
      if (!continue_after_failures) {
        r.stopped = true;
        break;
      }
      continue;
    }
    ONBEAM();
    if (failed()) return r;
    const CentringResult c = CENTER(1);
    if (failed()) return r;
    if (c.failure != 0) {
      OFBEAM();
      if (failed()) return r;
      WRITE_OUT(" Reflection Not Found");
      ++r.failures;
      if (!continue_after_failures) {
        r.stopped = true;
        break;
      }
      continue;
    }
    AngleSet m{};
    RDALLMTR(m);
    if (failed()) return r;
    float rate = 0, time_used = 0;
    XCOUNT(1.0f, rate, time_used);
    if (failed()) return r;
    OFBEAM();
    if (failed()) return r;
    measured[at(p - 1)] = m;
    used[at(p - 1)] = 1;
    last = m;
    measured_before = true;
    ++r.centred;
    // 2X 4F9.4 I10 F6.3 I6 F6.2 [F9.4]
    std::string line = "  " + F(m[0], 9, 4) + F(m[1], 9, 4) + F(m[2], 9, 4) + F(m[3], 9, 4) +
                       I(NINT(rate), 10) + F(c.fwhm, 6, 3) + I(NINT(c.chi2), 6) +
                       F(c.eta, 6, 2);
    if (diag) line += F(m[0] / 2.0f + m[1], 9, 4);
    WRITE_OUT(line);
    s_int += rate;
    s_fwhm += c.fwhm;
    s_chi2 += c.chi2;
    s_eta += c.eta;
    q_int += double(rate) * rate;
    q_fwhm += double(c.fwhm) * c.fwhm;
    q_chi2 += double(c.chi2) * c.chi2;
    q_eta += double(c.eta) * c.eta;
    // Back to setting 1 from what was measured (each rule undoes itself modulo 360).
    GET_ZREF(m, p);
    work = m;
  }
  const int n = r.centred;
  if (n > 0) r.intensity = static_cast<float>(s_int / n);
  if (n >= 2) {
    const double dn = n;
    auto esd = [&](double s, double q) { return std::sqrt(std::max(0.0, (q - s * s / dn) /
                                                                         (dn - 1.0))); };
    const double m_int = s_int / dn, m_fwhm = s_fwhm / dn, m_chi2 = s_chi2 / dn,
                 m_eta = s_eta / dn;
    const double e_int = esd(s_int, q_int), e_fwhm = esd(s_fwhm, q_fwhm),
                 e_chi2 = esd(s_chi2, q_chi2), e_eta = esd(s_eta, q_eta);
    WRITE_OUT("Averages:" + I(NINT(m_int), 10) + F(m_fwhm, 6, 3) + I(NINT(m_chi2), 6) +
              F(m_eta, 6, 2));
    WRITE_OUT("Esd's:" + I(NINT(e_int), 10) + F(e_fwhm, 6, 3) + I(NINT(e_chi2), 6) +
              F(e_eta, 6, 2));
    auto ratio = [](double e, double m, int w) {
      return m > 0.0001 ? F(e / m, w, 3) : std::string(static_cast<std::size_t>(w), ' ');
    };
    WRITE_OUT("ESD/Average:" + ratio(e_int, m_int, 10) + ratio(e_fwhm, m_fwhm, 6) +
              ratio(e_chi2, m_chi2, 6) + ratio(e_eta, m_eta, 6));
  }
  if (n < 4) {
    WRITE_OUT(" ANGLES AND OFFSETS CANNOT BE CALCULATED");
    WRITE_OUT(" FROM" + I(n, 3) + " EQUIVALENTS");
    return r;
  }
  ZeroOffsets z;
  const int code = CALC_OFFSETS(measured, used, offset_constants(), z);
  switch (code) {
    case 0:
      r.evaluated = true;
      r.offsets = z;
      r.true_angles = {z.true_tth, z.true_omega, z.true_chi, phi1};
      WRITE_OUT("     TRUE ANGLES: " + three_f(z.true_tth, z.true_omega, z.true_chi, 10, 4));
      WRITE_OUT("          ZEROES: " +
                three_f(z.zero_tth, z.zero_omega_theta, z.zero_chi, 10, 4));
      if (n == 8) {
        WRITE_OUT(" CRYSTAL OFFSETS: " +
                  three_f(z.crystal[0], z.crystal[1], z.crystal[2], 10, 4));
        WRITE_OUT("         DELTA-H: " + F(z.delta_h, 10, 4));
      }
      break;
    case 1: WRITE_OUT("  CALC_OFFSETS SAYS SIGNS OF 2TH INCORRECT"); break;
    case 2: WRITE_OUT("  CALC_OFFSETS SAYS SIGNS OF OM INCORRECT"); break;
    case 3: WRITE_OUT("  CALC_OFFSETS SAYS VALUES OF CHI INCORRECT"); break;
    default:
      WRITE_OUT(" ANGLES AND OFFSETS CANNOT BE CALCULATED");
      WRITE_OUT(" FROM" + I(n, 3) + " EQUIVALENTS");
      break;
  }
  return r;
}

namespace {

constexpr int kZrefCode = 29, kCen8Code = 44;

bool answered_no(const std::string& line) {
  const std::string_view t = trim(line);
  return !t.empty() && (t[0] == 'N' || t[0] == 'n');
}
bool answered_yes(const std::string& line) {
  const std::string_view t = trim(line);
  return !t.empty() && (t[0] == 'Y' || t[0] == 'y');
}
// A yes/no answer: blank takes the default; anything not starting Y or N is unreadable.
bool read_yes_no(const std::string& line, bool fallback, bool& value) {
  const std::string_view t = trim(line);
  if (t.empty()) {
    value = fallback;
    return true;
  }
  if (answered_yes(line) || answered_no(line)) {
    value = answered_yes(line);
    return true;
  }
  return false;
}

// The steps of the ZREF and CEN8 dialogues.
enum Step { kNone, kChiLimits, kParameters, kUseCount, kCalcOrList, kFailures, kAddToList };

struct ZrefDialogue {
  Step step = kNone;
  bool calc = true;
};
ZrefDialogue zref_dialogue;

struct Cen8Dialogue {
  Step step = kNone;
  Center8Result result;
};
Cen8Dialogue cen8_dialogue;

// Warns when the slits stand elsewhere than the centring settings ask for.
void check_slits() {
  if (!S().profile.slits_motorised()) return;
  float s5 = 0, s6 = 0;
  RDMTR(5, s5);
  RDMTR(6, s6);
  if (failed()) return;
  if (std::fabs(s5 - S().centring.slit5) > 0.005f || std::fabs(s6 - S().centring.slit6) > 0.005f)
    WRITE_OUT(std::string(" ******WARNING:") + " Slits are not currently set at requested values!");
}

bool chi_limits_asymmetric() {
  const DeviceSettings& d = S().device;
  return d.chi_limited != 0 && std::fabs(d.chi_lower + d.chi_upper) > 0.001f;
}

int used_count() {
  int n = 0;
  for (int i = 0; i < S().list.count; ++i) n += S().list.entry[at(i)].use == 1 ? 1 : 0;
  return n;
}

bool inside(float x, float lower, float upper) { return x >= lower && x <= upper; }

// Settings of a reflection that the chi and phi ranges allow. Chi of settings 3 to 6 lies
// 180 - |chi| from zero: a limited chi leaves settings 1, 2, 7 and 8. A phi with no room for
// phi + 180 leaves settings 1 to 4. Both leave two, too few for anything.
std::vector<int> reachable_settings(const AngleSet& a) {
  const DeviceSettings& d = S().device;
  const bool chi_short =
      d.chi_limited != 0 && !inside(180.0f - std::fabs(a[2]), d.chi_lower, d.chi_upper);
  const bool phi_short = d.phi_limited != 0 && a[3] - 180.0f < d.phi_lower &&
                         !inside(a[3] + 180.0f, d.phi_lower, d.phi_upper);
  if (chi_short && phi_short) return {1, 2};
  if (chi_short) return {1, 2, 7, 8};
  if (phi_short) return {1, 2, 3, 4};
  return {1, 2, 3, 4, 5, 6, 7, 8};
}

void drive_slits() {
  if (!S().profile.slits_motorised()) return;
  int status = 0;
  DRIVE(5, S().centring.slit5, 0.0f, 0, status);
  if (failed()) return;
  DRIVE(6, S().centring.slit6, 0.0f, 0, status);
}

// Centres every list entry with the use flag set in its equivalent settings and averages the
// zeroes and offsets.
void ZREF(bool calc, bool continue_after_failures) {
  drive_slits();
  if (failed()) return;
  const int saved_scan_switch = S().shell.log_final_omega_profiles;
  S().shell.log_final_omega_profiles = 1;
  ReflectionList& list = S().list;
  const int total = used_count();
  int successes = 0, fails = 0, done = 0;
  bool four_only = false;
  ZeroOffsets sum;
  ProgressMeter progress("ZREF", "reflection", total);
  for (int i = 0; i < list.count; ++i) {
    ReflectionEntry& e = list.entry[at(i)];
    if (e.use != 1) continue;
    progress.next();
    const ReflectionEntry before = e;
    const int number = i + 1;
    ++done;
    e.use = 0;
    e.intensity = 0;
    AngleSet a = e.angles;
    int status = 0;
    if (calc && NINT(std::fabs(e.h) + std::fabs(e.k) + std::fabs(e.l)) != 0)
      status = CALCA(current_geometry(), CALPHI(S().crystal.UB, Vec3{e.h, e.k, e.l}), a);
    else
      status = SOFTLIMITS(S().profile, S().device, a, 0);
    if (status != 0) {
      WRITE_OUT(" Reflection " + I(number, 2) + " not Accessible.");
      ++fails;
    } else {
      const std::vector<int> which = reachable_settings(a);
      const int settings = static_cast<int>(which.size());
      if (settings < 4) {
        WRITE_OUT("  Only two equivalents of reflection " + I(number, 2) +
                  " accessible - use  REF");
        ++fails;
      } else {
        WRITE_OUT(" Centering Reflection No. " + I(number, 2) + " : hkl= " + F(e.h, 5, 1) +
                  F(e.k, 5, 1) + F(e.l, 5, 1));
        WRITE_OUT(" Reflection" + I(done, 3) + " of" + I(total, 3));
        const Center8Result c = CENTER8(a, which, continue_after_failures);
        if (failed()) {
          e = before;  // a halt leaves the entry as it was
          break;
        }
        if (c.evaluated) {
          e.angles = c.true_angles;
          e.use = 1;
          e.ref = settings;
          e.intensity = static_cast<int>(NINT(c.intensity));
          ++successes;
          four_only = four_only || settings == 4;
          sum.zero_tth += c.offsets.zero_tth;
          sum.zero_omega_theta += c.offsets.zero_omega_theta;
          sum.zero_chi += c.offsets.zero_chi;
          sum.delta_h += c.offsets.delta_h;
          for (std::size_t j = 0; j < 3; ++j) sum.crystal[j] += c.offsets.crystal[j];
        } else {
          ++fails;
        }
      }
    }
    WRITE_MATFILE();
    WRITE_OUT("Successes so far:" + I(successes, 3) + ", Fails:" + I(fails, 3));
    if (failed()) break;
  }
  S().shell.log_final_omega_profiles = saved_scan_switch;
  if (failed() || successes == 0) return;
  const float n = static_cast<float>(successes);
  WRITE_OUT("   AVERAGE ZEROES AND OFFSETS FROM " + I(successes, 2) + " REFLECTIONS");
  if (four_only) WRITE_OUT(std::string("   WARNING - NOT ALL VALUES CORRECT") +
                           " DUE TO 4-REFLN CENTERING");
  WRITE_OUT("     Angles: " + three_f(sum.zero_tth / n, sum.zero_omega_theta / n,
                                      sum.zero_chi / n, 9, 3));
  WRITE_OUT("     DeltaH: " + F(sum.delta_h / n, 9, 3));
  WRITE_OUT("       Xtal: " + three_f(sum.crystal[0] / n, sum.crystal[1] / n,
                                      sum.crystal[2] / n, 9, 3));
}

}  // namespace

void RUN_ZREF() {
  ShellState& sh = S().shell;
  ZrefDialogue& d = zref_dialogue;
  if (sh.continuation_code != kZrefCode) {
    d = {};
    if (!normal_mode()) return;
    if (CHECK_SLIT5() != 0) return;
    if (chi_limits_asymmetric()) {
      WRITE_OUT("WARNING: CHI LIMITS ASYMMETRIC - ");
      d.step = kChiLimits;
      ask(kZrefCode, "CONTINUE <y/n>?");
      return;
    }
    d.step = kChiLimits;
    sh.command_argument = "Y";
  }
  const std::string line = sh.command_argument;
  bool yes = false;
  switch (d.step) {
    case kChiLimits:
      if (!read_yes_no(line, false, yes)) break;
      if (!yes) {
        d = {};
        end_dialogue();
        return;
      }
      check_slits();
      if (failed()) break;
      DISPLAY_CENTER_PARMS();
      d.step = kParameters;
      ask(kZrefCode, "Continue with these parameters <Y/N>?");
      return;
    case kParameters: {
      if (!answered_yes(line)) {
        WRITE_OUT(" Use SETUP to change these parameters");
        d = {};
        end_dialogue();
        return;
      }
      const int used = used_count();
      if (used == 0) {
        WRITE_OUT("There are NO reflections with the USE flag set");
        d = {};
        end_dialogue();
        return;
      }
      WRITE_OUT(" There are" + I(used, 3) + " reflections with the USE flag set");
      d.step = kUseCount;
      ask(kZrefCode, "Continue (Y,N)<Y>:");
      return;
    }
    case kUseCount:
      if (!read_yes_no(line, true, yes)) break;
      if (!yes) {
        d = {};
        end_dialogue();
        return;
      }
      d.step = kCalcOrList;
      ask(kZrefCode, "Do you want centering on calc positions or list angles? (C,A)<C>:");
      return;
    case kCalcOrList: {
      const std::string_view t = trim(line);
      if (!t.empty() && t[0] != 'C' && t[0] != 'c' && t[0] != 'A' && t[0] != 'a') break;
      d.calc = t.empty() || t[0] == 'C' || t[0] == 'c';
      d.step = kFailures;
      ask(kZrefCode, " Do you want centering to continue after failures (Y,N)<N>:");
      return;
    }
    case kFailures: {
      if (!read_yes_no(line, false, yes)) break;
      const bool calc = d.calc;
      d = {};
      end_dialogue();
      ZREF(calc, yes);
      return;
    }
    default:
      d = {};
      end_dialogue();
      return;
  }
  if (failed()) {
    d = {};
    end_dialogue();
    return;
  }
  ask(kZrefCode, "Error on input, try again:");
}

void RUN_CEN8() {
  ShellState& sh = S().shell;
  Cen8Dialogue& d = cen8_dialogue;
  if (sh.continuation_code != kCen8Code) {
    d = {};
    if (!normal_mode()) return;
    if (CHECK_SLIT5() != 0) return;
    check_slits();
    if (failed()) return;
    DISPLAY_CENTER_PARMS();
    d.step = kParameters;
    ask(kCen8Code, "Continue with these parameters <Y/N>?");
    return;
  }
  const std::string line = sh.command_argument;
  bool yes = false;
  switch (d.step) {
    case kParameters:
      if (!answered_yes(line)) {
        WRITE_OUT(" Use SETUP to change these parameters");
        break;
      }
      d.step = kFailures;
      ask(kCen8Code, " Do you want centering to continue after failures (Y,N)<N>:");
      return;
    case kFailures: {
      if (!read_yes_no(line, false, yes)) {
        ask(kCen8Code, "Error on input, try again:");
        return;
      }
      end_dialogue();
      AngleSet start{};
      RDALLMTR(start);
      if (failed()) break;
      d.result = CENTER8(start, {1, 2, 3, 4, 5, 6, 7, 8}, yes);
      if (failed() || !d.result.evaluated) break;
      d.step = kAddToList;
      ask(kCen8Code, "Add to Reflection List<Y,N>,<Y>? ");
      return;
    }
    case kAddToList: {
      if (answered_no(line)) break;
      ReflectionList& list = S().list;
      if (list.count >= kListSize) {
        WRITE_OUT(" Maximum Number of List Items, Not Added.");
        break;
      }
      ReflectionEntry& e = list.entry[at(list.count)];
      e = ReflectionEntry{};
      const Vec3 hkl = HCALC(current_geometry(), d.result.true_angles);
      e.h = hkl[0];
      e.k = hkl[1];
      e.l = hkl[2];
      e.angles = d.result.true_angles;
      e.ref = 8;
      e.use = 1;
      e.intensity = static_cast<int>(NINT(d.result.intensity));
      ++list.count;
      WRITE_MATFILE();
      break;
    }
    default:
      break;
  }
  d = {};
  end_dialogue();
}

namespace {

constexpr int kZremCode = 42;
constexpr std::size_t kMaxCrystals = 9;  // the crystal numbers are written in one column

std::vector<std::string> zrem_names;

// ZREF over each named matrix file in turn, with the default answers of its questions
// (calculated positions, no continuation after failures).
void ZREF_MULTI(const std::vector<std::string>& names) {
  const int total = static_cast<int>(names.size());
  for (int c = 0; c < total; ++c) {
    WRITE_OUT(std::string(10, ' ') + "*****STARTING CRYSTAL # " + I(c + 1, 1) + " OF " +
              I(total, 1) + " IN ZREM ***** at " + date_text() + ":" + time_hhmm());
    if (MATFILE(1, names[at(c)]) != 0) {
      WRITE_OUT(" Error reading matfile #" + I(c + 1, 1));
      WRITE_OUT("It will not be measured");
      continue;
    }
    if (S().list.count <= 0) {
      WRITE_OUT(" Reflection List Empty, ZREF Aborted.");
      continue;
    }
    const int used = used_count();
    if (used == 0) {
      WRITE_OUT(std::string("There are NO reflections") +
                " with the USE flag set: ZREF Aborted");
      continue;
    }
    WRITE_OUT("There are " + I(used, 2) + " reflections" +
              " with the USE flag set for this crystal");
    ZREF(true, false);
    if (failed()) return;
  }
}

}  // namespace

void RUN_ZREF_MULTI() {
  ShellState& sh = S().shell;
  const char* prompt = "Input filename (no extension, <CR> to start measurement): ";
  if (sh.continuation_code != kZremCode) {
    zrem_names.clear();
    if (!normal_mode()) return;
    if (CHECK_SLIT5() != 0) return;
    WRITE_OUT("Multiple Zref:");
    WRITE_OUT(" Input mat file names in order of measurement:");
    ask(kZremCode, prompt);
    return;
  }
  const std::string name(trim(sh.command_argument));
  if (!name.empty()) {
    const std::string path = sh.data_directory + name + ".mat";
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
      WRITE_OUT(" *****MatFile " + name + " does not exist");
    } else {
      zrem_names.push_back(name);
    }
    if (zrem_names.size() < kMaxCrystals) {
      ask(kZremCode, prompt);
      return;
    }
  }
  end_dialogue();
  const std::vector<std::string> names = zrem_names;
  zrem_names.clear();
  if (names.empty()) {
    WRITE_OUT("No filenames entered: ZREF aborted");
    return;
  }
  ZREF_MULTI(names);
}

}  // namespace dorvex
