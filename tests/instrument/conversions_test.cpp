// Degree/step conversions, the SMC command texts and answer decoders, and the inert interface
// types.
#include <gtest/gtest.h>

#include "common/state.hpp"
#include "instrument/controller.hpp"
#include "instrument/drivers/smc.hpp"

using namespace dorvex;

namespace {

class Conversions : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_program_state();
    auto& m = S().profile.motor;
    m[1].steps_per_degree = 1000;
    m[1].axis = '1';
    m[1].p = {20000, 100, 5000, 500};
    m[3].steps_per_degree = 3;
    m[3].axis = '3';
  }
  void TearDown() override { reset_program_state(); }
};

TEST_F(Conversions, JformatCountsDigitsAndSign) {
  EXPECT_EQ(JFORMAT(0), 1);
  EXPECT_EQ(JFORMAT(-7), 2);
  EXPECT_EQ(JFORMAT(1000), 4);
  EXPECT_EQ(JFORMAT(-2147483647), 11);
}

TEST_F(Conversions, RangleRoundsToWholeStepsHalfAwayFromZero) {
  EXPECT_FLOAT_EQ(R_ANGLE(12.34567f, 1), 12.346f);
  EXPECT_FLOAT_EQ(R_ANGLE(0.5f, 3), 2.0f / 3.0f);    // 1.5 steps -> 2
  EXPECT_FLOAT_EQ(R_ANGLE(-0.5f, 3), -2.0f / 3.0f);  // -1.5 steps -> -2
}

TEST_F(Conversions, CnvstepKeepsLargeCountsAndIsOdd) {
  EXPECT_FLOAT_EQ(CNVSTEP(3, 1000001), 333333.6667f);
  for (int steps : {1, 7, 2999, 1000001}) EXPECT_FLOAT_EQ(CNVSTEP(3, -steps), -CNVSTEP(3, steps));
}

TEST_F(Conversions, DriveCommandFormsBySize) {
  EXPECT_EQ(smc::drive_command(1, 1, 12.5f, 0.5f), "1:A12.5000S1000;");
  EXPECT_EQ(smc::drive_command(1, 1, -0.5f, 2.0f), "1:A-0.5000S500L5000B500;");
  EXPECT_EQ(smc::drive_command(1, 1, 30.0f, 10.0f), "1:A30.0000S500L20000B100;");
  EXPECT_EQ(smc::drive_command(1, 1, 30.0f, -6.0f), "1:A30.0000S500L100B10;");
  EXPECT_EQ(smc::drive_command(7, 1, 30.0f, 10.0f), "1:A30.0000S500R20000A100;");
  EXPECT_EQ(smc::drive_command(7, 1, 30.0f, 0.2f), "1:A30.0000S500R500A100;");
  EXPECT_EQ(smc::drive_command(7, 1, 30.0f, -6.0f), "1:A30.0000S500R100A10;");
}

TEST_F(Conversions, ScanCountTimes) {
  EXPECT_FLOAT_EQ(smc::count_time(1, 1.0f), 1.0f);
  EXPECT_FLOAT_EQ(smc::count_time(1, 0.3f), 0.2f);
  EXPECT_FLOAT_EQ(smc::count_time(1, 4.0f), 5.0f);
  EXPECT_FLOAT_EQ(smc::count_time(1, 0.04f), 0.05f);
  EXPECT_FLOAT_EQ(smc::count_time(7, 1.0f), 1.1f);
  EXPECT_FLOAT_EQ(smc::count_time(7, 0.34f), 0.4f);
}

TEST_F(Conversions, PositionAnswers) {
  float v = 0;
  EXPECT_TRUE(smc::decode_position("+12.3456deg;", v));
  EXPECT_FLOAT_EQ(v, 12.3456f);
  EXPECT_TRUE(smc::decode_position("5:-0.5000mm;", v));
  EXPECT_FLOAT_EQ(v, -0.5f);
  EXPECT_FALSE(smc::decode_position("+12.3456", v));
  EXPECT_FALSE(smc::decode_position("#1#.#4#6#e#;", v));
}

TEST_F(Conversions, AxisStatesAndHalfSlits) {
  EXPECT_EQ(smc::decode_axis_state(9), 2);
  EXPECT_EQ(smc::decode_axis_state(5), 2);
  EXPECT_EQ(smc::decode_axis_state(1), 1);
  EXPECT_EQ(smc::decode_axis_state(3), 1);
  EXPECT_EQ(smc::decode_axis_state(2), 0);
  EXPECT_EQ(smc::decode_axis_state(129), 1);
  EXPECT_EQ(smc::half_slit_code('t'), 4);
  EXPECT_EQ(smc::half_slit_code('O'), 0);
  EXPECT_EQ(smc::half_slit_code('x'), -1);
}

