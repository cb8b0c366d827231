// The reflection data file, the centring-scan file and the reflection line, column by column
// against layouts written out by hand; whole records only, and failures reported.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/state.hpp"
#include "files/datafile.hpp"
#include "geometry/angles.hpp"
#include "geometry/cell.hpp"
#include "support/shell_fixture.hpp"

namespace {

using dorvex::S;
using dorvex::ScanRecord;

class DataFileTest : public dorvex_test::ShellFixture {
 protected:
  void SetUp() override {
    ShellFixture::SetUp();
    dorvex::CrystalState& c = S().crystal;
    c.title = "TEST CRYSTAL";
    c.cell = {10.0f, 11.5f, 12.25f, 90.0f, 101.5f, 90.0f};
    c.volume = 1376.0625f;
    c.UB = dorvex::Mat3{};
    c.UB(0, 0) = 0.1f;
    c.UB(0, 1) = -0.0123456f;
    c.UB(1, 1) = 0.0869565f;
    c.UB(2, 2) = -0.0816327f;
    c.UB(1, 2) = 0.005f;
  }

  static ScanRecord record(int sequence, int points) {
    ScanRecord r;
    r.sequence = sequence;
    r.hkl = {1, -2, 3};
    r.psi = 0.0f;
    r.angles = {20.5f, -1.25f, 45.125f, -170.0f};
    r.step = 0.01f;
    r.rate = 0.5f;
    r.scan_code = 'N';
    for (int i = 0; i < points; ++i) r.counts.push_back(100 + i);
    return r;
  }

  std::string warning_shown(const std::string& text) {
    const std::string out = console();
    return out.find(text) != std::string::npos ? text : out;
  }
};

TEST_F(DataFileTest, RecordColumnsAndStepLinesOfTenCounts) {
  ScanRecord r = record(12, 25);
  const std::string text = dorvex::stddata_record(r);
  // R, I6, 3I4, F10.4 psi, F10.4 2th, F10.5 om, F10.4 chi, F10.4 phi, I4 N, F10.5 step,
  // F10.5 rate, I4 standard, A1 code
  const std::string expected_r =
      "R    12   1  -2   3    0.0000   20.5000  -1.25000   45.1250 -170.0000  25   0.01000"
      "   0.50000   0N\n";
  const std::string expected_s =
      "S     100     101     102     103     104     105     106     107     108     109\n"
      "S     110     111     112     113     114     115     116     117     118     119\n"
      "S     120     121     122     123     124\n";
  EXPECT_EQ(text, expected_r + expected_s);

  // 20 points: exactly two full lines; a standard carries its number and code.
  r = record(7, 20);
  r.standard = 3;
  r.scan_code = 'R';
  const std::string twenty = dorvex::stddata_record(r);
  EXPECT_EQ(twenty.substr(0, twenty.find('\n')),
            "R     7   1  -2   3    0.0000   20.5000  -1.25000   45.1250 -170.0000  20   0.01000"
            "   0.50000   3R");
  EXPECT_EQ(std::count(twenty.begin(), twenty.end(), '\n'), 3);
  EXPECT_EQ(twenty.substr(twenty.rfind("S")),
            "S     110     111     112     113     114     115     116     117     118     119\n");
}

TEST_F(DataFileTest, HugeCountsAreScaledDownAndTheRateUp) {
  ScanRecord r = record(1, 3);
  // The smallest divisor that brings 250000000 within eight digits is 3.
  r.counts = {250000000, 3, 100000001};
  const std::string text = dorvex::stddata_record(r);
  EXPECT_NE(text.find("   1.50000   0N\n"), std::string::npos) << text;  // rate 0.5 tripled
  EXPECT_NE(text.find("\nS83333333       133333334\n"), std::string::npos) << text;
  r.counts = {199999999, 100000000};  // 2 would round 199999999 up to 100000000; 3 it is
  const std::string edge = dorvex::stddata_record(r);
  EXPECT_NE(edge.find("\nS6666666633333333\n"), std::string::npos) << edge;
  // Just below the threshold nothing changes.
  r.counts = {99999999, 3};
  const std::string plain = dorvex::stddata_record(r);
  EXPECT_NE(plain.find("   0.50000   0N\n"), std::string::npos);
  EXPECT_NE(plain.find("\nS99999999       3\n"), std::string::npos) << plain;
}

TEST_F(DataFileTest, NewFileGetsTheHeaderOnceAndHoldsExactlyTheRecordsWritten) {
  const std::string path = dir() + "crystal.rfl";
  const ScanRecord first = record(1, 25), second = record(2, 13);
  ASSERT_EQ(dorvex::WRITE_REF_STDDATA(path, S().crystal, first), 0);
  ASSERT_EQ(dorvex::WRITE_REF_STDDATA(path, S().crystal, second), 0);

  const std::string header =
      "H\n"
      "T TEST CRYSTAL                                                \n"
      "H   10.0000   11.5000   12.2500   90.0000  101.5000   90.0000 1376.0625\n"
      "H\n"
      "H\n"
      "U   0.1000000  -0.0123456   0.0000000\n"
      "U   0.0000000   0.0869565   0.0050000\n"
      "U   0.0000000   0.0000000  -0.0816327\n"
      "A  1.000000\n"
      "DATA\n";
  EXPECT_EQ(read_file("crystal.rfl"),
            header + dorvex::stddata_record(first) + dorvex::stddata_record(second));
  // A later run appends to the same file without a new header.
  S().crystal.title = "ANOTHER TITLE";
  ASSERT_EQ(dorvex::WRITE_REF_STDDATA(path, S().crystal, first), 0);
  EXPECT_EQ(read_file("crystal.rfl"), header + dorvex::stddata_record(first) +
                                          dorvex::stddata_record(second) +
                                          dorvex::stddata_record(first));
}

TEST_F(DataFileTest, FailuresToOpenOrWriteAreReportedAndLeaveOnlyWholeRecords) {
  const std::string missing = dir() + "no/such/dir/x.rfl";
  EXPECT_EQ(dorvex::WRITE_REF_STDDATA(missing, S().crystal, record(1, 10)), 1);
  EXPECT_EQ(warning_shown("UNABLE TO OPEN DATA FILE: " + missing),
            "UNABLE TO OPEN DATA FILE: " + missing);

  EXPECT_EQ(dorvex::WRITE_REF_STDDATA("/dev/full", S().crystal, record(1, 10)), 1);
  EXPECT_EQ(warning_shown("UNABLE TO WRITE DATA FILE: /dev/full"),
            "UNABLE TO WRITE DATA FILE: /dev/full");

  // A disk that fills in the middle of a record: the file size limit stops the write part way
  // and the partial record is taken back out.
  const std::string path = dir() + "limited.rfl";
  ASSERT_EQ(dorvex::WRITE_REF_STDDATA(path, S().crystal, record(1, 10)), 0);
  const std::string before = read_file("limited.rfl");
  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto* previous = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = before.size() + 40;  // room for part of the next record only
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const int status = dorvex::WRITE_REF_STDDATA(path, S().crystal, record(2, 30));
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, previous);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(read_file("limited.rfl"), before);
  EXPECT_EQ(warning_shown("UNABLE TO WRITE DATA FILE: " + path),
            "UNABLE TO WRITE DATA FILE: " + path);
  // And the next record goes in whole once there is room again.
  ASSERT_EQ(dorvex::WRITE_REF_STDDATA(path, S().crystal, record(3, 30)), 0);
  EXPECT_EQ(read_file("limited.rfl"), before + dorvex::stddata_record(record(3, 30)));
}

