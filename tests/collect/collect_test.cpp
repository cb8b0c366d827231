// DC I, DC S, DC L and DC P as the operator runs them: the real program against dorvex-sim
// holding the sample crystal (orthorhombic, 8 x 10 x 12 A), the parameters given through the
// matrix file, the results read from the console and the reflection data file.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::Home;
using dorvex_test::lines;

using HKL = std::tuple<int, int, int>;

const std::string kSampleMat = DORVEX_SOURCE_DIR "/examples/sample.mat";
const double kLambda = 0.7093;  // first wavelength of the sample matrix file
const double kCell[3] = {8.0, 10.0, 12.0};

double two_theta(int h, int k, int l) {
  const double q = std::sqrt(h * h / (kCell[0] * kCell[0]) + k * k / (kCell[1] * kCell[1]) +
                             l * l / (kCell[2] * kCell[2]));
  return 2.0 * std::asin(kLambda * q / 2.0) * 180.0 / M_PI;
}

// The collection parameters written into the matrix file.
struct Params {
  double width = 0.8, step = 0.02, time = 1.0;
  double violations = 0;
  int sg_number = 2;
  std::string sg_symbol = "P -1";
  int limits[6] = {0, 20, 0, 20, 0, 20};
  int standards = 0, interval = 100;
  struct Shell {
    double lower, upper;
    int selected;
  };
  std::vector<Shell> shells{{3.0, 10.0, 1}};  // shells 1, 2, ...
};

// A real right-aligned in `width` columns with `decimals` decimals.
std::string field(int width, int decimals, double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%*.*f", width, decimals, v);
  return buf;
}

std::string collection_lines(const Params& p) {
  char buf[128];
  std::string s;
  std::snprintf(buf, sizeof buf, "SGROUP%5d%-20s\n", p.sg_number, p.sg_symbol.c_str());
  s += buf;
  s += "DSCAN1" + field(8, 4, p.width) + field(8, 4, 0.35) + "\n";
  // scan type, psi scans, step, time, precision, required, max scans, violations, psi
  // interval, reserve, min I/sigma, multiple psi
  s += "DSCAN2" + field(6, 1, 1) + field(6, 1, 0) + field(7, 4, p.step) + field(6, 1, p.time) +
       field(6, 1, 0) + field(6, 1, 0) + field(6, 1, 0) + field(6, 1, p.violations) +
       field(6, 2, 0) + field(6, 1, 0) + field(6, 2, 0) + field(6, 1, 0) + "\n";
  std::snprintf(buf, sizeof buf, "HKLORD%4d%4d%4d%4d%4d%4d   1   2   3\n", p.limits[0],
                p.limits[1], p.limits[2], p.limits[3], p.limits[4], p.limits[5]);
  s += buf;
  std::snprintf(buf, sizeof buf, "ALLSTD%5d%5d\n", p.standards, p.interval);
  s += buf;
  s += std::string("HKLST   1    2    0    0") + (p.standards > 0 ? "    1" : "    0") + "\n";
  for (int n = 2; n <= 5; ++n) {
    std::snprintf(buf, sizeof buf, "HKLST %3d    0    0    0    0\n", n);
    s += buf;
  }
  for (std::size_t n = 1; n <= 10; ++n) {
    const Params::Shell shell = n <= p.shells.size() ? p.shells[n - 1] : Params::Shell{0, 0, 0};
    std::snprintf(buf, sizeof buf, "SHELL %5zu%9.3f%9.3f%5d\n", n, shell.lower, shell.upper,
                  shell.selected);
    s += buf;
  }
  return s;
}

