// CEN8 and ZREF as the operator types them: the real program against dorvex-sim with the
// sample crystal, its matrix file and zero errors given to the simulated circles.
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

std::string replace_line(const std::string& text, const std::string& key,
                         const std::string& line) {
  std::string out;
  for (const auto& l : lines(text)) out += (l.rfind(key, 0) == 0 ? line : l) + "\n";
  return out;
}

// The numbers after `key` on the first line that starts with it.
std::vector<double> numbers_after(const std::string& out, const std::string& key) {
  for (const auto& l : lines(out)) {
    if (l.rfind(key, 0) != 0) continue;
    std::istringstream in(l.substr(key.size()));
    std::vector<double> v;
    double x = 0;
    while (in >> x) v.push_back(x);
    return v;
  }
  return {};
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

// The reflection list lines of a matrix file (the file itself is rewritten on exit).
std::string list_text(const std::string& mat) {
  std::string out;
  for (const auto& l : lines(mat))
    if (l.rfind("LISTREF", 0) == 0 || l.rfind("NREFLN", 0) == 0) out += l + "\n";
  return out;
}

// Only list entry `keep` (1-based) keeps its use flag.
std::string only_entry_used(const std::string& mat, int keep) {
  std::string out;
  int n = 0;
  for (auto l : lines(mat)) {
    if (l.rfind("LISTREF", 0) == 0 && ++n != keep) l.back() = '0';
    out += l + "\n";
  }
  return out;
}

// The shutter of a profile set to settle in 10 ms, so that the many openings of a ZREF do
// not dominate the run (CONFIG field 11, columns 57-61).
std::string quick_shutter(const std::string& profile) {
  std::string out;
  for (auto l : lines(profile)) {
    if (l.rfind("CONFIG", 0) == 0 && l.size() >= 61) l.replace(56, 5, "   10");
    out += l + "\n";
  }
  return out;
}

// The two kinds of machine: omega and 2theta on motors of their own (the bundled profile),
// and the omega circle geared to follow half of 2theta.
const char* const kMachines[] = {"DIFPROF.DAT", "DIFPROF_GEARED.DAT"};

struct Simulated {
  Home home;
  Simulated(const std::string& zero = "zero 0 0 0 0", const std::string& profile = "") {
    if (!profile.empty()) {
      home.copy_in(DORVEX_SOURCE_DIR "/examples/" + profile, "DIFPROF.DAT");
      home.write("DIFPROF.DAT", quick_shutter(home.read("DIFPROF.DAT")));
    }
    home.copy_in(kSampleMat, "x.mat");
    home.copy_in(kSampleCrystal, "crystal.txt");
    home.write("crystal.txt", replace_line(home.read("crystal.txt"), "zero", zero));
  }
  std::vector<std::string> args() const {
    return {"--home", home.path(), "--simulate=" + home.file("crystal.txt"), "--ui", "line",
            "--mat", home.file("x.mat")};
  }
  dorvex_test::RunResult run(const std::string& input, int timeout = 90) const {
    return dorvex_test::run_dorvex(home, input, args(), timeout,
                                   {"DORVEX_SIM_ARGS=--time-scale 0 --seed 3 --transcript " +
                                    home.file("wire.txt")});
  }
  std::vector<std::string> sent() const {
    return dorvex_test::received_lines(home.read("wire.txt"));
  }
  // Chi limited to -lower..upper in the hardware (MOTOR3 limit fields).
  void limit_chi(const char* limits) {
    home.write("DIFPROF.DAT",
               replace_line(home.read("DIFPROF.DAT"), "MOTOR3",
                            std::string("MOTOR3 3,    500.00  10000.00    100.00   2500.00"
                                        "    500.00") + limits));
  }
};

int count_lines_starting(const std::string& out, const std::string& prefix) {
  int n = 0;
  for (const auto& l : lines(out)) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

// The zeroes of the instrument come out of the eight settings of one reflection on both kinds
// of machine, each the injected zero error: applied as the program applies zeros they put the
// crystal and the detector where they are.
class Cen8 : public ::testing::TestWithParam<const char*> {};

TEST_P(Cen8, FindsTheZeroesAndAddsTheTrueAngles) {
  const std::string machine = GetParam();
  const double z_tth = 0.2, z_omega = -0.1, z_chi = 0.3;
  Simulated sim("zero 0.2 -0.1 0.3 0", machine);
  const auto r = sim.run("CALC 0 2 0\nDRIV\nCEN8\nY\nN\nY\nEXIT\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto calc = numbers_after(r.out, " Calculated Angles:");
  ASSERT_EQ(calc.size(), 4u) << r.out;
  // Eight centred settings, four of them at negative 2theta.
  int rows = 0, negative = 0;
  for (const auto& l : lines(r.out)) {
    double a[4];
    int intensity = 0;
    if (l.rfind("  ", 0) == 0 && std::sscanf(l.c_str(), "%9lf%9lf%9lf%9lf%10d", &a[0], &a[1],
                                             &a[2], &a[3], &intensity) == 5) {
      ++rows;
      negative += a[0] < 0 ? 1 : 0;
    }
  }
  EXPECT_EQ(rows, 8) << r.out;
  EXPECT_EQ(negative, 4);
  EXPECT_EQ(count_lines_starting(r.out, "Averages:"), 1);
  const auto truth = numbers_after(r.out, "     TRUE ANGLES: ");
  const auto zeroes = numbers_after(r.out, "          ZEROES: ");
  ASSERT_EQ(truth.size(), 3u) << r.out;
  ASSERT_EQ(zeroes.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(truth[i], calc[i], 0.01) << i;
  EXPECT_NEAR(zeroes[0], z_tth, 0.01);
  EXPECT_NEAR(zeroes[1], z_omega, 0.01);
  EXPECT_NEAR(zeroes[2], z_chi, 0.01);
  // A crystal on the goniometer centre.
  for (double c : numbers_after(r.out, " CRYSTAL OFFSETS: ")) EXPECT_NEAR(c, 0.0, 0.01);
  ASSERT_EQ(numbers_after(r.out, " CRYSTAL OFFSETS: ").size(), 3u);

  const auto list = list_of(sim.home.read("x.mat"));
  ASSERT_EQ(list.size(), 9u);
  EXPECT_EQ(list[8].ref, 8);
  EXPECT_EQ(list[8].use, 1);
  EXPECT_NEAR(list[8].k, 2.0, 0.02);
  EXPECT_NEAR(list[8].angles[0], truth[0], 0.001);
  EXPECT_NEAR(list[8].angles[2], truth[2], 0.001);
  EXPECT_NEAR(list[8].angles[3], calc[3], 0.01);
  EXPECT_GT(list[8].intensity, 1000);
}

// A reflection at chi 0: its settings near chi 180 are read on either side of the half turn.
TEST_P(Cen8, WorksOnAReflectionAtChiZero) {
  Simulated sim("zero 0.2 -0.1 0 0", GetParam());
  // The crystal's a* along the phi axis frame's x: 2 0 0 (d = 4 A) at chi 0, phi 0.
  sim.home.write("crystal.txt", replace_line(sim.home.read("crystal.txt"), "orientation",
                                             "orientation 0 0 0"));
  const double tth = 2.0 * std::asin(0.7093 / 8.0) * 180.0 / 3.14159265358979;
  const auto r = sim.run("GOTO " + std::to_string(tth + 0.2) + " 0 0 0\nCEN8\nY\nN\nN\nEXIT\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_FALSE(has_line(r.out, "  CALC_OFFSETS SAYS VALUES OF CHI INCORRECT")) << r.out;
  const auto truth = numbers_after(r.out, "     TRUE ANGLES: ");
  const auto zeroes = numbers_after(r.out, "          ZEROES: ");
  ASSERT_EQ(truth.size(), 3u) << r.out;
  ASSERT_EQ(zeroes.size(), 3u);
  EXPECT_NEAR(truth[0], tth, 0.01);
  EXPECT_NEAR(std::remainder(truth[2], 360.0), 0.0, 0.01);
  EXPECT_NEAR(zeroes[0], 0.2, 0.01);
  EXPECT_NEAR(zeroes[1], -0.1, 0.01);
  EXPECT_NEAR(zeroes[2], 0.0, 0.01);
}

// ZREF over the eight reflections of the list: the averaged zeroes.
TEST_P(Cen8, ZrefOfEightReflectionsAveragesTheZeroes) {
  const std::string machine = GetParam();
  Simulated sim("zero 0.2 -0.1 0.3 0", machine);
  const auto r = sim.run("ZREF\nY\n\nC\nN\nEXIT\n", 240);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has_line(r.out, "Successes so far:  8, Fails:  0")) << r.out;
  EXPECT_TRUE(has_line(r.out, "   AVERAGE ZEROES AND OFFSETS FROM  8 REFLECTIONS"));
  const auto averages = numbers_after(r.out, "     Angles: ");
  ASSERT_EQ(averages.size(), 3u) << r.out;
  EXPECT_NEAR(averages[0], 0.2, 0.01);
  EXPECT_NEAR(averages[1], -0.1, 0.01);
  EXPECT_NEAR(averages[2], 0.3, 0.01);
  for (const auto& e : list_of(sim.home.read("x.mat"))) {
    EXPECT_EQ(e.ref, 8);
    EXPECT_EQ(e.use, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Machine, Cen8, ::testing::ValuesIn(kMachines));

// Chi limited to +-100: settings 3 to 6 (chi near 180) are out of reach, ZREF centres the
// reflection in settings 1, 2, 7 and 8 and says the averages are incomplete.
TEST(Zref, LimitedChiCentresInFourSettingsWithTheWarning) {
  Simulated sim("zero 0 0 0.3 0");
  sim.limit_chi("   -100.00    100.00");
  sim.home.write("x.mat", only_entry_used(sim.home.read("x.mat"), 2));
  const auto before = list_of(sim.home.read("x.mat"));
  const auto r = sim.run("ZREF\nY\n\nx\nC\n\nEXIT\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_FALSE(has_line(r.out, "WARNING: CHI LIMITS ASYMMETRIC -")) << r.out;
  EXPECT_TRUE(has_line(r.out, " There are  1 reflections with the USE flag set"));
  EXPECT_TRUE(has_line(r.out, "Error on input, try again:"));  // the x to the C/A question
  EXPECT_TRUE(has_line(r.out, " Centering Reflection No.  2 : hkl=   0.0  2.0  0.0"));
  EXPECT_TRUE(has_line(r.out, " Reflection  1 of  1"));
  EXPECT_TRUE(has_line(r.out, "Successes so far:  1, Fails:  0"));
  EXPECT_TRUE(has_line(r.out, "   AVERAGE ZEROES AND OFFSETS FROM  1 REFLECTIONS"));
  EXPECT_TRUE(has_line(r.out, "   WARNING - NOT ALL VALUES CORRECT DUE TO 4-REFLN CENTERING"));
  EXPECT_FALSE(has_line(r.out, " CRYSTAL OFFSETS: "));
  const auto zeroes = numbers_after(r.out, "          ZEROES: ");
  ASSERT_EQ(zeroes.size(), 3u) << r.out;
  EXPECT_EQ(zeroes[1], 0.0);  // omega + theta is not determined by these settings
  EXPECT_NEAR(zeroes[2], 0.3, 0.08);
  const auto averages = numbers_after(r.out, "     Angles: ");
  ASSERT_EQ(averages.size(), 3u);
  EXPECT_NEAR(averages[2], zeroes[2], 0.002);
  // No chi beyond the limits was ever asked for.
  for (const auto& s : sim.sent()) {
    if (s.rfind("3:A", 0) != 0) continue;
    EXPECT_LE(std::fabs(std::atof(s.c_str() + 3)), 100.0) << s;
  }
  const auto after = list_of(sim.home.read("x.mat"));
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after[1].ref, 4);
  EXPECT_EQ(after[1].use, 1);
  EXPECT_GT(after[1].intensity, 1000);
  EXPECT_NEAR(after[1].angles[0], before[1].angles[0], 0.04);
  for (std::size_t i = 2; i < after.size(); ++i) EXPECT_EQ(after[i].ref, before[i].ref);

  // Asymmetric chi limits are questioned first; N ends it before anything moves.
  Simulated asym;
  asym.limit_chi("    -90.00    100.00");
  const std::string asym_before = list_text(asym.home.read("x.mat"));
  const auto q = asym.run("ZREF\nN\nEXIT\n");
  ASSERT_EQ(q.status, 0) << q.out << q.err;
  EXPECT_TRUE(has_line(q.out, "WARNING: CHI LIMITS ASYMMETRIC -")) << q.out;
  EXPECT_FALSE(has_line(q.out, "Continue with these parameters <Y/N>?"));
  EXPECT_EQ(list_text(asym.home.read("x.mat")), asym_before);
}

TEST(Zref, DummyModeDoesNothing) {
  Home home;
  home.copy_in(kSampleMat, "x.mat");
  auto args = dorvex_test::default_args(home);
  args.push_back("--mat");
  args.push_back(home.file("x.mat"));
  const std::string before = list_text(home.read("x.mat"));
  const auto r = dorvex_test::run_dorvex(home, "ZREF\nY\n\nC\nN\nCEN8\nY\nN\nEXIT\n", args);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_FALSE(has_line(r.out, "Continue with these parameters <Y/N>?"));
  EXPECT_FALSE(has_line(r.out, " Reflection  1 of  8"));
  EXPECT_EQ(list_text(home.read("x.mat")), before);
}

// The operator's halt while the first setting is being centred ends ZREF: the entry keeps
// its angles and flags, no result or tally is written.
TEST(Zref, HaltEndsTheRunWithTheListUnchanged) {
  Simulated sim;
  sim.home.write("x.mat", only_entry_used(sim.home.read("x.mat"), 2));
  const std::string before = list_text(sim.home.read("x.mat"));
  const std::string env =
      "DORVEX_SIM_ARGS=--time-scale 5 --transcript " + sim.home.file("wire.txt");
  const dorvex_test::Started child = dorvex_test::start_program(
      sim.home.path(), sim.args(), {env}, dorvex_test::Stderr::inherited);
  ASSERT_GE(child.pid, 0);
  const std::string script = "ZREF\nY\n\nC\nN\n";
  ASSERT_EQ(::write(child.in, script.data(), script.size()),
            static_cast<ssize_t>(script.size()));
  std::string output;
  auto read_until = [&](const std::string& what) {
    return dorvex_test::read_output_until(child, output, what);
  };
  // A scan program of the first setting has been started.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool scanning = false;
  while (!scanning && std::chrono::steady_clock::now() < give_up) {
    for (const auto& s : sim.sent()) scanning = scanning || s.rfind("GSB10*", 0) == 0;
    if (!scanning) ::poll(nullptr, 0, 20);
  }
  if (scanning) ::kill(child.pid, SIGINT);
  const bool halted = scanning && read_until("Diffractometer halted by user");
  const std::string rest = "EXIT\n";
  ASSERT_EQ(::write(child.in, rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
  ::close(child.in);
  const bool ended = read_until("Normal program termination");
  ::kill(child.pid, SIGKILL);
  ::waitpid(child.pid, nullptr, 0);
  ::close(child.out);
  ASSERT_TRUE(scanning);
  EXPECT_TRUE(halted) << output;
  EXPECT_TRUE(ended) << output;
  EXPECT_EQ(output.find("Successes so far"), std::string::npos) << output;
  EXPECT_EQ(output.find("AVERAGE ZEROES"), std::string::npos);
  EXPECT_EQ(output.find("Reflection Not Found"), std::string::npos);
  EXPECT_EQ(list_text(sim.home.read("x.mat")), before);
}

// ZREM runs ZREF over the named matrix files in the order given; a missing name is refused
// at once, a crystal with nothing to measure is reported and passed over.
TEST(Zrem, MeasuresEachCrystalInTurn) {
  Simulated sim("zero 0 0 0.3 0");
  sim.limit_chi("   -100.00    100.00");  // four settings each: a quicker run
  const std::string mat = sim.home.read("x.mat");
  sim.home.write("x.mat", only_entry_used(mat, 2));
  sim.home.write("y.mat", only_entry_used(mat, 0));
  const std::string y_before = list_text(sim.home.read("y.mat"));
  const auto r = sim.run("ZREM\nx\nzz\ny\n\nZREM\n\nEXIT\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has_line(r.out, "Multiple Zref:")) << r.out;
  EXPECT_TRUE(has_line(r.out, " *****MatFile zz does not exist"));
  const auto first = r.out.find("*****STARTING CRYSTAL # 1 OF 2 IN ZREM *****");
  const auto second = r.out.find("*****STARTING CRYSTAL # 2 OF 2 IN ZREM *****");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(first, second);
  const auto tally = r.out.find("Successes so far:  1, Fails:  0");
  EXPECT_GT(tally, first);
  EXPECT_LT(tally, second);
  EXPECT_TRUE(has_line(r.out, "There are  1 reflections with the USE flag set for this crystal"));
  EXPECT_TRUE(has_line(r.out, "There are NO reflections with the USE flag set: ZREF Aborted"));
  EXPECT_TRUE(has_line(r.out, "No filenames entered: ZREF aborted"));
  EXPECT_EQ(list_of(sim.home.read("x.mat"))[1].ref, 4);
  EXPECT_EQ(list_text(sim.home.read("y.mat")), y_before);
}

}  // namespace
