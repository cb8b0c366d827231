// Factories of the two console back ends. Only the shell (which installs one at start-up) and
// toolkit/ include this.
#pragma once

#include <memory>

#include "toolkit/toolkit.hpp"

namespace dorvex {

// Line console on the given descriptors (standard input and output in the program).
std::unique_ptr<Toolkit> make_line_toolkit(int in_fd, int out_fd);
// Full-screen master window on the controlling terminal.
std::unique_ptr<Toolkit> make_tui_toolkit();

}  // namespace dorvex
