// The data-collection engine. Every reflection is driven to, step-scanned, integrated by the
// background-peak-background method (rescanned in constant-precision mode), written to the
// console and appended whole to the data file before the next one starts, so a halt leaves
// every record measured so far intact on disk.
#include "datacol/collect.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <istream>
#include <string>
#include <vector>

#include "centring/centring.hpp"
#include "common/fields.hpp"
#include "files/datafile.hpp"
#include "datacol/listscan.hpp"
#include "datacol/resume.hpp"
#include "geometry/angles.hpp"
#include "geometry/spacegroup.hpp"
#include "instrument/controller.hpp"
#include "instrument/motion.hpp"
#include "instrument/timing.hpp"
#include "console/dialogue.hpp"
#include "console/output.hpp"
#include "console/progress.hpp"
#include "console/status.hpp"

namespace dorvex {

namespace {

DataCollectionParameters& DC() { return S().datacol; }

// Where the running (or last) collection stands.
struct Work {
  int shell = 0;
  std::array<int, 3> hkl{};                 // in h, k, l order
  std::array<int, 3> start{}, end{}, dir{1, 1, 1};
  int header_sequence = 0;
  int standards_sequence = -1;
  bool shell_collection = false;  // DC S is running: its progress is followed
  ResumeFile journal;             // what the resume file holds for the running DC S
  std::string resume_path;        // "" without a data file
};
Work work;

// Where a stopped DC S stands; without a data file this is all there is of it.
ResumePoint progress;
// Progress of the running collection: every reflection measured (not the standards) is an item.
ProgressMeter* meter = nullptr;
bool meter_in_shells = false;
struct MeterScope {
  ProgressMeter owned;
  MeterScope(const char* command, const char* item, int total, double per_item = 0,
             bool shells = false)
      : owned(command, item, total, per_item) {
    meter = &owned;
    meter_in_shells = shells;
  }
  ~MeterScope() { meter = nullptr; }
};

constexpr int kMaxPoints = 200;
// Lines between column headers: the header is repeated before the 61st line after it.
constexpr int kHeaderEvery = 60;

Vec3 to_vec(const std::array<int, 3>& h) {
  return {static_cast<float>(h[0]), static_cast<float>(h[1]), static_cast<float>(h[2])};
}

std::string time_of_day() { return time_hhmm(); }

// The setting of `hkl` in the present geometry; false when it cannot be reached.
bool setting_of(const Vec3& hkl, AngleSet& a) {
  return CALCA(current_geometry(), CALPHI(S().crystal.UB, hkl), a) == 0;
}

bool drive_to(const AngleSet& a) {
  S().motion.target = a;
  int status = 0;
  DRIVEP(1, status);
  return !failed() && status == 0;
}

// The violations rule of the parameters: true when the reflection is to be collected.
bool wanted(const SpaceGroup& group, bool have_group, const Vec3& h) {
  if (DC().violations_mode <= 0.5f || !have_group) return true;
  const bool allowed = ALLOWED(group, h);
  return DC().violations_mode > 1.5f ? !allowed : allowed;
}

// Radius of the shell's sphere of reflection in reciprocal space, 2 sin(theta_max)/lambda1.
double reciprocal_radius(int shell) {
  const double upper = DC().shell_upper[static_cast<std::size_t>(shell)];
  return 2.0 * std::sin(upper * 0.5 * M_PI / 180.0) / static_cast<double>(S().crystal.lambda1);
}

double edge(int index) {  // cell edge of index 1..3
  return S().crystal.cell[static_cast<std::size_t>(index - 1)];
}

// Angle (radians) between the direct axes of indices 1..3: alpha (b, c), beta (a, c), gamma.
double axis_angle(int i, int j) {
  return S().crystal.cell[static_cast<std::size_t>(8 - i - j)] * M_PI / 180.0;
}

// The end of an index range on the side of its limit: 0 for a zero limit, else the furthest
// index the sphere allows on that side, truncated after adding 1 so that rounding can never
// lose a reflection at the edge. A crystal without a cell or wavelength gives no finite
// extent: the range is then empty rather than undefined.
int signed_extent(double lo, double hi, int limit) {
  if (limit == 0 || !std::isfinite(lo) || !std::isfinite(hi)) return 0;
  const double reach = limit > 0 ? std::max(hi, 0.0) : std::max(-lo, 0.0);
  const int v = static_cast<int>(std::min(reach + 1.0, 999.0));
  return limit < 0 ? -v : v;
}

void set_range(int index, double lo, double hi) {
  const std::size_t j = static_cast<std::size_t>(index - 1);
  work.start[j] = signed_extent(lo, hi, DC().index_limits[2 * j]);
  work.end[j] = signed_extent(lo, hi, DC().index_limits[2 * j + 1]);
}

// Order of the indices: slot 0 fastest .. 2 slowest, each naming index 1..3.
int order(int slot) {
  const int o = DC().increment_order[static_cast<std::size_t>(slot)];
  return (o >= 1 && o <= 3) ? o : slot + 1;
}

void write_shell_heading() {
  const std::size_t s = static_cast<std::size_t>(work.shell);
  WRITE_OUT("SHELL NO " + I(work.shell, 2) + " FROM " + F(DC().shell_lower[s], 5, 2) + " TO " +
            F(DC().shell_upper[s], 5, 2) + " TWO-THETA" + " STARTED ON " + A(date_text(), 9));
}

void end_of_data() {
  drive_to(AngleSet{});
  WRITE_OUT("");
  WRITE_OUT(std::string(30, ' ') + "****END OF DATA****");
}

void header_if_due() {
  if (DC().sequence_number - work.header_sequence >= kHeaderEvery)
    PRINTHEADER(work.header_sequence);
}

// Measures `hkl` at its computed setting, driving there first. False: stop the collection.
bool measure_at(const Vec3& hkl, const AngleSet& a, float psi) {
  header_if_due();
  if (meter != nullptr)
    meter->next(meter_in_shells ? "in shell " + std::to_string(work.shell) : std::string());
  if (!drive_to(a)) return !failed();
  int failure = 0;
  const int sequence = DC().sequence_number;
  SCANREF(hkl, a, psi, 0, failure);
  if (work.shell_collection && DC().sequence_number != sequence) {
    progress.measured = true;
    for (std::size_t i = 0; i < 3; ++i) progress.hkl[i] = static_cast<int>(NINT(hkl[i]));
    progress.psi = psi;
    progress.record = sequence;
  }
  return failure != 2 && !failed();
}

// The reachable psi settings of `hkl` from position `first_psi` of npsi (from psi0), or the
// bisecting one.
bool measure_reflection(const Vec3& hkl, int npsi, float psi0, int first_psi = 0) {
  AngleSet a{};
  if (!setting_of(hkl, a)) return true;
  if (npsi < 2) return measure_at(hkl, a, 0.0f);
  const Mat3 R = PSIMAT(current_geometry(), a);
  for (int k = first_psi; k < npsi; ++k) {
    const float psi = psi0 + static_cast<float>(k) * DC().psi_interval;
    AngleSet p = a;
    if (PSIANG(current_geometry(), R, psi, p) != 0) continue;
    if (!measure_at(hkl, p, psi)) return false;
  }
  return true;
}

bool standards_due() {
  return DC().sequence_number - work.standards_sequence >= DC().standard_interval;
}

bool run_standards() {
  int status = 0;
  STANDARD(status);
  return status != 2 && !failed();
}

// The next index triple of the shell: the fastest index moves first; the ranges of the two
// faster ones follow the slowest. False when the slowest has left its range.
bool step_triple() {
  for (int slot = 0; slot < 3; ++slot) {
    const std::size_t j = static_cast<std::size_t>(order(slot) - 1);
    work.hkl[j] += work.dir[j];
    if (IRNGCHK(work.hkl, static_cast<int>(j)) >= 0) {
      if (slot == 2) SETINDEXFAST(work.hkl[j]);
      for (int f = 0; f < slot; ++f) {
        const std::size_t g = static_cast<std::size_t>(order(f) - 1);
        work.hkl[g] = work.start[g];
      }
      return true;
    }
    if (slot < 2) work.hkl[j] = work.start[j];
  }
  return false;
}

// Scan settings that can measure anything, checked before a collection starts rather than
// found at its first reflection.
bool scan_usable() {
  const DataCollectionParameters& dc = DC();
  if (!(dc.step > 0.0f) || !(dc.scan_width_a > 0.0f) || !(dc.time_per_step > 0.0f)) {
    WRITE_OUT(" Step, scan width and time per step must all be above 0: no data collected");
    return false;
  }
  const long n = NINT(dc.scan_width_a / dc.step + 1.0f);
  if (n < 10 || n > kMaxPoints) {
    WRITE_OUT(I(n, 5) + "steps in scan: 10 to 200 allowed, no data collected");
    return false;
  }
  return true;
}

std::string data_file_name() {
  const ShellState& shell = S().shell;
  if (shell.datfile_set == 0) return "";
  return std::string(trim(shell.datfile_name));
}

// The data file of a collection about to start (when one is set) made ready: an unfinished
// record cut off, a missing header written (with `create`, a file that does not exist is
// created with its header), and the numbering continued after its last record, so that
// numbers never repeat in the file. False: the collection must not start.
bool open_data_file(const std::string& path, DataFileContents& contents, bool create) {
  DataCollectionParameters& dc = DC();
  if (dc.sequence_number == 0) dc.sequence_number = 1;
  if (path.empty()) return true;
  if (PREPARE_STDDATA(path, S().crystal, contents) != 0) return false;
  if (!contents.exists && create &&
      WRITE_HEADER_STDDATA(path, S().crystal.title, S().crystal, 1.0f) != 0)
    return false;
  int last = 0;
  for (const StoredRecord& r : contents.records) last = std::max(last, r.sequence);
  if (last >= dc.sequence_number) {
    dc.sequence_number = last + 1;
    WRITE_OUT(" Data file holds records up to" + I(last, 6) + ": numbering continues at" +
              I(dc.sequence_number, 6));
  }
  return true;
}

// Adds the stretch of records from now on to the resume file of the running DC S.
void journal_stretch(int shell) {
  std::vector<Stretch>& stretches = work.journal.stretches;
  if (!stretches.empty() && stretches.back().shell == shell &&
      stretches.back().first == DC().sequence_number)
    return;
  stretches.push_back(Stretch{DC().sequence_number, shell});
  if (!work.resume_path.empty()) write_resume_file(work.resume_path, work.journal);
}

// The psi position (0..npsi-1) of a measured psi.
int psi_position(float psi, int npsi, float psi0) {
  if (DC().psi_interval == 0.0f) return npsi - 1;
  const long k = NINT((psi - psi0) / DC().psi_interval);
  return static_cast<int>(std::clamp(k, 0L, static_cast<long>(npsi - 1)));
}

const char* why_not_resumed(KeyMatch m) {
  switch (m) {
    case KeyMatch::other_crystal: return "another crystal";
    case KeyMatch::other_data_file: return "another data file";
    default: return "other parameters";
  }
}

// Where DC S begins: after the last reflection of a stopped collection of the same crystal,
// data file and parameters (with a data file, as the data file and its resume file record
// it), else at the beginning of the first shell, saying why when a stopped one is left. The
// journal of the collection is started (or continued) with it.
ResumePoint starting_point(const std::string& path, const DataFileContents& contents,
                           const std::vector<int>& shells, bool& resume) {
  const CollectionKey key = current_key(path);
  ResumePoint stopped = progress;
  ResumeFile journal;
  work.resume_path = path.empty() ? "" : resume_file_name(path);
  if (!path.empty()) {
    stopped = ResumePoint{};
    if (read_resume_file(work.resume_path, journal))
      stopped = point_from_file(journal, contents.records);
  }
  resume = false;
  if (stopped.valid) {
    KeyMatch match = compare_keys(stopped.key, key);
    if (std::find(shells.begin(), shells.end(), stopped.shell) == shells.end())
      match = KeyMatch::other_parameters;
    resume = match == KeyMatch::same;
    if (!resume)
      WRITE_OUT(std::string(" The stopped collection was of ") + why_not_resumed(match) +
                ": starting at the beginning");
  }
  if (!resume) {
    journal = ResumeFile{};
    stopped = ResumePoint{};
    stopped.shell = shells.front();
  }
  journal.key = key;
  work.journal = journal;
  progress = stopped;
  progress.valid = true;
  progress.key = key;
  journal_stretch(stopped.shell);
  return stopped;
}

}  // namespace

void reset_collection() {
  work = Work{};
  progress = ResumePoint{};
}

bool ready_data_file() {
  DataFileContents contents;
  const std::string path = data_file_name();
  if (!open_data_file(path, contents, false)) return false;
  // A stopped DC S into the same file must know that the records from here on are not its own.
  ResumeFile journal;
  if (!path.empty() && read_resume_file(resume_file_name(path), journal) &&
      journal.stretches.back().shell != 0) {
    journal.stretches.push_back(Stretch{DC().sequence_number, 0});
    write_resume_file(resume_file_name(path), journal);
  }
  return true;
}

std::vector<std::array<int, 3>> shell_triples(int shell) {
  std::vector<std::array<int, 3>> found;
  work.shell = shell;
  SETINDEX(shell);
  work.hkl = work.start;
  do {
    if (INSHELL(S().crystal, DC(), shell, to_vec(work.hkl)) == 0) found.push_back(work.hkl);
  } while (step_triple());
  return found;
}

void collection_header() { PRINTHEADER(work.header_sequence); }

void SCANREF(const Vec3& hkl, const AngleSet& angles, float psi, int standard, int& failure) {
  failure = 0;
  DataCollectionParameters& dc = DC();
  if (dc.step <= 0.0f) {
    ERRORLOG(" Step width must be positive for a data-collection scan");
    failure = 2;
    return;
  }
  const int n = static_cast<int>(NINT(dc.scan_width_a / dc.step + 1.0f));
  if (n > kMaxPoints) {
    ERRORLOG(I(n, 5) + "steps in scan: 200 allowed");
    failure = 1;
    return;
  }
  if (n < 10) {  // no background point on either side: nothing to integrate against
    ERRORLOG(I(n, 5) + "steps in scan: at least 10 needed");
    failure = 1;
    return;
  }
  const int nb = n / 10;
  const int k = ((n - 2 * nb) / 2) / nb;
  const int scan_type = static_cast<int>(NINT(dc.scan_type));
  const bool precision = dc.constant_precision != 0.0f;
  const int max_scans = precision ? std::max(1, static_cast<int>(NINT(dc.max_scans))) : 1;

  std::vector<long> totals(static_cast<std::size_t>(n), 0);
  std::array<float, 200> positions{};
  float used = 0, intensity = 0, sigma = 0;
  double b1 = 0, b2 = 0;
  int scans = 0;
  char code = 'N';
  bool weak = false;
  ONBEAM();
  if (failed()) return;
  for (;;) {
    std::array<int, 200> counts{};
    int mode = scan_type == 2 ? 1 : 2, status = 0;
    RUNSCAN(mode, dc.step, dc.time_per_step, n, counts, status, used, 0, positions);
    if (failed()) {
      OFBEAM();
      return;
    }
    if (status != 0) {
      WRITE_OUT(" Scan aborted, end of scan out-of-bounds ");
      OFBEAM();
      failure = 1;
      return;
    }
    ++scans;
    for (std::size_t i = 0; i < totals.size(); ++i) totals[i] += counts[i];
    b1 = b2 = 0;
    double peak = 0;
    for (int i = 0; i < n; ++i) {
      const double c = static_cast<double>(totals[static_cast<std::size_t>(i)]);
      if (i < nb) b1 += c;
      else if (i >= n - nb) b2 += c;
      else peak += c;
    }
    const double back = b1 + b2;
    const double norm = static_cast<double>(n) * std::max(used, 1e-6f) * scans;
    intensity = static_cast<float>((peak - k * back) / norm);
    sigma = static_cast<float>(std::sqrt(peak + double(k) * k * back) / norm);
    const float ratio = sigma > 0 ? intensity / sigma : 0.0f;
    if (!precision) break;
    if (scans >= max_scans) {
      code = scans == 1 ? 'S' : 'M';
      break;
    }
    if (scans == 1 && ratio < dc.min_i_over_sigma) {
      code = 'W';
      weak = true;
      break;
    }
    if (ratio >= dc.required_i_over_sigma) {
      code = scans == 1 ? 'S' : 'R';
      break;
    }
    // Back to the reflection for the next scan.
    if (scan_type == 1) {
      int st = 0;
      DRIVE(2, angles[1], 0.0f, 0, st);
      if (failed()) {
        OFBEAM();
        return;
      }
    } else if (!drive_to(angles)) {
      OFBEAM();
      if (!failed()) failure = 1;
      return;
    }
  }
  OFBEAM();
  if (failed()) return;

  std::string flags = "   ";
  if (weak) flags[0] = 'W';
  else if (sigma > 0 && intensity / sigma < 3.0f) flags[0] = 'L';
  if (standard > 0) flags[1] = 'S';
  if (std::fabs(b1 - b2) > 5.0 * std::sqrt(b1 + b2)) flags[2] = 'B';

  WRITE_OUT(reflection_line(dc.sequence_number, hkl, angles, psi, intensity, sigma, flags,
                            time_of_day()));
  ShellState& shell = S().shell;
  if (shell.datfile_set != 0 && !trim(shell.datfile_name).empty()) {
    ScanRecord record;
    record.sequence = dc.sequence_number;
    for (std::size_t i = 0; i < 3; ++i) record.hkl[i] = static_cast<int>(NINT(hkl[i]));
    record.psi = psi;
    record.angles = angles;
    record.step = (positions[static_cast<std::size_t>(n - 1)] - positions[0]) /
                  static_cast<float>(n - 1);
    record.rate = 100.0f * record.step / (static_cast<float>(scans) * std::max(used, 1e-6f));
    record.standard = standard;
    record.scan_code = code;
    record.counts = totals;
    if (WRITE_REF_STDDATA(std::string(trim(shell.datfile_name)), S().crystal, record) != 0) {
      failure = 1;
      return;
    }
  }
  ++dc.sequence_number;
}

void STANDARD(int& status) {
  status = 0;
  DataCollectionParameters& dc = DC();
  if (dc.sequence_number == work.standards_sequence) return;
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool lost = false;
    for (std::size_t s = 1; s <= 5 && !lost; ++s) {
      if (dc.standards_in_use[s] != 1) continue;
      const Vec3 h = dc.standard_indices[s];
      AngleSet calc{};
      if (!setting_of(h, calc)) {
        WRITE_OUT(std::string(6, ' ') + I(NINT(h[0]), 4) + I(NINT(h[1]), 4) + I(NINT(h[2]), 4) +
                  " Standard out of bounds");
        continue;
      }
      if (!drive_to(calc)) {
        if (failed()) return;
        continue;
      }
      ONBEAM();
      if (failed()) return;
      const CentringResult centred = CENTER(1);
      if (failed()) return;
      if (centred.failure != 0) {
        WRITE_OUT(std::string(6, ' ') + I(NINT(h[0]), 4) + I(NINT(h[1]), 4) + I(NINT(h[2]), 4) +
                  " Standard not found -" + " recentering");
        lost = true;
        break;
      }
      AngleSet found{};
      RDALLMTR(found);
      if (failed()) return;
      header_if_due();
      int failure = 0;
      SCANREF(h, found, 0.0f, static_cast<int>(s), failure);
      if (failed() || failure == 2) {
        status = 2;
        return;
      }
      WRITE_OUT(std::string(15, ' ') + "DELTAS:" + F(found[1] - calc[1], 7, 2) +
                F(found[2] - calc[2], 8, 2));
    }
    if (!lost) {
      work.standards_sequence = dc.sequence_number;
      return;
    }
  }
  WRITE_OUT(" Reorientation failed -abort data collection");
  status = 2;
}

