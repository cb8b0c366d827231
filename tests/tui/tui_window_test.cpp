// The full-screen window of the real program, driven in a terminal through tmux: the mode
// dialog, a command dialogue, the yes/no box, the file browser, scroll-back, history and
// completion, resizing, and the terminal given back on every way out.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>

#include "tui/tmux_session.hpp"

namespace dorvex_test {
namespace {

class TuiWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_tmux()) GTEST_SKIP() << "tmux is not installed";
  }
  std::vector<std::string> dummy(std::vector<std::string> more = {}) const {
    std::vector<std::string> args = {"--home", home_.path(), "--mode", "dummy", "--ui", "tui"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  static void leave(const TmuxSession& tmux) {
    tmux.line("EXIT");
    ASSERT_TRUE(tmux.wait_for("Normal program termination")) << tmux.screen();
    tmux.keys({"Enter"});
    ASSERT_TRUE(tmux.wait_for("EXITED 0")) << tmux.screen();
    EXPECT_NE(tmux.screen().find("TERMINAL-RESTORED"), std::string::npos) << tmux.screen();
  }

  // The foreground colour (30..37, or 39 for the default) in force where `text` first
  // appears in a capture with attributes; -1 when the text is not there.
  static int colour_of(const std::string& coloured, const std::string& text) {
    const auto at = coloured.find(text);
    if (at == std::string::npos) return -1;
    int colour = 39;
    for (auto esc = coloured.find("\x1b[", 0); esc < at; esc = coloured.find("\x1b[", esc + 1)) {
      const auto end = coloured.find('m', esc);
      if (end == std::string::npos || end > at) break;
      std::istringstream params(coloured.substr(esc + 2, end - esc - 2));
      for (std::string p; std::getline(params, p, ';');) {
        const int v = p.empty() ? 0 : std::atoi(p.c_str());
        if (v == 0 || v == 39) colour = 39;
        if (v >= 30 && v <= 37) colour = v;
      }
    }
    return colour;
  }

  Home home_;
};

TEST_F(TuiWindow, ModeDialogThenACommandDialogueAndExitGivesTheTerminalBack) {
  TmuxSession tmux(120, 40, home_,
                   {"--home", home_.path(), "--ui", "tui", "--mat", home_.file("xtal")});
  ASSERT_TRUE(tmux.started());
  ASSERT_TRUE(tmux.wait_for("Select the mode for running DORVEX")) << tmux.screen();
  const std::string dialog = tmux.screen();
  for (const char* button : {"Real Diffractometer", "Dummy", "Supervisor", "Cancel"})
    EXPECT_NE(dialog.find(button), std::string::npos) << button;
  EXPECT_NE(dialog.find("Dorvex"), std::string::npos);

  tmux.keys({"Right", "Enter"});  // from "Real Diffractometer" to "Dummy"
  ASSERT_TRUE(tmux.wait_for(":DMDORVEX>")) << tmux.screen();
  const std::string window = tmux.screen();
  EXPECT_NE(window.find("Simulation of"), std::string::npos);
  EXPECT_NE(window.find("Mat file: xtal"), std::string::npos);
  EXPECT_EQ(window.find("HALT"), std::string::npos);  // no halt key in the virtual window

  tmux.line("CELL");
  ASSERT_TRUE(tmux.wait_for("CELL: Input new cell>")) << tmux.screen();
  tmux.line("5 6 7 90 90 90");
  ASSERT_TRUE(tmux.wait_for("210.0000")) << tmux.screen();
  // The console keeps the dialogue: the answer after its prompt.
  EXPECT_NE(tmux.screen().find("CELL: Input new cell> 5 6 7 90 90 90"), std::string::npos);

  leave(tmux);
  const std::string history = home_.read(".dorvex_history");
  EXPECT_NE(history.find("CELL\n5 6 7 90 90 90\nEXIT\n"), std::string::npos) << history;
}

TEST_F(TuiWindow, FileBrowserAndYesNoBoxChooseAndCreateFiles) {
  std::filesystem::create_directory(home_.file("data"));
  home_.write("data/run.txt", "CELL\n4 4 4 90 90 90\n");
  home_.write("data/other.txt", "TEST\n");
  TmuxSession tmux(120, 40, home_, dummy());
  ASSERT_TRUE(tmux.started());
  ASSERT_TRUE(tmux.wait_for("DORVEX: Open Mat File")) << tmux.screen();
  EXPECT_TRUE(tmux.wait_for("Look in: " + home_.path()));
  EXPECT_NE(tmux.screen().find("File name: DORVEX_TEMP.mat"), std::string::npos);

  // A typed path; declining to create it comes back to the browser.
  tmux.keys({"C-u"});
  tmux.line("data/first");
  ASSERT_TRUE(tmux.wait_for("Do you wish to create a new MAT file?")) << tmux.screen();
  tmux.keys({"Right", "Enter"});  // No
  ASSERT_TRUE(tmux.wait_for("DORVEX: Open Mat File")) << tmux.screen();
  ASSERT_TRUE(tmux.wait_gone("Do you wish to create")) << tmux.screen();

  // The browser comes back in the directory of the declined name. Backspace on an empty name
  // goes up a directory with "data" still selected; Enter opens it again.
  ASSERT_TRUE(tmux.wait_for("Look in: " + home_.path() + "data/")) << tmux.screen();
  tmux.keys({"C-u", "BSpace"});
  ASSERT_TRUE(tmux.wait_gone("Look in: " + home_.path() + "data/")) << tmux.screen();
  EXPECT_NE(tmux.screen().find("Look in: " + home_.path() + " "), std::string::npos);
  tmux.keys({"Enter"});
  ASSERT_TRUE(tmux.wait_for("Look in: " + home_.path() + "data/")) << tmux.screen();
  tmux.line("first");
  ASSERT_TRUE(tmux.wait_for("Do you wish to create a new MAT file?")) << tmux.screen();
  tmux.type("y");
  ASSERT_TRUE(tmux.wait_for("Mat file: first")) << tmux.screen();
  ASSERT_TRUE(tmux.wait_for(":DMDORVEX>")) << tmux.screen();
  EXPECT_TRUE(home_.exists("data/first.mat"));

  // MACR: the browser lists the text files of the data directory; Esc cancels.
  tmux.line("MACR");
  ASSERT_TRUE(tmux.wait_for("DORVEX: Open Macro File")) << tmux.screen();
  const std::string listing = tmux.screen();
  EXPECT_NE(listing.find("other.txt"), std::string::npos);
  EXPECT_EQ(listing.find("first.mat"), std::string::npos);  // filtered out
  tmux.keys({"Escape"});
  ASSERT_TRUE(tmux.wait_gone("DORVEX: Open Macro File")) << tmux.screen();

  // Again, choosing run.txt by the arrows: "../", "other.txt", "run.txt".
  tmux.line("MACR");
  ASSERT_TRUE(tmux.wait_for("DORVEX: Open Macro File")) << tmux.screen();
  tmux.keys({"Down", "Down"});
  ASSERT_TRUE(tmux.wait_for("File name: run.txt")) << tmux.screen();
  tmux.keys({"Enter"});
  ASSERT_TRUE(tmux.wait_for("64.0000")) << tmux.screen();  // the macro's cell, 4 x 4 x 4
  leave(tmux);
}

TEST_F(TuiWindow, ScrollBackHistoryCompletionAndTheQuitQuestion) {
  home_.write(".dorvex_history", "PMAT\n");  // left by an earlier run
  TmuxSession tmux(100, 30, home_, dummy({"--mat", home_.file("xtal")}));
  ASSERT_TRUE(tmux.started());
  ASSERT_TRUE(tmux.wait_for(":DMDORVEX>")) << tmux.screen();
  tmux.keys({"Up"});
  ASSERT_TRUE(tmux.wait_for("DMDORVEX> PMAT")) << tmux.screen();
  tmux.keys({"C-u"});
  tmux.line("HELP");
  ASSERT_TRUE(tmux.wait_for("MACR")) << tmux.screen();
  EXPECT_TRUE(tmux.wait_gone("BASE VERSION OF"));  // the header has scrolled away
  tmux.keys({"PPage", "PPage", "PPage"});
  ASSERT_TRUE(tmux.wait_for("BASE VERSION OF")) << tmux.screen();
  EXPECT_NE(tmux.screen().find("scrolled back"), std::string::npos);
  tmux.keys({"NPage", "NPage", "NPage"});
  ASSERT_TRUE(tmux.wait_gone("scrolled back")) << tmux.screen();

  // Completion of a unique start, candidates for an ambiguous one.
  tmux.type("sho");
  tmux.keys({"Tab"});
  ASSERT_TRUE(tmux.wait_for("DMDORVEX> SHOW")) << tmux.screen();
  tmux.keys({"C-u"});
  tmux.type("ZR");
  tmux.keys({"Tab"});
  ASSERT_TRUE(tmux.wait_for("ZREF  ZREM")) << tmux.screen();
  EXPECT_NE(tmux.screen().find("DMDORVEX> ZRE"), std::string::npos);

  // Ctrl-C drops the typed line; Up brings back the last command; editing in the middle.
  tmux.keys({"C-c"});
  ASSERT_TRUE(tmux.wait_until([](const std::string& s) {
    return std::regex_search(s, std::regex("DMDORVEX> *\n"));
  })) << tmux.screen();
  tmux.keys({"Up"});
  ASSERT_TRUE(tmux.wait_for("DMDORVEX> HELP")) << tmux.screen();
  tmux.keys({"Home", "Right", "Right", "BSpace", "Delete"});
  tmux.type("X");
  ASSERT_TRUE(tmux.wait_for("DMDORVEX> HXP")) << tmux.screen();
  tmux.keys({"Enter"});
  ASSERT_TRUE(tmux.wait_for("Unknown command")) << tmux.screen();

  // Ctrl-D on an empty line closes the window: the quit question; No keeps the program.
  tmux.keys({"C-d"});
  ASSERT_TRUE(tmux.wait_for("DO YOU WISH TO QUIT DORVEX?")) << tmux.screen();
  tmux.type("n");
  ASSERT_TRUE(tmux.wait_gone("DO YOU WISH TO QUIT")) << tmux.screen();
  tmux.keys({"C-d"});
  ASSERT_TRUE(tmux.wait_for("DO YOU WISH TO QUIT DORVEX?")) << tmux.screen();
  tmux.keys({"Enter"});  // Yes has the focus
  ASSERT_TRUE(tmux.wait_for("Normal program termination")) << tmux.screen();
  tmux.keys({"Enter"});
  ASSERT_TRUE(tmux.wait_for("EXITED 0")) << tmux.screen();
  EXPECT_NE(tmux.screen().find("TERMINAL-RESTORED"), std::string::npos);
}

TEST_F(TuiWindow, ResizingRedrawsAndATooSmallTerminalSaysSo) {
  TmuxSession tmux(120, 40, home_, dummy({"--mat", home_.file("xtal")}));
  ASSERT_TRUE(tmux.started());
  ASSERT_TRUE(tmux.wait_for(":DMDORVEX>")) << tmux.screen();
  tmux.type("LIST");
  tmux.resize(30, 8);
  ASSERT_TRUE(tmux.wait_for("Terminal too small")) << tmux.screen();
  EXPECT_TRUE(tmux.wait_for("have 30 x 8")) << tmux.screen();
  EXPECT_EQ(tmux.screen().find("DMDORVEX>"), std::string::npos);
  tmux.resize(90, 24);
  ASSERT_TRUE(tmux.wait_gone("Terminal too small")) << tmux.screen();
  // Everything is back, the half-typed line too, and the rule spans the new width.
  EXPECT_TRUE(tmux.wait_for("DMDORVEX> LIST")) << tmux.screen();
  EXPECT_NE(tmux.screen().find("Mat file: xtal"), std::string::npos);
  std::string rule;
  for (int i = 0; i < 90; ++i) rule += "\u2500";
  EXPECT_NE(tmux.screen().find(rule), std::string::npos) << tmux.screen();
  tmux.keys({"C-u"});
  leave(tmux);
}

TEST_F(TuiWindow, TheTerminalIsGivenBackWhenTheProgramIsKilled) {
  TmuxSession tmux(100, 30, home_, dummy({"--mat", home_.file("xtal")}));
  ASSERT_TRUE(tmux.started());
  ASSERT_TRUE(tmux.wait_for(":DMDORVEX>")) << tmux.screen();
  const pid_t pid = tmux.program_pid();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  ASSERT_TRUE(tmux.wait_for("EXITED 143")) << tmux.screen();  // 128 + SIGTERM
  EXPECT_NE(tmux.screen().find("TERMINAL-RESTORED"), std::string::npos) << tmux.screen();
}

TEST_F(TuiWindow, AWarningIsRedAndTheTextAfterItIsNot) {
  // A saved-names file that cannot be written: choosing the matrix file warns about it.
  std::filesystem::create_directory(home_.file("oldparm.sav"));
  TmuxSession tmux(100, 30, home_, dummy({"--mat", home_.file("xtal")}));
  ASSERT_TRUE(tmux.started());
  ASSERT_TRUE(tmux.wait_for(":DMDORVEX>")) << tmux.screen();
  const std::string coloured = tmux.capture_with_attributes();
  EXPECT_EQ(colour_of(coloured, "**********WARNING**********"), 31) << coloured;
  EXPECT_EQ(colour_of(coloured, "Could not write"), 31) << coloured;
  EXPECT_EQ(colour_of(coloured, "Mat File is: xtal.mat"), 39) << coloured;
  EXPECT_EQ(colour_of(coloured, "Peak Centering Parameters"), 39) << coloured;
  leave(tmux);
}

TEST_F(TuiWindow, AFatalProfileErrorIsShownInAnErrorBoxAndTheTerminalIsGivenBack) {
  std::string profile = home_.read("DIFPROF.DAT");
  const auto at = profile.find("CONTROL         7");
  ASSERT_NE(at, std::string::npos);
  profile.replace(at, 17, "CONTROL         5");
  home_.write("DIFPROF.DAT", profile);
  TmuxSession tmux(100, 30, home_, dummy({"--mat", home_.file("xtal")}));
  ASSERT_TRUE(tmux.started());
  ASSERT_TRUE(tmux.wait_for("INTERFACE TYPE 5 IS NOT A KNOWN CONTROLLER")) << tmux.screen();
  // White on red, unlike the information boxes.
  const std::string coloured = tmux.capture_with_attributes();
  const auto text = coloured.find("INTERFACE TYPE 5");
  const auto row = coloured.rfind('\n', text);
  EXPECT_NE(coloured.substr(row, text - row).find("41m"), std::string::npos) << coloured;
  tmux.keys({"Enter"});
  ASSERT_TRUE(tmux.wait_for("Program terminated")) << tmux.screen();
  EXPECT_EQ(colour_of(tmux.capture_with_attributes(), "Program terminated"), 30);
  tmux.keys({"Enter"});
  ASSERT_TRUE(tmux.wait_for("EXITED 1")) << tmux.screen();
  EXPECT_NE(tmux.screen().find("TERMINAL-RESTORED"), std::string::npos) << tmux.screen();
}

}  // namespace
}  // namespace dorvex_test

