// The controller simulator seen from the serial line, with the command texts of the SMC drivers.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <thread>

#include "sim/sim_session.hpp"

using simtest::drive9000;
using simtest::fixed4;
using simtest::SimSession;
using simtest::test_profile;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLambda = 0.71073;

// A crystal with a known UB (rows, 1/A): an 8 x 10 x 12 A orthorhombic cell turned about x and
// z, weak everywhere except the listed reflection 2 1 1.
struct KnownCrystal {
  double ub[3][3];
  KnownCrystal() {
    const double b[3] = {1 / 8.0, 1 / 10.0, 1 / 12.0};
    const double a = 20 * kPi / 180, c = 35 * kPi / 180;
    const double ca = std::cos(a), sa = std::sin(a), cc = std::cos(c), sc = std::sin(c);
    const double rx[3][3] = {{1, 0, 0}, {0, ca, -sa}, {0, sa, ca}};
    const double rz[3][3] = {{cc, -sc, 0}, {sc, cc, 0}, {0, 0, 1}};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        double r = 0;
        for (int k = 0; k < 3; ++k) r += rx[i][k] * rz[k][j];
        ub[i][j] = r * b[j];
      }
  }
  std::string text() const {
    std::ostringstream out;
    out.precision(10);
    out << "# test crystal\nub";
    for (auto& row : ub)
      for (double v : row) out << ' ' << v;
    out << "\nlaue -1\nscale 20\nbackground 5\nreflection 2 1 1 20000\nreflection 8 8 8 20000\n";
    return out.str();
  }
  // Bisecting setting (2theta, chi, phi) of h, all senses +1.
  std::array<double, 3> setting(int h, int k, int l) const {
    double x[3];
    for (int i = 0; i < 3; ++i) x[i] = ub[i][0] * h + ub[i][1] * k + ub[i][2] * l;
    double dstar = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
    return {2 * std::asin(dstar * kLambda / 2) * 180 / kPi,
            std::atan2(x[2], std::hypot(x[0], x[1])) * 180 / kPi,
            std::atan2(x[1], x[0]) * 180 / kPi};
  }
};

void drive_all(SimSession& s, double tth, double om, double chi, double phi) {
  s.send("CLR;");
  s.send(drive9000('1', tth));
  s.send(drive9000('2', om));
  s.send(drive9000('3', chi, 10000));
  s.send(drive9000('4', phi, 3000));
  s.send("START:;");
  ASSERT_TRUE(s.wait_idle());
}

long sum(const std::vector<long>& v) { return std::accumulate(v.begin(), v.end(), 0L); }

std::vector<std::string> fast{"--time-scale", "0"};

}  // namespace

TEST(SimMotion, DrivesReadBackAndPositionLoad) {
  SimSession s(test_profile(1), fast);
  ASSERT_TRUE(s.ready());
  EXPECT_EQ(s.ask("?P1;"), "1:+5.0000deg;");  // the park position
  EXPECT_EQ(s.ask("?P5;"), "5:+2.0000mm;");
  EXPECT_EQ(s.ask("?S;"), "1:1;2:1;3:1;4:1;5:1;6:1;");
  drive_all(s, 23.4567, -3.25, 45.5, -120.0);
  EXPECT_EQ(s.ask("?P1;"), "1:+23.4570deg;");  // 1000 steps per degree: whole steps
  EXPECT_DOUBLE_EQ(s.position('2'), -3.25);
  EXPECT_DOUBLE_EQ(s.position('3'), 45.5);
  EXPECT_DOUBLE_EQ(s.position('4'), -120.0);
  // The short form of small moves, then a position load that moves nothing.
  s.send("CLR;");
  s.send("2:A-3.0000S1000;");
  s.send("START:;");
  ASSERT_TRUE(s.wait_idle());
  EXPECT_DOUBLE_EQ(s.position('2'), -3.0);
  s.send("POS2:10.0000;");
  EXPECT_EQ(s.ask("?P2;"), "2:+10.0000deg;");
  EXPECT_EQ(s.ask("?S;"), "1:1;2:1;3:1;4:1;5:1;6:1;");
  // A drive is loaded only: nothing moves before START.
  s.send("CLR;");
  s.send(drive9000('1', 30.0));
  EXPECT_DOUBLE_EQ(s.position('1'), 23.457);
  EXPECT_EQ(s.ask("?Px;"), "ERR;");
}

