// SRCH, CONE and PHOT as the operator types them: the real program against dorvex-sim (the
// sample crystal and its matrix file), what it prints and what the controller received.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::count_lines;
using dorvex_test::has_line;
using dorvex_test::Home;
using dorvex_test::lines;

constexpr double kRad = 180.0 / M_PI;
const std::string kSampleMat = DORVEX_SOURCE_DIR "/examples/sample.mat";

// The sample profile with a detector distance of 175 mm as second goniometer constant.
std::string search_profile(const std::string& profile) {
  std::string out;
  for (const auto& l : lines(profile))
    out += (l.rfind("GONCON", 0) == 0 ? std::string("GONCON    0.5000  175.0000") : l) + "\n";
  return out;
}

struct Simulated {
  Home home;
  explicit Simulated(const std::string& sim_time = "0") : time_scale(sim_time) {
    home.copy_in(kSampleMat, "x.mat");
    home.write("DIFPROF.DAT", search_profile(home.read("DIFPROF.DAT")));
  }
  std::string time_scale;
  std::vector<std::string> args() const {
    return {"--home", home.path(), "--simulate", "--ui", "line", "--mat", home.file("x.mat")};
  }
  std::vector<std::string> env() const {
    return {"DORVEX_SIM_ARGS=--time-scale " + time_scale + " --transcript " +
            home.file("wire.txt")};
  }
  dorvex_test::RunResult run(const std::string& input) const {
    return dorvex_test::run_dorvex(home, input, args(), 90, env());
  }
  // The commands the controller received, in order, with the real time of each.
  std::vector<std::string> sent(std::vector<double>* when = nullptr) const {
    std::vector<std::string> out;
    for (const auto& l : lines(home.read("wire.txt"))) {
      const auto at = l.find(" < ");
      if (at == std::string::npos) continue;
      out.push_back(l.substr(at + 3));
      if (when != nullptr) when->push_back(std::stod(l.substr(0, 12)));
    }
    return out;
  }
};

int count_equal(const std::vector<std::string>& v, const std::string& s) {
  return static_cast<int>(std::count(v.begin(), v.end(), s));
}

std::vector<std::string> starting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& l : lines(text))
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
  return out;
}

// The absolute move targets of one axis ("4:A-179.9900S..." gives -179.99), in order.
std::vector<double> targets(const std::vector<std::string>& sent, char axis) {
  std::vector<double> out;
  const std::string head = std::string(1, axis) + ":A";
  for (const auto& c : sent)
    if (c.rfind(head, 0) == 0) out.push_back(std::stod(c.substr(3)));
  return out;
}

// The four F8.2 angles after `offset` columns of a line.
std::vector<double> angles_at(const std::string& line, std::size_t offset) {
  std::vector<double> a;
  for (std::size_t i = 0; i < 4; ++i) a.push_back(std::stod(line.substr(offset + 8 * i, 8)));
  return a;
}

// Bisecting setting (2theta, chi, phi) of h k l on the simulator's sample crystal, from its
// cell (8, 10, 12 A, right angles) and orientation U = Rx(15) Ry(-20) Rz(30).
std::vector<double> true_setting(double h, double k, double l) {
  const double cx = std::cos(15 / kRad), sx = std::sin(15 / kRad);
  const double cy = std::cos(-20 / kRad), sy = std::sin(-20 / kRad);
  const double cz = std::cos(30 / kRad), sz = std::sin(30 / kRad);
  const double rx[3][3] = {{1, 0, 0}, {0, cx, -sx}, {0, sx, cx}};
  const double ry[3][3] = {{cy, 0, sy}, {0, 1, 0}, {-sy, 0, cy}};
  const double rz[3][3] = {{cz, -sz, 0}, {sz, cz, 0}, {0, 0, 1}};
  const double b[3] = {h / 8.0, k / 10.0, l / 12.0};
  double v[3] = {0, 0, 0}, w[3] = {0, 0, 0}, u[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) w[i] += rz[i][j] * b[j];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) v[i] += ry[i][j] * w[j];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) u[i] += rx[i][j] * v[j];
  const double length = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
  return {2.0 * std::asin(0.7093 * length / 2.0) * kRad,
          std::atan2(u[2], std::hypot(u[0], u[1])) * kRad, std::atan2(u[1], u[0]) * kRad};
}

