// A listening Unix-domain socket at a path of the operator's choice, for the simulated
// counter card and the simulated clock.
#pragma once

#include <string>

namespace dorvex::sim {

// Listens on `path`: an old socket there is replaced, any other file is left alone. Returns
// the listening descriptor, or -1 with `error` naming `what` is served.
int listen_unix_socket(const std::string& path, const std::string& what, std::string& error);

}  // namespace dorvex::sim
