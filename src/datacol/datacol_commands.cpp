#include "shell/commands.hpp"
#include "shell/output.hpp"

namespace dorvex {

void RUN_INTEGR() { not_available("DC I"); }
void RUN_INTALL() { not_available("DC S"); }
void RUN_INTLIST() { not_available("DC L"); }
void RUN_PSI() { not_available("DC P"); }

}  // namespace dorvex