// What a program that died while writing leaves behind, and what the next collection finds.
TEST_F(DataFileTest, AnUnfinishedEndIsCutBackToTheLastWholeRecordBeforeAppending) {
  const std::string header = dorvex::stddata_header(S().crystal.title, S().crystal, 1.0f);
  const std::string r1 = dorvex::stddata_record(record(1, 25));
  ScanRecord standard = record(2, 12);
  standard.standard = 1;
  const std::string r2 = dorvex::stddata_record(standard);
  const std::string r3 = dorvex::stddata_record(record(3, 30));
  struct Case {
    const char* what;
    std::string before;  // the file as the dead program left it
    std::string after;   // as it must be before the next record goes in ("" unchanged)
    std::vector<int> sequences;  // the whole records read back
    const char* said;            // part of the message
  };
  const std::vector<Case> cases = {
      {"whole", header + r1 + r2, "", {1, 2}, nullptr},
      {"half an R line", header + r1 + r2 + r3.substr(0, 40), header + r1 + r2, {1, 2},
       "ended in an unfinished record (40 bytes): cut back to record 2"},
      {"R line and part of its counts", header + r1 + r3.substr(0, r3.size() - 30),
       header + r1, {1}, "cut back to record 1"},
      {"counts complete but the last line unended", header + r1 + r3.substr(0, r3.size() - 1),
       header + r1, {1}, "cut back to record 1"},
      {"first record cut", header + r1.substr(0, 120), header, {}, "cut back to its header"},
      {"created but never written", "", header, {}, "had no complete header: header written"},
      {"header cut", header.substr(0, 50), header, {}, "had no complete header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir() + "cut.rfl";
    write_file("cut.rfl", c.before);
    dorvex::DataFileContents contents;
    EXPECT_EQ(dorvex::PREPARE_STDDATA(path, S().crystal, contents), 0);
    EXPECT_EQ(read_file("cut.rfl"), c.after.empty() ? c.before : c.after);
    std::vector<int> sequences;
    for (const auto& r : contents.records) sequences.push_back(r.sequence);
    EXPECT_EQ(sequences, c.sequences);
    if (c.said != nullptr) {
      EXPECT_EQ(warning_shown(c.said), c.said);
    }
    if (!contents.records.empty()) {
      EXPECT_EQ(contents.records[0].hkl, (std::array<int, 3>{1, -2, 3}));
      EXPECT_EQ(contents.records.back().standard, c.sequences.back() == 2 ? 1 : 0);
    }
    // The next record starts on a line of its own.
    ASSERT_EQ(dorvex::WRITE_REF_STDDATA(path, S().crystal, record(9, 10)), 0);
    EXPECT_TRUE(read_file("cut.rfl").ends_with("\n" + dorvex::stddata_record(record(9, 10))));
  }

  // What is not a data file, or ends in more than a record could leave, is not touched.
  for (const std::string& text : {std::string("my notes\n"),
                                  header + r1 + std::string(70000, 'x')}) {
    write_file("other.rfl", text);
    dorvex::DataFileContents contents;
    EXPECT_EQ(dorvex::PREPARE_STDDATA(dir() + "other.rfl", S().crystal, contents), 1);
    EXPECT_EQ(read_file("other.rfl"), text);
    std::string said = console();  // long warnings are folded at the console width
    std::erase(said, '\n');
    EXPECT_NE(said.find("NOTHING WRITTEN TO IT: " + dir() + "other.rfl"), std::string::npos);
  }
}

TEST_F(DataFileTest, CentringScansGoToTheMatrixFileNameWithTheirIndicesAndRunningNumber) {
  S().shell.matfile_name = "quartz";
  S().crystal.lambda1 = 0.71073f;
  dorvex::Mat3 B;
  ASSERT_TRUE(dorvex::CALCB({5.0f, 6.0f, 7.0f, 90, 90, 90}, B));
  S().crystal.B = B;
  S().crystal.UB = B;
  // Angles of 1 -2 3 by the program's own calculation, then back to indices in the file.
  dorvex::AngleSet a{};
  ASSERT_EQ(dorvex::calca_setting(dorvex::current_geometry(),
                                  dorvex::CALPHI(S().crystal.UB, {1, -2, 3}), a),
            0);
  std::vector<long> counts(15, 40);
  counts[7] = 900;
  ASSERT_EQ(dorvex::WRITE_OMEGASCAN_TOFILE(a, counts, a[1] - 0.35f, a[1] + 0.35f, 0.5f), 0);
  ASSERT_EQ(dorvex::WRITE_OMEGASCAN_TOFILE(a, counts, a[1] - 0.35f, a[1] + 0.35f, 0.5f), 0);
  EXPECT_EQ(dorvex::centring_scan_file(), dir() + "quartz_cntr.rfl");

  const std::string text = read_file("quartz_cntr.rfl");
  EXPECT_EQ(text.substr(0, text.find('\n', 2) + 1),
            "H\nT REFLECTIONS CENTERED WITH quartz.MAT" + std::string(60 - 36, ' ') + "\n");
  const auto r1 = text.find("\nR     1   1  -2   3    0.0000");
  const auto r2 = text.find("\nR     2   1  -2   3    0.0000");
  ASSERT_NE(r1, std::string::npos) << text;
  ASSERT_NE(r2, std::string::npos) << text;
  // step 0.70/14 = 0.05, rate step/t = 0.1, standard 0, code N
  const std::string tail = text.substr(r1 + 1, text.find('\n', r1 + 1) - r1 - 1);
  EXPECT_TRUE(tail.ends_with("  15   0.05000   0.10000   0N")) << tail;
  EXPECT_EQ(text.find("DATA\n"), text.rfind("DATA\n"));  // one header only
}

TEST(ReflectionLine, ColumnsOfTheConsoleLineAndTheHeader) {
  // I4 ":" 3I4 2F6.2 2F8.2 F7.1 F9.1 F5.1 1X 3A1 1X A5
  EXPECT_EQ(dorvex::reflection_line(37, {2.4f, -0.6f, 11.0f}, {32.126f, -0.5f, 123.456f, -98.7f},
                                    -15.0f, 1234.56f, 12.34f, "L B", "14:07:59"),
            "  37:   2  -1  11 32.13 -0.50  123.46  -98.70  -15.0   1234.6 12.3 L B 14:07");
  // Too wide for its field: asterisks, as a fixed-format writer does.
  EXPECT_EQ(dorvex::reflection_line(12345, {0, 0, 1}, {0, 0, 0, 0}, 0, 0, 123.0f, "   ", "09:00")
                .substr(0, 5),
            "****:");
  EXPECT_EQ(std::string(dorvex::kColumnHeader),
            std::string(" SEQ") + "    H" + "   K" + "   L" + " 2TH  " + " OMEGA" +
                "     CHI" + "     PHI" + "    PSI    INT   SIGI FLAG TIME");
}

}  // namespace
