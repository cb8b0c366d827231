#include "shell/commands.hpp"
#include "shell/output.hpp"

namespace dorvex {

void LSQ_COMMAND() { not_available("LSQ"); }
void RUN_LSVEC() { not_available("CLSQ"); }
void RUN_TRANS() { not_available("TRAN"); }
void INDXC() { not_available("INDC"); }
void RUN_TTHREFINE() { not_available("TLSQ"); }

}  // namespace dorvex