int IRNGCHK(const std::array<int, 3>& hkl, int i) {
  const std::size_t k = static_cast<std::size_t>(i);
  return (work.end[k] - hkl[k]) * (hkl[k] - work.start[k]);
}

// |h_i| = |a_i . d*| <= a_i |d*|: the slowest index reaches at most a_slow times the radius of
// the sphere of reflection, whatever the cell.
void SETINDEX(int shell) {
  const double q = reciprocal_radius(shell);
  const int slow = order(2);
  set_range(slow, -q * edge(slow), q * edge(slow));
  for (std::size_t j = 0; j < 3; ++j) {
    const int d = DC().index_limits[2 * j + 1] - DC().index_limits[2 * j];
    work.dir[j] = d < 0 ? -1 : 1;
  }
  SETINDEXFAST(work.start[static_cast<std::size_t>(slow - 1)]);
}

// With the slowest index fixed at v, the reciprocal-lattice points within the sphere lie on a
// disc: centre v a_slow / |a_slow|^2, radius rho = sqrt(q^2 - (v / a_slow)^2). Over it index j
// runs through v (a_j / a_slow) cos(angle) +- rho a_j sin(angle), the angle being that between
// the direct axes j and slow; for an orthogonal cell this is the familiar +- rho a_j.
void SETINDEXFAST(int slow_value) {
  const double q = reciprocal_radius(work.shell > 0 ? work.shell : 1);
  const int slow = order(2);
  const double v = static_cast<double>(slow_value) / edge(slow);
  const double rho = std::sqrt(std::max(q * q - v * v, 0.0));
  for (int slot = 0; slot < 2; ++slot) {
    const int idx = order(slot);
    const double angle = axis_angle(idx, slow);
    const double centre = v * edge(idx) * std::cos(angle);
    const double half = rho * edge(idx) * std::fabs(std::sin(angle));
    set_range(idx, centre - half, centre + half);
  }
}

