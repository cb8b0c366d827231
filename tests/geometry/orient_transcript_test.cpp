// Transcripts of the real program in dummy mode with the sample SMC9300 profile (lambda1
// 0.7093 A; 2theta -10..120, omega circle -60..80, clearance 40, chi and phi free): the
// orientation commands as an operator types them. Expected numbers are computed here.
#include <cmath>
#include <cstdio>
#include <sstream>

#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::has_line;
using dorvex_test::Home;
using dorvex_test::run_dorvex;

constexpr double kLambda = 0.7093;
constexpr double kDeg = 180.0 / 3.14159265358979323846;

std::string fixed(double v, int width, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%*.*f", width, decimals, v);
  return buf;
}

std::string angles_line(const std::string& head, double tth, double om, double chi, double phi) {
  return head + fixed(tth, 9, 3) + fixed(om, 9, 3) + fixed(chi, 9, 3) + fixed(phi, 9, 3);
}

double two_theta(double dstar) { return 2 * std::asin(dstar * kLambda / 2) * kDeg; }

std::vector<std::string> args(const Home& home) {
  auto a = dorvex_test::default_args(home);
  a.push_back("--mat");
  a.push_back(home.file("x.mat"));
  return a;
}

// The rows printed after a line equal to `title`.
std::vector<std::vector<double>> rows_after(const std::string& out, const std::string& title,
                                            int skip_blank = 0) {
  const auto lines = dorvex_test::lines(out);
  std::vector<std::vector<double>> rows;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != title) continue;
    rows.clear();
    for (std::size_t r = i + 1 + static_cast<std::size_t>(skip_blank);
         r < lines.size() && rows.size() < 3; ++r) {
      std::istringstream in(lines[r]);
      std::vector<double> v;
      for (double x; in >> x;) v.push_back(x);
      rows.push_back(v);
    }
  }
  return rows;
}

TEST(OrientTranscript, CellThenCalcIndxAndPersistence) {
  Home home;
  const std::string input =
      "CELL\n8 9 11\n"
      "CALC 10 0 0\n"
      "CALC 10 0 0 a\n"
      "CALC 0 0 40\n"
      "CALC\n0 0 1\n0 12 0 2\nx\n\n"
      "INDX " + fixed(two_theta(10 / 8.0), 0, 4) + " 0 0 0\n"
      "INDX\n0 0 0 0\n"
      "EXIT\n";
  auto r = run_dorvex(home, input, args(home));
  EXPECT_EQ(r.status, 0);
  const double t = two_theta(10 / 8.0);
  EXPECT_TRUE(has_line(r.out, angles_line(" Calculated Angles:", t, 0, 0, 0))) << r.out;
  // Eight positions: those with -2theta (-52.6) are beyond the -50 degree limit.
  EXPECT_TRUE(has_line(r.out, " The 8 equivalent positions are:"));
  EXPECT_TRUE(has_line(r.out, angles_line("    1:", t, 0, 0, 0)));
  for (int p : {2, 3, 6, 7})
    EXPECT_TRUE(has_line(r.out, "    " + std::to_string(p) + ": out-of-bounds"));
  EXPECT_TRUE(has_line(r.out, angles_line("    4:", t, 0, 180, 0)));
  EXPECT_TRUE(has_line(r.out, angles_line("    5:", t, 0, 180, 180)));
  EXPECT_TRUE(has_line(r.out, angles_line("    8:", t, 0, 0, 180)));
  EXPECT_TRUE(has_line(r.out, " OUT-OF-BOUNDS"));  // 0 0 40: d = 0.275 A, sin theta > 1
  // The dialogue: 0 0 1 along the phi axis (chi 90), 0 12 0 in position 2 refused, an
  // unreadable line, an empty line to end.
  EXPECT_TRUE(has_line(r.out, angles_line(" Calculated Angles:", two_theta(1 / 11.0), 0, 90, 0)));
  EXPECT_TRUE(has_line(r.out, "CALC: Enter h,k,l>"));
  EXPECT_TRUE(has_line(r.out, "Error on input, try again:"));
  EXPECT_EQ(dorvex_test::count_lines(r.out, " OUT-OF-BOUNDS"), 2);
  EXPECT_TRUE(has_line(r.out, " Indices: " + fixed(10, 8, 3) + fixed(0, 8, 3) + fixed(0, 8, 3)));
  EXPECT_EQ(dorvex_test::count_lines(r.out, "INDX: Enter angles>"), 1);

  // The cell was saved with the matrix file.
  auto again = run_dorvex(home, "CALC 0 0 1\nEXIT\n", args(home));
  EXPECT_TRUE(
      has_line(again.out, angles_line(" Calculated Angles:", two_theta(1 / 11.0), 0, 90, 0)))
      << again.out;
}

