// PROF, SCAN, STEP and CALP: peak profiles of one motor, line scans in reciprocal space, long
// step scans for an external detector, and the film geometry check. The dialogues collect
// their answers one line at a time through the continuation codes 26, 37, 45 and 47; a blank
// answer ends a PROF, SCAN or STEP dialogue without measuring anything.
#include "centring/scans.hpp"

#include <array>
#include <chrono>
#include <cmath>
#include <fstream>
#include <string>

#include "centring/dialogue_input.hpp"
#include "common/fields.hpp"
#include "geometry/angles.hpp"
#include "instrument/controller.hpp"
#include "geometry/limits.hpp"
#include "instrument/motion.hpp"
#include "instrument/runscan_start.hpp"
#include "centring/commands.hpp"
#include "console/clock.hpp"  // the counting time of STEP is instrument time
#include "console/output.hpp"
#include "console/status.hpp"
#include "console/wait.hpp"
#include "console/dialogue.hpp"

namespace dorvex {

namespace {

ShellState& SH() { return S().shell; }
const MachineProfile& P() { return S().profile; }

bool blank(const std::string& line) { return blank_answer(line); }
bool read_int(const std::string& line, int& value) { return read_first_int(line, value); }

std::string motor_prompt(const char* command) {
  std::string text = std::string(command) + ": INPUT 1=TH/2TH, 2=OMEGA, 3=CHI, 4=PHI, 5=2THETA";
  if (P().motor_present(8)) text += ", 8=SAMPLE-Z";
  return text + ": ";
}

const char* kInvalid = "Invalid Value, ReType:";

std::string four_f8(const AngleSet& a) {
  return F(a[0], 8, 3) + F(a[1], 8, 3) + F(a[2], 8, 3) + F(a[3], 8, 3);
}

// The circle (0-based) whose value the positions of a code give.
std::size_t scanned_circle(int code) {
  return (code == 1 || code == 5) ? 0 : static_cast<std::size_t>(code - 1);
}

// The four circles with the scanned motor at value v, the others as in `at`. Theta/2theta keeps
// the logical omega (the omega circle follows at half the speed); 2theta alone keeps the omega
// circle, so the omega measured from the bisecting position goes back by half the 2theta move.
AngleSet setting_at(int code, const AngleSet& at, float v) {
  AngleSet s = at;
  s[scanned_circle(code)] = v;
  if (code == 5) s[1] = at[1] - (v - at[0]) / 2.0f;
  return s;
}

bool circles_in_limits(AngleSet a) { return SOFTLIMITS(P(), S().device, a, 0) == 0; }

// Sample height (controller units compared with the motor's limits; 0 and 0 leave it free).
bool height_in_limits(float z) {
  const MotorProfile& mp = P().motor[8];
  if (mp.upper <= mp.lower) return true;
  const float c = z + P().offset[8];
  return c >= mp.lower && c <= mp.upper;
}

// Waits `seconds` on the wait timer, serving the operator's halt; false when halted.
bool timed_wait(double seconds) {
  using Clock = std::chrono::steady_clock;
  // The counting time is instrument time: a simulator whose clock jumps takes it at once.
  const double real = seconds * instrument_real_per_second();
  if (seconds > 0 && real <= 0) {
    instrument_skip(seconds);
    if (halt_pending()) {
      HALTED_BY_USER();
      return false;
    }
    return true;
  }
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(real));
  WaitTimer timer;
  while (Clock::now() < end) {
    const WaitEvent event = next_wait_event();
    if (event == WaitEvent::halt) {
      HALTED_BY_USER();
      return false;
    }
    if (event == WaitEvent::closed) {
      // No events to wait for any more: sleep out the rest, still looking for the halt.
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      WAIT_MS(static_cast<int>(static_cast<double>(left.count()) / instrument_real_per_second()) +
              1);
      return !failed();
    }
  }
  return true;
}

// The sample-height profile point by point: the controller's scan program moves only the
// circles, so each point is a drive and a count. Status 1 when a point is out of the limits.
void height_scan(float z0, int n, float step, float count_time, std::array<int, 200>& counts,
                 std::array<float, 200>& positions, float& used, int& status) {
  AngleSet at{};
  RDALLMTR(at);
  if (failed()) return;
  const float first = z0 - static_cast<float>(n + 1) * step / 2.0f;
  std::array<float, 200> y{};
  for (int i = 0; i < n; ++i) {
    const std::size_t k = static_cast<std::size_t>(i);
    const float z = R_ANGLE(first + static_cast<float>(i + 1) * step, 8);
    DRIVE(8, z, 0.0f, 0, status);
    if (failed() || status != 0) return;
    DISPLAY_ACTION(8, at);
    float rate = 0;
    XCOUNT(count_time, rate, used);
    if (failed()) return;
    counts[k] = static_cast<int>(NINT(rate * used));
    positions[k] = z;
    y[k] = static_cast<float>(counts[k]);
  }
  DISPLAY_ACTION(0, at);
  PLOTSCAN(n, positions.data(), y.data());
}

// One whole record appended to pkprof.dat in the data directory.
//   col 1-18 "  PEAK PROFILE IN ", 19-24 motor name
//   then per point: 1-10 position F10.4, 11-12 blanks, 13-22 rate F10.2
void append_pkprof(int code, int n, const std::array<float, 200>& positions,
                   const std::array<float, 200>& rates) {
  std::string record = "  PEAK PROFILE IN " + scan_motor_name(code) + "\n";
  for (std::size_t k = 0; k < static_cast<std::size_t>(n); ++k)
    record += F(positions[k], 10, 4) + "  " + F(rates[k], 10, 2) + "\n";
  const std::string path = SH().data_directory + "pkprof.dat";
  std::ofstream out(path, std::ios::app | std::ios::binary);
  out << record;
  out.flush();
  if (!out) WARNING("Cannot write the peak profile to " + path);
}

// ---- dialogue steps ------------------------------------------------------------------------
struct ProfAnswers {
  int step = 0;
  int code = 0;
  int steps = 0;
  float size = 0;
};
ProfAnswers prof;

struct ScanAnswers {
  int step = 0;
  Vec3 start{}, end{};
  int steps = 0;
};
ScanAnswers line_scan;

struct StepAnswers {
  int step = 0;
  int code = 0;
  std::array<float, 3> range{};  // start, end, step size
};
StepAnswers step_scan;

constexpr int kProf = 26, kScan = 37, kStep = 45, kCalp = 47;

}  // namespace

