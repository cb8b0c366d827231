// libFuzzer target: the P4 driver's readers of controller answers on arbitrary bytes - the
// status answer of "U0,0" (four F10.6 angles, two I5 status words) and the count that ends a
// count. A controller with a fault, line noise or a wrong baud rate can send anything; nothing
// may crash, and what is accepted must be sound: finite angles that fit their fields, status
// words of five digits, a finite count, and readings taken into a turn that stays one.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "instrument/drivers/p4.hpp"

namespace {

using namespace dorvex;

void check(bool ok) {
  if (!ok) std::abort();
}

void status(const std::string& answer) {
  const auto s = p4::decode_status(answer);
  if (!s) return;
  check(answer.size() >= 55);
  for (double a : s->angle) {
    check(std::isfinite(a));
    check(std::fabs(a) <= 360.0);  // within one turn
    const float signed_a = p4::signed_angle(static_cast<float>(a));
    check(!(signed_a > 180.0f));
    // Taken in the turn of a known angle, a reading moves by whole turns only.
    for (float known : {-190.0f, 0.0f, 270.0f, 1.0e9f}) {
      const float t = p4::nearest_turn(signed_a, known);
      check(std::isfinite(t));
      const float turns = (t - signed_a) / 360.0f;
      check(std::fabs(turns - std::round(turns)) < 1.0e-3f);
    }
  }
  check(s->word1 > -10000 && s->word1 < 100000);
  check(s->word2 > -10000 && s->word2 < 100000);
}

void count(const std::string& answer) {
  const auto c = p4::decode_count(answer);
  if (c) check(std::isfinite(*c));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string answer(reinterpret_cast<const char*>(data), size);
  status(answer);
  count(answer);
  // The same bytes behind a well-formed head, so the status words and the later fields are
  // reached often.
  status("  5.000000   2.500000   0.000000 350.000000 " + answer);
  if (size >= 4) {
    float t = 0.0f;
    static_assert(sizeof t == 4);
    __builtin_memcpy(&t, data, 4);
    const float used = p4::count_time(t);
    check(used >= 0.25f && used <= 99.99f);
  }
  return 0;
}
