// INDC: orientations found from exact data of several lattices, the refusals, the tolerance
// dialogue, and the fast search against a literal implementation of the exhaustive search.
#include "geometry/commands.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "geometry/matfile.hpp"
#include "geometry/indexing.hpp"
#include "support/run_dorvex.hpp"
#include "support/shell_fixture.hpp"
#include "test_crystal.hpp"

using namespace dorvex;
using refine_test::M;
using refine_test::TestCrystal;
using refine_test::V;

namespace {

class IndexingTest : public dorvex_test::ShellFixture {};

// The found UB must equal the true one up to a change of axes with integer coefficients and
// determinant +-1 (an equivalent indexing of the same lattice).
void expect_equivalent(const Mat3& found, const M& truth) {
  M f{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) f[i][j] = found(i, j);
  const M r = refine_test::mul(refine_test::inverse(truth), f);
  double det = 0;
  for (int j = 0; j < 3; ++j) {
    const int j1 = (j + 1) % 3, j2 = (j + 2) % 3;
    det += r[0][j] * (r[1][j1] * r[2][j2] - r[1][j2] * r[2][j1]);
  }
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(r[i][j], std::round(r[i][j]), 2e-3) << i << j;
  EXPECT_NEAR(std::fabs(det), 1.0, 5e-3);
}

M transpose(const M& m) {
  M t{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) t[i][j] = m[j][i];
  return t;
}

TEST_F(IndexingTest, IndexesEveryReflectionOfExactDataForSeveralLattices) {
  const std::array<double, 6> cells[] = {{10.21, 10.21, 10.21, 90, 90, 90},
                                         {9.31, 9.31, 14.12, 90, 90, 90},
                                         {8.52, 11.23, 13.71, 90, 90, 90},
                                         {8.52, 11.23, 13.71, 90, 104.3, 90}};
  unsigned seed = 70;
  for (const auto& cell : cells) {
    SCOPED_TRACE("cell " + std::to_string(cell[0]) + " beta " + std::to_string(cell[4]));
    TestCrystal xtal(cell, ++seed);
    refine_test::load_list(xtal.reflections(12, ++seed, 0, 8, 35), xtal.lambda, false);
    for (int p = 0; p < 6; ++p) S().crystal.cell[p] = static_cast<float>(cell[p]);
    IndexingSolution sol;
    ASSERT_EQ(GENUB(S().crystal, S().list, S().profile, 1.0, 1.0, &sol), INDC_FOUND);
    EXPECT_EQ(sol.matched, 12);
    expect_equivalent(S().crystal.UB, xtal.UB);
    // The orientation is built on the cell's own B: the found metric has the cell's
    // reciprocal angles to float precision (right angles stay right).
    const M gs = refine_test::mul(transpose(xtal.B), xtal.B);
    M found{};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) found[i][j] = sol.ub[i][j];
    const M fs = refine_test::mul(transpose(found), found);
    for (int i = 0; i < 3; ++i)
      for (int j = i + 1; j < 3; ++j)
        EXPECT_NEAR(fs[i][j] / std::sqrt(fs[i][i] * fs[j][j]),
                    gs[i][j] / std::sqrt(gs[i][i] * gs[j][j]), 2e-6) << i << j;
  }
  EXPECT_NE(console().find(" The best solution matches 12 of 12 reflections, as follows:"),
            std::string::npos);
  EXPECT_NE(console().find(std::string(59, ' ') + "angular      calc"), std::string::npos);
  // The listing of the last crystal, 3I5,5F10.3,2X,F10.2: the found indices, the stored angles.
  const std::string out = console();
  const std::size_t head = out.rfind("    h    k    l    2theta     omega      chi      phi     "
                                     "deviation    2theta\n\n");
  ASSERT_NE(head, std::string::npos);
  std::istringstream rows(out.substr(head));
  std::string row;
  std::getline(rows, row);
  std::getline(rows, row);
  for (int n = 0; n < 12; ++n) {
    ASSERT_TRUE(std::getline(rows, row));
    ASSERT_EQ(row.size(), 77u) << row;
    for (int k = 0; k < 4; ++k) {
      char b[32];
      std::snprintf(b, sizeof b, "%10.3f", double(S().list.entry[n].angles[k]));
      EXPECT_EQ(row.substr(15 + 10 * static_cast<std::size_t>(k), 10), b);
    }
    EXPECT_LT(std::stod(row.substr(55, 10)), 0.01);  // exact data: no angular deviation
    EXPECT_EQ(row.substr(65, 2), "  ");
    EXPECT_NEAR(std::stod(row.substr(67, 10)), S().list.entry[n].angles[0], 0.006);
  }
}