std::string scan_motor_name(int code) {
  switch (code) {
    case 1: return "TH/2TH";
    case 2: return " OMEGA";
    case 3: return "   CHI";
    case 4: return "   PHI";
    case 5: return "2THETA";
    case 8: return "HEIGHT";
    default: return "      ";
  }
}

bool scan_motor_valid(int code) {
  return (code >= 1 && code <= 5) || (code == 8 && P().motor_present(8));
}

void PKPROF(int code, int steps, float step, float count_time) {
  if (steps > 200) {
    WRITE_OUT("Too many steps in PKPROF");
    return;
  }
  if (steps < 1 || !scan_motor_valid(code)) return;
  AngleSet start{};
  RDALLMTR(start);
  if (failed()) return;
  float z0 = 0;
  if (code == 8) {
    RDMTR(8, z0);
    if (failed()) return;
  }
  // Both ends are checked before anything moves: the scan starts (n + 1)/2 steps below the
  // present position and ends n steps above that.
  const float half = static_cast<float>(steps + 1) * step / 2.0f;
  const float travel = static_cast<float>(steps) * step;
  bool inside = false;
  if (code == 8) {
    inside = height_in_limits(z0 - half) && height_in_limits(z0 - half + travel);
  } else {
    // 2theta alone keeps the crystal still: omega from the bisecting position goes the other
    // way by half the 2theta move.
    const float back = code == 5 ? -0.5f : 0.0f;
    AngleSet first = start;
    first[scanned_circle(code)] -= half;
    first[1] -= back * half;
    AngleSet last = first;
    last[scanned_circle(code)] += travel;
    last[1] += back * travel;
    inside = circles_in_limits(first) && circles_in_limits(last);
  }
  if (!inside) {
    WRITE_OUT(" Scan not done, end of scan out-of-bounds ");
    return;
  }

  ONBEAM();
  if (failed()) return;
  std::array<int, 200> counts{};
  std::array<float, 200> positions{};
  float used = 0;
  int status = 0;
  if (code == 8) {
    height_scan(z0, steps, step, count_time, counts, positions, used, status);
  } else {
    int mode = code == 5 ? kScanTwoThetaAlone : code;
    RUNSCAN(mode, step, count_time, steps, counts, status, used, 0, positions);  // plots too
  }
  if (failed()) return;
  if (status != 0) {
    WRITE_OUT(" Scan not done, end of scan out-of-bounds ");
  } else {
    std::array<float, 200> rates{};
    for (std::size_t k = 0; k < static_cast<std::size_t>(steps); ++k)
      rates[k] = used > 0 ? static_cast<float>(counts[k]) / used : 0.0f;
    if (SH().log_profiles_to_pkprof != 0) append_pkprof(code, steps, positions, rates);
    // The window plots the profile; a console without the plot gets its points.
    WRITE_STATUS("  PEAK PROFILE IN " + scan_motor_name(code) + ": position, rate");
    for (std::size_t k = 0; k < static_cast<std::size_t>(steps); ++k)
      WRITE_STATUS("  " + F(positions[k], 10, 4) + "  " + F(rates[k], 10, 2) + " cps");
  }

  S().motion.target = start;
  int drive_status = 0;
  DRIVEP(1, drive_status);
  if (failed()) return;
  if (code == 8) {
    DRIVE(8, z0, 0.0f, 0, drive_status);
    if (failed()) return;
  }
  OFBEAM();
}