void INTEGR(const Vec3& hkl) {
  AngleSet a{};
  if (!setting_of(hkl, a)) {
    WRITE_OUT(std::string(5, ' ') + " Reflection Inaccessable");
    return;
  }
  if (!drive_to(a)) return;
  int failure = 0;
  SCANREF(hkl, a, 0.0f, 0, failure);
}

namespace {

// Multiple psi scans: the number of psi settings and the first psi.
int psi_settings(float& psi0) {
  psi0 = 0;
  if (DC().multiple_psi == 0.0f) return 1;
  const int npsi = static_cast<int>(NINT(DC().psi_scans));
  psi0 = -static_cast<float>((npsi - 1) / 2) * DC().psi_interval;
  return npsi;
}

// Instrument seconds of one reflection measured at `a` after the motors stood at `from`: the
// drive, the drive to the start of the scan, the scan's steps and the shutter. `from` becomes
// where the scan ends. One scan each (constant-precision repeats are not foreseen).
double measurement_seconds(AngleSet& from, const AngleSet& a) {
  const DataCollectionParameters& dc = DC();
  const int n = static_cast<int>(NINT(dc.scan_width_a / dc.step + 1.0f));
  const int mode = NINT(dc.scan_type) == 2 ? 1 : 2;
  const float half = static_cast<float>(n + 1) * dc.step / 2.0f;
  double seconds = drive_seconds(from, a);
  seconds += mode == 1 ? std::max(move_seconds(1, half),
                                  move_seconds(2, S().profile.omega_coupled() ? half / 2 : 0))
                       : move_seconds(2, half);
  seconds += scan_steps_seconds(mode, dc.step, dc.time_per_step, n) + shutter_seconds();
  from = a;
  from[mode == 1 ? 0 : 1] += static_cast<float>(n - 1) * dc.step / 2.0f;
  return seconds;
}

// A set of standards, roughly: each driven to, centred (taken as three scans of 21 points at
// the longest counting time of centring) and measured.
double standards_seconds(AngleSet& from) {
  double seconds = 0;
  for (std::size_t s = 1; s <= 5; ++s) {
    if (DC().standards_in_use[s] != 1) continue;
    AngleSet a{};
    if (!setting_of(DC().standard_indices[s], a)) continue;
    seconds += 3 * scan_steps_seconds(2, DC().step, S().centring.max_time_per_step, 21);
    seconds += measurement_seconds(from, a);
  }
  return seconds;
}

}  // namespace

