// libFuzzer target: the STADI4 driver's readers of controller answers on arbitrary bytes - the
// acknowledge rules of every exchange, the hexadecimal fields, the four-circle record of "PP"
// and the reference search, and the count lines of a scan. A controller with a fault or line
// noise can send anything; nothing may crash, and what is accepted must be sound.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "instrument/drivers/stadi4.hpp"

namespace {

using namespace dorvex::stadi4;

void check(bool ok) {
  if (!ok) std::abort();
}

bool hex_text(const std::string& s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

void acknowledge(const std::string& raw) {
  const std::string answer = strip_leading(raw);
  check(answer.empty() || (answer[0] >= 32 && answer[0] <= 126));
  for (const char* command : {"XX", "PP", "DR", "OS000001", "SS", "CK"}) {
    const int count = static_cast<int>(std::string(command).size());
    const Ack a = classify(command, count, answer);
    if (a.kind == Ack::limit) check(a.drive >= 1 && a.drive <= 4 && answer.rfind("IR", 0) == 0);
    if (a.kind == Ack::retry) check(!a.text.empty());
    if (a.kind == Ack::accept) check(answer.size() >= 4);
  }
}

void fields(const std::string& answer) {
  long v = 0;
  if (answer.size() >= 6) {
    const std::string field = answer.substr(0, 6);
    if (HEXTODEC_2(field, v)) {
      check(hex_text(field));
      check(v >= -16777215 + 145001 && v <= 145000);
      // What was read is written back the same way.
      check(DECTOHEX_2(v) == field || field == "FFFFFF");
    }
    if (hex_count(field, v)) check(v >= 0 && v <= 16777215);
  }
  std::array<long, 4> steps{};
  std::string bad;
  if (decode_four(answer, steps, bad)) {
    check(answer.size() == 24 && bad.empty());
    for (long s : steps) check(s >= -16777215 + 145001 && s <= 145000);
  } else if (!bad.empty()) {
    check(bad.size() == 6 && !hex_text(bad));
  }
  for (std::size_t expected : {6u, 12u, 18u, 24u}) {
    std::vector<long> counts;
    if (decode_counts(answer, expected, counts, bad)) {
      check(counts.size() == expected / 6);
      for (long c : counts) check(c >= 0);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string answer(reinterpret_cast<const char*>(data), size > 300 ? 300 : size);
  acknowledge(answer);
  fields(answer);
  fields(strip_leading(answer));
  return 0;
}