void SCANHKL(const Vec3& start, const Vec3& end, int steps, float count_time) {
  if (steps < 2) return;
  WRITE_OUT("");
  WRITE_OUT("       *********RECIPROCAL SPACE SCAN********");
  Vec3 increment{};
  for (std::size_t j = 0; j < 3; ++j)
    increment[j] = (end[j] - start[j]) / static_cast<float>(steps - 1);
  WRITE_OUT("  HKL INCREMENTS ARE: " + F(increment[0], 10, 3) + F(increment[1], 10, 3) +
            F(increment[2], 10, 3));
  ONBEAM();
  if (failed()) return;
  for (int i = 0; i < steps; ++i) {
    Vec3 h{};
    for (std::size_t j = 0; j < 3; ++j) h[j] = start[j] + static_cast<float>(i) * increment[j];
    AngleSet a{};
    int status = CALCA(current_geometry(), CALPHI(S().crystal.UB, h), a);
    if (status == 0) {
      S().motion.target = a;
      DRIVEP(1, status);
      if (failed()) return;
    }
    if (status != 0) {
      WRITE_OUT("  POSITION OUT-OF BOUNDS");
      break;
    }
    // A start near the direct beam kept the shutter shut; open it once away from there.
    if (S().motion.shutter_state != 1) {
      ONBEAM();
      if (failed()) return;
    }
    DISPLAY_ACTION(11, a);
    float rate = 0, used = 0;
    XCOUNT(count_time, rate, used);
    if (failed()) return;
    DISPLAY_ACTION(0, a);
    WRITE_OUT("  HKL =" + F(h[0], 10, 3) + F(h[1], 10, 3) + F(h[2], 10, 3) + " counts = " +
              F(rate * used, 8, 1));
  }
  OFBEAM();
}

