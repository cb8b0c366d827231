// Command-field editing, history and completion; the open-file dialog's model.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "toolkit/tui_browser.hpp"
#include "toolkit/tui_editor.hpp"

namespace dorvex {
namespace {

void type(LineEditor& e, std::string_view text) {
  for (const char c : text) e.insert(c);
}

TEST(TuiEditor, EditsAtTheCursorAndStopsAtTheLineLength) {
  LineEditor e(10);
  type(e, "DRIV 10");
  e.home();
  e.erase();
  type(e, "G");
  EXPECT_EQ(e.text(), "GRIV 10");
  e.end();
  e.left();
  e.left();
  e.backspace();
  EXPECT_EQ(e.text(), "GRIV10");
  EXPECT_EQ(e.cursor(), 4u);
  e.kill_to_end();
  EXPECT_EQ(e.text(), "GRIV");
  EXPECT_FALSE(e.insert('\x07'));
  type(e, "abcdefgh");
  EXPECT_EQ(e.text(), "GRIVabcdef");  // ten characters at most
  e.right();                           // past the end: nothing
  EXPECT_EQ(e.cursor(), 10u);
}

TEST(TuiEditor, HistoryKeepsTheLineBeingTypedAndSkipsBlanksAndRepeats) {
  LineEditor e;
  e.load_history({"CELL", "LIST"});
  type(e, "SHO");
  e.older();
  EXPECT_EQ(e.text(), "LIST");
  e.older();
  e.older();  // the oldest stays
  EXPECT_EQ(e.text(), "CELL");
  e.newer();
  e.newer();
  EXPECT_EQ(e.text(), "SHO");  // back to the draft
  e.newer();
  EXPECT_EQ(e.text(), "SHO");
  type(e, "W");
  EXPECT_EQ(e.take(), "SHOW");
  EXPECT_EQ(e.text(), "");
  type(e, "SHOW");
  e.take();
  type(e, "   ");
  EXPECT_EQ(e.take(), "   ");
  EXPECT_EQ(e.history(), (std::vector<std::string>{"CELL", "LIST", "SHOW"}));
  e.older();
  EXPECT_EQ(e.text(), "SHOW");
}

TEST(TuiEditor, TabCompletesTheCommandWordFromTheTable) {
  ASSERT_EQ(command_names().size(), 78u);
  EXPECT_EQ(command_names().front(), "HELP");
  EXPECT_EQ(command_names().back(), "LATT");

  Completion c = complete_command("cel", 3);
  EXPECT_TRUE(c.changed);
  EXPECT_EQ(c.text, "CELL");
  EXPECT_EQ(c.cursor, 4u);
  EXPECT_TRUE(c.candidates.empty());

  c = complete_command("dc", 2);  // DC I, DC S, DC P, DC L and DCOM share "DC"
  EXPECT_FALSE(c.changed);
  std::vector<std::string> sorted = c.candidates;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<std::string>{"DC I", "DC L", "DC P", "DC S", "DCOM"}));

  c = complete_command("ZR", 2);  // ZREF and ZREM: extended as far as they agree
  EXPECT_TRUE(c.changed);
  EXPECT_EQ(c.text, "ZRE");
  EXPECT_EQ(c.candidates.size(), 2u);

  c = complete_command("lo", 2);  // the stored pad blank is not typed
  EXPECT_EQ(c.text, "LOG");
  EXPECT_FALSE(complete_command("xyz", 3).changed);
  EXPECT_TRUE(complete_command("xyz", 3).candidates.empty());
  EXPECT_FALSE(complete_command("cel 1", 3).changed);   // cursor not at the end
  EXPECT_FALSE(complete_command("CELL 5", 6).changed);  // past the command word
}

// ------------------------------------------------------------------------------------------
class TempTree : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tui-browser-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    std::filesystem::create_directory(root_ + "/sub");
    std::filesystem::create_directory(root_ + "/Another");
    for (const char* name : {"b.mat", "A.MAT", "notes.txt", ".hidden.mat", "sub/c.mat"})
      std::ofstream(root_ + "/" + name) << "x\n";
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  static std::vector<std::string> names(const std::vector<BrowserEntry>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.directory ? e.name + "/" : e.name);
    return out;
  }

  std::string root_;
};

