// What the line console tells the operator about instrument work, against dorvex-sim: the
// status a command produced, the progress and estimates of long work, and the instrument time
// of a dry run. Expected values come from the profile's speeds and the simulator's transcript.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "manual_session.hpp"

namespace {

using dorvex_test::Home;
using dorvex_test::lines;
using dorvex_test::run_session;
using dorvex_test::Session;
using Lines = std::vector<std::string>;

// The lines of `out` after the first one equal to `line` (empty when there is none).
Lines after(const std::string& out, const std::string& line) {
  const Lines all = lines(out);
  const auto at = std::find(all.begin(), all.end(), line);
  return at == all.end() ? Lines{} : Lines(at + 1, all.end());
}

// Seconds of an "h:mm:ss" text.
double seconds_of(const std::string& hms) {
  int h = 0, m = 0, s = 0;
  std::sscanf(hms.c_str(), "%d:%d:%d", &h, &m, &s);
  return h * 3600.0 + m * 60.0 + s;
}

// The "  took h:mm:ss of instrument time" lines, in seconds.
std::vector<double> took(const std::string& out) {
  static const std::regex line(R"(  took (\d+:\d\d:\d\d) of instrument time)");
  std::vector<double> out_seconds;
  std::smatch m;
  for (const auto& l : lines(out))
    if (std::regex_match(l, m, line)) out_seconds.push_back(seconds_of(m[1]));
  return out_seconds;
}

TEST(LineConsole, TellsWhereStartUpLeftTheCirclesTheProfilePointsAndTheMacroQuestions) {
  const Home home;
  home.write("m.txt", "CALC\n2 0 0\n");
  const Session s = run_session(home, "PROF\n2\n11\n0.02\n0.5\nMACR\nm.txt\n");
  // Start-up found the circles at the profile's park position and the slits at 2 mm.
  const Lines before_prompt = lines(s.out);
  const auto prompt =
      std::find_if(before_prompt.begin(), before_prompt.end(),
                   [](const std::string& l) { return l.find("DORVEX>") != l.npos; });
  ASSERT_NE(prompt, before_prompt.begin()) << s.out;
  EXPECT_EQ(Lines(prompt - 2, prompt),
            (Lines{"  At: 2theta    5.000  omega    2.500  chi    0.000  phi    0.000",
                   "  Slits: 2.00 2.00"}));

  // Eleven omega points of 0.02 degrees centred on omega 2.5; the rates are the controller's
  // counts over the 0.6 s it counts for 0.5 s asked.
  const Lines profile = after(s.out, "  PEAK PROFILE IN  OMEGA: position, rate");
  ASSERT_GE(profile.size(), 11u) << s.out;
  std::vector<int> counts;
  bool listing = false;
  for (const auto& l : lines(home.read("wire.txt"))) {
    if (l.find(" < ?CNT;") != l.npos) listing = true;
    else if (listing && l.find(" > CEND") != l.npos) listing = false;
    else if (listing && l.find(" > ") != l.npos)
      counts.push_back(std::stoi(l.substr(l.find(" > ") + 3)));
  }
  ASSERT_EQ(counts.size(), 11u);
  for (std::size_t i = 0; i < 11; ++i) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "  %10.4f  %10.2f cps", 2.4 + 0.02 * i,
                  counts[i] / 0.6);
    EXPECT_EQ(profile[i], expected) << i;
  }

  // The macro's answer follows the question it answers.
  const Lines all = lines(s.out);
  const auto answer = std::find_if(all.begin(), all.end(), [](const std::string& l) {
    return l.size() > 22 && l.substr(16) == "MACRO>2 0 0";
  });
  ASSERT_NE(answer, all.end()) << s.out;
  EXPECT_EQ(*(answer - 1), "CALC: Enter h,k,l>");
}

// The sample crystal with one shell of 3 to 12 degrees and no standards.
std::string one_shell_matfile() {
  std::ostringstream out;
  std::ifstream in(DORVEX_SOURCE_DIR "/examples/sample.mat");
  for (std::string l; std::getline(in, l);) {
    if (l.rfind("SHELL ", 0) == 0) {
      char line[64];
      const int n = std::stoi(l.substr(5, 6));
      std::snprintf(line, sizeof line, "SHELL %5d %8.3f %8.3f %4d", n, n == 1 ? 3.0 : 0.0,
                    n == 1 ? 12.0 : 0.0, n == 1 ? 1 : 0);
      l = line;
    }
    if (l.rfind("ALLSTD", 0) == 0) l = "ALLSTD    0    0";
    if (l.rfind("HKLST", 0) == 0) l.back() = '0';
    out << l << "\n";
  }
  return out.str();
}