// Runs the program with `script`, waits until `ready` holds for what it printed, halts it
// (Ctrl-C) and returns everything it printed until it ended.
std::string halted_run(const Simulated& sim, const std::string& script,
                       const std::function<bool(const std::string&)>& ready, bool& halted) {
  const dorvex_test::Started child = dorvex_test::start_program(
      sim.home.path(), sim.args(), sim.env(), dorvex_test::Stderr::inherited);
  halted = false;
  if (child.pid < 0) return "";
  EXPECT_EQ(::write(child.in, script.data(), script.size()),
            static_cast<ssize_t>(script.size()));
  std::string output;
  auto read_until = [&](const std::function<bool()>& done) {
    return dorvex_test::read_output_until(child, output, done);
  };
  if (read_until([&] { return ready(output); })) {
    ::kill(child.pid, SIGINT);
    halted = read_until([&] { return output.find("Diffractometer halted by user") !=
                                     std::string::npos; });
  }
  ::close(child.in);
  read_until([&] { return output.find("Normal program termination") != std::string::npos; });
  ::kill(child.pid, SIGKILL);
  ::waitpid(child.pid, nullptr, 0);
  ::close(child.out);
  return output;
}

// ---- SRCH ----------------------------------------------------------------------------------

TEST(Srch, SmallRangeAroundAStrongReflectionFindsItNearItsTrueSetting) {
  Simulated sim;
  // The peaks found are kept as INA lines: the macro of them adds them to the list.
  const auto r = sim.run("SRCH\n2 3\n9.9 10.6\n23 26\n23 30 0.1\n1 5\ny\nMACR\n" +
                         sim.home.file("x_peaks.txt") + "\n");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  // 2 mm at 175 mm: 2theta steps of 0.7; 3 mm: chi steps of 5.7 at 2theta 9.9; 70 points a
  // line.
  for (const char* l : {"Input detector apertures required(max are:10.0 and 10.0):",
                        "Enter Initial and Final 2Theta:", "Enter Initial and Final Chi:",
                        "Enter Initial and Final Phi and stepsize:",
                        "Input count time per step & significance level for peak search:",
                        "Proceed with Search (Y/N):", "Search parameters are:",
                        "Slit 5 width =  2.0  Slit 6 width = 3.0",
                        "2theta from     9.90 to    10.60 with a step size of  0.70",
                        "   chi from    23.00 to    26.00 with a step size of  5.70",
                        "   phi from    23.00 to    30.00",
                        "   with a step size of  0.10 deg and 1.0 secs/step",
                        // 140 s of counting, but each step counts 1.1 s and moves phi too,
                        // and phi is driven between the lines: 2:42 on the simulator's clock.
                        "Total estimated search time is    3 minutes"})
    EXPECT_TRUE(has_line(r.out, l)) << l << "\n" << r.out;

  const auto found = starting(r.out, " Max of");
  ASSERT_FALSE(found.empty()) << r.out;
  const auto truth = true_setting(2, 0, 0);
  std::size_t best = 0;
  int best_count = -1;
  for (std::size_t i = 0; i < found.size(); ++i) {
    ASSERT_EQ(found[i].size(), 68u) << found[i];
    EXPECT_EQ(found[i].substr(13, 13), " cps, width =");
    EXPECT_EQ(found[i].substr(31, 5), " at: ");
    const int count = std::stoi(found[i].substr(7, 6));
    if (count > best_count) best_count = count, best = i;
  }
  const auto at = angles_at(found[best], 36);
  EXPECT_NEAR(at[0], truth[0], 0.7);
  EXPECT_DOUBLE_EQ(at[1], 0.0);
  EXPECT_NEAR(at[2], truth[1], 5.7);
  EXPECT_NEAR(at[3], truth[2], 0.5);
  EXPECT_GT(best_count, 50);
  EXPECT_TRUE(has_line(r.out, " " + std::to_string(found.size()) + " peak" +
                                  (found.size() == 1 ? "" : "s") + " found; kept in " +
                                  sim.home.file("x_peaks.txt") +
                                  " (MACR of it adds them to the reflection list)"))
      << r.out;
  const auto kept = lines(sim.home.read("x_peaks.txt"));
  ASSERT_EQ(kept.size(), found.size());
  int listed = 0;
  for (const auto& l : lines(sim.home.read("x.mat"))) listed += l.rfind("LISTREF", 0) == 0;
  EXPECT_EQ(listed, 8 + static_cast<int>(found.size()));  // the sample's eight and the peaks
  for (std::size_t i = 0; i < kept.size(); ++i) {
    ASSERT_EQ(kept[i].substr(0, 4), "INA ");
    std::istringstream in(kept[i].substr(4));
    for (const double a : angles_at(found[i], 36)) {
      double v = 0;
      in >> v;
      EXPECT_NEAR(v, a, 0.005) << kept[i];
    }
  }

  // Slit 6 to its aperture (slit 5 is there already), one 70-point phi scan per grid point,
  // then shut and back to zero.
  const auto sent = sim.sent();
  EXPECT_EQ(count_equal(sent, "GSB10*70;"), 2);
  EXPECT_TRUE(targets(sent, '5').empty());
  ASSERT_EQ(targets(sent, '6').size(), 1u);
  EXPECT_EQ(targets(sent, '6').front(), 3.0);
  const auto last_scan = std::find(sent.rbegin(), sent.rend(), "GSB10*70;");
  const std::vector<std::string> after(last_scan.base(), sent.end());
  EXPECT_GE(count_equal(after, "IO0;"), 1);
  for (char axis : {'1', '3', '4'}) {
    const auto moved = targets(after, axis);
    ASSERT_FALSE(moved.empty()) << axis;
    EXPECT_EQ(moved.front(), 0.0) << axis;
  }
}

