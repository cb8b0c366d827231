// Wall-clock helpers of the shell: the local time, the time of day in hundredths of a second,
// waits and the minute timer of step scans and photographs.
#pragma once

#include <memory>
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

// The instrument's clock: how long the diffractometer has been at work, in seconds. On a real
// instrument it is the wall clock. Under --simulate it is the simulator's own clock, which runs
// at the simulator's time scale (0: moves and counts end at once), so that the times of
// commands and the estimates made from them are those of a real instrument at any scale.
class InstrumentClock {
 public:
  virtual ~InstrumentClock() = default;
  virtual double now() = 0;
  // Real seconds per instrument second of a wait the program makes itself (a shutter delay,
  // the counting time of STEP): 1 on a real instrument, 1/scale under a simulator running
  // faster, 0 when the simulator's clock does not run by itself (time scale 0).
  virtual double real_per_instrument() = 0;
  // A wait of the program that took no real time moves the clock on (time scale 0).
  virtual void skip(double seconds) = 0;
};

// Installs the clock of a simulated instrument; nullptr goes back to the wall clock.
void set_instrument_clock(std::unique_ptr<InstrumentClock> clock);
bool instrument_clock_simulated();
double instrument_seconds();
double instrument_real_per_second();
void instrument_skip(double seconds);

// A duration as "h:mm:ss" (seconds rounded) and as "h:mm" (minutes rounded).
std::string hms_text(double seconds);
std::string hm_text(double seconds);

}  // namespace dorvex
