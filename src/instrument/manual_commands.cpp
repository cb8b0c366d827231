// The operator's direct instrument commands. A command that needs further lines sets its
// continuation code and prompt and returns; the dispatcher hands it the next line. A command
// typed with its arguments on the first line acts once. Outside NORMAL mode they do nothing
// (DCOM also runs in SUPERVISOR mode).
#include <cmath>
#include <string>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "instrument/controller.hpp"
#include "geometry/limits.hpp"
#include "instrument/motion.hpp"
#include "instrument/transport.hpp"
#include "instrument/commands.hpp"
#include "console/output.hpp"
#include "console/status.hpp"
#include "console/dialogue.hpp"

namespace dorvex {

namespace {

ShellState& SH() { return S().shell; }
std::size_t ix(int m) { return static_cast<std::size_t>(m); }



// What a number dialogue does after a line: ask again, stop, or (for a line it cannot read)
// leave the question open, also when the line was the command's own.
enum class Step { again, end, unreadable };

// The common shape of the number dialogues (MOT, LDMT, DVLS, FILT, GOTO): a blank line ends
// them; a line the handler cannot read keeps the question open; an error ends them. Arguments
// read on the command line itself are acted on once.
template <typename Handler>
void number_dialogue(int code, const std::string& prompt, Handler handle) {
  if (!normal_mode()) return;
  const bool continuing = SH().continuation_code == code;
  const std::string line = SH().command_argument;
  if (continuing && blank5(line)) {
    end_dialogue();
    return;
  }
  if (!continuing && trim(line).empty()) {
    ask(code, prompt);
    return;
  }
  const Step step = handle(line);
  if (failed() || step == Step::end) {
    end_dialogue();
    return;
  }
  if (step == Step::unreadable)
    ask(code, "Error on input, try again:");  // a line that is no answer is never passed over
  else if (continuing)
    ask(code, prompt);
  else
    end_dialogue();
}

// Motor number and value from a line: false when it cannot be read.
bool motor_and_value(const std::string& line, int& motor, float& value) {
  const ListInput in = read_list(line);
  if (in.error || in.values.size() < 2) return false;
  const double m = in.values[0];
  if (m != std::floor(m)) return false;
  motor = static_cast<int>(m);
  value = static_cast<float>(in.values[1]);
  return true;
}

void drive_target_record(const AngleSet& a, int& status) {
  S().motion.target = a;
  DRIVEP(1, status);
}

std::string four_f8(const AngleSet& a) {
  return F(a[0], 8, 3) + F(a[1], 8, 3) + F(a[2], 8, 3) + F(a[3], 8, 3);
}

// ---- VIEW --------------------------------------------------------------------------------
int view_position = 1;
bool asking_telescope = false;

void DRIVE_VIEW(int p) {
  const MachineProfile& pr = S().profile;
  for (int m = 7; m <= 10; ++m) {
    if (!pr.motor_present(m)) continue;
    int st = 0;
    DRIVE(m, pr.park[ix(m)], 0.0f, 0, st);
    if (failed()) return;
  }
  AngleSet a{pr.view[0], pr.view[1], pr.view[2], pr.view[3]};
  if (p <= 4) {
    a[3] = static_cast<float>(p - 1) * 90.0f + pr.view[3];
  } else {
    a[2] = pr.view[2] + 180.0f;
    a[3] = static_cast<float>(p - 5) * 90.0f + 90.0f - pr.view[3];
  }
  int status = 0;
  drive_target_record(a, status);
}

void view_prompt() {
  ask(25, "CURRENTLY AT POSITION " + I(view_position, 1) + " NEXT? ");
}

const char* kTelescope = "*****HAVE YOU REMOVED THE TELESCOPE??? <Y/N>";

// ---- DEMO --------------------------------------------------------------------------------
void demo_cycles(bool shutter) {
  for (int c = 1; c <= 10; ++c) {
    const float tt = static_cast<float>(c) * 5.0103f, om = 10.1237f, chi = -11.1244f, phi = 0.0f;
    WRITE_OUT("  Starting cycle " + I(c, 2) + " at " + four_f8({tt, om, chi, phi}));
    const AngleSet settings[8] = {
        {tt, om, chi, phi},          {-tt, om, chi, phi},
        {-tt, -om, chi + 180, phi},  {tt, -om, chi + 180, phi},
        {tt, -om, 180 - chi, phi + 180}, {tt, -om, 180 - chi, phi + 180},
        {-tt, om, -chi, phi + 180},  {-tt, om, -chi, phi + 180}};
    for (const AngleSet& s : settings) {
      WAIT();
      if (failed()) return;
      AngleSet checked = s;
      if (SOFTLIMITS(S().profile, S().device, checked, 0) == 1) continue;
      int status = 0;
      drive_target_record(checked, status);
      if (failed()) return;
      if (status != 0) {
        WRITE_OUT(" *****PROBLEM IN DEMO AT ANGLES: " + four_f8(checked));
        return;
      }
      if (shutter) {
        ONBEAM();
        if (failed()) return;
        WAIT_MS(5000);
        if (failed()) return;
        OFBEAM();
        if (failed()) return;
      }
    }
  }
}

}  // namespace

void DRIV_COMMAND() {
  if (!normal_mode()) return;
  // Checked before anything moves: the drive would otherwise stop at the first limit switch.
  AngleSet checked = S().motion.target;
  if (SOFTLIMITS(S().profile, S().device, checked, 0) == 1) {
    WRITE_OUT("  Target angle(s) OUT OF BOUNDS: " +
              limits_reason(S().profile, S().device, S().motion.target));
    return;
  }
  int status = 0;
  DRIVEP(1, status);
  if (status != 0)
    WRITE_OUT("  Target angle(s) OUT OF BOUNDS: " +
              limits_reason(S().profile, S().device, S().motion.target));
}

void MOTORU() {
  number_dialogue(2, "MOT: Enter imot,angle>", [](const std::string& line) {
    int m = 0;
    float angle = 0;
    if (!motor_and_value(line, m, angle)) return Step::unreadable;
    if (m < 1 || m > 10 || !S().profile.motor_present(m)) {
      WRITE_OUT("  MOT: " + motor_reason(S().profile, S().device, m, angle));
      return Step::end;
    }
    // The setting the drive is checked as: the present circles with this motor's target.
    AngleSet setting{};
    if (m <= 4) {
      RDALLMTR(setting);
      if (failed()) return Step::end;
      setting[static_cast<std::size_t>(m - 1)] = angle;
    }
    int status = 0;
    DRIVE(m, angle, 0.0f, 1, status);
    if (status == 1)
      WRITE_OUT("Target angle OUT OF BOUNDS: " +
                (m <= 4 ? limits_reason(S().profile, S().device, setting)
                        : motor_reason(S().profile, S().device, m, angle)));
    return Step::again;
  });
}

void MTINIT() {
  number_dialogue(3, "LDMT: Enter imot,angle>", [](const std::string& line) {
    int m = 0;
    float angle = 0;
    if (!motor_and_value(line, m, angle)) return Step::unreadable;
    if (m < 1 || m > 10 || (m >= 7 && !S().profile.motor_present(m))) return Step::end;
    // The omega motor of a coupled axis carries half of 2theta.
    if (m == 2 && S().profile.omega_coupled()) {
      float two_theta = 0;
      RDMTR(1, two_theta);
      if (failed()) return Step::end;
      angle += 0.5f * two_theta;
    }
    LDMTR(m, angle);
    return Step::again;
  });
}

void DRIVE_LIST() {
  number_dialogue(4, "DVLS: Enter list number>", [](const std::string& line) {
    const IntListInput in = read_int_list(line);
    if (in.error || in.values.empty()) return Step::unreadable;
    const long k = in.values[0];
    if (k < 1) return Step::end;
    if (k > S().list.count) {
      WRITE_OUT("Error: only " + I(S().list.count, 3) + " peaks in list");
      return Step::again;
    }
    AngleSet& target = S().motion.target;
    target = S().list.entry[ix(static_cast<int>(k - 1))].angles;
    if (SOFTLIMITS(S().profile, S().device, target, 0) != 0) {
      WRITE_OUT("  *** OUT OF BOUNDS ***");
      return Step::again;
    }
    int status = 0;
    DRIVEP(1, status);
    if (status != 0) WRITE_OUT("***Error in Drive");
    return Step::again;
  });
}

void GOTO_ANGLES() {
  number_dialogue(36, "GOTO: Enter angles>", [](const std::string& line) {
    // All four angles, as a list read of four reals needs them.
    const ListInput in = read_list(line);
    if (in.error || in.values.size() < 4) return Step::unreadable;
    AngleSet& target = S().motion.target;
    target = {0, 0, 0, 0};
    float sum = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      target[i] = static_cast<float>(in.values[i]);
      sum += std::fabs(target[i]);
    }
    if (sum < 0.01f) return Step::end;
    const AngleSet typed = target;
    if (SOFTLIMITS(S().profile, S().device, target, 0) != 0) {
      WRITE_OUT("Target angle OUT OF BOUNDS: " + limits_reason(S().profile, S().device, typed));
      return Step::again;
    }
    int status = 0;
    DRIVEP(1, status);
    return Step::again;
  });
}

