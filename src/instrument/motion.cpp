// The motion layer. Positions are logical angles (zero offsets removed); reads are cached per
// motor until a drive, load or stop; targets are rounded to whole motor steps so that every
// tolerance is a number of steps (move at 1, accept at 1.5, park check at 2).
#include "instrument/motion.hpp"

#include <time.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "common/fields.hpp"
#include "instrument/controller.hpp"
#include "geometry/limits.hpp"
#include "instrument/transport.hpp"
#include "console/clock.hpp"  // the instrument's clock of the program's own waits
#include "console/output.hpp"
#include "console/status.hpp"
#include "console/wait.hpp"
#include "console/dialogue.hpp"

namespace dorvex {

namespace {

MotionState& M() { return S().motion; }
const MachineProfile& P() { return S().profile; }

std::size_t ix(int m) { return static_cast<std::size_t>(m); }
float spd(int m) { return P().motor[ix(m)].steps_per_degree; }
float step_of(int m) { return spd(m) != 0.0f ? 1.0f / spd(m) : 0.0f; }
float offset(int m) { return P().offset[ix(m)]; }

void invalidate(int m) { M().valid[ix(m)] = 0; }
void store(int m, float v) {
  M().cached[ix(m)] = v;
  M().valid[ix(m)] = 1;
}

bool slits_unreadable(int m) { return (m == 5 || m == 6) && !P().slits_motorised(); }
bool chi_limited() { return P().chi_limited != 0 || S().device.chi_limited != 0; }
bool phi_limited() { return P().phi_limited != 0 || S().device.phi_limited != 0; }
bool limited(int m) { return m == 3 ? chi_limited() : phi_limited(); }

std::string four_f10(const AngleSet& a) {
  return F(a[0], 10, 5) + F(a[1], 10, 5) + F(a[2], 10, 5) + F(a[3], 10, 5);
}

// A report of several lines: the first through WARNING or ERRORLOG, the rest below it.
void report(bool error, const std::vector<std::string>& lines) {
  if (error)
    ERRORLOG(lines.front());
  else
    WARNING(lines.front());
  for (std::size_t i = 1; i < lines.size(); ++i) WRITE_OUT(lines[i]);
}

// One controller read of motor m (logical), with the six-try rule; `named` is the motor number
// the messages give. False after "5 read errors".
bool read_with_retries(int m, int named, float& value) {
  value = 0.0f;
  for (int errors = 0;; ++errors) {
    WTMTR(m);
    if (failed()) return false;
    int status = 1;
    float raw = 0.0f;
    std::string message;
    READ_MOTOR_INTERFACE(m, status, raw, message);
    if (status == 0) {
      value = raw - offset(m);
      if (std::fabs(value) <= 1e-7f) value = 0.0f;
      return true;
    }
    WARNING("Error in RdMtr: request for motor " + std::to_string(named) + "   returned string:" +
            message.substr(0, 100));
    value = 0.0f;
    if (errors == 5) {
      ERRORLOG("5 read errors in rdmtr of motor " + I(named, 2));
      return false;
    }
    // A controller that stopped answering is asked again; the retry rule decides, not the
    // transport's message.
    if (failed()) return false;
  }
}

bool reads_all_at_once() { return P().interface_type == 2 || P().interface_type == 6; }

void show_slits() {
  float s1 = 0, s2 = 0;
  RDMTR(5, s1);
  RDMTR(6, s2);
  DISPLAY_SLITS(s1, s2);
}

void show_auxiliary(int m) {
  float v = 0;
  RDMTR(m, v);
  if (failed()) return;
  if (m == 5 || m == 6) {
    DISPLAY_SLITS(M().cached[5], M().cached[6]);
  } else if (m == 7) {
    DISPLAY_DD(v);
  } else if (m == 8) {
    DISPLAY_SAMPLEZ(v);
  }
}

// First circle (0-based) further than 1.5 steps from its target, or -1.
int first_off(const AngleSet& now, const AngleSet& want) {
  for (int i = 0; i < 4; ++i)
    if (std::fabs(now[ix(i)] - want[ix(i)]) > 1.5f * step_of(i + 1)) return i;
  return -1;
}

// The fixed-phi geometry keeps phi on 0 or 180: a target within 1.5 steps is put there.
void snap_fixed_phi(float& phi) {
  if (S().device.fixed_phi == 0) return;
  const float tol = 1.5f * step_of(4);
  if (std::fabs(phi) <= tol)
    phi = 0.0f;
  else if (std::fabs(phi - 180.0f) <= tol || std::fabs(phi + 180.0f) <= tol)
    phi = 180.0f;
}

// The logical omega nearest to `omega` at which the omega motor stands on a whole step. Where
// the motor reads the circle, whole steps of the motor are whole steps of omega shifted by half
// of 2theta: a target rounded on omega's own grid could lie half a step off every position the
// motor can reach, and the drive would never be verified.
float omega_on_motor_step(float two_theta, float omega) {
  if (!P().omega_coupled()) return R_ANGLE(omega, 2);
  return R_ANGLE(omega + two_theta / 2.0f, 2) - two_theta / 2.0f;
}

bool crosses_direct_beam(float target, float present) {
  return std::fabs(target) < 1.0f || (target < 0.0f && present > 0.0f) ||
         (target > 0.0f && present < 0.0f);
}

void chi_pause(float distance) {
  const DeviceSettings& d = S().device;
  if (d.chi_pause > 0.01f && distance > d.chi_pause_move)
    WAIT_MS(static_cast<int>(NINT(d.chi_pause * 1000.0f)));
}

}  // namespace

void invalidate_all_positions() { M().valid.fill(0); }

void SET_SHUTTER_STATUS(int state) { M().shutter_state = state; }

namespace {
// Set by the operator's halt; holds until the command has ended (the error flag is cleared for
// the next one).
bool halted = false;
}  // namespace

bool halt_in_force() {
  if (M().halting != 0) return true;
  if (halted && !failed()) halted = false;  // the next command has begun
  return halted;
}

void HALTED_BY_USER() {
  // A second halt while the first is served is ignored: the stop's own waits are short.
  if (M().halting != 0) return;
  M().halting = 1;
  halted = true;
  take_unanswered_stop();
  STPALL();
  if (failed()) invalidate_all_positions();  // the stop could not read them back
  if (take_unanswered_stop())
    WARNING("The controller did not answer after the halt: the shutter may be open and the "
            "positions are read again at the next command");
  ERRORLOG("Diffractometer halted by user");
  M().halting = 0;
}

void WAIT_MS(int ms) {
  using Clock = std::chrono::steady_clock;
  // A wait of instrument time: on a simulated instrument it follows the simulator's clock.
  const double real_ms = (ms > 0 ? ms : 0) * instrument_real_per_second();
  if (ms > 0 && real_ms <= 0.0) {
    instrument_skip(ms / 1000.0);
    if (halt_pending()) HALTED_BY_USER();
    return;
  }
  const auto end = Clock::now() + std::chrono::microseconds(static_cast<long>(real_ms * 1000.0));
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now()).count();
    if (left <= 0) return;
    const long slice = left < 50000 ? static_cast<long>(left) : 50000;  // halt every 50 ms
    timespec ts{0, slice * 1000L};
    ::nanosleep(&ts, nullptr);
    if (halt_pending()) {
      HALTED_BY_USER();
      return;
    }
  }
}

