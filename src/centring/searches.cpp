// SRCH, CONE and PHOT: the systematic search over a grid of 2theta and chi with step scans of
// phi (or omega), the search on a cone around a known reflection, and the rotation
// photograph. The dialogues collect their answers one line at a time through the
// continuation codes 41, 43 and 46.
#include "centring/searches.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "centring/dialogue_input.hpp"
#include "common/fields.hpp"
#include "geometry/angles.hpp"
#include "geometry/matrix.hpp"
#include "instrument/controller.hpp"
#include "geometry/limits.hpp"
#include "instrument/motion.hpp"
#include "instrument/timing.hpp"
#include "console/clock.hpp"
#include "centring/commands.hpp"
#include "console/dialogue.hpp"
#include "console/output.hpp"
#include "console/progress.hpp"
#include "console/status.hpp"

namespace dorvex {

namespace {

constexpr float kDegree = 57.29578f;  // degrees per radian
constexpr int kSearch = 41, kCone = 43, kPhoto = 46;

ShellState& SH() { return S().shell; }
const MachineProfile& P() { return S().profile; }

// Whole grid positions of a range: a tiny allowance keeps an end that is a whole number of
// steps away although the sum of the steps misses it in the last bit.
int whole_steps(float span, float step) {
  return static_cast<int>(std::floor(std::fabs(span) / std::fabs(step) + 1.0e-3f));
}

std::string four_f8_2(const AngleSet& a) {
  return F(a[0], 8, 2) + F(a[1], 8, 2) + F(a[2], 8, 2) + F(a[3], 8, 2);
}

// The detector distance of the search grid (the second goniometer constant).
float detector_distance() { return P().goncon[1]; }

bool phi_fixed() { return S().device.fixed_phi != 0; }

// The setting of a search point: phi scanned at omega 0, or omega scanned at phi 0.
AngleSet search_setting(float two_theta, float chi, float scanned) {
  return phi_fixed() ? AngleSet{two_theta, scanned, chi, 0.0f}
                     : AngleSet{two_theta, 0.0f, chi, scanned};
}

bool setting_in_limits(AngleSet a) { return SOFTLIMITS(P(), S().device, a, 0) == 0; }

// The scanned range of a search line narrowed until both ends are within the limits; false
// when it closes.
bool line_range(const SearchParameters& p, float two_theta, float chi, float& first,
                float& last) {
  first = p.scan_first;
  last = p.scan_last;
  while (first <= last && !setting_in_limits(search_setting(two_theta, chi, first)))
    first += p.scan_step;
  while (last >= first && !setting_in_limits(search_setting(two_theta, chi, last)))
    last -= p.scan_step;
  return first <= last;
}

// The 2theta and chi of every search line, in the order searched.
std::vector<std::pair<float, float>> search_lines(const SearchParameters& p) {
  const int n2t = search_positions(p.two_theta_first, p.two_theta_last, p.two_theta_step);
  const int nchi = search_positions(p.chi_first, p.chi_last, p.chi_step);
  const float s2t = p.two_theta_last >= p.two_theta_first ? p.two_theta_step : -p.two_theta_step;
  const float schi = p.chi_last >= p.chi_first ? p.chi_step : -p.chi_step;
  std::vector<std::pair<float, float>> lines;
  for (int i = 0; i < n2t; ++i)
    for (int j = 0; j < nchi; ++j)
      lines.push_back({p.two_theta_first + static_cast<float>(i) * s2t,
                       p.chi_first + static_cast<float>(j) * schi});
  return lines;
}

int scanned_mode() { return phi_fixed() ? 2 : 4; }

}  // namespace

double search_seconds(const SearchParameters& p) {
  double seconds = 0;
  if (P().slits_motorised()) {
    seconds += move_seconds(5, p.aperture5 - S().status.slit1);
    seconds += move_seconds(6, p.aperture6 - S().status.slit2);
  }
  seconds += shutter_seconds();
  AngleSet at = S().status.angles;
  for (const auto& [two_theta, chi] : search_lines(p)) {
    float first = 0, last = 0;
    if (!line_range(p, two_theta, chi, first, last)) continue;
    for (const SearchSegment& segment : search_segments(first, last, p.scan_step)) {
      const AngleSet start = search_setting(two_theta, chi, segment.start);
      seconds += drive_seconds(at, start);
      seconds += scan_steps_seconds(scanned_mode(), p.scan_step, p.count_time, segment.points);
      at = search_setting(two_theta, chi,
                          segment.start + static_cast<float>(segment.points) * p.scan_step);
    }
  }
  return seconds + drive_seconds(at, AngleSet{});
}

// ---- search grid -----------------------------------------------------------------------------

float search_step(float aperture, float distance, float sine) {
  const double x = 2.0 * std::atan(0.5 * aperture / (distance * sine)) * kDegree;
  return static_cast<float>(std::trunc(10.0 * std::fabs(x) + 0.5) / 10.0);
}

int search_positions(float first, float last, float step) {
  return whole_steps(last - first, step) + 1;
}

std::vector<SearchSegment> search_segments(float start, float end, float step) {
  std::vector<SearchSegment> out;
  if (!(step > 0.0f) || end <= start) return out;
  const int n = whole_steps(end - start, step);
  if (n < 10) return out;
  const int k = n > 200 ? n / 200 + 1 : 1;
  const int m = n / k;
  for (int j = 0; j < k; ++j)
    out.push_back({start + static_cast<float>(j * m) * step, m});
  return out;
}

std::vector<SearchPeak> find_search_peaks(const int* counts, int n, float significance,
                                          float step) {
  std::vector<SearchPeak> peaks;
  if (n <= 0) return peaks;
  long sum = 0;
  for (int i = 0; i < n; ++i) sum += counts[i];
  const long mean = sum / n;
  const double threshold =
      static_cast<double>(mean) + significance * std::sqrt(static_cast<double>(mean));
  for (int i = 0; i < n; ++i) {
    const int c = counts[i];
    if (static_cast<double>(c) <= threshold) continue;
    const double half = 0.5 * c;
    bool highest = true;
    int left = 0;
    for (int j = i - 1; j >= 0; --j) {
      if (counts[j] <= half) {
        left = j;
        break;
      }
      // An equal count before this one has been taken already (a flat top is one peak).
      if (counts[j] >= c) highest = false;
    }
    int right = n - 1;
    for (int j = i + 1; j < n; ++j) {
      if (counts[j] <= half) {
        right = j;
        break;
      }
      if (counts[j] > c) highest = false;
    }
    if (highest) peaks.push_back({i, c, static_cast<float>(right - left - 1) * step});
  }
  return peaks;
}

bool search_grid(SearchParameters& p) {
  const float d = detector_distance();
  if (!(d > 0.0f)) return false;
  p.two_theta_step = search_step(p.aperture5, d, 1.0f);
  const float sine = static_cast<float>(std::sin(p.two_theta_first / kDegree));
  if (std::fabs(sine) < 1.0e-3f) return false;
  p.chi_step = search_step(p.aperture6, d, std::fabs(sine));
  return p.two_theta_step > 0.0f && p.chi_step > 0.0f;
}

void LIST_SEARCH(const SearchParameters& p) {
  // The moves between the lines and the steps count as well as the counting time.
  const double seconds = search_seconds(p);
  WRITE_OUT("Search parameters are:");
  WRITE_OUT("Slit 5 width = " + F(p.aperture5, 4, 1) + "  Slit 6 width =" + F(p.aperture6, 4, 1));
  WRITE_OUT("2theta from " + F(p.two_theta_first, 8, 2) + " to " + F(p.two_theta_last, 8, 2) +
            " with a step size of " + F(p.two_theta_step, 5, 2));
  WRITE_OUT("   chi from " + F(p.chi_first, 8, 2) + " to " + F(p.chi_last, 8, 2) +
            " with a step size of " + F(p.chi_step, 5, 2));
  WRITE_OUT(std::string(phi_fixed() ? " omega" : "   phi") + " from " + F(p.scan_first, 8, 2) +
            " to " + F(p.scan_last, 8, 2));
  WRITE_OUT("   with a step size of " + F(p.scan_step, 5, 2) + " deg and " +
            F(p.count_time, 3, 1) + " secs/step");
  WRITE_OUT("Total estimated search time is " + I(static_cast<long>(seconds / 60.0 + 0.5), 4) +
            " minutes");
}

namespace {

// The peaks of a search, kept as they are found in a macro of INA lines beside the matrix
// file (MACR of it puts them into the reflection list), one whole line appended and flushed
// at a time so that a halt or a crash keeps those found so far.
struct PeakFile {
  std::string path;
  std::ofstream out;
  int count = 0;

