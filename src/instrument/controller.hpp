// The controller operations, bound by the profile's interface type (1 SMC9000, 2 STADI4,
// 3 SIN-10, 6 P4, 7 SMC9300; every other type is inert). Above this layer everything speaks in
// motor numbers and degrees. Positions here are controller positions (logical + zero offset).
#pragma once

#include <array>
#include <string>

namespace dorvex {

void SENDH(const std::string& command, int count, std::string& reply, int& reply_length);
void WAKE_MOTORS();
void INIT_MOTORS();
void READ_MOTOR_INTERFACE(int motor, int& status, float& value, std::string& message);
void READ_ALL_MOTOR_INTERFACE(std::array<float, 4>& values, int& status, std::string& message);
void LOAD_MOTOR_INTERFACE(int motor, float value);
void CHECK_LIMITS();
void DRIVE_MOTOR(int motor, float target, float distance);
void DRIVE_MOTOR_ALL();  // reads the drive record of S().motion
void WAIT_MOTOR(int motor, int& busy);
void WAIT();
void STOP_ALL();
void FINISH();
void RUNSCAN(int& mode, float step, float count_time, int steps, std::array<int, 200>& counts,
             int& status, float& time_used, int at_start, std::array<float, 200>& positions);
void XCOUNT(float count_time, float& rate, float& time_used);
void SHUTTER(int open);
void GET_SHUTTER_STATUS(int& state);
void SEARCH_REFERENCE_MARKS(int& found);
void SET_FILTER(int filter);
void SET_SLIT(char code);

// Re-reads every position into the cache and the status display.
void READ_INTERFACE();

// Degree/step conversions.
float R_ANGLE(float angle, int motor);
float CNVSTEP(int motor, int steps);
int JFORMAT(int i);

}  // namespace dorvex
