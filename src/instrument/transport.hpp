// The serial link to the controller (POSIX termios for port types 1 and 2).
#pragma once

#include <string>

namespace dorvex {

void OPEN_COMMPORT();
void CLOSE_COMMPORT();
bool commport_open();
void SEND_STRING_PORT(const std::string& text, int count);
void READ_STRING_PORT(std::string& text, int& count);

// True when the last SEND_STRING_PORT did not get its characters out (whatever the error flag
// held before the call).
bool last_send_failed();
// Drops characters the controller sent that nobody read (a late answer after a timeout), so
// that they are not taken for the answer of the next question.
void DISCARD_PENDING_INPUT();
// READ_STRING_PORT without reporting, for callers that report in their own words and may ask
// again. Returns 0 for a line (possibly empty), 1 when the controller did not answer in time,
// 2 when the link failed; `failure` then holds the transport's text.
int READ_STRING_PORT_QUIET(std::string& text, int& count, std::string& failure);

}  // namespace dorvex
