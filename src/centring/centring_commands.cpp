#include "shell/commands.hpp"
#include "shell/output.hpp"

namespace dorvex {

void CNTR_COMMAND(int variant) { not_available(variant == 0 ? "CNTR" : "CENT"); }
void RUN_REFINE() { not_available("REF"); }
void RUN_ZREF() { not_available("ZREF"); }
void RUN_ZREF_MULTI() { not_available("ZREM"); }
void RUN_CEN8() { not_available("CEN8"); }
void RUN_SEARCH() { not_available("SRCH"); }
void PROFST() { not_available("PROF"); }
void RUN_CONE() { not_available("CONE"); }
void RUN_SCANHKL() { not_available("SCAN"); }
void PHOTO_SCAN() { not_available("PHOT"); }
void INPUT_PHOTO() { not_available("CALP"); }
void RUN_STEP() { not_available("STEP"); }

}  // namespace dorvex
