// The parameter listing (LISTSCAN, SHOW DATA), the column header and the shell test.
#include "shell/commands.hpp"  // first: its TEST would clash with the test framework's macro

#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "common/state.hpp"
#include "datacol/listscan.hpp"
#include "geometry/cell.hpp"
#include "support/shell_fixture.hpp"

namespace {

using dorvex::S;

class ListScanTest : public dorvex_test::ShellFixture {};

TEST_F(ListScanTest, OmegaScansFixedTimeShellsAndAllReflections) {
  dorvex::DataCollectionParameters& dc = S().datacol;
  dc.scan_type = 1;
  dc.scan_width_a = 1.2f;
  dc.scan_width_b = 9.0f;  // takes no part
  dc.step = 0.02f;
  dc.time_per_step = 0.5f;
  dc.index_limits = {0, 10, -5, 5, 0, 8};
  dc.increment_order = {2, 1, 3};
  dc.shell_lower[1] = 3;
  dc.shell_upper[1] = 30;
  dc.shell_lower[2] = 30;
  dc.shell_upper[2] = 45;
  dc.shell_lower[4] = 50;  // no upper limit: no shell
  dc.shell_selected = {0, 1, 1, 0, 1, 0};
  dc.standard_count = 1;   // but none in use
  S().crystal.title = "SAMPLE";
  dorvex::LISTSCAN();
  EXPECT_EQ(console(),
            "SCAN PARAMETERS\n"
            "  Scan type is omega, scan width =  1.20\n"
            "  In Steps of 0.020 degrees;  0.50 secs per step\n"
            "  No multiple psi scans\n"
            "  Each reflection with fixed scan time\n"
            "DATA COLLECTION PARAMETERS\n"
            "NO DATAFILE FOR REFLECTION SCANS WAS SELECTED\n"
            "    Title: SAMPLE\n"
            " No standard reflections\n"
            "  Ranges of h,k,l will be:   0 10 -5  5  0  8\n"
            "  Increment order (fastest first): k h l\n"
            "  Data will be collected in  2 shells of 2theta ranges:\n"
            "    1:  3.00 to  30.00 degrees two-theta\n"
            "    2: 30.00 to  45.00 degrees two-theta\n"
            "  All reflections will be collected\n");
}

TEST_F(ListScanTest, CoupledScansPsiPrecisionStandardsAndSpaceGroupRule) {
  dorvex::DataCollectionParameters& dc = S().datacol;
  dc.scan_type = 2.2f;  // rounded
  dc.scan_width_a = 0.8f;
  dc.step = 0.01f;
  dc.time_per_step = 1.0f;
  dc.multiple_psi = 1;
  dc.psi_scans = 5;
  dc.psi_interval = 10;
  dc.constant_precision = 1;
  dc.min_i_over_sigma = 2.5f;
  dc.required_i_over_sigma = 10;
  dc.max_scans = 4;
  dc.standard_count = 2;
  dc.standard_interval = 50;
  dc.standards_in_use[1] = 1;
  dc.standards_in_use[3] = 1;
  dc.standard_indices[1] = {1, 0, 0};
  dc.standard_indices[2] = {7, 7, 7};  // not in use
  dc.standard_indices[3] = {0, 0, -2};
  dc.violations_mode = 2;
  dc.space_group_symbol = "P 21/c              ";
  S().shell.datfile_name = "/data/x.rfl";
  S().shell.datfile_set = 1;
  dorvex::LISTSCAN();
  EXPECT_EQ(console(),
            "SCAN PARAMETERS\n"
            "  Scan type is omega/2theta, width =  0.80\n"
            "  In Steps of 0.010 degrees;  1.00 secs per step\n"
            "  5 scans each refln at   10.00 degree intervals in psi\n"
            "  Constant precision mode: min(I/sigI) =  2.5 Required:10.0 Max no. scans =   4\n"
            "DATA COLLECTION PARAMETERS\n"
            "  Reflection File: /data/x.rfl\n"
            "    Title:\n"
            "  Number Std Reflns:  2 Every   50 reflections\n"
            "  Standard Indices:\n"
            "       1   0   0\n"
            "       0   0  -2\n"
            "  Ranges of h,k,l will be:   0  0  0  0  0  0\n"
            "  Increment order (fastest first): h k l\n"
            "  WARNING: No 2theta limits available\n"
            " Space group is P 21/c\n"
            "  ONLY Space Group Violations will be collected\n");
  clear_console();
  dc.violations_mode = 1;
  S().shell.command_argument = "DATA";
  dorvex::SHOW();  // SHOW DATA is the same listing
  const std::string out = console();
  EXPECT_EQ(out.rfind("SCAN PARAMETERS\n", 0), 0u) << out;
  EXPECT_TRUE(out.ends_with(" Space group is P 21/c\n"
                            "  Space Group Violations will NOT be collected\n"))
      << out;
}

TEST_F(ListScanTest, HeaderBetweenBlankLinesRemembersTheSequenceNumber) {
  S().datacol.sequence_number = 123;
  int header_sequence = 0;
  dorvex::PRINTHEADER(header_sequence);
  EXPECT_EQ(header_sequence, 123);
  EXPECT_EQ(console(),
            "\n SEQ    H   K   L 2TH   OMEGA     CHI     PHI    PSI    INT   SIGI FLAG TIME\n\n");
}

TEST(ShellTest, TwoThetaAndShellMembership) {
  dorvex::CrystalState c;
  c.lambda1 = 0.71073f;
  ASSERT_TRUE(dorvex::CALCB({10.0f, 10.0f, 10.0f, 90, 90, 90}, c.B));
  float tth = 0;
  ASSERT_EQ(dorvex::TTHETA(c, {1, 2, 3}, tth), 0);
  const double expected = 2.0 * std::asin(0.71073 * std::sqrt(14.0) / 20.0) * 180.0 / M_PI;
  EXPECT_NEAR(tth, expected, 1e-4);
  EXPECT_EQ(dorvex::TTHETA(c, {30, 0, 0}, tth), 1);  // sine 1.066
  EXPECT_EQ(tth, 90.0f);

  // A shell holds lower <= 2theta < upper.
  dorvex::DataCollectionParameters dc;
  float t100 = 0;
  ASSERT_EQ(dorvex::TTHETA(c, {1, 0, 0}, t100), 0);
  dc.shell_lower[1] = t100;
  dc.shell_upper[1] = 20;
  dc.shell_lower[2] = 0.5f;
  dc.shell_upper[2] = t100;
  EXPECT_EQ(dorvex::INSHELL(c, dc, 1, {1, 0, 0}), 0);
  EXPECT_EQ(dorvex::INSHELL(c, dc, 1, {-2, 1, 0}), 0);
  EXPECT_EQ(dorvex::INSHELL(c, dc, 2, {1, 0, 0}), 1);
  EXPECT_EQ(dorvex::INSHELL(c, dc, 1, {0, 0, 0}), 1);
  EXPECT_EQ(dorvex::INSHELL(c, dc, 1, {9, 9, 9}), 1);     // beyond 20 degrees
  EXPECT_EQ(dorvex::INSHELL(c, dc, 1, {30, 0, 0}), 1);    // unreachable
  EXPECT_EQ(dorvex::INSHELL(c, dc, 11, {1, 0, 0}), 1);    // no such shell
}

}  // namespace
