// Status fields, prompts, the scan-plot scaling and the clock routines.
#include <regex>

#include "common/state.hpp"
#include "console/clock.hpp"
#include "console/status.hpp"
#include "instrument/motion.hpp"  // DISPLAY_INIT
#include "support/recording_toolkit.hpp"
#include "support/shell_fixture.hpp"

namespace {

using dorvex::S;

class Status : public dorvex_test::ShellFixture {
 protected:
  // Keeps what the window is asked to draw; the line console draws nothing.
  dorvex_test::RecordingToolkit* window = nullptr;
  void use_plot_window() {
    window = &dorvex_test::install_recording_toolkit();
    window->plot_width = 400;
    window->plot_height = 200;
  }
};

TEST_F(Status, ScanOfLowCountsIsScaledToTen) {
  use_plot_window();
  S().shell.operating_mode = dorvex::MODE_NORMAL;
  const float x[] = {10.0f, 10.5f, 11.0f, 11.5f, 12.0f};
  const float y[] = {1, 3, 7, 7, 2};
  dorvex::PLOTSCAN(5, x, y);
  ASSERT_EQ(window->plots.size(), 1u);
  const auto& p = window->plots[0];
  EXPECT_FLOAT_EQ(p.y_max, 10.0f);
  EXPECT_EQ(p.max_index, 2);  // the first of the two largest counts
  EXPECT_FLOAT_EQ(p.x_scale, 400.0f / 2.0f);
  EXPECT_FLOAT_EQ(p.y_scale, 0.95f * 200.0f / 10.0f);
  EXPECT_EQ(p.left_label, "  10.000");
  EXPECT_EQ(p.right_label, "  12.000");
  EXPECT_EQ(p.max_text, "Max:       7 at   11.000");
}

TEST_F(Status, NarrowScanUsesTheFixedHorizontalScale) {
  use_plot_window();
  S().shell.operating_mode = dorvex::MODE_NORMAL;
  const float one_x[] = {5.0f};
  const float one_y[] = {1234.0f};
  dorvex::PLOTSCAN(1, one_x, one_y);
  const float x[] = {5.0f, 5.005f};
  const float y[] = {20.0f, 40.0f};
  dorvex::PLOTSCAN(2, x, y);
  ASSERT_EQ(window->plots.size(), 2u);
  EXPECT_FLOAT_EQ(window->plots[0].x_scale, 400.0f * 100.0f);
  EXPECT_FLOAT_EQ(window->plots[0].y_max, 1234.0f);
  EXPECT_FLOAT_EQ(window->plots[1].x_scale, 400.0f * 100.0f);
  EXPECT_EQ(window->plots[1].max_index, 1);
}

TEST_F(Status, DummyModeLeavesNoTrace) {
  use_plot_window();
  S().shell.operating_mode = dorvex::MODE_DUMMY;
  const float x[] = {1, 2};
  const float y[] = {3, 4};
  dorvex::PLOTSCAN(2, x, y);
  dorvex::DISPLAY_SHUTTER(1);
  dorvex::DISPLAY_SLITS(1, 2);
  dorvex::DISPLAY_COUNTER(100);
  dorvex::DISPLAY_INIT();
  EXPECT_TRUE(window->plots.empty());
  EXPECT_EQ(window->status_updates, 0);
  EXPECT_EQ(S().status.shutter, dorvex::StatusFields{}.shutter);
  EXPECT_EQ(S().status.slit1, 0.0f);

  S().shell.matfile_name = "a_name_longer_than_twenty";
  dorvex::DISPLAY_MATFILE();  // in every mode
  EXPECT_EQ(S().status.experiment, "a_name_longer_than_t");
  S().profile.difnam = "Lab diffractometer   ";
  dorvex::SET_MASTER_TITLE();
  EXPECT_EQ(S().status.title, "Simulation of Lab diffractometer");

  S().shell.operating_mode = dorvex::MODE_NORMAL;
  dorvex::DISPLAY_SHUTTER(2);
  EXPECT_EQ(S().status.shutter, "Shutter: ERROR");
}

TEST_F(Status, PromptCarriesDateTimeAndMode) {
  const std::regex date(R"(\d\d-(JAN|FEB|MAR|APR|MAY|JUN|JUL|AUG|SEP|OCT|NOV|DEC)-\d\d:\d\d:\d\d)");
  const std::pair<int, const char*> modes[] = {{dorvex::MODE_NORMAL, ":DORVEX>"},
                                               {dorvex::MODE_DUMMY, ":DMDORVEX>"},
                                               {dorvex::MODE_SUPERVISOR, ":SUPERV>"}};
  for (const auto& [mode, suffix] : modes) {
    S().shell.operating_mode = mode;
    dorvex::SET_PROMPT_DORVEX();
    const std::string& prompt = S().shell.prompt;
    ASSERT_GT(prompt.size(), 15u);
    EXPECT_TRUE(std::regex_match(prompt.substr(0, 15), date)) << prompt;
    EXPECT_EQ(prompt.substr(15), suffix);
  }
  dorvex::SET_PROMPT("  ");
  EXPECT_EQ(S().shell.prompt, "");
}

TEST_F(Status, ClockRoutines) {
  int before = 0, after = 0;
  dorvex::GET_TIME(before);
  EXPECT_GE(before, 0);
  EXPECT_LT(before, 8640000);
  const auto start = std::chrono::steady_clock::now();
  dorvex::DELAY(30);
  dorvex::DELAY(0);
  dorvex::DELAY(-5);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  dorvex::GET_TIME(after);
  if (after > before) {  // unless midnight fell in between
    EXPECT_GE(after - before, 3);
  }

  EXPECT_EQ(dorvex::ITIMER(0, 5), 0);
  EXPECT_EQ(dorvex::ITIMER(1, 5), 0);
  EXPECT_EQ(dorvex::ITIMER(1, -1), 1);  // more than -60 s have passed
}

}  // namespace
