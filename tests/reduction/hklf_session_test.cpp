// HKLF end to end: the real program collects a shell with standards (DC S) and psi scans of two
// reflections near chi 90 (DC P) from dorvex-sim holding a crystal of known F-squared that
// decays with time and absorbs as a thin plate; HKLF then reduces the data file with and
// without each correction. The F-squared written are compared with the simulator's truth after
// one least-squares scale, the decay found with the decay the simulator applied between two
// marks sent through DCOM, and the CIF is read back with gemmi.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gemmi/cif.hpp>
#include <gtest/gtest.h>

#include "files/datafile.hpp"
#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::Home;
using dorvex_test::lines;
using HKL = std::array<int, 3>;

constexpr double kDecayPerHour = 10.0;  // per cent, the simulator's crystal

// Shell 5-20 degrees 2theta of a quarter sphere, standards 2 0 0 and 0 2 0 every 10
// reflections, omega scans of 41 points of 0.02 degrees and 1 s, space group P 2 2 2.
const char* kCollection =
    "SGROUP   16P 2 2 2              \n"
    "DSCAN1  0.8000  0.3500\n"
    "DSCAN2   1.0   0.0 0.0200   1.0   0.0   0.0   0.0   0.0  0.00   0.0  0.00   0.0\n"
    "HKLORD -20  20   0  20   0  20   1   2   3\n"
    "ALLSTD    2   10\n"
    "HKLST   1    2    0    0    1\n"
    "HKLST   2    0    2    0    1\n"
    "HKLST   3    0    0    0    0\n"
    "HKLST   4    0    0    0    0\n"
    "HKLST   5    0    0    0    0\n"
    "SHELL     1    5.000   20.000    1\n"
    "SHELL     2    0.000    0.000    0\nSHELL     3    0.000    0.000    0\n"
    "SHELL     4    0.000    0.000    0\nSHELL     5    0.000    0.000    0\n"
    "SHELL     6    0.000    0.000    0\nSHELL     7    0.000    0.000    0\n"
    "SHELL     8    0.000    0.000    0\nSHELL     9    0.000    0.000    0\n"
    "SHELL    10    0.000    0.000    0\n";

// The sample crystal (its UB is the sample matrix file's) with one wavelength, the Lorentz-
// polarisation factor, a plate 0.05 mm thin along x of the phi-axis frame (mu 2/mm), a decay
// of 10 % an hour, and a seeded table of F-squared (Wilson-like, at least 50); the standards
// and the two psi-scan reflections strong.
std::map<HKL, double> write_crystal(const Home& home) {
  std::mt19937 random(18);
  std::uniform_real_distribution<double> u(1e-6, 1.0);
  std::map<HKL, double> truth;
  std::string text =
      "cell 8 10 12 90 90 90\norientation 15 -20 30\nlattice P\nlaue mmm\nwavelength 0.7093\n"
      "scale 1\nbackground 2\nlorentz_polarisation on\nabsorption 2.0 0.05 0.4 0.3\n"
      "decay " + std::to_string(kDecayPerHour) + "\n";
  for (int h = 0; h < 8; ++h)
    for (int k = 0; k < 10; ++k)
      for (int l = 0; l < 12; ++l) {
        double f2 = std::max(50.0, -1000.0 * std::log(u(random)));
        const HKL x{h, k, l};
        if (x == HKL{2, 0, 0} || x == HKL{0, 2, 0} || x == HKL{1, 0, 3} || x == HKL{2, 0, 6})
          f2 = 3000.0;
        truth[x] = f2;
        text += "fsquared " + std::to_string(h) + " " + std::to_string(k) + " " +
                std::to_string(l) + " " + std::to_string(f2) + "\n";
      }
  home.write("plate.txt", text);
  return truth;
}

struct Written {
  HKL hkl;
  double f2, sigma;
};

std::vector<Written> read_hkl(const std::string& text, bool& well_formed) {
  std::vector<Written> out;
  well_formed = true;
  bool ended = false;
  for (const std::string& l : lines(text)) {
    well_formed = well_formed && !ended && l.size() == 28;
    if (l.size() != 28) continue;
    const Written w{
        {std::stoi(l.substr(0, 4)), std::stoi(l.substr(4, 4)), std::stoi(l.substr(8, 4))},
        std::stod(l.substr(12, 8)), std::stod(l.substr(20, 8))};
    if (w.hkl == HKL{0, 0, 0}) ended = w.f2 == 0 && w.sigma == 0;
    else out.push_back(w);
  }
  well_formed = well_formed && ended;
  return out;
}

// R = sum |k Fo2 - Ft2| / sum Ft2, k the least-squares scale of Fo2 onto the truth.
double r_factor(const std::vector<Written>& v, const std::map<HKL, double>& truth) {
  double to = 0, oo = 0;
  for (const Written& w : v) {
    const double t = truth.at({std::abs(w.hkl[0]), std::abs(w.hkl[1]), std::abs(w.hkl[2])});
    to += t * w.f2;
    oo += w.f2 * w.f2;
  }
  const double k = to / oo;
  double dev = 0, sum = 0;
  for (const Written& w : v) {
    const double t = truth.at({std::abs(w.hkl[0]), std::abs(w.hkl[1]), std::abs(w.hkl[2])});
    dev += std::fabs(k * w.f2 - t);
    sum += t;
  }
  return dev / sum;
}