TEST(Progress, DcSSaysWhatItWillMeasureAndHowLongAndReportsAsItGoes) {
  const Home home;
  home.write("x.mat", one_shell_matfile());
  const Session s = run_session(home, "DC S\nY\n");

  // Reflections of the 8 x 10 x 12 A cell with 3 <= 2theta < 12 at 0.7093 A and h >= 0.
  int expected = 0;
  for (int h = 0; h < 10; ++h)
    for (int k = -12; k <= 12; ++k)
      for (int l = -14; l <= 14; ++l) {
        const double d = std::sqrt(h * h / 64.0 + k * k / 100.0 + l * l / 144.0);
        const double tth = 2 * std::asin(0.7093 * d / 2) * 180 / M_PI;
        expected += (h || k || l) && tth >= 3 && tth < 12 ? 1 : 0;
      }
  char shell[64];
  std::snprintf(shell, sizeof shell, "  Shell  1:%6d reflections to measure", expected);
  EXPECT_TRUE(dorvex_test::has_line(s.out, shell)) << s.out;

  std::smatch m;
  const std::regex plan(R"(  In all (\d+) reflections, about (\d+:\d\d:\d\d) of instrument time)");
  const std::regex progress(R"(  DC S: reflection (\d+) of (\d+) in shell 1, about \d+:\d\d left)");
  double estimate = 0;
  int last = 0, reports = 0;
  for (const auto& l : lines(s.out)) {
    if (std::regex_match(l, m, plan)) {
      EXPECT_EQ(std::stoi(m[1]), expected);
      estimate = seconds_of(m[2]);
    } else if (std::regex_match(l, m, progress)) {
      EXPECT_GT(std::stoi(m[1]), last);
      EXPECT_EQ(std::stoi(m[2]), expected);
      last = std::stoi(m[1]);
      ++reports;
    }
  }
  // The simulator's clock: the collection and its drive back to zero.
  const std::vector<double> times = took(s.out);
  ASSERT_FALSE(times.empty()) << s.out;
  EXPECT_NEAR(estimate, times.front(), 0.01 * times.front());
  // A report at the first reflection to begin a minute or more after the last report: with
  // about 50 s a reflection, one every two reflections, never more than one a minute.
  EXPECT_LE(reports, times.front() / 60.0 + 1) << s.out;
  EXPECT_GE(reports, times.front() / 120.0 - 1) << s.out;
}

TEST(DryRun, EachCommandAndTheRunTakeTheSimulatorsTimeAtAnyScale) {
  // phi 90 degrees at 3000 steps/s of 100 steps a degree: 3 s there and 3 s back at EXIT; COUN
  // counts 5.1 s (whole tenths plus one) with 0.5 s of shutter settling at each end.
  const std::string plan = "HELP\nGOTO 5 2.5 0 90\nCOUN\nEXIT\n";
  // At time scale 0 nothing waits, so the figures are exact. At scale 10 the program sees the
  // end of a move or count at its next look, every 100 ms of real time, which is a second of
  // instrument time: a command may be seen to end up to a second late.
  const std::vector<double> exact{3, 6, 3};
  {
    const Home home;
    const Session s = run_session(home, plan, "real", {}, "--time-scale 0");
    EXPECT_EQ(took(s.out), exact) << s.out;
    EXPECT_TRUE(dorvex_test::has_line(
        s.out, "  Instrument time of the commands of this run: 0:00:12"))
        << s.out;
  }
  const Home home;
  const Session s = run_session(home, plan, "real", {}, "--time-scale 10");
  const std::vector<double> seen = took(s.out);
  ASSERT_EQ(seen.size(), exact.size()) << s.out;
  for (std::size_t i = 0; i < exact.size(); ++i) {
    EXPECT_GE(seen[i], exact[i]) << i << "\n" << s.out;
    EXPECT_LE(seen[i], exact[i] + 1) << i << "\n" << s.out;
  }
  std::smatch m;
  const std::regex total("  Instrument time of the commands of this run: 0:00:(\\d\\d)");
  bool found = false;
  for (const auto& l : lines(s.out))
    if (std::regex_match(l, m, total)) {
      found = true;
      EXPECT_GE(std::stoi(m[1]), 12) << s.out;
      EXPECT_LE(std::stoi(m[1]), 15) << s.out;
    }
  EXPECT_TRUE(found) << s.out;
}

}  // namespace