struct Instrument {
  Home home;
  explicit Instrument(const Params& p, bool quick_shutter = true) {
    std::string mat;
    std::ifstream in(kSampleMat);
    std::string line;
    while (std::getline(in, line)) {
      if (line.find("DATA COLLECTION PARAMETERS") != std::string::npos) break;
      mat += line + "\n";
    }
    home.write("x.mat", mat + collection_lines(p));
    if (quick_shutter) {  // no shutter delay: the runs are quick
      std::string profile;
      for (const auto& l : lines(home.read("DIFPROF.DAT")))
        profile += (l.rfind("CONFIG", 0) == 0
                        ? "CONFIG    1    1    1    1    0    0    1    1    0    0    0    1"
                        : l) +
                   "\n";
      home.write("DIFPROF.DAT", profile);
    }
  }
  std::vector<std::string> args() const {
    return {"--home", home.path(), "--simulate", "--ui", "line", "--mat", home.file("x.mat")};
  }
  std::string time_scale = "0";
  std::vector<std::string> env() const { return {"DORVEX_SIM_ARGS=--time-scale " + time_scale}; }
  // Chooses the data file d.rfl first, then types `input`.
  dorvex_test::RunResult run(const std::string& input) const {
    return dorvex_test::run_dorvex(home, "SET DATF\n" + home.file("d") + "\ny\n" + input + "EXIT\n",
                                   args(), 60, env());
  }
};

// One reflection line of the console.
struct Line {
  int seq = 0, h = 0, k = 0, l = 0;
  double tth = 0, om = 0, chi = 0, phi = 0, psi = 0, intensity = 0, sigma = 0;
  std::string flags;
};

std::vector<Line> reflection_lines(const std::string& out) {
  std::vector<Line> v;
  for (const auto& s : lines(out)) {
    if (s.size() != 76 || s[4] != ':') continue;
    Line r;
    std::istringstream in(s.substr(0, 4) + " " + s.substr(5, 61));
    in >> r.seq >> r.h >> r.k >> r.l >> r.tth >> r.om >> r.chi >> r.phi >> r.psi >>
        r.intensity >> r.sigma;
    if (!in) continue;
    r.flags = s.substr(67, 3);
    v.push_back(r);
  }
  return v;
}

// The "R" records of a data file with their counts; `whole` is false when a record's "S"
// lines do not hold exactly its N counts.
struct Record {
  int seq = 0, h = 0, k = 0, l = 0, n = 0, standard = 0;
  double step = 0, rate = 0;
  std::vector<long> counts;
};
std::vector<Record> records(const std::string& text, bool& whole) {
  std::vector<Record> v;
  whole = true;
  for (const auto& s : lines(text)) {
    if (s.rfind("R", 0) == 0) {
      if (!v.empty() && static_cast<int>(v.back().counts.size()) != v.back().n) whole = false;
      Record r;
      std::istringstream in(s.substr(1));
      double psi, tth, om, chi, phi;
      in >> r.seq >> r.h >> r.k >> r.l >> psi >> tth >> om >> chi >> phi >> r.n >> r.step >>
          r.rate >> r.standard;
      v.push_back(r);
    } else if (s.rfind("S", 0) == 0 && !v.empty()) {
      if (s.size() > 81 || (s.size() - 1) % 8 != 0) whole = false;
      for (std::size_t c = 1; c + 8 <= s.size(); c += 8)
        v.back().counts.push_back(std::stol(s.substr(c, 8)));
    }
  }
  if (!v.empty() && static_cast<int>(v.back().counts.size()) != v.back().n) whole = false;
  return v;
}

// Reflections of shell [lo, hi) with 0 <= h,k,l, counted from the cell, less those `keep`
// rejects.
template <class Keep>
std::set<HKL> shell_reflections(double lo, double hi, Keep keep) {
  std::set<HKL> out;
  for (int h = 0; h <= 20; ++h)
    for (int k = 0; k <= 20; ++k)
      for (int l = 0; l <= 20; ++l) {
        if (h == 0 && k == 0 && l == 0) continue;
        const double t = two_theta(h, k, l);
        if (!std::isfinite(t)) continue;  // beyond the sphere of reflection
        EXPECT_GT(std::fabs(t - lo), 0.01);  // no reflection sits on a limit
        EXPECT_GT(std::fabs(t - hi), 0.01);
        if (t >= lo && t < hi && keep(h, k, l)) out.insert({h, k, l});
      }
  return out;
}

