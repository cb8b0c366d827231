// The waits that must notice the operator's halt: motor waits, counts, scans and reads of a
// controller that answers only when it is done. Every such wait looks for the halt here, so
// that one place decides what a halt is (the halt button, or Ctrl-C on the line console).
#pragma once

namespace dorvex {

// The window's timer while a motor wait, count or scan runs: a tick every 100 ms, switched
// back to its idle setting when the wait ends.
struct WaitTimer {
  WaitTimer();
  ~WaitTimer();
  WaitTimer(const WaitTimer&) = delete;
  WaitTimer& operator=(const WaitTimer&) = delete;
};

// What ended a pause of a wait: a tick of the wait timer, the operator's halt, the end of
// window events (the line console's input ended; the wait must pace itself from then on), or
// any other event (a typed line), which the wait ignores.
enum class WaitEvent { tick, halt, closed, other };

// Blocks until the next window event.
WaitEvent next_wait_event();
// Looks for a pending halt without blocking and without taking a typed line.
bool halt_pending();

}  // namespace dorvex
