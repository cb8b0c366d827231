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
};
Work work;

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
constexpr int kHeaderEvery = 61;

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

float sin_theta_max(int shell) {
  return std::sin(DC().shell_upper[static_cast<std::size_t>(shell)] * 0.5f *
                  static_cast<float>(M_PI) / 180.0f);
}

float edge(int index) {  // cell edge of index 1..3
  return S().crystal.cell[static_cast<std::size_t>(index - 1)];
}

// The extent n truncated, with the sign of the limit (0 for a zero limit). A crystal without a
// cell or wavelength gives no finite extent: the range is then empty rather than undefined.
int signed_extent(float n, int limit) {
  if (limit == 0 || !std::isfinite(n)) return 0;
  const int v = static_cast<int>(std::min(std::fabs(n), 999.0f));
  return limit < 0 ? -v : v;
}

// Order of the indices: slot 0 fastest .. 2 slowest, each naming index 1..3.
int order(int slot) {
  const int o = DC().increment_order[static_cast<std::size_t>(slot)];
  return (o >= 1 && o <= 3) ? o : slot + 1;
}

float lambda() { return S().crystal.lambda1; }

void write_shell_heading() {
  const std::size_t s = static_cast<std::size_t>(work.shell);
  WRITE_OUT("SHELL NO " + I(work.shell, 2) + " FROM " + F(DC().shell_lower[s], 5, 2) + " TO " +
            F(DC().shell_upper[s], 5, 2) + " TWO-THETA" + " STARTED ON " + A(date_text(), 9));
}

bool shell_exists(int shell) {
  if (shell < 1 || shell > 10) return false;
  const std::size_t s = static_cast<std::size_t>(shell);
  return DC().shell_lower[s] > 0.001f && DC().shell_upper[s] > 0.001f;
}

void end_of_data() {
  drive_to(AngleSet{});
  WRITE_OUT("");
  WRITE_OUT(std::string(30, ' ') + "****END OF DATA****");
}

// Measures `hkl` at its computed setting, driving there first. False: stop the collection.
bool measure_at(const Vec3& hkl, const AngleSet& a, float psi) {
  if (work.header_sequence + kHeaderEvery <= DC().sequence_number)
    PRINTHEADER(work.header_sequence);
  if (meter != nullptr)
    meter->next(meter_in_shells ? "in shell " + std::to_string(work.shell) : std::string());
  if (!drive_to(a)) return !failed();
  int failure = 0;
  SCANREF(hkl, a, psi, 0, failure);
  return failure != 2 && !failed();
}

