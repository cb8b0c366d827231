// PROF, SCAN, STEP and CALP as the operator types them: the real program against dorvex-sim
// (the sample crystal, the sample matrix file), what it prints, what it sends and pkprof.dat.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::has_line;
using dorvex_test::Home;
using dorvex_test::lines;

const std::string kSampleMat = DORVEX_SOURCE_DIR "/examples/sample.mat";

// The profile with the line of `key` replaced (or added at the end).
std::string with_line(const std::string& profile, const std::string& key,
                      const std::string& line) {
  std::string out;
  bool replaced = false;
  for (const auto& l : lines(profile)) {
    if (l.rfind(key, 0) == 0) {
      out += line + "\n";
      replaced = true;
    } else {
      out += l + "\n";
    }
  }
  return replaced ? out : out + line + "\n";
}

struct Simulated {
  Home home;
  Simulated() { home.copy_in(kSampleMat, "x.mat"); }
  std::vector<std::string> args() const {
    return {"--home", home.path(), "--simulate", "--ui", "line", "--mat", home.file("x.mat")};
  }
  std::vector<std::string> env() const {
    return {"DORVEX_SIM_ARGS=--time-scale 0 --transcript " + home.file("wire.txt")};
  }
  dorvex_test::RunResult run(const std::string& input) const {
    return dorvex_test::run_dorvex(home, input, args(), 90, env());
  }
  // The commands the controller received, in order.
  std::vector<std::string> sent() const {
    return dorvex_test::received_lines(home.read("wire.txt"));
  }
};

using dorvex_test::count_starting;

std::vector<std::string> starting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& l : lines(text))
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
  return out;
}

const char* kLogOn = "SET LOG\n0\n1\n0\n0\n";

TEST(Prof, OmegaProfileOfAStrongReflectionPeaksInTheMiddleAndIsRecorded) {
  Simulated sim;
  const auto r = sim.run(std::string(kLogOn) + "CALC 2 0 0\nDRIV\nPROF\n2\n21\n0.02\n1\n");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has_line(r.out, "PROF: INPUT 1=TH/2TH, 2=OMEGA, 3=CHI, 4=PHI, 5=2THETA:")) << r.out;
  const auto record = lines(sim.home.read("pkprof.dat"));
  ASSERT_EQ(record.size(), 22u) << sim.home.read("pkprof.dat");
  EXPECT_EQ(record[0], "  PEAK PROFILE IN  OMEGA");
  std::vector<double> position, rate;
  for (std::size_t i = 1; i < record.size(); ++i) {
    ASSERT_EQ(record[i].size(), 22u) << record[i];
    position.push_back(std::stod(record[i].substr(0, 10)));
    rate.push_back(std::stod(record[i].substr(12)));
  }
  // 2 0 0 lies at omega 0: the scan runs from -0.20 to +0.20 in steps of 0.02 (within a
  // motor step: the omega motor reads the circle, theta of 2 0 0 is no whole number of steps).
  for (std::size_t i = 0; i < position.size(); ++i)
    EXPECT_NEAR(position[i], -0.2 + 0.02 * static_cast<double>(i), 1e-3);
  const auto top = static_cast<std::size_t>(
      std::max_element(rate.begin(), rate.end()) - rate.begin());
  EXPECT_GE(top, 8u);
  EXPECT_LE(top, 12u);
  EXPECT_LT(std::max(rate.front(), rate.back()), 0.5 * rate[top]);

  // One scan program of 21 points with the shutter open, then back to omega 0 and shut.
  const auto sent = sim.sent();
  const auto scan = std::find(sent.begin(), sent.end(), "GSB10*21;");
  ASSERT_NE(scan, sent.end());
  const std::vector<std::string> after(scan, sent.end());
  EXPECT_EQ(count_starting(after, "2:A5.08"), 1);  // omega 0: the circle at theta, 5.087
  EXPECT_EQ(count_starting(after, "IO0;"), 1);
  EXPECT_EQ(count_starting(after, "IO1;"), 0);
}