std::set<HKL> measured(const std::vector<Line>& v, bool standards) {
  std::set<HKL> out;
  for (const auto& r : v)
    if ((r.flags[1] == 'S') == standards) out.insert({r.h, r.k, r.l});
  return out;
}

TEST(Collect, SingleReflectionIsIntegratedFromItsCountsAndWrittenToTheDataFile) {
  Instrument run(Params{});
  const auto r = run.run("DC I\ny\n2 0 0\n0 0 0\n");
  const auto v = reflection_lines(r.out);
  ASSERT_EQ(v.size(), 1u) << r.out;
  EXPECT_EQ(v[0].seq, 1);
  EXPECT_NEAR(v[0].tth, two_theta(2, 0, 0), 0.02);
  EXPECT_GT(v[0].intensity, 20 * v[0].sigma);

  bool whole = false;
  const auto recs = records(run.home.read("d.rfl"), whole);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_TRUE(whole);
  const Record& rec = recs[0];
  EXPECT_EQ(std::make_tuple(rec.seq, rec.h, rec.k, rec.l, rec.standard),
            std::make_tuple(1, 2, 0, 0, 0));
  ASSERT_EQ(rec.n, 41);  // 0.8 / 0.02 + 1
  EXPECT_NEAR(rec.step, 0.02, 1e-4);
  // Background-peak-background from the recorded counts: 4 points a side, k = 16 / 4 = 4.
  double b = 0, p = 0, peak = 0;
  for (int i = 0; i < 41; ++i) {
    const double c = static_cast<double>(rec.counts[static_cast<std::size_t>(i)]);
    if (i < 4 || i >= 37) b += c;
    else p += c;
    peak = std::max(peak, c);
  }
  const double t = 100.0 * rec.step / rec.rate;  // counting time per point
  EXPECT_NEAR(v[0].intensity, (p - 4 * b) / (41 * t), 0.1 + 1e-4 * v[0].intensity);
  EXPECT_NEAR(v[0].sigma, std::sqrt(p + 16 * b) / (41 * t), 0.1);
  // A sensible background: counted, and well below the top of the peak.
  EXPECT_GT(b, 0);
  EXPECT_LT(b / 8, peak / 5);
}

TEST(Collect, ScanOfMoreThan200PointsIsRefused) {
  Params wide;
  wide.width = 2.0;
  wide.step = 0.01;  // 201 points
  Instrument refused(wide);
  auto r = refused.run("DC I\ny\n2 0 0\n0 0 0\n");
  EXPECT_NE((r.out + r.err).find("201steps in scan: 200 allowed"), std::string::npos) << r.out;
  EXPECT_TRUE(reflection_lines(r.out).empty());

  // Below ten points there is no background point on either side.
  Params narrow;
  narrow.width = 0.16;  // 9 points
  Instrument too_few(narrow);
  r = too_few.run("DC I\ny\n2 0 0\n0 0 0\n");
  EXPECT_NE((r.out + r.err).find("9steps in scan: at least 10 needed"), std::string::npos)
      << r.out;
  EXPECT_TRUE(reflection_lines(r.out).empty());

  wide.width = 1.99;  // 200 points
  Instrument accepted(wide);
  r = accepted.run("DC I\ny\n2 0 0\n0 0 0\n");
  bool whole = false;
  const auto recs = records(accepted.home.read("d.rfl"), whole);
  ASSERT_EQ(recs.size(), 1u) << r.out;
  EXPECT_EQ(recs[0].n, 200);
  EXPECT_TRUE(whole);
}

