// INDA and LATT through their dialogues, on reflections generated here in double precision from
// a known cell of each of the 14 Bravais lattices, turned to a random orientation, with angle
// noise and spurious peaks.
#include "shell/commands.hpp"  // first: its TEST would clash with the test framework's macro

#include <gtest/gtest.h>

// The reference Niggli reduction of the true cell. gemmi 0.5.7 defines
// GruberVector::selling() outside the class in this header, so a second program file that
// includes it (the library's lattice search does) would define it twice: renamed here.
#define selling selling_of_test_copy
#include <gemmi/cellred.hpp>
#undef selling

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "geometry/autoindex.hpp"
#include "shell/dispatcher.hpp"
#include "support/shell_fixture.hpp"

using namespace dorvex;

namespace {

using D3 = std::array<double, 3>;
using D33 = std::array<D3, 3>;  // rows
using Cell6 = std::array<double, 6>;

constexpr double kRad = 180.0 / M_PI;
constexpr double kLambda = 0.71073;

D3 mul(const D33& m, const D3& v) {
  return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2],
          m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
          m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}
D33 mul(const D33& a, const D33& b) {
  D33 c{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) c[i][j] += a[i][k] * b[k][j];
  return c;
}
D33 transpose(const D33& m) {
  D33 t{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) t[i][j] = m[j][i];
  return t;
}
double det(const D33& m) {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
         m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}
D33 inverse(const D33& m) {
  const double d = det(m);
  D33 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const int i1 = (j + 1) % 3, i2 = (j + 2) % 3, j1 = (i + 1) % 3, j2 = (i + 2) % 3;
      r[i][j] = (m[i1][j1] * m[i2][j2] - m[i1][j2] * m[i2][j1]) / d;
    }
  return r;
}

// Metric of a cell.
D33 metric(const Cell6& c) {
  const double ca = std::cos(c[3] / kRad), cb = std::cos(c[4] / kRad), cg = std::cos(c[5] / kRad);
  return {{{c[0] * c[0], c[0] * c[1] * cg, c[0] * c[2] * cb},
           {c[0] * c[1] * cg, c[1] * c[1], c[1] * c[2] * ca},
           {c[0] * c[2] * cb, c[1] * c[2] * ca, c[2] * c[2]}}};
}

// The Niggli-reduced cells of the primitive cell with metric g, by the library's reduction: of
// g itself and of g nudged at random by up to 0.2 % in its six components. Where the reduced
// form has ties (equal edges, as centred lattices have), noise on a measured metric may land
// on any side of them; these are the reduced cells the true lattice then has.
std::vector<Cell6> niggli_forms(const D33& g) {
  const std::array<double, 6> g6{g[0][0], g[1][1], g[2][2], 2 * g[1][2], 2 * g[0][2], 2 * g[0][1]};
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> nudge(-2e-3, 2e-3);
  std::vector<Cell6> forms;
  for (int k = 0; k < 60; ++k) {
    std::array<double, 6> v = g6;
    for (int i = 0; k > 0 && i < 6; ++i) v[i] += nudge(rng) * std::sqrt(g6[i % 3] * g6[(i + 1) % 3]);
    gemmi::GruberVector gv(v);
    gv.niggli_reduce(1e-6 * std::cbrt(det(g)));
    forms.push_back(gv.cell_parameters());
  }
  return forms;
}

