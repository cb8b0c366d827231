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
// True (once) when the controller let an answer go by while the diffractometer was being
// stopped after a halt; that read ended the stop's sequence with the error flag set.
bool take_unanswered_stop();
// READ_STRING_PORT without reporting, for callers that report in their own words and may ask
// again. Returns 0 for a line (possibly empty), 1 when the controller did not answer in time,
// 2 when the link failed (`failure` then holds the transport's text), 3 when the operator
// halted the wait, or the controller did not answer while it was being stopped (the halt has
// been served and the error flag is set: nothing more to report).
int READ_STRING_PORT_QUIET(std::string& text, int& count, std::string& failure);
// The same with the whole answer bounded by `limit_ms` (1: no complete line in that time),
// also for the controllers whose answers are otherwise awaited without limit.
int READ_STRING_PORT_WITHIN(std::string& text, int& count, std::string& failure, int limit_ms);

}  // namespace dorvex