TEST(Srch, AnswersAreCheckedAndLongLinesSplitShortOnesSkipped) {
  Simulated sim;
  const auto r = sim.run(
      // Unreadable, too wide, too narrow; a 2theta start on the beam; an empty phi range; no
      // counting time; then declined.
      "SRCH\nx\n20 2\n0.05 2\n2 2\n0 10\n30 35\n0 10\n30 20 0.1\n30 65 0\n30 65 0.1\n0 5\n1 5\n"
      "n\n"
      // 450 steps of phi: three scans of 150; then 9 steps: nothing.
      "SRCH\n2 2\n40 40\n0 0\n-100 -55 0.1\n1 20\ny\n"
      "SRCH\n2 2\n40 40\n0 0\n10 10.9 0.1\n1 20\ny\n"
      // A blank answer ends the dialogue: TEST is a command again.
      "SRCH\n2 2\n\nTEST\n");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(count_lines(r.out, "Error on input, try again:"), 1) << r.out;
  EXPECT_EQ(count_lines(r.out, "Aperture requested too small, try again:"), 1);
  EXPECT_EQ(count_lines(r.out, "Invalid values, try again:"), 5);
  EXPECT_EQ(count_lines(r.out, "Proceed with Search (Y/N):"), 3);
  EXPECT_EQ(r.out.find("Unknown command"), std::string::npos);
  EXPECT_TRUE(has_line(r.out, "   phi from  -100.00 to   -55.00")) << r.out;
  // 450 steps of 1.1 s counting and a phi move each, and the drives: 8:33 on the simulator.
  EXPECT_TRUE(has_line(r.out, "Total estimated search time is    9 minutes"));

  const auto sent = sim.sent();
  EXPECT_EQ(count_equal(sent, "GSB10*150;"), 3);
  int scans = 0;
  for (const auto& c : sent) scans += c.rfind("GSB10*", 0) == 0 ? 1 : 0;
  EXPECT_EQ(scans, 3);
  // The first scan starts at -100 (its first point at -99.9); each following one starts where
  // the one before ended, so phi is driven only before the first.
  const auto first = std::find(sent.begin(), sent.end(), "GSB10*150;");
  const auto phi = targets(std::vector<std::string>(sent.begin(), first), '4');
  ASSERT_FALSE(phi.empty());
  EXPECT_EQ(phi.back(), -100.0);
  const auto last = std::find(sent.rbegin(), sent.rend(), "GSB10*150;").base();
  EXPECT_TRUE(targets(std::vector<std::string>(first, last), '4').empty());
}

