// The SMC9000 (interface type 1) and SMC9300 (type 7) motor and counter controllers. Both take
// short ASCII commands ending in ";" and run small downloaded programs for counting and step
// scans; the two share every routine except where noted.
#pragma once

#include <array>
#include <string>

namespace dorvex {

// The operations of each type (the ControllerDriver tables of smc9000_driver and
// smc9300_driver are made of these).
#define DORVEX_SMC_DECLARATIONS(T)                                                               \
  void SENDH_##T(const std::string& command, int count, std::string& reply, int& length);     \
  void WAKE_MOTORS_##T();                                                                      \
  void INIT_MOTORS_##T();                                                                      \
  void READ_MOTOR_INTERFACE_##T(int m, int& status, float& value, std::string& message);      \
  void READ_ALL_MOTOR_INTERFACE_##T(std::array<float, 4>& values, int& status,                \
                                    std::string& message);                                    \
  void LOAD_MOTOR_INTERFACE_##T(int m, float x);                                               \
  void CHECK_LIMITS_##T();                                                                     \
  void DRIVE_MOTOR_##T(int m, float x, float d);                                               \
  void DRIVE_MOTOR_ALL_##T();                                                                  \
  void WAIT_MOTOR_##T(int m, int& busy);                                                       \
  void WAIT_##T();                                                                             \
  void STOP_ALL_##T();                                                                         \
  void FINISH_##T();                                                                           \
  void RUNSCAN_##T(int& mode, float step, float t, int n, std::array<int, 200>& counts,        \
                   int& status, float& used, int at_start, std::array<float, 200>& pos);      \
  void XCOUNT_##T(float t, float& rate, float& used);                                          \
  void SHUTTER_##T(int open);                                                                  \
  void GET_SHUTTER_STATUS_##T(int& state);                                                     \
  void SEARCH_REFERENCE_MARKS_##T(int& found);                                                 \
  void SET_FILTER_##T(int n);                                                                  \
  void SET_SLIT_##T(char c);

DORVEX_SMC_DECLARATIONS(1)
DORVEX_SMC_DECLARATIONS(7)
#undef DORVEX_SMC_DECLARATIONS

// Pieces with no traffic of their own, kept apart so that they can be checked alone.
namespace smc {

// A REAL in a command: four decimals, just as wide as needed ("-0.5000", "12.3456").
std::string fixed4(float x);
// The absolute move of LOAD_DRIVE for motor m to controller position x over distance d
// (d < 0: |d| is a speed in degrees per minute). `family` is 1 or 7.
std::string drive_command(int family, int motor, float x, float d);
// Time per step a scan counts for (SET_COUNTTIME_1 / SET_COUNTTIME_7).
float count_time(int family, float requested);
// The position in a "?P" answer: the signed number before "mm;" or "deg;".
bool decode_position(const std::string& reply, float& value);
// One axis state of a "?S;" answer: 0 moving, 1 at rest, 2 limit switch active.
int decode_axis_state(int status);
// Half-slit code of a letter (T 4, B 1, L 3, R 2, O 0; -1 for any other letter).
int half_slit_code(char letter);

// A "?S;" answer: one "<axis>:<status>;" field per controller axis, in the controller's order.
struct AxisStates {
  bool decoded = false;           // false: a field could not be decoded
  int axes_at_rest = 0;           // controller axes at rest
  std::array<int, 11> rest{};     // per motor 1..10: 1 at rest
  bool limit = false;             // a limit switch is active (decoding stopped there)
  int limit_motor = 0;            // its motor (0 when no motor owns the axis)
};
AxisStates decode_status(const std::string& reply, int axis_count,
                         const std::array<int, 10>& axis_motor);

// A "?IO;" answer: true with the state (0 closed, 1 open), else false with the warning text.
bool decode_shutter(const std::string& reply, int& state, std::string& problem);

// The lines of a "?CNT;" answer, up to the "CEND" line.
struct CountList {
  std::array<std::string, 200> slot;  // first five characters of each count line
  int lines = 0;                      // count lines taken (201: more than the memory holds)
  // Takes one answer line; true when the list has ended (CEND, or too many lines).
  bool take(const std::string& line);
  // The first n counts, each checked; false with the warning text.
  bool decode(int family, int n, std::array<int, 200>& counts, std::string& problem) const;
};

}  // namespace smc

}  // namespace dorvex
