// The SIN-10 controller (interface type 3): bound to an inert placeholder until its driver is
// written.
#include "instrument/drivers/placeholder.hpp"

namespace dorvex {

const ControllerDriver& sin10_driver() {
  static const ControllerDriver table = placeholder::Family<3>::table("SIN-10");
  return table;
}

}  // namespace dorvex