void FILTER() {
  number_dialogue(22, "FILT: Enter filter no.>", [](const std::string& line) {
    const IntListInput in = read_int_list(line);
    if (in.error || in.values.empty()) return Step::unreadable;
    const long n = in.values[0];
    if (n < 1 || n > 8) return Step::end;
    SET_FILTER(static_cast<int>(n));
    return Step::again;
  });
}

void HALF_SLITS() {
  if (!normal_mode()) return;
  const bool continuing = SH().continuation_code == 23;
  const std::string line = SH().command_argument;
  if (!continuing) WRITE_OUT(" Half Slit Utility - Enter T,B,L,R OR O; E to Exit");
  const std::string_view text = trim(line);
  if (text.empty()) {
    if (continuing)
      end_dialogue();
    else
      ask(23, "HALF: Enter slit name>");
    return;
  }
  const char c = text.front();
  if (c == 'E' || c == 'e') {
    end_dialogue();
    return;
  }
  if (std::string_view("TBLRObtlro").find(c) != std::string_view::npos) SET_SLIT(c);
  if (failed() || !continuing)
    end_dialogue();
  else
    ask(23, "HALF: Enter slit name>");
}

void RUN_VIEW() {
  if (!normal_mode()) return;
  const std::string line = SH().command_argument;
  if (SH().continuation_code != 25) {
    asking_telescope = false;
    WRITE_OUT("View Utility - Driving to first view position");
    OFBEAM();
    if (failed()) return;
    view_position = 1;
    DRIVE_VIEW(view_position);
    if (failed()) return;
    WRITE_OUT("Type Number or <CR> for next phi, 9 to EXIT:");
    view_prompt();
    return;
  }
  const std::string_view text = trim(line);
  if (asking_telescope) {
    if (!text.empty() && (text.front() == 'Y' || text.front() == 'y')) {
      asking_telescope = false;
      end_dialogue();
    } else {
      ask(25, kTelescope);
    }
    return;
  }
  const IntListInput in = read_int_list(text);
  long n = 0;
  if (!text.empty()) {
    if (in.error || in.values.empty() || in.values[0] < 0 || in.values[0] > 9) {
      WRITE_OUT("*****INVALID INPUT: TRY AGAIN:");
      view_prompt();
      return;
    }
    n = in.values[0];
  }
  if (n == 9) {
    if (S().profile.interface_type == 6) {
      end_dialogue();
      return;
    }
    asking_telescope = true;
    ask(25, kTelescope);
    return;
  }
  if (n == 0)
    view_position = view_position <= 4 ? view_position % 4 + 1 : (view_position - 4) % 4 + 5;
  else
    view_position = static_cast<int>(n);
  DRIVE_VIEW(view_position);
  if (failed()) {
    end_dialogue();
    return;
  }
  view_prompt();
}

