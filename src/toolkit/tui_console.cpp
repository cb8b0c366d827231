// Full-screen master window. Until it is built, the line console serves in its place.
#include <unistd.h>

#include "toolkit/backends.hpp"

namespace dorvex {

std::unique_ptr<Toolkit> make_tui_toolkit() {
  return make_line_toolkit(STDIN_FILENO, STDOUT_FILENO);
}

}  // namespace dorvex