// Primitive axes (rows, in conventional axes) of the textbook centrings; R obverse.
D33 primitive(char centring) {
  const double h = 0.5, t = 1.0 / 3;
  switch (centring) {
    case 'C': return {{{h, -h, 0}, {h, h, 0}, {0, 0, 1}}};
    case 'I': return {{{-h, h, h}, {h, -h, h}, {h, h, -h}}};
    case 'F': return {{{0, h, h}, {h, 0, h}, {h, h, 0}}};
    case 'R': return {{{2 * t, t, t}, {-t, t, t}, {-t, -2 * t, t}}};
    default: return {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  }
}

bool allowed(char centring, int h, int k, int l) {
  switch (centring) {
    case 'C': return (h + k) % 2 == 0;
    case 'I': return (h + k + l) % 2 == 0;
    case 'F': return (h - k) % 2 == 0 && (k - l) % 2 == 0;
    case 'R': return (-h + k + l) % 3 == 0;
    default: return true;
  }
}

// Two reduced cells describe one lattice up to the ties of the reduced form: the order of
// equal edges and the signs of the axes (a right angle may come out either side of 90).
bool same_reduced(const Cell6& found, const Cell6& truth, double edge_rel, double angle_tol) {
  const int perm[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  for (const auto& p : perm) {
    bool edges = true;
    for (int i = 0; i < 3; ++i)
      edges = edges && std::fabs(found[i] - truth[p[i]]) <= edge_rel * truth[p[i]];
    if (!edges) continue;
    for (int signs = 0; signs < 8; ++signs) {
      auto s = [&](int i) { return (signs >> i) & 1 ? -1.0 : 1.0; };
      bool angles = true;
      for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3, k = (i + 2) % 3;  // the angle between axes j and k
        const int tj = p[j], tk = p[k], ti = 3 - tj - tk;
        const double cos_t = std::cos(truth[3 + ti] / kRad) * s(j) * s(k);
        angles = angles && std::fabs(found[3 + i] - std::acos(cos_t) * kRad) <= angle_tol;
      }
      if (angles) return true;
    }
  }
  return false;
}

struct Lattice14 {
  const char* symbol;
  char centring;
  Cell6 cell;  // conventional, in the standard setting LATT gives
  int clsq;    // crystal system CLSQ is to use afterwards
};

const Lattice14 kLattices[] = {
    {"aP", 'P', {6.21, 7.93, 9.42, 78.5, 83.2, 71.6}, 0},
    {"mP", 'P', {7.31, 11.24, 9.12, 90, 104.5, 90}, 1},
    {"mC", 'C', {14.2, 6.13, 8.71, 90, 111.3, 90}, 1},
    {"oP", 'P', {5.62, 8.34, 38.7, 90, 90, 90}, 3},
    {"oC", 'C', {6.52, 11.93, 9.24, 90, 90, 90}, 3},
    {"oI", 'I', {7.12, 9.63, 13.31, 90, 90, 90}, 3},
    {"oF", 'F', {5.83, 10.42, 14.91, 90, 90, 90}, 3},
    {"tP", 'P', {6.71, 6.71, 10.13, 90, 90, 90}, 4},
    {"tI", 'I', {9.32, 9.32, 15.64, 90, 90, 90}, 4},
    {"hP", 'P', {3.21, 3.21, 5.21, 90, 90, 120}, 5},
    {"hR", 'R', {8.84, 8.84, 18.02, 90, 90, 120}, 5},
    {"cP", 'P', {7.41, 7.41, 7.41, 90, 90, 90}, 6},
    {"cI", 'I', {10.22, 10.22, 10.22, 90, 90, 90}, 6},
    {"cF", 'F', {11.51, 11.51, 11.51, 90, 90, 90}, 6},
};

struct Generated {
  std::vector<ReflectionEntry> entries;
  std::vector<bool> spurious;
};

// `real` lattice reflections between 2theta 8 and 40 degrees, in bisecting settings of a random
// orientation, and `junk` peaks anywhere; every angle with Gaussian noise of `noise` degrees.
// A chi sense of -1 (in the profile) is applied as the instrument would read chi.
Generated generate(const Lattice14& lat, unsigned seed, int real, int junk, double noise,
                   double chi_sense) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> gauss(0, 1);
  double q[4];
  double qn = 0;
  for (double& v : q) {
    v = gauss(rng);
    qn += v * v;
  }
  for (double& v : q) v /= std::sqrt(qn);
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  const D33 u = {{{1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
                  {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
                  {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)}}};
  // Direct axes as columns of a Cartesian matrix; the reciprocal basis is its inverse transpose.
  const Cell6& c = lat.cell;
  const double ca = std::cos(c[3] / kRad), cb = std::cos(c[4] / kRad), cg = std::cos(c[5] / kRad),
               sg = std::sin(c[5] / kRad);
  const double cy = (ca - cb * cg) / sg;
  const D33 axes = {{{c[0], c[1] * cg, c[2] * cb},
                     {0, c[1] * sg, c[2] * cy},
                     {0, 0, c[2] * std::sqrt(1 - cb * cb - cy * cy)}}};
  const D33 ub = mul(u, transpose(inverse(axes)));

  const double dmax = 2 * std::sin(20 / kRad) / kLambda, dmin = 2 * std::sin(4 / kRad) / kLambda;
  std::vector<D3> pool;
  const int hm = static_cast<int>(dmax * c[0]) + 1, km = static_cast<int>(dmax * c[1]) + 1,
            lm = static_cast<int>(dmax * c[2]) + 1;
  for (int h = -hm; h <= hm; ++h)
    for (int k = -km; k <= km; ++k)
      for (int l = -lm; l <= lm; ++l) {
        if (!allowed(lat.centring, h, k, l)) continue;
        const D3 v = mul(ub, D3{double(h), double(k), double(l)});
        const double d = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        if (d >= dmin && d <= dmax) pool.push_back(v);
      }
  std::shuffle(pool.begin(), pool.end(), rng);
  Generated out;
  auto add = [&](double tth, double chi, double phi, bool bad) {
    ReflectionEntry e;
    e.angles = {float(tth + noise * gauss(rng)), float(noise * gauss(rng)),
                float(chi_sense * (chi + noise * gauss(rng))), float(phi + noise * gauss(rng))};
    e.ref = 1;
    out.entries.push_back(e);
    out.spurious.push_back(bad);
  };
  for (int n = 0; n < real && n < static_cast<int>(pool.size()); ++n) {
    const D3& v = pool[static_cast<std::size_t>(n)];
    const double d = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    add(2 * std::asin(kLambda * d / 2) * kRad, std::atan2(v[2], std::hypot(v[0], v[1])) * kRad,
        std::atan2(v[1], v[0]) * kRad, false);
  }
  std::uniform_real_distribution<double> tth(8, 40), chi(-80, 80), phi(-180, 180);
  for (int n = 0; n < junk; ++n) add(tth(rng), chi(rng), phi(rng), true);
  // The junk among the real ones, not at the end.
  for (std::size_t i = out.entries.size(); i > 1; --i) {
    const std::size_t j = std::uniform_int_distribution<std::size_t>(0, i - 1)(rng);
    std::swap(out.entries[i - 1], out.entries[j]);
    const bool t = out.spurious[i - 1];
    out.spurious[i - 1] = out.spurious[j];
    out.spurious[j] = t;
  }
  return out;
}

class LatticeTest : public dorvex_test::ShellFixture {
 protected:
  void load(const Generated& g, double chi_sense) {
    S().crystal.lambda1 = static_cast<float>(kLambda);
    S().profile.sense = {0, 1, 1, static_cast<float>(chi_sense), 1};
    S().list.count = static_cast<int>(g.entries.size());
    for (std::size_t k = 0; k < g.entries.size(); ++k) S().list.entry[k] = g.entries[k];
  }
  void enter(const std::string& line) {
    int exit_flag = 0;
    dispatch_line(line, exit_flag);
  }
  // The first lattice of the LATT listing ("   1  cF  Cubic ...").
  std::string first_listed() {
    const std::string text = console();
    const auto at = text.find("\n   1  ");
    return at == std::string::npos ? "" : text.substr(at + 7, 2);
  }
};

TEST_F(LatticeTest, EveryBravaisLatticeIsFoundReducedAndSetConventionally) {
  unsigned seed = 1700;
  for (const Lattice14& lat : kLattices) {
    SCOPED_TRACE(lat.symbol);
    {
      const double chi_sense = seed % 2 ? 1.0 : -1.0;
      reset_program_state();
      S().shell.program_directory = S().shell.data_directory = dir();
      clear_console();
      const Generated g = generate(lat, ++seed, 24, 6, 0.05, chi_sense);
      load(g, chi_sense);

      enter("INDA");
      EXPECT_EQ(S().shell.prompt,
                "INDA: Tolerances for 2Theta and angle, largest edge <0.30,0.50,50.0>:");
      enter("");
      ASSERT_EQ(S().shell.prompt, "Accept this cell (Y/N)?") << console();
      enter("y");
      const D33 gp = mul(mul(primitive(lat.centring), metric(lat.cell)),
                         transpose(primitive(lat.centring)));
      const std::vector<Cell6> truth = niggli_forms(gp);
      Cell6 found{};
      for (int k = 0; k < 6; ++k) found[k] = S().crystal.cell[k];
      auto reduced_as_true = [&](const Cell6& c) {
        return std::any_of(truth.begin(), truth.end(),
                           [&](const Cell6& t) { return same_reduced(c, t, 0.005, 0.5); });
      };
      EXPECT_TRUE(reduced_as_true(found))
          << found[0] << " " << found[1] << " " << found[2] << " " << found[3] << " "
          << found[4] << " " << found[5] << "\n" << console();
      // Every lattice reflection indexed with whole indices; junk that the cell cannot place
      // is omitted.
      for (std::size_t k = 0; k < g.entries.size(); ++k) {
        const ReflectionEntry& e = S().list.entry[k];
        if (g.spurious[k]) continue;
        EXPECT_EQ(e.use, 1) << k;
        EXPECT_EQ(e.h, std::round(e.h)) << k;
      }

      clear_console();
      enter("LATT");
      enter("");
      EXPECT_EQ(first_listed(), lat.symbol) << console();
      enter("1");
      EXPECT_EQ(S().shell.continuation_code, 0);
      Cell6 conv{};
      for (int k = 0; k < 6; ++k) conv[k] = S().crystal.cell[k];
      if (lat.centring == 'P' && lat.clsq == 0) {
        EXPECT_TRUE(reduced_as_true(conv)) << console();
      } else {
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(conv[k], lat.cell[k], 0.005 * lat.cell[k]) << k;
        for (int k = 3; k < 6; ++k) EXPECT_NEAR(conv[k], lat.cell[k], 0.5) << k;
      }
      EXPECT_EQ(S().refine.lattice_system, lat.clsq);
      // The lattice reflections now carry conventional indices that obey the centring.
      for (std::size_t k = 0; k < g.entries.size(); ++k) {
        const ReflectionEntry& e = S().list.entry[k];
        if (g.spurious[k] || e.use == 0) continue;
        const int h = int(std::lround(e.h)), kk = int(std::lround(e.k)), l = int(std::lround(e.l));
        EXPECT_NEAR(e.h, h, 1e-3);
        EXPECT_NEAR(e.l, l, 1e-3);
        EXPECT_TRUE(allowed(lat.centring, h, kk, l)) << h << " " << kk << " " << l;
      }
    }
  }
}

// The hard ends of the range: a dozen reflections, two of them spurious, for every lattice
// type (a cell of half the volume then often places most of them), and a cell with three long
// edges from 30 reflections, six spurious (the zones of its long edges hold few reflections).
TEST_F(LatticeTest, FewReflectionsAndLongEdgesGiveTheTrueReducedCell) {
  struct Case {
    Lattice14 lat;
    int real, junk;
    unsigned seed;
  };
  std::vector<Case> cases;
  unsigned seed = 5100;
  for (const Lattice14& lat : kLattices) cases.push_back({lat, 10, 2, ++seed});
  const Lattice14 long_cell{"oP", 'P', {39.0, 39.5, 25.0, 90, 90, 90}, 3};
  for (unsigned k = 0; k < 4; ++k) cases.push_back({long_cell, 24, 6, ++seed});
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.lat.symbol) + " seed " + std::to_string(c.seed));
    reset_program_state();
    S().shell.program_directory = S().shell.data_directory = dir();
    clear_console();
    load(generate(c.lat, c.seed, c.real, c.junk, 0.05, 1.0), 1.0);
    enter("INDA");
    enter("");
    ASSERT_EQ(S().shell.prompt, "Accept this cell (Y/N)?") << console();
    enter("y");
    const D33 gp = mul(mul(primitive(c.lat.centring), metric(c.lat.cell)),
                       transpose(primitive(c.lat.centring)));
    const std::vector<Cell6> truth = niggli_forms(gp);
    Cell6 found{};
    for (int k = 0; k < 6; ++k) found[k] = S().crystal.cell[k];
    EXPECT_TRUE(std::any_of(truth.begin(), truth.end(),
                            [&](const Cell6& t) { return same_reduced(found, t, 0.005, 0.5); }))
        << found[0] << " " << found[1] << " " << found[2] << " " << found[3] << " " << found[4]
        << " " << found[5];
  }
}

}  // namespace