void READ_INTERFACE_COMMAND() {
  if (!normal_mode()) return;
  READ_INTERFACE();
  if (!failed()) report_positions();  // also when they are where they were
}
void ZERO_COMMAND() {
  if (normal_mode()) ZERO();
}
void PARK_COMMAND() {
  if (normal_mode()) PARK();
}
void ONBEAM_COMMAND() {
  if (normal_mode()) ONBEAM();
}
void OFBEAM_COMMAND() {
  if (normal_mode()) OFBEAM();
}
void STPALL_COMMAND() {
  if (normal_mode()) STPALL();
}

void COUNTER() {
  if (!normal_mode()) return;
  ONBEAM();
  // An instrument without a shutter has its beam on all the time: it counts as it stands.
  if (failed() || (S().profile.no_shutter == 0 && S().motion.shutter_state != 1)) return;
  AngleSet a{};
  RDALLMTR(a);
  if (failed()) return;
  DISPLAY_ACTION(11, a);
  float rate = 0, used = 0;
  XCOUNT(5.0f, rate, used);
  // A count that failed leaves no beam on the crystal either.
  if (!failed()) {
    DISPLAY_COUNT(rate, used);
    DISPLAY_ACTION(0, a);
  }
  OFBEAM();
}

void SEARCH_REFERENCE() {
  if (SH().operating_mode == MODE_DUMMY) return;
  if (SH().continuation_code != 39) {
    ask(39, "If diffractometer is at safe position, enter \"Y\":");
    return;
  }
  end_dialogue();
  const std::string_view text = trim(SH().command_argument);
  // Only a line with nothing to read is reported; any answer but Y ends the question quietly.
  if (text.empty()) {
    WRITE_OUT("Searching for reference positions aborted");
    return;
  }
  if (text.front() != 'Y' && text.front() != 'y') return;
  WRITE_OUT("Searching for reference positions, please wait:");
  int found = 1;  // a controller without reference marks leaves it: nothing was found
  SEARCH_REFERENCE_MARKS(found);
  if (failed()) return;
  READ_INTERFACE();
  if (failed()) return;
  WRITE_OUT(found == 0 ? "Found reference positions" : "DID NOT find reference positions");
}

