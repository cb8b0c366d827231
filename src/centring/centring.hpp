// Peak centring: the search scans (MTSTEP), the final chi and omega scans with their fits
// (CHISTEP, OMSTEP), the positive-2theta end of the sequence (MINICENTER), the whole sequence
// at positive and negative 2theta (CENTER) and the slit check. The commands CNTR, CENT and
// REF are in centring/commands.hpp.
#pragma once

#include "common/state.hpp"

namespace dorvex {

// What one centring returns to its caller.
struct CentringResult {
  int failure = 1;   // 0 centred
  float zero = 0;    // 2theta zero (0 when only the positive side was centred)
  float fwhm = 0;    // final omega FWHM, degrees
  float eta = 0;     // fitted eta
  float chi2 = 0;    // goodness of fit of the final omega profile fit
  // 1 when the negative-2theta setting lay outside the limits: the reflection stays centred
  // at positive 2theta and no zero was found.
  int positive_side_only = 0;
};

// Centres the reflection at the present motor position; with positive_only = 1 only at
// positive 2theta. The motors are left at the centred position. A set error flag (halt or a
// reported error) ends it at once with failure 1 and no message.
CentringResult CENTER(int positive_only);

// Nine-point search scan of `motor` (1 theta/2theta coupled, 2 omega, 3 chi) followed by the
// parabola fit; failure 1 when a scan or drive leaves the limits. A largest rate below 0.1
// (or reported 0 after three widenings) tells the caller that no peak was found.
struct SearchResult {
  int failure = 0;
  float max_rate = 0, min_rate = 0;
  int peak_index = 0;
  float fwhm = 0;
};
SearchResult MTSTEP(int motor, float step, float time_per_step);

// 1 (with the message in the error log) when slit 5 is narrower than 0.1 mm.
int CHECK_SLIT5();

// Counting time per point that gives `required` counts at a peak of `max_rate`, bounded to
// [floor, ceiling] (the ceiling wins when they cross).
float counting_time(float required, float max_rate, float ceiling, float floor);

}  // namespace dorvex
