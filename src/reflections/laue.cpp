#include "shell/commands.hpp"
#include "shell/output.hpp"

namespace dorvex {

void INSERT_LAUE() { not_available("INL"); }

}  // namespace dorvex
