// The counter and shutter card of the SIN-10 installation: four byte-wide I/O ports at
// 300-303 (hexadecimal). Where the ports are reached is chosen at the first access:
// - DORVEX_IOCARD set: the Unix-domain socket it names, on which dorvex-sim serves a simulated
//   card (`dorvex --simulate` sets it);
// - otherwise the ports themselves through ioperm (x86 Linux, as root).
// When neither is possible the access is reported as an error and the caller's sequence ends.
#pragma once

#include <string>

namespace dorvex {

constexpr int kCardData = 0x300;           // counter data
constexpr int kCardCommand = 0x301;        // counter command (write) and status (read)
constexpr int kCardShutterStatus = 0x302;  // shutter state (read)
constexpr int kCardShutterControl = 0x303; // shutter control (write)

// Writes one byte to a card port; a failure is reported with ERRORLOG.
void CARD_OUT(int port, int value);
// Reads one byte from a card port, -1 after a failure reported with ERRORLOG.
int CARD_IN(int port);
// Forgets the connection to a simulated card (the next access connects again).
void CARD_RELEASE();

namespace iocard {
// The request line of the simulated card's protocol: "o 301 FF" (write), "i 302" (read).
std::string write_request(int port, int value);
std::string read_request(int port);
// The byte of an answer line ("FE"); false when the line is not one byte in hexadecimal.
bool decode_answer(const std::string& line, int& value);
}  // namespace iocard

}  // namespace dorvex
