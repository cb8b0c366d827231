// Instrument operations not yet built; each definition here is removed when its real one lands.
#include "instrument/controller.hpp"
#include "instrument/motion.hpp"
#include "instrument/transport.hpp"
#include "shell/output.hpp"

namespace dorvex {

void SENDH(const std::string&, int, std::string& reply, int& n) { reply.clear(); n = 0; }
void WAKE_MOTORS() {}
void INIT_MOTORS() {}
void READ_MOTOR_INTERFACE(int, int& status, float&, std::string&) { status = 1; }
void READ_ALL_MOTOR_INTERFACE(std::array<float, 4>&, int& status, std::string&) { status = 1; }
void LOAD_MOTOR_INTERFACE(int, float) {}
void CHECK_LIMITS() {}
void DRIVE_MOTOR(int, float, float) {}
void DRIVE_MOTOR_ALL() {}
void WAIT_MOTOR(int, int& busy) { busy = 0; }
void WAIT() {}
void STOP_ALL() {}
void FINISH() {}
void RUNSCAN(int&, float, float, int, std::array<int, 200>&, int& status, float&, int,
             std::array<float, 200>&) { status = 1; }
void XCOUNT(float, float& rate, float& used) { rate = 0; used = 0; }
void SHUTTER(int) {}
void GET_SHUTTER_STATUS(int& state) { state = 0; }
void SEARCH_REFERENCE_MARKS(int& found) { found = 1; }
void SET_FILTER(int) {}
void SET_SLIT(char) {}
void READ_INTERFACE() {}
float R_ANGLE(float angle, int) { return angle; }
float CNVSTEP(int, int steps) { return static_cast<float>(steps); }
int JFORMAT(int) { return 1; }

void RDMTR(int, float& value) { value = 0; }
void RDALLMTR(AngleSet& a) { a = {}; }
void DRIVE(int, float, float, int, int& status) { status = 0; }
void DRIVEP(int, int& status) { status = 0; }
void WRAP(int, float) {}
void SLIT_DRIVE(int, float, int& status) { status = 0; }
void LDMTR(int, float) {}
void WTMTR(int) {}
void STPALL() {}
void ZERO() {}
void PARK() {}
void CHECK_PARK() {}
void ONBEAM() {}
void OFBEAM() {}
int SHUTTER_STATUS() { return 0; }
void invalidate_all_positions() {}

void OPEN_COMMPORT() { ERRORLOG("The controller link is not available in this build"); }
void CLOSE_COMMPORT() {}
bool commport_open() { return false; }
void SEND_STRING_PORT(const std::string&, int) {}
void READ_STRING_PORT(std::string& text, int& count) { text.clear(); count = 0; }

}  // namespace dorvex

#include "instrument/simulate.hpp"

namespace dorvex {

bool start_simulator(const std::string&, std::string&) {
  ERRORLOG("The controller simulator is not available in this build");
  return false;
}
void stop_simulator() {}

}  // namespace dorvex