// The number after `key` on the last console line holding it.
double reported(const std::string& out, const std::string& key) {
  double value = NAN;
  for (const std::string& l : lines(out))
    if (const auto at = l.find(key); at != std::string::npos)
      value = std::stod(l.substr(at + key.size()));
  return value;
}

// Simulated time (hours) at which the simulator received `text`.
double sim_hours(const std::string& transcript, const std::string& text) {
  for (const std::string& l : lines(transcript)) {
    if (l.find("< " + text) == std::string::npos) continue;
    std::istringstream in(l);
    double real = 0, sim = 0;
    in >> real >> sim;
    return sim / 3600.0;
  }
  return NAN;
}

TEST(HklfSession, EachCorrectionBringsTheWrittenFSquaredCloserToTheTruth) {
  Home home;
  std::string profile;
  for (const auto& l : lines(home.read("DIFPROF.DAT")))  // no shutter delay: a quick run
    profile += (l.rfind("CONFIG", 0) == 0
                    ? "CONFIG    1    1    1    1    0    0    1    1    0    0    0    1"
                    : l) + "\n";
  home.write("DIFPROF.DAT", profile);
  std::string mat;
  std::ifstream in(DORVEX_SOURCE_DIR "/examples/sample.mat");
  for (std::string l; std::getline(in, l) && l.find("DATA COLLECTION") == std::string::npos;)
    mat += l + "\n";
  home.write("x.mat", mat + kCollection);
  const std::map<HKL, double> truth = write_crystal(home);

  // HKLF five times: no correction, Lp, Lp and decay, Lp and absorption, and all (defaults).
  const std::string script =
      "SET DATF\n" + home.file("d") + "\ny\nDCOM MARK1;\nexit\nDC S\ny\nDCOM MARK2;\nexit\n"
      "DC P\ny\n0 345 15\n1 0 3\n2 0 6\n\n"
      "HKLF\n\nn\nn\nn\nraw\nHKLF\n\ny\nn\nn\nlp\nHKLF\n\ny\ny\nn\nlpd\n"
      "HKLF\n\ny\nn\ny\nlpa\nHKLF\n\n\n\n\n\nEXIT\n";
  const auto r = dorvex_test::run_dorvex(
      home, script,
      {"--home", home.path(), "--simulate=" + home.file("plate.txt"), "--ui", "line", "--mat",
       home.file("x.mat")},
      240, {"DORVEX_SIM_ARGS=--time-scale 0 --transcript " + home.file("sim.txt")});
  ASSERT_NE(r.out.find("Files written         " + home.file("d.hkl")), std::string::npos)
      << r.out.substr(r.out.size() > 6000 ? r.out.size() - 6000 : 0);

  std::map<std::string, double> R;
  std::size_t written = 0;
  for (const std::string name : {"raw", "lp", "lpd", "lpa", "d"}) {
    bool well_formed = false;
    const auto v = read_hkl(home.read(name + ".hkl"), well_formed);
    EXPECT_TRUE(well_formed) << name;
    ASSERT_GT(v.size(), 100u) << name;
    if (written != 0) {
      EXPECT_EQ(v.size(), written) << name;
    }
    written = v.size();
    R[name] = r_factor(v, truth);
  }
  std::printf("R against the true F-squared: none %.4f, Lp %.4f, Lp+decay %.4f, "
              "Lp+absorption %.4f, all %.4f\n",
              R["raw"], R["lp"], R["lpd"], R["lpa"], R["d"]);
  EXPECT_LT(R["lp"], R["raw"]);
  EXPECT_LT(R["lpd"], R["lp"]);
  EXPECT_LT(R["lpa"], R["lp"]);
  EXPECT_LT(R["d"], R["lpd"]);
  EXPECT_LT(R["d"], R["lpa"]);
  // What remains is the empirical absorption model's approximation and counting noise.
  EXPECT_LT(R["d"], 0.025);

  // The decay the simulator applied between the marks bounds the decay between the first and
  // the last set of standards, which lie a few minutes inside them.
  const std::string transcript = home.read("sim.txt");
  const double t1 = sim_hours(transcript, "MARK1;"), t2 = sim_hours(transcript, "MARK2;");
  const double simulated =
      100.0 * (1.0 - (1.0 - kDecayPerHour / 100.0 * t2) / (1.0 - kDecayPerHour / 100.0 * t1));
  const double found = reported(r.out, "largest decay");
  std::printf("decay between the marks %.2f %%, found from the standards %.2f %%\n", simulated,
              found);
  EXPECT_GT(simulated, 15.0);
  EXPECT_LE(found, simulated + 0.3);
  EXPECT_GE(found, simulated - 1.2);

  EXPECT_EQ(reported(r.out, "Psi-scan records"), 48.0);  // two scans of 24 psi values
  gemmi::cif::Document doc = gemmi::cif::read_file(home.file("d.cif"));
  ASSERT_EQ(doc.blocks.size(), 1u);
  gemmi::cif::Block& b = doc.blocks[0];
  auto number = [&](const char* tag) {
    const std::string* v = b.find_value(tag);
    return v ? std::stod(gemmi::cif::as_string(*v)) : NAN;
  };
  EXPECT_EQ(number("_diffrn_reflns_number"), static_cast<double>(written));
  EXPECT_EQ(number("_diffrn_standards_decay_%"), std::round(found * 10.0) / 10.0);
  EXPECT_NEAR(number("_exptl_absorpt_correction_T_min"), reported(r.out, "T_min"), 1e-4);
  EXPECT_NEAR(number("_exptl_absorpt_correction_T_max"), reported(r.out, "T_max"), 1e-4);
  EXPECT_LT(number("_exptl_absorpt_correction_T_min"), 0.8);
  EXPECT_NEAR(number("_diffrn_reflns_av_R_equivalents"), reported(r.out, "R_int"), 1e-4);
  EXPECT_LT(number("_diffrn_reflns_av_R_equivalents"), 0.02);
  EXPECT_EQ(number("_cell_length_c"), 12.0);
  double theta_max = 0;  // the highest reflection below 20 degrees 2theta, from the cell
  for (int h = 0; h < 8; ++h)
    for (int k = 0; k < 10; ++k)
      for (int l = 0; l < 12; ++l) {
        const double s = 0.7093 / 2.0 * std::sqrt(h * h / 64.0 + k * k / 100.0 + l * l / 144.0);
        const double theta = std::asin(std::min(s, 1.0)) * 180.0 / M_PI;
        if (theta < 10.0) theta_max = std::max(theta_max, theta);
      }
  EXPECT_NEAR(number("_diffrn_reflns_theta_max"), theta_max, 0.006);
}