void RDMTR(int m, float& value) {
  value = 0.0f;
  if (m < 1 || m > 10) return;
  if (slits_unreadable(m)) {
    value = M().cached[ix(m)];
    return;
  }
  // Omega read with half of 2theta subtracted is only current while 2theta's entry is.
  const bool omega_needs_2theta = m == 2 && P().omega_coupled();
  if (M().valid[ix(m)] != 0 && (!omega_needs_2theta || M().valid[1] != 0)) {
    value = M().cached[ix(m)];
    return;
  }
  if (reads_all_at_once()) {
    AngleSet a{};
    RDALLMTR(a);
    if (m <= 4) value = a[ix(m - 1)];
    if (std::fabs(value) <= 1e-7f) value = 0.0f;
    return;
  }
  float v = 0.0f;
  if (!read_with_retries(m, m, v)) return;
  if (m != 2) {
    store(m, v);
    value = v;
    return;
  }
  // The omega reading carries half of 2theta only on a coupled omega axis.
  if (P().omega_coupled()) {
    float two_theta = M().cached[1];
    if (M().valid[1] == 0) {
      if (!read_with_retries(1, 1, two_theta)) return;
      store(1, two_theta);
    }
    v -= 0.5f * two_theta;
  }
  store(2, v);
  value = v;
}

