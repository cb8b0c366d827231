// Transcript of the real program in dummy mode: centred but unindexed reflections of a crystal
// built here are typed in by their angles, indexed (INDC, INDL), refined (LSQ, CLSQ, TLSQ), and
// the crystal's cell comes back; the matrix file holds the refined orientation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_dorvex.hpp"
#include "test_crystal.hpp"

namespace {

using dorvex_test::has_line;
using dorvex_test::Home;
using dorvex_test::lines;
using dorvex_test::run_dorvex;

std::vector<double> numbers_after(const std::string& line, std::size_t column) {
  std::istringstream in(line.substr(column));
  std::vector<double> v;
  double x;
  while (in >> x) v.push_back(x);
  return v;
}

// The cell printed on the first " Cell   " line after the line that starts with `marker`.
std::vector<double> cell_after(const std::string& out, const std::string& marker) {
  bool seen = false;
  for (const std::string& l : lines(out)) {
    if (!seen && l.rfind(marker, 0) == 0) seen = true;
    if (seen && l.rfind(" Cell   ", 0) == 0) return numbers_after(l, 8);
  }
  return {};
}

TEST(RefineTranscript, IndexRefineAndRecoverTheCell) {
  const std::array<double, 6> cell{8.52, 11.23, 13.71, 90, 90, 90};
  refine_test::TestCrystal xtal(cell, 2024);
  xtal.lambda = 0.70930;  // the first wavelength of the example profile
  std::vector<refine_test::Reflection> refl;
  for (const auto& r : xtal.reflections(60, 7, 0.003, 10, 35, 0))
    if (std::fabs(r.angles[2]) < 70 && refl.size() < 14) refl.push_back(r);
  ASSERT_EQ(refl.size(), 14u);

  std::string script = "CELL\n8.52 11.23 13.71 90 90 90\nINA\n";
  char buffer[120];
  for (const auto& r : refl) {
    std::snprintf(buffer, sizeof buffer, "%.4f %.4f %.4f %.4f\n", r.angles[0], r.angles[1],
                  r.angles[2], r.angles[3]);
    script += buffer;
  }
  script += "0 0 0 0\nINDC\n1 1\nINDL\n2\nLSQ\nCLSQ\n3\nTLSQ\n3\n";

  Home home;
  const auto args = dorvex_test::mat_args(home, "xtal");
  const auto r = run_dorvex(home, script, args);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has_line(r.out, " The best solution matches 14 of 14 reflections, as follows:"))
      << r.out;
  EXPECT_TRUE(has_line(r.out, "      14 Reflections used")) << r.out;

  const std::vector<double> lsq = cell_after(r.out, "   N  H  K  L    TTHO");
  const std::vector<double> clsq = cell_after(r.out, "Results for Constrained Refinement");
  const std::vector<double> tlsq = cell_after(r.out, "   Unit Cell refined to 2theta");
  ASSERT_EQ(lsq.size(), 7u) << r.out;
  ASSERT_EQ(clsq.size(), 7u) << r.out;
  ASSERT_EQ(tlsq.size(), 7u) << r.out;
  // The indexing may choose another but equivalent setting of the orthorhombic axes.
  std::vector<double> truth{8.52, 11.23, 13.71}, got{clsq[0], clsq[1], clsq[2]};
  std::sort(got.begin(), got.end());
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(got[k], truth[k], 0.005) << r.out;
    EXPECT_NEAR(lsq[k], clsq[k], 0.005);
    EXPECT_NEAR(tlsq[k], clsq[k], 0.005);
    EXPECT_EQ(clsq[3 + k], 90.0);
    EXPECT_NEAR(lsq[3 + k], 90.0, 0.05);
  }
  EXPECT_NEAR(clsq[6], 8.52 * 11.23 * 13.71, 2.0);

  // The matrix file holds the refined UB (as shown by LSQ) and it indexes like the true one.
  std::vector<std::vector<double>> shown, stored;
  const std::vector<std::string> out_lines = lines(r.out);
  for (std::size_t i = 0; i + 3 < out_lines.size(); ++i)
    if (out_lines[i] == "Orientation Matrix:" && shown.empty())
      for (int k = 1; k <= 3; ++k) shown.push_back(numbers_after(out_lines[i + k], 0));
  for (const std::string& l : lines(home.read("xtal.mat")))
    if (l.rfind("UB    ", 0) == 0) stored.push_back(numbers_after(l, 6));
  ASSERT_EQ(shown.size(), 3u) << r.out;
  ASSERT_EQ(stored.size(), 3u) << home.read("xtal.mat");
  refine_test::M ub{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      EXPECT_NEAR(stored[i][j], shown[i][j], 6e-6);
      ub[i][j] = stored[i][j];
    }
  const refine_test::M change = refine_test::mul(refine_test::inverse(xtal.UB), ub);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(change[i][j], std::round(change[i][j]), 2e-3);
}

}  // namespace