void STEPSCAN(int code, float start, float end, float step, float minutes) {
  if (step == 0.0f || !scan_motor_valid(code)) return;
  AngleSet at{};
  RDALLMTR(at);
  if (failed()) return;
  WRITE_OUT("  Initial positions before start of scan: " + four_f8(at));
  WRITE_OUT("");
  // Positions start + i step as long as they stay within the distance from start to end
  // (a small allowance keeps a typed end that is a whole number of steps away).
  const int last = static_cast<int>(std::floor(std::fabs(end - start) / std::fabs(step) + 1e-4f));
  const float final_value = start + static_cast<float>(last) * step;
  const bool inside = code == 8 ? height_in_limits(start) && height_in_limits(final_value)
                                : circles_in_limits(setting_at(code, at, start)) &&
                                      circles_in_limits(setting_at(code, at, final_value));
  if (!inside) {
    WRITE_OUT("  Target angle(s) OUT OF BOUNDS");
    return;
  }
  for (int i = 0; i <= last; ++i) {
    const float v = start + static_cast<float>(i) * step;
    int status = 0;
    if (code == 8) {
      DRIVE(8, v, 0.0f, 0, status);
    } else {
      S().motion.target = setting_at(code, at, v);
      DRIVEP(1, status);
    }
    if (failed()) return;
    if (status != 0) {
      WRITE_OUT("  Target angle(s) OUT OF BOUNDS");
      return;
    }
    AngleSet now{};
    RDALLMTR(now);
    if (failed()) return;
    WRITE_OUT("   Arrived at angles " + four_f8(now) + " at  " + date_and_time());
    if (!timed_wait(static_cast<double>(minutes) * 60.0)) return;
  }
  WRITE_OUT("   STEP COMPLETED at  " + date_and_time());
  WRITE_OUT("");
}

void FILM_ANGLES(float film_distance, float h, float v, float& two_theta, float& chi) {
  // Two symmetry-related spots lie film_distance * tan(2theta) either side of the centre.
  const float degrees = 45.0f / 0.785398f;
  two_theta = std::atan(std::sqrt(h * h + v * v) / 2.0f / film_distance) * degrees;
  chi = std::fabs(h) <= 1.0f ? 90.0f : std::atan(v / h) * degrees;
}

// ---- dialogues -----------------------------------------------------------------------------

void PROFST() {
  if (!normal_mode()) return;
  if (SH().continuation_code != kProf) {
    prof = {};
    prof.step = 1;
    ask(kProf, motor_prompt("PROF"));
    return;
  }
  const std::string line = SH().command_argument;
  if (blank(line)) {
    end_dialogue();
    return;
  }
  switch (prof.step) {
    case 1:
      if (!read_int(line, prof.code) || !scan_motor_valid(prof.code)) break;
      prof.step = 2;
      ask(kProf, "ENTER NUMBER OF STEPS:");
      return;
    case 2:
      if (!read_int(line, prof.steps) || prof.steps < 1) break;
      prof.step = 3;
      ask(kProf, prof.code == 8 ? "ENTER STEP SIZE (MM):" : "ENTER STEP SIZE (DEGREES):");
      return;
    case 3: {
      std::array<float, 1> size{};
      if (!read_reals(line, size) || size[0] == 0.0f) break;
      prof.size = size[0];
      prof.step = 4;
      ask(kProf, "ENTER COUNT TIME PER STEP:");
      return;
    }
    default: {
      std::array<float, 1> time{};
      if (!read_reals(line, time) || time[0] <= 0.0f) break;
      end_dialogue();
      prof.step = 0;
      PKPROF(prof.code, prof.steps, prof.size, time[0]);
      return;
    }
  }
  ask(kProf, kInvalid);
}

