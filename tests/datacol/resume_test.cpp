// Whether a DC S may continue a stopped one, and where the data file says it stopped.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/state.hpp"
#include "datacol/resume.hpp"
#include "support/shell_fixture.hpp"

namespace {

using dorvex::CollectionKey;
using dorvex::KeyMatch;
using dorvex::S;

class ResumeTest : public dorvex_test::ShellFixture {};

TEST_F(ResumeTest, OnlyTheSameCrystalDataFileAndParametersContinue) {
  S().shell.matfile_name = "quartz";
  S().crystal.cell = {4.913f, 4.913f, 5.405f, 90, 90, 120};
  S().crystal.lambda1 = 0.71073f;
  S().datacol.shell_lower[1] = 3;
  S().datacol.shell_upper[1] = 30;
  S().datacol.shell_selected[1] = 1;
  write_file("d.rfl", "H\n");
  const CollectionKey stored = dorvex::current_key(dir() + "d.rfl");
  EXPECT_EQ(stored.matrix_file, dir() + "quartz.mat");

  struct Case {
    const char* what;
    void (*change)(CollectionKey&);
    KeyMatch expected;
  };
  const std::vector<Case> cases = {
      {"unchanged", [](CollectionKey&) {}, KeyMatch::same},
      {"cell refined", [](CollectionKey& k) { k.cell[0] += 0.03f; k.cell[5] -= 0.5f; },
       KeyMatch::same},
      {"another matrix file", [](CollectionKey& k) { k.matrix_file += "x"; },
       KeyMatch::other_crystal},
      {"another cell", [](CollectionKey& k) { k.cell[2] *= 1.02f; }, KeyMatch::other_crystal},
      {"another angle", [](CollectionKey& k) { k.cell[3] += 1.5f; }, KeyMatch::other_crystal},
      {"another wavelength", [](CollectionKey& k) { k.lambda = 1.5418f; },
       KeyMatch::other_crystal},
      {"another data file", [](CollectionKey& k) { k.data_file += "x"; },
       KeyMatch::other_data_file},
      {"the data file made anew", [](CollectionKey& k) { k.file_id += "1"; },
       KeyMatch::other_data_file},
      {"other parameters", [](CollectionKey& k) { k.parameters += " "; },
       KeyMatch::other_parameters},
  };
  for (const Case& c : cases) {
    CollectionKey now = stored;
    c.change(now);
    EXPECT_EQ(dorvex::compare_keys(stored, now), c.expected) << c.what;
  }

  // Each parameter that decides what is measured, or how, makes another set.
  const std::string base = dorvex::parameter_text(S().datacol);
  const std::vector<void (*)(dorvex::DataCollectionParameters&)> changes = {
      [](auto& d) { d.step = 0.03f; },
      [](auto& d) { d.scan_width_a = 1.0f; },
      [](auto& d) { d.time_per_step = 2.0f; },
      [](auto& d) { d.scan_type = 2; },
      [](auto& d) { d.constant_precision = 1; },
      [](auto& d) { d.multiple_psi = 1; },
      [](auto& d) { d.violations_mode = 1; },
      [](auto& d) { d.index_limits[0] = -1; },
      [](auto& d) { d.increment_order = {2, 1, 3}; },
      [](auto& d) { d.shell_upper[1] = 31; },
      [](auto& d) { d.shell_lower[2] = 30, d.shell_upper[2] = 40, d.shell_selected[2] = 1; },
  };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    dorvex::DataCollectionParameters d = S().datacol;
    changes[i](d);
    EXPECT_NE(dorvex::parameter_text(d), base) << i;
  }
  // The standards only follow the crystal.
  dorvex::DataCollectionParameters d = S().datacol;
  d.standard_interval = 7;
  d.standards_in_use[2] = 1;
  EXPECT_EQ(dorvex::parameter_text(d), base);
}

TEST_F(ResumeTest, TheDataFileTellsTheLastReflectionOfTheShellTheCollectionWasIn) {
  dorvex::ResumeFile file;
  file.key.matrix_file = "/data/x y.mat";
  file.key.cell = {8, 10, 12, 90, 90, 90};
  file.key.lambda = 0.7093f;
  file.key.data_file = "/data/d.rfl";
  file.key.file_id = "2049:77";
  file.key.parameters = "scan 1 group 2 p 21/c; shells  1   3.000  10.000";
  // Shell 1 from record 5; another collection (DC I) wrote 20 to 22; DC S went on in shell 1
  // at 23, and shell 2 began at 30.
  file.stretches = {{5, 1}, {20, 0}, {23, 1}, {30, 2}};
  const std::string path = dir() + "d.rfl.resume";
  ASSERT_TRUE(dorvex::write_resume_file(path, file));
  dorvex::ResumeFile back;
  ASSERT_TRUE(dorvex::read_resume_file(path, back));
  EXPECT_EQ(dorvex::compare_keys(file.key, back.key), KeyMatch::same);
  EXPECT_EQ(back.key.parameters, file.key.parameters);
  ASSERT_EQ(back.stretches.size(), 4u);
  EXPECT_EQ(back.stretches[2].first, 23);

  // sequence, h k l, psi, standard
  const std::vector<dorvex::StoredRecord> records = {
      {3, {9, 9, 9}, 0, 0},   // before the collection
      {5, {2, 0, 0}, 0, 1},   {6, {1, 0, 0}, 0, 0},  {19, {1, 1, 0}, 0, 0},
      {20, {4, 4, 4}, 0, 0},  // DC I
      {23, {2, 0, 0}, 0, 1},  {24, {0, 2, 1}, 0, 0}, {29, {2, 0, 0}, 0, 1},
      {30, {2, 0, 0}, 0, 1},  {31, {3, 1, 0}, 15.0f, 0}, {32, {2, 0, 0}, 0, 1},
  };
  struct Case {
    std::size_t records;  // how many of them the file holds
    std::vector<dorvex::Stretch> stretches;
    int shell;
    bool measured;
    int record;
  };
  const std::vector<Case> cases = {
      {11, file.stretches, 2, true, 31},
      {9, file.stretches, 2, false, 0},                  // killed in shell 2's first standards
      {8, {{5, 1}, {20, 0}, {23, 1}}, 1, true, 24},      // killed in the end-of-shell standards
      {5, {{5, 1}, {20, 0}}, 1, true, 19},               // DC I wrote last
      {1, {{5, 1}}, 1, false, 0},                        // nothing of its own yet
  };
  for (const Case& c : cases) {
    dorvex::ResumeFile f = file;
    f.stretches = c.stretches;
    const dorvex::ResumePoint p = dorvex::point_from_file(
        f, std::vector<dorvex::StoredRecord>(records.begin(), records.begin() + c.records));
    EXPECT_TRUE(p.valid);
    EXPECT_EQ(p.shell, c.shell) << c.records;
    EXPECT_EQ(p.measured, c.measured) << c.records;
    EXPECT_EQ(p.record, c.record) << c.records;
  }
  EXPECT_EQ(dorvex::point_from_file(file, records).psi, 15.0f);

  // A damaged resume file is reported and taken as none.
  write_file("bad.resume", "DC S resume point\nMATRIX x\n");
  EXPECT_FALSE(dorvex::read_resume_file(dir() + "bad.resume", back));
  EXPECT_NE(console().find("RESUME FILE CANNOT BE READ"), std::string::npos);
  EXPECT_FALSE(dorvex::read_resume_file(dir() + "none.resume", back));
}

}  // namespace