namespace {

TEST_F(LatticeTest, RefusalsAndAnswersThatChangeNothing) {
  // LATT without a cell; INDA with five used reflections.
  enter("LATT");
  EXPECT_NE(console().find(" No cell is set: find one with INDA or enter one with CELL"),
            std::string::npos);
  EXPECT_EQ(S().shell.continuation_code, 0);
  const Generated g = generate(kLattices[7], 99, 16, 0, 0.05, 1.0);
  load(g, 1.0);
  for (int k = 5; k < S().list.count; ++k) S().list.entry[static_cast<std::size_t>(k)].use = 0;
  S().shell.error_flag = 0;
  enter("INDA");
  EXPECT_NE(console().find(" Only  5 reflections with the USE flag set: INDA needs at least 6"),
            std::string::npos);
  EXPECT_EQ(S().shell.error_flag, 1);

  // An unreadable or impossible tolerance line is asked again; N keeps the old cell.
  for (int k = 0; k < S().list.count; ++k) S().list.entry[static_cast<std::size_t>(k)].use = 1;
  const Mat3 old_ub = S().crystal.UB;
  enter("INDA");
  enter("x");
  EXPECT_EQ(S().shell.prompt, "Error on input, try again:");
  enter("0.3 -1");
  EXPECT_EQ(S().shell.prompt, "Error on input, try again:");
  enter("0.2 0.4 30");
  EXPECT_EQ(S().shell.prompt, "Accept this cell (Y/N)?");
  EXPECT_NE(console().find("within 0.20 degrees in 2theta and 0.40 in angle"), std::string::npos);
  enter("n");
  EXPECT_EQ(S().crystal.UB.a, old_ub.a);
  EXPECT_EQ(S().list.entry[0].h, 0.0f);
  EXPECT_FLOAT_EQ(S().refine.inda_max_edge, 30.0f);  // kept for the next INDA

  // Peaks that no lattice explains.
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> tth(8, 40), chi(-80, 80), phi(-180, 180);
  for (int k = 0; k < 15; ++k)
    S().list.entry[static_cast<std::size_t>(k)].angles = {float(tth(rng)), 0, float(chi(rng)),
                                                          float(phi(rng))};
  S().list.count = 15;
  S().shell.error_flag = 0;
  enter("INDA");
  enter("");
  EXPECT_NE(console().find(" No lattice explains the reflections"), std::string::npos)
      << console();
  EXPECT_EQ(S().shell.continuation_code, 0);
  EXPECT_EQ(S().shell.error_flag, 1);

  // LATT: a number beyond the list is asked again; an empty line takes none.
  S().crystal.cell = {10.0f, 8.0f, 9.0f, 90, 90, 90};
  S().crystal.UB = Mat3::identity(0.1f);
  S().crystal.UB(1, 1) = 0.125f;
  S().crystal.UB(2, 2) = 1.0f / 9;
  enter("LATT");
  enter("");
  EXPECT_NE(console().find("\n   1  oP  Orthorhombic    8.0000   9.0000  10.0000"),
            std::string::npos) << console();
  enter("9");
  EXPECT_EQ(S().shell.prompt, "Error on input, try again:");
  enter("");
  EXPECT_NE(console().find(" No lattice taken; the cell is unchanged."), std::string::npos);
  EXPECT_EQ(S().shell.continuation_code, 0);
  EXPECT_FLOAT_EQ(S().crystal.UB(1, 1), 0.125f);
}

}  // namespace
