// The reflections DC S visits in a shell, against an enumeration made here from the cell in
// double precision, for oblique cells too; and which shells it collects.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "common/state.hpp"
#include "datacol/collect.hpp"
#include "datacol/listscan.hpp"
#include "geometry/cell.hpp"
#include "support/shell_fixture.hpp"

namespace {

using dorvex::S;
using Triple = std::array<int, 3>;

constexpr double kLambda = 0.71073;

// 2theta of hkl from the metric tensor of the cell: 1/d^2 = h G^-1 h.
double two_theta(const std::array<double, 6>& c, const Triple& h) {
  const double r = M_PI / 180.0;
  const double ca = std::cos(c[3] * r), cb = std::cos(c[4] * r), cg = std::cos(c[5] * r);
  const double g[3][3] = {{c[0] * c[0], c[0] * c[1] * cg, c[0] * c[2] * cb},
                          {c[0] * c[1] * cg, c[1] * c[1], c[1] * c[2] * ca},
                          {c[0] * c[2] * cb, c[1] * c[2] * ca, c[2] * c[2]}};
  const double det = g[0][0] * (g[1][1] * g[2][2] - g[1][2] * g[2][1]) -
                     g[0][1] * (g[1][0] * g[2][2] - g[1][2] * g[2][0]) +
                     g[0][2] * (g[1][0] * g[2][1] - g[1][1] * g[2][0]);
  double inv_d2 = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      // Cofactor of g[j][i] over det: element (i, j) of the inverse.
      const int a = (j + 1) % 3, b = (j + 2) % 3, p = (i + 1) % 3, q = (i + 2) % 3;
      const double inv = (g[a][p] * g[b][q] - g[a][q] * g[b][p]) / det;
      inv_d2 += h[static_cast<std::size_t>(i)] * inv * h[static_cast<std::size_t>(j)];
    }
  const double s = kLambda * std::sqrt(inv_d2) / 2.0;
  return s >= 1.0 ? 999.0 : 2.0 * std::asin(s) / r;
}

class ShellCollectionTest : public dorvex_test::ShellFixture {
 protected:
  void set_crystal(const std::array<double, 6>& cell) {
    dorvex::Cell c{};
    for (std::size_t i = 0; i < 6; ++i) c[i] = static_cast<float>(cell[i]);
    S().crystal.cell = c;
    S().crystal.lambda1 = static_cast<float>(kLambda);
    ASSERT_TRUE(dorvex::CALCB(c, S().crystal.B));
  }
};