TEST_F(IndexingTest, ThePlaceholderCellOfANewMatrixFileIsNamedBeforeTheSearch) {
  TestCrystal xtal({8.52, 11.23, 13.71, 90, 90, 90}, 90);
  refine_test::load_list(xtal.reflections(6, 91), xtal.lambda, false);
  const std::string warning =
      " The cell is still 10 A cubic with a neutral orientation, the placeholder of a new "
      "matrix file:\n";
  // A new matrix file: UB 0.1 times the unit matrix, the 10 A cubic cell.
  S().crystal.UB = Mat3::identity(0.1f);
  S().shell.command_argument = "";
  INDXC();
  EXPECT_NE(console().find(warning), std::string::npos) << console();
  EXPECT_EQ(S().shell.continuation_code, 31);  // the question is still asked; "-" leaves
  // The crystal's own cell and orientation: no word about it.
  S().shell.continuation_code = 0;
  clear_console();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) S().crystal.UB(i, j) = static_cast<float>(xtal.UB[i][j]);
  INDXC();
  EXPECT_EQ(console().find(warning), std::string::npos) << console();
  EXPECT_EQ(S().shell.continuation_code, 31);
}

TEST_F(IndexingTest, RefusesTooFewOrTooCloseReflections) {
  TestCrystal xtal({10.21, 10.21, 10.21, 90, 90, 90}, 80);
  refine_test::load_list(xtal.reflections(2, 81), xtal.lambda, false);
  S().shell.command_argument = "";
  INDXC();
  EXPECT_NE(console().find("Number of Reflections is too small for INDC"), std::string::npos);
  EXPECT_EQ(S().shell.continuation_code, 0);

  // Three reflections within a few degrees of one another.
  refine_test::load_list({{{0, 0, 0}, {20, 0, 10, 30}}, {{0, 0, 0}, {22, 0, 14, 33}},
                          {{0, 0, 0}, {25, 0, 12, 36}}},
                         xtal.lambda, false);
  for (int p = 0; p < 6; ++p) S().crystal.cell[p] = static_cast<float>(xtal.cell[p]);
  clear_console();
  INDXC();
  EXPECT_EQ(S().shell.continuation_code, 31);
  S().shell.command_argument = "0 0";
  INDXC();
  EXPECT_NE(console().find(" Error in Picking Two Reflections - Job aborted."), std::string::npos);
  EXPECT_EQ(S().refine.indc_tth_tolerance, 1.0f);  // zero tolerances mean one degree
  EXPECT_EQ(S().refine.indc_psi_tolerance, 1.0f);
  EXPECT_EQ(S().shell.error_flag, 1);
}

