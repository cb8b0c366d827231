// Instrument operations not yet built; each definition here is removed when its real one lands.
#include "instrument/simulate.hpp"
#include "shell/output.hpp"

namespace dorvex {

bool start_simulator(const std::string&, std::string&) {
  ERRORLOG("The controller simulator is not available in this build");
  return false;
}
void stop_simulator() {}

}  // namespace dorvex
