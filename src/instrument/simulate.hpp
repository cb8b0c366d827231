// `dorvex --simulate`: the controller simulator started on a private pseudo-terminal.
#pragma once

#include <string>

namespace dorvex {

// Starts dorvex-sim for the profile's controller family with the given crystal file (empty:
// the bundled sample crystal); on success sets port_path to the link to open and returns true.
// On failure reports through ERRORLOG and returns false.
bool start_simulator(const std::string& crystal_file, std::string& port_path);
// Ends the simulator started above (at exit; also safe when none runs).
void stop_simulator();

}  // namespace dorvex
