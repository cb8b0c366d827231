// The motion layer: cached reads, drives with verification and re-issue, park, shutter.
// Every routine works in logical angles and reports failure through the error flag.
#pragma once

#include "common/state.hpp"

namespace dorvex {

void RDMTR(int motor, float& value);
void RDALLMTR(AngleSet& angles);
void DRIVE(int motor, float target, float spare, int mode, int& status);
void DRIVEP(int spare, int& status);  // the four circles to S().motion.target
void WRAP(int motor, float target);
void SLIT_DRIVE(int motor, float target, int& status);
void LDMTR(int motor, float angle);
void WTMTR(int motor);
void STPALL();
void ZERO();
void PARK();
void CHECK_PARK();
void ONBEAM();
void OFBEAM();
int SHUTTER_STATUS();
void invalidate_all_positions();

// The master window's position fields (NORMAL mode only): DISPLAY_ACTION shows what the
// goniometer is doing at `angles` with the indices there; DISPLAY_INIT reads every motor once
// and fills the angle, slit, detector-distance and sample-height fields.
void DISPLAY_ACTION(int action_code, const AngleSet& angles);
void DISPLAY_INIT();
// The indices field again from the angles shown, after the orientation matrix changed (a
// matrix file loaded, INDC, LSQ, CELL, TRAN ...): the angles stay, their indices do not.
void REFRESH_HKL();

}  // namespace dorvex

namespace dorvex {

// Records the commanded shutter state.
void SET_SHUTTER_STATUS(int state);
// The operator's halt during a wait: STPALL and "Diffractometer halted by user" as an error
// (a second halt while the first is served is ignored).
void HALTED_BY_USER();
// True from the operator's halt until the command it ended is over: the stop and whatever the
// command still says to the controller get only a short wait for each answer.
bool halt_in_force();
// Waits `ms` milliseconds without a busy loop; an operator's halt ends the wait at once.
void WAIT_MS(int ms);

}  // namespace dorvex
