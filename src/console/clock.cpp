#include "console/clock.hpp"

#include <chrono>
#include <ctime>
#include <thread>

#include "common/fields.hpp"
#include "console/status.hpp"

namespace dorvex {

namespace {

constexpr const char* kMonths[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                     "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

std::string two_digits(int value) { return I(value / 10 % 10, 1) + I(value % 10, 1); }

struct TimerMark {
  int day = 0, hour = 0, minute = 0, second = 0;
  double instrument = 0;  // instrument seconds at the mark (a simulated instrument)
};
TimerMark timer_mark;

std::unique_ptr<InstrumentClock>& simulated_clock() {
  static std::unique_ptr<InstrumentClock> clock;
  return clock;
}

double wall_seconds() {
  using Clock = std::chrono::steady_clock;
  static const Clock::time_point start = Clock::now();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

LocalTime local_now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                          now.time_since_epoch()).count() % 1000;
  std::tm parts{};
  localtime_r(&seconds, &parts);
  LocalTime t;
  t.year = parts.tm_year + 1900;
  t.month = parts.tm_mon + 1;
  t.day = parts.tm_mday;
  t.hour = parts.tm_hour;
  t.minute = parts.tm_min;
  t.second = parts.tm_sec;
  t.millisecond = static_cast<int>(millis < 0 ? millis + 1000 : millis);
  return t;
}

std::string date_text(const LocalTime& t) {
  const int month = t.month >= 1 && t.month <= 12 ? t.month : 1;
  return two_digits(t.day) + "-" + kMonths[month - 1] + "-" + two_digits(t.year % 100);
}

std::string log_time_stamp(const LocalTime& t) {
  return date_text(t) + "  :" + two_digits(t.hour) + ":" + two_digits(t.minute) + ":" +
         two_digits(t.second);
}

std::string date_text() { return date_text(local_now()); }

std::string time_hhmm() {
  const LocalTime t = local_now();
  return two_digits(t.hour) + ":" + two_digits(t.minute);
}

void GET_TIME(int& hundredths) {
  const LocalTime t = local_now();
  hundredths = ((t.hour * 60 + t.minute) * 60 + t.second) * 100 + t.millisecond / 10;
}

void DELAY(int milliseconds) {
  if (milliseconds <= 0) return;
  // A monotonic clock: a change of the wall clock (or midnight) neither ends nor stretches it.
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

int ITIMER(int flag, int minutes) {
  const LocalTime t = local_now();
  if (flag == 0) {
    timer_mark = {t.day, t.hour, t.minute, t.second, instrument_seconds()};
    return 0;
  }
  // A photograph on a simulated instrument is timed by the instrument's clock, as its sweeps
  // are: at a faster time scale the exposure ends with them.
  if (instrument_clock_simulated())
    return instrument_seconds() - timer_mark.instrument > minutes * 60.0 ? 1 : 0;
  int elapsed_minutes = (t.hour - timer_mark.hour) * 60 + t.minute - timer_mark.minute;
  if (t.day != timer_mark.day) elapsed_minutes += 1440;
  const float elapsed = static_cast<float>(elapsed_minutes * 60 + t.second - timer_mark.second);
  return elapsed > static_cast<float>(minutes) * 60.0f ? 1 : 0;
}

void set_instrument_clock(std::unique_ptr<InstrumentClock> clock) {
  simulated_clock() = std::move(clock);
}

bool instrument_clock_simulated() { return simulated_clock() != nullptr; }

double instrument_seconds() {
  return simulated_clock() ? simulated_clock()->now() : wall_seconds();
}

double instrument_real_per_second() {
  return simulated_clock() ? simulated_clock()->real_per_instrument() : 1.0;
}

void instrument_skip(double seconds) {
  if (simulated_clock() && seconds > 0) simulated_clock()->skip(seconds);
}

std::string hms_text(double seconds) {
  const long s = seconds > 0 ? static_cast<long>(seconds + 0.5) : 0;
  return std::to_string(s / 3600) + ":" + two_digits(static_cast<int>(s / 60 % 60)) + ":" +
         two_digits(static_cast<int>(s % 60));
}

std::string hm_text(double seconds) {
  const long m = seconds > 0 ? static_cast<long>(seconds / 60.0 + 0.5) : 0;
  return std::to_string(m / 60) + ":" + two_digits(static_cast<int>(m % 60));
}

}  // namespace dorvex
