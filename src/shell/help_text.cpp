// The explanation of each command that HELP CMD prints, and the nearest names to a mistyped one.
#include "shell/help_text.hpp"

#include <algorithm>
#include <array>

#include "common/command_table.hpp"
#include "common/fields.hpp"
#include "console/output.hpp"

namespace dorvex {

namespace {

// Arguments, action and example of each command, in table order. Angles are in degrees,
// cell edges in A, counting times in seconds unless the question says minutes.
constexpr std::array<CommandHelp, kCommandCount> kHelp = {{
    {"HELP", "none, or a command name",
     "lists every command name; with a name, explains that command", "HELP CALC"},
    {"EXIT", "none",
     "ends the program; offers to save an orientation or cell not yet in the matrix file, then "
     "on the instrument closes the shutter, parks the circles and releases the controller",
     "EXIT"},
    {"CELL", "a b c (A) and alpha beta gamma (deg), asked for on one line",
     "enters the unit cell; the orientation matrix is rebuilt from it",
     "CELL, then 5.431 5.431 5.431 90 90 90"},
    {"OM  ", "the three rows of UB, asked for one row a line",
     "types the orientation matrix UB", "OM, then 0.1 0 0 / 0 0.1 0 / 0 0 0.1"},
    {"COM ", "two list numbers (indices asked for where the list has none), then Y or N",
     "computes the orientation from two reflections of the list and the cell", "COM, then 1 2"},
    {"CALC", "h k l, optionally a setting number 1 to 8 or A for all eight",
     "calculates the diffractometer angles of a reflection; DRIV then drives there; typed alone "
     "it asks for one reflection after another",
     "CALC 2 0 0"},
    {"DRIV", "none",
     "drives the four circles to the setting last calculated (CALC, INDX), after checking the "
     "limits; prints where the circles stand",
     "DRIV, after CALC 2 0 0"},
    {"DC I", "Y to go on with the shown parameters, then h k l a line (0 0 0 ends)",
     "measures reflections typed by their indices into the data file", "DC I, then Y, 1 1 0"},
    {"MOT ", "motor number (1 2theta, 2 omega, 3 chi, 4 phi, 5 and 6 slits) and target",
     "drives one motor after checking its limits", "MOT 4 90"},
    {"SET ", "TITLE, WAVE, CENTRE, DEVICE, DATA, MATFILE, DATFILE or LOG",
     "changes a group of settings through its questions; the matrix file keeps them",
     "SET WAVE"},
    {"CNTR", "none",
     "centres the reflection at the present setting at positive and negative 2theta, which "
     "gives its 2theta zero, and offers to add it to the list",
     "CNTR"},
    {"INDX", "2theta omega chi phi",
     "calculates the indices of a setting from the orientation matrix", "INDX 20.5 10.25 45 30"},
    {"DC S", "Y to go on with the shown parameters",
     "collects the selected 2theta shells of the data-collection parameters (SET DATA) into the "
     "data file, with standards; a stopped collection is taken up again",
     "DC S, then Y"},
    {"LDMT", "motor number and angle",
     "declares the present position of a motor without moving it", "LDMT 4 0"},
    {"OPSH", "none", "opens the shutter", "OPSH"},
    {"CLSH", "none", "closes the shutter", "CLSH"},
    {"DEL ", "list numbers; n -m means entries n to m",
     "deletes entries of the reflection list", "DEL 3 -5"},
    {"INH ", "h k l a line (0 0 0 ends)",
     "adds reflections to the list by their indices, with their calculated angles",
     "INH, then 2 0 0"},
    {"INA ", "2theta omega chi phi a line (a line of zeros ends)",
     "adds reflections to the list by their angles", "INA, then 20.5 10.25 45 30"},
    {"REF ", "Y to go on, then calculated or listed angles",
     "re-centres every used reflection of the list", "REF"},
    {"AUTO", "none", "no longer available; SRCH finds reflections, INDC and INDA index them", "AUTO", true},
    {"LSQ ", "none",
     "refines the orientation matrix from the used, indexed reflections by least squares and "
     "writes the matrix file",
     "LSQ"},
    {"LIST", "none", "shows the reflection list", "LIST"},
    {"TRAN", "the three rows of the transformation matrix, one a line",
     "transforms the cell, UB and the indices of the list to new axes",
     "TRAN, then 0 1 0 / 1 0 0 / 0 0 -1"},
    {"IND ", "h k l 2theta omega chi phi a line (a line of zeros ends)",
     "adds reflections to the list by indices and angles", "IND, then 2 0 0 20.5 10.25 0 0"},
    {"SRCH", "slit apertures (mm), 2theta, chi and phi ranges, phi step, time per step "
             "(s) and significance, then Y",
     "searches a region of angles step by step for reflections; the peaks found are kept as "
     "INA lines in MATNAME_peaks.txt beside the matrix file, which MACR adds to the list",
     "SRCH"},
    {"ZREF", "Y to go on, then the starting angles",
     "centres each used reflection in eight settings and determines the zero offsets of the "
     "circles and the crystal's offset",
     "ZREF"},
    {"HALT", "none", "stops every motor and reads the positions", "HALT"},
    {"PROF", "motor (1 th/2th, 2 omega, 3 chi, 4 phi, 5 2theta), number of steps, step (deg) "
             "and time per step (s)",
     "records the intensity profile along one motor about the present setting", "PROF"},
    {"USE ", "list numbers; n -m means entries n to m",
     "marks list entries as used by LSQ, REF, ZREF and the indexing", "USE 1 -10"},
    {"INDL", "1 manual (list number and h k l), 2 by UB, 3 clear",
     "sets the indices of list entries", "INDL 2"},
    {"CONE", "Y when at a reflection with slits open, cone angle and 2theta, threshold",
     "searches on a cone about a known reflection for a second one", "CONE"},
    {"DC P", "Y to go on, then h k l",
     "measures one reflection over a range of psi (for an absorption correction)",
     "DC P, then Y, 1 1 0"},
    {"PRNT", "none", "no longer available; LIST shows the reflection list", "PRNT", true},
    {"CLSQ", "the crystal system (a number)",
     "refines the cell and orientation with the constraints of a crystal system", "CLSQ"},
    {"CENT", "none",
     "centres the reflection at the present setting at positive 2theta only and offers to add "
     "it to the list",
     "CENT"},
    {"ANGL", "none", "prints the angles of the list's reflections as calculated from UB",
     "ANGL"},
    {"DC L", "Y to go on, then a list file or the reflection list",
     "collects the reflections of a list file or of the reflection list into the data file",
     "DC L"},
    {"SORT", "a key H, K, L, 2 (2theta), O, C, P or I, - for descending",
     "sorts the reflection list", "SORT -2"},
    {"BRAV", "none", "no longer available; LATT lists the lattices the cell allows", "BRAV", true},
    {"NOTE", "lines of text; EXIT ends the note",
     "records free-text notes in the user log", "NOTE, then crystal glued at 14:10, EXIT"},
    {"GRID", "none", "no longer available; SRCH searches a region of angles", "GRID", true},
    {"CALI", "none", "no longer available; ZREF determines the zero offsets", "CALI", true},
    {"DVLS", "list number", "drives to the angles of a list entry", "DVLS 3"},
    {"POW ", "none", "no longer available; STEP scans one motor", "POW", true},
    {"ZERO", "none", "drives 2theta, omega, chi and phi to 0", "ZERO"},
    {"VIEW", "position number (0 ends)", "drives to the crystal viewing positions",
     "VIEW, then 1"},
    {"SCAN", "start h k l, end h k l, number of steps (5 to 201), time per step (s)",
     "counts along a line in reciprocal space", "SCAN"},
    {"INDC", "tolerances of 2theta and angle (deg)",
     "finds the orientation of a crystal of known cell from the used, unindexed reflections",
     "INDC, then 0.3 0.5"},
    {"FACE", "none", "no longer available", "FACE", true},
    {"CPOS", "none", "reads the positions of every motor and prints them", "CPOS"},
    {"PARK", "none", "drives every motor to its park position", "PARK"},
    {"PHOT", "<CR> when the film is mounted, exposure time (minutes)",
     "takes a rotation photograph about phi", "PHOT"},
    {"CALP", "horizontal and vertical spacing of the spots (mm)",
     "checks the film geometry from a photograph's spot spacing", "CALP, then 12.5 8.0"},
    {"FILT", "filter number 1 to 8 (another number ends)", "puts a filter in the beam",
     "FILT 2"},
    {"HALF", "T, B, L, R or O (E ends)", "sets the half slits", "HALF, then T"},
    {"LOG ", "none", "no longer available; SET LOG switches the logs", "LOG", true},
    {"TLSQ", "the crystal system 0 to 6",
     "refines the cell from the 2theta values of indexed reflections alone", "TLSQ, then 6"},
    {"COUN", "none",
     "counts 5 s at the present setting and prints the rate in cps", "COUN"},
    {"DCOM", "lines sent to the controller as typed",
     "talks to the controller directly", "DCOM"},
    {"DEMO", "Y or N: operate the shutter at each stop",
     "drives ten demonstration cycles of eight settings", "DEMO, then N"},
    {"PROM", "none", "prints the orientation matrix", "PROM"},
    {"OMIT", "list numbers; n -m means entries n to m",
     "marks list entries as not used", "OMIT 4"},
    {"SHOW", "TITLE, WAVE, CENTER, DEVICE, DATA, MATFILE, DATFILE, UB, CELL, DEV_TYPES, "
             "LIMITS or COMM",
     "shows a group of settings", "SHOW LIMITS"},
    {"TEST", "none", "does nothing", "TEST"},
    {"GOTO", "2theta omega chi phi (a line of zeros ends)",
     "drives the four circles to the typed angles after checking the limits",
     "GOTO 20 10 45 30"},
    {"UBIM", "the three rows of a UB, then the number of a profile transformation",
     "imports an orientation matrix from another program's axes", "UBIM"},
    {"FREF", "Y when the diffractometer is at a safe position",
     "searches the reference marks of the motors", "FREF, then Y"},
    {"INL ", "a Laue group symbol, then h k l",
     "adds every Laue equivalent of a reflection not yet in the list",
     "INL -3m1, then 1 0 2"},
    {"ZREM", "matrix file names of several crystals, an empty line starts",
     "runs ZREF on several crystals in turn", "ZREM"},
    {"CEN8", "Y to go on",
     "centres the present reflection in eight settings and gives the zero offsets", "CEN8"},
    {"PMAT", "none", "prints UB, the metric tensors and the B and U matrices", "PMAT"},
    {"STEP", "motor, start, end and step (deg), time per step (minutes)",
     "long step scan of one motor at the present setting", "STEP"},
    {"UBEX", "the number of a profile transformation",
     "prints the orientation matrix in another program's axes", "UBEX"},
    {"MACR", "the macro file, asked for",
     "runs the command lines of a file as if typed, answers included", "MACR"},
    {"HKLF", "the data file, the corrections (Y/N) and the output name",
     "reduces a data file to NAME.hkl and NAME.cif", "HKLF"},
    {"INDA", "tolerances of 2theta and angle (deg) and the longest lattice vector (A)",
     "finds the cell and orientation of an unknown crystal from the used reflections",
     "INDA, then 0.3 0.5 50"},
    {"LATT", "tolerance (deg), then the number of the lattice to take",
     "lists the Bravais lattices the cell allows and transforms to the chosen one",
     "LATT, then 1.0"},
}};

// Edit distance with swapped neighbours counted as one edit (optimal string alignment).
int edit_distance(std::string_view a, std::string_view b) {
  const std::size_t n = a.size(), m = b.size();
  std::vector<std::vector<int>> d(n + 1, std::vector<int>(m + 1));
  for (std::size_t i = 0; i <= n; ++i) d[i][0] = static_cast<int>(i);
  for (std::size_t j = 0; j <= m; ++j) d[0][j] = static_cast<int>(j);
  for (std::size_t i = 1; i <= n; ++i) {
    for (std::size_t j = 1; j <= m; ++j) {
      const int cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[n][m];
}

// Wraps text into lines of at most `width` columns, each starting with `indent`.
void write_wrapped(std::string_view text, std::string_view first, std::string_view indent) {
  constexpr std::size_t width = 79;
  std::string line(first);
  std::size_t pos = 0;
  bool empty = true;
  while (pos < text.size()) {
    std::size_t end = text.find(' ', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view word = text.substr(pos, end - pos);
    if (!empty && line.size() + 1 + word.size() > width) {
      WRITE_OUT(line);
      line = std::string(indent);
      empty = true;
    }
    if (!empty) line += ' ';
    line += word;
    empty = false;
    pos = end + 1;
  }
  WRITE_OUT(line);
}

std::string name_of(const CommandHelp& h) { return std::string(trim(h.name)); }

}  // namespace

std::span<const CommandHelp> command_help_entries() { return kHelp; }

const CommandHelp* find_command_help(std::string_view word) {
  for (const CommandHelp& h : kHelp)
    if (h.name == word) return &h;
  return nullptr;
}

std::vector<std::string> nearest_commands(std::string_view word) {
  const std::string_view typed = trim(word);
  std::vector<std::string> names;
  if (typed.empty()) return names;
  const int far = std::min(3, static_cast<int>(typed.size()));
  int best = far;
  for (int i = 0; i < kCommandCount; ++i) {
    const std::string_view name = trim(kCommandTable.substr(static_cast<std::size_t>(4 * i), 4));
    const int d = edit_distance(typed, name);
    if (d > best) continue;
    if (d < best) names.clear();
    best = d;
    names.emplace_back(name);
  }
  if (best >= far) names.clear();
  return names;
}

void WRITE_NEAREST_COMMANDS(std::string_view word) {
  std::string names;
  for (const std::string& n : nearest_commands(word)) names += (names.empty() ? "" : ", ") + n;
  if (!names.empty()) WRITE_OUT("  Nearest commands: " + names + " (HELP lists them all)");
}

void WRITE_COMMAND_HELP(std::string_view typed) {
  const std::string word = pad(upper_shift(std::string(trim(typed)).substr(0, 4)), 4);
  const CommandHelp* help = find_command_help(word);
  if (help == nullptr) {
    WRITE_OUT(" There is no command " + std::string(trim(word)));
    WRITE_NEAREST_COMMANDS(word);
    return;
  }
  WRITE_OUT("");
  WRITE_OUT(" " + name_of(*help) + (help->discontinued ? "  (discontinued)" : ""));
  write_wrapped(help->arguments, "   Arguments: ", "              ");
  write_wrapped(help->action, "   Does:      ", "              ");
  write_wrapped(help->example, "   Example:   ", "              ");
  WRITE_OUT("");
}

}  // namespace dorvex
