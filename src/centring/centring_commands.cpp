#include "shell/commands.hpp"
#include "shell/output.hpp"

namespace dorvex {

void RUN_ZREF_MULTI() { not_available("ZREM"); }

}  // namespace dorvex
