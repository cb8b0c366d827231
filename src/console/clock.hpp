// Wall-clock helpers of the shell: the local time, the time of day in hundredths of a second,
// waits and the minute timer of step scans and photographs.
#pragma once

#include <string>

namespace dorvex {

struct LocalTime {
  int year = 0;    // four digits
  int month = 1;   // 1..12
  int day = 1;     // 1..31
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

LocalTime local_now();

// "06-DEC-26" (day, upper-case month abbreviation, two-digit year), independent of the locale.
std::string date_text(const LocalTime& t);
// The installation log's time stamp: "06-DEC-26  :14:10:13".
std::string log_time_stamp(const LocalTime& t);

// Time of day in hundredths of a second since midnight.
void GET_TIME(int& hundredths);
// Waits at least `milliseconds` (nothing for 0 or less).
void DELAY(int milliseconds);
// Flag 0 records the moment and returns 0; any other flag returns 1 once more than
// `minutes` minutes have passed since the recorded moment, else 0.
int ITIMER(int flag, int minutes);

}  // namespace dorvex
