#include "shell/commands.hpp"
#include "shell/output.hpp"

namespace dorvex {

void DRIV_COMMAND() { not_available("DRIV"); }
void MOTORU() { not_available("MOT"); }
void ONBEAM_COMMAND() { not_available("OPSH"); }
void OFBEAM_COMMAND() { not_available("CLSH"); }
void STPALL_COMMAND() { not_available("HALT"); }
void MTINIT() { not_available("LDMT"); }
void DRIVE_LIST() { not_available("DVLS"); }
void ZERO_COMMAND() { not_available("ZERO"); }
void RUN_VIEW() { not_available("VIEW"); }
void READ_INTERFACE_COMMAND() { not_available("CPOS"); }
void PARK_COMMAND() { not_available("PARK"); }
void FILTER() { not_available("FILT"); }
void HALF_SLITS() { not_available("HALF"); }
void COUNTER() { not_available("COUN"); }
void DIRECT_COMM() { not_available("DCOM"); }
void RUN_DEMO() { not_available("DEMO"); }
void GOTO_ANGLES() { not_available("GOTO"); }
void SEARCH_REFERENCE() { not_available("FREF"); }

}  // namespace dorvex
