#include "console/wait.hpp"

#include "toolkit/toolkit.hpp"

namespace dorvex {

// Interval in units of 10 ms: 10 with the timer callback while waiting, 50 with none after.
WaitTimer::WaitTimer() { toolkit().define_timer(10, CB_TIMER); }
WaitTimer::~WaitTimer() { toolkit().define_timer(50, 0); }

WaitEvent next_wait_event() {
  switch (toolkit().action()) {
    case CB_TIMER:
      return WaitEvent::tick;
    case CB_HALT:
      return WaitEvent::halt;
    case CB_CLOSED:
      return WaitEvent::closed;
    default:
      return WaitEvent::other;
  }
}

bool halt_pending() { return toolkit().halt_pending(); }

}  // namespace dorvex
