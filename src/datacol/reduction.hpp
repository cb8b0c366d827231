// Data reduction: the records of a reflection data file read back, their integrated intensities,
// the Lorentz-polarisation factor, the crystal's decay followed by the standards, the empirical
// absorption correction from psi scans (North, Phillips & Mathews, 1968, Acta Cryst. A24,
// 351-359), the agreement of Laue equivalents (R_int) and the h k l F-squared sigma lines a
// structure program reads.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "common/state.hpp"
#include "geometry/angles.hpp"     // Geometry, for the beam paths of a setting
#include "geometry/spacegroup.hpp"  // the operators that make reflections equivalent

namespace dorvex {

// One "R" record of a data file with its step counts.
struct DataRecord {
  int sequence = 0;
  std::array<int, 3> hkl{};
  float psi = 0;
  AngleSet angles{};  // 2theta, omega (from the bisecting position), chi, phi
  int points = 0;
  float step = 0;
  float rate = 0;     // 100 step / (scans x counting time per point)
  int standard = 0;   // standard number, 0 for an ordinary reflection
  char scan_code = ' ';
  std::vector<long> counts;
};

struct ReadDataFile {
  std::string title;
  std::array<float, 6> cell{};
  float volume = 0;
  Mat3 UB;
  bool has_cell = false;
  bool has_ub = false;
  std::vector<DataRecord> records;  // whole records, in file order
  int unreadable_lines = 0;         // lines that belong to no header and no whole record
  int broken_records = 0;           // "R" records without their full set of counts
};

// Reads a data file's text. Nothing in it stops the reading: a line that cannot be read is
// skipped and counted, a record whose counts are incomplete is dropped and counted.
ReadDataFile parse_data_file(std::string_view text);

// Net integrated intensity of a record by the background-peak-background method, in counts x
// degrees per second of counting (so that scans of different steps, times and repeats compare),
// and its standard uncertainty from counting statistics. The background is scaled by the true
// ratio of peak to background points. Not valid for fewer than ten points or no rate.
struct NetIntensity {
  double value = 0;
  double sigma = 0;
  bool valid = false;
};
NetIntensity net_intensity(const DataRecord& record);

// Lorentz factor 1/sin(2theta) of the four-circle geometry (the omega axis is normal to the
// scattering plane at every setting) times the polarisation factor behind a monochromator
// whose scattering plane is that of the crystal: (1 + cos^2 2theta_M cos^2 2theta) /
// (1 + cos^2 2theta_M); 2theta_M = 0 is the unpolarised beam without a monochromator.
double lorentz_polarisation(double two_theta_deg, double monochromator_2theta_deg);

// The decay of the scattering power against the sequence number, from the standards: each
// standard's intensity relative to its own mean, the standards of one set averaged, smoothed by
// a straight line through the five nearest sets, and scaled to 1 at the first set.
struct DecayCurve {
  std::vector<double> sequence;  // mean sequence number of each set of standards
  std::vector<double> factor;    // smoothed relative scattering power
  int measurements = 0;          // standard records that entered
  bool usable() const { return sequence.size() >= 2; }
  // Linear between the sets, continued along the end segments beyond them, never below 0.05.
  double at(double sequence_number) const;
  double largest_decay() const;  // 1 - the smallest factor of the sets
};
DecayCurve decay_from_standards(const std::vector<DataRecord>& records);

// Azimuths (degrees, 0..360) about the phi axis of the two beam paths of a setting, in the
// crystal's frame: back along the incident beam and out along the diffracted one.
struct BeamAzimuths {
  double in = 0;
  double out = 0;
};
BeamAzimuths beam_azimuths(const Geometry& g, const AngleSet& setting);

// The transmission curve of one psi scan against the azimuth of the beam paths, folded onto
// 0..180 degrees (at chi 90 the two paths lie 180 degrees apart, so the curve repeats after
// 180), scaled to 1 at its largest value.
struct PsiCurve {
  std::array<int, 3> hkl{};
  double two_theta = 0;
  std::vector<double> position;      // ascending, 0 <= position < 180
  std::vector<double> transmission;
  double at(double azimuth) const;   // linear, periodic in 180 degrees
};

// The relative transmission of a reflection: the mean of the curve at the azimuths of its two
// beam paths, interpolated linearly in 2theta between the curves (the nearest beyond them).
double psi_transmission(const std::vector<PsiCurve>& curves, double two_theta,
                        const BeamAzimuths& az);

struct ReductionOptions {
  bool lorentz_polarisation = true;
  bool decay = true;
  bool absorption = true;
  double monochromator_2theta = 0;  // 0: no monochromator
};

struct ReducedReflection {
  std::array<int, 3> hkl{};
  int sequence = 0;
  double two_theta = 0;
  double f2 = 0;
  double sigma = 0;
  double decay = 1;          // factor divided out
  double transmission = 1;   // factor divided out
};

struct ReductionResult {
  std::vector<ReducedReflection> reflections;  // ordinary reflections to be written
  int records = 0;             // whole records read
  int unusable = 0;            // records without a valid intensity or Lp
  int standards_measured = 0;  // standard records
  std::vector<std::array<int, 3>> standards;  // indices of the standards met, by number
  DecayCurve decay;
  bool decay_applied = false;
  std::vector<PsiCurve> curves;  // psi scans used for absorption
  int psi_scans = 0;             // psi scans found (not written)
  int psi_records = 0;
  bool absorption_applied = false;
  double t_min = 1, t_max = 1;
  int negative = 0;              // reflections written with F-squared below 0
  double r_int = 0;              // over groups of two or more equivalents
  int r_int_reflections = 0;
  int r_int_groups = 0;
  int unique = 0;                // distinct Laue classes among the reflections written
  std::array<int, 3> hkl_min{}, hkl_max{};
  double theta_min = 0, theta_max = 0;
  double width_min = 0, width_max = 0;  // (N - 1) x step of the measured scans
  double step_min = 0, step_max = 0;
  std::vector<std::string> notes;  // why a requested correction was not applied, and the like
};

ReductionResult reduce_data(const ReadDataFile& data, const ReductionOptions& options,
                            const Geometry& g, const SpaceGroup& group);

// h k l of one Laue class: the largest of the equivalents (under the group's rotations and the
// inversion) in lexicographic order.
std::array<int, 3> laue_representative(const SpaceGroup& group, const std::array<int, 3>& h);

// One line of an HKLF 4 file, format (3I4,2F8.2).
std::string hklf4_line(const std::array<int, 3>& hkl, double f2, double sigma);
// The whole file: every reflection scaled by one factor so that the largest value fits its
// field, sigma at least 0.01, and the closing line of zeros.
struct HklfFile {
  std::string text;
  double scale = 1;
};
HklfFile hklf4_file(const std::vector<ReducedReflection>& reflections);

}  // namespace dorvex
