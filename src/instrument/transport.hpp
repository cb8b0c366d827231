// The serial link to the controller (POSIX termios for port types 1 and 2).
#pragma once

#include <string>

namespace dorvex {

void OPEN_COMMPORT();
void CLOSE_COMMPORT();
bool commport_open();
void SEND_STRING_PORT(const std::string& text, int count);
void READ_STRING_PORT(std::string& text, int& count);

}  // namespace dorvex
