// Transcripts of the real program in dummy mode: reflections entered, sorted, deleted and
// flagged at the prompt, with the matrix file on disk checked after each session. The
// program never saves at exit, so whatever the file holds was written by the commands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::has_line;
using dorvex_test::Home;
using dorvex_test::lines;
using dorvex_test::run_dorvex;

// The LISTREF lines of a matrix file, and the count it declares.
std::vector<std::string> listref_lines(const std::string& text) {
  std::vector<std::string> out;
  for (const auto& l : lines(text))
    if (l.rfind("LISTREF", 0) == 0) out.push_back(l);
  return out;
}

std::vector<std::string> args_with_mat(const Home& home) {
  return {"--home", home.path(), "--mode", "dummy", "--ui", "line", "--mat", home.file("x.mat")};
}

// h, k, l of a LISTREF line (columns 11 to 28).
std::string hkl_of(const std::string& listref) { return listref.substr(10, 18); }

TEST(ListTranscript, EnterSortDeleteAndFlagAcrossSessions) {
  Home home;
  // Session 1: a new matrix file, reflections typed by indices, angles, and both.
  auto r = run_dorvex(home,
                      "INH\n"
                      "1 0 0\n"
                      "0 2 0\n"
                      "1 1 1\n"
                      "0 0 3\n"
                      "0 0 0\n"
                      "INA 20 0 30 40\n"
                      "IND 1 0 0 20 0 0 0\n",
                      args_with_mat(home));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has_line(r.out, "INH: Enter h,k,l>")) << r.out;
  EXPECT_TRUE(has_line(r.out,
                       " NO     H     K     L    TTH      OMEGA     CHI      PHI   REF  USE "
                       "INTENSITY"));
  bool calc_line = false;
  for (const auto& l : lines(r.out)) calc_line |= l.rfind(" CALC REFLECTION INDICES WERE: ", 0) == 0;
  EXPECT_TRUE(calc_line) << r.out;
  std::vector<std::string> refs = listref_lines(home.read("x.mat"));
  ASSERT_EQ(refs.size(), 6u) << home.read("x.mat");
  EXPECT_NE(home.read("x.mat").find("NREFLN    6"), std::string::npos);
  EXPECT_EQ(hkl_of(refs[5]), "  1.00  0.00  0.00");  // IND keeps the typed indices

  // Session 2: the file is loaded again; sort by 2theta, largest first, then delete two.
  r = run_dorvex(home, "SORT -2\nDEL 2 -3\n", args_with_mat(home));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  refs = listref_lines(home.read("x.mat"));
  ASSERT_EQ(refs.size(), 4u);
  std::vector<double> tth;
  for (const auto& l : refs) tth.push_back(std::stod(l.substr(28, 10)));
  // The largest 2theta first; entries 2 and 3 of the sorted list went.
  EXPECT_GT(tth[0], tth[1]);
  EXPECT_GT(tth[1], tth[2]);
  EXPECT_GE(tth[2], tth[3]);

  // Session 3: a refused USE, an unrecognised sort key, flags, and a sort by h.
  r = run_dorvex(home,
                 "USE 3 -70\n"
                 "\n"
                 "OMIT 1 -2\n"
                 "SORT X\n"
                 "XH\n",
                 args_with_mat(home));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has_line(r.out, "Input exceeds max list number - try again:")) << r.out;
  EXPECT_TRUE(has_line(r.out, " *****Input not recognised, valid inputs are + - with "
                              "H,K,L,2,O,C,P,I,"));
  EXPECT_TRUE(has_line(r.out, "SORT: Enter Item to sort>"));
  refs = listref_lines(home.read("x.mat"));
  ASSERT_EQ(refs.size(), 4u);
  std::vector<double> h;
  int omitted = 0;
  for (const auto& l : refs) {
    h.push_back(std::stod(l.substr(10, 6)));
    omitted += l.substr(77, 2) == " 0";
  }
  EXPECT_LE(h[0], h[1]);
  EXPECT_LE(h[1], h[2]);
  EXPECT_LE(h[2], h[3]);
  EXPECT_EQ(omitted, 2);
}

TEST(ListTranscript, SixtyFirstReflectionIsRefused) {
  Home home;
  std::string script = "INH\n";
  int n = 0;
  for (int h = 1; h <= 5; ++h)
    for (int k = 0; k <= 3; ++k)
      for (int l = 0; l <= 2; ++l, ++n)
        script += std::to_string(h) + " " + std::to_string(k) + " " + std::to_string(l) + "\n";
  ASSERT_EQ(n, 60);
  script += "2 2 2\n\nLIST\n";
  auto r = run_dorvex(home, script, args_with_mat(home));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has_line(r.out, "REFLECTION LIST FULL")) << r.out;
  EXPECT_EQ(listref_lines(home.read("x.mat")).size(), 60u);
  EXPECT_NE(r.out.find(" 60   5.0   3.0   2.0"), std::string::npos);
}

}  // namespace
