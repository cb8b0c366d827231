#include "shell/commands.hpp"
#include "shell/output.hpp"

namespace dorvex {

void RUN_SET() { not_available("SET"); }
void SHOW() { not_available("SHOW"); }
void DISPLAY_UB() { not_available("PROM"); }
void PRINT_MATRICES() { not_available("PMAT"); }

}  // namespace dorvex