TEST(Collect, ShellCollectsEveryReflectionItHoldsWithStandardsAtTheInterval) {
  Params p;
  p.standards = 1;
  p.interval = 5;
  Instrument run(p);
  const auto r = run.run("DC S\ny\n");
  const auto v = reflection_lines(r.out);
  const auto expected = shell_reflections(3.0, 10.0, [](int, int, int) { return true; });
  EXPECT_EQ(measured(v, false), expected) << r.out;
  // Standards: first, then whenever five reflections have been written since, and at the end.
  std::vector<int> standard_seqs, expected_seqs;
  int seq = 1;
  expected_seqs.push_back(seq++);
  int last = seq;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ++seq;
    if (seq - last >= 5) {
      expected_seqs.push_back(seq++);
      last = seq;
    }
  }
  if (seq != last) expected_seqs.push_back(seq++);
  for (const auto& x : v) {
    EXPECT_EQ(x.seq, static_cast<int>(&x - &v[0]) + 1);  // numbered without gaps
    if (x.flags[1] == 'S') {
      standard_seqs.push_back(x.seq);
      EXPECT_EQ(std::make_tuple(x.h, x.k, x.l), std::make_tuple(2, 0, 0));
    }
  }
  EXPECT_EQ(standard_seqs, expected_seqs);
  EXPECT_NE(r.out.find("****END OF DATA****"), std::string::npos);
  bool whole = false;
  EXPECT_EQ(records(run.home.read("d.rfl"), whole).size(), v.size());
  EXPECT_TRUE(whole);
}

TEST(Collect, SpaceGroupViolationsAreSkippedOrCollectedAlone) {
  auto absent = [](int h, int k, int l) {  // P 21 21 21: odd h00, 0k0, 00l
    return (k == 0 && l == 0 && h % 2) || (h == 0 && l == 0 && k % 2) ||
           (h == 0 && k == 0 && l % 2);
  };
  for (double mode : {1.0, 2.0}) {
    Params p;
    p.violations = mode;
    p.sg_number = 19;
    p.sg_symbol = "P 21 21 21";
    Instrument run(p);
    const auto r = run.run("DC S\ny\n");
    const auto expected = shell_reflections(3.0, 10.0, [&](int h, int k, int l) {
      return mode > 1.5 ? absent(h, k, l) : !absent(h, k, l);
    });
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(measured(reflection_lines(r.out), false), expected) << "mode " << mode << r.out;
  }
}

