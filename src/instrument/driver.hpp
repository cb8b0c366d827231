// The controller operations of one controller family, as bound by the interface type. The
// dispatch in controller.cpp forwards every operation to the table of the profile's type;
// a type without a table (0, 4, 5, 8 and above) makes every operation inert.
#pragma once

#include <array>
#include <string>

namespace dorvex {

struct ControllerDriver {
  const char* family;
  void (*SENDH)(const std::string& command, int count, std::string& reply, int& reply_length);
  void (*WAKE_MOTORS)();
  void (*INIT_MOTORS)();
  void (*READ_MOTOR_INTERFACE)(int motor, int& status, float& value, std::string& message);
  void (*READ_ALL_MOTOR_INTERFACE)(std::array<float, 4>& values, int& status, std::string& message);
  void (*LOAD_MOTOR_INTERFACE)(int motor, float value);
  void (*CHECK_LIMITS)();
  void (*DRIVE_MOTOR)(int motor, float target, float distance);
  void (*DRIVE_MOTOR_ALL)();
  void (*WAIT_MOTOR)(int motor, int& busy);
  void (*WAIT)();
  void (*STOP_ALL)();
  void (*FINISH)();
  void (*RUNSCAN)(int& mode, float step, float count_time, int steps, std::array<int, 200>& counts,
                  int& status, float& time_used, int at_start, std::array<float, 200>& positions);
  void (*XCOUNT)(float count_time, float& rate, float& time_used);
  void (*SHUTTER)(int open);
  void (*GET_SHUTTER_STATUS)(int& state);
  void (*SEARCH_REFERENCE_MARKS)(int& found);
  void (*SET_FILTER)(int filter);
  void (*SET_SLIT)(char code);
};

// The tables of the controller families (drivers/).
const ControllerDriver& smc9000_driver();  // type 1
const ControllerDriver& smc9300_driver();  // type 7
const ControllerDriver& stadi4_driver();   // type 2
const ControllerDriver& sin10_driver();    // type 3
const ControllerDriver& p4_driver();       // type 6

// The table for an interface type, or nullptr for the inert types.
const ControllerDriver* driver_for(int interface_type);

}  // namespace dorvex
