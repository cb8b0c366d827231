// The P4 controller (interface type 6): bound to an inert placeholder until its driver is
// written.
#include "instrument/drivers/placeholder.hpp"

namespace dorvex {

const ControllerDriver& p4_driver() {
  static const ControllerDriver table = placeholder::Family<6>::table("P4");
  return table;
}

}  // namespace dorvex