TEST(Prof, RefusedScansMoveNothingAndBadAnswersAreAskedAgain) {
  Simulated sim;
  // Without a sample-height motor 8 is no answer; 200 one-degree omega steps reach past the
  // omega limit of 80; 201 steps are too many.
  const auto r = sim.run(std::string(kLogOn) +
                         "CALC 2 0 0\nDRIV\nPROF\n8\nx\n2\n200\n1.0\n1\nPROF\n2\n201\n0.01\n1\n"
                         "PROF\n3\n\nTEST\n");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dorvex_test::count_lines(r.out, "Invalid Value, ReType:"), 2) << r.out;
  EXPECT_TRUE(has_line(r.out, " Scan not done, end of scan out-of-bounds")) << r.out;
  EXPECT_TRUE(has_line(r.out, "Too many steps in PKPROF"));
  // The blank answer ended the third PROF: TEST was a command again.
  EXPECT_EQ(r.out.find("Unknown command"), std::string::npos);
  EXPECT_FALSE(sim.home.exists("pkprof.dat"));
  const auto sent = sim.sent();
  EXPECT_EQ(count_starting(sent, "GSB10"), 0);
  EXPECT_EQ(count_starting(sent, "IO1;"), 0);
}

TEST(Prof, SampleHeightIsScannedPointByPointAndDrivenBack) {
  Simulated sim;
  std::string p = sim.home.read("DIFPROF.DAT");
  // Motors 7 and 8 both: the controller's status answer lists the axes in digit order.
  p = with_line(p, "MOTOR7",
                "MOTOR7 7,    100.00   1000.00    100.00    500.00    100.00      0.00    300.00");
  p = with_line(p, "MOTOR8",
                "MOTOR8 8,    100.00   1000.00    100.00    500.00    100.00     -5.00      5.00");
  sim.home.write("DIFPROF.DAT", p);
  const auto r = sim.run(std::string(kLogOn) + "CALC 2 0 0\nDRIV\nPROF\n8\n5\n0.1\n1\n");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has_line(
      r.out, "PROF: INPUT 1=TH/2TH, 2=OMEGA, 3=CHI, 4=PHI, 5=2THETA, 8=SAMPLE-Z:")) << r.out;
  const auto record = lines(sim.home.read("pkprof.dat"));
  ASSERT_EQ(record.size(), 6u) << sim.home.read("pkprof.dat");
  EXPECT_EQ(record[0], "  PEAK PROFILE IN HEIGHT");
  for (std::size_t i = 1; i < record.size(); ++i)
    EXPECT_NEAR(std::stod(record[i].substr(0, 10)), -0.3 + 0.1 * static_cast<double>(i), 1e-4);
  // A count at each height, then back to where it started.
  std::string moves;
  for (const auto& c : sim.sent())
    if (c.rfind("8:A", 0) == 0 || c == "GSB10*1;") moves += c.substr(0, c.find('S', 3)) + " ";
  EXPECT_EQ(moves, "8:A-0.2000 GSB10*1; 8:A-0.1000 GSB10*1; 8:A0.0000 GSB10*1; "
                   "8:A0.1000 GSB10*1; 8:A0.2000 GSB10*1; 8:A0.0000 ");
}