TEST(Srch, HaltDuringAScanEndsTheSearchWithoutReturningToZero) {
  Simulated sim("1");
  bool halted = false;
  const std::string out = halted_run(
      sim, "SRCH\n2 2\n9.9 10.6\n23 26\n23 30 0.1\n2 5\ny\n",
      [&](const std::string&) { return sim.home.read("wire.txt").find("GSB10*70;") !=
                                       std::string::npos; },
      halted);
  EXPECT_TRUE(halted) << out;
  EXPECT_EQ(out.find(" Max of"), std::string::npos) << out;
  const auto sent = sim.sent();
  EXPECT_EQ(count_equal(sent, "GSB10*70;"), 1);
  // Stopped where it stood: no drive after the halt.
  const auto stop = std::find(sent.begin(), sent.end(), "Q;");
  ASSERT_NE(stop, sent.end());
  EXPECT_TRUE(targets(std::vector<std::string>(stop, sent.end()), '1').empty());
}

// ---- CONE ----------------------------------------------------------------------------------

TEST(Cone, FromTwoZeroZeroFindsZeroTwoZeroAtItsSetting) {
  Simulated sim;
  const auto truth = true_setting(0, 2, 0);
  const auto r = sim.run("CONE\nn\nCALC 2 0 0\nDRIV\nCONE\ny\nx\n200 8\n90 " +
                         std::to_string(truth[0]) + "\n\n");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has_line(r.out, "Position Diffractometer and Retry CONE")) << r.out;
  const std::string question =
      "Cone Search - Is Diffractometer at a Reflection and the slits OPEN (Y/N):?";
  EXPECT_EQ(count_lines(r.out, question), 2);
  EXPECT_EQ(count_lines(r.out, "Error on input, try again:"), 1);
  EXPECT_EQ(count_lines(r.out, "Invalid values, try again:"), 1);
  EXPECT_TRUE(has_line(r.out, "Input intensity threshold for search <8>:"));
  const auto all = lines(r.out);
  const auto start = std::find(all.begin(), all.end(), "Starting cone search");
  ASSERT_NE(start, all.end()) << r.out;
  ASSERT_NE(start, all.begin());
  ASSERT_NE(start + 1, all.end());
  EXPECT_EQ(*(start - 1), "");
  EXPECT_EQ(*(start + 1), "Locations of Significant Intensity:");

  // 0 2 0 and its Friedel mate both lie on the cone; the strongest lines are at them.
  const auto found = starting(r.out, " Angles: ");
  bool plus = false, minus = false;
  for (const auto& l : found) {
    ASSERT_EQ(l.size(), 55u) << l;
    EXPECT_EQ(l.substr(41, 6), " cps: ");
    const auto a = angles_at(l, 9);
    EXPECT_NEAR(a[0], truth[0], 0.01);
    if (std::stoi(l.substr(47)) < 1000) continue;
    plus = plus || (std::fabs(a[2] - truth[1]) < 1.0 && std::fabs(a[3] - truth[2]) < 1.0);
    minus = minus || (std::fabs(a[2] + truth[1]) < 1.0 &&
                      std::fabs(a[3] - (truth[2] - 180.0)) < 1.0);
  }
  EXPECT_TRUE(plus) << r.out;
  EXPECT_TRUE(minus) << r.out;

  // Every psi is reachable here: 360 counts and the first one of the threshold ring; then the
  // shutter shut and the circles to zero.
  const auto sent = sim.sent();
  EXPECT_EQ(count_equal(sent, "GSB10*1;"), 361);
  const auto last_count = std::find(sent.rbegin(), sent.rend(), "GSB10*1;");
  const std::vector<std::string> after(last_count.base(), sent.end());
  EXPECT_GE(count_equal(after, "IO0;"), 1);
  ASSERT_FALSE(targets(after, '1').empty());
  EXPECT_EQ(targets(after, '1').front(), 0.0);
}

