#include "shell/startup.hpp"

#include <unistd.h>

#include <string>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "files/difprof.hpp"
#include "geometry/cell.hpp"
#include "geometry/matfile.hpp"  // what is unsaved when the window closes
#include "instrument/controller.hpp"
#include "instrument/motion.hpp"
#include "instrument/simulate.hpp"
#include "instrument/transport.hpp"
#include "shell/commands.hpp"
#include "shell/dispatcher.hpp"
#include "console/output.hpp"
#include "console/status.hpp"
#include "toolkit/backends.hpp"  // the window the program runs in
#include "toolkit/toolkit.hpp"
#include "console/dialogue.hpp"

namespace dorvex {

namespace {


// A line for the console and the installation log.
void announce(std::string_view text) {
  WRITE_TERM(text);
  INSTLOG(text);
}

void WRITE_HEADER() {
  const std::string indent(20, ' ');
  WRITE_TERM("");
  WRITE_TERM("");
  WRITE_TERM(indent + "DORVEX2010 Diffractometer Control Program ");
  WRITE_TERM(indent + "Four-circle single-crystal diffractometer control");
  WRITE_TERM(indent + "      BASE VERSION OF " + S().shell.version);
  WRITE_TERM("");
  WRITE_TERM("");
}

// NORMAL mode: wake the controller, close the shutter, check the park position and initialise
// the motors. The first failure skips the rest; the program goes on all the same.
void prepare_diffractometer() {
  const char* failure = nullptr;
  WAKE_MOTORS();
  if (failed()) failure = "Error from wake_motors";
  if (failure == nullptr && S().profile.no_shutter == 0) {
    SHUTTER(0);
    if (failed()) failure = "Error from shutter control";
  }
  if (failure == nullptr) {
    CHECK_PARK();
    if (failed()) failure = "Error from check_park";
  }
  if (failure == nullptr) {
    INIT_MOTORS();
    if (failed()) failure = "Error from init_motors";
  }
  if (failure == nullptr) {
    DISPLAY_INIT();
    return;
  }
  announce(failure);
  announce("DIFFRACTOMETER NOT INITIALISED!!! BE CAREFUL!!!!");
}

// The command loop; returns when the operator leaves.
void command_loop() {
  ShellState& shell = S().shell;
  // Whatever start-up left in the error flag must not abandon the first command.
  shell.error_flag = 0;
  REFRESH_HKL();    // the indices there with the matrix file's orientation
  REPORT_STATUS();  // where start-up found the diffractometer
  for (;;) {
    toolkit().enable_command_field(true);
    SET_PROMPT_DORVEX();
    for (;;) {
      const int callback = toolkit().action();
      if (callback == CB_CLOSED) break;
      if (callback == CB_COMMAND) {
        int exit_flag = 0;
        DRVX_DISP(exit_flag);
        if (exit_flag != 0) return;
        toolkit().enable_command_field(true);
      }
      shell.error_flag = 0;
    }
    // The window was closed. With no operator left to answer (end of input) the answer is Yes.
    const char* question = shell.operating_mode == MODE_NORMAL
                               ? "DO YOU WISH TO QUIT DORVEX WITHOUT PARKING THE DIFFRACTOMETER?"
                               : "DO YOU WISH TO QUIT DORVEX?";
    if (toolkit().input_ended() || toolkit().yes_no("DORVEX", question)) {
      offer_to_save_crystal();
      return;
    }
    shell.continuation_code = 0;
    shell.error_flag = 0;
  }
}

// E1..E4; `notice` is the installation-log line of E3 (empty: E4 only).
void exit_sequence(std::string_view notice) {
  if (!notice.empty()) {
    SET_PROMPT(" ");
    if (S().shell.operating_mode != MODE_DUMMY && commport_open()) CLOSE_COMMPORT();
    INSTLOG(notice);
    toolkit().info_box("DORVEX", trim(notice));
  }
  close_macro();
  CLOSE_LISTFILE();
  toolkit().close();
  stop_simulator();
}

}  // namespace

void open_console(bool full_screen) {
  set_toolkit(full_screen ? make_tui_toolkit() : make_line_toolkit(STDIN_FILENO, STDOUT_FILENO));
}

void close_console() { set_toolkit(nullptr); }

int DORVEX(const StartOptions& options) {
  ProgramState& state = S();
  ShellState& shell = state.shell;

  // 1. Motion counters cleared, a neutral orientation matrix and the matrices derived from it.
  state.motion.per_motor = {};
  state.crystal.UB = Mat3::identity(0.1f);
  OMTOB(state.crystal, true);

  // 3, 4. Directories, saved names, and the first installation-log entry.
  SET_DIRECTORY();
  INSTLOG("Starting Program Version of " + shell.version);

  // 5. The operating mode.
  const int mode = options.mode == kAskForMode ? toolkit().mode_dialog() : options.mode;
  if (mode == MODE_CANCELLED) return 0;
  shell.operating_mode = mode;

  // 6, 7. The master window and the header.
  toolkit().create_master(mode == MODE_NORMAL);
  DISPLAY_MATFILE();
  WRITE_HEADER();

  // 8. The profile; a fatal error in it ends the run.
  shell.error_flag = 0;
  READ_DIFPROF();
  if (failed()) {
    exit_sequence(" Program terminated: the profile DIFPROF.DAT could not be used");
    return 1;
  }

  // 9.
  announce("VERSION FOR " + std::string(trim(state.profile.difnam)));
  WRITE_TERM("");
  WRITE_TERM("");

  // 10. By mode.
  if (mode == MODE_DUMMY) {
    announce("Using VIRTUAL Diffractometer.");
    announce("No operations on actual machine hardware will be permitted");
    SET_MASTER_TITLE();
  } else {
    if (mode == MODE_SUPERVISOR) {
      announce("SUPERVISOR MODE");
      announce("Only direct communcation with diffractometer using DCOM  will be permitted");
      SET_SUPERV_TITLE();
    } else {
      announce("NORMAL MODE");
    }
    if (options.simulate) {
      std::string port;
      if (!start_simulator(options.crystal, port)) {
        exit_sequence("");
        return 1;
      }
      shell.port_override = port;
    }
    OPEN_COMMPORT();
    if (failed()) {
      exit_sequence("");  // the link routine has reported the cause
      return 1;
    }
    if (mode == MODE_NORMAL) prepare_diffractometer();
  }

  // 11. SET MATFILE: the operator's orientation-matrix file.
  shell.error_flag = 0;
  shell.command_argument = pad("MATFILE", kCommandLength);
  RUN_SET();
  if (shell.continuation_code == 0) shell.command_argument = std::string(kCommandLength, ' ');

  // 12.
  command_loop();
  exit_sequence(" Normal program termination");
  return 0;
}

}  // namespace dorvex