TEST_F(Conversions, StatusAnswers) {
  std::array<int, 10> map{0, 1, 2, 3};  // axes 1..3 are motors 1..3
  auto st = smc::decode_status("1:1;2:2;3:3;", 3, map);
  EXPECT_TRUE(st.decoded);
  EXPECT_EQ(st.axes_at_rest, 2);
  EXPECT_EQ(st.rest[1], 1);
  EXPECT_EQ(st.rest[2], 0);
  // The limit switch is reported where it is met, whatever follows it.
  st = smc::decode_status("1:1;2:9;3:#;", 3, map);
  EXPECT_TRUE(st.limit);
  EXPECT_EQ(st.limit_motor, 2);
  // An axis no motor owns still stops everything.
  map[2] = 0;
  st = smc::decode_status("1:1;2:5;3:1;", 3, map);
  EXPECT_TRUE(st.limit);
  EXPECT_EQ(st.limit_motor, 0);
  // A ";" before the ":", a missing field, a status too wide to read: decode errors.
  for (const char* bad : {";1:1;2:1;3:1;", "1:1;2:1;", "1:1;2:1234;3:1;", "1:1;2:;3:1;"})
    EXPECT_FALSE(smc::decode_status(bad, 3, map).decoded) << bad;
  // An answer that names its axes is read by name: axis 8 of a machine without axis 7 is
  // motor 8, not the seventh field's owner; unnamed fields count by position.
  std::array<int, 10> gap{0, 1, 2, 3, 4, 5, 6, 0, 8};
  st = smc::decode_status("1:1;2:1;3:1;4:1;5:1;6:1;8:1;", 7, gap);
  ASSERT_TRUE(st.decoded);
  EXPECT_EQ(st.rest[8], 1);
  st = smc::decode_status(":1;:2;:1;", 3, map);
  EXPECT_EQ(st.rest[1], 1);
  EXPECT_EQ(st.rest[3], 1);
  // The fields must lie within the first 100 characters of the answer.
  EXPECT_FALSE(smc::decode_status(std::string(97, ' ') + "1:1;", 1, map).decoded);
}

TEST_F(Conversions, ShutterAnswers) {
  int state = 7;
  std::string problem;
  EXPECT_TRUE(smc::decode_shutter("1", state, problem));
  EXPECT_EQ(state, 1);
  EXPECT_FALSE(smc::decode_shutter("3", state, problem));
  EXPECT_EQ(problem, "Controller returned shutter status =     3");
  EXPECT_FALSE(smc::decode_shutter("", state, problem));
  EXPECT_EQ(problem, "Null string from controller to get_shutter");
  EXPECT_FALSE(smc::decode_shutter("10", state, problem));
  EXPECT_EQ(problem, "String from controller to get_shutter was:10");
  EXPECT_EQ(state, 1);
}

TEST_F(Conversions, CountLists) {
  smc::CountList list;
  EXPECT_FALSE(list.take("   12"));
  EXPECT_FALSE(list.take(" 3 4 "));
  EXPECT_TRUE(list.take("CEND"));
  std::array<int, 200> counts{};
  std::string problem;
  EXPECT_TRUE(list.decode(1, 2, counts, problem));
  EXPECT_EQ(counts[0], 12);
  EXPECT_EQ(counts[1], 34);  // blanks ignored
  EXPECT_FALSE(list.decode(1, 3, counts, problem));
  EXPECT_EQ(problem, "Error in Read Count: Recovered   2 step counts, expected   3");
  smc::CountList bad;
  bad.take("  x 1");
  // Neither model makes a count of a slot that is not a number.
  for (int family : {1, 7}) {
    EXPECT_FALSE(bad.decode(family, 1, counts, problem));
    EXPECT_EQ(problem, " Error decoding count array at item   1string =  x 1");
  }
  // A list that does not end is cut after the 200 counts the memory holds.
  smc::CountList endless;
  int taken = 0;
  while (!endless.take("    1") && taken < 1000) ++taken;
  EXPECT_EQ(taken, 200);
  EXPECT_FALSE(endless.decode(1, 200, counts, problem));
}

TEST_F(Conversions, InterfaceTypesWithoutADriverAreInert) {
  for (int type : {0, 4, 5, 8}) {
    S().profile.interface_type = type;
    int status = 42, busy = 42, state = 42;
    float value = 1.5f, rate = 2.5f, used = 3.5f;
    std::string message = "kept";
    READ_MOTOR_INTERFACE(1, status, value, message);
    WAIT_MOTOR(1, busy);
    GET_SHUTTER_STATUS(state);
    XCOUNT(1.0f, rate, used);
    WAIT();
    STOP_ALL();
    EXPECT_EQ(status, 42);
    EXPECT_EQ(busy, 42);
    EXPECT_EQ(state, 42);
    EXPECT_EQ(value, 1.5f);
    EXPECT_EQ(rate, 2.5f);
    EXPECT_EQ(message, "kept");
    EXPECT_EQ(S().shell.error_flag, 0);
  }
}

}  // namespace
