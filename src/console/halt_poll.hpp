// The operator's halt during a long computation (an indexing search, a refinement on a long
// list). The computation calls halted() between its steps and stops when it answers true.
#pragma once

#include <chrono>

namespace dorvex {

// Looking at the console costs a system call (and in the full-screen window a read of the
// keys), so the console is asked at most once every 50 ms, which still serves a halt within
// the 0.2 s an operator expects. Once the halt is seen the answer stays true.
class HaltPoll {
 public:
  bool halted();

 private:
  std::chrono::steady_clock::time_point next_look_{};
  bool halted_ = false;
};

}  // namespace dorvex
