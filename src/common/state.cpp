#include "common/state.hpp"

namespace dorvex {

namespace {
ProgramState program_state;
}

ProgramState& S() { return program_state; }

void reset_program_state() { program_state = ProgramState{}; }

}  // namespace dorvex
