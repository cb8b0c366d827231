#include "family.hpp"

namespace dorvex::sim {

std::unique_ptr<ControllerFamily> make_family(const std::string& name, Instrument& instrument,
                                              NoteSink note) {
  if (name == "smc9000" || name == "smc9300")
    return make_smc_family(name == "smc9300", instrument, std::move(note));
  if (name == "sin10") return make_sin10_family(instrument, std::move(note));
  if (name == "p4") return make_p4_family(instrument, std::move(note));
  if (name == "stadi4") return make_stadi4_family(instrument, std::move(note));
  return nullptr;
}

// Interface types of the profile's CONTROL line; 2 (STADI4), 3 (SIN-10) and 6 (P4) have no
// simulated controller yet.
std::string family_for_interface(int interface_type) {
  switch (interface_type) {
    case 1: return "smc9000";
    case 2: return "stadi4";
    case 3: return "sin10";
    case 6: return "p4";
    case 7: return "smc9300";
    default: return "";
  }
}

}  // namespace dorvex::sim
