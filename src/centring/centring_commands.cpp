#include "shell/commands.hpp"
#include "shell/output.hpp"

namespace dorvex {

void RUN_ZREF() { not_available("ZREF"); }
void RUN_ZREF_MULTI() { not_available("ZREM"); }
void RUN_CEN8() { not_available("CEN8"); }

}  // namespace dorvex
