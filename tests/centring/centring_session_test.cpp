// CNTR, CENT and REF as the operator types them: the real program against dorvex-sim with the
// sample crystal and its matrix file. The crystal's true settings are computed here from the
// UB matrix of the matrix file (bisecting geometry, phi axis frame).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::has_line;
using dorvex_test::Home;
using dorvex_test::lines;

const std::string kSampleMat = DORVEX_SOURCE_DIR "/examples/sample.mat";
const std::string kSampleCrystal = DORVEX_SOURCE_DIR "/examples/sample_crystal.txt";
constexpr double kLambda = 0.7093;     // WAVEL of the sample profile
constexpr double kFwhm2Theta = 0.35;   // peak widths of the sample crystal
constexpr double kFwhmOmega = 0.25;
constexpr double kFwhmChi = 1.5;

// Lines of `text` with every line starting with `key` replaced by `line`.
std::string replace_line(const std::string& text, const std::string& key,
                         const std::string& line) {
  std::string out;
  for (const auto& l : lines(text)) out += (l.rfind(key, 0) == 0 ? line : l) + "\n";
  return out;
}

struct Setting {
  double tth = 0, omega = 0, chi = 0, phi = 0;
};

// The bisecting setting of h k l from the UB rows of a matrix file.
Setting true_setting(const std::string& matfile, double h, double k, double l) {
  std::vector<std::array<double, 3>> ub;
  for (const auto& line : lines(matfile)) {
    if (line.rfind("UB ", 0) != 0) continue;
    std::istringstream in(line.substr(3));
    std::array<double, 3> row{};
    in >> row[0] >> row[1] >> row[2];
    ub.push_back(row);
  }
  EXPECT_EQ(ub.size(), 3u);
  std::array<double, 3> x{};
  for (std::size_t i = 0; i < 3 && i < ub.size(); ++i)
    x[i] = ub[i][0] * h + ub[i][1] * k + ub[i][2] * l;
  const double deg = 180.0 / 3.14159265358979;
  const double length = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
  Setting s;
  s.tth = 2.0 * std::asin(kLambda * length / 2.0) * deg;
  s.chi = std::atan2(x[2], std::hypot(x[0], x[1])) * deg;
  s.phi = std::atan2(x[1], x[0]) * deg;
  return s;
}

// The numbers after " Angles: " (four angles and the rate).
std::vector<double> centred_angles(const std::string& out) {
  for (const auto& l : lines(out)) {
    if (l.rfind(" Angles: ", 0) != 0) continue;
    std::vector<double> v;
    double a = 0, b = 0, c = 0, d = 0, rate = 0;
    if (std::sscanf(l.c_str(), " Angles: %lf %lf %lf %lf, Rate: %lf", &a, &b, &c, &d, &rate) ==
        5)
      return {a, b, c, d, rate};
  }
  return {};
}

double number_after(const std::string& out, const std::string& key) {
  for (const auto& l : lines(out)) {
    const auto at = l.find(key);
    if (at != std::string::npos) return std::atof(l.c_str() + at + key.size());
  }
  return NAN;
}

struct ListRef {
  double h = 0, k = 0, l = 0;
  std::array<double, 4> angles{};
  int intensity = 0, ref = 0, use = 0;
};

std::vector<ListRef> list_of(const std::string& matfile) {
  std::vector<ListRef> out;
  for (const auto& line : lines(matfile)) {
    if (line.rfind("LISTREF", 0) != 0) continue;
    ListRef r;
    int number = 0;
    std::istringstream in(line.substr(7));
    in >> number >> r.h >> r.k >> r.l >> r.angles[0] >> r.angles[1] >> r.angles[2] >>
        r.angles[3] >> r.intensity >> r.ref >> r.use;
    out.push_back(r);
  }
  return out;
}

// The two kinds of machine: omega and 2theta on motors of their own (the bundled profile),
// and the omega circle geared to follow half of 2theta.
const char* const kMachines[] = {"DIFPROF.DAT", "DIFPROF_GEARED.DAT"};

