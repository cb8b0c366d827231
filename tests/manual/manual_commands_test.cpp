// The operator's instrument commands typed into the real program, run against dorvex-sim:
// the console dialogue line by line and the commands that reached the controller.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "manual_session.hpp"

namespace {

using dorvex_test::count_sent;
using dorvex_test::run_session;
using dorvex_test::Session;
using dorvex_test::targets_of;
using Lines = std::vector<std::string>;

const std::string kPrompt = "DORVEX>";
const std::string kMot = "MOT: Enter imot,angle>";
const std::string kOutOfBounds =
    "Target angle OUT OF BOUNDS: 2theta 130.000 deg above its upper limit 120.000 deg";
std::string no_motor(int m) {
  return "  MOT: there is no motor " + std::to_string(m) + " on this diffractometer";
}
const std::string kGoto = "GOTO: Enter angles>";
const std::string kRetry = "Error on input, try again:";  // an answer that cannot be read

// The line the line console prints where the circles stand.
std::string at_line(const char* two_theta, const char* omega, const char* chi, const char* phi) {
  return std::string("  At: 2theta") + two_theta + "  omega" + omega + "  chi" + chi + "  phi" +
         phi;
}

// CONFIG with the given fields 5 (omega carried by 2theta), 9 (half slits) and 10 (filters).
std::pair<std::string, std::string> config(int coupled, int half, int filters) {
  char line[80];
  std::snprintf(line, sizeof line, "CONFIG    1    1    1    1%5d    0    1    1%5d%5d  500    1",
                coupled, half, filters);
  return {"CONFIG", line};
}

// The MOTOR1 (2theta) line of the sample profile with other limits.
std::pair<std::string, std::string> two_theta_limits(const char* lower, const char* upper) {
  return {"MOTOR1", std::string("MOTOR1 1,   1000.00  20000.00    100.00   5000.00    500.00") +
                        lower + upper};
}

void expect_dialogue(const Session& s, const Lines& expected) {
  EXPECT_EQ(s.dialogue, expected) << s.out;
  EXPECT_EQ(s.status, 0);
}

TEST(ManualCommands, MotAsksUntilABlankLineAndEndsOnAMotorThatIsNotThere) {
  const Session s = run_session(
      "MOT\n3 45\nthree\n1 130\n\nMOT 11 2\nMOT 7 1\nMOT x\n4 30\n9 1\nMOT 3 -20\n");
  // Each line typed is echoed after its prompt; each drive ends with where the circles stand.
  expect_dialogue(s, {kPrompt, "MOT", kMot, "3 45",
                      at_line("    5.000", "    2.500", "   45.000", "    0.000"), kMot, "three",
                      kRetry, "1 130", kOutOfBounds, kMot, "", kPrompt, "MOT 11 2",
                      no_motor(11), kPrompt, "MOT 7 1", no_motor(7), kPrompt, "MOT x", kRetry,
                      "4 30", at_line("    5.000", "    2.500", "   45.000", "   30.000"), kMot,
                      "9 1", no_motor(9), kPrompt, "MOT 3 -20",
                      at_line("    5.000", "    2.500", "  -20.000", "   30.000"), kPrompt});
  EXPECT_EQ(count_sent(s, "3:A45.0000"), 1);
  EXPECT_EQ(count_sent(s, "4:A30.0000"), 1);  // after "MOT x" opened the dialogue
  EXPECT_EQ(count_sent(s, "3:A-20.0000"), 1);
  EXPECT_EQ(count_sent(s, "1:A"), 0);
  EXPECT_EQ(count_sent(s, "7:"), 0);
  EXPECT_EQ(count_sent(s, "9:"), 0);
}

TEST(ManualCommands, AFailedDriveEndsTheMotDialogue) {
  // Every drive of chi stops half a degree short: the retries give up with an error.
  const Session s = run_session("MOT\n3 45\n3 50\n", "real", {}, "--fault short:3:9");
  ASSERT_GE(s.dialogue.size(), 4u) << s.out;
  EXPECT_EQ(Lines(s.dialogue.end() - 3, s.dialogue.end()),
            (Lines{"3 50", "Unknown command", kPrompt}));
  EXPECT_EQ(count_sent(s, "3:A50"), 0);
  EXPECT_EQ(count_sent(s, "3:A45"), 5);
}

TEST(ManualCommands, GotoNeedsFourAnglesRefusesOutOfBoundsAndEndsOnZeros) {
  const Session s = run_session("GOTO\n20 1 30 40\n130 0 0 0\n25 1\n0 0 0 0\nGOTO 0 0 0 0\n");
  expect_dialogue(s, {kPrompt, "GOTO", kGoto, "20 1 30 40",
                      at_line("   20.000", "    1.000", "   30.000", "   40.000"), kGoto,
                      "130 0 0 0", kOutOfBounds, kGoto, "25 1", kRetry, "0 0 0 0",
                      kPrompt, "GOTO 0 0 0 0", kPrompt});
  EXPECT_EQ(targets_of(s, '1'), std::vector<double>{20.0});
  EXPECT_EQ(count_sent(s, "4:A40.0000"), 1);
}

TEST(ManualCommands, DrivZeroParkHaltAndCposWorkFromTheTargetRecordAndTheProfile) {
  const Session s = run_session("GOTO 20 1 30 40\nMOT 3 45\nDRIV\nZERO\nPARK\nHALT\nCPOS\n");
  // HALT leaves the circles where they were: no line; CPOS says where they are all the same.
  expect_dialogue(s, {kPrompt, "GOTO 20 1 30 40",
                      at_line("   20.000", "    1.000", "   30.000", "   40.000"), kPrompt,
                      "MOT 3 45", at_line("   20.000", "    1.000", "   45.000", "   40.000"),
                      kPrompt, "DRIV", at_line("   20.000", "    1.000", "   30.000", "   40.000"),
                      kPrompt, "ZERO", at_line("    0.000", "    0.000", "    0.000", "    0.000"),
                      kPrompt, "PARK", at_line("    5.000", "    2.500", "    0.000", "    0.000"),
                      kPrompt, "HALT", kPrompt, "CPOS",
                      at_line("    5.000", "    2.500", "    0.000", "    0.000"), kPrompt});
  // DRIV goes back to the angles GOTO left in the target record; PARK to 5, 2.5, 0, 0. The
  // sample machine's omega motor reads the circle: omega plus half of 2theta.
  EXPECT_EQ(targets_of(s, '3'), (std::vector<double>{30, 45, 30, 0, 0}));
  EXPECT_EQ(targets_of(s, '1'), (std::vector<double>{20, 0, 5}));
  EXPECT_EQ(targets_of(s, '2'), (std::vector<double>{11, 0, 5}));
  // HALT stops everything and reads the positions afresh, as CPOS does.
  const auto stop = std::find(s.sent.begin(), s.sent.end(), "Q;");
  ASSERT_NE(stop, s.sent.end());
  EXPECT_EQ(std::count(stop, s.sent.end(), "?P1;"), 2);
  EXPECT_EQ(std::count(stop, s.sent.end(), "?P6;"), 2);
}

TEST(ManualCommands, LdmtLoadsPositionsAndAddsHalfOfTwoThetaToACoupledOmega) {
  // The sample profile parks 2theta at 5 degrees.
  const Session coupled = run_session("LDMT 2 10\nLDMT\n7 3\nLDMT 4 12.5\n", "real",
                                      {config(1, 0, 0)});
  expect_dialogue(coupled, {kPrompt, "LDMT 2 10",
                            at_line("    5.000", "   10.000", "    0.000", "    0.000"), kPrompt,
                            "LDMT", "LDMT: Enter imot,angle>", "7 3", kPrompt, "LDMT 4 12.5",
                            at_line("    5.000", "   10.000", "    0.000", "   12.500"), kPrompt});
  EXPECT_EQ(count_sent(coupled, "POS2:12.5000;"), 1);
  EXPECT_EQ(count_sent(coupled, "POS7"), 0);
  EXPECT_EQ(count_sent(coupled, "POS4:12.5000;"), 1);

  const Session plain = run_session("LDMT 2 10\n", "real", {config(0, 0, 0)});
  EXPECT_EQ(count_sent(plain, "POS2:10.0000;"), 1);
}

TEST(ManualCommands, DvlsDrivesToListEntriesWithinTheLimits) {
  // Two entries stored with the sample limits; the second is out of reach once 2theta stops
  // at 100 degrees.
  const dorvex_test::Home home;
  run_session(home, "INA 20 5 30 40\nINA 110 10 0 0\n");
  const Session s = run_session(
      home, "DVLS\n3\n2\n1\n0\n", "real",
      {two_theta_limits("    -10.00", "    100.00")});
  const auto& d = s.dialogue;
  const auto from = std::find(d.begin(), d.end(), "DVLS: Enter list number>");
  ASSERT_NE(from, d.end()) << s.out;
  EXPECT_EQ(Lines(from, d.end()),
            (Lines{"DVLS: Enter list number>", "3", "Error: only   2 peaks in list",
                   "DVLS: Enter list number>", "2", "  *** OUT OF BOUNDS ***",
                   "DVLS: Enter list number>", "1",
                   at_line("   20.000", "    5.000", "   30.000", "   40.000"),
                   "DVLS: Enter list number>", "0", kPrompt}));
  EXPECT_EQ(targets_of(s, '1'), std::vector<double>{20.0});
  EXPECT_EQ(count_sent(s, "4:A40.0000"), 1);
}

TEST(ManualCommands, ViewStepsThroughItsGroupsAndAsksForTheTelescope) {
  // Viewing at 2theta 60, omega 0, chi 20, phi 10.
  const Session s = run_session("VIEW\n\n\n\n\n6\n\n0\n\n12\n9\nn\ny\nCLSH\n", "real",
                                {{"VIEW", "VIEW     60.0000    0.0000   20.0000   10.0000"}});
  auto at = [](int p) { return "CURRENTLY AT POSITION " + std::to_string(p) + " NEXT?"; };
  const std::string telescope = "*****HAVE YOU REMOVED THE TELESCOPE??? <Y/N>";
  auto phi_at = [](const char* chi, const char* phi) {
    return at_line("   60.000", "    0.000", chi, phi);
  };
  const char* up = "   20.000";
  const char* over = "  200.000";
  expect_dialogue(s, {kPrompt, "VIEW", "View Utility - Driving to first view position",
                      "Type Number or <CR> for next phi, 9 to EXIT:", phi_at(up, "   10.000"),
                      at(1), "", phi_at(up, "  100.000"), at(2), "", phi_at(up, "  190.000"),
                      at(3), "", phi_at(up, "  280.000"), at(4), "", phi_at(up, "   10.000"),
                      at(1), "6", phi_at(over, "  170.000"), at(6), "",
                      phi_at(over, "  260.000"), at(7), "0", phi_at(over, "  350.000"), at(8), "",
                      phi_at(over, "   80.000"), at(5), "12", "*****INVALID INPUT: TRY AGAIN:",
                      at(5), "9", telescope, "n", telescope, "y", kPrompt, "CLSH", kPrompt});
  // Positions 1-4 turn phi from the view phi in quarter turns; 5-8 turn chi over and phi the
  // other way round from 90 - view phi.
  const std::vector<double> phi = targets_of(s, '4');
  ASSERT_EQ(phi.size(), 9u) << s.out;
  const double expected[] = {10, 100, 190, 280, 10, 170, 260, 350, 80};
  for (std::size_t i = 0; i < 9; ++i)
    EXPECT_NEAR(std::remainder(phi[i] - expected[i], 360.0), 0.0, 1e-3) << "stop " << i;
  const std::vector<double> chi = targets_of(s, '3');
  ASSERT_EQ(chi.size(), 2u);
  EXPECT_NEAR(std::remainder(chi[1] - 200.0, 360.0), 0.0, 1e-3);
  for (double t : targets_of(s, '1')) EXPECT_EQ(t, 60.0);
  EXPECT_EQ(count_sent(s, "IO1;"), 0);
}

TEST(ManualCommands, FiltAndHalfWorkOnlyWhenTheProfileDeclaresTheDevice) {
  // CPOS last: its answers show that the simulator read everything sent before the run ended.
  const std::string script = "FILT\n3\n9\nFILT 8\nHALF\nt\nx\nB\ne\nHALF O\nHALF\n\nCPOS\n";
  const std::string half = "HALF: Enter slit name>";
  const std::string title = " Half Slit Utility - Enter T,B,L,R OR O; E to Exit";
  const Session with = run_session(script, "real", {config(0, 1, 1)});
  expect_dialogue(with, {kPrompt, "FILT", "FILT: Enter filter no.>", "3",
                         "FILT: Enter filter no.>", "9", kPrompt, "FILT 8", kPrompt, "HALF", title,
                         half, "t", half, "x", half, "B", half, "e", kPrompt, "HALF O", title,
                         kPrompt, "HALF", title, half, "", kPrompt, "CPOS",
                         at_line("    5.000", "    2.500", "    0.000", "    0.000"), kPrompt});
  const std::vector<std::string> devices = [&] {
    std::vector<std::string> v;
    for (const auto& l : with.sent)
      if (l.rfind("*", 0) == 0) v.push_back(l);
    return v;
  }();
  EXPECT_EQ(devices, (Lines{"*FI3;", "*FI8;", "*HS4;", "*HS1;", "*HS0;"}));

  const Session without = run_session("FILT 3\nHALF T\nFILT\nHALF\n");
  expect_dialogue(without, {kPrompt, "FILT 3", kPrompt, "HALF T", kPrompt, "FILT", kPrompt, "HALF",
                            kPrompt});
  EXPECT_EQ(count_sent(without, "*"), 0);
}

TEST(ManualCommands, CounNearTheDirectBeamLeavesTheShutterShutAndCountsNothing) {
  const Session s = run_session("MOT 1 2\nCOUN\nMOT 1 3.5\nCOUN\n");
  // The second count is the background near the direct beam: its rate is its counts over 5 s.
  expect_dialogue(s, {kPrompt, "MOT 1 2",
                      at_line("    2.000", "    2.500", "    0.000", "    0.000"), kPrompt,
                      "COUN", " **** TOO CLOSE TO DIRECT BEAM", " TO OPEN SHUTTER! ****", kPrompt,
                      "MOT 1 3.5",
                      at_line("    3.500", "    2.500", "    0.000", "    0.000"), kPrompt, "COUN",
                      "  Count rate: 13.0 cps (65 counts in 5.00 s)", kPrompt});
  // Only the second COUN opened, counted five seconds and closed again.
  EXPECT_EQ(count_sent(s, "IO1;"), 1);
  EXPECT_EQ(count_sent(s, "GSB10*5;"), 1);
  const auto open = std::find(s.sent.begin(), s.sent.end(), "IO1;");
  EXPECT_NE(std::find(open, s.sent.end(), "IO0;"), s.sent.end());
}

TEST(ManualCommands, CounCountsOnAnInstrumentWithoutAShutter) {
  const Session s = run_session("MOT 1 10\nCOUN\n", "real", {{"NOSHUT", "NOSHUT"}});
  EXPECT_EQ(count_sent(s, "IO1;"), 0) << s.out;
  EXPECT_EQ(count_sent(s, "GSB10*5;"), 1) << s.out;
  EXPECT_EQ(count_sent(s, "?CNT;"), 1) << s.out;
}

TEST(ManualCommands, FrefAsksForTheSafePositionAndReportsWhatTheControllerFound) {
  const std::string ask = "If diffractometer is at safe position, enter \"Y\":";
  const Session s = run_session("FREF\ny\nFREF\nn\nFREF\n\n");
  // The SMC controllers have no reference marks to search.
  expect_dialogue(s, {kPrompt, "FREF", ask, "y", "Searching for reference positions, please wait:",
                      "DID NOT find reference positions", kPrompt, "FREF", ask, "n", kPrompt,
                      "FREF", ask, "", "Searching for reference positions aborted", kPrompt});
}

TEST(ManualCommands, DcomInSupervisorModeSendsExactlyTheTypedTextAndListsControlCharacters) {
  const std::string ask = "INPUT STRING TO BE TRANSMITTED>";
  // A read timeout of 300 ms, so that the empty read does not take long.
  const std::string compor = "COMPOR     1    1 9600    0    8    1    1    1  300    0";
  const Session s = run_session("DCOM ?IO;\nread\n  ?P2;\n\nread\nexit\nGOTO 20 0 0 0\nMOT 3 4\n",
                                "supervisor", {{"COMPOR", compor}});
  expect_dialogue(s, {"SUPERV>", "DCOM ?IO;", "  The  4 characters in alph are:", "     ?IO;", ask,
                      "read", "  Returned text of     2 characters:", "\x03" "0",
                      "  Character no.   1 is Acsii   3", ask, "  ?P2;",
                      "  The  6 characters in alph are:", "       ?P2;", ask, "", ask, "read",
                      "No characters in buffer", ask, "exit", "SUPERV>", "GOTO 20 0 0 0", "SUPERV>",
                      "MOT 3 4", "SUPERV>"});
  // Every line of the controller's transcript is one command framed by the output terminator.
  EXPECT_EQ(s.sent, (Lines{"?IO;", "  ?P2;"}));
}

TEST(ManualCommands, DemoRunsTenCyclesAndSkipsSettingsOutsideTheLimits) {
  // 2theta from -12 to 27 degrees: the base 2theta of cycles 6 to 10 (30.06 and above) is out
  // of reach, and from cycle 3 on only the positive side.
  const Session s = run_session(
      "DEMO\nn\n", "real",
      {two_theta_limits("    -12.00", "     27.00")});
  Lines expected = {kPrompt, "DEMO", "SHUTTER OPERATION? <y/n>:", "n"};
  const char* starts[] = {"   5.010", "  10.021", "  15.031", "  20.041", "  25.052",
                          "  30.062", "  35.072", "  40.082", "  45.093", "  50.103"};
  for (int c = 1; c <= 10; ++c) {
    char line[80];
    std::snprintf(line, sizeof line, "  Starting cycle %2d at %s  10.124 -11.124   0.000", c,
                  starts[c - 1]);
    expected.push_back(line);
  }
  // The last stop in reach: setting 6 of cycle 5.
  expected.push_back(at_line("   25.052", "  -10.124", "  191.124", "  180.000"));
  expected.push_back(kPrompt);
  expect_dialogue(s, expected);
  const std::vector<double> tth = targets_of(s, '1');
  ASSERT_FALSE(tth.empty());
  for (double t : tth) EXPECT_TRUE(t >= -12.0 && t <= 27.0) << t;
  EXPECT_NE(std::find(tth.begin(), tth.end(), 25.052), tth.end()) << "cycle 5 reached";
  EXPECT_NE(std::find(tth.begin(), tth.end(), -10.021), tth.end()) << "cycle 2 reached";
  EXPECT_EQ(std::find(tth.begin(), tth.end(), -15.031), tth.end());
  EXPECT_EQ(count_sent(s, "IO1;"), 0);
}

TEST(ManualCommands, DemoWithShutterOperationOpensAtEachStopAndABlankAnswerRunsNothing) {
  // Only 2theta 5.01 with omega above 2 degrees is in reach: one stop, in cycle 1.
  const Session s = run_session(
      "DEMO\ny\nDEMO\n\n", "real",
      {two_theta_limits("      4.00", "      6.00"),
       {"MOTOR2", "MOTOR2 2,   1000.00  20000.00    100.00   5000.00    500.00      2.00"
                  "     80.00     40.00"}});
  EXPECT_EQ(std::count(s.dialogue.begin(), s.dialogue.end(), "SHUTTER OPERATION? <y/n>:"), 2);
  EXPECT_EQ(std::count_if(s.dialogue.begin(), s.dialogue.end(),
                          [](const std::string& l) { return l.rfind("  Starting cycle", 0) == 0; }),
            10);
  EXPECT_EQ(s.dialogue.back(), kPrompt);
  EXPECT_EQ(count_sent(s, "IO1;"), 1);
  const auto open = std::find(s.sent.begin(), s.sent.end(), "IO1;");
  ASSERT_NE(open, s.sent.end());
  EXPECT_EQ(std::count(open, s.sent.end(), "IO0;"), 1);
  EXPECT_EQ(std::count_if(s.sent.begin(), open,
                          [](const std::string& l) { return l.rfind("1:A5.0100", 0) == 0; }),
            1);
}

TEST(ManualCommands, DummyModeSkipsEveryInstrumentCommandWithOneLine) {
  const std::vector<std::string> commands = {
      "MOT 3 45", "LDMT 4 10", "DVLS 1", "CPOS", "ZERO", "PARK", "OPSH", "CLSH", "HALT", "COUN",
      "DRIV", "VIEW", "FREF", "DCOM ?P1;", "DEMO", "GOTO 20 0 0 0", "FILT 3", "HALF T", "MOT"};
  std::string input;
  for (const auto& c : commands) input += c + "\n";
  const Session s = run_session(input, "dummy", {config(0, 1, 1)});
  // Nothing opened a dialogue: every line was a new command, said that nothing moved (FREF,
  // which runs in every mode, ends in silence) and got the normal prompt back.
  Lines expected = {"DMDORVEX>"};
  for (const auto& c : commands) {
    expected.push_back(c);
    if (c != "FREF")
      expected.push_back(" " + c.substr(0, std::min<std::size_t>(c.find(' '), 4)) +
                         ": nothing moved or counted on the virtual diffractometer");
    expected.push_back("DMDORVEX>");
  }
  EXPECT_EQ(s.dialogue, expected) << s.out;
  EXPECT_TRUE(s.sent.empty());
}

}  // namespace
