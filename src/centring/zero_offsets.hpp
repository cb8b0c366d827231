// Zero-offset determination: one reflection centred in up to eight equivalent settings
// (CENTER8), the evaluation of those settings into true angles, instrument zeroes and crystal
// offsets (CALC_OFFSETS), and the list-wide run (ZREF). The commands ZREF and CEN8 are in
// centring/commands.hpp.
#pragma once

#include <array>
#include <vector>

#include "common/state.hpp"

namespace dorvex {

// The ten results of an evaluation.
struct ZeroOffsets {
  float true_tth = 0, true_omega = 0, true_chi = 0;
  float zero_tth = 0, zero_omega_theta = 0, zero_chi = 0;
  std::array<float, 3> crystal{};  // crystal offsets
  float delta_h = 0;
};

// What the evaluation needs from the machine profile.
struct OffsetConstants {
  std::array<float, 5> sense{0, 1, 1, 1, 1};  // rotation senses of motors 1..4
  float d1 = 0, d2 = 0;                         // the two goniometer distances
  bool diagnostic = false;                      // write the intermediate sums
  // The omega circle follows half of the physical 2theta arm by itself (CONFIG field 5 not 1):
  // half the 2theta zero error then shows in omega + theta as read.
  bool omega_follows_two_theta = false;
};
OffsetConstants offset_constants();

// Evaluates the measured angles of settings 1..8 (index 0..7) with their used flags.
// Returns 0 evaluated, 1 signs of 2theta wrong, 2 signs of omega wrong, 3 chi values
// inconsistent, 4 a set of used settings that determines nothing (not 8, 1-4 or 1,2,7,8).
// Crystal offsets and delta-H are computed only with all eight settings.
int CALC_OFFSETS(std::array<AngleSet, 8> angles, const std::array<int, 8>& used,
                 const OffsetConstants& k, ZeroOffsets& out);

// Outcome of centring one reflection in its equivalent settings.
struct Center8Result {
  int centred = 0;       // settings centred
  int failures = 0;      // settings out of bounds or not found
  bool stopped = false;  // a failure ended the run (no continuation after failures)
  bool evaluated = false;
  ZeroOffsets offsets;
  AngleSet true_angles{};  // true 2theta, omega, chi and the phi of setting 1
  float intensity = 0;   // mean peak rate of the centred settings
};

// Centres the reflection whose setting 1 is `start` in the settings listed (all eight, or the
// four 1-4 or 1, 2, 7, 8). A halt or reported error ends it with the error flag set.
Center8Result CENTER8(const AngleSet& start, const std::vector<int>& settings,
                      bool continue_after_failures);

}  // namespace dorvex
