// How long the controller link waits, and which device it opens.
#pragma once

#include <string>

namespace dorvex {

// Per-character read bound of port type 1 when the profile gives no read timeout.
constexpr int kUnsetReadTimeoutMs = 10000;
// Slice of every wait for an answer, between looks for the operator's halt.
constexpr int kForeverSliceMs = 40;
// Wait for one answer after the operator's halt, while the diffractometer is being stopped.
constexpr int kStopAnswerMs = 100;

// The device of the controller link: --port, else DORVEX_COM<n>, else /dev/ttyS<n-1>.
std::string controller_device();
// Wait for one character of an answer, in milliseconds.
int link_read_timeout_ms();

}  // namespace dorvex