TEST(Scan, FiveStepsFromH1ToH3MeasureEveryHalfIndex) {
  Simulated sim;
  const auto r = sim.run("SCAN\n1 0 0\n3,0,0\n5\n1\nSCAN\n1 0 0\n40 0 0\n5\n1\n");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dorvex_test::count_lines(r.out, "******STARTING SCAN*****"), 2);
  EXPECT_TRUE(has_line(r.out, "       *********RECIPROCAL SPACE SCAN********"));
  EXPECT_TRUE(has_line(r.out, "  HKL INCREMENTS ARE:      0.500     0.000     0.000")) << r.out;
  const auto measured = starting(r.out, "  HKL =");
  ASSERT_EQ(measured.size(), 7u) << r.out;
  const char* h[] = {"     1.000", "     1.500", "     2.000", "     2.500", "     3.000",
                     "     1.000", "    10.750"};
  std::vector<double> counts;
  for (std::size_t i = 0; i < measured.size(); ++i) {
    EXPECT_EQ(measured[i].substr(0, 47),
              std::string("  HKL =") + h[i] + "     0.000     0.000 counts = ");
    counts.push_back(std::stod(measured[i].substr(47)));
  }
  // Reflections at whole h, background in between.
  EXPECT_GT(counts[2], 10.0 * counts[1] + 100.0);
  EXPECT_GT(counts[2], 10.0 * counts[3] + 100.0);
  // 20.5 0 0 needs 2theta beyond its limit: the second scan stops there.
  EXPECT_EQ(dorvex_test::count_lines(r.out, "  POSITION OUT-OF BOUNDS"), 1);
  const auto all = lines(r.out);
  const auto stop = std::find(all.begin(), all.end(), "  POSITION OUT-OF BOUNDS");
  ASSERT_NE(stop, all.end());
  EXPECT_EQ(*(stop - 1), measured.back());
  EXPECT_EQ(count_starting(sim.sent(), "GSB10*1;"), 7);
}

TEST(Step, VisitsEachPositionAndAsksAgainForInconsistentRanges) {
  Simulated sim;
  const auto r = sim.run(
      "STEP\n0\nSTEP\n9\n2\n1 2 -0.1\n1,1.25,0.1\n0.002\nSTEP\n3\n30 24.9 -2.5\n0\n");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dorvex_test::count_lines(
                r.out, "THIS STEP SCAN WILL BE PERFORMED AT THE CURRENT DIFFRACTOMETER POSITION,"),
            3);
  EXPECT_TRUE(has_line(
      r.out, "PLEASE CHECK THIS IS WHAT YOU WANT. IF NOT, ENTER 0 TO THE NEXT QUESTION"));
  EXPECT_EQ(dorvex_test::count_lines(r.out, "Invalid Value, ReType:"), 1) << r.out;
  EXPECT_EQ(dorvex_test::count_lines(r.out, "Inconsistent Values, ReType:"), 1);
  // From the park position; the chi scan starts where the omega scan ended.
  const std::string initial = "  Initial positions before start of scan: ";
  EXPECT_TRUE(has_line(r.out, initial + "   5.000   2.500   0.000   0.000")) << r.out;
  EXPECT_TRUE(has_line(r.out, initial + "   5.000   1.200   0.000   0.000"));
  const auto arrived = starting(r.out, "   Arrived at angles ");
  ASSERT_EQ(arrived.size(), 6u) << r.out;
  const char* angles[] = {"   5.000   1.000   0.000   0.000", "   5.000   1.100   0.000   0.000",
                          "   5.000   1.200   0.000   0.000", "   5.000   1.200  30.000   0.000",
                          "   5.000   1.200  27.500   0.000", "   5.000   1.200  25.000   0.000"};
  for (std::size_t i = 0; i < arrived.size(); ++i) {
    EXPECT_EQ(arrived[i].substr(21, 32), angles[i]);
    EXPECT_EQ(arrived[i].size(), 21u + 32u + 5u + 15u) << arrived[i];  // " at  " A9 ":" A5
  }
  EXPECT_EQ(starting(r.out, "   STEP COMPLETED at  ").size(), 2u);
}

// The counting-time wait is a timer wait: Ctrl-C (the halt) ends it and the scan.
TEST(Step, HaltDuringTheWaitStopsTheScan) {
  Simulated sim;
  auto args = sim.args();
  // The counting time of STEP is instrument time: at time scale 0 it would pass at once. In
  // real time the ten minutes are still running when the halt comes.
  const std::string env = "DORVEX_SIM_ARGS=--time-scale 1";
  const dorvex_test::Started child = dorvex_test::start_program(
      sim.home.path(), args, {env}, dorvex_test::Stderr::inherited);
  ASSERT_GE(child.pid, 0);
  const pid_t pid = child.pid;
  const std::string script = "STEP\n2\n1 2 0.5\n10\n";  // ten minutes at each position
  ASSERT_EQ(::write(child.in, script.data(), script.size()), static_cast<ssize_t>(script.size()));
  std::string output;
  auto read_until = [&](const std::string& what) {
    return dorvex_test::read_output_until(child, output, what);
  };
  const bool arrived = read_until("   Arrived at angles ");
  if (arrived) ::kill(pid, SIGINT);
  const bool halted = arrived && read_until("Diffractometer halted by user");
  ::close(child.in);
  const bool ended = read_until("Normal program termination");
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  ::close(child.out);
  ASSERT_TRUE(arrived) << output;
  EXPECT_TRUE(halted) << output;
  EXPECT_TRUE(ended) << output;
  EXPECT_EQ(starting(output, "   Arrived at").size(), 1u) << output;
  EXPECT_EQ(output.find("STEP COMPLETED"), std::string::npos);
}