void RDALLMTR(AngleSet& a) {
  if (!reads_all_at_once()) {
    for (int m = 1; m <= 4; ++m) {
      RDMTR(m, a[ix(m - 1)]);
      if (failed()) return;
    }
    return;
  }
  if (M().valid[1] && M().valid[2] && M().valid[3] && M().valid[4]) {
    for (int m = 1; m <= 4; ++m) a[ix(m - 1)] = M().cached[ix(m)];
    return;
  }
  for (int errors = 0;; ++errors) {
    for (int m = 1; m <= 4; ++m) {
      WTMTR(m);
      if (failed()) return;
      invalidate(m);
    }
    std::array<float, 4> raw{};
    int status = 1;
    std::string message;
    READ_ALL_MOTOR_INTERFACE(raw, status, message);
    if (status == 0) {
      for (int m = 1; m <= 4; ++m) store(m, R_ANGLE(raw[ix(m - 1)] - offset(m), m));
      if (P().omega_coupled()) M().cached[2] -= M().cached[1] / 2.0f;
      for (int m = 1; m <= 4; ++m) a[ix(m - 1)] = M().cached[ix(m)];
      return;
    }
    WARNING("Error in RdAllMtr: request for motor positions returned string:" +
            message.substr(0, 100));
    if (errors == 5) {
      ERRORLOG("5 read errors in RdAllMtr");
      return;
    }
    if (failed()) return;
  }
}

void WRAP(int m, float target) {
  if ((m != 3 && m != 4) || limited(m)) return;
  while (!failed()) {
    float position = 0;
    RDMTR(m, position);
    if (failed()) return;
    const float d = target - position;
    if (std::fabs(d) <= 180.001f) return;
    // Relabel the present position one turn nearer the target; nothing moves.
    LDMTR(m, position + (d > 0 ? 360.0f : -360.0f));
  }
}

void DRIVE(int m, float target, float /*spare*/, int mode, int& status) {
  if (m < 0 || !P().motor_present(m)) return;
  status = 0;
  AngleSet present{};
  RDALLMTR(present);
  if (failed()) return;
  CHECK_LIMITS();
  if (failed()) return;
  if (m >= 5) {
    SLIT_DRIVE(m, target, status);
    return;
  }
  float t = R_ANGLE(target, m);
  AngleSet setting{};
  for (int i = 1; i <= 4; ++i) setting[ix(i - 1)] = R_ANGLE(present[ix(i - 1)], i);
  setting[ix(m - 1)] = t;
  setting[1] = omega_on_motor_step(setting[0], m == 2 ? t : present[1]);
  if (m == 2) t = setting[1];
  float distance = std::fabs(t - present[ix(m - 1)]);
  if (distance < step_of(m)) return;
  const int limit_status = SOFTLIMITS(P(), S().device, setting, 0);
  if (limit_status == 1) {
    status = 1;
    return;
  }
  if (limit_status == 2) {
    status = 2;
    if (mode == 2) return;
  }
  if (m == 3 || m == 4) {
    // A limited circle may have been put into its range by the check.
    t = R_ANGLE(setting[ix(m - 1)], m);
    setting[ix(m - 1)] = t;
    WRAP(m, t);
    if (failed()) return;
    float now = 0;
    RDMTR(m, now);
    if (failed()) return;
    distance = std::fabs(t - now);
  }
  DISPLAY_ACTION(10, setting);
  if (m == 1 && crosses_direct_beam(t, present[0])) {
    OFBEAM();
    if (failed()) return;
  }

  int reissues = 0;
  bool reread = false;
  for (;;) {
    // Issue.
    invalidate(m);
    if (m == 1) invalidate(2);
    snap_fixed_phi(setting[3]);
    AngleSet command = setting;
    if (P().omega_coupled()) command[1] = R_ANGLE(command[1] + command[0] / 2.0f, 2);
    if (m == 1) {
      for (int i = 1; i <= 4; ++i) M().drive_target[ix(i - 1)] = command[ix(i - 1)] + offset(i);
      M().drive_distance = {distance, distance / 2.0f, 0.0f, 0.0f};
      DRIVE_MOTOR_ALL();
    } else {
      DRIVE_MOTOR(m, command[ix(m - 1)] + offset(m), distance);
    }
    if (failed()) return;
    WTMTR(m);
    if (m == 1 && !failed()) WTMTR(2);
    if (failed()) return;
    // Verify, re-reading once before the drive is issued again.
    for (;;) {
      AngleSet now{};
      RDALLMTR(now);
      if (failed()) return;
      const int off = first_off(now, setting);
      if (off < 0) {
        if (reissues != 0) {
          const std::string text = "     Recovered from error in DRIVE. Now at: " + four_f10(now);
          INSTLOG(text);
          WRITE_OUT(text);
        }
        DISPLAY_ACTION(0, setting);
        if (m == 3) chi_pause(distance);
        return;
      }
      std::vector<std::string> lines = {
          "     Target of motor " + I(off + 1, 1) + " not reached in DRIVE",
          "     Targets were:" + four_f10(setting), "     actual:" + four_f10(now)};
      if (!reread) {
        lines.push_back("     Attempting to read again");
        report(false, lines);
        reread = true;
        invalidate(off + 1);
        if (off + 1 == 2) invalidate(1);
        continue;
      }
      if (reissues > 3) {
        report(true, lines);
        return;
      }
      lines.push_back("     Re-issuing drive instruction");
      report(false, lines);
      ++reissues;
      WAIT();
      if (failed()) return;
      break;
    }
  }
}

