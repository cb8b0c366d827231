#include "common/fields.hpp"

#include <gtest/gtest.h>

namespace dorvex {
namespace {

TEST(FixedFields, RealFieldsRoundAndRightJustify) {
  EXPECT_EQ(F(12.34567, 10, 4), "   12.3457");
  EXPECT_EQ(F(-0.5, 6, 2), " -0.50");
  EXPECT_EQ(F(0.0, 5, 1), "  0.0");
  EXPECT_EQ(F(90.0, 8, 3), "  90.000");
  EXPECT_EQ(F(-90.0, 8, 0), "    -90.");  // an F8.0 field keeps its decimal point
  EXPECT_EQ(F(-0.00001, 6, 1), "   0.0");   // no sign on a value that rounds to zero
}

TEST(FixedFields, OverflowFillsTheFieldWithAsterisks) {
  EXPECT_EQ(F(123456.0, 8, 3), "********");
  EXPECT_EQ(I(100000, 5), "*****");
  EXPECT_EQ(I(-1234, 4), "****");
  EXPECT_EQ(E(1.0e300 * 1.0e10, 10, 3), "**********");  // infinity
}

TEST(FixedFields, LeadingZeroIsDroppedOnlyWhenTheFieldIsTooNarrow) {
  EXPECT_EQ(F(0.5, 4, 3), ".500");
  EXPECT_EQ(F(-0.5, 5, 3), "-.500");
  EXPECT_EQ(F(0.5, 5, 3), "0.500");
}

TEST(FixedFields, IntegerAndTextFields) {
  EXPECT_EQ(I(7, 3), "  7");
  EXPECT_EQ(I(-7, 3), " -7");
  EXPECT_EQ(A("DAC", 10), "DAC       ");
  EXPECT_EQ(A("HEATED DAC LONG", 10), "HEATED DAC");
}

TEST(FixedFields, ExponentFieldNormalisesTheMantissa) {
  EXPECT_EQ(E(1234.5, 11, 4), " 0.1235E+04");
  EXPECT_EQ(E(-0.000125, 11, 3), " -0.125E-03");
  EXPECT_EQ(E(0.0, 10, 3), " 0.000E+00");
  EXPECT_EQ(E(9.9996, 10, 3), " 0.100E+02");  // rounding carries into the exponent
}

TEST(FixedFields, NintRoundsHalvesAwayFromZero) {
  EXPECT_EQ(NINT(2.5), 3);
  EXPECT_EQ(NINT(-2.5), -3);
  EXPECT_EQ(NINT(2.49), 2);
}

TEST(FixedColumns, BlankFieldsReadAsZeroAndEmbeddedBlanksAreIgnored) {
  EXPECT_EQ(read_real_field("      ", 1, 6), 0.0);
  EXPECT_EQ(read_real_field("ab", 5, 10), 0.0);  // past the end of a short line
  EXPECT_DOUBLE_EQ(*read_real_field("  1 2.5  ", 1, 9), 12.5);
  EXPECT_EQ(read_int_field("   42", 1, 5), 42);
  EXPECT_EQ(read_int_field("  -42", 1, 5), -42);
}

TEST(FixedColumns, ImpliedDecimalsApplyOnlyWithoutAPoint) {
  EXPECT_DOUBLE_EQ(*read_real_field("100000", 1, 7, 5), 1.0);
  EXPECT_DOUBLE_EQ(*read_real_field("-1.5", 1, 7, 5), -1.5);
  EXPECT_DOUBLE_EQ(*read_real_field("  25", 1, 4), 25.0);
}

TEST(FixedColumns, JunkIsAnErrorNotAZero) {
  EXPECT_FALSE(read_real_field("  1.2x", 1, 6));
  EXPECT_FALSE(read_int_field(" 1.5 ", 1, 5));
  EXPECT_FALSE(read_real_field("  nan ", 1, 6));
}

TEST(ListInput, BlanksAndCommasSeparateValues) {
  auto in = read_list(" 1, 2.5  -3e1,4");
  ASSERT_FALSE(in.error);
  ASSERT_EQ(in.values.size(), 4u);
  EXPECT_DOUBLE_EQ(in.values[2], -30.0);
  EXPECT_TRUE(read_list("     ").values.empty());
}

TEST(ListInput, AWordStopsTheReadWithAnError) {
  auto in = read_list("1 2 A");
  EXPECT_TRUE(in.error);
  EXPECT_EQ(in.values.size(), 2u);
  auto ints = read_int_list("3 -7 2.5");
  EXPECT_TRUE(ints.error);
  ASSERT_EQ(ints.values.size(), 2u);
  EXPECT_EQ(ints.values[1], -7);
}

TEST(Text, UpperShiftMovesEveryCodeAbove96) {
  EXPECT_EQ(upper_shift("dc i{"), "DC I[");
  EXPECT_EQ(upper_letters("set {mat}"), "SET {MAT}");
  EXPECT_EQ(rtrim("ab  "), "ab");
  EXPECT_EQ(columns("MOTOR1 x", 6, 3), "1 x");
}

}  // namespace
}  // namespace dorvex