struct Simulated {
  Home home;
  std::string crystal;  // crystal file for the simulator ("" the built-in sample)
  // `profile`: a sample profile of examples/ in place of the bundled one, with its shutter
  // settling in 10 ms (CONFIG field 11) so that the many openings of a run stay quick.
  explicit Simulated(const std::string& profile = "") {
    home.copy_in(kSampleMat, "x.mat");
    if (profile.empty()) return;
    home.copy_in(DORVEX_SOURCE_DIR "/examples/" + profile, "DIFPROF.DAT");
    std::string text;
    for (auto l : lines(home.read("DIFPROF.DAT"))) {
      if (l.rfind("CONFIG", 0) == 0 && l.size() >= 61) l.replace(56, 5, "   10");
      text += l + "\n";
    }
    home.write("DIFPROF.DAT", text);
  }
  void zero_errors(const std::string& zero) {
    crystal = "crystal.txt";
    home.copy_in(kSampleCrystal, crystal);
    home.write(crystal, replace_line(home.read(crystal), "zero", "zero " + zero));
  }
  std::vector<std::string> args() const {
    return {"--home", home.path(),
            crystal.empty() ? "--simulate" : "--simulate=" + home.file(crystal),
            "--ui", "line", "--mat", home.file("x.mat")};
  }
  dorvex_test::RunResult run(const std::string& input, const std::string& seed = "1",
                             int timeout = 90) const {
    return dorvex_test::run_dorvex(
        home, input, args(), timeout,
        {"DORVEX_SIM_ARGS=--time-scale 0 --seed " + seed + " --transcript " +
         home.file("wire.txt")});
  }
  std::vector<std::string> sent() const {
    return dorvex_test::received_lines(home.read("wire.txt"));
  }
};

using dorvex_test::count_starting;

