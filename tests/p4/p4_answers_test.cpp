// The P4 driver's readers of controller answers and its counting time, on answers written out
// here column by column.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "instrument/drivers/p4.hpp"

using namespace dorvex;

namespace {

// Four F10.6 fields each followed by a blank, then I5, a blank, I5.
std::string status_answer(double tth, double om, double phi, double chi, int w1, int w2) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%10.6f %10.6f %10.6f %10.6f %5d %5d", tth, om, phi, chi,
                w1, w2);
  return buffer;
}

TEST(P4Answers, StatusAnswerIsReadByColumnsWithPhiBeforeChi) {
  const std::string a = status_answer(350.0, 2.5, 123.456789, 45.0, 32769, 7);
  ASSERT_EQ(a.size(), 55u);
  const auto s = p4::decode_status(a);
  ASSERT_TRUE(s);
  EXPECT_DOUBLE_EQ(s->angle[0], 350.0);
  EXPECT_DOUBLE_EQ(s->angle[1], 2.5);
  EXPECT_DOUBLE_EQ(s->angle[2], 123.456789);  // phi
  EXPECT_DOUBLE_EQ(s->angle[3], 45.0);        // chi
  EXPECT_EQ(s->word1, 32769);  // odd: a limit switch; above 32768: the shutter open
  EXPECT_EQ(s->word2, 7);
  EXPECT_FLOAT_EQ(p4::signed_angle(350.0f), -10.0f);
  EXPECT_FLOAT_EQ(p4::signed_angle(180.0f), 180.0f);
}

TEST(P4Answers, ShortOrUnreadableStatusAnswersAreNotTaken) {
  const std::string a = status_answer(5.0, 2.5, 0.0, 0.0, 2, 0);
  EXPECT_FALSE(p4::decode_status(a.substr(0, 54)));
  std::string bad = a;
  bad[3] = '#';
  EXPECT_FALSE(p4::decode_status(bad));
  bad = a;
  bad[46] = 'x';
  EXPECT_FALSE(p4::decode_status(bad));
  // More than a turn is line noise, not a circle of this controller.
  EXPECT_FALSE(p4::decode_status(status_answer(400.0, 2.5, 0.0, 0.0, 2, 0)));
}

TEST(P4Answers, CountIsTheFirstNumberOfTheAnswer) {
  EXPECT_DOUBLE_EQ(*p4::decode_count("     123"), 123.0);
  EXPECT_DOUBLE_EQ(*p4::decode_count("42, 7"), 42.0);
  EXPECT_FALSE(p4::decode_count(""));
  EXPECT_FALSE(p4::decode_count("#2#4#"));
}

TEST(P4Answers, CountingTimeIsHundredthsOfASecondFromAQuarterUpToWhatTheCommandHolds) {
  EXPECT_FLOAT_EQ(p4::count_time(0.1f), 0.25f);
  EXPECT_FLOAT_EQ(p4::count_time(0.0f), 0.25f);
  EXPECT_FLOAT_EQ(p4::count_time(2.004f), 2.0f);
  EXPECT_FLOAT_EQ(p4::count_time(2.006f), 2.01f);
  EXPECT_FLOAT_EQ(p4::count_time(150.0f), 99.99f);
}

TEST(P4Answers, FreeCircleReadingIsTakenInTheTurnOfTheKnownAngle) {
  EXPECT_FLOAT_EQ(p4::nearest_turn(170.0f, -190.0f), -190.0f);
  EXPECT_FLOAT_EQ(p4::nearest_turn(-90.0f, 270.0f), 270.0f);
  EXPECT_FLOAT_EQ(p4::nearest_turn(-170.0f, -165.0f), -170.0f);
  EXPECT_FLOAT_EQ(p4::nearest_turn(10.0f, 725.0f), 730.0f);
}

}  // namespace
