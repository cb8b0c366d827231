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

}  // namespace dorvex
