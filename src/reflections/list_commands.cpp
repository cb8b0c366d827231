#include "shell/commands.hpp"
#include "shell/output.hpp"

namespace dorvex {

void DISPLAY_LIST() { not_available("LIST"); }
void INSERT_HKL() { not_available("INH"); }
void INSERT_ANGLES() { not_available("INA"); }
void INSERT_HKL_ANGLES() { not_available("IND"); }
void DELETE_LIST() { not_available("DEL"); }
void USE_LIST() { not_available("USE"); }
void OMIT_LIST() { not_available("OMIT"); }
void INDEX_LIST() { not_available("INDL"); }
void SORT_LIST() { not_available("SORT"); }

}  // namespace dorvex
