// HELP CMD, the nearest names to a mistyped command, and SHOW LIMITS.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "common/command_table.hpp"
#include "common/fields.hpp"
#include "shell/help_text.hpp"
#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::lines;

// The commands that answer only that they have been discontinued.
const std::vector<std::string> kDiscontinued = {"AUTO", "PRNT", "BRAV", "GRID",
                                                "CALI", "POW ", "FACE", "LOG "};

TEST(Help, EveryCommandHasAnEntryInTableOrder) {
  const auto entries = dorvex::command_help_entries();
  ASSERT_EQ(entries.size(), static_cast<std::size_t>(dorvex::kCommandCount));
  for (int i = 0; i < dorvex::kCommandCount; ++i) {
    const std::string word(dorvex::kCommandTable.substr(static_cast<std::size_t>(4 * i), 4));
    const dorvex::CommandHelp& h = entries[static_cast<std::size_t>(i)];
    EXPECT_EQ(h.name, word) << i;
    EXPECT_EQ(dorvex::find_command_help(word), &h) << word;
    EXPECT_FALSE(h.arguments.empty() || h.action.empty()) << word;
    // The example starts with the command as one types it.
    const std::string typed(dorvex::trim(word));
    EXPECT_EQ(h.example.substr(0, typed.size()), typed) << word;
    const bool gone = std::count(kDiscontinued.begin(), kDiscontinued.end(), word) > 0;
    EXPECT_EQ(h.discontinued, gone) << word;
  }
}

TEST(Help, NearestNamesByEditDistance) {
  const struct {
    const char* typed;
    std::vector<std::string> nearest;
  } cases[] = {
      {"CLAC", {"CALC"}},   // two letters swapped
      {"DRVI", {"DRIV"}},
      {"CNTE", {"CNTR"}},
      {"CELT", {"CELL", "CENT"}},  // one substitution each, in table order
      {"DCI ", {"DC I"}},   // the inner blank left out
      {"OMX ", {"OM"}},
      {"ZRFE", {"ZREF"}},
      {"X   ", {}},         // a single letter is near everything short: nothing offered
      {"QQQQ", {}},
      {"3 50", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(dorvex::nearest_commands(c.typed), c.nearest) << c.typed;
}

TEST(Help, TranscriptOfHelpUnknownWordsAndLimits) {
  const dorvex_test::Home home;
  const auto r = dorvex_test::run_dorvex(
      home, "HELP GOTO\nhelp pow\nHELP XYZZ\nCLAC 1 2 3\nSHOW LIMITS\nEXIT\n",
      dorvex_test::mat_args(home));
  const auto out = lines(r.out);
  auto after = [&](const std::string& first, std::size_t n) {
    auto at = std::find(out.begin(), out.end(), first);
    if (at == out.end() || out.end() - at < static_cast<long>(n)) return std::vector<std::string>{};
    return std::vector<std::string>(at, at + static_cast<long>(n));
  };
  EXPECT_EQ(after("HELP GOTO", 7),
            (std::vector<std::string>{
                "HELP GOTO", "", " GOTO",
                "   Arguments: 2theta omega chi phi (a line of zeros ends)",
                "   Does:      drives the four circles to the typed angles after checking the",
                "              limits",
                "   Example:   GOTO 20 10 45 30"}))
      << r.out;
  EXPECT_EQ(after("help pow", 3),
            (std::vector<std::string>{"help pow", "", " POW  (discontinued)"}))
      << r.out;
  EXPECT_EQ(after("HELP XYZZ", 2), (std::vector<std::string>{"HELP XYZZ", " There is no command XYZZ"}))
      << r.out;
  EXPECT_EQ(after("CLAC 1 2 3", 3),
            (std::vector<std::string>{"CLAC 1 2 3", "Unknown command",
                                      "  Nearest commands: CALC (HELP lists them all)"}))
      << r.out;
  // The profile's motor lines: 2theta -50 to 120, omega motor -60 to 80 with a 40 degree arm
  // clearance, chi and phi without limits; omega and 2theta have motors of their own.
  EXPECT_EQ(after("SHOW LIMITS", 7),
            (std::vector<std::string>{
                "SHOW LIMITS", "  Limits of the circles (deg, zero offsets allowed for):",
                "    2theta   -50.000 to   120.000 deg",
                "    omega    -60.000 to    80.000 deg (of the omega motor: omega + 2theta/2)",
                "    chi    any angle (not limited)", "    phi    any angle (not limited)",
                "    detector arm at least  40.000 deg from the omega carriage"}))
      << r.out;
}

}  // namespace
