// The STADI4 controller (interface type 2). It takes fixed-length ASCII records: a two-letter
// command, for some commands followed by six-digit hexadecimal fields, and acknowledges every
// command with "IR" and two characters. Positions and step widths travel as motor steps. Only
// the four circles are known to it.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace dorvex {

void SENDH_2(const std::string& command, int count, std::string& reply, int& length);
void WAKE_MOTORS_2();
void INIT_MOTORS_2();
void READ_MOTOR_INTERFACE_2(int m, int& status, float& value, std::string& message);
void READ_ALL_MOTOR_INTERFACE_2(std::array<float, 4>& values, int& status, std::string& message);
void LOAD_MOTOR_INTERFACE_2(int m, float x);
void CHECK_LIMITS_2();
void DRIVE_MOTOR_2(int m, float x, float d);
void DRIVE_MOTOR_ALL_2();
void WAIT_MOTOR_2(int m, int& busy);
void WAIT_2();
void STOP_ALL_2();
void FINISH_2();
void RUNSCAN_2(int& mode, float step, float t, int n, std::array<int, 200>& counts, int& status,
               float& used, int at_start, std::array<float, 200>& positions);
void XCOUNT_2(float t, float& rate, float& used);
void SHUTTER_2(int open);
void GET_SHUTTER_STATUS_2(int& state);
void SEARCH_REFERENCE_MARKS_2(int& found);
void SET_FILTER_2(int n);
void SET_SLIT_2(char c);

// The pieces without traffic, kept apart so that they can be checked alone.
namespace stadi4 {

// Six hexadecimal digits, most significant first; a negative n is written as n + FFFFFF.
std::string DECTOHEX_2(long n);
// Six characters back into an integer; above 145000 the value is a negative one written as
// n + FFFFFF. False when a character is not 0-9 or A-F (or the field is not six long).
bool HEXTODEC_2(const std::string& field, long& value);
// A count never is negative: the same digits read without the negative rule.
bool hex_count(const std::string& field, long& value);

// The answer with the leading characters outside the printable range removed.
std::string strip_leading(const std::string& answer);

// What SENDH_2 makes of one answer to `command` (its first `count` characters).
struct Ack {
  enum Kind { accept, retry, limit } kind = retry;
  int drive = 0;      // limit: the drive (1 to 4) whose switch is active
  std::string text;   // retry: the warning
};
Ack classify(const std::string& command, int count, const std::string& answer);

// The 38-character scan record: "SV", count time in hundredths, steps, step widths in motor
// steps of TH, OM, CH, PH.
std::string scan_record(long hundredths, long steps, const std::array<long, 4>& widths);
// Count time of XCOUNT_2 and of a scan: hundredths of a second within 0.1 .. 320 s.
long count_hundredths(float seconds);

// Four six-digit fields (TH, OM, CH, PH) of a 24-character answer. False with the field that
// is not hexadecimal.
bool decode_four(const std::string& answer, std::array<long, 4>& steps, std::string& bad);
// One line of counts: `expected` characters, six per count. False with the bad field, or an
// empty `bad` when the length is wrong.
bool decode_counts(const std::string& answer, std::size_t expected, std::vector<long>& counts,
                   std::string& bad);

}  // namespace stadi4

}  // namespace dorvex