TEST_F(ShellCollectionTest, EveryReflectionOfTheShellOnceInTheOrderOfTheIncrements) {
  struct Case {
    const char* what;
    std::array<double, 6> cell;
    std::array<int, 6> limits;  // hmin hmax kmin kmax lmin lmax (signs)
    std::array<int, 3> order;   // fastest .. slowest
    double lower, upper;
  };
  const std::array<double, 6> mono{10, 10, 10, 90, 115, 90};
  const std::array<double, 6> tric{7.1, 8.3, 9.7, 75, 104, 117};
  const std::vector<Case> cases = {
      {"monoclinic, l slowest", mono, {-1, 1, -1, 1, -1, 1}, {1, 2, 3}, 3, 20},
      {"monoclinic, high angle", mono, {-1, 1, -1, 1, -1, 1}, {1, 2, 3}, 20, 40},
      {"monoclinic, h slowest", mono, {-1, 1, 0, 1, -1, 1}, {2, 3, 1}, 20, 40},
      {"monoclinic, hemisphere", mono, {0, 1, -1, 1, -1, 1}, {3, 1, 2}, 10, 40},
      {"triclinic, full sphere", tric, {-1, 1, -1, 1, -1, 1}, {1, 2, 3}, 5, 35},
      {"triclinic, k slowest", tric, {-1, 0, -1, 1, 0, 1}, {3, 1, 2}, 5, 35},
      {"orthorhombic", {8, 10, 12, 90, 90, 90}, {0, 1, 0, 1, 0, 1}, {1, 2, 3}, 3, 30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    set_crystal(c.cell);
    dorvex::DataCollectionParameters& dc = S().datacol;
    dc.index_limits = c.limits;
    dc.increment_order = c.order;
    dc.shell_lower[1] = static_cast<float>(c.lower);
    dc.shell_upper[1] = static_cast<float>(c.upper);
    dc.shell_selected[1] = 1;

    // Reflections this close to a limit could fall either side in single precision.
    auto near_limit = [&](const Triple& h) {
      const double t = two_theta(c.cell, h);
      return std::fabs(t - c.lower) < 1e-3 || std::fabs(t - c.upper) < 1e-3;
    };
    std::set<Triple> expected;
    for (int h = -30; h <= 30; ++h)
      for (int k = -30; k <= 30; ++k)
        for (int l = -30; l <= 30; ++l) {
          const Triple t{h, k, l};
          bool inside = true;
          for (std::size_t i = 0; i < 3; ++i)
            inside = inside && (t[i] >= 0 || c.limits[2 * i] != 0) &&
                     (t[i] <= 0 || c.limits[2 * i + 1] != 0);
          const double tt = two_theta(c.cell, t);
          if (inside && tt >= c.lower && tt < c.upper && !near_limit(t)) expected.insert(t);
        }
    ASSERT_GT(expected.size(), 50u);

    const std::vector<Triple> visited = dorvex::shell_triples(1);
    std::set<Triple> got;
    for (const Triple& t : visited)
      if (!near_limit(t)) got.insert(t);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(std::set<Triple>(visited.begin(), visited.end()).size(), visited.size());

    // Slowest index outermost, fastest innermost, each running from its start in the
    // direction of its limits.
    auto key = [&](const Triple& t) {
      std::array<int, 3> k{};
      for (std::size_t slot = 0; slot < 3; ++slot) {
        const std::size_t i = static_cast<std::size_t>(c.order[2 - slot] - 1);
        k[slot] = t[i] * (c.limits[2 * i + 1] < c.limits[2 * i] ? -1 : 1);
      }
      return k;
    };
    for (std::size_t i = 1; i < visited.size(); ++i)
      EXPECT_LT(key(visited[i - 1]), key(visited[i])) << i;
  }
}

TEST_F(ShellCollectionTest, ExactlyTheSelectedShellsAreCollectedAndListed) {
  dorvex::DataCollectionParameters& dc = S().datacol;
  const float limits[6][2] = {{0, 0}, {3, 10}, {10, 20}, {20, 30}, {30, 40}, {0, 0}};
  for (std::size_t n = 1; n <= 4; ++n) {
    dc.shell_lower[n] = limits[n][0];
    dc.shell_upper[n] = limits[n][1];
  }
  struct Case {
    std::array<int, 11> selected;
    std::vector<int> shells;
  };
  const std::vector<Case> cases = {
      {{0, 1, 0, 1, 0, 0}, {1, 3}},
      {{0, 0, 1, 0, 1, 1}, {2, 4}},      // shell 5 is selected but has no limits
      {{0, 1, 1, 1, 1, 0}, {1, 2, 3, 4}},
      {{0, 0, 0, 0, 0, 0}, {}},
  };
  for (const Case& c : cases) {
    dc.shell_selected = c.selected;
    EXPECT_EQ(dorvex::collected_shells(dc), c.shells);
  }

  dc.shell_selected = {0, 1, 0, 1, 0, 0};
  dorvex::LISTSCAN();
  EXPECT_NE(console().find("  Data will be collected in  2 shells of 2theta ranges:\n"
                           "    1:  3.00 to  10.00 degrees two-theta\n"
                           "    3: 20.00 to  30.00 degrees two-theta\n"
                           "  All reflections"),
            std::string::npos)
      << console();
  clear_console();
  dc.shell_selected = {};
  dorvex::LISTSCAN();
  EXPECT_NE(console().find("  WARNING: No 2theta shell is selected\n"), std::string::npos);
}

}  // namespace
