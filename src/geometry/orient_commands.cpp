#include "shell/commands.hpp"
#include "shell/output.hpp"

namespace dorvex {

void GETCELL() { not_available("CELL"); }
void ENTOM() { not_available("OM"); }
void RUN_CALCOM() { not_available("COM"); }
void ANGCAL() { not_available("CALC"); }
void GETIDX() { not_available("INDX"); }
void UBIMPORT() { not_available("UBIM"); }
void UBEXPORT() { not_available("UBEX"); }
void ANGLETABLE() { not_available("ANGL"); }

}  // namespace dorvex