TEST(SimMotion, MovesTakeTimeAndStopOnQ) {
  SimSession s(test_profile(1), {"--time-scale", "1"});
  ASSERT_TRUE(s.ready());
  s.send("CLR;");
  s.send(drive9000('1', 15.0, 5000));  // 10 degrees at 5 degrees per second
  s.send("START:;");
  EXPECT_EQ(s.ask("?S;"), "1:2;2:1;3:1;4:1;5:1;6:1;");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  double mid = s.position('1');
  EXPECT_GT(mid, 5.0);
  EXPECT_LT(mid, 15.0);
  ASSERT_TRUE(s.wait_idle(6000));
  EXPECT_DOUBLE_EQ(s.position('1'), 15.0);

  // 10 degrees at one degree per second, stopped after about 0.3 s.
  s.send("CLR;");
  s.send(drive9000('1', 25.0, 1000));
  s.send("START:;");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  s.send("Q;");
  EXPECT_EQ(s.ask("?S;"), "1:1;2:1;3:1;4:1;5:1;6:1;");
  double stopped = s.position('1');
  EXPECT_GT(stopped, 15.1);
  EXPECT_LT(stopped, 24.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_DOUBLE_EQ(s.position('1'), stopped);
}

TEST(SimMotion, LimitSwitches) {
  SimSession s(test_profile(1), std::vector<std::string>{"--time-scale", "0", "--fault",
                                                          "limit:3:30"});
  ASSERT_TRUE(s.ready());
  // 2theta runs onto its upper switch just beyond the profile's limit of 120.
  s.send("CLR;");
  s.send(drive9000('1', 130.0));
  s.send("START:;");
  EXPECT_EQ(s.ask("?S;"), "1:9;2:1;3:1;4:1;5:1;6:1;");
  EXPECT_DOUBLE_EQ(s.position('1'), 120.1);
  s.send("CLR;");
  s.send(drive9000('1', 125.0));  // further into the switch: refused
  s.send("START:;");
  EXPECT_DOUBLE_EQ(s.position('1'), 120.1);
  s.send("CLR;");
  s.send(drive9000('1', 100.0));  // away from it: allowed, and the switch is free again
  s.send("START:;");
  EXPECT_DOUBLE_EQ(s.position('1'), 100.0);
  EXPECT_EQ(s.ask("?S;"), "1:1;2:1;3:1;4:1;5:1;6:1;");
  // A target exactly on the limit is reached without touching the switch.
  s.send("CLR;");
  s.send(drive9000('2', -60.0));
  s.send("START:;");
  EXPECT_EQ(s.ask("?S;"), "1:1;2:1;3:1;4:1;5:1;6:1;");
  // The injected switch on the free chi axis.
  s.send("CLR;");
  s.send(drive9000('3', 40.0, 10000));
  s.send("START:;");
  EXPECT_DOUBLE_EQ(s.position('3'), 30.0);
  EXPECT_EQ(s.ask("?S;"), "1:1;2:1;3:9;4:1;5:1;6:1;");
  s.send("CLR;");
  s.send(drive9000('3', 10.0, 10000));
  s.send("START:;");
  EXPECT_EQ(s.ask("?S;"), "1:1;2:1;3:1;4:1;5:1;6:1;");
  s.send("CLR;");
  s.send(drive9000('3', -40.0, 10000));  // crossing it from above: the lower bit
  s.send("START:;");
  EXPECT_EQ(s.ask("?S;"), "1:1;2:1;3:1;4:1;5:1;6:1;");
  EXPECT_DOUBLE_EQ(s.position('3'), -40.0);
  s.send("CLR;");
  s.send(drive9000('3', 50.0, 10000));
  s.send("START:;");
  EXPECT_DOUBLE_EQ(s.position('3'), 30.0);
}

TEST(SimCounter, ShutterAndItsFaults) {
  SimSession s(test_profile(1), {"--time-scale", "0", "--fault", "shutter:2", "--fault",
                                 "shuttergarble:1"});
  ASSERT_TRUE(s.ready());
  std::string garbled = s.ask("?IO;");
  EXPECT_GT(garbled.size(), 1u);
  EXPECT_EQ(s.ask("?IO;"), "0");
  s.send("IO1;");
  EXPECT_EQ(s.ask("?IO;"), "0");
  s.send("IO1;");
  EXPECT_EQ(s.ask("?IO;"), "0");
  s.send("IO1;");
  EXPECT_EQ(s.ask("?IO;"), "1");
  s.send("IO0;");
  EXPECT_EQ(s.ask("?IO;"), "0");
  s.send("IO1;");
  s.send("Q;");  // the stop leaves the shutter to the program
  EXPECT_EQ(s.ask("?IO;"), "1");
}

TEST(SimCounter, BraggPeakCountsAndClosedShutter) {
  KnownCrystal crystal;
  auto [tth, chi, phi] = crystal.setting(2, 1, 1);
  for (int coupled : {0, 1}) {
    SCOPED_TRACE(coupled);
    SimSession s(test_profile(1, 3, 3, coupled), {"--time-scale", "0", "--seed", "7"},
                 crystal.text());
    ASSERT_TRUE(s.ready());
    // With the omega axis carried by 2theta the omega reading of a bisecting setting is theta.
    double omega = coupled ? tth / 2 : 0.0;
    drive_all(s, tth, omega, chi, phi);
    long closed = sum(s.count(5));
    s.send("IO1;");
    std::vector<long> on = s.count(5);
    ASSERT_EQ(on.size(), 5u);
    drive_all(s, tth, omega + 2.0, chi, phi);
    long off = sum(s.count(5));
    drive_all(s, tth + 1.5, omega + 0.75, chi, phi);  // the detector beside the beam
    long beside = sum(s.count(5));
    EXPECT_GT(sum(on), 50000);
    EXPECT_LT(off, 500);
    EXPECT_LT(beside, 500);
    EXPECT_LT(closed, 30);
    for (long c : on) EXPECT_LE(c, 99999);
  }
}

TEST(SimCounter, StepScansPeakAtTheReflection) {
  KnownCrystal crystal;
  auto [tth, chi, phi] = crystal.setting(2, 1, 1);
  SimSession s(test_profile(1, 3, 3, 1), {"--time-scale", "0"}, crystal.text());
  ASSERT_TRUE(s.ready());
  s.send("IO1;");
  // Omega scan of 21 steps of 0.05 degree centred on the peak: start at -(n+1)/2 steps.
  const double step = 0.05;
  drive_all(s, tth, tth / 2 - 11 * step, chi, phi);
  std::vector<long> counts = s.scan({{'2', step}}, 21, 1.0);
  ASSERT_EQ(counts.size(), 21u);
  long peak = std::max_element(counts.begin(), counts.end()) - counts.begin();
  EXPECT_NEAR(peak, 10, 1);
  EXPECT_GT(counts[static_cast<std::size_t>(peak)], 20 * (counts.front() + counts.back() + 1));
  EXPECT_NEAR(s.position('2'), tth / 2 - 11 * step + 21 * step, 1e-3);
  // The coupled scan: 2theta by the step, omega by half of it.
  drive_all(s, tth - 11 * 0.04, tth / 2 - 11 * 0.02, chi, phi);
  counts = s.scan({{'1', 0.04}, {'2', 0.02}}, 21, 0.5);
  ASSERT_EQ(counts.size(), 21u);
  peak = std::max_element(counts.begin(), counts.end()) - counts.begin();
  EXPECT_NEAR(peak, 10, 1);
  EXPECT_NEAR(s.position('1'), tth + 10 * 0.04, 1e-3);
}

TEST(SimCounter, SecondWavelengthAddsItsDoublet) {
  KnownCrystal crystal;
  auto [tth, chi, phi] = crystal.setting(8, 8, 8);  // with lambda 0.71073: the profile's is set
  std::string profile = test_profile(1, 3, 3, 1);
  profile.replace(profile.find("WAVEL"), std::string::npos,
                  "WAVEL     2  0.709300  0.713590    0.5000\n");
  SimSession s(profile, {"--time-scale", "0"}, crystal.text());
  ASSERT_TRUE(s.ready());
  s.send("IO1;");
  // 2theta of 8 8 8 for both lines, from the one for 0.71073.
  const double sin_theta = std::sin(tth / 2 * kPi / 180) / kLambda;
  const double tth1 = 2 * std::asin(sin_theta * 0.7093) * 180 / kPi;
  const double tth2 = 2 * std::asin(sin_theta * 0.71359) * 180 / kPi;
  ASSERT_GT(tth2 - tth1, 0.35);
  const double step = 0.04;
  const double start = tth1 - 0.6;
  drive_all(s, start - step, (start - step) / 2, chi, phi);
  std::vector<long> counts = s.scan({{'1', step}, {'2', step / 2}}, 41, 0.5);
  ASSERT_EQ(counts.size(), 41u);
  auto at = [&](double t) {
    return counts[static_cast<std::size_t>(std::lround((t - start) / step))];
  };
  long peak = *std::max_element(counts.begin(), counts.end());
  EXPECT_EQ(at(tth1), peak);
  EXPECT_GT(at(tth2), 0.35 * peak);
  EXPECT_LT(at(tth2), 0.75 * peak);
  EXPECT_LT(at((tth1 + tth2) / 2), at(tth2));  // resolved: a dip between the lines
}

TEST(SimFaults, AnswersDroppedEmptiedGarbled) {
  SimSession s(test_profile(1), {"--time-scale", "0", "--fault", "drop:?P:2", "--fault",
                                 "empty:?S:1", "--fault", "garble:?P1:3"});
  ASSERT_TRUE(s.ready());
  EXPECT_EQ(s.ask("?P1;"), "1:+5.0000deg;");
  EXPECT_EQ(s.ask("?P2;", 400), "<none>");
  std::string garbled = s.ask("?P1;");  // the third ?P and the second ?P1: untouched
  EXPECT_EQ(garbled, "1:+5.0000deg;");
  garbled = s.ask("?P1;");  // the third ?P1
  EXPECT_EQ(garbled.find("deg;"), std::string::npos);
  EXPECT_EQ(s.ask("?S;"), "");
  EXPECT_EQ(s.ask("?S;"), "1:1;2:1;3:1;4:1;5:1;6:1;");
}

TEST(SimFaults, CountListShortAndDrivesShort) {
  SimSession s(test_profile(1), {"--time-scale", "0", "--fault", "countshort:1", "--fault",
                                 "short:1:2"});
  ASSERT_TRUE(s.ready());
  EXPECT_EQ(s.count(4).size(), 3u);
  EXPECT_EQ(s.read_counts().size(), 4u);  // asked again: complete
  // From 5 up to 30, back down to 10 (short from above), then the fault is spent.
  const double targets[3] = {30.0, 10.0, 40.0}, reached[3] = {29.5, 10.5, 40.0};
  for (int i = 0; i < 3; ++i) {
    s.send("CLR;");
    s.send(drive9000('1', targets[i]));
    s.send("START:;");
    ASSERT_TRUE(s.wait_idle());
    EXPECT_DOUBLE_EQ(s.position('1'), reached[i]);
  }
}

TEST(SimLink, TranscriptRecordsBothDirectionsAndFaults) {
  std::string transcript = "/tmp/dorvex-simtest-transcript-" + std::to_string(getpid()) + ".log";
  {
    SimSession t(test_profile(1), {"--time-scale", "0", "--transcript", transcript, "--fault",
                                   "drop:?IO:1"});
    ASSERT_TRUE(t.ready());
    t.ask("?P1;");
    t.ask("?IO;", 300);
    t.send("BOGUS;");
    t.ask("?S;");
  }
  std::ifstream in(transcript);
  std::stringstream text;
  text << in.rdbuf();
  std::string log = text.str();
  EXPECT_NE(log.find(" < ?P1;\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" > 1:+5.0000deg;\n"), std::string::npos);
  EXPECT_NE(log.find(" # fault: no answer to ?IO\n"), std::string::npos);
  EXPECT_NE(log.find(" # unknown command: BOGUS\n"), std::string::npos);
  EXPECT_EQ(log.find(" > 0\n"), std::string::npos);
  std::filesystem::remove(transcript);
}

TEST(SimLink, Smc9300FramesAnswersWithEtx) {
  SimSession s(test_profile(7), fast);
  ASSERT_TRUE(s.ready());
  EXPECT_EQ(s.ask("?P1;"), "\x03" "1:+5.0000deg;");
  EXPECT_EQ(s.ask("?IO;"), "\x03" "0");
  EXPECT_EQ(s.ask("?S;"), "\x03" "1:1;2:1;3:1;4:1;5:1;6:1;");
  // The SMC9300 drive form; the SMC9000 long form is not its language.
  s.send("CLR;");
  s.send("1:A12.5000S500R20000A100;");
  s.send("START:;");
  EXPECT_EQ(s.ask("?P1;"), "\x03" "1:+12.5000deg;");
  s.send("CLR;");
  s.send(drive9000('1', 30.0));
  s.send("START:;");
  EXPECT_EQ(s.ask("?P1;"), "\x03" "1:+12.5000deg;");
  // Count lines carry no ETX.
  std::vector<long> counts = s.count(2);
  EXPECT_EQ(counts.size(), 2u);
  s.send("?CNT;");
  EXPECT_EQ(s.read_line().value_or("?").find('\x03'), std::string::npos);
}

TEST(SimLink, ProfileTerminators) {
  // The program ends its commands with CR and expects LF after each answer.
  SimSession s(test_profile(1, 2, 1), fast);
  ASSERT_TRUE(s.ready());
  s.send("?P1;");
  EXPECT_EQ(s.read_raw(300), "1:+5.0000deg;\n");
  // A CR LF from the program leaves the LF at the start of the next command.
  s.send_raw("?P1;\r\n");
  EXPECT_EQ(s.read_raw(300), "1:+5.0000deg;\n");
  s.send("?P1;");  // begins with the stray LF: not a command the controller knows
  EXPECT_EQ(s.read_raw(300), "");
  s.send("?P1;");
  EXPECT_EQ(s.read_raw(300), "1:+5.0000deg;\n");
}

TEST(SimLink, LifecycleAndCommandLine) {
  {
    SimSession s(test_profile(1), fast);
    ASSERT_TRUE(s.ready());
    std::string link = s.link();
    EXPECT_EQ(s.finish(), 0);  // standard input closed
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  }
  {
    SimSession s(test_profile(1), fast);
    ASSERT_TRUE(s.ready());
    kill(s.pid(), SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(s.link())));
  }
  // Bounded, so that an option wrongly accepted fails the test instead of leaving a simulator
  // running; names carry the process number, so that parallel runs cannot collide.
  auto run = [](const std::string& args) {
    int status = std::system(
        ("timeout 20 " + std::string(DORVEX_SIM_BINARY) + " " + args + " >/dev/null 2>&1")
            .c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  const std::string tag = std::to_string(getpid());
  EXPECT_EQ(run("--help"), 0);
  EXPECT_NE(run("--link /tmp/dorvex-simtest-x-" + tag), 0);
  std::string profile = "/tmp/dorvex-simtest-profile-" + tag + ".DAT";
  std::ofstream(profile) << test_profile(1);
  const std::string nolink = " --link /tmp/dorvex-simtest-nolink-" + tag + " --profile ";
  EXPECT_NE(run(nolink + profile + " --fault drop:P:1"), 0);
  EXPECT_NE(run(nolink + profile + " --family p9"), 0);
  std::filesystem::remove(profile);
}

TEST(SimCrystal, SampleCrystalShowsItsStandardsAndBadFilesAreRefused) {
  // UB of the sample: Rx(15)·Ry(-20)·Rz(30)·diag(1/8, 1/10, 1/12) for the orthogonal cell.
  auto rot = [](int axis, double deg) {
    double c = std::cos(deg * kPi / 180), s = std::sin(deg * kPi / 180);
    std::array<std::array<double, 3>, 3> m{};
    int i = (axis + 1) % 3, j = (axis + 2) % 3;
    m[axis][axis] = 1;
    m[i][i] = m[j][j] = c;
    m[i][j] = -s;
    m[j][i] = s;
    return m;
  };
  auto mul = [](auto a, auto b) {
    std::array<std::array<double, 3>, 3> r{};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        for (int k = 0; k < 3; ++k) r[i][j] += a[i][k] * b[k][j];
    return r;
  };
  auto u = mul(rot(0, 15), mul(rot(1, -20), rot(2, 30)));
  std::ifstream file(std::string(DORVEX_SOURCE_DIR) + "/examples/sample_crystal.txt");
  std::stringstream text;
  text << file.rdbuf();
  ASSERT_FALSE(text.str().empty());
  SimSession s(test_profile(1), {"--time-scale", "0"}, text.str());
  ASSERT_TRUE(s.ready());
  s.send("IO1;");
  const double axes[3] = {8, 10, 12};
  for (int h = 0; h < 3; ++h) {
    double x[3];
    for (int i = 0; i < 3; ++i) x[i] = u[i][h] * 2 / axes[h];
    double dstar = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
    double tth = 2 * std::asin(dstar * kLambda / 2) * 180 / kPi;
    double chi = std::atan2(x[2], std::hypot(x[0], x[1])) * 180 / kPi;
    double phi = std::atan2(x[1], x[0]) * 180 / kPi;
    drive_all(s, tth, 0.0, chi, phi);
    EXPECT_GT(sum(s.count(1)), 4000) << "axial reflection " << h;
  }
  // Unknown keywords and short numeric lines stop the simulator before it links anything.
  for (const char* bad : {"cell 8 10\n", "colour red\n", "fwhm 0.2 0 1\n"}) {
    SimSession b(test_profile(1), fast, bad);
    EXPECT_FALSE(b.ready()) << bad;
  }
}

// A real crystal: the reflection 0 -8 0 of an unrotated 8 x 10 x 12 A cell lies at chi 0, phi
// -90 (2theta 33.03), where the x axis of the phi-axis frame points along the laboratory y.
// A plate thin along that axis is crossed by both beams symmetrically, each path through it
// t / (2 cos theta) long whatever the depth, so the transmission is exp(-mu t / cos theta).
TEST(SimCrystal, RealCrystalScalesPeaksByLpTransmissionAndDecay) {
  const std::string base =
      "ub 0.125 0 0 0 0.1 0 0 0 0.0833333333\nlaue -1\nscale 100\nbackground 0\ndark 0\n"
      "fsquared 0 8 0 10\n";
  const double tth = 2 * std::asin(0.8 * kLambda / 2) * 180 / kPi;
  const double t2 = std::pow(std::cos(tth * kPi / 180), 2);
  const double lp = (1 + t2) / 2 / std::sin(tth * kPi / 180);  // no monochromator
  const double transmission = std::exp(-2.0 * 0.05 / std::cos(tth / 2 * kPi / 180));
  auto peak = [&](const std::string& extra, double& later) {
    SimSession s(test_profile(1), fast, base + extra);
    EXPECT_TRUE(s.ready());
    s.send("IO1;");
    drive_all(s, tth, 0.0, 0.0, -90.0);
    const long now = sum(s.count(60));
    // One slow turn of phi to the same orientation takes an hour of simulated time.
    s.send("CLR;");
    s.send(drive9000('4', 270.0, 10));
    s.send("START:;");
    EXPECT_TRUE(s.wait_idle());
    later = static_cast<double>(sum(s.count(60)));
    return static_cast<double>(now);
  };
  double plain_later = 0, real_later = 0;
  const double plain = peak("", plain_later);
  const double real =
      peak("lorentz_polarisation on\nabsorption 2 0.05 4 4\ndecay 20\n", real_later);
  ASSERT_GT(plain, 30000);  // 0.6 % counting noise
  EXPECT_NEAR(real / plain / (lp * transmission), 1.0, 0.02);
  EXPECT_NEAR(plain_later / plain, 1.0, 0.02);
  // 20 % an hour over the 3660 s between the two counts.
  EXPECT_NEAR(real_later / real, 1.0 - 0.2 * 3660.0 / 3600.0, 0.015);
}