// The whole of every selected shell, from its beginning (a resumed collection has less to do).
CollectionPlan plan_shells() {
  CollectionPlan plan;
  const DataCollectionParameters& dc = DC();
  const std::vector<int> shells = collected_shells(dc);
  if (!(dc.step > 0.0f) || shells.empty()) return plan;
  const Work saved = work;
  SpaceGroup group;
  const bool have_group =
      dc.violations_mode > 0.5f && SYMMETRY(dc.space_group_symbol, group) == 0;
  float psi0 = 0;
  const int npsi = psi_settings(psi0);
  AngleSet at = S().status.angles;
  int sequence = std::max(dc.sequence_number, 1), standards_at = sequence;
  plan.seconds += standards_seconds(at);
  for (const int shell : shells) {
    plan.shells.push_back({shell, 0});
    work.shell = shell;
    SETINDEX(shell);
    work.hkl = work.start;
    do {
      const Vec3 h = to_vec(work.hkl);
      AngleSet a{};
      if (INSHELL(S().crystal, dc, shell, h) != 0 || !wanted(group, have_group, h) ||
          !setting_of(h, a))
        continue;
      const Mat3 R = PSIMAT(current_geometry(), a);
      for (int k = 0; k < npsi; ++k) {
        AngleSet p = a;
        if (npsi > 1 &&
            PSIANG(current_geometry(), R, psi0 + static_cast<float>(k) * dc.psi_interval, p) != 0)
          continue;
        ++plan.shells.back().second;
        ++plan.total;
        plan.seconds += measurement_seconds(at, p);
        ++sequence;
      }
      if (sequence != standards_at && sequence - standards_at >= dc.standard_interval) {
        plan.seconds += standards_seconds(at);
        standards_at = sequence;
      }
    } while (step_triple());
    if (sequence != standards_at) plan.seconds += standards_seconds(at);
    standards_at = sequence;
  }
  plan.seconds += drive_seconds(at, AngleSet{});
  work = saved;
  return plan;
}