// The dialogue in the virtual diffractometer: refusals, the input error, the defaults shown.
TEST(HklfSession, DialogueRefusesWhatItCannotUseAndKeepsDefaults) {
  Home home;
  dorvex::CrystalState c;
  c.cell = {8.0f, 10.0f, 12.0f, 90.0f, 90.0f, 90.0f};
  std::string rfl = dorvex::stddata_header("T", c, 1.0f);
  for (int i = 1; i <= 3; ++i) {
    dorvex::ScanRecord w;
    w.sequence = i;
    w.hkl = {i, 0, 0};
    w.angles = {10.0f * static_cast<float>(i), 0.0f, 20.0f, 30.0f};
    w.step = 0.02f;
    w.rate = 2.0f;
    w.counts.assign(20, 5);
    for (int k = 2; k < 18; ++k) w.counts[static_cast<std::size_t>(k)] = 100 * i;
    rfl += dorvex::stddata_record(w);
  }
  home.write("d.rfl", rfl);
  home.write("empty.rfl", "H\nDATA\n");
  const auto r = dorvex_test::run_dorvex(
      home, "HKLF\n\nHKLF\nnone.rfl\nempty\nd\nmaybe\n\n\n\n\nEXIT\n",
      dorvex_test::mat_args(home), 30);
  for (const char* expected :
       {" HKLF: no data file given and none selected (SET DATF selects one)",
        " HKLF: cannot read the data file ", " HKLF: no reflection records in ",
        "HKLF: Lorentz-polarisation correction <Y/N> [Y]>", "Error on input, try again:",
        "HKLF: Decay correction from the standards <Y/N> [N]>",
        "HKLF: Psi-scan absorption correction <Y/N> [N]>",
        "   Reflections written        3   negative F-squared     0",
        "   Decay                 not corrected",
        "   R_int                 no equivalents measured"})
    EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
  EXPECT_NE(r.out.find("HKLF: Output name [" + home.file("d") + "]>"), std::string::npos);
  bool well_formed = false;
  const auto v = read_hkl(home.read("d.hkl"), well_formed);
  EXPECT_TRUE(well_formed);
  ASSERT_EQ(v.size(), 3u);
  // Lp only: net counts 16 x 100 i (background 4 x 5 scaled by 16/4) over Lp of 2theta 10 i.
  auto expected = [](int i) {
    const double t = 10.0 * i * M_PI / 180.0, cm = std::pow(std::cos(12.16 * M_PI / 180.0), 2);
    return (1600.0 * i - 80.0) * std::sin(t) * (1.0 + cm) / (1.0 + cm * std::pow(std::cos(t), 2));
  };
  for (int i = 1; i <= 3; ++i)
    EXPECT_NEAR(v[static_cast<std::size_t>(i - 1)].f2 / v[0].f2, expected(i) / expected(1), 1e-4);
}

}  // namespace
