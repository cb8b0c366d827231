// Data reduction piece by piece: the Lorentz-polarisation factor against hand calculations, the
// integration of a record, the decay curve from standards of known decay, the beam paths of a
// setting, the psi-scan curves, the data file read back with damage in it, the HKLF 4 columns
// and the CIF read back with gemmi.
#include <cmath>
#include <string>
#include <vector>

#include <gemmi/cif.hpp>
#include <gtest/gtest.h>

#include "common/state.hpp"
#include "datacol/cif_writer.hpp"
#include "files/datafile.hpp"
#include "datacol/reduction.hpp"
#include "geometry/angles.hpp"

namespace {

using namespace dorvex;

TEST(Reduction, LorentzPolarisationAgreesWithHandCalculations) {
  struct Case {
    double two_theta, monochromator, expected;
  };
  // L = 1/sin 2theta; P = (1 + cos^2 2thM cos^2 2th) / (1 + cos^2 2thM), 2thM = 0: (1 + c^2)/2.
  // 2theta 30: L = 2, cos^2 2theta = 0.75; with 2thM 12.16 cos^2 2thM = 0.9556298, so
  // P = (1 + 0.7167223) / 1.9556298 = 0.8778361.
  const Case cases[] = {{30.0, 0.0, 2.0 * 1.75 / 2.0},
                        {90.0, 0.0, 0.5},
                        {30.0, 12.16, 2.0 * 0.8778361},
                        {-30.0, 12.16, 2.0 * 0.8778361}};
  for (const Case& c : cases)
    EXPECT_NEAR(lorentz_polarisation(c.two_theta, c.monochromator), c.expected, 2e-6)
        << c.two_theta << " " << c.monochromator;
  EXPECT_EQ(lorentz_polarisation(0.0, 0.0), 0.0);  // no Lorentz factor in the direct beam
}

// A record of 41 points: 4 background points a side at `background`, 33 peak points at
// `peak`; rate 100 so that the integral is in counts.
DataRecord record(int sequence, int standard, double peak, long background = 0,
                  std::array<int, 3> hkl = {1, 2, 3}) {
  DataRecord r;
  r.sequence = sequence;
  r.standard = standard;
  r.hkl = hkl;
  r.angles = {20.0f, 0.0f, 30.0f, 40.0f};
  r.points = 41;
  r.step = 0.02f;
  r.rate = 100.0f;
  for (int i = 0; i < 41; ++i)
    r.counts.push_back(i < 4 || i >= 37 ? background : std::lround(peak));
  return r;
}

TEST(Reduction, NetIntensityScalesTheBackgroundByThePointRatio) {
  DataRecord r = record(1, 0, 100.0, 10);
  // P = 33 x 100, B = 8 x 10 scaled by 33/8; sigma^2 = P + (33/8)^2 B.
  NetIntensity e = net_intensity(r);
  ASSERT_TRUE(e.valid);
  EXPECT_NEAR(e.value, 3300.0 - 330.0, 1e-9);
  EXPECT_NEAR(e.sigma, std::sqrt(3300.0 + 33.0 * 33.0 / 64.0 * 80.0), 1e-9);
  r.rate = 2.0f;  // step 0.02 / (1 scan x 1 s): counts x degrees per second
  EXPECT_NEAR(net_intensity(r).value, 0.02 * 2970.0, 1e-9);
  r.counts.resize(9);
  r.points = 9;
  EXPECT_FALSE(net_intensity(r).valid);  // no background points
}

TEST(Reduction, DecayFollowsTheStandardsAndIsInterpolatedBySequenceNumber) {
  // Two standards, sets every 10 reflections, the scattering power falling by 1 % per 10
  // reflections from sequence 1; standard 2 is three times as strong. A lost standard in the
  // set at 31 was measured again: the later measurement counts.
  std::vector<DataRecord> recs;
  auto power = [](double seq) { return 1.0 - 0.001 * (seq - 1.0); };
  for (int set = 0; set < 6; ++set) {
    const int s = 1 + 11 * set;
    if (set == 3) recs.push_back(record(s, 1, 5000.0));
    recs.push_back(record(s, 1, 1e5 * power(s)));
    recs.push_back(record(s + 1, 2, 3e5 * power(s + 1)));
    for (int k = 2; k < 11; ++k) recs.push_back(record(s + k, 0, 500.0));
  }
  const DecayCurve d = decay_from_standards(recs);
  ASSERT_TRUE(d.usable());
  ASSERT_EQ(d.sequence.size(), 6u);
  EXPECT_DOUBLE_EQ(d.sequence[1], 12.5);
  // Linear decay stays linear through the smoothing; 1 at the first set (sequence 1.5).
  for (double seq : {1.5, 20.0, 40.0, 56.5, 70.0, -10.0})
    EXPECT_NEAR(d.at(seq), power(seq) / power(1.5), 1e-4) << seq;
  EXPECT_NEAR(d.largest_decay(), 1.0 - power(56.5) / power(1.5), 1e-4);
  EXPECT_EQ(d.measurements, 12);

  // A single set cannot give a decay; one noisy set is pulled towards its neighbours.
  EXPECT_FALSE(decay_from_standards({record(1, 1, 100.0), record(2, 0, 10.0)}).usable());
  recs[2 * 11] = record(23, 1, 1.1e5);  // 12.5 % above the truth, its set 6 % above
  const DecayCurve noisy = decay_from_standards(recs);
  EXPECT_LT(std::fabs(noisy.at(23.5) - d.at(23.5)), 0.5 * (1.1e5 / 97800.0 - 1.0) / 3.0);
}

class Geometric : public ::testing::Test {
 protected:
  void SetUp() override { reset_program_state(); }
};

TEST_F(Geometric, BeamPathsLieAtPhiMinusAndPlus90AlongThePhiAxis) {
  // At chi 90 the phi axis is the diffraction vector; in the crystal's frame the incident path
  // (sin t, -cos t, 0) of the diffraction frame becomes (cos t sin phi, -cos t cos phi, sin t),
  // azimuth phi - 90, and the diffracted one phi + 90.
  for (float phi : {0.0f, 35.0f, 170.0f, -60.0f}) {
    const BeamAzimuths az = beam_azimuths(current_geometry(), {24.0f, 0.0f, 90.0f, phi});
    EXPECT_NEAR(std::remainder(az.in - (phi - 90.0), 360.0), 0.0, 1e-3) << phi;
    EXPECT_NEAR(std::remainder(az.out - (phi + 90.0), 360.0), 0.0, 1e-3) << phi;
  }
}

TEST(Reduction, PsiCurvesInterpolateRoundTheFoldAndBetweenTwoTheta) {
  PsiCurve low{{1, 0, 3}, 10.0, {20.0, 80.0, 170.0}, {1.0, 0.4, 0.8}};
  PsiCurve high{{2, 0, 6}, 30.0, {20.0, 80.0, 170.0}, {0.5, 0.5, 0.5}};
  struct Case {
    double azimuth, expected;
  };
  // Between 170 and 200 (= 20 + 180) the curve runs from 0.8 to 1.0.
  for (const Case c : {Case{50.0, 0.7}, Case{200.0, 1.0}, Case{5.0, 0.9},
                       Case{-5.0, 0.8 + 0.2 / 6.0}, Case{170.0, 0.8}})
    EXPECT_NEAR(low.at(c.azimuth), c.expected, 1e-12) << c.azimuth;
  // A reflection takes the mean of its two paths, and the curves mix linearly in 2theta.
  const BeamAzimuths az{50.0, 230.0};  // 230 folds onto 50
  EXPECT_NEAR(psi_transmission({low, high}, 5.0, az), 0.7, 1e-12);
  EXPECT_NEAR(psi_transmission({low, high}, 15.0, az), 0.75 * 0.7 + 0.25 * 0.5, 1e-12);
  EXPECT_NEAR(psi_transmission({low, high}, 40.0, BeamAzimuths{20.0, 80.0}), 0.5, 1e-12);
}

TEST(Reduction, DataFileIsReadBackWholeRecordsOnlyWithDamageCounted) {
  CrystalState c;
  c.cell = {8.0f, 10.0f, 12.0f, 90.0f, 90.0f, 90.0f};
  c.volume = 960.0f;
  c.UB(0, 0) = 0.125f;
  c.UB(1, 1) = 0.1f;
  c.UB(2, 2) = -0.0833333f;
  ScanRecord w;
  w.hkl = {-2, 3, 11};
  w.psi = -15.5f;
  w.angles = {21.3456f, -0.12345f, 88.5f, -170.25f};
  w.step = 0.02f;
  w.rate = 2.0f;
  w.standard = 2;
  w.scan_code = 'N';
  for (long i = 0; i < 25; ++i) w.counts.push_back(1000 * i + 7);
  std::string text = stddata_header("TITLE", c, 1.0f);
  w.sequence = 1;
  text += stddata_record(w);
  text += "# resumed after a stop\n";        // a line this reader does not know
  w.sequence = 2;
  std::string cut = stddata_record(w);
  text += cut.substr(0, cut.rfind("S"));     // the last "S" line lost
  text += "S       1\n";                      // counts of the wrong length for any record
  w.sequence = 3;
  text += stddata_record(w);
  const ReadDataFile d = parse_data_file(text);
  EXPECT_TRUE(d.has_cell && d.has_ub);
  EXPECT_EQ(d.title, "TITLE");
  EXPECT_FLOAT_EQ(d.UB(2, 2), -0.0833333f);
  EXPECT_EQ(d.unreadable_lines, 1);
  EXPECT_EQ(d.broken_records, 1);
  ASSERT_EQ(d.records.size(), 2u);
  const DataRecord& r = d.records[1];
  EXPECT_EQ(r.sequence, 3);
  EXPECT_EQ(r.hkl, w.hkl);
  EXPECT_EQ(r.standard, 2);
  EXPECT_FLOAT_EQ(r.psi, -15.5f);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(r.angles[i], w.angles[i], 1e-4);
  EXPECT_EQ(r.counts, w.counts);
  EXPECT_EQ(r.points, 25);
}

TEST(Reduction, HklfFourLinesAreThreeI4AndTwoF82ScaledToTheField) {
  EXPECT_EQ(hklf4_line({-1, 12, 103}, 1234.567, 5.5), "  -1  12 103 1234.57    5.50");
  std::vector<ReducedReflection> v(3);
  v[0].hkl = {1, 0, 0};
  v[0].f2 = 2000.0;
  v[0].sigma = 20.0;
  v[1].hkl = {0, 1, 0};
  v[1].f2 = -12.0;
  v[1].sigma = 1e-6;  // never written as zero: a structure program divides by it
  v[2].hkl = {0, 0, 1};
  v[2].f2 = 500.0;
  v[2].sigma = 8.0;
  const HklfFile f = hklf4_file(v);
  EXPECT_DOUBLE_EQ(f.scale, 99999.0 / 2000.0);
  EXPECT_EQ(f.text,
            "   1   0   099999.00  999.99\n"
            "   0   1   0 -599.99    0.01\n"
            "   0   0   124999.75  400.00\n"
            "   0   0   0    0.00    0.00\n");
  v[1].f2 = -1000.0;  // the most negative value limits the scale too
  EXPECT_DOUBLE_EQ(hklf4_file(v).scale, 9999.0 / 1000.0);
}

TEST(Reduction, CifIsReadBackByGemmiWithValuesAndUncertainties) {
  struct Su {
    double value, su;
    const char* text;
  };
  for (const Su s : {Su{8.00123, 0.0012, "8.0012(12)"}, Su{959.94, 0.2, "959.9(2)"},
                     Su{12.3456, 0.0019, "12.3456(19)"}, Su{1234.0, 25.0, "1230(30)"},
                     Su{90.0, 0.0, "90.000"}})
    EXPECT_EQ(with_su(s.value, s.su, 3), s.text);
  EXPECT_EQ(radiation_type(0.7093f), "Mo K\\a");
  EXPECT_EQ(radiation_type(1.0f), "");

  CifExperiment e;
  e.block = "run 7/a";
  e.title = "it's \"odd\"";
  e.cell = {8.0f, 10.0f, 12.0f, 90.0f, 90.0f, 90.0f};
  e.cell_su = {0.0012f, 0.002f, 0, 0, 0, 0};
  e.volume = 960.0f;
  e.wavelength = 0.7093f;
  e.UB(1, 2) = -0.0123456f;
  e.scan_type = 2;
  e.width_min = e.width_max = 0.8;
  e.step_min = e.step_max = 0.02;
  e.reflections = 148;
  e.hkl_min = {-3, 0, 0};
  e.standards = {{2, 0, 0}, {0, 2, 0}};
  e.standards_interval = 10;
  e.decay_applied = true;
  e.decay_percent = 12.34;
  e.absorption_applied = true;
  e.t_min = 0.5865;
  e.t_max = 0.9979;
  e.have_r_int = true;
  e.r_int = 0.0212;
  e.version = "16-MAR-2012 ";
  gemmi::cif::Document doc = gemmi::cif::read_string(experiment_cif(e));
  ASSERT_EQ(doc.blocks.size(), 1u);
  gemmi::cif::Block& b = doc.blocks[0];
  EXPECT_EQ(b.name, "run7a");
  auto value = [&](const char* tag) {
    const std::string* v = b.find_value(tag);
    return v ? gemmi::cif::as_string(*v) : std::string("(missing)");
  };
  EXPECT_EQ(value("_exptl_special_details"), "it's \"odd\"");
  EXPECT_EQ(value("_cell_length_a"), "8.0000(12)");
  EXPECT_EQ(value("_cell_length_b"), "10.000(2)");
  EXPECT_EQ(value("_cell_angle_beta"), "90.000");
  EXPECT_EQ(value("_diffrn_radiation_type"), "Mo K\\a");
  EXPECT_EQ(value("_diffrn_measurement_method"),
            "\\w/2\\q scans, width 0.80\\% in steps of 0.0200\\%");
  EXPECT_EQ(value("_diffrn_orient_matrix_UB_23"), "-0.0123456");
  EXPECT_EQ(value("_diffrn_reflns_number"), "148");
  EXPECT_EQ(value("_diffrn_reflns_limit_h_min"), "-3");
  EXPECT_EQ(value("_diffrn_reflns_av_R_equivalents"), "0.0212");
  EXPECT_EQ(value("_diffrn_standards_decay_%"), "12.3");
  EXPECT_EQ(value("_exptl_absorpt_correction_type"), "psi-scan");
  EXPECT_EQ(value("_exptl_absorpt_correction_T_min"), "0.5865");
  EXPECT_EQ(value("_computing_data_reduction"), "DORVEX 16-MAR-2012, HKLF");
  gemmi::cif::Table standards = b.find("_diffrn_standard_refln_index_", {"h", "k", "l"});
  ASSERT_EQ(standards.length(), 2u);
  EXPECT_EQ(standards[1][1], "2");
}

}  // namespace
