// The option dialogues of SET. Each is called once to start (it shows the current values and
// asks) and then once for every typed answer in command_argument, until it sets
// continuation_code back to 0.
#pragma once

namespace dorvex {

void SET_TITLE();
// Leaves the SET dialogue in progress without taking its answers (the data form goes back to
// the parameters it found).
void CANCEL_SET();
void SET_WAVE();
void SET_CENTER();
void SET_DEVICE();
void SET_LOG();

}  // namespace dorvex
