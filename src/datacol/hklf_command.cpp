// HKLF: reduces a reflection data file to the F-squared file of a structure program (h k l
// F-squared sigma) and the CIF of the experiment. The dialogue asks for the data file, the
// corrections and the output name, one line at a time under continuation code 51; an empty
// answer keeps the default shown in brackets.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/fields.hpp"
#include "datacol/cif_writer.hpp"
#include "datacol/reduction.hpp"
#include "geometry/angles.hpp"
#include "geometry/spacegroup.hpp"
#include "datacol/commands.hpp"
#include "console/dialogue.hpp"
#include "console/output.hpp"

namespace dorvex {

namespace {

constexpr int kHklf = 51;
constexpr const char* kInputError = "Error on input, try again:";

enum Step { kFile = 0, kLp, kDecay, kAbsorption, kOutput };

struct Dialogue {
  Step step = kFile;
  std::string data_path;
  ReadDataFile data;
  ReductionOptions options;
  bool decay_possible = false;
  bool absorption_possible = false;
};
Dialogue dialogue;

ShellState& SH() { return S().shell; }

// A name typed without a directory lies in the data directory.
std::string in_data_directory(const std::string& name) {
  if (name.empty() || name[0] == '/' || SH().data_directory.empty()) return name;
  return SH().data_directory + name;
}

std::string without_extension(const std::string& path, std::string_view extension) {
  if (path.size() > extension.size() &&
      upper_letters(path.substr(path.size() - extension.size())) == upper_letters(extension))
    return path.substr(0, path.size() - extension.size());
  return path;
}

std::string default_data_file() {
  return SH().datfile_set != 0 ? std::string(trim(SH().datfile_name)) : std::string();
}

void ask_file() {
  const std::string d = default_data_file();
  ask(kHklf, "HKLF: Data file" + (d.empty() ? std::string() : " [" + d + "]") + ">");
}

void ask_yes_no(Step step, bool default_yes) {
  static const char* questions[] = {"", "HKLF: Lorentz-polarisation correction",
                                    "HKLF: Decay correction from the standards",
                                    "HKLF: Psi-scan absorption correction"};
  dialogue.step = step;
  ask(kHklf, std::string(questions[step]) + " <Y/N> [" + (default_yes ? "Y" : "N") + "]>");
}

void ask_output() {
  dialogue.step = kOutput;
  ask(kHklf, "HKLF: Output name [" + without_extension(dialogue.data_path, ".rfl") + "]>");
}

// Y, N or an empty line (the default); false when the answer is neither.
bool read_yes_no(const std::string& line, bool default_yes, bool& answer) {
  const std::string_view t = trim(line);
  if (t.empty()) answer = default_yes;
  else if (t[0] == 'Y' || t[0] == 'y') answer = true;
  else if (t[0] == 'N' || t[0] == 'n') answer = false;
  else return false;
  return true;
}

// Replaces `path` by `text` whole: a temporary file beside it, flushed to disk, renamed over.
bool write_whole_file(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::size_t done = 0;
  bool ok = true;
  while (ok && done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

// Reads the chosen data file; false after a message when it cannot be used.
bool load_data_file(const std::string& path) {
  std::error_code ignored;
  std::ifstream in(path, std::ios::binary);
  if (!in || std::filesystem::is_directory(path, ignored)) {
    WRITE_OUT(" HKLF: cannot read the data file " + path);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  dialogue.data = parse_data_file(text.str());
  if (dialogue.data.records.empty()) {
    WRITE_OUT(" HKLF: no reflection records in " + path);
    return false;
  }
  dialogue.data_path = path;
  return true;
}

SpaceGroup crystal_group(bool report) {
  SpaceGroup group;
  const std::string& symbol = S().datacol.space_group_symbol;
  if (SYMMETRY(symbol, group) != 0 && report)
    WRITE_OUT(" HKLF: space group " + std::string(trim(symbol)) +
              " not understood: equivalents are Friedel pairs only");
  return group;
}

double monochromator() {
  const MachineProfile& p = S().profile;
  return p.config[7] == 1 ? p.monoc_angle : 0.0;
}

// The cell of the CIF: the crystal's with its uncertainties when it is the cell of the data
// file, else the data file's own.
void fill_cell(CifExperiment& e, const ReadDataFile& data) {
  const CrystalState& c = S().crystal;
  bool same = true;
  if (data.has_cell)
    for (std::size_t i = 0; i < 6; ++i)
      same = same && std::fabs(c.cell[i] - data.cell[i]) <= (i < 3 ? 0.005f * data.cell[i] : 0.5f);
  if (same) {
    e.cell = c.cell;
    e.cell_su = c.cell_esd;
    e.volume = c.volume;
    e.volume_su = c.volume_esd;
    e.UB = c.UB;
    return;
  }
  WRITE_OUT(" HKLF: the crystal's cell is not the data file's: the CIF gives the file's cell");
  e.cell = data.cell;
  e.volume = data.volume;
  if (data.has_ub) e.UB = data.UB;
}

void reduce_and_write(const std::string& base) {
  const ReadDataFile& data = dialogue.data;
  const SpaceGroup group = crystal_group(true);
  const ReductionResult r = reduce_data(data, dialogue.options, current_geometry(), group);
  for (const std::string& note : r.notes) WRITE_OUT(note);
  if (r.reflections.empty()) {
    ERRORLOG(" HKLF: no reflection with an intensity in " + dialogue.data_path +
             ": nothing written");
    return;
  }
  const HklfFile hkl = hklf4_file(r.reflections);

  CifExperiment e;
  e.block = std::filesystem::path(base).filename().string();
  e.title = data.title;
  fill_cell(e, data);
  e.wavelength = S().crystal.lambda1;
  e.monochromator_2theta = static_cast<float>(monochromator());
  e.diffractometer = S().profile.difnam;
  e.space_group = S().datacol.space_group_symbol;
  e.scan_type = static_cast<int>(NINT(S().datacol.scan_type)) == 2 ? 2 : 1;
  e.width_min = r.width_min;
  e.width_max = r.width_max;
  e.step_min = r.step_min;
  e.step_max = r.step_max;
  e.reflections = static_cast<int>(r.reflections.size());
  e.hkl_min = r.hkl_min;
  e.hkl_max = r.hkl_max;
  e.theta_min = r.theta_min;
  e.theta_max = r.theta_max;
  e.standards = r.standards;
  e.standards_interval = S().datacol.standard_interval;
  e.decay_applied = r.decay_applied;
  e.decay_percent = 100.0 * r.decay.largest_decay();
  e.absorption_applied = r.absorption_applied;
  e.t_min = r.t_min;
  e.t_max = r.t_max;
  e.lorentz_polarisation = dialogue.options.lorentz_polarisation;
  e.have_r_int = r.r_int_groups > 0;
  e.r_int = r.r_int;
  e.unique = r.unique;
  e.version = SH().version;

  const std::string hkl_path = base + ".hkl", cif_path = base + ".cif";
  if (!write_whole_file(hkl_path, hkl.text)) {
    ERRORLOG(" HKLF: cannot write " + hkl_path);
    return;
  }
  if (!write_whole_file(cif_path, experiment_cif(e))) {
    ERRORLOG(" HKLF: cannot write " + cif_path + " (" + hkl_path + " was written)");
    return;
  }

  WRITE_OUT("");
  WRITE_OUT(" HKLF: reduction of " + dialogue.data_path);
  WRITE_OUT("   Records read          " + I(r.records, 6) + "   (lines skipped" +
            I(data.unreadable_lines, 5) + ", incomplete records" + I(data.broken_records, 5) + ")");
  WRITE_OUT("   Standards measured    " + I(r.standards_measured, 6) + "   in" +
            I(static_cast<long>(r.decay.sequence.size()), 4) + " sets");
  WRITE_OUT("   Psi-scan records      " + I(r.psi_records, 6) + "   in" + I(r.psi_scans, 4) +
            " psi scans, " + I(static_cast<long>(r.curves.size()), 2) + " used");
  if (r.unusable > 0)
    WRITE_OUT("   Without an intensity  " + I(r.unusable, 6) + "   (not written)");
  WRITE_OUT("   Reflections written   " + I(static_cast<long>(r.reflections.size()), 6) +
            "   negative F-squared" + I(r.negative, 6));
  WRITE_OUT(std::string("   Lorentz-polarisation  ") +
            (dialogue.options.lorentz_polarisation
                 ? "applied, monochromator 2theta" + F(monochromator(), 7, 2)
                 : "not applied"));
  WRITE_OUT("   Decay                 " +
            (r.decay_applied ? "largest decay" + F(e.decay_percent, 6, 1) + " %"
                             : std::string("not corrected")));
  WRITE_OUT("   Absorption            " +
            (r.absorption_applied ? "T_min" + F(r.t_min, 7, 4) + "   T_max" + F(r.t_max, 7, 4)
                                  : std::string("not corrected")));
  WRITE_OUT("   R_int                 " +
            (e.have_r_int ? F(r.r_int, 7, 4) + "   from" + I(r.r_int_reflections, 6) +
                                " reflections in" + I(r.r_int_groups, 5) + " groups of equivalents"
                          : std::string("no equivalents measured")));
  WRITE_OUT("   F-squared scaled by   " + E(hkl.scale, 12, 5));
  WRITE_OUT("   Files written         " + hkl_path);
  WRITE_OUT("                         " + cif_path);
  WRITE_OUT("");
}

}  // namespace

void RUN_HKLF() {
  if (SH().continuation_code != kHklf) {
    dialogue = {};
    return ask_file();
  }
  const std::string line = SH().command_argument;
  switch (dialogue.step) {
    case kFile: {
      std::string name(trim(line));
      if (name.empty()) name = default_data_file();
      if (name.empty()) {
        WRITE_OUT(" HKLF: no data file given and none selected (SET DATF selects one)");
        return end_dialogue();
      }
      name = in_data_directory(name);
      std::error_code ignored;  // a name the file system cannot look up is reported below
      if (!std::filesystem::exists(name, ignored) &&
          std::filesystem::exists(name + ".rfl", ignored))
        name += ".rfl";
      if (!load_data_file(name)) return ask_file();
      // What the file allows decides the defaults of the two corrections.
      ReductionOptions all;
      all.monochromator_2theta = monochromator();
      const ReductionResult trial =
          reduce_data(dialogue.data, all, current_geometry(), crystal_group(false));
      dialogue.decay_possible = trial.decay_applied;
      dialogue.absorption_possible = trial.absorption_applied;
      dialogue.options.monochromator_2theta = all.monochromator_2theta;
      return ask_yes_no(kLp, true);
    }
    case kLp:
    case kDecay:
    case kAbsorption: {
      const bool default_yes = dialogue.step == kLp      ? true
                               : dialogue.step == kDecay ? dialogue.decay_possible
                                                         : dialogue.absorption_possible;
      bool yes = false;
      if (!read_yes_no(line, default_yes, yes)) return ask(kHklf, kInputError);
      if (dialogue.step == kLp) {
        dialogue.options.lorentz_polarisation = yes;
        return ask_yes_no(kDecay, dialogue.decay_possible);
      }
      if (dialogue.step == kDecay) {
        dialogue.options.decay = yes;
        return ask_yes_no(kAbsorption, dialogue.absorption_possible);
      }
      dialogue.options.absorption = yes;
      return ask_output();
    }
    case kOutput: {
      std::string base(trim(line));
      base = base.empty() ? without_extension(dialogue.data_path, ".rfl")
                          : in_data_directory(without_extension(without_extension(base, ".hkl"),
                                                                ".cif"));
      end_dialogue();
      reduce_and_write(base);
      dialogue = {};
      return;
    }
  }
}

}  // namespace dorvex