TEST(Cntr, CentresAReflectionDrivenOffItsPeakAndCentAddsARefOneEntry) {
  Simulated sim;
  const std::string mat = sim.home.read("x.mat");
  const Setting t020 = true_setting(mat, 0, 2, 0);
  const Setting t002 = true_setting(mat, 0, 0, 2);
  // 0 2 0 set off its peak in every circle, centred with CNTR and added; then 0 0 2 from its
  // calculated setting, centred with CENT and added.
  const auto r = sim.run("CALC 0 2 0\nDRIV\nMOT 2 0.12\nMOT 3 " + std::to_string(t020.chi + 0.6) +
                         "\nMOT 1 " + std::to_string(t020.tth + 0.1) + "\nCNTR\nY\n" +
                         "CALC 0 0 2\nDRIV\nCENT\n\nEXIT\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<double> a = centred_angles(r.out);
  ASSERT_EQ(a.size(), 5u) << r.out;
  EXPECT_NEAR(a[0], t020.tth, 0.3 * kFwhm2Theta);
  EXPECT_NEAR(a[1], t020.omega, 0.3 * kFwhmOmega);
  EXPECT_NEAR(a[2], t020.chi, 0.3 * kFwhmChi);
  EXPECT_NEAR(a[3], t020.phi, 0.01);
  // Near the peak rate of the reflection (6000 counts/s, with its alpha2 half as strong).
  EXPECT_GT(a[4], 4000.0);
  EXPECT_NEAR(number_after(r.out, "   Zero: "), 0.0, 0.05);
  EXPECT_TRUE(has_line(r.out, " Calculated indices:   0.00   2.00   0.00")) << r.out;
  EXPECT_EQ(dorvex_test::count_lines(r.out, "Add to Reflection List<Y,N>,<Y>?"), 2);

  // CENT's lines: no zero, the width line after 20 blanks.
  int width_lines = 0;
  for (const auto& l : lines(r.out))
    width_lines += l.rfind(std::string(20, ' ') + "Width: ", 0) == 0 ? 1 : 0;
  EXPECT_EQ(width_lines, 1);
  EXPECT_EQ(dorvex_test::count_lines(r.out, " Peak Not Centered."), 0);

  const auto list = list_of(sim.home.read("x.mat"));
  ASSERT_EQ(list.size(), 10u);
  const ListRef& cntr = list[8];
  EXPECT_EQ(cntr.ref, 2);
  EXPECT_EQ(cntr.use, 1);
  EXPECT_NEAR(cntr.k, 2.0, 0.02);
  EXPECT_NEAR(cntr.angles[0], a[0], 0.001);
  EXPECT_NEAR(cntr.intensity, a[4], 0.6);
  const ListRef& cent = list[9];
  EXPECT_EQ(cent.ref, 1);  // the add answer of CENT, given as an empty line, still says CENT
  EXPECT_EQ(cent.use, 1);
  EXPECT_NEAR(cent.l, 2.0, 0.03);
  EXPECT_NEAR(cent.angles[0], t002.tth, 0.3 * kFwhm2Theta);
  EXPECT_NEAR(cent.angles[2], t002.chi, 0.3 * kFwhmChi);

  // CNTR went to negative 2theta; CENT stays at positive 2theta: once the drive to 0 0 2 (phi
  // -144.58) was sent, no 2theta target below zero.
  int before_cent = 0, after_cent = 0;
  bool cent_started = false;
  for (const auto& s : sim.sent()) {
    cent_started = cent_started || s.rfind("4:A-144.58", 0) == 0;
    if (s.rfind("1:A-", 0) == 0) ++(cent_started ? after_cent : before_cent);
  }
  EXPECT_TRUE(cent_started);
  EXPECT_GT(before_cent, 0);
  EXPECT_EQ(after_cent, 0);
}

TEST(Cntr, FindsTheTwoThetaZeroOfTheInstrumentAndNoAddsNothing) {
  Simulated sim;
  sim.crystal = "crystal.txt";
  sim.home.copy_in(kSampleCrystal, "crystal.txt");
  sim.home.write("crystal.txt",
                 replace_line(sim.home.read("crystal.txt"), "zero", "zero 0.2 0 0 0"));
  const Setting t = true_setting(sim.home.read("x.mat"), 0, 2, 0);
  // With final omega profiles logged (the first switch of SET LOG).
  const auto r = sim.run("SET LOG\n1\n0\n0\n0\nCALC 0 2 0\nDRIV\nCNTR\nN\nEXIT\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<double> a = centred_angles(r.out);
  ASSERT_EQ(a.size(), 5u) << r.out;
  // Both final omega scans, at positive and negative 2theta, in the centring-scan file: a
  // record of 31 points each, their counts in three full lines and one of one count.
  const std::string scans = sim.home.read("x_cntr.rfl");
  int records = 0, full = 0, short_lines = 0;
  for (const auto& l : lines(scans)) {
    records += l.rfind("R", 0) == 0 ? 1 : 0;
    full += l.rfind("S", 0) == 0 && l.size() == 81 ? 1 : 0;
    short_lines += l.rfind("S", 0) == 0 && l.size() == 9 ? 1 : 0;
  }
  EXPECT_EQ(records, 2) << scans;
  EXPECT_EQ(full, 6);
  EXPECT_EQ(short_lines, 2);
  // The motors stand 0.2 degree of 2theta above the crystal's: the stored 2theta, corrected by
  // the zero found, is the crystal's own.
  EXPECT_NEAR(a[0], t.tth, 0.01);
  EXPECT_NEAR(number_after(r.out, "   Zero: "), 0.2, 0.01);
  EXPECT_EQ(list_of(sim.home.read("x.mat")).size(), 8u);
}

// All the numbers after " Angles: " on every such line.
std::vector<std::vector<double>> every_centred(const std::string& out) {
  std::vector<std::vector<double>> all;
  for (const auto& l : lines(out))
    if (auto a = centred_angles(l); !a.empty()) all.push_back(a);
  return all;
}

// From 0.3 degree above the peak in 2theta, with zero errors of 2theta 0.2, omega -0.1 and chi
// 0.3: CNTR stores the crystal's 2theta and finds the zero, CENT leaves the detector on the
// diffracted beam (the crystal's 2theta plus the zero), on both kinds of machine. Omega carries
// its own zero, as chi does; CNTR keeps 2theta / 2 + omega where the crystal stands when it
// takes the 2theta zero off. CENT's omega is what the machine reads: where the omega motor
// reads the circle the program takes half the 2theta reading, zero included, off it.
class CentringMachine : public ::testing::TestWithParam<const char*> {};

TEST_P(CentringMachine, CntrAndCentCentreTwoThetaAndCntrFindsTheZero) {
  Simulated sim(GetParam());
  sim.zero_errors("0.2 -0.1 0.3 0");
  const Setting t = true_setting(sim.home.read("x.mat"), 0, 2, 0);
  const std::string off = "CALC 0 2 0\nDRIV\nMOT 1 " + std::to_string(t.tth + 0.5) + "\n";
  const auto r = sim.run(off + "CNTR\nN\n" + off + "CENT\nN\nEXIT\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto centred = every_centred(r.out);
  ASSERT_EQ(centred.size(), 2u) << r.out;
  EXPECT_NEAR(centred[0][0], t.tth, 0.01);
  EXPECT_NEAR(number_after(r.out, "   Zero: "), 0.2, 0.01);
  EXPECT_NEAR(centred[1][0], t.tth + 0.2, 0.01);
  const bool geared = std::string(GetParam()) == "DIFPROF_GEARED.DAT";
  EXPECT_NEAR(centred[0][1], t.omega - 0.1, 0.01);
  EXPECT_NEAR(centred[1][1], t.omega - 0.1 - (geared ? 0.0 : 0.1), 0.01);
  for (const auto& a : centred) EXPECT_NEAR(a[2], t.chi + 0.3, 0.05);
}

INSTANTIATE_TEST_SUITE_P(Machine, CentringMachine, ::testing::ValuesIn(kMachines));

// REF on the bundled machine re-centres every reflection of the sample list on both sides of
// the beam; where the -2theta setting is beyond a narrower limit the +2theta centring stands.
TEST(Ref, KeepsEveryGoodReflectionOfTheSampleList) {
  Simulated sim("DIFPROF.DAT");
  const std::string mat = sim.home.read("x.mat");
  const auto r = sim.run("REF\nY\nY\nC\nEXIT\n", "1", 240);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(dorvex_test::count_lines(r.out, " Centering halted, end of scan out-of-bounds "), 0)
      << r.out;
  const auto after = list_of(sim.home.read("x.mat"));
  ASSERT_EQ(after.size(), 8u);
  for (const ListRef& e : after) {
    const Setting t = true_setting(mat, e.h, e.k, e.l);
    EXPECT_EQ(e.use, 1) << e.h << e.k << e.l;
    EXPECT_EQ(e.ref, 2);
    EXPECT_NEAR(e.angles[0], t.tth, 0.01) << e.h << e.k << e.l;
  }

  // 2theta down to -12 only: 2 0 0 (10.17) is centred on both sides, 3 1 2 (17.23) at +2theta.
  Simulated narrow("DIFPROF.DAT");
  narrow.home.write("DIFPROF.DAT",
                    replace_line(narrow.home.read("DIFPROF.DAT"), "MOTOR1",
                                 "MOTOR1 1,   1000.00  20000.00    100.00   5000.00    500.00"
                                 "    -12.00    120.00"));
  std::string used;
  for (const auto& l : lines(mat)) {
    std::string line = l;
    if (line.rfind("LISTREF", 0) == 0) {
      const int number = std::atoi(line.c_str() + 7);
      line.back() = number == 1 || number == 8 ? '1' : '0';
    }
    used += line + "\n";
  }
  narrow.home.write("x.mat", used);
  const auto q = narrow.run("REF\nY\nY\nC\nEXIT\n");
  ASSERT_EQ(q.status, 0) << q.out << q.err;
  EXPECT_EQ(dorvex_test::count_lines(
                q.out, " -2theta setting out of limits: centred at +2theta only, no 2theta zero"),
            1)
      << q.out;
  EXPECT_FALSE(has_line(q.out, " Reflection No.  8 Not Found or too Weak."));
  const auto kept = list_of(narrow.home.read("x.mat"));
  ASSERT_EQ(kept.size(), 8u);
  EXPECT_EQ(kept[0].ref, 2);
  EXPECT_EQ(kept[7].ref, 1);
  EXPECT_EQ(kept[7].use, 1);
  EXPECT_NEAR(kept[7].angles[0], true_setting(mat, 3, 1, 2).tth, 0.01);
}

TEST(Cntr, EmptySpaceIsNoPeakAndTheListStaysAsItWas) {
  Simulated sim;
  const std::string before = sim.home.read("x.mat");
  // Between reflections: 2theta 25, well away from any reciprocal lattice point.
  const auto r = sim.run("MOT 1 25\nMOT 3 80\nMOT 4 200\nCNTR\nY\nEXIT\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has_line(r.out, "Failure in Center: peak too weak on initial omega scan")) << r.out;
  EXPECT_TRUE(has_line(r.out, "MOTOR POSITIONS AFTER FAILURE OF CENTER:"));
  EXPECT_TRUE(has_line(r.out, " Peak Not Centered."));
  EXPECT_FALSE(has_line(r.out, "Add to Reflection List<Y,N>,<Y>?"));
  EXPECT_EQ(list_of(sim.home.read("x.mat")).size(), 8u);
  // One omega search scan and nothing after it.
  EXPECT_EQ(count_starting(sim.sent(), "GSB10*"), 1);
}

TEST(Ref, RecentresTheUsedEntriesAndRewritesTheMatrixFile) {
  Simulated sim;
  std::string mat = sim.home.read("x.mat");
  // Use flags: 0 2 0 and 0 0 2 on; 1 1 1 on but listed beyond the 2theta limit; the rest off.
  std::string edited;
  for (const auto& l : lines(mat)) {
    std::string line = l;
    if (line.rfind("LISTREF", 0) == 0) {
      const int number = std::atoi(line.c_str() + 7);
      const bool used = number == 2 || number == 3 || number == 4;
      if (number == 4) line = line.substr(0, 28) + "  130.0000" + line.substr(38);
      line = line.substr(0, line.size() - 1) + (used ? "1" : "0");
    }
    edited += line + "\n";
  }
  sim.home.write("x.mat", edited);
  const auto before = list_of(edited);
  ASSERT_EQ(before.size(), 8u);
  ASSERT_EQ(before[3].angles[0], 130.0);
  const auto r = sim.run("REF\nY\nY\nA\nEXIT\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has_line(r.out, " There are  3 reflections with the USE flag set")) << r.out;
  EXPECT_TRUE(has_line(r.out, " Reflection No.  4 not Accessible."));
  int found = 0;
  for (const auto& l : lines(r.out)) {
    found += l.rfind(" Reflection No.  2 at:", 0) == 0 || l.rfind(" Reflection No.  3 at:", 0) == 0;
    if (l.rfind(std::string(13, ' ') + " Tthzero:", 0) == 0) {
      EXPECT_NE(l.find("   Rate:"), std::string::npos);
      EXPECT_NE(l.find("   Eta:"), std::string::npos);
    }
  }
  EXPECT_EQ(found, 2);

  const auto after = list_of(sim.home.read("x.mat"));
  ASSERT_EQ(after.size(), 8u);
  for (int i : {1, 2}) {
    const ListRef& e = after[static_cast<std::size_t>(i)];
    const Setting t = true_setting(mat, e.h, e.k, e.l);
    EXPECT_EQ(e.ref, 2) << i;
    EXPECT_EQ(e.use, 1) << i;
    EXPECT_GT(e.intensity, 3000) << i;
    EXPECT_NEAR(e.angles[0], t.tth, 0.3 * kFwhm2Theta) << i;
    EXPECT_NEAR(e.angles[2], t.chi, 0.3 * kFwhmChi) << i;
  }
  EXPECT_EQ(after[3].use, 0);
  EXPECT_EQ(after[3].ref, 0);
  EXPECT_EQ(after[3].intensity, 0);
  // Entries without the use flag are not touched.
  for (int i : {0, 4, 5, 6, 7}) {
    const auto k = static_cast<std::size_t>(i);
    EXPECT_EQ(after[k].angles, before[k].angles) << i;
    EXPECT_EQ(after[k].use, 0) << i;
  }
}

TEST(Ref, DialogueEndsOnNoAndEmptyListOrNarrowSlitRefuseBeforeAnythingMoves) {
  {
    Simulated sim;
    const auto r = sim.run("REF\nN\nREF\nY\nN\nEXIT\n");
    EXPECT_TRUE(has_line(r.out, " Use SETUP to change these parameters")) << r.out;
    EXPECT_EQ(count_starting(sim.sent(), "GSB10*"), 0);
    EXPECT_EQ(list_of(sim.home.read("x.mat")).size(), 8u);
  }
  {
    Simulated sim;
    std::string mat;
    for (const auto& l : lines(sim.home.read("x.mat")))
      if (l.rfind("LISTREF", 0) != 0) mat += (l.rfind("NREFLN", 0) == 0 ? "NREFLN    0" : l) + "\n";
    sim.home.write("x.mat", mat);
    const auto r = sim.run("REF\nEXIT\n");
    EXPECT_TRUE(has_line(r.out, " Reflection List Empty, REFINE Aborted.")) << r.out;
  }
  {
    // Slit 5 may close to 0.01 mm on this machine; at 0.05 mm chi scans cannot work.
    Simulated sim;
    sim.home.write("DIFPROF.DAT",
                   replace_line(sim.home.read("DIFPROF.DAT"), "MOTOR5",
                                "MOTOR5 5,    100.00   1000.00    100.00    500.00    100.00"
                                "      0.01     10.00"));
    const auto r = sim.run("MOT 5 0.05\nCALC 0 2 0\nDRIV\nCNTR\nREF\nEXIT\n");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string text =
        " Slit 5 is set to less than 0.1mm. Chi scans in centering will fail. Reset slits with mot";
    int refused = 0;
    for (const auto& l : lines(r.out)) refused += l.find(text) != std::string::npos;
    EXPECT_EQ(refused, 2) << r.out;
    EXPECT_EQ(count_starting(sim.sent(), "GSB10*"), 0);
    EXPECT_FALSE(has_line(r.out, "Continue with these parameters <Y/N>?"));
  }
}

TEST(Cntr, DummyModeDoesNothing) {
  Home home;
  home.copy_in(kSampleMat, "x.mat");
  auto args = dorvex_test::default_args(home);
  args.push_back("--mat");
  args.push_back(home.file("x.mat"));
  const std::string before = home.read("x.mat");
  const auto r = dorvex_test::run_dorvex(home, "CNTR\nY\nCENT\nREF\nY\nEXIT\n", args);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_FALSE(has_line(r.out, "Add to Reflection List<Y,N>,<Y>?"));
  EXPECT_FALSE(has_line(r.out, " Peak Not Centered."));
  EXPECT_FALSE(has_line(r.out, "Continue with these parameters <Y/N>?"));
  EXPECT_EQ(list_of(home.read("x.mat")).size(), 8u);
}

}  // namespace

namespace {

// The operator's halt during the first search scan ends the centring: no failure report, no
// add question, the list as it was.
TEST(Cntr, HaltDuringAScanEndsTheCentringWithNothingChanged) {
  Simulated sim;
  const std::string before = sim.home.read("x.mat");
  auto args = sim.args();
  const std::string env =
      "DORVEX_SIM_ARGS=--time-scale 1 --transcript " + sim.home.file("wire.txt");
  const dorvex_test::Started child = dorvex_test::start_program(
      sim.home.path(), args, {env}, dorvex_test::Stderr::inherited);
  ASSERT_GE(child.pid, 0);
  const std::string script = "CNTR\n";
  ASSERT_EQ(::write(child.in, script.data(), script.size()),
            static_cast<ssize_t>(script.size()));
  std::string output;
  auto read_until = [&](const std::string& what) {
    return dorvex_test::read_output_until(child, output, what);
  };
  // The scan program has been started (nine points of 0.6 s in real time).
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool scanning = false;
  while (!scanning && std::chrono::steady_clock::now() < give_up) {
    scanning = count_starting(sim.sent(), "START:;") > 0 &&
               count_starting(sim.sent(), "GSB10*9;") > 0;
    if (!scanning) ::poll(nullptr, 0, 20);
  }
  if (scanning) ::kill(child.pid, SIGINT);
  const bool halted = scanning && read_until("Diffractometer halted by user");
  const std::string rest = "Y\nEXIT\n";
  ASSERT_EQ(::write(child.in, rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
  ::close(child.in);
  const bool ended = read_until("Normal program termination");
  ::kill(child.pid, SIGKILL);
  ::waitpid(child.pid, nullptr, 0);
  ::close(child.out);
  ASSERT_TRUE(scanning);
  EXPECT_TRUE(halted) << output;
  EXPECT_TRUE(ended) << output;
  EXPECT_EQ(output.find("Peak Not Centered"), std::string::npos) << output;
  EXPECT_EQ(output.find("MOTOR POSITIONS AFTER FAILURE"), std::string::npos);
  EXPECT_EQ(output.find("Failure in Center"), std::string::npos);
  EXPECT_EQ(output.find("Add to Reflection List"), std::string::npos);
  EXPECT_EQ(count_starting(sim.sent(), "GSB10*"), 1);
  EXPECT_EQ(list_of(sim.home.read("x.mat")).size(), 8u);
}

}  // namespace

namespace {

// With 2theta fixed (SCANS2 field 4 of the matrix file) no theta/2theta scan is made: no scan
// program moves 2theta.
TEST(Cent, TwoThetaFixedMakesNoThetaTwoThetaScan) {
  Simulated sim;
  sim.home.write("x.mat", replace_line(sim.home.read("x.mat"), "SCANS2",
                                       "SCANS2   21   31    0    1    1    0.5000    0.6000"
                                       "    0.3000    0.5000"));
  const auto r = sim.run("CALC 0 2 0\nDRIV\nCENT\nY\nEXIT\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has_line(r.out, "   2Theta/omega will NOT be scanned")) << r.out;
  ASSERT_EQ(centred_angles(r.out).size(), 5u) << r.out;
  int scans = 0, two_theta_steps = 0;
  for (const auto& s : sim.sent()) {
    scans += s.rfind("GSB10*", 0) == 0 ? 1 : 0;
    // Relative moves of a scan program: "1:" then a signed step and the speed ("1:0.2090S").
    two_theta_steps += s.rfind("1:", 0) == 0 && s.find('A') == std::string::npos ? 1 : 0;
  }
  EXPECT_GE(scans, 5);
  EXPECT_EQ(two_theta_steps, 0);
  EXPECT_EQ(list_of(sim.home.read("x.mat")).back().ref, 1);
}

TEST(Cent, AFinalOmegaScanTooCoarseForThePeakIsRefused) {
  // Final omega scan 6 degrees wide in 31 steps: 0.194 degree a step, so the crystal's 0.25
  // degree rocking width spans less than two steps and its fit cannot place the peak.
  Simulated sim;
  sim.home.write("x.mat", replace_line(sim.home.read("x.mat"), "SCANS2",
                                       "SCANS2   21   31    0    0    1    0.5000    6.0000"
                                       "    0.0000    0.5000"));
  const auto r = sim.run("CALC 0 2 0\nDRIV\nCENT\nY\nEXIT\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string key = "  Final omega fit refused: FWHM ";
  EXPECT_NEAR(number_after(r.out, key), kFwhmOmega, 0.03) << r.out;
  const std::string two_steps = std::to_string(2 * 6.0 / 31).substr(0, 4);  // "0.38"
  EXPECT_NE(r.out.find(" deg is below two steps of the scan, " + two_steps), std::string::npos)
      << r.out;
  EXPECT_TRUE(has_line(r.out, "Failure in Center: peak fitting failed final omega scan"));
  EXPECT_TRUE(centred_angles(r.out).empty());
  EXPECT_EQ(list_of(sim.home.read("x.mat")).size(), 8u);  // nothing added
}

}  // namespace