// ---- PHOT ----------------------------------------------------------------------------------

TEST(Phot, SweepsPhiThroughZeroWithTheShutterOpenedOnTheBeamOnce) {
  Simulated sim;
  // An unreadable exposure is asked again; 0 minutes ends at the first check after a second.
  const auto r = sim.run("PHOT\n\nsoon\n0\n\nOPSH\nPHOT\nX\nTEST\n");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(count_lines(r.out, "Rotation Photo Utility - Driving to photo position"), 2);
  EXPECT_EQ(count_lines(r.out, "Mount Film Cassette, Type <CR> when ready, X to exit:"), 2);
  EXPECT_EQ(count_lines(r.out, "Input exposure time (minutes):"), 2);
  EXPECT_EQ(count_lines(r.out, "Dismount Film Cassette, Type <CR> when finished:"), 1);
  EXPECT_EQ(r.out.find("Unknown command"), std::string::npos);
  const auto started = starting(r.out, "   Started photo scan at  ");
  const auto completed = starting(r.out, "   Completed photo scan at  ");
  ASSERT_EQ(started.size(), 1u) << r.out;
  ASSERT_EQ(completed.size(), 1u);
  EXPECT_EQ(started[0].size(), 26u + 15u);
  EXPECT_EQ(completed[0].size(), 28u + 15u);
  const auto all = lines(r.out);
  const auto s = std::find(all.begin(), all.end(), started[0]);
  ASSERT_NE(s, all.begin());
  ASSERT_LT(s + 2, all.end());
  EXPECT_EQ(*(s - 1), "");
  EXPECT_EQ(*(s + 1), completed[0]);
  EXPECT_EQ(*(s + 2), "");
  // The operator's own opening at 2theta 0 is refused again afterwards.
  EXPECT_TRUE(has_line(r.out, " **** TOO CLOSE TO DIRECT BEAM")) << r.out;

  std::vector<double> when;
  const auto sent = sim.sent(&when);
  ASSERT_EQ(count_equal(sent, "IO1;"), 1);
  const auto open = std::find(sent.begin(), sent.end(), "IO1;");
  const auto close = std::find(open, sent.end(), "IO0;");
  ASSERT_NE(close, sent.end());
  // Before the opening: the photograph position (2theta 0, chi 90), then phi to the start.
  const std::vector<std::string> before(sent.begin(), open);
  ASSERT_FALSE(targets(before, '1').empty());
  ASSERT_FALSE(targets(before, '3').empty());
  ASSERT_FALSE(targets(before, '4').empty());
  EXPECT_EQ(targets(before, '1').back(), 0.0);
  EXPECT_EQ(targets(before, '3').back(), 90.0);
  EXPECT_EQ(targets(before, '4').back(), -179.99);
  // While open: 0 and an end in turn, the ends alternating, finishing on an end.
  const auto sweep = targets(std::vector<std::string>(open, close), '4');
  ASSERT_GE(sweep.size(), 2u);
  ASSERT_EQ(sweep.size() % 2, 0u);
  for (std::size_t i = 0; i < sweep.size(); ++i)
    EXPECT_EQ(sweep[i], i % 2 == 0 ? 0.0 : ((i / 2) % 2 == 0 ? 179.99 : -179.99)) << i;
  // Exposure of 0 minutes: closed within a couple of seconds of opening.
  const auto t_open = when[static_cast<std::size_t>(open - sent.begin())];
  const auto t_close = when[static_cast<std::size_t>(close - sent.begin())];
  EXPECT_LT(t_close - t_open, 5.0);
  // After closing: back to the photograph position (phi 0).
  const auto back = targets(std::vector<std::string>(close, sent.end()), '4');
  ASSERT_FALSE(back.empty());
  EXPECT_EQ(back.front(), 0.0);
}

