// The back end in use, reached through toolkit(). Until main() installs one, a line console on
// standard input and output answers, so that a routine called from a unit test has a console.
#include "toolkit/toolkit.hpp"

#include <unistd.h>

#include "toolkit/backends.hpp"

namespace dorvex {

namespace {
std::unique_ptr<Toolkit>& current() {
  static std::unique_ptr<Toolkit> backend;
  return backend;
}
}  // namespace

Toolkit& toolkit() {
  auto& backend = current();
  if (!backend) backend = make_line_toolkit(STDIN_FILENO, STDOUT_FILENO);
  return *backend;
}

void set_toolkit(std::unique_ptr<Toolkit> backend) { current() = std::move(backend); }

}  // namespace dorvex
