// Space-group absences against the reflection conditions of each group, worked out by hand
// from the tables of reflection conditions, over every index triple in a box.
#include <cstdlib>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "geometry/spacegroup.hpp"

namespace {

using dorvex::SpaceGroup;

bool even(int x) { return x % 2 == 0; }
bool div(int x, int n) { return x % n == 0; }

using Rule = std::function<bool(int, int, int)>;

// Every triple with indices in -7..7: ALLOWED must agree with the hand rule.
void expect_rule(const std::string& symbol, const Rule& allowed) {
  SpaceGroup g;
  ASSERT_EQ(dorvex::SYMMETRY(symbol, g), 0) << symbol;
  int wrong = 0;
  for (int h = -7; h <= 7; ++h)
    for (int k = -7; k <= 7; ++k)
      for (int l = -7; l <= 7; ++l) {
        if (h == 0 && k == 0 && l == 0) continue;
        const dorvex::Vec3 v{float(h), float(k), float(l)};
        const bool got = dorvex::ALLOWED(g, v);
        if (got != allowed(h, k, l) && ++wrong <= 5)
          ADD_FAILURE() << symbol << ": " << h << " " << k << " " << l << " gives "
                        << (got ? "allowed" : "absent");
      }
}

TEST(SpaceGroupAbsences, MonoclinicAndOrthorhombic) {
  expect_rule("P 21/c", [](int h, int k, int l) {
    return !(k == 0 && !even(l)) && !(h == 0 && l == 0 && !even(k));
  });
  expect_rule("C 2/c", [](int h, int k, int l) {
    return even(h + k) && !(k == 0 && (!even(h) || !even(l)));
  });
  expect_rule("P 21 21 21", [](int h, int k, int l) {
    return !(k == 0 && l == 0 && !even(h)) && !(h == 0 && l == 0 && !even(k)) &&
           !(h == 0 && k == 0 && !even(l));
  });
  expect_rule("P b c a", [](int h, int k, int l) {
    return !(h == 0 && !even(k)) && !(k == 0 && !even(l)) && !(l == 0 && !even(h));
  });
  expect_rule("C m c e", [](int h, int k, int l) {  // 0kl: k; h0l: h, l; hk0: h, k
    return even(h + k) && !(h == 0 && !even(k)) && !(k == 0 && (!even(h) || !even(l))) &&
           !(l == 0 && (!even(h) || !even(k)));
  });
}

TEST(SpaceGroupAbsences, TetragonalAndCubic) {
  expect_rule("I 4/m", [](int h, int k, int l) { return even(h + k + l); });
  expect_rule("P 4/n", [](int h, int k, int l) { return !(l == 0 && !even(h + k)); });
  expect_rule("I 41/a m d", [](int h, int k, int l) {
    if (!even(h + k + l)) return false;
    if (l == 0 && (!even(h) || !even(k))) return false;
    if (std::abs(h) == std::abs(k) && !div(2 * h + l, 4)) return false;
    return true;
  });
  expect_rule("F m -3 m", [](int h, int k, int l) { return even(h + k) && even(k + l); });
  expect_rule("F d -3 m", [](int h, int k, int l) {
    if (!even(h + k) || !even(k + l)) return false;
    if (h == 0 && !div(k + l, 4)) return false;
    if (k == 0 && !div(h + l, 4)) return false;
    if (l == 0 && !div(h + k, 4)) return false;
    return true;
  });
  expect_rule("I a -3 d", [](int h, int k, int l) {
    if (!even(h + k + l)) return false;
    const int x[3] = {h, k, l};
    for (int i = 0; i < 3; ++i) {
      const int a = x[(i + 1) % 3], b = x[(i + 2) % 3];
      if (x[i] == 0 && (!even(a) || !even(b))) return false;  // 0kl
      if (std::abs(a) == std::abs(b) && !div(2 * a + x[i], 4)) return false;  // hhl
    }
    return true;
  });
  expect_rule("P 21 3", [](int h, int k, int l) {
    return !(k == 0 && l == 0 && !even(h)) && !(h == 0 && l == 0 && !even(k)) &&
           !(h == 0 && k == 0 && !even(l));
  });
}

TEST(SpaceGroupAbsences, HexagonalAndRhombohedral) {
  // With i = -h-k: hh(-2h)l has two of h, k, i equal; h(-h)0l has one of them zero.
  expect_rule("P 63/m m c", [](int h, int k, int l) {
    const int i = -h - k;
    return !((h == k || k == i || h == i) && !even(l));
  });
  expect_rule("R -3 c", [](int h, int k, int l) {
    const int i = -h - k;
    return div(-h + k + l, 3) && !((h == 0 || k == 0 || i == 0) && !even(l));
  });
  expect_rule("P 61 2 2", [](int h, int k, int l) { return !(h == 0 && k == 0 && !div(l, 6)); });
  expect_rule("P 31 2 1", [](int h, int k, int l) { return !(h == 0 && k == 0 && !div(l, 3)); });
}

TEST(SpaceGroupSymbols, CaseBlanksAndRunTogetherFieldsReadAlike) {
  const char* pairs[][2] = {{"p 21/c", "P 21/C"},      {"Fd-3m", "F d -3 m"},
                            {"I41/amd", "I 41/a m d"}, {"R-3c", "R -3 c"},
                            {"P63/mmc", "P 63/m m c"}, {"p 1 21/c 1", "P 21/c"},
                            {"P212121", "P 21 21 21"}};
  for (const auto& p : pairs) {
    SpaceGroup a, b;
    ASSERT_EQ(dorvex::SYMMETRY(p[0], a), 0) << p[0];
    ASSERT_EQ(dorvex::SYMMETRY(p[1], b), 0) << p[1];
    EXPECT_EQ(a.operator_count, b.operator_count) << p[0];
    for (int h = -4; h <= 4; ++h)
      for (int k = -4; k <= 4; ++k)
        for (int l = -4; l <= 4; ++l) {
          const dorvex::Vec3 v{float(h), float(k), float(l)};
          ASSERT_EQ(dorvex::ALLOWED(a, v), dorvex::ALLOWED(b, v)) << p[0] << " " << h << k << l;
        }
  }
}

TEST(SpaceGroupSymbols, OperatorCountsHalvedByTheInversion) {
  // Order of the point group, halved when the group is centrosymmetric.
  struct Case {
    const char* symbol;
    int count;
    int centro;
  };
  const Case groups[] = {{"P 1", 1, 0},        {"P -1", 1, 1},       {"P 21/c", 2, 1},
                         {"P 21 21 21", 4, 0}, {"F m -3 m", 24, 1},  {"F 41 3 2", 24, 0},
                         {"P 63/m m c", 12, 1}, {"R -3 c", 6, 1},    {"I -4 2 d", 8, 0},
                         {"P 43 21 2", 8, 0}};
  for (const Case& c : groups) {
    SpaceGroup g;
    ASSERT_EQ(dorvex::SYMMETRY(c.symbol, g), 0) << c.symbol;
    EXPECT_EQ(g.operator_count, c.count) << c.symbol;
    EXPECT_EQ(g.centrosymmetric, c.centro) << c.symbol;
    EXPECT_EQ(g.op[0].rotation, (std::array<int, 9>{1, 0, 0, 0, 1, 0, 0, 0, 1})) << c.symbol;
  }
}

TEST(SpaceGroupSymbols, BlankMeansP1AndBadSymbolsAreRefusedAsP1) {
  SpaceGroup g;
  ASSERT_EQ(dorvex::SYMMETRY("                    ", g), 0);
  EXPECT_EQ(g.lattice, 'P');
  EXPECT_EQ(g.operator_count, 1);
  EXPECT_EQ(g.centring_count, 0);
  EXPECT_TRUE(dorvex::ALLOWED(g, {1, 0, 0}));
  EXPECT_TRUE(dorvex::ALLOWED(g, {0, 0, 1}));
  // Unknown lattice letters, impossible elements, a centring the rotations do not keep, too
  // many fields, stray characters.
  for (const char* bad : {"Q 1", "P 5", "P 2 2", "A 4", "R 2 2 2", "P 4 4 4 4", "P 2/3",
                          "P 21/x", "P 3 d 1", "F m -3 m 2", "P -1/m", "P 2 / m", "#"}) {
    g.operator_count = 7;
    EXPECT_EQ(dorvex::SYMMETRY(bad, g), 1) << bad;
    EXPECT_EQ(g.operator_count, 1) << bad;
    EXPECT_EQ(g.lattice, 'P') << bad;
  }
}

TEST(SpaceGroupAbsences, CentringTranslationsTestedOnTheMagnitudeOfTheirPhase) {
  SpaceGroup g;
  ASSERT_EQ(dorvex::SYMMETRY("R 3", g), 0);
  ASSERT_EQ(g.centring_count, 2);
  // Obverse setting: allowed when -h+k+l is a multiple of 3, negative indices included.
  EXPECT_EQ(dorvex::LATABS(g, {1, 0, 1}), 1);
  EXPECT_EQ(dorvex::LATABS(g, {-1, 0, -1}), 1);
  EXPECT_EQ(dorvex::LATABS(g, {0, 1, 2}), 1);
  EXPECT_EQ(dorvex::LATABS(g, {1, 0, 2}), 0);
  EXPECT_EQ(dorvex::LATABS(g, {-1, 0, 1}), 0);
  EXPECT_EQ(dorvex::LATABS(g, {0, 0, 1}), 0);
  ASSERT_EQ(dorvex::SYMMETRY("F 2 2 2", g), 0);
  EXPECT_EQ(dorvex::LATABS(g, {1, 1, 1}), 1);
  EXPECT_EQ(dorvex::LATABS(g, {-2, 0, 0}), 1);
  EXPECT_EQ(dorvex::LATABS(g, {1, 1, 0}), 0);
  EXPECT_EQ(dorvex::LATABS(g, {2, 1, 0}), 0);
}

}  // namespace
