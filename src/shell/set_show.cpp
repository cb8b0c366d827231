// SET and SHOW: the operator's view of the crystal's and the run's settings, and the short
// question-and-answer dialogues that change them. SET runs through the continuation
// mechanism (code 24); the matrix file is rewritten when a SET has finished.
#include "shell/set_show.hpp"

#include <cfloat>
#include <cmath>
#include <string>
#include <vector>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "datacol/data_dialog.hpp"
#include "datacol/listscan.hpp"  // SHOW DATA
#include "geometry/matfile.hpp"
#include "shell/commands.hpp"
#include "geometry/devices.hpp"
#include "geometry/display.hpp"
#include "shell/settings_display.hpp"
#include "console/output.hpp"
#include "console/status.hpp"

namespace dorvex {

namespace {

constexpr int kSetCode = 24;
constexpr const char* kRetype = "Invalid values: Retype:";
constexpr const char* kUnreadable = "Error on input, try again:";

// Asks a question of the dialogue: the prompt, remembered so that an interrupted dialogue can
// ask it again.
void ask(std::string_view prompt) {
  S().set.pending_prompt = std::string(prompt);
  SET_PROMPT(prompt);
}

// An answer that cannot be used: the question stays, with `prompt` in the command field.
void ask_again(std::string_view prompt) { SET_PROMPT(prompt); }

void finish_option() { S().shell.continuation_code = 0; }

// The typed answer read free-format. Numbers not typed count as 0 (`values` is padded to
// `count`). False when the line holds something that is not a number, or a number no 32-bit
// real can hold.
bool read_reals(std::vector<float>& values, std::size_t count, bool& empty) {
  const ListInput in = read_list(S().shell.command_argument);
  if (in.error) return false;
  values.assign(count, 0.0f);
  for (std::size_t i = 0; i < in.values.size(); ++i) {
    if (std::fabs(in.values[i]) > FLT_MAX) return false;
    if (i < count) values[i] = static_cast<float>(in.values[i]);
  }
  empty = in.values.empty();
  return true;
}

bool read_integer(long& value, bool& empty) {
  const IntListInput in = read_int_list(S().shell.command_argument);
  if (in.error) return false;
  empty = in.values.empty();
  value = empty ? 0 : in.values[0];
  return true;
}

// The staged copies of SET CENTRE and SET DEVICE take effect only at the end of their dialogue,
// so an abandoned dialogue leaves the settings (and the matrix file) as they were.
void commit_centring() { S().centring = S().set.centring; }
void commit_device() { S().device = S().set.device; }

std::string on_off(int flag) { return flag != 0 ? "ON " : "OFF"; }

// A value is taken only when the matrix file can hold it: a field of asterisks would make the
// whole line unreadable at the next start, and the crystal would lose every value of that line.
bool fits(float value, int width, int decimals) {
  return F(value, width, decimals).find('*') == std::string::npos;
}
bool fits_integer(float value, int width) {
  return std::fabs(value) < 2.0e9f && I(NINT(value), width).find('*') == std::string::npos;
}

bool hardware_limits_chi() { return S().profile.chi_limited != 0; }
bool hardware_limits_phi() { return S().profile.phi_limited != 0; }

// Keeps [lower, upper] inside the hardware range of a limited circle.
void narrow_to(float& lower, float& upper, const MotorProfile& hardware) {
  if (lower < hardware.lower) lower = hardware.lower;
  if (upper > hardware.upper) upper = hardware.upper;
}

// ---- SET DEVICE steps ------------------------------------------------------------------------

enum DeviceStep : int {
  kDeviceChange = 2,
  kDeviceNumber = 3,
  kDevicePsi = 4,
  kDeviceChi = 5,
  kDevicePhi = 6,
  kDeviceUltras = 7,
  kDeviceOmega = 8,
  kDevicePause = 9,
  kDevicePauseMove = 91,
};

void device_finish() {
  DeviceSettings& d = S().set.device;
  d.restricted_range = (d.chi_limited && d.chi_upper - d.chi_lower < 359.0f) ||
                       (d.phi_limited && d.phi_upper - d.phi_lower < 180.1f);
  commit_device();
  DISPLAY_DEVICE();
  WRITE_OUT("");
  S().set.device_step = 0;
  finish_option();
}

// Goes to the first question the device asks at or after `step` (psi, chi, phi in that order).
void device_next_question(int step) {
  SetDialogue& set = S().set;
  const DeviceType& type = kDeviceTypes[set.device.type];
  if (step <= kDevicePsi && type.asks_psi) {
    set.device_step = kDevicePsi;
    ask("Input max psi angle: ");
  } else if (step <= kDeviceChi && type.asks_chi) {
    set.device_step = kDeviceChi;
    ask("Input minchi, maxchi <return for defaults>: ");
  } else if (step <= kDevicePhi && type.asks_phi) {
    set.device_step = kDevicePhi;
    ask("Input minphi, maxphi <return for defaults>: ");
  } else if (step <= kDeviceOmega && type.asks_phi) {
    // Devices asked about phi go on to the omega limits and the chi pause.
    set.device_step = kDeviceOmega;
    ask("Input min and max for absolute omega <return for defaults>: ");
  } else {
    device_finish();
  }
}

// A chi or phi range typed for a device: within the device's defaults, each value taken when
// its magnitude exceeds 0.1; then kept inside the hardware range. False: not acceptable.
bool take_range(const std::vector<float>& v, bool empty, float default_lower, float default_upper,
                float& lower, float& upper, bool hardware_limited, const MotorProfile& hardware) {
  float new_lower = default_lower, new_upper = default_upper;
  if (!empty) {
    if (v[0] < default_lower || v[1] > default_upper) return false;
    if (std::fabs(v[0]) > 0.1f) new_lower = v[0];
    if (std::fabs(v[1]) > 0.1f) new_upper = v[1];
  }
  if (hardware_limited) narrow_to(new_lower, new_upper, hardware);
  if (new_lower >= new_upper) return false;  // an empty or inverted range
  lower = new_lower;
  upper = new_upper;
  return true;
}

}  // namespace

// ---- the option dialogues ----------------------------------------------------------------------

void SET_TITLE() {
  SetDialogue& set = S().set;
  if (set.title_step == 0) {
    WRITE_OUT("");
    DISPLAY_TITLE();
    set.title_step = 1;
    ask("   Input new title or <RETURN> for no change: > ");
    return;
  }
  std::string title = columns(S().shell.command_argument, 1, 60);
  for (char& c : title)
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
  if (!trim(title).empty()) S().crystal.title = std::string(rtrim(title));
  WRITE_OUT("");
  DISPLAY_TITLE();
  WRITE_OUT("");
  set.title_step = 0;
  finish_option();
}

void SET_WAVE() {
  SetDialogue& set = S().set;
  if (set.wave_step == 0) {
    WRITE_OUT("");
    DISPLAY_WAVE();
    set.wave_step = 1;
    ask("   Type New Values or <RETURN> for no change: > ");
    return;
  }
  std::vector<float> v;
  bool empty = false;
  if (!read_reals(v, 3, empty)) {
    ask_again(kUnreadable);
    return;
  }
  CrystalState& c = S().crystal;
  // Wavelengths are written F10.6 in the matrix file.
  if (v[0] > 0.0f && fits(v[0], 10, 6)) {
    c.lambda1 = v[0];
    c.wave_count = 1;
    c.ratio = 0.0f;
  }
  if (v[1] > 0.0f && fits(v[1], 10, 6)) {
    c.lambda2 = v[1];
    c.wave_count = 2;
    c.ratio = 0.5f;
  }
  if (v[2] > 0.0f && v[2] < 1.0f) c.ratio = v[2];
  WRITE_OUT("");
  DISPLAY_WAVE();
  WRITE_OUT("");
  set.wave_step = 0;
  finish_option();
}

void SET_CENTER() {
  SetDialogue& set = S().set;
  CentringParameters& c = set.centring;
  const std::string_view same_prompt = "Input new values, <RETURN> for no change:";
  const std::string ten(10, ' ');

  if (set.centre_step == 0) {
    c = S().centring;
    WRITE_OUT("      Parameters for all centering scans:");
    WRITE_OUT(ten + "Min Count Rate: " + F(c.min_count_rate, 8, 2) +
              "   Required Max Count:" + F(c.required_max_count, 8, 2));
    WRITE_OUT(ten + "Max/Min Rate >" + F(c.max_min_ratio, 8, 2) +
              "  Max Time per step: " + F(c.max_time_per_step, 8, 2));
    set.centre_step = 2;
    ask(same_prompt);
    return;
  }

  std::vector<float> v;
  bool empty = false;
  if (set.centre_step == 10) {
    // The 2theta/omega flag is an integer: 0 scanned, 1 not scanned.
    long flag = 0;
    if (!read_integer(flag, empty)) {
      ask_again(kUnreadable);
      return;
    }
    if (!empty && (flag == 0 || flag == 1)) c.two_theta_fixed = static_cast<int>(flag);
    WRITE_OUT(c.two_theta_fixed == 1 ? "  2Theta/omega will NOT be scanned"
                                     : "  2Theta/omega will be scanned");
    commit_centring();
    DISPLAY_CENTER_PARMS();
    set.centre_step = 0;
    finish_option();
    return;
  }
  if (!read_reals(v, 4, empty)) {
    ask_again(kUnreadable);
    return;
  }

  switch (set.centre_step) {
    case 2:
      // The matrix file holds the first four centring values as F8.2.
      if (v[0] > 0.0f && fits(v[0], 8, 2)) c.min_count_rate = v[0];
      if (v[1] > 1.0f && v[1] < 1000.0f) c.required_max_count = v[1];
      if (v[2] > 1.0f && v[2] < 10.0f) c.max_min_ratio = v[2];
      if (v[3] > 1.0f && fits(v[3], 8, 2)) c.max_time_per_step = v[3];
      WRITE_OUT("Current Initial Omega Scan Width is = " + F(c.initial_omega_width_a, 8, 4) + " +" +
                F(c.initial_omega_width_b, 8, 4) + " tan(theta)");
      set.centre_step = 3;
      ask(same_prompt);
      return;
    case 3:
      if (v[0] > 0.2f && v[0] < 5.0f) c.initial_omega_width_a = v[0];
      if (v[1] > 0.0f && v[1] < 2.0f) c.initial_omega_width_b = v[1];
      WRITE_OUT(" Parameters for Chi scans:");
      WRITE_OUT("Width Coeff =" + F(c.chi_width_coeff, 8, 4) +
                " No. Steps Final Scan = " + I(c.chi_final_steps, 5));
      set.centre_step = 4;
      ask(same_prompt);
      return;
    case 4:
      if (v[0] > 0.1f && v[0] < 1.0f) c.chi_width_coeff = v[0];
      if (v[1] > 9.0f && v[1] < 199.0f) c.chi_final_steps = static_cast<int>(NINT(v[1]));
      WRITE_OUT(" Parameters for Final Omega scan:");
      WRITE_OUT("Width =" + F(c.final_omega_width_a, 8, 4) + "+" + F(c.final_omega_width_b, 8, 4) +
                "tan(theta)," + "    No. Steps = " + I(c.omega_final_steps, 5));
      set.centre_step = 5;
      ask(same_prompt);
      return;
    case 5:
      // Widths are written F10.4 and the step count I5 in the matrix file.
      if (v[0] > 0.0f && fits(v[0], 10, 4)) c.final_omega_width_a = v[0];
      if (v[1] > 0.0f && fits(v[1], 10, 4)) c.final_omega_width_b = v[1];
      if (v[2] > 0.0f && fits_integer(v[2], 5)) c.omega_final_steps = static_cast<int>(NINT(v[2]));
      WRITE_OUT(ten + (c.parabola() ? "Final omega scan on peak centering by PARABOLIC fit"
                                    : "Final omega scan on peak centering by PROFILE fit"));
      set.centre_step = 6;
      ask("Input 1 to toggle to other method: ");
      return;
    case 6:
      if (v[0] > 0.0f) c.final_omega_method ^= 1;
      if (c.parabola()) {
        commit_centring();
        DISPLAY_CENTER_PARMS();
        set.centre_step = 0;
        finish_option();
        return;
      }
      WRITE_OUT((c.eta_refined != 0 ? " Eta value refined from " : "Eta value fixed at ") +
                F(c.eta, 6, 3));
      set.centre_step = 7;
      ask("Input new value for Eta (<CR>=no change): ");
      return;
    case 7:
      if (!empty) c.eta = v[0] < 0.0f ? 0.0f : (v[0] > 1.0f ? 1.0f : v[0]);
      set.centre_step = 8;
      ask("Input Eta refinement flag (1=refine, 0=fixed): ");
      return;
    case 8:
      c.eta_refined = v[0] >= 1.0f ? 1 : 0;
      WRITE_OUT("   Slit settings: Motor 5 = " + F(c.slit5, 5, 2) +
                " Motor 6 = " + F(c.slit6, 5, 2));
      set.centre_step = 9;
      ask("Input new values (<CR>=no change): ");
      return;
    case 9:
      if (v[0] > 0.1f && v[0] < 10.0f) c.slit5 = v[0];
      if (v[1] > 0.1f && v[1] < 10.0f) c.slit6 = v[1];
      set.centre_step = 10;
      ask("Input 2theta refinement flag (0=refine, 1=fixed): ");
      return;
    default:  // a step number that no longer exists: start again
      set.centre_step = 0;
      finish_option();
      return;
  }
}

void SET_DEVICE() {
  SetDialogue& set = S().set;
  DeviceSettings& d = set.device;
  const MachineProfile& hw = S().profile;

  if (set.device_step == 0) {
    d = S().device;
    d.psi_bound = 90.0f;
    DISPLAY_DEVICE();
    WRITE_OUT("");
    set.device_step = kDeviceChange;
    ask("   Change the Device <Y/N><N>?");
    return;
  }

  std::vector<float> v;
  bool empty = false;
  switch (set.device_step) {
    case kDeviceChange: {
      const std::string_view answer = trim(S().shell.command_argument);
      if (!answer.empty() && (answer[0] == 'Y' || answer[0] == 'y')) {
        DISPLAY_DEVICE_TYPES();
        set.device_step = kDeviceNumber;
        ask("Input device number: ");
      } else {
        device_finish();
      }
      return;
    }
    case kDeviceNumber: {
      long number = 0;
      if (!read_integer(number, empty)) {
        ask_again(kUnreadable);
        return;
      }
      // Back to the machine alone: bisecting, the hardware limits, no restrictions.
      d.fixed_phi = 0;
      d.chi_lower = hw.motor[3].lower;
      d.chi_upper = hw.motor[3].upper;
      d.chi_limited = hw.chi_limited;
      d.phi_lower = hw.motor[4].lower;
      d.phi_upper = hw.motor[4].upper;
      d.phi_limited = hw.phi_limited;
      d.omega_lower = hw.motor[2].lower;
      d.omega_upper = hw.motor[2].upper;
      d.type = 0;
      d.gasket_angle = d.zaxis_angle = 0.0f;
      d.chi_pause = d.chi_pause_move = 0.0f;
      if (number == 0) {
        device_finish();
      } else if (number < 1 || number > 6) {
        WRITE_OUT("ILLEGAL DEVICE NUMBER");
        ask("Input device number: ");
      } else if (number == 6) {
        d.type = 6;
        WRITE_OUT("  Chi and phi have been set non-circular");
        set.device_step = kDeviceUltras;
        ask("Input angular limits to x and z axes of cell: ");
      } else {
        d.type = static_cast<int>(number);
        device_next_question(kDevicePsi);
      }
      return;
    }
    case kDevicePsi:
      if (!read_reals(v, 1, empty)) {
        ask_again(kUnreadable);
      } else if (v[0] >= 5.0f && v[0] <= d.psi_bound) {
        d.psi_max = v[0];
        d.fixed_phi = 1;
        device_next_question(kDeviceChi);
      } else {
        ask_again(kRetype);
      }
      return;
    case kDeviceChi:
    case kDevicePhi: {
      const bool chi = set.device_step == kDeviceChi;
      const DeviceType& type = kDeviceTypes[d.type];
      if (!read_reals(v, 2, empty)) {
        ask_again(kUnreadable);
        return;
      }
      const bool ok =
          chi ? take_range(v, empty, type.chi_min, type.chi_max, d.chi_lower, d.chi_upper,
                           hardware_limits_chi(), hw.motor[3])
              : take_range(v, empty, type.phi_min, type.phi_max, d.phi_lower, d.phi_upper,
                           hardware_limits_phi(), hw.motor[4]);
      if (!ok) {
        ask_again(kRetype);
        return;
      }
      (chi ? d.chi_limited : d.phi_limited) = 1;
      device_next_question(chi ? kDevicePhi : kDeviceOmega);
      return;
    }
    case kDeviceUltras:
      if (!read_reals(v, 2, empty)) {
        ask_again(kUnreadable);
      } else if (v[0] > 70.0f || v[1] > 80.0f || !fits(v[0], 9, 3) || !fits(v[1], 9, 3)) {
        ask_again(kRetype);
      } else {
        d.gasket_angle = v[0];
        d.zaxis_angle = v[1];
        d.chi_limited = d.phi_limited = 1;
        d.chi_lower = d.phi_lower = -180.0f;
        d.chi_upper = d.phi_upper = 180.0f;
        if (hardware_limits_chi()) narrow_to(d.chi_lower, d.chi_upper, hw.motor[3]);
        if (hardware_limits_phi()) narrow_to(d.phi_lower, d.phi_upper, hw.motor[4]);
        device_finish();
      }
      return;
    case kDeviceOmega: {
      if (!read_reals(v, 2, empty)) {
        ask_again(kUnreadable);
        return;
      }
      float lower = d.omega_lower, upper = d.omega_upper;
      if (v[0] != 0.0f) {
        if (v[0] >= hw.motor[2].lower) lower = v[0];
        if (v[1] < hw.motor[2].upper) upper = v[1];
      }
      if (lower >= upper) {  // an empty or inverted range would stop every drive
        ask_again(kRetype);
        return;
      }
      d.omega_lower = lower;
      d.omega_upper = upper;
      set.device_step = kDevicePause;
      ask("Input pause time (secs) after chi drives  <0 for no pause>: ");
      return;
    }
    case kDevicePause:
      if (!read_reals(v, 1, empty)) {
        ask_again(kUnreadable);
      } else if (v[0] <= 0.1f) {
        d.chi_pause = d.chi_pause_move = 0.0f;
        device_finish();
      } else if (!fits(v[0], 6, 1)) {  // more than the HIGHT line's F6.1 holds
        ask_again(kRetype);
      } else {
        d.chi_pause = v[0];
        d.chi_pause_move = 0.0f;
        set.device_step = kDevicePauseMove;
        ask("Input delchi to apply pause: ");
      }
      return;
    case kDevicePauseMove:
      if (!read_reals(v, 1, empty)) {
        ask_again(kUnreadable);
        return;
      }
      if (!fits(std::fabs(v[0]), 6, 1)) {
        ask_again(kRetype);
        return;
      }
      if (std::fabs(v[0]) > 0.1f) d.chi_pause_move = std::fabs(v[0]);
      device_finish();
      return;
    default:
      set.device_step = 0;
      finish_option();
      return;
  }
}

void SET_LOG() {
  SetDialogue& set = S().set;
  ShellState& shell = S().shell;
  int* switches[] = {&shell.log_final_omega_profiles, &shell.log_profiles_to_pkprof,
                     &shell.log_comm_echo, &shell.log_extra_zref};
  static constexpr const char* kQuestions[] = {
      "FINAL OM PROFILES TO FILE IS NOW  ", "PROFILES TO PKPROF.DAT IS NOW  ",
      "COMM ECHO TO SCREEN IS NOW  ", "EXTRA ZREF LOG TO SCREEN IS NOW  "};
  auto ask_switch = [&](int i) {
    ask(std::string(kQuestions[i]) + on_off(*switches[i]) + ", INPUT? ");
  };

  if (set.log_step == 0) {
    WRITE_OUT("");
    WRITE_OUT("INPUT 1 TO TURN LOGGING ON, 0 OFF");
    WRITE_OUT("");
    set.log_step = 1;
    ask_switch(0);
    return;
  }
  const int i = set.log_step - 1;
  if (i < 0 || i > 3) {
    set.log_step = 0;
    finish_option();
    return;
  }
  long value = 0;
  bool empty = false;
  // Only 0 (OFF) and 1 (ON) mean anything; another answer asks again.
  if (!read_integer(value, empty) || (!empty && value != 0 && value != 1)) {
    ask_again(kUnreadable);
    return;
  }
  if (empty) {
    value = set.log_last_number;
  } else {
    set.log_last_number = static_cast<int>(value);
  }
  *switches[i] = static_cast<int>(value);
  if (i == 3) {
    set.log_step = 0;
    finish_option();
    return;
  }
  set.log_step = i + 2;
  ask_switch(i + 1);
}

// ---- the commands ------------------------------------------------------------------------------

void RUN_SET() {
  ShellState& shell = S().shell;
  SetDialogue& set = S().set;
  const bool new_command = shell.continuation_code == 0;

  if (new_command && set.option != 0) {
    // A dialogue was left unanswered (the window was closed): ask its question again, and do
    // not take this command's own text for the answer.
    shell.continuation_code = kSetCode;
    SET_PROMPT(set.pending_prompt);
    return;
  }

  if (new_command && trim(columns(shell.command_argument, 1, 5)).empty()) {
    WRITE_OUT("");
    WRITE_OUT(" OPTIONS FOR THE SET COMMAND ARE: ");
    WRITE_OUT("");
    WRITE_OUT("TITLE  WAVE  CENTRE (or CENTER)  DEVICE  DATA  MATFILE  DATFILE  LOG");
  } else if (set.option == 0) {
    shell.continuation_code = kSetCode;
    const std::string key = upper_letters(columns(shell.command_argument, 1, 80));
    struct Option {
      const char* key;
      int option;
    };
    static constexpr Option kOptions[] = {{"TITLE", 1}, {"WAVE", 2}, {"CENT", 3}, {"DEV", 4},
                                          {"MAT", 6},   {"DATF", 5}, {"LOG", 8},  {"DATA", 9}};
    for (const Option& o : kOptions) {
      if (key.find(o.key) != std::string::npos) {
        set.option = o.option;
        break;
      }
    }
    if (set.option == 0) {
      WRITE_OUT(" OPTION NOT RECOGNISED");
      shell.continuation_code = 0;
    }
  }

  switch (set.option) {
    case 1:
      SET_TITLE();
      break;
    case 2:
      SET_WAVE();
      break;
    case 3:
      SET_CENTER();
      break;
    case 4:
      SET_DEVICE();
      break;
    case 5:
      SET_DATFILE();
      finish_option();
      break;
    case 6:
      MATFILE(0, "");
      finish_option();
      break;
    case 8:
      SET_LOG();
      break;
    case 9:
      RUN_DATA_DIALOG();
      break;
    default:
      break;
  }

  if (shell.continuation_code == 0) {
    set.option = 0;
    set.pending_prompt.clear();
    WRITE_MATFILE();
  }
}

void CANCEL_SET() {
  SetDialogue& set = S().set;
  if (set.option == 9) CANCEL_DATA_DIALOG();
  const int last_number = set.log_last_number;
  set = SetDialogue{};
  set.log_last_number = last_number;
  S().shell.continuation_code = 0;
}

void SHOW() {
  const std::string& argument = S().shell.command_argument;
  if (trim(columns(argument, 1, 5)).empty()) {
    WRITE_OUT("");
    WRITE_OUT(" OPTIONS FOR THE SHOW COMMAND ARE: ");
    WRITE_OUT("");
    WRITE_OUT("TITLE  WAVE  CENTER  DEVICE  DATA  MATFILE  DATFILE UB DEV_TYPES LIMITS COMM");
    return;
  }
  const std::string key = upper_letters(columns(argument, 1, 80));
  auto has = [&](const char* k) { return key.find(k) != std::string::npos; };
  if (has("TITLE")) {
    DISPLAY_TITLE();
  } else if (has("WAVE")) {
    DISPLAY_WAVE();
  } else if (has("CENT")) {
    DISPLAY_CENTER_PARMS();
  } else if (has("UB")) {
    DISPLAY_UB();
  } else if (has("MAT")) {
    PRINT_MATFILE();
  } else if (has("CELL")) {
    DISPLAY_CELL();
  } else if (has("TYPE") && has("DEV")) {
    DISPLAY_DEVICE_TYPES();
  } else if (has("DEV")) {
    DISPLAY_DEVICE();
  } else if (has("LIMIT")) {
    DISPLAY_LIMITS();
    DISPLAY_CIRCLE_LIMITS();
  } else if (has("DATF")) {
    DISPLAY_DATFILE();
    // The line console has no status fields: say it on the console as well.
    const ShellState& shell = S().shell;
    if (shell.datfile_set != 0 && !trim(shell.datfile_name).empty())
      WRITE_OUT(" Data File is: " + std::string(trim(shell.datfile_name)));
    else
      WRITE_OUT(" No Data File Is Set");
  } else if (has("DATA")) {
    LISTSCAN();
  } else if (has("COMM")) {
    DISPLAY_COMM();
  } else {
    WRITE_OUT(" OPTION NOT RECOGNISED");
  }
}

}  // namespace dorvex