TEST(Phot, HaltDuringTheExposureClosesTheShutterAndStillAsksToDismount) {
  Simulated sim("10");  // a half turn of phi takes 0.6 s, the exposure ten real minutes
  bool halted = false;
  const std::string out = halted_run(
      sim, "PHOT\n\n10\n",
      [](const std::string& o) {
        return o.find("   Started photo scan at  ") != std::string::npos;
      },
      halted);
  EXPECT_TRUE(halted) << out;
  EXPECT_EQ(out.find("Completed photo scan"), std::string::npos) << out;
  EXPECT_NE(out.find("Dismount Film Cassette, Type <CR> when finished:"), std::string::npos);
  const auto sent = sim.sent();
  const auto stop = std::find(sent.begin(), sent.end(), "Q;");
  ASSERT_NE(stop, sent.end());
  EXPECT_TRUE(targets(std::vector<std::string>(stop, sent.end()), '4').empty());
  EXPECT_GE(count_equal(std::vector<std::string>(stop, sent.end()), "IO0;"), 1);
}

TEST(Phot, HardwarePhiLimitsBoundTheSweep) {
  Simulated sim;
  std::string p;
  for (const auto& l : lines(sim.home.read("DIFPROF.DAT")))
    p += (l.rfind("MOTOR4", 0) == 0
              ? std::string("MOTOR4 4,    100.00   3000.00    100.00   1000.00    200.00") +
                    "    -30.00     30.00"
              : l) +
         "\n";
  sim.home.write("DIFPROF.DAT", p);
  const auto r = sim.run("PHOT\n\n0\n\n");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(starting(r.out, "   Completed photo scan at  ").size(), 1u) << r.out;
  const auto sent = sim.sent();
  const auto open = std::find(sent.begin(), sent.end(), "IO1;");
  ASSERT_NE(open, sent.end());
  const auto start = targets(std::vector<std::string>(sent.begin(), open), '4');
  ASSERT_FALSE(start.empty());
  EXPECT_EQ(start.back(), -29.99);
  const auto sweep = targets(std::vector<std::string>(open, sent.end()), '4');
  ASSERT_GE(sweep.size(), 2u);
  EXPECT_EQ(sweep[1], 29.99);
  for (double phi : sweep) EXPECT_LE(std::fabs(phi), 29.99);
}

// ---- virtual diffractometer ----------------------------------------------------------------

TEST(Dummy, SearchesAreSkippedAndThePhotographOnlyTalks) {
  Home quiet_home;
  const auto quiet =
      dorvex_test::run_dorvex(quiet_home, "TEST\nTEST\n", dorvex_test::mat_args(quiet_home));
  Home home;
  const auto r = dorvex_test::run_dorvex(home, "SRCH\nCONE\nPHOT\n5\nTEST\n",
                                         dorvex_test::mat_args(home));
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0);
  for (const char* word : {"Input detector", "Cone Search", "exposure", "Started"})
    EXPECT_EQ(r.out.find(word), std::string::npos) << word << "\n" << r.out;
  EXPECT_TRUE(has_line(r.out, " SRCH: nothing moved or counted on the virtual diffractometer"));
  EXPECT_TRUE(has_line(r.out, " CONE: nothing moved or counted on the virtual diffractometer"));
  EXPECT_TRUE(has_line(r.out, "Rotation Photo Utility - Driving to photo position"));
  EXPECT_TRUE(has_line(r.out, "Mount Film Cassette, Type <CR> when ready, X to exit:"));
  // Five lines typed instead of two: three more prompts and echoes, a line each from SRCH and
  // CONE, and the banner of PHOT. The answer "5" finds no question (none is kept without a
  // diffractometer); TEST runs.
  EXPECT_EQ(lines(r.out).size(), lines(quiet.out).size() + 9) << r.out;
  EXPECT_EQ(r.out.find("Unknown command"), std::string::npos);
}

}  // namespace