// ------------------------------------------------------------------------------------------
// The hardware window against the controller simulator.
namespace dorvex_test {
namespace {

class TuiSimulated : public TuiWindow {
 protected:
  void SetUp() override {
    TuiWindow::SetUp();
    if (IsSkipped()) return;
    if (!std::filesystem::exists(DORVEX_SIM_BINARY))
      GTEST_SKIP() << "the controller simulator " DORVEX_SIM_BINARY " is not built";
  }
  std::vector<std::string> simulated() const {
    return {"--home", home_.path(), "--ui", "tui", "--simulate", "--mat", home_.file("xtal")};
  }
  // The row of the four angle values in the status block.
  static std::string angle_row(const std::string& screen) {
    const auto at = screen.find("Angles:");
    if (at == std::string::npos) return {};
    const auto start = screen.find('\n', at) + 1;
    return screen.substr(start, screen.find('\n', start) - start);
  }
  // The command field: the row above the key help, which is the last row.
  static std::string command_row(const std::string& screen) {
    std::vector<std::string> rows;
    std::istringstream in(screen);
    for (std::string row; std::getline(in, row);) rows.push_back(row);
    while (!rows.empty() && rows.back().find_first_not_of(' ') == std::string::npos)
      rows.pop_back();
    return rows.size() >= 2 ? rows[rows.size() - 2] : std::string();
  }
  // With its colours: white on red while a wait runs.
  static bool halt_key_lit(const TmuxSession& tmux) {
    const std::string coloured = tmux.capture_with_attributes();
    const auto key = coloured.find("[F9] HALT");
    if (key == std::string::npos) return false;
    const auto line_start = coloured.rfind('\n', key);
    const auto red = coloured.rfind("41m", key);
    return red != std::string::npos && (line_start == std::string::npos || red > line_start);
  }
  // The key lights up once the wait has begun, a moment after the action text changed.
  static bool halt_key_becomes(const TmuxSession& tmux, bool lit, double seconds = 10) {
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    for (;;) {
      if (halt_key_lit(tmux) == lit) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
};

TEST_F(TuiSimulated, StatusFieldsFollowADriveAndTheHaltKeyStopsIt) {
  TmuxSession tmux(120, 40, home_, simulated());
  ASSERT_TRUE(tmux.started());
  ASSERT_TRUE(tmux.wait_for(":DORVEX>", 60)) << tmux.screen();
  const std::string window = tmux.screen();
  for (const char* label : {"Scan Type", "Angles:", "hkl:", "Slits", "Count Rate",
                            "Experiment: xtal", "Datafile:", "[F9] HALT", "F9/Esc halt"})
    EXPECT_NE(window.find(label), std::string::npos) << label;
  EXPECT_EQ(window.find("Mat file:"), std::string::npos);  // that is the virtual window's

  tmux.line("GOTO");
  ASSERT_TRUE(tmux.wait_for("GOTO: Enter angles>")) << tmux.screen();
  tmux.line("20 10 30 40");
  ASSERT_TRUE(tmux.wait_for("Moving to:")) << tmux.screen();
  ASSERT_TRUE(tmux.wait_for("Waiting at:", 60)) << tmux.screen();
  ASSERT_TRUE(tmux.wait_until([](const std::string& s) {
    return angle_row(s).find("20.000   10.000   30.000   40.000") != std::string::npos;
  })) << tmux.screen();
  EXPECT_NE(tmux.screen().find("hkl:"), std::string::npos);

  // Long moves, each stopped on the way: by F9, by Esc and by Ctrl-C. A halt ends the GOTO
  // dialogue (the halt is an error), so it is started again when needed.
  const char* targets[] = {"20 10 -40 -90", "20 10 30 40", "20 10 -40 -90"};
  const char* halts[] = {"F9", "Escape", "C-c"};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(halts[i]);
    if (command_row(tmux.screen()).find("GOTO: Enter angles>") == std::string::npos) {
      tmux.line("GOTO");
      ASSERT_TRUE(tmux.wait_until([](const std::string& s) {
        return command_row(s).find("GOTO: Enter angles>") != std::string::npos;
      })) << tmux.screen();
    }
    tmux.line(targets[i]);
    ASSERT_TRUE(tmux.wait_for("Moving to:")) << tmux.screen();
    ASSERT_TRUE(halt_key_becomes(tmux, true)) << tmux.screen();
    tmux.keys({halts[i]});
    ASSERT_TRUE(tmux.wait_for("Diffractometer halted by user", 10)) << tmux.screen();
    const std::string stopped = tmux.screen();
    EXPECT_NE(stopped.find("Waiting at:"), std::string::npos) << stopped;
    EXPECT_EQ(angle_row(stopped).find(i == 1 ? "30.000   40.000" : "-40.000  -90.000"),
              std::string::npos) << "the move was not stopped:\n" << stopped;
    tmux.keys({"Enter"});
    ASSERT_TRUE(tmux.wait_gone("Diffractometer halted by user")) << tmux.screen();
    EXPECT_TRUE(halt_key_becomes(tmux, false));
  }
  if (command_row(tmux.screen()).find("GOTO:") != std::string::npos) tmux.line("0");
  ASSERT_TRUE(tmux.wait_until([](const std::string& s) {
    return command_row(s).find(":DORVEX>") != std::string::npos;
  })) << tmux.screen();
  leave(tmux);
}

TEST_F(TuiSimulated, IndicesFollowTheMatrixAnglesStayApartKeysAfterTheBrowserAndDcProgress) {
  // The sample crystal's matrix file, and the diffractometer parked on its 0 2 0 reflection:
  // x = UB (0 2 0), 2theta from |x| and lambda, chi and phi of x in the bisecting setting.
  home_.copy_in(DORVEX_SOURCE_DIR "/examples/sample.mat", "xtal.mat");
  double x[3] = {0, 0, 0};
  int row = 0;
  for (const auto& l : lines(home_.read("xtal.mat"))) {
    if (l.rfind("UB ", 0) != 0 || row > 2) continue;
    std::istringstream in(l.substr(3));
    double a = 0, b = 0, c = 0;
    in >> a >> b >> c;
    x[row++] = 2 * b;
  }
  ASSERT_EQ(row, 3);
  const double deg = 180.0 / M_PI, length = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
  char park[128];
  std::snprintf(park, sizeof park, "PARK  %10.4f%10.4f%10.4f%10.4f%10.4f%10.4f",
                2 * std::asin(0.7093 * length / 2) * deg, 0.0,
                std::atan2(x[2], std::hypot(x[0], x[1])) * deg, std::atan2(x[1], x[0]) * deg,
                2.0, 2.0);
  std::string profile;
  for (const auto& l : lines(home_.read("DIFPROF.DAT")))
    profile += (l.rfind("PARK ", 0) == 0 ? std::string(park) : l) + "\n";
  home_.write("DIFPROF.DAT", profile);
  TmuxSession tmux(120, 40, home_, simulated(), {"DORVEX_SIM_ARGS=--time-scale 10"});
  ASSERT_TRUE(tmux.started());
  ASSERT_TRUE(tmux.wait_for(":DORVEX>", 60)) << tmux.screen();
  const std::regex hkl_020("hkl: +-?0\\.0 +2\\.0 +-?0\\.0 ");
  EXPECT_TRUE(tmux.wait_until([&](const std::string& s) { return std::regex_search(s, hkl_020); }))
      << tmux.screen();

  // Half the orientation matrix: the same setting is the reflection 0 4 0; then the matrix
  // of the file again.
  auto type_ub = [&](double factor) {
    tmux.line("OM");
    ASSERT_TRUE(tmux.wait_for("OM: Input UB line 1>")) << tmux.screen();
    int n = 0;
    for (const auto& l : lines(home_.read("xtal.mat"))) {
      if (l.rfind("UB ", 0) != 0 || n++ > 2) continue;
      std::istringstream in(l.substr(3));
      double a = 0, b = 0, c = 0;
      in >> a >> b >> c;
      tmux.line(std::to_string(a * factor) + " " + std::to_string(b * factor) + " " +
                std::to_string(c * factor));
    }
  };
  type_ub(0.5);
  EXPECT_TRUE(tmux.wait_until([](const std::string& s) {
    return std::regex_search(s, std::regex("hkl: +-?0\\.0 +4\\.0 +-?0\\.0 "));
  })) << tmux.screen();
  type_ub(2.0);  // the file holds the halved matrix now
  EXPECT_TRUE(tmux.wait_until([&](const std::string& s) { return std::regex_search(s, hkl_020); }))
      << tmux.screen();

  // Keys typed the moment the file browser and the question after it close reach the field.
  tmux.line("SET DATFILE");
  ASSERT_TRUE(tmux.wait_for("DORVEX: Open Dat File")) << tmux.screen();
  tmux.keys({"C-u"});
  tmux.line("d");
  ASSERT_TRUE(tmux.wait_for("Do you wish to create a new data file?")) << tmux.screen();
  tmux.type("y");
  tmux.type("NOT");
  EXPECT_TRUE(tmux.wait_until([](const std::string& s) {
    return command_row(s).find(":DORVEX> NOT") != std::string::npos;
  }, 5)) << tmux.screen();
  tmux.keys({"C-u"});

  // A shell collection shows where it stands and the time left.
  tmux.line("DC S");
  ASSERT_TRUE(tmux.wait_for("Continue with these parameters")) << tmux.screen();
  tmux.line("y");
  EXPECT_TRUE(tmux.wait_until([](const std::string& s) {
    return std::regex_search(s, std::regex("reflection 1 of [0-9]+ in shell 1, about [0-9:]+ left"));
  }, 120)) << tmux.screen();
  tmux.keys({"F9"});
  ASSERT_TRUE(tmux.wait_for("Diffractometer halted by user", 30)) << tmux.screen();
  tmux.keys({"Enter"});
  ASSERT_TRUE(tmux.wait_until([](const std::string& s) {
    return command_row(s).find(":DORVEX>") != std::string::npos;
  }, 30)) << tmux.screen();
  // Angles of eight columns each keep a blank between them.
  tmux.line("GOTO 20 10 -120 -144.58");
  EXPECT_TRUE(tmux.wait_until([](const std::string& s) {
    return angle_row(s).find("20.000   10.000 -120.000 -144.580") != std::string::npos;
  }, 60)) << tmux.screen();

  leave(tmux);
}

TEST_F(TuiSimulated, ShutterCountRateDetectorAndSampleZFieldsAndAHaltedScan) {
  // A profile with a detector-distance motor (7) and a sample-height motor (8).
  std::string profile = home_.read("DIFPROF.DAT");
  const auto motor6 = profile.find("MOTOR6");
  const auto park = profile.find("\nPARK ");
  ASSERT_NE(motor6, std::string::npos);
  ASSERT_NE(park, std::string::npos);
  profile.replace(park + 1, profile.find('\n', park + 1) - park - 1,
                  "PARK      5.0000    2.5000    0.0000    0.0000    2.0000    2.0000"
                  "  100.0000    0.5000");
  const std::string speeds = "    100.00   1000.00    100.00    500.00    100.00";
  profile.insert(profile.find('\n', motor6) + 1,
                 "MOTOR7 7," + speeds + "     50.00    300.00\n" +
                 "MOTOR8 8," + speeds + "     -5.00      5.00\n");
  home_.write("DIFPROF.DAT", profile);
  TmuxSession tmux(120, 40, home_, simulated(), {"DORVEX_SIM_ARGS=--time-scale 4"});
  ASSERT_TRUE(tmux.started());
  ASSERT_TRUE(tmux.wait_for(":DORVEX>", 60)) << tmux.screen();
  const std::string window = tmux.screen();
  EXPECT_TRUE(std::regex_search(window, std::regex("Detector +100\\.00 +Sample Z +0\\.500")))
      << window;
  EXPECT_NE(window.find("Shutter: closed"), std::string::npos) << window;
  EXPECT_NE(window.find("Scan plot (empty until a scan)"), std::string::npos) << window;

  tmux.line("OPSH");
  ASSERT_TRUE(tmux.wait_for("Shutter: open")) << tmux.screen();
  tmux.line("CLSH");
  ASSERT_TRUE(tmux.wait_for("Shutter: closed")) << tmux.screen();

  // A count: the action, the shutter open while it runs, the halt keys named on the key row,
  // then the rate in its field and the shutter closed again.
  tmux.line("COUN");
  ASSERT_TRUE(tmux.wait_for("Counting at:")) << tmux.screen();
  const std::string counting = tmux.screen();
  EXPECT_NE(counting.find("Shutter: open"), std::string::npos) << counting;
  EXPECT_NE(counting.find("F9, Esc or Ctrl-C: HALT"), std::string::npos) << counting;
  ASSERT_TRUE(tmux.wait_for("Waiting at:", 30)) << tmux.screen();
  std::smatch rate;
  ASSERT_TRUE(tmux.wait_until([&](const std::string& s) {
    return std::regex_search(s, rate, std::regex("Count Rate +([0-9.]+) +Shutter: closed")) &&
           std::stod(rate[1].str()) > 0;
  })) << tmux.screen();
  EXPECT_EQ(tmux.screen().find("F9, Esc or Ctrl-C: HALT"), std::string::npos);

  // A scan stopped with Esc: nothing is plotted and the program takes commands again.
  tmux.line("PROF");
  ASSERT_TRUE(tmux.wait_for("PROF: INPUT")) << tmux.screen();
  for (const char* answer : {"2", "41", "0.02", "1"}) tmux.line(answer);
  ASSERT_TRUE(tmux.wait_for("Omega scan at:")) << tmux.screen();
  tmux.keys({"Escape"});
  ASSERT_TRUE(tmux.wait_for("Diffractometer halted by user", 5)) << tmux.screen();
  EXPECT_EQ(tmux.screen().find("Max:"), std::string::npos) << tmux.screen();
  tmux.keys({"Enter"});
  ASSERT_TRUE(tmux.wait_until([](const std::string& s) {
    return command_row(s).find(":DORVEX>") != std::string::npos;
  })) << tmux.screen();
  EXPECT_NE(tmux.screen().find("Waiting at:"), std::string::npos);
  leave(tmux);
}

TEST_F(TuiSimulated, AProfileScanIsDrawnInThePlot) {
  TmuxSession tmux(120, 40, home_, simulated(), {"DORVEX_SIM_ARGS=--time-scale 4"});
  ASSERT_TRUE(tmux.started());
  ASSERT_TRUE(tmux.wait_for(":DORVEX>", 60)) << tmux.screen();
  tmux.line("PROF");
  ASSERT_TRUE(tmux.wait_until([](const std::string& s) {
    return s.find("PROF: INPUT") != std::string::npos ||
           s.find("is not available") != std::string::npos;
  })) << tmux.screen();
  if (tmux.screen().find("is not available") != std::string::npos)
    GTEST_SKIP() << "PROF is not part of this build yet";
  tmux.line("2");
  ASSERT_TRUE(tmux.wait_for("ENTER NUMBER OF STEPS:")) << tmux.screen();
  tmux.line("21");
  ASSERT_TRUE(tmux.wait_for("ENTER STEP SIZE")) << tmux.screen();
  tmux.line("0.05");
  ASSERT_TRUE(tmux.wait_for("ENTER COUNT TIME PER STEP:")) << tmux.screen();
  tmux.line("0.1");
  ASSERT_TRUE(tmux.wait_for("Max:", 120)) << tmux.screen();
  // The plot is right of the status block: braille dots and the end labels are there.
  const std::string screen = tmux.screen();
  std::istringstream rows(screen);
  int dotted_rows = 0;
  for (std::string row; std::getline(rows, row);) {
    if (row.find("\xe2\xa0") != std::string::npos || row.find("\xe2\xa1") != std::string::npos ||
        row.find("\xe2\xa2") != std::string::npos || row.find("\xe2\xa3") != std::string::npos)
      ++dotted_rows;
  }
  EXPECT_GE(dotted_rows, 2) << screen;
  EXPECT_NE(screen.find("\xe2\x94\xb4"), std::string::npos) << "no axis marks\n" << screen;
  EXPECT_EQ(screen.find("Scan plot (empty"), std::string::npos) << screen;
  // "Max: " I7 " at " F8.3 on the top row of the plot, right of the status block.
  EXPECT_TRUE(std::regex_search(
      screen, std::regex("Scan Type  [^\n]*\u2502 Max: [ 0-9]{7} at [ 0-9.-]{4}\\.[0-9]{3}")))
      << screen;
  // The horizontal axis: marks at 0, 1/4, 1/2, 3/4 and the full width; below it x(1) at the
  // left end and x(n) at the right end, F8.3: 21 steps of 0.05 span 1.000.
  std::istringstream again(screen);
  std::vector<std::string> lines;
  for (std::string row; std::getline(again, row);) lines.push_back(row);
  std::size_t axis = 0;
  while (axis < lines.size() && lines[axis].find("\u2514") == std::string::npos) ++axis;
  ASSERT_LT(axis + 1, lines.size()) << screen;
  int marks = 0;
  for (auto at = lines[axis].find("\u2534"); at != std::string::npos;
       at = lines[axis].find("\u2534", at + 1))
    ++marks;
  EXPECT_EQ(marks, 5) << lines[axis];
  std::smatch ends;
  ASSERT_TRUE(std::regex_search(lines[axis + 1], ends,
                                std::regex("\u2502 (-?[0-9]+\\.[0-9]{3}) +(-?[0-9]+\\.[0-9]{3})$")))
      << lines[axis + 1];
  EXPECT_NEAR(std::stod(ends[2].str()) - std::stod(ends[1].str()), 1.0, 0.0015)
      << lines[axis + 1];
  leave(tmux);
}

}  // namespace
}  // namespace dorvex_test