TEST(TuiBrowserFilters, PatternsAndDescriptions) {
  auto f = parse_filters("*.mat|Dorvex        .mat");
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].pattern, "*.mat");
  EXPECT_EQ(f[0].description, "Dorvex        .mat");
  f = parse_filters("*.lst|List File|*.*|All Files");
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[1].pattern, "*.*");
  EXPECT_EQ(parse_filters("").front().pattern, "*.*");
  EXPECT_EQ(parse_filters("*.rfl").front().description, "*.rfl");

  EXPECT_TRUE(filter_matches("*.mat", "crystal.MAT"));
  EXPECT_FALSE(filter_matches("*.mat", "crystal.mat.bak"));
  EXPECT_TRUE(filter_matches("*.*", "README"));
  EXPECT_TRUE(filter_matches("*.txt;*.mac", "run.mac"));
  EXPECT_TRUE(filter_matches("run?.txt", "run1.txt"));
  EXPECT_FALSE(filter_matches("run?.txt", "run12.txt"));

  EXPECT_EQ(resolve_path("/a/b/", "../c.mat"), "/a/c.mat");
  EXPECT_EQ(resolve_path("/a/b", "./x/../y/"), "/a/b/y/");
  EXPECT_EQ(resolve_path("/a/b/", "/abs/f"), "/abs/f");
  EXPECT_EQ(resolve_path("/", ".."), "/");
}

TEST_F(TempTree, ListingPutsDirectoriesFirstAndFiltersFiles) {
  EXPECT_EQ(names(list_directory(root_, "*.mat")),
            (std::vector<std::string>{"../", "Another/", "sub/", "A.MAT", "b.mat"}));
  EXPECT_EQ(names(list_directory(root_ + "/sub", "*.txt")), (std::vector<std::string>{"../"}));
  EXPECT_NE(names(list_directory("/", "*.nothing")).front(), "../");  // no parent of the root
}

TEST_F(TempTree, NavigatesByListAndByTypedPathsAndChoosesAbsolutePaths) {
  FileBrowserModel m("*.mat|Dorvex        .mat", root_, "b.mat");
  EXPECT_EQ(m.directory(), root_ + "/");
  ASSERT_GE(m.selected(), 0);
  EXPECT_EQ(m.entries()[static_cast<std::size_t>(m.selected())].name, "b.mat");

  // Into a sub-directory from the list, and back up with Backspace on an empty name.
  m.move(-2);  // b.mat -> A.MAT -> sub
  EXPECT_EQ(m.name().text(), "sub/");
  EXPECT_EQ(m.enter(), FileBrowserModel::Outcome::stay);
  EXPECT_EQ(m.directory(), root_ + "/sub/");
  EXPECT_EQ(m.name().text(), "");
  m.parent();
  EXPECT_EQ(m.directory(), root_ + "/");
  EXPECT_EQ(m.entries()[static_cast<std::size_t>(m.selected())].name, "sub");

  // A typed pattern becomes the filter; the file type list cycles.
  m.name().set("*.txt");
  EXPECT_EQ(m.enter(), FileBrowserModel::Outcome::stay);
  EXPECT_EQ(names(m.entries()), (std::vector<std::string>{"../", "Another/", "sub/", "notes.txt"}));
  m.next_filter();
  EXPECT_EQ(m.pattern(), "*.mat");

  // A typed relative path: an existing file or a new name, both made absolute.
  m.name().set("sub/c.mat");
  ASSERT_EQ(m.enter(), FileBrowserModel::Outcome::chosen);
  EXPECT_EQ(m.result(), root_ + "/sub/c.mat");
  m.name().set("new");
  ASSERT_EQ(m.enter(), FileBrowserModel::Outcome::chosen);
  EXPECT_EQ(m.result(), root_ + "/new");
}

TEST_F(TempTree, StartsInTheWorkingDirectoryWhenTheStartIsMissingAndTakesRelativeStarts) {
  char here[4096];
  ASSERT_NE(::getcwd(here, sizeof here), nullptr);
  ASSERT_EQ(::chdir(root_.c_str()), 0);
  const std::string cwd = std::filesystem::current_path().string();
  FileBrowserModel missing("*.mat", root_ + "/no/such/dir", "");
  FileBrowserModel relative("*.mat", "sub", "");
  EXPECT_EQ(::chdir(here), 0);
  EXPECT_EQ(missing.directory(), cwd + "/");
  EXPECT_EQ(relative.directory(), cwd + "/sub/");
  EXPECT_EQ(missing.name().text(), "");
  // Enter on an empty name with a file selected does nothing; on ".." it goes up.
  EXPECT_EQ(relative.enter(), FileBrowserModel::Outcome::stay);
  EXPECT_EQ(relative.directory(), cwd + "/");
}

}  // namespace
}  // namespace dorvex