  void open() {
    path = S().shell.data_directory + std::string(trim(S().shell.matfile_name)) + "_peaks.txt";
    out.open(path, std::ios::out | std::ios::trunc);
    if (!out)
      WRITE_OUT(" The peaks cannot be kept in " + path + ": " + std::strerror(errno));
  }
  void add(const AngleSet& at) {
    ++count;
    if (!out) return;
    // INA takes the angles on its own line when the first columns after it are not blank.
    std::string line = "INA";
    for (float a : at) line += " " + std::string(trim(F(a, 10, 3)));
    out << line << '\n';
    out.flush();
  }
  void close() {
    const bool kept = static_cast<bool>(out);
    out.close();
    std::string text = " " + std::to_string(count) + (count == 1 ? " peak" : " peaks") + " found";
    if (kept && count > 0)
      text += "; kept in " + path + " (MACR of it adds them to the reflection list)";
    WRITE_OUT(text);
  }
};

// One search line at fixed 2theta and chi: the scanned range narrowed to the limits, then its
// step scans. False when the search must stop (error, or a start that cannot be reached).
bool search_line(const SearchParameters& p, float two_theta, float chi, PeakFile& peaks) {
  float first = 0, last = 0;
  if (!line_range(p, two_theta, chi, first, last)) return true;
  const int mode = scanned_mode();
  for (const SearchSegment& segment : search_segments(first, last, p.scan_step)) {
    int status = 0;
    S().motion.target = search_setting(two_theta, chi, segment.start);
    DRIVEP(1, status);
    if (failed()) return false;
    if (status != 0) {
      WRITE_OUT("Start position out-of-bounds: Search aborted");
      return false;
    }
    std::array<int, 200> counts{};
    std::array<float, 200> positions{};
    float used = 0;
    int scan_mode = mode;
    RUNSCAN(scan_mode, p.scan_step, p.count_time, segment.points, counts, status, used, 1,
            positions);
    if (failed()) return false;
    if (status != 0) continue;
    for (const SearchPeak& peak :
         find_search_peaks(counts.data(), segment.points, p.significance, p.scan_step)) {
      const AngleSet at =
          search_setting(two_theta, chi, positions[static_cast<std::size_t>(peak.index)]);
      WRITE_OUT(" Max of" + I(peak.count, 6) + " cps, width =" + F(peak.width, 5, 2) + " at: " +
                four_f8_2(at));
      peaks.add(at);
    }
  }
  return true;
}

}  // namespace

void SEARCH(const SearchParameters& p) {
  int status = 0;
  if (P().slits_motorised()) {
    if (P().motor_present(5)) {
      DRIVE(5, p.aperture5, 0.0f, 0, status);
      if (failed()) return;
    }
    if (P().motor_present(6)) {
      DRIVE(6, p.aperture6, 0.0f, 0, status);
      if (failed()) return;
    }
  }
  const auto lines = search_lines(p);
  PeakFile peaks;
  peaks.open();
  ProgressMeter progress("SRCH", "search line", static_cast<int>(lines.size()),
                         lines.empty() ? 0 : search_seconds(p) / lines.size());
  for (const auto& [two_theta, chi] : lines) {
    progress.next("(2theta " + std::string(trim(F(two_theta, 8, 2))) + ", chi " +
                  std::string(trim(F(chi, 8, 2))) + ")");
    if (!search_line(p, two_theta, chi, peaks)) break;
  }
  peaks.close();
  if (failed()) return;
  OFBEAM();
  if (failed()) return;
  ZERO();
}

// ---- cone search -----------------------------------------------------------------------------

Vec3 cone_vector(const Vec3& first, float cone_angle, float psi, float length) {
  const Vec3 u = UNITL(first);
  // psi 0 lies in the plane of the first vector and the phi axis (or the x axis when the
  // first vector lies along the phi axis).
  Vec3 axis{0.0f, 0.0f, 1.0f};
  if (std::fabs(dot(u, axis)) > 0.999f) axis = {1.0f, 0.0f, 0.0f};
  const float along = dot(u, axis);
  const Vec3 e1 = UNITL({axis[0] - along * u[0], axis[1] - along * u[1], axis[2] - along * u[2]});
  const Vec3 e2 = VCROSS(u, e1);
  const double c = cone_angle / kDegree, q = psi / kDegree;
  Vec3 v{};
  for (std::size_t i = 0; i < 3; ++i)
    v[i] = static_cast<float>(length * (std::cos(c) * u[i] +
                                        std::sin(c) * (std::cos(q) * e1[i] + std::sin(q) * e2[i])));
  return v;
}

void CONE_SEARCH(float cone_angle, float two_theta, float threshold) {
  AngleSet first{};
  RDALLMTR(first);
  if (failed()) return;
  const Vec3 x1 = CALCH(current_geometry(), first);
  const float length =
      2.0f * static_cast<float>(std::sin(two_theta / 2.0f / kDegree)) / S().crystal.lambda1;
  WRITE_OUT("");
  WRITE_OUT("Starting cone search");
  WRITE_OUT("Locations of Significant Intensity:");
  std::array<float, 5> ring{};
  std::size_t oldest = 0;
  bool started = false;
  auto level = [threshold](float rate, float used) {
    const float counts = rate * used;
    return used > 0.0f ? (counts + threshold * std::sqrt(counts)) / used : 0.0f;
  };
  ProgressMeter progress("CONE", "psi", 360);
  for (int psi = 0; psi < 360; ++psi) {
    progress.next();
    AngleSet a{};
    const Vec3 v = cone_vector(x1, cone_angle, static_cast<float>(psi), length);
    if (CALCA(current_geometry(), v, a) != 0) continue;
    int status = 0;
    S().motion.target = a;
    DRIVEP(1, status);
    if (failed()) return;
    if (status != 0) continue;
    float rate = 0, used = 0;
    if (!started) {
      ONBEAM();
      if (failed()) return;
      XCOUNT(1.0f, rate, used);
      if (failed()) return;
      ring.fill(level(rate, used));
      started = true;
    }
    XCOUNT(0.5f, rate, used);
    if (failed()) return;
    float mean = 0;
    for (float r : ring) mean += r;
    mean /= 5.0f;
    if (rate >= mean) {
      WRITE_OUT(" Angles: " + four_f8_2(S().motion.target) + " cps: " + I(NINT(rate), 8));
    } else {
      ring[oldest] = level(rate, used);
      oldest = (oldest + 1) % ring.size();
    }
  }
  OFBEAM();
  if (failed()) return;
  ZERO();
}

// ---- rotation photograph ---------------------------------------------------------------------

void photo_sweep(float& from, float& to) {
  const float step = 1.0f / P().motor[4].steps_per_degree;
  const DeviceSettings& d = S().device;
  // The working limits of the device when it restricts phi, else those of the hardware.
  if (d.phi_limited != 0 || P().phi_limited != 0) {
    const float lower = d.phi_limited != 0 ? d.phi_lower : P().motor[4].lower;
    const float upper = d.phi_limited != 0 ? d.phi_upper : P().motor[4].upper;
    from = lower - P().offset[4] + step;
    to = upper - P().offset[4] - step;
  } else {
    from = -180.0f + step;
    to = 180.0f - step;
  }
}

void RUN_PHOTO(int minutes) {
  float from = 0, to = 0;
  photo_sweep(from, to);
  // A phi range without room for a sweep would leave nothing to wait on but the clock.
  if (!(to > from)) {
    WRITE_OUT("  Target angle(s) OUT OF BOUNDS");
    return;
  }
  int status = 0;
  auto drive_phi = [&status](float phi) {
    DRIVE(4, phi, 0.0f, 0, status);
    return !failed();
  };
  if (!drive_phi(from)) return;
  ITIMER(0, minutes);
  WRITE_OUT("");
  WRITE_OUT("   Started photo scan at  " + date_and_time());
  // The photograph is taken through the direct beam: the guard is lifted for this opening only.
  S().motion.beam_guard_override = 1;
  ONBEAM();
  S().motion.beam_guard_override = 0;
  if (failed()) return;
  // Every sweep passes through 0, so that it turns the whole way in one sense.
  for (;;) {
    if (!drive_phi(0.0f) || !drive_phi(to)) return;
    if (ITIMER(1, minutes) != 0) break;
    if (!drive_phi(0.0f) || !drive_phi(from)) return;
    if (ITIMER(1, minutes) != 0) break;
  }
  OFBEAM();
  if (failed()) return;
  for (std::size_t i = 0; i < 4; ++i) S().motion.target[i] = P().photo[i];
  DRIVEP(1, status);
  if (failed()) return;
  WRITE_OUT("   Completed photo scan at  " + date_and_time());
  WRITE_OUT("");
}

// ---- dialogues -------------------------------------------------------------------------------

namespace {

struct SearchDialogue {
  int step = 0;
  SearchParameters p;
};
SearchDialogue search;

struct ConeDialogue {
  int step = 0;
  float angle = 0, two_theta = 0;
};
ConeDialogue cone;

int photo_step = 0;

const char* kInvalidValues = "Invalid values, try again:";
const char* kInputError = "Error on input, try again:";

bool yes(const std::string& line) {
  const std::string_view t = trim(line);
  return !t.empty() && (t[0] == 'Y' || t[0] == 'y');
}

void ask_scan_range() {
  ask(kSearch, phi_fixed() ? "Enter Initial and Final Omega and stepsize: "
                           : "Enter Initial and Final Phi and stepsize: ");
}

// The largest and smallest opening of a motorised slit (0 and 0 when it has no motor).
void slit_range(int m, float& lower, float& upper) {
  lower = upper = 0.0f;
  if (!P().motor_present(m)) return;
  const MotorProfile& mp = P().motor[static_cast<std::size_t>(m)];
  lower = mp.lower - P().offset[static_cast<std::size_t>(m)];
  upper = mp.upper - P().offset[static_cast<std::size_t>(m)];
}

// The answer to the aperture question: empty when accepted, else the retry prompt.
const char* check_apertures(float a5, float a6) {
  if (!(a5 > 0.0f) || !(a6 > 0.0f)) return kInvalidValues;
  if (P().slits_motorised()) {
    for (int m = 5; m <= 6; ++m) {
      float lower = 0, upper = 0;
      slit_range(m, lower, upper);
      const float a = m == 5 ? a5 : a6;
      if (upper > lower && a > upper) return kInvalidValues;
      if (upper > lower && a < lower) return "Aperture requested too small, try again:";
    }
  }
  if (search_step(a5, detector_distance(), 1.0f) <= 0.0f ||
      search_step(a6, detector_distance(), 1.0f) <= 0.0f)
    return "Aperture requested too small, try again:";
  return "";
}

// Why a range of motor m cannot be searched ("" when it can): the ends against the motor's
// limits (the device's for a limited chi or phi), at most one turn of a free circle.
std::string range_refusal(int m, float first, float last) {
  const bool limited = (m == 3 && S().device.chi_limited != 0) ||
                       (m == 4 && S().device.phi_limited != 0) || m == 1;
  for (const float v : {first, last}) {
    if (limited) {
      const std::string why = motor_reason(P(), S().device, m, v);
      if (!why.empty()) return why;
    } else if (!(std::fabs(v) <= 360.0f)) {
      return std::string(m == 3 ? "chi " : m == 2 ? "omega " : "phi ") + degrees_text(v) +
             ": a circle is searched within -360 to 360 deg";
    }
  }
  if (std::fabs(last - first) > 360.0f) return "the range is more than one turn (360 deg)";
  return "";
}

// Refuses a range with its reason and the retry prompt; true when the range is accepted.
bool range_accepted(int m, float first, float last) {
  const std::string why = range_refusal(m, first, last);
  if (why.empty()) return true;
  WRITE_OUT("  " + why);
  ask(kSearch, kInvalidValues);
  return false;
}

}  // namespace

void RUN_SEARCH() {
  if (!normal_mode()) return;
  if (SH().continuation_code != kSearch) {
    if (!(detector_distance() > 0.0f)) {
      ERRORLOG("Detector distance (second GONCON value) not set: no search possible");
      end_dialogue();
      return;
    }
    search = {};
    search.step = 1;
    if (P().slits_motorised()) {
      float l5 = 0, u5 = 0, l6 = 0, u6 = 0;
      slit_range(5, l5, u5);
      slit_range(6, l6, u6);
      ask(kSearch, "Input detector apertures required(max are:" + F(u5, 4, 1) + " and " +
                       F(u6, 4, 1) + "):");
    } else {
      ask(kSearch, "Input detector apertures set:");
    }
    return;
  }
  const std::string line = SH().command_argument;
  SearchParameters& p = search.p;
  if (search.step != 6 && blank_answer(line)) {
    end_dialogue();
    return;
  }
  switch (search.step) {
    case 1: {
      std::array<float, 2> a{};
      if (!read_reals(line, a)) break;
      const std::string retry = check_apertures(a[0], a[1]);
      if (!retry.empty()) {
        ask(kSearch, retry);
        return;
      }
      p.aperture5 = a[0];
      p.aperture6 = a[1];
      search.step = 2;
      ask(kSearch, "Enter Initial and Final 2Theta: ");
      return;
    }
    case 2: {
      std::array<float, 2> r{};
      if (!read_reals(line, r)) break;
      if (!range_accepted(1, r[0], r[1])) return;
      p.two_theta_first = r[0];
      p.two_theta_last = r[1];
      if (!search_grid(p)) {
        ask(kSearch, kInvalidValues);
        return;
      }
      search.step = 3;
      ask(kSearch, "Enter Initial and Final Chi: ");
      return;
    }
    case 3: {
      std::array<float, 2> r{};
      if (!read_reals(line, r)) break;
      if (!range_accepted(3, r[0], r[1])) return;
      p.chi_first = r[0];
      p.chi_last = r[1];
      search.step = 4;
      ask_scan_range();
      return;
    }
    case 4: {
      std::array<float, 3> r{};
      if (!read_reals(line, r)) break;
      if (!(r[2] > 0.0f) || !(r[1] > r[0])) {
        ask(kSearch, kInvalidValues);
        return;
      }
      if (!range_accepted(scanned_mode(), r[0], r[1])) return;
      // A step the listing (F5.2) and the motor can both resolve, and at least one in the range.
      const MotorProfile& mp = P().motor[static_cast<std::size_t>(scanned_mode())];
      const float motor_step = mp.steps_per_degree > 0.0f ? 1.0f / mp.steps_per_degree : 0.0f;
      const float smallest = std::max(0.01f, motor_step);
      if (r[2] < smallest || r[2] > r[1] - r[0]) {
        WRITE_OUT("  step " + std::string(trim(F(r[2], 12, 4))) + " deg: from " +
                  std::string(trim(F(smallest, 8, 4))) + " deg to the range (" +
                  degrees_text(r[1] - r[0]) + ") allowed");
        ask(kSearch, kInvalidValues);
        return;
      }
      p.scan_first = r[0];
      p.scan_last = r[1];
      p.scan_step = r[2];
      search.step = 5;
      ask(kSearch, "Input count time per step & significance level for peak search:");
      return;
    }
    case 5: {
      std::array<float, 2> r{};
      if (!read_reals(line, r)) break;
      if (!(r[0] > 0.0f) || !(r[1] >= 0.0f)) {
        ask(kSearch, kInvalidValues);
        return;
      }
      p.count_time = r[0];
      p.significance = r[1];
      LIST_SEARCH(p);
      search.step = 6;
      ask(kSearch, "Proceed with Search (Y/N):");
      return;
    }
    default:
      end_dialogue();
      search.step = 0;
      if (yes(line)) SEARCH(p);
      return;
  }
  ask(kSearch, kInputError);
}

void RUN_CONE() {
  if (!normal_mode()) return;
  if (SH().continuation_code != kCone) {
    cone = {};
    cone.step = 1;
    ask(kCone, "Cone Search - Is Diffractometer at a Reflection and the slits OPEN (Y/N):?");
    return;
  }
  const std::string line = SH().command_argument;
  switch (cone.step) {
    case 1:
      if (!yes(line)) {
        WRITE_OUT("Position Diffractometer and Retry CONE");
        end_dialogue();
        return;
      }
      cone.step = 2;
      ask(kCone, "Enter Cone Angle to Second Reflection and Its 2Theta: ");
      return;
    case 2: {
      if (blank_answer(line)) {
        end_dialogue();
        return;
      }
      std::array<float, 2> r{};
      if (!read_reals(line, r)) break;
      if (!(r[0] >= 0.0f && r[0] <= 180.0f) || !(r[1] > 0.0f && r[1] < 180.0f)) {
        ask(kCone, kInvalidValues);
        return;
      }
      cone.angle = r[0];
      cone.two_theta = r[1];
      cone.step = 3;
      ask(kCone, "Input intensity threshold for search <8>:");
      return;
    }
    default: {
      float threshold = 8.0f;
      if (!blank_answer(line)) {
        std::array<float, 1> t{};
        if (!read_reals(line, t)) break;
        if (!(t[0] >= 0.0f)) {
          ask(kCone, kInvalidValues);
          return;
        }
        threshold = t[0];
      }
      end_dialogue();
      cone.step = 0;
      CONE_SEARCH(cone.angle, cone.two_theta, threshold);
      return;
    }
  }
  ask(kCone, kInputError);
}

void PHOTO_SCAN() {
  const char* exposure_prompt = "Input exposure time (minutes):";
  if (SH().continuation_code != kPhoto) {
    photo_step = 1;
    WRITE_OUT("Rotation Photo Utility - Driving to photo position");
    if (normal_mode()) {
      AngleSet at{P().photo[0], P().photo[1], P().photo[2], P().photo[3]};
      if (!setting_in_limits(at)) {
        WRITE_OUT("  Target angle(s) OUT OF BOUNDS");
        return;
      }
      int status = 0;
      S().motion.target = at;
      DRIVEP(1, status);
      if (failed()) return;
    }
    ask(kPhoto, "Mount Film Cassette, Type <CR> when ready, X to exit:");
    return;
  }
  const std::string line = SH().command_argument;
  switch (photo_step) {
    case 1: {
      const std::string_view t = trim(line);
      if (!t.empty() && (t[0] == 'X' || t[0] == 'x')) {
        end_dialogue();
        photo_step = 0;
        return;
      }
      photo_step = 2;
      ask(kPhoto, exposure_prompt);
      return;
    }
    case 2: {
      int minutes = 0;
      if (!read_first_int(line, minutes) || minutes < 0) {
        ask(kPhoto, exposure_prompt);
        return;
      }
      end_dialogue();
      RUN_PHOTO(minutes);
      // The film is dismounted whatever became of the exposure.
      photo_step = 3;
      ask(kPhoto, "Dismount Film Cassette, Type <CR> when finished:");
      return;
    }
    default:
      end_dialogue();
      photo_step = 0;
      return;
  }
}

}  // namespace dorvex