TEST(Collect, UnreadableSpaceGroupRefusesARuleOnIt) {
  for (const char* symbol : {"Q 9", "P 21/x"}) {
    Params p;
    p.violations = 2;
    p.sg_symbol = symbol;
    Instrument run(p);
    const auto r = run.run("DC S\ny\n");
    EXPECT_NE(r.out.find(std::string(" Space group symbol \"") + symbol +
                         "\" cannot be interpreted: no data collected"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(reflection_lines(r.out).empty());
  }
}

// Shell 3 holds 61 reflections: the column header comes again before its 61st line.
TEST(Collect, OnlyTheSelectedShellsAreCollectedInTheirOrderUnderHeadersOf60Lines) {
  Params p;
  p.shells = {{3, 6, 1}, {6, 8, 0}, {8, 18, 1}};
  Instrument run(p);
  const auto r = run.run("DC S\ny\n");
  EXPECT_NE(r.out.find("  Data will be collected in  2 shells"), std::string::npos) << r.out;
  const auto v = reflection_lines(r.out);
  const auto all = [](int, int, int) { return true; };
  const auto first = shell_reflections(3, 6, all), third = shell_reflections(8, 18, all);
  ASSERT_EQ(v.size(), first.size() + third.size()) << r.out;
  EXPECT_EQ(measured({v.begin(), v.begin() + static_cast<long>(first.size())}, false), first);
  EXPECT_EQ(measured({v.begin() + static_cast<long>(first.size()), v.end()}, false), third);
  EXPECT_EQ(r.out.find("SHELL NO  2"), std::string::npos);
  EXPECT_NE(r.out.find("SHELL NO  3 FROM  8.00 TO 18.00 TWO-THETA"), std::string::npos);
  std::vector<int> block;  // reflection lines under each column header
  for (const auto& line : lines(r.out)) {
    if (line == " SEQ    H   K   L 2TH   OMEGA     CHI     PHI    PSI    INT   SIGI FLAG TIME")
      block.push_back(0);
    else if (line.size() == 76 && line[4] == ':' && !block.empty())
      ++block.back();
  }
  EXPECT_EQ(block, (std::vector<int>{static_cast<int>(first.size()), 60,
                                     static_cast<int>(third.size()) - 60}));
}

TEST(Collect, ListCollectionFromAFileResumesAtTheGivenReflection) {
  Instrument run(Params{});
  run.home.write("r.lst", "1 0 0\n0 1 0\n 0.0 0.0 2.0\n1,1,1\n");
  const auto r = run.run("DC L\ny\ny\n" + run.home.file("r.lst") + "\n0 1 0\n");
  const auto got = measured(reflection_lines(r.out), false);
  EXPECT_EQ(got, (std::set<HKL>{{0, 1, 0}, {0, 0, 2}, {1, 1, 1}})) << r.out;
  EXPECT_NE(r.out.find("****END OF DATA****"), std::string::npos);
}

TEST(Collect, ListCollectionFromTheReflectionListTakesTheEntriesInUse) {
  Instrument run(Params{});
  const auto r = run.run("OMIT 3\nDC L\ny\nn\n");
  EXPECT_NE(r.out.find("REFLECTIONS WILL BE TAKEN FROM CENTERING LIST"), std::string::npos);
  std::vector<HKL> order;
  for (const auto& x : reflection_lines(r.out)) order.push_back({x.h, x.k, x.l});
  const std::vector<HKL> expected{{2, 0, 0},  {0, 2, 0},  {1, 1, 1}, {2, -1, 3},
                                  {1, 3, -2}, {-2, 2, 1}, {3, 1, 2}};
  EXPECT_EQ(order, expected) << r.out;
}

TEST(Collect, PsiScanMeasuresTheReflectionAtEachPsi) {
  Instrument run(Params{});
  // Psi -45 puts omega beyond its limit: skipped without a message.
  const auto r = run.run("DC P\ny\n0 0 10\n-45 15 15\n2 0 0\n\n");
  const auto v = reflection_lines(r.out);
  ASSERT_EQ(v.size(), 4u) << r.out;
  std::set<std::pair<long, long>> settings;
  for (std::size_t i = 0; i < v.size(); ++i) {
    EXPECT_NEAR(v[i].psi, -30.0 + 15.0 * static_cast<double>(i), 1e-6);
    EXPECT_NEAR(v[i].tth, two_theta(2, 0, 0), 0.02);
    // The crystal only diffracts when the psi setting is right.
    EXPECT_GT(v[i].intensity, 20 * v[i].sigma) << r.out;
    settings.insert({std::lround(v[i].chi), std::lround(v[i].phi)});
  }
  EXPECT_EQ(settings.size(), 4u);
  EXPECT_NE(r.out.find("Invalid input, try again:"), std::string::npos);
}

// Scans of a tenth of a second, so that each halt lands in mid-collection. A halted DC S
// goes on after the last reflection it wrote; on another crystal (matrix file) DC S starts at
// the beginning of the shell.
TEST(Collect, HaltedCollectionResumesAfterItsLastRecordOnlyForTheSameCrystal) {
  Params p;
  p.width = 0.2;  // 11 points of 1 s, a hundred times faster than real time
  p.shells = {{3.0, 13.0, 1}};
  Instrument run(p);
  run.home.write("y.mat", run.home.read("x.mat"));
  run.time_scale = "100";
  const dorvex_test::Started child = dorvex_test::start_program(
      run.home.path(), run.args(), run.env(), dorvex_test::Stderr::inherited);
  ASSERT_GE(child.pid, 0);
  auto send = [&](const std::string& text) {
    return ::write(child.in, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  };
  std::string output;
  auto read_until = [&](const std::function<bool()>& done) {
    return dorvex_test::read_output_until(child, output, done);
  };
  // Halts once three more reflections have been measured; the output up to the prompt after.
  auto halt = [&]() {
    const std::size_t before = reflection_lines(output).size();
    if (!read_until([&] { return reflection_lines(output).size() >= before + 3; })) return false;
    ::kill(child.pid, SIGINT);
    const auto at = output.size();
    return read_until([&] { return output.find("halted by user", at) != std::string::npos; }) &&
           read_until([&] { return output.rfind("DORVEX>") > output.rfind("halted by user"); });
  };
  ASSERT_TRUE(send("SET DATF\n" + run.home.file("d") + "\ny\nDC S\ny\n"));
  const bool halted1 = halt();
  const std::string run1 = output;
  const bool halted2 = halted1 && send("DC S\ny\n") && halt();
  const std::string run2 = output.substr(run1.size());
  const bool ended = halted2 && send("SET MAT\n" + run.home.file("y.mat") + "\nDC S\ny\n") &&
                     read_until([&] { return output.find("END OF DATA") != std::string::npos; });
  const std::string run3 = output.substr(run1.size() + run2.size());
  send("EXIT\n");
  ::close(child.in);
  read_until([&] { return output.find("Normal program termination") != std::string::npos; });
  ::kill(child.pid, SIGKILL);
  ::waitpid(child.pid, nullptr, 0);
  ::close(child.out);
  ASSERT_TRUE(halted1 && halted2 && ended) << output;
  EXPECT_EQ((run1 + run2).find("END OF DATA"), std::string::npos) << output;
  EXPECT_NE(run2.find(" Continuing shell  1 after reflection"), std::string::npos) << run2;
  EXPECT_NE(run3.find(" The stopped collection was of another crystal: starting at the beginning"),
            std::string::npos)
      << run3;

  // The new crystal gets the whole shell; the two halted runs of the first one measured the
  // start of the same sequence, nothing twice and nothing left out.
  const auto expected = shell_reflections(3.0, 13.0, [](int, int, int) { return true; });
  std::vector<HKL> order, before;
  for (const auto& x : reflection_lines(run3)) order.push_back({x.h, x.k, x.l});
  for (const auto& x : reflection_lines(run1 + run2)) before.push_back({x.h, x.k, x.l});
  EXPECT_EQ(std::set<HKL>(order.begin(), order.end()), expected);
  ASSERT_EQ(order.size(), expected.size());
  ASSERT_LT(before.size(), order.size());
  EXPECT_EQ(before,
            std::vector<HKL>(order.begin(), order.begin() + static_cast<long>(before.size())));

  // Numbered on without a gap across all three, and the data file holds what the console says.
  const auto v = reflection_lines(output);
  for (std::size_t i = 0; i < v.size(); ++i) EXPECT_EQ(v[i].seq, static_cast<int>(i) + 1);
  bool whole = false;
  const auto recs = records(run.home.read("d.rfl"), whole);
  EXPECT_TRUE(whole);
  ASSERT_EQ(recs.size(), v.size());
  for (std::size_t i = 0; i < v.size(); ++i)
    EXPECT_EQ(std::make_tuple(recs[i].seq, recs[i].h, recs[i].k, recs[i].l),
              std::make_tuple(v[i].seq, v[i].h, v[i].k, v[i].l));
  EXPECT_FALSE(run.home.exists("d.rfl.resume"));  // gone with the end of data
}

TEST(Collect, DummyModeCollectsNothing) {
  Instrument run(Params{});
  const auto r = dorvex_test::run_dorvex(run.home, "SET DATF\n" + run.home.file("d") +
                                         "\ny\nDC S\ny\nDC I\ny\n2 0 0\nEXIT\n",
                                         dorvex_test::mat_args(run.home, "x"), 30);
  EXPECT_EQ(r.out.find("Continue with these parameters"), std::string::npos) << r.out;
  EXPECT_TRUE(reflection_lines(r.out).empty());
  EXPECT_FALSE(run.home.exists("d.rfl"));
  EXPECT_NE(r.out.find("Normal program termination"), std::string::npos) << r.out;
}

}  // namespace