// Two reflections of a crystal turned by 30 degrees about the phi axis and tilted: COM finds
// the orientation; the angles are those of the bisecting position computed here.
TEST(OrientTranscript, ComFindsTheOrientationOfTwoReflections) {
  Home home;
  // U: 30 degrees about z, then 20 degrees about y; B = diag(1/8, 1/9, 1/11).
  const double a = 30 / kDeg, b = 20 / kDeg;
  const double rz[3][3] = {
      {std::cos(a), -std::sin(a), 0}, {std::sin(a), std::cos(a), 0}, {0, 0, 1}};
  const double ry[3][3] = {
      {std::cos(b), 0, std::sin(b)}, {0, 1, 0}, {-std::sin(b), 0, std::cos(b)}};
  double ub[3][3] = {};
  const double bdiag[3] = {1 / 8.0, 1 / 9.0, 1 / 11.0};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double u = 0;
      for (int k = 0; k < 3; ++k) u += ry[i][k] * rz[k][j];
      ub[i][j] = u * bdiag[j];
    }
  auto ind_line = [&](int h, int k, int l) {
    double x[3];
    for (int i = 0; i < 3; ++i) x[i] = ub[i][0] * h + ub[i][1] * k + ub[i][2] * l;
    const double d = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
    const double chi = std::atan2(x[2], std::hypot(x[0], x[1])) * kDeg;
    const double phi = std::atan2(x[1], x[0]) * kDeg;
    return "IND " + std::to_string(h) + " " + std::to_string(k) + " " + std::to_string(l) + " " +
           fixed(two_theta(d), 0, 4) + " 0 " + fixed(chi, 0, 4) + " " + fixed(phi, 0, 4) + "\n";
  };
  const std::string input = "CELL\n8 9 11\n" + ind_line(2, 1, 0) + ind_line(0, 1, 3) +
                            "COM 1 2\nn\nPROM\nCOM\n1 2\nY\nPROM\nCOM 1 1\n\nEXIT\n";
  auto r = run_dorvex(home, input, args(home));
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has_line(r.out, "COM: Do You Wish to Update Matrix<Y,N>?")) << r.out;
  EXPECT_TRUE(has_line(r.out, " *****INVALID INPUT: REFLN NUMBERS MUST NOT BE EQUAL"));
  const auto found = rows_after(r.out, " Orientation Matrix:");
  ASSERT_EQ(found.size(), 3u) << r.out;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(found[i].size(), 3u);
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(found[i][j], ub[i][j], 3e-5) << i << j;
  }
  // PROM after "n" shows B, after "Y" the new matrix.
  const auto lines = dorvex_test::lines(r.out);
  std::vector<std::vector<std::vector<double>>> shown;
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i] == "Orientation Matrix:") {
      std::vector<std::vector<double>> m;
      for (std::size_t k = i + 1; k < i + 4 && k < lines.size(); ++k) {
        std::istringstream in(lines[k]);
        std::vector<double> v;
        for (double x; in >> x;) v.push_back(x);
        m.push_back(v);
      }
      shown.push_back(m);
    }
  ASSERT_EQ(shown.size(), 2u) << r.out;
  EXPECT_NEAR(shown[0][0][0], 0.125, 1e-5);
  EXPECT_NEAR(shown[0][1][0], 0.0, 1e-5);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(shown[1][i][j], ub[i][j], 3e-5);
}