// A mistyped cell or wavelength must be refused, not searched over a box that cannot be held in
// memory (or computed at all); an out-of-range tolerance is asked again.
TEST_F(IndexingTest, RefusesBoxesThatCannotBeSearchedAndOutOfRangeTolerances) {
  TestCrystal xtal({8.52, 11.23, 13.71, 90, 90, 90}, 95);
  refine_test::load_list(xtal.reflections(6, 96), xtal.lambda, false);
  const Mat3 ub = S().crystal.UB = refine_test::to_mat3(xtal.UB);
  S().crystal.cell = {852, 1123, 1371, 90, 90, 90};  // Angstrom typed for pm
  S().shell.command_argument = "";
  INDXC();
  S().shell.command_argument = "1E40 1";
  INDXC();
  EXPECT_EQ(S().shell.continuation_code, 31);  // still asking
  S().shell.command_argument = "1 1";
  INDXC();
  EXPECT_EQ(S().shell.continuation_code, 0);
  EXPECT_NE(console().find(" Index range too large for INDC (check cell and wavelength) - Job "
                           "aborted."),
            std::string::npos);
  EXPECT_EQ(S().shell.error_flag, 1);
  EXPECT_EQ(S().crystal.UB.a, ub.a);

  for (int p = 0; p < 6; ++p) S().crystal.cell[p] = static_cast<float>(xtal.cell[p]);
  for (const float lambda : {0.0f, -0.71f, 1.0e-7f}) {
    S().crystal.lambda1 = lambda;
    IndexingSolution sol;
    EXPECT_NE(GENUB(S().crystal, S().list, S().profile, 1.0, 1.0, &sol), INDC_FOUND) << lambda;
    EXPECT_EQ(S().crystal.UB.a, ub.a);
  }
}

TEST_F(IndexingTest, TolerancesNotGivenKeepThePreviousOnes) {
  TestCrystal xtal({8.52, 11.23, 13.71, 90, 90, 90}, 90);
  refine_test::load_list(xtal.reflections(6, 91), xtal.lambda, false);
  for (int p = 0; p < 6; ++p) S().crystal.cell[p] = static_cast<float>(xtal.cell[p]);
  S().shell.command_argument = "";
  INDXC();
  S().shell.command_argument = "0.5 0.7";
  INDXC();
  EXPECT_EQ(S().shell.continuation_code, 0);
  S().shell.command_argument = "";
  INDXC();
  S().shell.command_argument = "0.4";
  INDXC();
  EXPECT_FLOAT_EQ(S().refine.indc_tth_tolerance, 0.4f);
  EXPECT_FLOAT_EQ(S().refine.indc_psi_tolerance, 0.7f);
}

// ---------------------------------------------------------------------------------------------
// The exhaustive search written out literally: every triple of the box for the first
// reflection, every triple of the box for the second, the full count of every candidate.
struct Literal {
  int matched = 0, first = -1, second = -1;
  std::array<int, 3> h1{}, h2{};
};

constexpr double kDeg = 57.295;