void DRIVEP(int /*spare*/, int& status) {
  status = 0;
  AngleSet& target = M().target;
  for (int i = 1; i <= 4; ++i) target[ix(i - 1)] = R_ANGLE(target[ix(i - 1)], i);
  target[1] = omega_on_motor_step(target[0], target[1]);
  for (int m = 3; m <= 4; ++m) {
    float& t = target[ix(m - 1)];
    if (!limited(m)) {
      WRAP(m, t);
      if (failed()) return;
    } else if (PUT_INTO_RANGE(P(), S().device, t, m) == 1) {
      status = 1;
      return;
    }
  }

  int reissues = 0;
  bool reread = false;
  for (;;) {
    AngleSet present{};
    RDALLMTR(present);
    if (failed()) return;
    CHECK_LIMITS();
    if (failed()) return;
    snap_fixed_phi(target[3]);
    DISPLAY_ACTION(10, target);
    AngleSet command = target;
    AngleSet reading = present;
    if (P().omega_coupled()) {
      command[1] = R_ANGLE(command[1] + target[0] / 2.0f, 2);
      reading[1] += present[0] / 2.0f;
    }
    std::array<float, 4> distance{};
    std::array<bool, 4> moves{};
    int movers = 0;
    int mover = 0;
    for (int i = 0; i < 4; ++i) {
      distance[ix(i)] = std::fabs(reading[ix(i)] - command[ix(i)]);
      moves[ix(i)] = distance[ix(i)] > step_of(i + 1);
      if (moves[ix(i)]) {
        ++movers;
        mover = i + 1;
      }
    }
    if (movers == 0) return;
    if (crosses_direct_beam(target[0], present[0])) {
      OFBEAM();
      if (failed()) return;
    }
    if (movers == 1) {
      invalidate(mover);
      if (mover == 1 && P().omega_coupled()) invalidate(2);
      DRIVE_MOTOR(mover, R_ANGLE(command[ix(mover - 1)], mover) + offset(mover),
                  distance[ix(mover - 1)]);
    } else {
      for (int m = 1; m <= 4; ++m) {
        invalidate(m);
        M().drive_target[ix(m - 1)] = command[ix(m - 1)] + offset(m);
        M().drive_distance[ix(m - 1)] = distance[ix(m - 1)];
      }
      DRIVE_MOTOR_ALL();
    }
    if (failed()) return;
    for (int m = 1; m <= 4; ++m) {
      WTMTR(m);
      if (failed()) return;
    }
    for (;;) {
      AngleSet now{};
      RDALLMTR(now);
      if (failed()) return;
      const int off = first_off(now, target);
      if (off < 0) {
        DISPLAY_ACTION(0, now);
        if (reissues != 0) {
          const std::string text = "     Recovered from error in DRIVEP. Now at: " + four_f10(now);
          INSTLOG(text);
          WRITE_OUT(text);
        }
        if (moves[2]) chi_pause(distance[2]);
        return;
      }
      const int motor = off + 1;
      if (!reread) {
        report(false, {"     Target of motor " + I(motor, 1) + " not reached in DRIVEP,  Targets were:" ,
                       "     " + four_f10(target), "     actual:" + four_f10(now),
                       "      Attempting to read again"});
        reread = true;
        invalidate(motor);
        if (motor == 2) invalidate(1);
        continue;
      }
      std::vector<std::string> lines = {
          "     Target of motor " + I(motor, 1) + " not reached in DRIVEP, Targets were:",
          "     " + four_f10(target), "     actual:" + four_f10(now)};
      if (reissues > 3) {
        report(true, lines);
        return;
      }
      lines.push_back("     Re-issuing drive instruction");
      report(false, lines);
      ++reissues;
      invalidate(motor);
      if (motor == 2) invalidate(1);
      if (motor == 1) invalidate(2);
      WAIT();
      if (failed()) return;
      break;
    }
  }
}

