// libFuzzer target: the SMC driver's readers of controller answers on arbitrary bytes - the
// position answer of "?P", the axis states of "?S;", the shutter state of "?IO;" and the count
// list of "?CNT;" up to "CEND". A controller with a fault, line noise or a wrong baud rate can
// send anything; nothing may crash or step outside the tables, and what is accepted must be
// sound.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "instrument/drivers/smc.hpp"

namespace {

using namespace dorvex;

void check(bool ok) {
  if (!ok) std::abort();
}

void position(const std::string& answer) {
  float value = 12345.0f;
  if (smc::decode_position(answer, value)) check(!std::isnan(value));
}

void status(const std::string& answer, int axis_count) {
  // Axis digits 1..6 belong to motors 1..6; the others to none.
  const std::array<int, 10> map{0, 1, 2, 3, 4, 5, 6, 0, 0, 0};
  const smc::AxisStates s = smc::decode_status(answer, axis_count, map);
  check(s.axes_at_rest >= 0 && s.axes_at_rest <= axis_count);
  int motors_at_rest = 0;
  for (int r : s.rest) {
    check(r == 0 || r == 1);
    motors_at_rest += r;
  }
  check(motors_at_rest <= s.axes_at_rest);
  check(s.limit_motor >= 0 && s.limit_motor <= 10);
  if (s.limit) check(s.decoded);
}

void shutter(const std::string& answer) {
  int state = 5;
  std::string problem;
  if (smc::decode_shutter(answer, state, problem))
    check(state == 0 || state == 1);
  else
    check(state == 5 && !problem.empty());
}

void count_list(const std::string& answer, int family, int n) {
  smc::CountList list;
  std::size_t at = 0;
  bool ended = false;
  while (at <= answer.size() && !ended) {
    std::size_t end = answer.find('\n', at);
    if (end == std::string::npos) end = answer.size();
    ended = list.take(answer.substr(at, end - at));
    at = end + 1;
  }
  check(list.lines >= 0 && list.lines <= 201);
  std::array<int, 200> counts{};
  std::string problem;
  if (list.decode(family, n, counts, problem)) {
    check(n == list.lines && n <= 200);
    check(problem.empty());
  } else {
    check(!problem.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const int which = data[0] % 4;
  const int param = data[1];
  const std::string answer(reinterpret_cast<const char*>(data + 2), size - 2);
  switch (which) {
    case 0: position(answer); break;
    case 1: status(answer, param % 11); break;
    case 2: shutter(answer); break;
    default: count_list(answer, (param & 1) != 0 ? 7 : 1, param >> 1); break;
  }
  return 0;
}