V unit(const V& v) {
  const double n = refine_test::norm(v);
  return {v[0] / n, v[1] / n, v[2] / n};
}
V cross(const V& a, const V& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double dotp(const V& a, const V& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
M basis(const V& u, const V& w) {
  const V a = unit(u), b = unit(w);
  const V c1 = unit({a[0] + b[0], a[1] + b[1], a[2] + b[2]});
  const V c3 = unit(cross(a, b));
  const V c2 = cross(c3, c1);
  M t{};
  for (int i = 0; i < 3; ++i) t[i] = {c1[i], c2[i], c3[i]};
  return t;
}

// The direct axis lengths bound the box for any cell (|h_k| <= d* |a_k|).
Literal literal_search(const std::vector<refine_test::Reflection>& refl,
                       const std::array<double, 6>& cell, const M& B, double lambda, double dtth,
                       double dpsi) {
  const int n = static_cast<int>(refl.size());
  std::vector<V> u(refl.size());
  std::vector<double> tth(refl.size());
  for (std::size_t i = 0; i < refl.size(); ++i) {
    const double w = refl[i].angles[1] / kDeg, c = refl[i].angles[2] / kDeg,
                 p = refl[i].angles[3] / kDeg;
    u[i] = {std::cos(w) * std::cos(c) * std::cos(p) - std::sin(w) * std::sin(p),
            std::cos(w) * std::cos(c) * std::sin(p) + std::sin(w) * std::cos(p),
            std::cos(w) * std::sin(c)};
    tth[i] = refl[i].angles[0];
  }
  auto tth_of = [&](const std::array<int, 3>& h) {
    const V c = refine_test::mul(B, V{double(h[0]), double(h[1]), double(h[2])});
    const double s = lambda * refine_test::norm(c) / 2;
    return s > 1 ? 1e9 : 2 * std::asin(s) * kDeg;
  };
  Literal best;
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j) {
      const double psi = std::acos(std::clamp(dotp(u[i], u[j]), -1.0, 1.0)) * kDeg;
      if (psi <= 20) continue;
      const double tlim = std::max(tth[i], tth[j]) / 2 + 1;
      std::array<int, 3> box{};
      for (int k = 0; k < 3; ++k)
        box[k] = static_cast<int>(2 * std::sin(tlim / kDeg) / lambda * cell[k] + 1);
      // Every triple of the box in the search order; those whose 2theta agrees with each
      // reflection's, in that order.
      std::vector<std::array<int, 3>> first, second;
      for (int h = box[0]; h >= -box[0]; --h)
        for (int k = box[1]; k >= -box[1]; --k)
          for (int l = box[2]; l >= -box[2]; --l) {
            if (!h && !k && !l) continue;
            const double t = tth_of({h, k, l});
            if (std::fabs(t - tth[i]) < dtth) first.push_back({h, k, l});
            if (std::fabs(t - tth[j]) < dtth) second.push_back({h, k, l});
          }
      const M tphi = basis(u[i], u[j]);
      for (const auto& h1 : first)
        for (const auto& h2 : second) {
          const V c1 = refine_test::mul(B, V{double(h1[0]), double(h1[1]), double(h1[2])});
          const V c2 = refine_test::mul(B, V{double(h2[0]), double(h2[1]), double(h2[2])});
          const double ang = std::acos(std::clamp(dotp(unit(c1), unit(c2)), -1.0, 1.0)) * kDeg;
          if (std::fabs(ang - psi) > dpsi) continue;
          if (refine_test::norm(cross(unit(c1), unit(c2))) < 1e-6) continue;
          const M ub =
              refine_test::mul(refine_test::mul(tphi, refine_test::inverse(basis(c1, c2))), B);
          const M ubi = refine_test::inverse(ub);
          int count = 0;
          for (int r = 0; r < n; ++r) {
            const double dstar = 2 * std::sin(tth[r] / 2 / kDeg) / lambda;
            const V hf =
                refine_test::mul(ubi, V{u[r][0] * dstar, u[r][1] * dstar, u[r][2] * dstar});
            const V hr{std::round(hf[0]), std::round(hf[1]), std::round(hf[2])};
            const V xc = refine_test::mul(ub, hr);
            const double len = refine_test::norm(xc);
            if (len == 0 || lambda * len / 2 > 1) continue;
            const double tc = 2 * std::asin(lambda * len / 2) * kDeg;
            const double dev = std::acos(std::min(1.0, dotp(xc, u[r]) / len)) * kDeg;
            if (std::fabs(tc - tth[r]) <= 1.0 && dev <= dpsi) ++count;
          }
          if (count > best.matched) best = {count, i, j, h1, h2};
          if (count == n) return best;
        }
    }
  return best;
}

// Seeded data sets with stray reflections (peaks no lattice vector explains), so that no
// orientation indexes everything and the best count is reached by many candidates of many
// pairs (the equivalent orientations of the lattice): the first of them in the search order
// must win, however many workers share the pairs.
TEST_F(IndexingTest, FastSearchFindsTheSameSolutionAsTheLiteralSearch) {
  struct Case {
    std::array<double, 6> cell;
    double noise, dtth, dpsi;
    std::vector<int> strays;  // list places replaced by stray reflections
  };
  const Case cases[] = {{{5.91, 6.47, 7.33, 90, 90, 90}, 0.01, 1.0, 1.0, {2}},
                        {{5.91, 6.47, 7.33, 90, 90, 90}, 0.05, 0.6, 0.8, {}},
                        {{6.12, 6.12, 6.12, 90, 90, 90}, 0.02, 1.5, 2.0, {2}},
                        {{6.12, 6.12, 6.12, 90, 90, 90}, 0.02, 1.0, 1.0, {0, 1}},
                        {{4.91, 5.93, 8.02, 90, 90, 90}, 0.3, 1.0, 1.0, {}},
                        {{5.52, 6.81, 7.93, 90, 103.5, 90}, 0.01, 1.0, 1.0, {3, 6}},
                        {{6.31, 6.31, 7.72, 90, 90, 90}, 0.03, 2.0, 2.0, {1, 7}}};
  const refine_test::Reflection stray_peaks[] = {{{0, 0, 0}, {23.456, 1.2, 33.3, -71.1}},
                                                 {{0, 0, 0}, {31.71, -2.3, -48.2, 117.4}}};
  unsigned seed = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE("seed " + std::to_string(seed + 1));
    TestCrystal xtal(c.cell, ++seed);
    auto refl = xtal.reflections(9, ++seed, c.noise, 8, 40);
    for (std::size_t s = 0; s < c.strays.size(); ++s)
      refl[static_cast<std::size_t>(c.strays[s])] = stray_peaks[s];
    refine_test::load_list(refl, xtal.lambda, false);
    for (int p = 0; p < 6; ++p) S().crystal.cell[p] = static_cast<float>(c.cell[p]);
    const IndexingInput in = indexing_input(S().crystal, S().list, S().profile);
    // The literal search sees the angles as the program stores them (32-bit).
    for (auto& r : refl)
      for (double& a : r.angles) a = static_cast<float>(a);
    const Literal lit =
        literal_search(refl, c.cell, xtal.B, static_cast<float>(xtal.lambda), c.dtth, c.dpsi);
    if (!c.strays.empty()) {
      EXPECT_LT(lit.matched, 9);  // no full match: the search runs to the end
    }
    for (const int threads : {1, 3}) {
      SCOPED_TRACE(std::to_string(threads) + " workers");
      IndexingControl control;
      control.threads = threads;
      IndexingSolution fast;
      EXPECT_EQ(INDEX_SEARCH(in, c.dtth, c.dpsi, fast, control), INDC_FOUND);
      EXPECT_EQ(fast.matched, lit.matched);
      EXPECT_EQ(fast.first, lit.first);
      EXPECT_EQ(fast.second, lit.second);
      EXPECT_EQ(fast.h1, lit.h1);
      EXPECT_EQ(fast.h2, lit.h2);
    }
  }
}