void SLIT_DRIVE(int m, float target, int& status) {
  status = 0;
  const MotorProfile& mp = P().motor[ix(m)];
  // Limits written as 0 and 0 leave the axis unlimited.
  if (mp.upper > mp.lower && (target + offset(m) < mp.lower || target + offset(m) > mp.upper)) {
    status = 1;
    return;
  }
  float present = 0;
  RDMTR(m, present);
  if (failed()) return;
  if (NINT(target * spd(m)) == NINT(present * spd(m))) return;
  const float distance = std::fabs(target - present);
  for (int attempt = 1; attempt <= 5; ++attempt) {
    invalidate(m);
    DRIVE_MOTOR(m, target + offset(m), distance);
    if (failed()) return;
    WTMTR(m);
    if (failed()) return;
    float now = 0;
    RDMTR(m, now);
    if (failed()) return;
    if (NINT(target * spd(m)) == NINT(now * spd(m))) {
      if (m == 5 || m == 6)
        show_slits();
      else
        show_auxiliary(m);
      return;
    }
    WARNING("     Motor target not reached for motor " + I(m, 1) + ". Target = " + F(target, 8, 3) +
            " actual = " + F(now, 8, 3));
  }
  ERRORLOG(" ****** 5 consecutive failures to reach target in slit_drive");
  status = 1;
}

void LDMTR(int m, float angle) {
  if (m < 1 || m > 10) return;
  if (slits_unreadable(m)) {
    store(m, angle);
    DISPLAY_SLITS(M().cached[5], M().cached[6]);
    return;
  }
  LOAD_MOTOR_INTERFACE(m, angle + offset(m));
  if (failed()) return;
  invalidate(m);
  if (m == 1) invalidate(2);
  if (m == 2) invalidate(1);
  WAIT_MS(500);
  if (failed()) return;
  AngleSet a{};
  RDALLMTR(a);
  if (failed()) return;
  DISPLAY_ACTION(0, a);
  show_slits();
  if (P().motor_present(7)) show_auxiliary(7);
  if (P().motor_present(8)) show_auxiliary(8);
}

void WTMTR(int m) {
  if (failed()) return;
  int busy = 0;
  // Ask at once: a motor at rest costs no timer tick.
  WAIT_MOTOR(m, busy);
  if (busy == 0 || failed()) return;
  WaitTimer timer;
  for (;;) {
    const WaitEvent event = next_wait_event();
    if (event == WaitEvent::halt) {
      if (M().halting != 0) continue;  // a halt while one is served is ignored
      HALTED_BY_USER();
      return;
    }
    if (event == WaitEvent::closed) {
      // No window events any more: the polls are paced by a plain wait, which still looks
      // for the halt.
      WAIT_MS(100);
      if (failed()) return;
    } else if (event != WaitEvent::tick) {
      continue;
    }
    WAIT_MOTOR(m, busy);
    if (busy == 0 || failed()) return;
  }
}

void STPALL() {
  STOP_ALL();
  if (failed()) return;
  // The stop left the axes wherever they were: forget every position, then read them afresh.
  invalidate_all_positions();
  AngleSet a{};
  RDALLMTR(a);
  if (failed()) return;
  DISPLAY_ACTION(0, a);
  show_slits();
}

