// The SIN-10 answer readers on answers the simulator never gives: signs, blanks, junk and
// numbers too large for a step count.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "instrument/drivers/sin10.hpp"
#include "instrument/iocard.hpp"

using namespace dorvex;

TEST(Sin10Answers, StepCountsAreTheIntegerBeforeTheFirstSemicolon) {
  long steps = 0;
  const std::vector<std::pair<std::string, long>> good = {
      {"1000;", 1000}, {" -1500 ;", -1500}, {"+7;X;", 7},
      {"0;", 0},       {"-2147483647;", -2147483647L}};
  for (const auto& [text, value] : good) {
    steps = 99;
    EXPECT_TRUE(sin10::decode_steps(text, steps)) << text;
    EXPECT_EQ(steps, value) << text;
  }
  for (const char* bad : {"1000", "A:1000;", ";", "12 3;", "1.5;", "99999999999;", "--1;", "$"}) {
    steps = 99;
    EXPECT_FALSE(sin10::decode_steps(bad, steps)) << bad;
    EXPECT_EQ(steps, 99) << bad;
  }
}

TEST(Sin10Answers, OneDigitFieldsComplaintsAndCardBytes) {
  int v = -1;
  EXPECT_TRUE(sin10::decode_digit("0", v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(sin10::decode_digit("2 limit", v));
  EXPECT_EQ(v, 2);
  EXPECT_FALSE(sin10::decode_digit("", v));
  EXPECT_FALSE(sin10::decode_digit(" 1", v));
  for (const char* complaint : {"?", "$", "#x", "!"})
    EXPECT_FALSE(sin10::answer_accepted(complaint)) << complaint;
  for (const char* fine : {"*", "", "1000;", "ABCDEF", "A?"})
    EXPECT_TRUE(sin10::answer_accepted(fine)) << fine;
  EXPECT_TRUE(iocard::decode_answer("fe", v));
  EXPECT_EQ(v, 254);
  EXPECT_FALSE(iocard::decode_answer("FEE", v));
  EXPECT_FALSE(iocard::decode_answer("G0", v));
  EXPECT_EQ(iocard::write_request(0x303, 1), "o 303 01\n");
  // y x v u: counter 4 high and low byte, counter 3 high and low byte.
  EXPECT_EQ(sin10::assemble_count(0x34, 0x12, 0x78, 0x56), 0x12345678LL);
}
