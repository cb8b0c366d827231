#include "geometry/angles.hpp"

#include <cmath>

#include "geometry/matrix.hpp"
#include "geometry/limits.hpp"

namespace dorvex {

namespace {

constexpr double kDegree = 57.29578;  // degrees per radian of the angle routines

double sense(const Geometry& g, int motor) {
  return g.profile.sense[static_cast<std::size_t>(motor)] < 0.0f ? -1.0 : 1.0;
}

}  // namespace

float SGN(float x) { return x > 0.0001f ? 1.0f : -1.0f; }

Vec3 CALPHI(const Mat3& UB, const Vec3& h) { return MULTMV(UB, h); }

// The setting of x_phi for the geometry mode, before any limit check. Returns 1 when the
// vector is null or beyond the sphere of reflection.
int calca_setting(const Geometry& g, const Vec3& x, AngleSet& a) {
  a = {};
  const double x1 = x[0], x2 = x[1], x3 = x[2];
  const double dstar = std::sqrt(x1 * x1 + x2 * x2 + x3 * x3);
  const double sin_theta = dstar * g.crystal.lambda1 / 2.0;
  if (!(dstar > 1.0e-6) || !(sin_theta <= 1.0)) return 1;
  a[0] = static_cast<float>(2.0 * std::asin(sin_theta) * kDegree);
  if (g.device.fixed_phi == 0) {
    a[1] = 0.0f;
    a[2] = static_cast<float>(std::atan2(x3, std::sqrt(x1 * x1 + x2 * x2)) * kDegree * sense(g, 3));
    // Along the phi axis (chi 90) every phi diffracts; rounding noise in x1 and x2 would
    // otherwise pick an arbitrary one.
    const bool on_axis = std::sqrt(x1 * x1 + x2 * x2) < 1.0e-5 * dstar;
    a[3] = on_axis ? 0.0f : static_cast<float>(std::atan2(x2, x1) * kDegree * sense(g, 4));
  } else {
    a[1] = static_cast<float>(std::asin(x2 / dstar) * kDegree * sense(g, 2));
    a[2] = static_cast<float>(std::atan2(x3, x1) * kDegree * sense(g, 3));
    a[3] = 0.0f;
  }
  for (float& v : a) v += 0.0f;  // an arc tangent of -0 is -0: shown as 0.000, not -0.000
  return 0;
}

int CALCA(const Geometry& g, const Vec3& xphi, AngleSet& a) {
  if (calca_setting(g, xphi, a) != 0) return 1;
  const int status = SOFTLIMITS(g.profile, g.device, a, 0);
  if (status != 0) a = {};
  return status;
}

Vec3 CALCH(const Geometry& g, AngleSet& a) {
  for (float& v : a)
    if (std::fabs(v) < 1.0e-6f) v = 0.0f;
  const double so = std::sin(a[1] / kDegree) * sense(g, 2), co = std::cos(a[1] / kDegree);
  const double sc = std::sin(a[2] / kDegree) * sense(g, 3), cc = std::cos(a[2] / kDegree);
  const double sp = std::sin(a[3] / kDegree) * sense(g, 4), cp = std::cos(a[3] / kDegree);
  const double f = 2.0 * std::sin(a[0] / 2.0 / kDegree) / g.crystal.lambda1;
  return {static_cast<float>(f * (co * cc * cp - so * sp)),
          static_cast<float>(f * (so * cp + co * cc * sp)), static_cast<float>(f * co * sc)};
}

Vec3 HCALC(const Geometry& g, AngleSet a) {
  float det = 0.0f;
  int ierr = 0;
  const Mat3 inverse = MINV3(g.crystal.UB, det, ierr);
  return MULTMV(inverse, CALCH(g, a));
}

Mat3 PSIMAT(const Geometry& g, const AngleSet& a) {
  const double so = std::sin(a[1] / kDegree) * sense(g, 2), co = std::cos(a[1] / kDegree);
  const double sc = std::sin(a[2] / kDegree) * sense(g, 3), cc = std::cos(a[2] / kDegree);
  const double sp = std::sin(a[3] / kDegree) * sense(g, 4), cp = std::cos(a[3] / kDegree);
  Mat3 r;
  r(0, 0) = static_cast<float>(co * cc * cp - so * sp);
  r(0, 1) = static_cast<float>(so * cp + co * cc * sp);
  r(0, 2) = static_cast<float>(co * sc);
  r(1, 0) = static_cast<float>(-so * cc * cp - co * sp);
  r(1, 1) = static_cast<float>(co * cp - so * cc * sp);
  r(1, 2) = static_cast<float>(-so * sc);
  r(2, 0) = static_cast<float>(-sc * cp);
  r(2, 1) = static_cast<float>(-sc * sp);
  r(2, 2) = static_cast<float>(cc);
  return r;
}

int PSIANG(const Geometry& g, const Mat3& R, float psi, AngleSet& a) {
  const double cs = std::cos(psi / kDegree), sn = std::sin(psi / kDegree);
  // R' = R_psi R, R_psi a rotation about the laboratory x axis (the diffraction vector).
  auto rp = [&](int i, int j) -> double {
    switch (i) {
      case 0: return R(0, j);
      case 1: return cs * R(1, j) + sn * R(2, j);
      default: return -sn * R(1, j) + cs * R(2, j);
    }
  };
  const double s_omega = sense(g, 2), s_chi = sense(g, 3), s_phi = sense(g, 4);
  double omega = 0.0, chi = 0.0, phi = 0.0;
  const double r33 = rp(2, 2);
  if (std::fabs(std::fabs(r33) - 1.0) <= 2.0e-6) {
    // Chi at 0 or 180: only the sum (chi 0) or difference (chi 180) of the omega and phi
    // rotations is defined. Omega is put to 0, so phi alone carries the rotation; the first
    // row of R' is then cos(chi) (cos phi', sin phi') with phi' the signed phi rotation.
    const double cchi = r33 > 0.0 ? 1.0 : -1.0;
    chi = std::acos(cchi) * kDegree * s_chi;
    phi = std::atan2(cchi * rp(0, 1), cchi * rp(0, 0)) * kDegree * s_phi;
  } else {
    omega = std::atan2(-rp(1, 2), rp(0, 2)) * kDegree * s_omega;
    chi = std::atan2(std::sqrt(rp(0, 2) * rp(0, 2) + rp(1, 2) * rp(1, 2)), r33) * kDegree * s_chi;
    phi = std::atan2(-rp(2, 1), -rp(2, 0)) * kDegree * s_phi;
  }
  if (std::fabs(omega) > 90.0) {
    omega += 180.0;
    chi = -chi;
    phi += 180.0;
    if (omega > 180.0) omega -= 360.0;
    if (chi > 180.0) chi -= 360.0;
    if (phi > 180.0) phi -= 360.0;
  }
  a[1] = static_cast<float>(omega);
  a[2] = static_cast<float>(chi);
  a[3] = static_cast<float>(phi);
  return SOFTLIMITS(g.profile, g.device, a, 0);
}

void GET_ZREF(AngleSet& a, int position) {
  // Negation as 0 - x, so that a zero angle stays +0 and is never shown as -0.000.
  const float tth = a[0], om = a[1], chi = a[2], phi = a[3];
  const float mtth = 0.0f - tth, mom = 0.0f - om, mchi = 0.0f - chi;
  switch (position) {
    case 2: a = {mtth, om, chi, phi}; break;
    case 3: a = {mtth, mom, chi + 180.0f, phi}; break;
    case 4: a = {tth, mom, chi + 180.0f, phi}; break;
    case 5: a = {tth, mom, 180.0f - chi, phi + 180.0f}; break;
    case 6: a = {mtth, mom, 180.0f - chi, phi + 180.0f}; break;
    case 7: a = {mtth, om, mchi, phi + 180.0f}; break;
    case 8: a = {tth, om, mchi, phi + 180.0f}; break;
    default: break;  // position 1 (and any unknown position) is the setting itself
  }
}

}  // namespace dorvex
