#include "shell/commands.hpp"
#include "shell/output.hpp"

namespace dorvex {

void CNTR_COMMAND(int variant) { not_available(variant == 0 ? "CNTR" : "CENT"); }
void RUN_REFINE() { not_available("REF"); }
void RUN_ZREF() { not_available("ZREF"); }
void RUN_ZREF_MULTI() { not_available("ZREM"); }
void RUN_CEN8() { not_available("CEN8"); }
void RUN_SEARCH() { not_available("SRCH"); }
void RUN_CONE() { not_available("CONE"); }
void PHOTO_SCAN() { not_available("PHOT"); }

}  // namespace dorvex