void ZERO() {
  M().target = {0.0f, 0.0f, 0.0f, 0.0f};
  int status = 0;
  DRIVEP(1, status);
}

void PARK() {
  for (int i = 1; i <= 4; ++i) M().target[ix(i - 1)] = P().park[ix(i)];
  int status = 0;
  DRIVEP(1, status);
  if (failed()) return;
  for (int m = 5; m <= 10; ++m) {
    if (!P().motor_present(m)) continue;
    DRIVE(m, P().park[ix(m)], 0.0f, 0, status);
    if (failed()) return;
  }
}

void CHECK_PARK() {
  WRITE_OUT("Checking motor positions, please wait:");
  if (!P().slits_motorised()) {
    store(5, P().park[5]);
    store(6, P().park[6]);
  }
  bool any_off = false;
  for (int m = 1; m <= 10; ++m) {
    if (!P().motor_present(m)) continue;
    float v = 0;
    RDMTR(m, v);
    if (failed()) return;
    const std::string axis(1, P().motor[ix(m)].axis);
    const float park = P().park[ix(m)];
    if (std::fabs(v - park) <= 2.0f * step_of(m)) {
      WRITE_OUT("               MOTOR " + std::to_string(m) + " Controller: " + axis + "     OK");
    } else {
      WRITE_OUT(" *****WARNING: MOTOR " + std::to_string(m) + " Controller: " + axis + " at" +
                F(v, 8, 3) + " Park position is: " + F(park, 8, 3));
      any_off = true;
    }
  }
  if (any_off) WRITE_OUT("Check odometers. If necessary use LDMT to reinitialise motor positions");
}

int SHUTTER_STATUS() {
  if (!P().shutter_readable()) return M().shutter_state;
  int state = M().shutter_state;
  GET_SHUTTER_STATUS(state);
  return state;
}

void ONBEAM() {
  WAIT();
  if (failed() || P().no_shutter != 0 || M().shutter_state == 1) return;
  if (M().beam_guard_override == 0) {
    float two_theta = 0;
    RDMTR(1, two_theta);
    if (failed()) return;
    if (std::fabs(two_theta) < 3.0f) {
      WRITE_TERM(" **** TOO CLOSE TO DIRECT BEAM");
      WRITE_TERM(" TO OPEN SHUTTER! ****");
      return;
    }
  }
  const int delay = P().shutter_delay_ms();
  for (int attempt = 1; attempt <= 5; ++attempt) {
    SHUTTER(1);
    WAIT_MS(delay);
    SET_SHUTTER_STATUS(1);
    const int state = SHUTTER_STATUS();
    if (failed()) {
      // Not known to be open: it is closed rather than left as it may be.
      SHUTTER(0);
      SET_SHUTTER_STATUS(0);
      DISPLAY_SHUTTER(2);
      return;
    }
    if (state == 1) {
      DISPLAY_SHUTTER(1);
      return;
    }
    WARNING(" Shutter did not open on attempt " + I(attempt, 3));
    SHUTTER(0);
    SET_SHUTTER_STATUS(0);
    WAIT_MS(2 * delay);
    if (failed()) return;
  }
  ERRORLOG("Shutter failed to open after 5 attempts");
  DISPLAY_SHUTTER(2);
}

void OFBEAM() {
  WAIT();
  if (P().no_shutter != 0) return;
  const bool failed_before = failed();
  if (M().shutter_state == 0 && SHUTTER_STATUS() == 0) return;
  const int delay = P().shutter_delay_ms();
  for (int attempt = 1; attempt <= 5; ++attempt) {
    SHUTTER(0);
    WAIT_MS(delay);
    SET_SHUTTER_STATUS(0);
    const int state = SHUTTER_STATUS();
    if (failed() && !failed_before) {
      DISPLAY_SHUTTER(2);  // not known to be closed
      return;
    }
    if (state == 0) {
      DISPLAY_SHUTTER(0);
      return;
    }
    WARNING(" Shutter did not close on attempt " + I(attempt, 3));
  }
  ERRORLOG("Shutter failed to close after 5 attempts");
  DISPLAY_SHUTTER(2);
}

}  // namespace dorvex