TEST(OrientTranscript, AngleTableAndLaueEquivalents) {
  Home home;
  const std::string input =
      "CELL\n10 10 10\n"
      "ANGL\n"
      "INH 1 0 0\nINH 0 1 0\nINH 1 1 0\n"
      "ANGL\n"
      "DEL 1 -3\n"
      "INL m3m\n1 1 0\n1 -1 0\n\n"
      "INL\n4/mmm\n2 0 0\n0 0 0\n"
      "EXIT\n";
  auto r = run_dorvex(home, input, args(home));
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has_line(r.out, "         1     2     3")) << r.out;
  EXPECT_TRUE(has_line(r.out, "  2:  90.0"));
  EXPECT_TRUE(has_line(r.out, "  3:  45.0  45.0"));
  // 1 1 0 in m3m: twelve equivalents, six Friedel pairs.
  int added = 0;
  for (const auto& l : dorvex_test::lines(r.out))
    added += l.size() > 14 && l.find(" ADDED TO LIST") != std::string::npos;
  EXPECT_TRUE(has_line(r.out, " REFLECTION    1   1   0 ADDED TO LIST"));
  EXPECT_TRUE(has_line(r.out, " ALL EQUIVALENTS ALREADY IN LIST"));
  EXPECT_TRUE(has_line(r.out, "INL: Enter Laue group>"));
  // 2 0 0 in 4/mmm: 2 0 0 and 0 2 0 (with their opposites).
  EXPECT_TRUE(has_line(r.out, " REFLECTION    2   0   0 ADDED TO LIST"));
  EXPECT_TRUE(has_line(r.out, " REFLECTION    0   2   0 ADDED TO LIST"));
  EXPECT_EQ(added, 6 + 2);
}

TEST(OrientTranscript, ExportAndImportThroughATransformationRestoreUb) {
  Home home;
  const std::string input =
      "OM\n0.1 0.02 0.01\n-0.02 0.09 0.015\n0.005 -0.01 0.08\n"
      "UBEX\n2\n"
      "UBEX\n0\n"
      "OM\n1 2 3\n0 0 0\n"
      "PROM\n"
      "EXIT\n";
  auto r = run_dorvex(home, input, args(home));
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has_line(r.out, "     0: No transformation")) << r.out;
  EXPECT_TRUE(has_line(r.out, "    2:A<->B"));
  // Both exports, in order: T2^-1 UB (rows 1 and 2 exchanged, row 3 negated), then UB.
  const auto lines = dorvex_test::lines(r.out);
  std::vector<std::string> exported;
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i] == "   The transformed matrix is:")
      for (std::size_t k = i + 1; k < i + 4; ++k) exported.push_back(lines[k]);
  ASSERT_EQ(exported.size(), 6u) << r.out;
  EXPECT_EQ(exported[0], exported[4]);
  EXPECT_EQ(exported[1], exported[3]);
  EXPECT_EQ(exported[3], "        0.10000   0.02000   0.01000");
  EXPECT_EQ(exported[2], "       -0.00500   0.01000  -0.08000");
  // The second OM stopped at a zero on the diagonal of row 2: UB is still the first one.
  const auto shown = rows_after(r.out, "Orientation Matrix:");
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_NEAR(shown[0][1], 0.02, 1e-6);
  EXPECT_NEAR(shown[2][2], 0.08, 1e-6);

  // Import the exported rows with the same transformation: UB comes back.
  const std::string back = "UBIM\n" + exported[0] + "\n" + exported[1] + "\n" + exported[2] +
                           "\n2\nPROM\nEXIT\n";
  auto r2 = run_dorvex(home, back, args(home));
  const auto restored = rows_after(r2.out, "Orientation Matrix:");
  ASSERT_EQ(restored.size(), 3u) << r2.out;
  const auto original = rows_after(r.out, "Orientation Matrix:");
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(restored[i][j], original[i][j], 2e-5);
}

}  // namespace