// A search that would run for hours is refused with the reason: the tolerances, when one degree
// would do, else the cell; the orientation matrix stays as it was.
TEST_F(IndexingTest, RefusesSearchesThatWouldRunForHours) {
  // Reflections up to 2theta 8 degrees in directions spread over the sphere.
  std::vector<refine_test::Reflection> refl;
  for (int r = 0; r < 30; ++r)
    refl.push_back({{0, 0, 0}, {4.0 + 0.13 * r, 0, -60.0 + 4.1 * r, -170.0 + 11.3 * r}});
  refine_test::load_list(refl, 0.71073, false);
  const Mat3 ub = S().crystal.UB;
  struct Case {
    std::array<float, 6> cell;
    const char* tolerances;
    const char* reason;
  };
  const Case cases[] = {
      {{44, 444, 4, 90, 90, 90}, "10 10",
       " The tolerances  10.00  10.00 are too wide for this cell: 1.0 1.0 would take about "},
      {{150, 150, 150, 90, 90, 90}, "1 1",
       " The cell  150.000  150.000  150.000   90.000   90.000   90.000 has too many lattice"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tolerances);
    S().crystal.cell = c.cell;
    S().shell.error_flag = 0;
    clear_console();
    S().shell.command_argument = "";
    INDXC();
    S().shell.command_argument = c.tolerances;
    INDXC();
    EXPECT_NE(console().find(" INDC would take about "), std::string::npos) << console();
    EXPECT_NE(console().find(" - Job aborted."), std::string::npos);
    EXPECT_NE(console().find(c.reason), std::string::npos) << console();
    EXPECT_EQ(S().shell.error_flag, 1);
    EXPECT_EQ(S().crystal.UB.a, ub.a);
  }
}