void INTALL() {
  DataCollectionParameters& dc = DC();
  if (dc.sequence_number == 0) dc.sequence_number = 1;
  const std::vector<int> shells = collected_shells(dc);
  if (shells.empty()) {
    WRITE_OUT("No shells selected: no data to be collected!");
    return;
  }
  if (!scan_usable()) return;
  SpaceGroup group;
  const bool have_group = dc.violations_mode > 0.5f;
  if (have_group && SYMMETRY(dc.space_group_symbol, group) != 0) {
    WRITE_OUT(" Space group symbol \"" + std::string(trim(dc.space_group_symbol)) +
              "\" cannot be interpreted: no data collected (set it with SET DATA)");
    return;
  }
  const CollectionPlan plan = plan_shells();
  const std::string path = data_file_name();
  DataFileContents contents;
  if (!open_data_file(path, contents, true)) return;

  bool resume = false;
  const ResumePoint stopped = starting_point(path, contents, shells, resume);
  work.shell_collection = true;
  struct Followed {  // the progress of this DC S only, however it ends
    ~Followed() { work.shell_collection = false; }
  } followed;

  float psi0 = 0;
  const int npsi = psi_settings(psi0);
  MeterScope meter_scope("DC S", "reflection", plan.total,
                         plan.total > 0 ? plan.seconds / plan.total : 0, true);

  work.shell = stopped.shell;
  SETINDEX(work.shell);
  work.hkl = work.start;
  int first_psi = 0;
  bool measured = false;  // the triple work.hkl stands at is done
  if (resume && stopped.measured) {
    const int slow = order(2) - 1;
    SETINDEXFAST(stopped.hkl[static_cast<std::size_t>(slow)]);
    work.hkl = stopped.hkl;
    const int done = npsi < 2 ? 0 : psi_position(stopped.psi, npsi, psi0);
    if (done + 1 < npsi) first_psi = done + 1;
    else measured = true;
    WRITE_OUT(" Continuing shell" + I(work.shell, 3) + " after reflection" +
              I(stopped.hkl[0], 4) + I(stopped.hkl[1], 4) + I(stopped.hkl[2], 4) +
              (npsi < 2 ? std::string() : " psi" + F(stopped.psi, 7, 1)) + " (record" +
              I(stopped.record, 6) + ")");
  } else if (resume) {
    WRITE_OUT(" Continuing with shell" + I(work.shell, 3) + " from its beginning");
  }

  WRITE_OUT("");
  WRITE_OUT(std::string(78, '*'));
  WRITE_OUT(std::string(10, ' ') + A(S().crystal.title, 60));
  write_shell_heading();
  PRINTHEADER(work.header_sequence);
  if (!run_standards()) return;

  for (;;) {
    const Vec3 h = to_vec(work.hkl);
    if (!measured && INSHELL(S().crystal, dc, work.shell, h) == 0 &&
        wanted(group, have_group, h)) {
      if (!measure_reflection(h, npsi, psi0, first_psi)) return;
      if (standards_due() && !run_standards()) return;
    }
    measured = false;
    first_psi = 0;
    if (step_triple()) continue;

    // The shell is done: the standards, then the next shell selected.
    if (!run_standards()) return;
    const auto next = std::find(shells.begin(), shells.end(), work.shell) + 1;
    if (next == shells.end()) break;
    work.shell = *next;
    progress.shell = work.shell;
    progress.measured = false;
    journal_stretch(work.shell);
    SETINDEX(work.shell);
    work.hkl = work.start;
    write_shell_heading();
    PRINTHEADER(work.header_sequence);
  }
  // The resume file goes only once the end of data is reached: a program that dies during
  // the last drive still finds the collection to finish.
  end_of_data();
  work.hkl = {};
  progress = ResumePoint{};
  if (!work.resume_path.empty()) remove_resume_file(work.resume_path);
}

