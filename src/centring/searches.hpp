// Searches for reflections on an unknown crystal and the rotation photograph: the work
// routines behind SRCH, CONE and PHOT. Their dialogues (RUN_SEARCH, RUN_CONE, PHOTO_SCAN) are
// in centring/commands.hpp.
#pragma once

#include <array>
#include <vector>

#include "common/state.hpp"

namespace dorvex {

// Step of the search grid for a slit `aperture` wide at `distance` from the crystal, seen
// under `sine` (1 for 2theta, sin(2theta) for chi): 2 atan(aperture / 2 / (distance sine)) in
// degrees, rounded to 0.1.
float search_step(float aperture, float distance, float sine);
// Number of grid positions from `first` to `last` in steps of `step` (the end included).
int search_positions(float first, float last, float step);

// One step scan of a search line: the scan starts `start` and counts `points` points at
// start + step, start + 2 step, ...
struct SearchSegment {
  float start = 0;
  int points = 0;
};
// The scans that cover start..end: none below 10 points, one up to 200, else k = n/200 + 1
// scans of n/k points.
std::vector<SearchSegment> search_segments(float start, float end, float step);

struct SearchPeak {
  int index = 0;     // 0-based point of the maximum
  int count = 0;
  float width = 0;   // between the half-height neighbours, degrees
};
// Points above mean + significance sqrt(mean) with no higher point before their counts fall
// to half on either side (of equal neighbours the first counts).
std::vector<SearchPeak> find_search_peaks(const int* counts, int n, float significance,
                                          float step);

struct SearchParameters {
  float aperture5 = 0, aperture6 = 0;
  float two_theta_first = 0, two_theta_last = 0, two_theta_step = 0;
  float chi_first = 0, chi_last = 0, chi_step = 0;
  float scan_first = 0, scan_last = 0, scan_step = 0;  // phi, or omega when phi is fixed
  float count_time = 0, significance = 0;
};
// Fills the 2theta and chi steps from the apertures and the detector distance; false when
// they cannot be formed (a step that rounds to 0).
bool search_grid(SearchParameters& p);
// Instrument seconds of a search: the slits, every search line's drive and step scans (moves
// and counts at the controller's speeds and count times), and the drive back to zero.
double search_seconds(const SearchParameters& p);
// The listing shown before the search starts.
void LIST_SEARCH(const SearchParameters& p);
void SEARCH(const SearchParameters& p);

// Cone angle and 2theta of the second reflection, threshold significance.
void CONE_SEARCH(float cone_angle, float two_theta, float threshold);
// The phi-frame vector of length `length` at `cone_angle` from `first`, turned by `psi` about
// it (psi 0 lies towards the phi axis).
Vec3 cone_vector(const Vec3& first, float cone_angle, float psi, float length);

// Phi limits of the rotation photograph sweep.
void photo_sweep(float& from, float& to);
void RUN_PHOTO(int minutes);

}  // namespace dorvex
