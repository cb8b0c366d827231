// Profiles, reciprocal-space line scans, long step scans and the film geometry check: the
// work routines behind PROF, SCAN, STEP and CALP. Their dialogues (PROFST, RUN_SCANHKL,
// RUN_STEP, INPUT_PHOTO) are in centring/commands.hpp.
#pragma once

#include <string>

#include "common/state.hpp"

namespace dorvex {

// Motor codes of PROF and STEP: 1 theta/2theta coupled, 2 omega, 3 chi, 4 phi, 5 2theta alone,
// 8 sample height. Display names as the profile file and the dialogues show them.
std::string scan_motor_name(int code);
// Whether the code is one the machine can scan (8 only with a sample-height motor).
bool scan_motor_valid(int code);

// Step scan of `steps` points of `step` around the present position, counting `count_time`
// seconds a point; rates to pkprof.dat when that log is on; back to the start afterwards.
void PKPROF(int code, int steps, float step, float count_time);
// Drive-and-count along the line from `start` to `end` in reciprocal space, `steps` points.
void SCANHKL(const Vec3& start, const Vec3& end, int steps, float count_time);
// Drives the motor from `start` towards `end` in steps of `step`, waiting `minutes` at each
// position (an external detector counts; the program does not).
void STEPSCAN(int code, float start, float end, float step, float minutes);
// 2theta and chi of a pair of film spots `h` and `v` mm apart on a film `film_distance` mm away.
void FILM_ANGLES(float film_distance, float h, float v, float& two_theta, float& chi);

}  // namespace dorvex