void RUN_SCANHKL() {
  if (!normal_mode()) return;
  if (SH().continuation_code != kScan) {
    line_scan = {};
    line_scan.step = 1;
    ask(kScan, "INPUT STARTING HKL: ");
    return;
  }
  const std::string line = SH().command_argument;
  if (blank(line)) {
    end_dialogue();
    return;
  }
  switch (line_scan.step) {
    case 1:
      if (!read_reals(line, line_scan.start)) break;
      line_scan.step = 2;
      ask(kScan, "INPUT ENDING HKL:");
      return;
    case 2:
      if (!read_reals(line, line_scan.end)) break;
      line_scan.step = 3;
      ask(kScan, "INPUT NSTEP (5-201):");
      return;
    case 3:
      if (!read_int(line, line_scan.steps) || line_scan.steps < 5 || line_scan.steps > 201) break;
      line_scan.step = 4;
      ask(kScan, "ENTER COUNT TIME PER STEP:");
      return;
    default: {
      std::array<float, 1> time{};
      if (!read_reals(line, time) || time[0] <= 0.0f) break;
      end_dialogue();
      line_scan.step = 0;
      WRITE_OUT("******STARTING SCAN*****");
      SCANHKL(line_scan.start, line_scan.end, line_scan.steps, time[0]);
      return;
    }
  }
  ask(kScan, kInvalid);
}

void RUN_STEP() {
  if (SH().continuation_code != kStep) {
    step_scan = {};
    step_scan.step = 1;
    WRITE_OUT("THIS STEP SCAN WILL BE PERFORMED AT THE CURRENT DIFFRACTOMETER POSITION,");
    WRITE_OUT("EXCEPT FOR THE SCANNED MOTOR");
    WRITE_OUT("PLEASE CHECK THIS IS WHAT YOU WANT. IF NOT, ENTER 0 TO THE NEXT QUESTION");
    ask(kStep, motor_prompt("STEP"));
    return;
  }
  const std::string line = SH().command_argument;
  if (blank(line)) {
    end_dialogue();
    return;
  }
  switch (step_scan.step) {
    case 1:
      if (!read_int(line, step_scan.code)) break;
      if (step_scan.code == 0) {
        end_dialogue();
        return;
      }
      if (!scan_motor_valid(step_scan.code)) break;
      step_scan.step = 2;
      ask(kStep, "ENTER START, END AND STEP SIZE:");
      return;
    case 2: {
      if (!read_reals(line, step_scan.range)) break;
      const auto& [first, last, size] = step_scan.range;
      if (size == 0.0f || (last - first) * size < 0.0f) {
        ask(kStep, "Inconsistent Values, ReType:");
        return;
      }
      step_scan.step = 3;
      ask(kStep, "ENTER COUNT TIME PER STEP (MINUTES):");
      return;
    }
    default: {
      std::array<float, 1> minutes{};
      if (!read_reals(line, minutes) || minutes[0] < 0.0f) break;
      end_dialogue();
      step_scan.step = 0;
      const auto& [first, last, size] = step_scan.range;
      STEPSCAN(step_scan.code, first, last, size, minutes[0]);
      return;
    }
  }
  ask(kStep, kInvalid);
}

void INPUT_PHOTO() {
  const char* prompt = "CALP: Enter horiz and vert spacing of spots>";
  const float distance = P().film_distance;
  if (!(distance >= 20.0f && distance <= 400.0f)) {
    WRITE_OUT("*****Filmdistance of " + F(distance, 7, 1) + "mm not valid");
    WRITE_OUT("     Reset the value in difractometer profile file");
    end_dialogue();
    return;
  }
  const std::string line = SH().command_argument;
  if (SH().continuation_code != kCalp && blank(line)) {
    ask(kCalp, prompt);
    return;
  }
  std::array<float, 2> spacing{};
  if (!read_reals(line, spacing) || spacing[0] < 0.0f || spacing[1] < 0.0f) {
    ask(kCalp, prompt);
    return;
  }
  if (spacing[0] < 1.0f && spacing[1] < 1.0f) {
    end_dialogue();
    return;
  }
  float two_theta = 0, chi = 0;
  FILM_ANGLES(distance, spacing[0], spacing[1], two_theta, chi);
  // The film distance and chi are shown as whole numbers, cut as an integer assignment does.
  WRITE_OUT("  For Film distance=" + I(static_cast<long>(distance), 4) + "mm: 2theta = " +
            F(two_theta, 4, 1) + " chi = " + I(static_cast<long>(chi), 3));
  ask(kCalp, prompt);
}

}  // namespace dorvex
