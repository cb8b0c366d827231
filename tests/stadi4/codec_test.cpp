// The STADI4 records without a line: hexadecimal step fields, the acknowledge rules, the scan
// record and the count lines. Known answers are worked out by hand or with printf.
#include <gtest/gtest.h>

#include <cstdio>

#include "instrument/drivers/stadi4.hpp"

using namespace dorvex::stadi4;

namespace {

std::string printf_hex(long n) {
  char b[16];
  std::snprintf(b, sizeof b, "%06lX", n);
  return b;
}

TEST(Stadi4Hex, FieldsRoundTripAndNegativesWrapBelowFFFFFF) {
  EXPECT_EQ(DECTOHEX_2(0), "000000");
  EXPECT_EQ(DECTOHEX_2(255), "0000FF");
  EXPECT_EQ(DECTOHEX_2(-1), "FFFFFE");
  EXPECT_EQ(DECTOHEX_2(145000), "023668");
  for (long n : {1L, 4000L, 77777L, 145000L}) EXPECT_EQ(DECTOHEX_2(n), printf_hex(n)) << n;
  for (long n : {-1L, -88L, -4000L, -145000L}) {
    EXPECT_EQ(DECTOHEX_2(n), printf_hex(n + 16777215)) << n;
    long back = 0;
    ASSERT_TRUE(HEXTODEC_2(DECTOHEX_2(n), back));
    EXPECT_EQ(back, n);
  }
  long v = 0;
  ASSERT_TRUE(HEXTODEC_2("023668", v));
  EXPECT_EQ(v, 145000);
  ASSERT_TRUE(HEXTODEC_2("023669", v));
  EXPECT_EQ(v, 145001 - 16777215);
  // A count is never negative: the same digits stay positive.
  ASSERT_TRUE(hex_count("023669", v));
  EXPECT_EQ(v, 145001);
  for (const char* bad : {"00G000", "0000ff", "00 100", "12345", "1234567", ""})
    EXPECT_FALSE(HEXTODEC_2(bad, v)) << bad;
}

TEST(Stadi4Ack, EachAnswerIsAcceptedRetriedOrALimitSwitch) {
  using K = Ack::Kind;
  for (const char* ok : {"IROK", "IR05", "IR06", "IR07", "IR08", "IR09"})
    EXPECT_EQ(classify("DR", 2, ok).kind, K::accept) << ok;
  for (int drive = 1; drive <= 4; ++drive) {
    const Ack a = classify("DR", 2, "IR0" + std::to_string(drive));
    EXPECT_EQ(a.kind, K::limit);
    EXPECT_EQ(a.drive, drive);
  }
  EXPECT_EQ(classify("PP", 2, "IR00").text,
            "Got IR00 from interface in response to  sending  2 characters: PP Trying again");
  EXPECT_EQ(classify("PP", 2, "IR10").text,
            "Got error 10 from interface in response to  sending  2 characters: PP Trying again");
  EXPECT_EQ(classify("TH000001", 8, "IR42").text,
            "Got error 42 from interface in response to  sending  8 characters: TH000001 Trying "
            "again");
  EXPECT_EQ(classify("PP", 2, "IR-1").kind, K::retry);
  EXPECT_EQ(classify("PP", 2, "IRXY").text,
            "Error reading error code from interface: IRXYTrying again");
  EXPECT_EQ(classify("PP", 2, "").text, "Interface returned zero characters Trying again");
  EXPECT_EQ(classify("PP", 2, "IR1").text, "Interface returned only 3 characters IR1 Trying again");
  EXPECT_EQ(classify("PP", 2, "HELLO").text,
            "Unexpected response from interface. Sent:PP Returned  5 characters: HELLO Trying "
            "again");
  // Data requests take anything but IR00, acknowledge codes included.
  EXPECT_EQ(classify("XX", 2, "0003E80003E8000000000000").kind, K::accept);
  EXPECT_EQ(classify("XX", 2, "IR03").kind, K::accept);
  EXPECT_EQ(classify("XX", 2, "IR00").kind, K::retry);
  EXPECT_EQ(classify("XX", 2, "IR0").kind, K::retry);
  // Only the first `count` characters were sent.
  EXPECT_NE(classify("PPXYZ", 2, "IR00").text.find("characters: PP Trying"), std::string::npos);
}

TEST(Stadi4Ack, ALeadingLineFeedIsDroppedBeforeTheAnswerIsJudged) {
  EXPECT_EQ(strip_leading("\nIR07"), "IR07");
  EXPECT_EQ(strip_leading("\r\n\x7f\x03IROK"), "IROK");
  EXPECT_EQ(strip_leading("IR 7"), "IR 7");
  EXPECT_EQ(classify("DR", 2, strip_leading("\nIR07")).kind, Ack::accept);
}

TEST(Stadi4Records, ScanRecordAndCountTimes) {
  EXPECT_EQ(count_hundredths(500.0f), 32000);
  EXPECT_EQ(count_hundredths(0.05f), 10);
  EXPECT_EQ(count_hundredths(1.234f), 123);
  EXPECT_EQ(count_hundredths(-3.0f), 10);
  const std::string r = scan_record(500, 21, {16, 16, 0, -8});
  ASSERT_EQ(r.size(), 38u);
  EXPECT_EQ(r, "SV" + printf_hex(500) + printf_hex(21) + printf_hex(16) + printf_hex(16) +
                   "000000" + printf_hex(-8 + 16777215));
}

TEST(Stadi4Records, FourCirclesAndCountLinesDecodeOrSayWhatIsWrong) {
  std::array<long, 4> steps{};
  std::string bad;
  ASSERT_TRUE(decode_four("0003E8FFFFA7000000023669", steps, bad));
  EXPECT_EQ(steps[0], 1000);
  EXPECT_EQ(steps[1], -88);
  EXPECT_EQ(steps[2], 0);
  EXPECT_EQ(steps[3], 145001 - 16777215);
  EXPECT_FALSE(decode_four("0003E8FFFFA70000000236", steps, bad));
  EXPECT_TRUE(bad.empty());
  EXPECT_FALSE(decode_four("0003E8FFFFA700000G023669", steps, bad));
  EXPECT_EQ(bad, "00000G");

  std::vector<long> counts;
  ASSERT_TRUE(decode_counts("00E0A2023669", 12, counts, bad));
  EXPECT_EQ(counts, (std::vector<long>{57506, 145001}));
  EXPECT_FALSE(decode_counts("00E0A2", 12, counts, bad));
  EXPECT_TRUE(bad.empty());
  EXPECT_FALSE(decode_counts("00E0A2-23669", 12, counts, bad));
  EXPECT_EQ(bad, "-23669");
}

}  // namespace
