// The P4 controller (interface type 6). Commands are a letter, the axis character and a number
// in degrees; moves are loaded ("F" absolute, "A" relative) and started together by "D"; one
// status request ("U0,0") answers all four circle angles and two status words. The controller
// answers a status request only when its axes are at rest, and a count when it has counted, so
// the link waits for those answers without a limit (the operator's halt ends the wait). Scans
// are stepped by the program: move, wait, count for every point.
#pragma once

#include <array>
#include <optional>
#include <string>

namespace dorvex {

void SENDH_6(const std::string& command, int count, std::string& reply, int& length);
void WAKE_MOTORS_6();
void INIT_MOTORS_6();
void READ_MOTOR_INTERFACE_6(int m, int& status, float& value, std::string& message);
void READ_ALL_MOTOR_INTERFACE_6(std::array<float, 4>& values, int& status, std::string& message);
void LOAD_MOTOR_INTERFACE_6(int m, float value);
void CHECK_LIMITS_6();
void DRIVE_MOTOR_6(int m, float target, float distance);
void DRIVE_MOTOR_ALL_6();
void WAIT_MOTOR_6(int m, int& busy);
void WAIT_6();
void STOP_ALL_6();
void FINISH_6();
void RUNSCAN_6(int& mode, float step, float t, int n, std::array<int, 200>& counts, int& status,
               float& used, int at_start, std::array<float, 200>& positions);
void XCOUNT_6(float t, float& rate, float& used);
void SHUTTER_6(int open);
void GET_SHUTTER_STATUS_6(int& state);
void SEARCH_REFERENCE_MARKS_6(int& found);
void SET_FILTER_6(int n);
void SET_SLIT_6(char c);

// The loaded-move commands the operations above are made of.
void LOAD_DRIVE_6(int m, float x);                     // "F" a "," x
void START_DRIVE_6();                                  // "D"
void DRIVE_MOTOR_REL_6(int m, float step, int start);  // "A" a "," step, then "D" when start

namespace p4 {

// The driver's program-wide state.
struct State {
  int expect_answer = 0;  // 1: SENDH_6 reads an answer to the command it sends
  int status_word = 0;    // first status word of the last complete status answer
  // Free chi and phi: the last angle the program knows each stands at (index 3, 4), so that a
  // reading, which the controller gives within one turn, is taken in the turn the program
  // declared.
  std::array<float, 5> free_angle{};
  std::array<int, 5> free_known{};
  // Free chi and phi as the controller counts them (its last reading, or the target sent since).
  std::array<float, 5> reading{};
  std::array<int, 5> reading_known{};
};
State& state();
void reset();

// A "U0,0" answer: 2theta, omega, phi, chi (F10.6, each followed by a blank), then two status
// words (I5, a blank, I5); 55 characters at least, every angle within one turn.
struct StatusAnswer {
  std::array<double, 4> angle{};  // in the answer's order: 2theta, omega, phi, chi
  long word1 = 0, word2 = 0;
};
std::optional<StatusAnswer> decode_status(const std::string& answer);
// The count of a "D" answer that ends a count (list-directed: the first number).
std::optional<double> decode_count(const std::string& answer);
// Counting time used: hundredths of a second, at least 0.25 s.
float count_time(float requested);
// Angle above 180 degrees as its negative equivalent.
float signed_angle(float a);
// A reading of a free circle (-180..180] taken in the turn nearest `known`.
float nearest_turn(float reading, float known);

}  // namespace p4

}  // namespace dorvex