// CPU time (user + system) a process has used, in seconds.
double cpu_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int k = 3; k <= 15 && fields >> field; ++k)
    if (k >= 14) ticks += std::stod(field);
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Ctrl-C on the line console stops a running search within a fraction of a second, leaves the
// orientation matrix as it was, and the program takes the next command.
TEST_F(IndexingTest, CtrlCHaltsARunningSearchOfTheProgram) {
  // A 50 x 50 x 60 A crystal with two stray reflections: minutes of search in this build.
  const std::array<double, 6> cell{50, 50, 60, 90, 90, 90};
  TestCrystal xtal(cell, 4242);
  auto refl = xtal.reflections(30, 4243, 0.002, 5, 35);
  refl[12] = {{0, 0, 0}, {23.456, 1.2, 33.3, -71.1}};
  refl[21] = {{0, 0, 0}, {31.71, -2.3, -48.2, 117.4}};
  refine_test::load_list(refl, xtal.lambda, false);
  S().crystal.UB = refine_test::to_mat3(xtal.B);  // the cell's own B: not the orientation
  dorvex_test::Home home;
  S().shell.data_directory = home.path();
  S().shell.matfile_name = "big";
  home.write("big.mat", "");
  WRITE_MATFILE();
  const std::string before = home.read("big.mat");

  const dorvex_test::Started child =
      dorvex_test::start_program(home.path(), dorvex_test::mat_args(home, "big"));
  ASSERT_GT(child.pid, 0);
  const std::string input = "INDC\n2 2\n";
  ASSERT_EQ(::write(child.in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  std::string out;
  ASSERT_TRUE(dorvex_test::read_output_until(child, out, "Tolerance for 2Theta"));
  // The search is running once the program has spent a tenth of a second more on it.
  const double at_prompt = cpu_seconds(child.pid);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (cpu_seconds(child.pid) < at_prompt + 0.1 && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto halted_at = std::chrono::steady_clock::now();
  const double cpu_at_halt = cpu_seconds(child.pid);
  ::kill(child.pid, SIGINT);
  EXPECT_TRUE(dorvex_test::read_output_until(
      child, out, " INDC halted by user - the orientation matrix is unchanged.", 30));
  // The search looks for the halt every 50 ms; what it spends after the halt is CPU time,
  // which a loaded machine (or a sanitizer build) does not inflate the way it does wall time.
  // The whole search costs many seconds of CPU, so a search that ignored the halt fails this.
  EXPECT_LT(cpu_seconds(child.pid) - cpu_at_halt, 1.0);
  EXPECT_LT(std::chrono::steady_clock::now() - halted_at, std::chrono::seconds(10));
  EXPECT_EQ(out.find("The best solution matches"), std::string::npos);

  ASSERT_EQ(::write(child.in, "EXIT\n", 5), 5);
  ::close(child.in);
  dorvex_test::read_output_until(child, out, [] { return false; }, 30);  // to the end
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  ::close(child.out);
  ::close(child.err);
  // Nothing the search found reached the matrix file.
  const std::string after = home.read("big.mat");
  EXPECT_EQ(after.substr(after.find("UB")), before.substr(before.find("UB")));
}

}  // namespace
