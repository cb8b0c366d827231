// Macros run by the real program from a script on standard input.
#include <regex>

#include "support/run_dorvex.hpp"

namespace {

using dorvex_test::has_line;
using dorvex_test::Home;
using dorvex_test::lines;
using dorvex_test::run_dorvex;

const std::regex kEcho(R"(\d\d-[A-Z]{3}-\d\d:\d\d:\d\d:MACRO>(.*))");

std::vector<std::string> echoes(const std::string& text) {
  std::vector<std::string> out;
  std::smatch m;
  for (const auto& l : lines(text)) {
    if (std::regex_match(l, m, kEcho)) out.push_back(m[1]);
  }
  return out;
}

TEST(MacroTranscript, PausesAtABlankLineResumesAndEndsTheProgram) {
  Home home;
  home.write("session.txt", "NOTE\nfrom the macro\nEXIT\nLOG\n\nAUTO\nEXIT\nHELP\n");
  const auto r = run_dorvex(home, "MACR\nsession.txt\nanything resumes\nHELP\n",
                            dorvex_test::mat_args(home));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(echoes(r.out), (std::vector<std::string>{"NOTE", "from the macro", "EXIT", "LOG",
                                                      "", "AUTO", "EXIT"}));
  EXPECT_TRUE(has_line(r.out, "The command LOG  has been discontinued"));
  EXPECT_TRUE(has_line(r.out, "The command AUTO has been discontinued"));
  // EXIT in the macro ended the program: neither the macro's nor the script's HELP ran.
  EXPECT_EQ(r.out.find(" The Following commands are available:"), std::string::npos);
  EXPECT_TRUE(has_line(r.out, "[DORVEX] Normal program termination"));
  // The echoes are in the user log too; the line that resumed the macro was never read.
  const std::string user = home.read("test.LOG");
  EXPECT_EQ(echoes(user), echoes(r.out));
  EXPECT_EQ(user.find("anything resumes"), std::string::npos);
}

TEST(MacroTranscript, ControlBytesInAScriptAreHarmless) {
  Home home;
  const std::string script = std::string("\x01\x02\x7f\xff\xfe garbage\n\t\tHELP\n") +
                             std::string(500, 'Z') + "\n" + std::string("NO\0TE\n", 6) +
                             "EXIT\n";
  const auto r = run_dorvex(home, script, dorvex_test::mat_args(home));
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has_line(r.out, "[DORVEX] Normal program termination"));
  for (const auto& l : lines(home.read("test.LOG"))) {
    for (char c : l) {
      EXPECT_TRUE(c >= 32 && c < 127) << l;
    }
  }
}

}  // namespace