// All reachable psi settings of `hkl` (npsi positions from psi0), or the bisecting one.
bool measure_reflection(const Vec3& hkl, int npsi, float psi0) {
  AngleSet a{};
  if (!setting_of(hkl, a)) return true;
  if (npsi < 2) return measure_at(hkl, a, 0.0f);
  const Mat3 R = PSIMAT(current_geometry(), a);
  for (int k = 0; k < npsi; ++k) {
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

}  // namespace

void reset_collection() { work = Work{}; }

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

void SETINDEX(int shell) {
  const float s = sin_theta_max(shell);
  const int slow = order(2);
  const std::size_t i = static_cast<std::size_t>(slow - 1);
  const float n = edge(slow) * 2.0f * s / lambda() + 1.0f;
  const int lower = DC().index_limits[2 * i], upper = DC().index_limits[2 * i + 1];
  work.start[i] = signed_extent(n, lower);
  work.end[i] = signed_extent(n, upper);
  for (std::size_t j = 0; j < 3; ++j) {
    const int d = DC().index_limits[2 * j + 1] - DC().index_limits[2 * j];
    work.dir[j] = d < 0 ? -1 : 1;
  }
  SETINDEXFAST(work.start[i]);
}

void SETINDEXFAST(int slow_value) {
  const float s = sin_theta_max(work.shell > 0 ? work.shell : 1);
  const int slow = order(2);
  const float q = 2.0f * s / lambda();
  const float v = static_cast<float>(slow_value) / edge(slow);
  const float r2 = q * q - v * v;
  const float r = r2 < 0 ? 0.0f : std::sqrt(r2);
  for (int slot = 0; slot < 2; ++slot) {
    const int idx = order(slot);
    const std::size_t j = static_cast<std::size_t>(idx - 1);
    const float n = std::fabs(r * edge(idx) + 1.0f);
    work.start[j] = signed_extent(n, DC().index_limits[2 * j]);
    work.end[j] = signed_extent(n, DC().index_limits[2 * j + 1]);
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

// The first selected shell, its ranges, and the triple collection starts at: where an earlier
// collection stopped when that lies in the shell. 0 when no shell is selected. `warn`: say when
// the stored triple is not in the shell.
int start_shells(bool warn) {
  DataCollectionParameters& dc = DC();
  int first = 0;
  for (int s = 1; s <= 5 && first == 0; ++s)
    if (dc.shell_selected[static_cast<std::size_t>(s)] == 1) first = s;
  if (first == 0) return 0;
  work.shell = first;
  SETINDEX(first);
  const std::array<int, 3> stored = work.hkl;
  const int slow = order(2) - 1;
  if (stored == std::array<int, 3>{0, 0, 0}) {
    work.hkl = work.start;
  } else if (INSHELL(S().crystal, dc, first, to_vec(stored)) != 0) {
    if (warn)
      WARNING(" Initial reflection not in shell " + I(first, 2) +
              " So starting at beginning of shell " + I(first, 2));
    work.hkl = work.start;
  } else {
    SETINDEXFAST(stored[static_cast<std::size_t>(slow)]);
    work.hkl = stored;
  }
  return first;
}

// Multiple psi scans: the number of psi settings and the first psi.
int psi_settings(float& psi0) {
  psi0 = 0;
  if (DC().multiple_psi == 0.0f) return 1;
  const int npsi = static_cast<int>(NINT(DC().psi_scans));
  psi0 = -static_cast<float>((npsi - 1) / 2) * DC().psi_interval;
  return npsi;
}

// The next index triple of the shell: the fastest index moves first, and the ranges of the two
// faster ones follow the slowest. True when the shell is done.
bool advance_triple() {
  for (int slot = 0; slot < 3; ++slot) {
    const std::size_t j = static_cast<std::size_t>(order(slot) - 1);
    work.hkl[j] += work.dir[j];
    if (IRNGCHK(work.hkl, static_cast<int>(j)) >= 0) {
      if (slot == 2) {
        SETINDEXFAST(work.hkl[j]);
        for (int f = 0; f < 2; ++f) {
          const std::size_t g = static_cast<std::size_t>(order(f) - 1);
          work.hkl[g] = work.start[g];
        }
      } else if (slot == 1) {
        const std::size_t g = static_cast<std::size_t>(order(0) - 1);
        work.hkl[g] = work.start[g];
      }
      return false;
    }
    if (slot == 2) return true;
    work.hkl[j] = work.start[j];
  }
  return true;
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

CollectionPlan plan_shells() {
  CollectionPlan plan;
  const Work saved = work;
  const DataCollectionParameters& dc = DC();
  if (dc.step <= 0.0f || start_shells(false) == 0) {
    work = saved;
    return plan;
  }
  SpaceGroup group;
  const bool have_group =
      dc.violations_mode > 0.5f && SYMMETRY(dc.space_group_symbol, group) == 0;
  float psi0 = 0;
  const int npsi = psi_settings(psi0);
  AngleSet at = S().status.angles;
  int sequence = std::max(dc.sequence_number, 1), standards_at = sequence;
  plan.seconds += standards_seconds(at);
  for (;;) {
    if (plan.shells.empty() || plan.shells.back().first != work.shell)
      plan.shells.push_back({work.shell, 0});
    const Vec3 h = to_vec(work.hkl);
    AngleSet a{};
    if (INSHELL(S().crystal, dc, work.shell, h) == 0 && wanted(group, have_group, h) &&
        setting_of(h, a)) {
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
    }
    if (!advance_triple()) continue;
    if (sequence != standards_at) plan.seconds += standards_seconds(at);
    standards_at = sequence;
    ++work.shell;
    if (!shell_exists(work.shell)) break;
    SETINDEX(work.shell);
    work.hkl = work.start;
  }
  plan.seconds += drive_seconds(at, AngleSet{});
  work = saved;
  return plan;
}

void INTALL() {
  DataCollectionParameters& dc = DC();
  if (dc.sequence_number == 0) dc.sequence_number = 1;
  const CollectionPlan plan = plan_shells();
  const int first = start_shells(true);
  if (first == 0) {
    WRITE_OUT("No shells selected: no data to be collected!");
    return;
  }
  SpaceGroup group;
  const bool have_group =
      dc.violations_mode > 0.5f && SYMMETRY(dc.space_group_symbol, group) == 0;
  float psi0 = 0;
  const int npsi = psi_settings(psi0);
  MeterScope progress("DC S", "reflection", plan.total,
                      plan.total > 0 ? plan.seconds / plan.total : 0, true);

  WRITE_OUT("");
  WRITE_OUT(std::string(78, '*'));
  WRITE_OUT(std::string(10, ' ') + A(S().crystal.title, 60));
  write_shell_heading();
  PRINTHEADER(work.header_sequence);
  if (!run_standards()) return;

  for (;;) {
    const Vec3 h = to_vec(work.hkl);
    if (INSHELL(S().crystal, dc, work.shell, h) == 0 && wanted(group, have_group, h)) {
      if (!measure_reflection(h, npsi, psi0)) return;
      if (standards_due() && !run_standards()) return;
    }
    if (!advance_triple()) continue;

    if (!run_standards()) return;
    ++work.shell;
    if (!shell_exists(work.shell)) break;
    SETINDEX(work.shell);
    work.hkl = work.start;
    write_shell_heading();
    PRINTHEADER(work.header_sequence);
  }
  work.hkl = {};
  end_of_data();
}

void INTLIST(bool from_file, const Vec3& resume) {
  DataCollectionParameters& dc = DC();
  if (dc.sequence_number == 0) dc.sequence_number = 1;
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
  MeterScope progress("DC L", "reflection", total);

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
  MeterScope progress("DC P", "psi setting", n);
  for (int k = 0; k < n; ++k) {
    const float psi = psi_min + static_cast<float>(k) * psi_step;
    AngleSet p = a;
    if (PSIANG(current_geometry(), R, psi, p) != 0) continue;
    if (!measure_at(hkl, p, psi)) return;
  }
}

}  // namespace dorvex