std::string calp_line(double f, double h, double v) {
  const double tt = std::atan(std::sqrt(h * h + v * v) / (2.0 * f)) * 180.0 / M_PI;
  const double chi = std::fabs(h) <= 1.0 ? 90.0 : std::atan(v / h) * 180.0 / M_PI;
  char text[80];
  std::snprintf(text, sizeof text, "  For Film distance=%4dmm: 2theta = %4.1f chi = %3d",
                static_cast<int>(f), tt, static_cast<int>(chi));
  return text;
}

TEST(Calp, SpotSpacingsGiveTwoThetaAndChiUntilBothAreBelowOne) {
  Home home;
  const auto r = dorvex_test::run_dorvex(
      home, "CALP\n30 40\nnonsense\n-3 4\n0.5,12\n12 -5\n0.5 0.9\nTEST\n",
      dorvex_test::mat_args(home));
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  const auto results = starting(r.out, "  For Film distance=");
  ASSERT_EQ(results.size(), 2u) << r.out;  // 12 -5 is a negative spacing: ignored
  EXPECT_EQ(results[0], calp_line(60, 30, 40));
  EXPECT_EQ(results[1], calp_line(60, 0.5, 12));
  EXPECT_EQ(results[0], "  For Film distance=  60mm: 2theta = 22.6 chi =  53");
  EXPECT_EQ(dorvex_test::count_lines(r.out, "CALP: Enter horiz and vert spacing of spots>"), 6);
  EXPECT_EQ(r.out.find("Unknown command"), std::string::npos);

  Home far;
  far.write("DIFPROF.DAT", with_line(far.read("DIFPROF.DAT"), "FILMD", "FILMD   500.0000"));
  const auto bad = dorvex_test::run_dorvex(far, "CALP\n30 40\n", dorvex_test::mat_args(far));
  EXPECT_TRUE(has_line(bad.out, "*****Filmdistance of   500.0mm not valid")) << bad.out;
  EXPECT_TRUE(has_line(bad.out, "     Reset the value in difractometer profile file"));
  EXPECT_TRUE(has_line(bad.out, "Unknown command"));  // no question was asked
  EXPECT_EQ(bad.out.find("CALP: Enter"), std::string::npos);
}

TEST(Dummy, ProfAndScanDoNothingAndSaySo) {
  Home home;
  const auto quiet = dorvex_test::run_dorvex(home, "TEST\nTEST\n", dorvex_test::mat_args(home));
  Home other;
  const auto r = dorvex_test::run_dorvex(other, "PROF\nSCAN\n", dorvex_test::mat_args(other));
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0);
  // As many lines as two commands that do nothing, and one line each that says so; no
  // question among them.
  EXPECT_EQ(lines(r.out).size(), lines(quiet.out).size() + 2) << r.out;
  EXPECT_TRUE(has_line(r.out, " PROF: nothing moved or counted on the virtual diffractometer"));
  EXPECT_TRUE(has_line(r.out, " SCAN: nothing moved or counted on the virtual diffractometer"));
  for (const char* word : {"PROF: INPUT", "INPUT", "ENTER", "STARTING SCAN"})
    EXPECT_EQ(r.out.find(word), std::string::npos) << word << "\n" << r.out;
  EXPECT_FALSE(other.exists("pkprof.dat"));
}

}  // namespace