void INTLIST(bool from_file, const Vec3& resume) {
  DataCollectionParameters& dc = DC();
  if (dc.sequence_number == 0) dc.sequence_number = 1;
  if (!scan_usable() || !ready_data_file()) {
    CLOSE_LISTFILE();
    return;
  }
  WRITE_OUT("");
  WRITE_OUT(std::string(30, ' ') + A(S().crystal.title, 60) +
            "LIST-BASED DATA COLLECTION STARTED ON " + A(date_text(), 9));
  PRINTHEADER(work.header_sequence);
  if (!run_standards()) return;

  // The number of reflections the list holds from where collection starts.
  int total = 0;
  if (from_file) {
    std::istream* in = list_file();
    if (in != nullptr) {
      const auto at = in->tellg();
      bool skipping = resume != Vec3{0, 0, 0};
      for (std::string line; std::getline(*in, line);) {
        const ListInput values = read_list(line);
        if (trim(line).empty() || values.error || values.values.size() < 3) continue;
        skipping = skipping && (std::fabs(values.values[0] - resume[0]) > 0.01 ||
                                std::fabs(values.values[1] - resume[1]) > 0.01 ||
                                std::fabs(values.values[2] - resume[2]) > 0.01);
        if (!skipping) ++total;
      }
      in->clear();
      in->seekg(at);
    }
  } else {
    for (int i = 0; i < S().list.count && i < kListSize; ++i)
      total += S().list.entry[static_cast<std::size_t>(i)].use == 1 ? 1 : 0;
  }
  MeterScope meter_scope("DC L", "reflection", total);

  auto one = [&](const Vec3& h) {
    if (!measure_reflection(h, 1, 0.0f)) return false;
    return !standards_due() || run_standards();
  };
  if (from_file) {
    std::istream* in = list_file();
    bool skipping = resume != Vec3{0, 0, 0};
    Vec3 last{};
    std::string line;
    while (in != nullptr && std::getline(*in, line)) {
      if (trim(line).empty()) continue;
      const ListInput values = read_list(line);
      if (values.error || values.values.size() < 3) {
        WARNING("DATA COLLECTION STOPPED BY ERROR IN LIST FILE: LAST REFLECTION READ WAS: " +
                F(last[0], 7, 2) + F(last[1], 7, 2) + F(last[2], 7, 2));
        CLOSE_LISTFILE();
        return;
      }
      const Vec3 h{static_cast<float>(values.values[0]), static_cast<float>(values.values[1]),
                   static_cast<float>(values.values[2])};
      last = h;
      if (skipping) {
        if (std::fabs(h[0] - resume[0]) > 0.01f || std::fabs(h[1] - resume[1]) > 0.01f ||
            std::fabs(h[2] - resume[2]) > 0.01f)
          continue;
        skipping = false;
      }
      if (!one(h)) {
        CLOSE_LISTFILE();
        return;
      }
    }
  } else {
    const ReflectionList& list = S().list;
    for (int i = 0; i < list.count && i < kListSize; ++i) {
      const ReflectionEntry& e = list.entry[static_cast<std::size_t>(i)];
      if (e.use != 1) continue;
      if (!one(Vec3{e.h, e.k, e.l})) return;
    }
  }
  if (!run_standards()) {
    CLOSE_LISTFILE();
    return;
  }
  end_of_data();
  CLOSE_LISTFILE();
}

void PSISCAN(const Vec3& hkl, float psi_min, float psi_max, float psi_step) {
  AngleSet a{};
  if (!setting_of(hkl, a)) {
    WRITE_OUT(std::string(5, ' ') + " Reflection Inaccessable");
    return;
  }
  const Mat3 R = PSIMAT(current_geometry(), a);
  const int n = static_cast<int>((psi_max - psi_min + psi_step) / psi_step);
  MeterScope meter_scope("DC P", "psi setting", n);
  for (int k = 0; k < n; ++k) {
    const float psi = psi_min + static_cast<float>(k) * psi_step;
    AngleSet p = a;
    if (PSIANG(current_geometry(), R, psi, p) != 0) continue;
    if (!measure_at(hkl, p, psi)) return;
  }
}

}  // namespace dorvex
