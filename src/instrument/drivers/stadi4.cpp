// The STADI4 controller (interface type 2): bound to an inert placeholder until its driver is
// written.
#include "instrument/drivers/placeholder.hpp"

namespace dorvex {

const ControllerDriver& stadi4_driver() {
  static const ControllerDriver table = placeholder::Family<2>::table("STADI4");
  return table;
}

}  // namespace dorvex
