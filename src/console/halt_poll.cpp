#include "console/halt_poll.hpp"

#include "console/wait.hpp"

namespace dorvex {

bool HaltPoll::halted() {
  if (halted_) return true;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_look_) return false;
  next_look_ = now + std::chrono::milliseconds(50);
  halted_ = halt_pending();
  return halted_;
}

}  // namespace dorvex
