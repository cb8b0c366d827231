// The data-collection parameters dialog (SET DATA).
#pragma once

namespace dorvex {

// One step of the dialogue: the first call (nothing asked yet) opens it; each later call takes
// the typed line in S().shell.command_argument. Clears continuation_code when it has ended.
void RUN_DATA_DIALOG();
// Leaves an open dialogue: every parameter goes back to what it was when the form opened.
void CANCEL_DATA_DIALOG();

}  // namespace dorvex