void DIRECT_COMM() {
  if (SH().operating_mode == MODE_DUMMY) return;
  const char* prompt = "INPUT STRING TO BE TRANSMITTED>";
  const bool continuing = SH().continuation_code == 6;
  // A dialogue line goes out as typed, leading blanks included; on the command line the blanks
  // after DCOM only separate the text from the command word.
  const std::string_view typed = rtrim(SH().command_argument);
  const std::string line(continuing ? typed : trim(typed));
  if (!continuing && line.empty()) {
    ask(6, prompt);
    return;
  }
  const std::string word(trim(line));
  if (word == "exit" || word == "EXIT") {
    end_dialogue();
    return;
  }
  if (word == "read" || word == "READ") {
    std::string text, failure;
    int count = 0;
    if (READ_STRING_PORT_QUIET(text, count, failure) == 2) ERRORLOG(failure);
    if (!failed()) {
      if (count == 0) {
        WRITE_OUT("No characters in buffer");
      } else {
        WRITE_OUT("  Returned text of " + I(count, 5) + " characters:");
        WRITE_OUT(text);
        for (int i = 0; i < count; ++i) {
          const int code = static_cast<unsigned char>(text[ix(i)]);
          if (code < 32 || code > 126)
            WRITE_OUT("  Character no. " + I(i + 1, 3) + " is Acsii " + I(code, 3));
        }
      }
    }
  } else if (!word.empty()) {
    // The text as typed, leading blanks included, up to its last non-blank character.
    const int n = static_cast<int>(line.size());
    WRITE_OUT("  The " + I(n, 2) + " characters in alph are: ");
    WRITE_OUT("     " + line);
    SEND_STRING_PORT(line, n);
  }
  if (failed()) {
    WRITE_OUT(" Ifatal set to " + I(SH().error_flag, 1));
    end_dialogue();
    return;
  }
  ask(6, prompt);
}

void RUN_DEMO() {
  if (!normal_mode()) return;
  if (SH().continuation_code != 27) {
    ask(27, "SHUTTER OPERATION? <y/n>: ");
    return;
  }
  end_dialogue();
  // A blank answer ends the question like every blank line of a dialogue: no demonstration.
  if (blank5(SH().command_argument)) return;
  const std::string_view text = trim(SH().command_argument);
  demo_cycles(text.front() == 'Y' || text.front() == 'y');
}

}  // namespace dorvex
