// The SIN-10 motor controller (interface type 3). Motors are driven over the serial link with
// short commands that begin with the motor's axis letter, positions travelling as whole motor
// steps; every command is answered with one line. Counter and shutter sit on the I/O card
// (instrument/iocard.hpp).
//
// Motor set-up at start (INIT_MOTORS_3), from the values of each MOTOR line: "l" value 2,
// "V" value 3 (run speed, steps per second), "I" value 4 (start speed), "K" values 5 and 6,
// "D" value 10; each as the nearest integer.
#pragma once

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace dorvex {

void SENDH_3(const std::string& command, int count, std::string& reply, int& length);
void WAKE_MOTORS_3();
void INIT_MOTORS_3();
void READ_MOTOR_INTERFACE_3(int m, int& status, float& value, std::string& message);
void READ_ALL_MOTOR_INTERFACE_3(std::array<float, 4>& values, int& status, std::string& message);
void LOAD_MOTOR_INTERFACE_3(int m, float x);
void CHECK_LIMITS_3();
void DRIVE_MOTOR_3(int m, float x, float d);
void DRIVE_MOTOR_ALL_3();
void DRIVE_MOTOR_REL_3(int m, float distance, int send);
void WAIT_MOTOR_3(int m, int& busy);
void WAIT_3();
void STOP_ALL_3();
void FINISH_3();
void RUNSCAN_3(int& mode, float step, float t, int n, std::array<int, 200>& counts, int& status,
               float& used, int at_start, std::array<float, 200>& pos);
void XCOUNT_3(float t, float& rate, float& used);
void SHUTTER_3(int open);
void GET_SHUTTER_STATUS_3(int& state);
void SEARCH_REFERENCE_MARKS_3(int& found);
void SET_FILTER_3(int n);
void SET_SLIT_3(char c);

// Pieces with no traffic of their own, kept apart so that they can be checked alone.
namespace sin10 {

// The step count of a position answer: the integer before the first ";".
bool decode_steps(const std::string& reply, long& steps);
// The one-digit field of a "^" or "]" answer (its first character); false when it is not a
// digit.
bool decode_digit(const std::string& reply, int& value);
// SENDH_3's verdict on an answer: true accepted, false to be sent again ("?", "$", "#", "!").
bool answer_accepted(const std::string& reply);
// The count in milliseconds for a requested time (at least 2, at most what the gate counter
// holds), and the card writes (port, byte) that program and start it.
int count_milliseconds(float seconds);
std::vector<std::pair<int, int>> count_program(int milliseconds);
// The count from the hold registers: x, y of counter 4 and u, v of counter 3, low byte first.
long long assemble_count(int x, int y, int u, int v);

}  // namespace sin10

}  // namespace dorvex
