// The SET dialogues, answer by answer: bad, empty and good answers, accepted ranges, the
// half-finished dialogue, and the matrix file written when a SET has finished.
#include "settings/settings_fixture.hpp"
#include "console/status.hpp"

namespace dorvex {
namespace {

using testing_support::SettingsTest;
using SetTest = SettingsTest;

constexpr const char* kUnreadable = "Error on input, try again:";
constexpr const char* kRetype = "Invalid values: Retype:";

TEST_F(SetTest, OptionListAndUnknownOptionStillRewriteTheFile) {
  command("SET");
  EXPECT_TRUE(console_->has_line(" OPTIONS FOR THE SET COMMAND ARE:"));
  EXPECT_TRUE(
      console_->has_line("TITLE  WAVE  CENTRE (or CENTER)  DEVICE  DATA  MATFILE  DATFILE  LOG"));
  EXPECT_FALSE(waiting());
  EXPECT_NE(matfile().find("WAVEL     2  0.709300  0.713590  0.500000"), std::string::npos);

  command("SET NOTHING");
  EXPECT_TRUE(console_->has_line(" OPTION NOT RECOGNISED"));
  EXPECT_FALSE(waiting());
  EXPECT_EQ(S().set.option, 0);

  command("SET DATA");
  EXPECT_TRUE(console_->has_line("Dorvex: Data Collection Parameters"));
  EXPECT_TRUE(waiting());
  for (int i = 0; i < 28 && waiting(); ++i) answer("");  // every value kept
  EXPECT_EQ(prompt(), "OK or Cancel (O/C) [OK]:");
  answer("C");
  EXPECT_FALSE(waiting());
  EXPECT_EQ(S().set.option, 0);
}

TEST_F(SetTest, Title) {
  command("set title");
  EXPECT_TRUE(waiting());
  EXPECT_EQ(prompt(), "   Input new title or <RETURN> for no change: >");
  answer("");
  EXPECT_FALSE(waiting());
  EXPECT_EQ(S().crystal.title, "");

  command("SET TITLE");
  answer("Lysozyme, crystal 2\t(cooled)");
  EXPECT_EQ(S().crystal.title, "Lysozyme, crystal 2 (cooled)");
  EXPECT_TRUE(console_->has_line("   Experiment Title is: Lysozyme, crystal 2 (cooled)"));
  EXPECT_NE(matfile().find("TITLE Lysozyme, crystal 2 (cooled)"), std::string::npos);
}

TEST_F(SetTest, Wave) {
  command("SET WAVE");
  EXPECT_EQ(prompt(), "   Type New Values or <RETURN> for no change: >");
  answer("1.54 x");
  EXPECT_TRUE(waiting());
  EXPECT_EQ(prompt(), kUnreadable);
  EXPECT_FLOAT_EQ(S().crystal.lambda1, 0.7093f);
  answer("1e300");  // no 32-bit real holds it
  EXPECT_TRUE(waiting());
  answer("");
  EXPECT_FALSE(waiting());
  EXPECT_FLOAT_EQ(S().crystal.lambda1, 0.7093f);
  EXPECT_EQ(S().crystal.wave_count, 2);

  command("SET WAVE");
  answer("0.71073");
  EXPECT_EQ(S().crystal.wave_count, 1);
  EXPECT_FLOAT_EQ(S().crystal.lambda1, 0.71073f);
  EXPECT_EQ(S().crystal.ratio, 0.0f);

  command("SET WAVE");
  answer("0, 0.71359");  // a second wavelength only
  EXPECT_EQ(S().crystal.wave_count, 2);
  EXPECT_FLOAT_EQ(S().crystal.lambda2, 0.71359f);
  EXPECT_FLOAT_EQ(S().crystal.ratio, 0.5f);

  command("SET WAVE");
  answer("0 0 0.46");
  EXPECT_FLOAT_EQ(S().crystal.ratio, 0.46f);
  command("SET WAVE");
  answer("0 0 1.5");  // a ratio must lie between 0 and 1
  EXPECT_FLOAT_EQ(S().crystal.ratio, 0.46f);
  EXPECT_NE(matfile().find("WAVEL     2  0.710730  0.713590  0.460000"), std::string::npos);
}

TEST_F(SetTest, CentreEveryStep) {
  const CentringParameters before = S().centring;
  command("SET CENTRE");
  EXPECT_TRUE(console_->has_line("      Parameters for all centering scans:"));
  EXPECT_TRUE(
      console_->has_line("          Min Count Rate:    20.00   Required Max Count:  300.00"));
  EXPECT_EQ(prompt(), "Input new values, <RETURN> for no change:");

  answer("ten");
  EXPECT_EQ(prompt(), kUnreadable);
  answer("50 1000 10 1");  // only the minimum rate is inside its range
  EXPECT_EQ(S().set.centring.min_count_rate, 50.0f);
  EXPECT_EQ(S().set.centring.required_max_count, 300.0f);
  EXPECT_EQ(S().set.centring.max_min_ratio, 3.0f);
  EXPECT_EQ(S().set.centring.max_time_per_step, 4.0f);
  EXPECT_TRUE(
      console_->has_line("Current Initial Omega Scan Width is =   0.8000 +  0.5000 tan(theta)"));
  // Nothing takes effect before the dialogue has ended.
  EXPECT_EQ(S().centring.min_count_rate, before.min_count_rate);

  answer("5 2");  // both at their bounds: refused
  EXPECT_EQ(S().set.centring.initial_omega_width_a, 0.8f);
  EXPECT_TRUE(console_->has_line(" Parameters for Chi scans:"));
  answer("0.7 30.6");
  EXPECT_EQ(S().set.centring.chi_final_steps, 31);
  EXPECT_FLOAT_EQ(S().set.centring.chi_width_coeff, 0.7f);
  answer("");  // no change
  EXPECT_TRUE(console_->has_line("          Final omega scan on peak centering by PROFILE fit"));
  EXPECT_EQ(prompt(), "Input 1 to toggle to other method:");
  answer("0");
  EXPECT_TRUE(console_->has_line(" Eta value refined from  0.500"));
  EXPECT_EQ(prompt(), "Input new value for Eta (<CR>=no change):");
  answer("1.7");
  EXPECT_EQ(S().set.centring.eta, 1.0f);
  EXPECT_EQ(prompt(), "Input Eta refinement flag (1=refine, 0=fixed):");
  answer("");
  EXPECT_EQ(S().set.centring.eta_refined, 0);
  EXPECT_EQ(prompt(), "Input new values (<CR>=no change):");
  answer("0.1 9.5");
  EXPECT_EQ(S().set.centring.slit5, 1.0f);
  EXPECT_EQ(S().set.centring.slit6, 9.5f);
  EXPECT_EQ(prompt(), "Input 2theta refinement flag (0=refine, 1=fixed):");
  answer("0.5");  // not an integer
  EXPECT_EQ(prompt(), kUnreadable);
  answer("1");
  EXPECT_FALSE(waiting());
  EXPECT_TRUE(console_->has_line("  2Theta/omega will NOT be scanned"));
  EXPECT_TRUE(console_->has_line("   Value of eta is fixed at: 1.00"));

  const CentringParameters& c = S().centring;
  EXPECT_EQ(c.min_count_rate, 50.0f);
  EXPECT_EQ(c.chi_final_steps, 31);
  EXPECT_EQ(c.eta, 1.0f);
  EXPECT_EQ(c.eta_refined, 0);
  EXPECT_EQ(c.slit6, 9.5f);
  EXPECT_EQ(c.two_theta_fixed, 1);
  EXPECT_NE(matfile().find("SCANS1   50.00"), std::string::npos);
}

TEST_F(SetTest, CentreStopsAfterChoosingTheParabola) {
  command("SET CENTER");
  for (int i = 0; i < 4; ++i) answer("");
  answer("1");
  EXPECT_FALSE(waiting());
  EXPECT_TRUE(S().centring.parabola());
  EXPECT_TRUE(console_->has_line("   ****** Final omega scan will be fit by PARABOLA"));
  EXPECT_NE(matfile().find("SCANS2   21   31    1"), std::string::npos);
}

TEST_F(SetTest, DeviceHeatedDacAllQuestions) {
  command("SET DEVICE");
  EXPECT_EQ(prompt(), "   Change the Device <Y/N><N>?");
  answer("y");
  EXPECT_TRUE(console_->has_line("  AVAILABLE DEVICES:"));
  answer("two");
  EXPECT_EQ(prompt(), kUnreadable);
  answer("9");
  EXPECT_TRUE(console_->has_line("ILLEGAL DEVICE NUMBER"));
  EXPECT_EQ(prompt(), "Input device number:");
  answer("2");
  EXPECT_EQ(prompt(), "Input max psi angle:");
  answer("95");
  EXPECT_EQ(prompt(), kRetype);
  answer("45");
  EXPECT_EQ(prompt(), "Input minchi, maxchi <return for defaults>:");
  answer("-200 100");  // wider than the device allows
  EXPECT_EQ(prompt(), kRetype);
  answer("40 -40");  // inverted
  EXPECT_EQ(prompt(), kRetype);
  answer("-60 0.05");  // the upper value too small to count: the default stays
  EXPECT_EQ(prompt(), "Input minphi, maxphi <return for defaults>:");
  answer("");
  EXPECT_EQ(prompt(), "Input min and max for absolute omega <return for defaults>:");
  answer("-70 50");  // the lower beyond the hardware (-60) is not taken
  EXPECT_EQ(prompt(), "Input pause time (secs) after chi drives  <0 for no pause>:");
  answer("3");
  EXPECT_EQ(prompt(), "Input delchi to apply pause:");
  answer("-15");
  EXPECT_FALSE(waiting());

  const DeviceSettings& d = S().device;
  EXPECT_EQ(d.type, 2);
  EXPECT_EQ(d.fixed_phi, 1);
  EXPECT_EQ(d.psi_max, 45.0f);
  EXPECT_EQ(d.chi_limited, 1);
  EXPECT_EQ(d.chi_lower, -60.0f);
  EXPECT_EQ(d.chi_upper, 180.0f);
  EXPECT_EQ(d.phi_limited, 1);
  EXPECT_EQ(d.phi_lower, -180.0f);
  EXPECT_EQ(d.omega_lower, -60.0f);
  EXPECT_EQ(d.omega_upper, 50.0f);
  EXPECT_EQ(d.chi_pause, 3.0f);
  EXPECT_EQ(d.chi_pause_move, 15.0f);
  EXPECT_EQ(d.restricted_range, 1);
  EXPECT_TRUE(console_->has_line("Current Device is HEATED DAC with following constraints:"));
  const std::string mat = matfile();
  EXPECT_NE(mat.find("DEVICE 2 1 1 1   45.000  -60.000  180.000 -180.000  180.000"),
            std::string::npos);
  EXPECT_NE(mat.find("HIGHT   -60.000   50.000   3.0  15.0"), std::string::npos);
}

TEST_F(SetTest, DeviceCoolerAndBackToNone) {
  command("SET DEV");
  answer("Y");
  answer("3");
  answer("");  // the cooler's defaults
  EXPECT_FALSE(waiting()) << "a cooler is asked neither omega limits nor a pause";
  EXPECT_EQ(S().device.type, 3);
  EXPECT_EQ(S().device.chi_lower, -90.0f);
  EXPECT_EQ(S().device.phi_limited, 0);

  command("SET DEV");
  answer("y");
  answer("0");
  EXPECT_FALSE(waiting());
  const DeviceSettings& d = S().device;
  EXPECT_EQ(d.type, 0);
  EXPECT_EQ(d.chi_limited, 0);
  EXPECT_EQ(d.restricted_range, 0);
  EXPECT_EQ(d.omega_lower, S().profile.motor[2].lower);
  EXPECT_EQ(d.omega_upper, S().profile.motor[2].upper);
  EXPECT_TRUE(console_->has_line("  Current Device is NONE:"));
  EXPECT_EQ(matfile().find("HIGHT"), std::string::npos);

  command("SET DEV");
  answer("n");  // no change
  EXPECT_FALSE(waiting());
  EXPECT_EQ(S().device.type, 0);
}

TEST_F(SetTest, DeviceUltrasDacAndHardwareChi) {
  // A machine whose chi is limited to -90..90 by its cradle.
  S().profile.chi_limited = 1;
  S().profile.motor[3].lower = -90;
  S().profile.motor[3].upper = 90;
  command("SET DEVICE");
  answer("y");
  answer("6");
  EXPECT_TRUE(console_->has_line("  Chi and phi have been set non-circular"));
  EXPECT_EQ(prompt(), "Input angular limits to x and z axes of cell:");
  answer("71 30");
  EXPECT_EQ(prompt(), kRetype);
  answer("70 80");
  EXPECT_FALSE(waiting());
  const DeviceSettings& d = S().device;
  EXPECT_EQ(d.type, 6);
  EXPECT_EQ(d.gasket_angle, 70.0f);
  EXPECT_EQ(d.zaxis_angle, 80.0f);
  EXPECT_EQ(d.chi_lower, -90.0f);  // never wider than the cradle
  EXPECT_EQ(d.chi_upper, 90.0f);
  EXPECT_EQ(d.phi_lower, -180.0f);
  EXPECT_EQ(d.phi_upper, 180.0f);
}

TEST_F(SetTest, LogSwitchesAndTheEmptyAnswer) {
  command("SET LOG");
  EXPECT_TRUE(console_->has_line("INPUT 1 TO TURN LOGGING ON, 0 OFF"));
  EXPECT_EQ(prompt(), "FINAL OM PROFILES TO FILE IS NOW  OFF, INPUT?");
  answer("");  // nothing typed yet in any answer: 0
  EXPECT_EQ(prompt(), "PROFILES TO PKPROF.DAT IS NOW  OFF, INPUT?");
  answer("2");
  EXPECT_EQ(prompt(), kUnreadable);
  answer("1");
  EXPECT_EQ(prompt(), "COMM ECHO TO SCREEN IS NOW  OFF, INPUT?");
  answer("");  // the last number typed: 1
  answer("0");
  EXPECT_FALSE(waiting());
  const ShellState& s = S().shell;
  EXPECT_EQ(s.log_final_omega_profiles, 0);
  EXPECT_EQ(s.log_profiles_to_pkprof, 1);
  EXPECT_EQ(s.log_comm_echo, 1);
  EXPECT_EQ(s.log_extra_zref, 0);

  command("SET LOG");
  EXPECT_EQ(prompt(), "FINAL OM PROFILES TO FILE IS NOW  OFF, INPUT?");
  answer("1");
  EXPECT_EQ(prompt(), "PROFILES TO PKPROF.DAT IS NOW  ON , INPUT?");
  answer("0");
  answer("");  // 0, typed in the answer before
  answer("");
  EXPECT_EQ(s.log_comm_echo, 0);
  EXPECT_EQ(s.log_extra_zref, 0);
}

TEST_F(SetTest, HalfFinishedDialogueIsResumedNotAnsweredByTheNextSet) {
  command("SET TITLE");
  // The window is closed and the operator declines to quit: the loop drops the continuation.
  S().shell.continuation_code = 0;
  SET_PROMPT_DORVEX();
  command("SET WAVE");
  EXPECT_TRUE(waiting());
  EXPECT_EQ(prompt(), "   Input new title or <RETURN> for no change: >");
  EXPECT_EQ(S().crystal.title, "");
  answer("Resumed title");
  EXPECT_FALSE(waiting());
  EXPECT_EQ(S().crystal.title, "Resumed title");

  // An interrupted centring dialogue has changed nothing, in memory or in the file.
  const std::string file_before = matfile();
  command("SET CENT");
  answer("77");
  S().shell.continuation_code = 0;
  EXPECT_EQ(S().centring.min_count_rate, 20.0f);
  EXPECT_EQ(matfile(), file_before);
  command("SET");  // resumes at the omega width question
  EXPECT_EQ(prompt(), "Input new values, <RETURN> for no change:");
  for (int i = 0; i < 3; ++i) answer("");
  answer("1");  // parabola: the end
  EXPECT_FALSE(waiting());
  EXPECT_EQ(S().centring.min_count_rate, 77.0f);
}

TEST_F(SetTest, EverySettingSurvivesTheMatrixFile) {
  command("SET TITLE");
  answer("Round trip");
  command("SET WAVE");
  answer("1.5406 1.5444 0.52");
  command("SET CENTRE");
  answer("33 444 5 6");
  answer("1.1 0.9");
  answer("0.35 41");
  answer("0.45 0.65 27");
  answer("0");
  answer("0.25");
  answer("1");
  answer("2.5 3.5");
  answer("1");
  command("SET DEVICE");
  answer("y");
  answer("5");
  answer("-40 40");
  answer("-170 80");
  answer("-30 45");
  answer("2.5");
  answer("10");
  ASSERT_FALSE(waiting());

  const CentringParameters c = S().centring;
  const DeviceSettings d = S().device;
  restart();
  EXPECT_EQ(S().crystal.title, "Round trip");
  EXPECT_EQ(S().crystal.wave_count, 2);
  EXPECT_FLOAT_EQ(S().crystal.lambda1, 1.5406f);
  EXPECT_FLOAT_EQ(S().crystal.ratio, 0.52f);
  const CentringParameters& r = S().centring;
  EXPECT_FLOAT_EQ(r.min_count_rate, c.min_count_rate);
  EXPECT_FLOAT_EQ(r.required_max_count, 444.0f);
  EXPECT_FLOAT_EQ(r.max_min_ratio, 5.0f);
  EXPECT_FLOAT_EQ(r.max_time_per_step, 6.0f);
  EXPECT_FLOAT_EQ(r.initial_omega_width_a, 1.1f);
  EXPECT_FLOAT_EQ(r.initial_omega_width_b, 0.9f);
  EXPECT_FLOAT_EQ(r.chi_width_coeff, 0.35f);
  EXPECT_EQ(r.chi_final_steps, 41);
  EXPECT_FLOAT_EQ(r.final_omega_width_a, 0.45f);
  EXPECT_FLOAT_EQ(r.final_omega_width_b, 0.65f);
  EXPECT_EQ(r.omega_final_steps, 27);
  EXPECT_FALSE(r.parabola());
  EXPECT_FLOAT_EQ(r.eta, 0.25f);
  EXPECT_EQ(r.eta_refined, 1);
  EXPECT_FLOAT_EQ(r.slit5, 2.5f);
  EXPECT_FLOAT_EQ(r.slit6, 3.5f);
  EXPECT_EQ(r.two_theta_fixed, 1);
  const DeviceSettings& e = S().device;
  EXPECT_EQ(e.type, 5);
  EXPECT_EQ(e.chi_limited, 1);
  EXPECT_FLOAT_EQ(e.chi_lower, -40.0f);
  EXPECT_FLOAT_EQ(e.chi_upper, 40.0f);
  EXPECT_EQ(e.phi_limited, 1);
  EXPECT_FLOAT_EQ(e.phi_lower, -170.0f);
  EXPECT_FLOAT_EQ(e.phi_upper, 80.0f);
  EXPECT_FLOAT_EQ(e.omega_lower, -30.0f);
  EXPECT_FLOAT_EQ(e.omega_upper, 45.0f);
  EXPECT_FLOAT_EQ(e.chi_pause, 2.5f);
  EXPECT_FLOAT_EQ(e.chi_pause_move, 10.0f);
  EXPECT_EQ(e.restricted_range, d.restricted_range);
}

}  // namespace
}  // namespace dorvex
