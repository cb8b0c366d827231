// libFuzzer target: the SIN-10 driver's readers of answers on arbitrary bytes - the step count
// of a position answer, the one-digit field of the motion and limit-switch answers, the verdict
// on complaints, and the byte of a simulated counter card's answer. Line noise or a controller
// in the wrong state can send anything; nothing may crash, and what is accepted must be sound.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "instrument/drivers/sin10.hpp"
#include "instrument/iocard.hpp"

namespace {

using namespace dorvex;

void check(bool ok) {
  if (!ok) std::abort();
}

void position(const std::string& answer) {
  long steps = 7;
  if (!sin10::decode_steps(answer, steps)) {
    check(steps == 7);  // a refused answer leaves the value alone
    return;
  }
  check(steps >= INT_MIN + 1L && steps <= INT_MAX);
  // The number accepted is the one written before the first ';'.
  const std::string head = answer.substr(0, answer.find(';'));
  const std::string digits = std::to_string(steps < 0 ? -steps : steps);
  check(head.find(digits) != std::string::npos);
}

void digit(const std::string& answer) {
  int value = -1;
  if (sin10::decode_digit(answer, value)) {
    check(value >= 0 && value <= 9);
    check(answer[0] == static_cast<char>('0' + value));
  } else {
    check(value == -1);
  }
}

void verdict(const std::string& answer) {
  const bool accepted = sin10::answer_accepted(answer);
  const bool complaint =
      !answer.empty() && std::string("?$#!").find(answer[0]) != std::string::npos;
  check(accepted != complaint);
}

void card_byte(const std::string& answer) {
  int value = -1;
  if (iocard::decode_answer(answer, value)) {
    check(value >= 0 && value <= 255);
    check(answer.size() == 2);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string answer(reinterpret_cast<const char*>(data), size);
  position(answer);
  digit(answer);
  verdict(answer);
  card_byte(answer);
  // The count from four bytes of the hold registers stays within 32 bits.
  if (size >= 4) {
    const long long c = sin10::assemble_count(data[0], data[1], data[2], data[3]);
    check(c >= 0 && c <= 0xFFFFFFFFLL);
  }
  return 0;
}
