#include "toolkit/halt_poll.hpp"

#include "toolkit/toolkit.hpp"

namespace dorvex {

bool HaltPoll::halted() {
  if (halted_) return true;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_look_) return false;
  next_look_ = now + std::chrono::milliseconds(50);
  halted_ = toolkit().halt_pending();
  return halted_;
}

}  // namespace dorvex
