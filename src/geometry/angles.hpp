// Diffractometer angle calculations: indices <-> diffraction vector <-> the four circle angles.
#pragma once

#include "common/state.hpp"

namespace dorvex {

// Everything the angle routines read: the crystal (UB, lambda1), the rotation senses and zero
// offsets and limits of the profile, and the device settings (geometry mode, limits).
struct Geometry {
  const CrystalState& crystal;
  const MachineProfile& profile;
  const DeviceSettings& device;
};

// The angle routines' view of the program-wide records.
inline Geometry current_geometry() { return {S().crystal, S().profile, S().device}; }

Vec3 CALPHI(const Mat3& UB, const Vec3& h);                 // x_phi = UB h
// CALCA's setting before the limit check: returns 0, or 1 (all angles 0) for a null vector or
// one beyond the sphere of reflection. Used where the equivalent settings of a reflection are
// wanted even when the first one is out of the limits.
int calca_setting(const Geometry& g, const Vec3& xphi, AngleSet& a);
// Setting for the current geometry mode; returns 0, or 1 when impossible, or the limit
// check's status (all four angles then 0).
int CALCA(const Geometry& g, const Vec3& xphi, AngleSet& a);
// x_phi of a setting; angles below 1.0E-6 in magnitude are set to exactly 0 in `a`.
Vec3 CALCH(const Geometry& g, AngleSet& a);
Vec3 HCALC(const Geometry& g, AngleSet a);                  // indices, not rounded
Mat3 PSIMAT(const Geometry& g, const AngleSet& a);
// Rotation by psi about the diffraction vector: fills omega, chi, phi of `a` (2theta kept);
// returns the limit check's status.
int PSIANG(const Geometry& g, const Mat3& R, float psi, AngleSet& a);
void GET_ZREF(AngleSet& a, int position);                   // equivalent setting 1..8, in place
float SGN(float x);                                         // +1 if x > 0.0001, else -1

}  // namespace dorvex
