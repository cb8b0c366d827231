// INDA and LATT with their dialogues through the continuation mechanism.
#include "geometry/lattice_commands.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "common/fields.hpp"
#include "geometry/matfile.hpp"
#include "geometry/angles.hpp"
#include "geometry/autoindex.hpp"
#include "geometry/cell.hpp"  // OMTOB
#include "geometry/lattice.hpp"
#include "geometry/trans.hpp"
#include "geometry/commands.hpp"
#include "console/dialogue.hpp"
#include "console/output.hpp"

namespace dorvex {

using refine::M3;
using refine::V3;

namespace {

constexpr int kCodeInda = 52;
constexpr int kCodeLatt = 53;
constexpr double kLattMaxTolerance = 5.0;  // degrees; beyond it every cell looks symmetric

bool answered_yes(const std::string& line) {
  const std::string_view t = trim(line);
  return !t.empty() && (t[0] == 'Y' || t[0] == 'y');
}

int used_count(const ReflectionList& list) {
  int n = 0;
  for (int i = 0; i < std::min(list.count, kListSize); ++i)
    if (list.entry[static_cast<std::size_t>(i)].use != 0) ++n;
  return n;
}

AutoindexTolerances inda_tolerances() {
  const RefinementDialogs& d = S().refine;
  return {d.inda_tth_tolerance, d.inda_angle_tolerance, d.inda_max_edge};
}

void error_prompt() { SET_PROMPT("Error on input, try again:"); }

// Numbers of a dialogue line, all finite and within (lo, hi]; nothing read for a blank line.
bool read_bounded(const std::string& line, std::size_t most, const std::vector<double>& lo,
                  const std::vector<double>& hi, std::vector<double>& out) {
  const ListInput in = read_list(line);
  if (in.error || in.values.size() > most) return false;
  for (std::size_t k = 0; k < in.values.size(); ++k) {
    const double v = in.values[k];
    if (!std::isfinite(v) || !(v > lo[k]) || v > hi[k]) return false;
  }
  out = in.values;
  return true;
}

// ---- INDA ------------------------------------------------------------------------------------

void inda_prompt() {
  const RefinementDialogs& d = S().refine;
  ask(kCodeInda, "INDA: Tolerances for 2Theta and angle, largest edge <" +
                     std::string(trim(F(d.inda_tth_tolerance, 5, 2))) + "," +
                     std::string(trim(F(d.inda_angle_tolerance, 5, 2))) + "," +
                     std::string(trim(F(d.inda_max_edge, 6, 1))) + ">: ");
}

void show_cell(const std::string& head, const std::array<double, 6>& c) {
  WRITE_OUT(head + F(c[0], 10, 4) + F(c[1], 10, 4) + F(c[2], 10, 4) + F(c[3], 9, 3) +
            F(c[4], 9, 3) + F(c[5], 9, 3));
}

void show_autoindex(const std::vector<AutoindexReflection>& in, const AutoindexResult& r) {
  const AutoindexTolerances tol = inda_tolerances();
  WRITE_OUT("");
  show_cell(" Reduced cell: ", r.cell);
  WRITE_OUT(" Volume:" + F(r.volume, 11, 2) + " A**3");
  WRITE_OUT(" The cell indexes" + I(r.indexed, 3) + " of" + I(static_cast<long>(in.size()), 3) +
            " reflections within" + F(tol.tth, 5, 2) + " degrees in 2theta and" +
            F(tol.angle, 5, 2) + " in angle");
  std::string missing;
  for (std::size_t k = 0; k < in.size(); ++k)
    if (!r.refl[k].indexed) missing += I(in[k].number, 3);
  WRITE_OUT(missing.empty() ? std::string(" Every reflection is indexed")
                            : " Not indexed (list numbers):" + missing);
  WRITE_OUT(" Mean angular deviation:" + F(r.mean_deviation, 7, 3) + " degrees");
  WRITE_OUT("");
  // Columns: list number I4, h k l 3I5, 2theta omega chi phi 4F10.3, the angular deviation
  // F10.3, 2X, the 2theta of h F10.2, then a mark for a reflection that is not indexed.
  WRITE_OUT("  NO    h    k    l    2theta     omega       chi       phi deviation" +
            std::string("   2theta(h)"));
  for (std::size_t k = 0; k < in.size(); ++k) {
    const IndexedReflection& x = r.refl[k];
    const AngleSet& a = in[k].angles;
    WRITE_OUT(I(in[k].number, 4) + I(x.h[0], 5) + I(x.h[1], 5) + I(x.h[2], 5) + F(a[0], 10, 3) +
              F(a[1], 10, 3) + F(a[2], 10, 3) + F(a[3], 10, 3) + F(x.deviation, 10, 3) + "  " +
              F(x.tth_calc, 10, 2) + (x.indexed ? "" : "  not indexed"));
  }
  WRITE_OUT("");
}

// The accepted cell: UB, cell and B, the indices of every list entry (whole numbers where the
// orientation indexes the entry; otherwise the fractional ones, and a used entry is omitted),
// then the matrix file.
void accept_autoindex() {
  ProgramState& s = S();
  s.crystal.UB = s.refine.inda_ub;
  if (!OMTOB(s.crystal, false)) {
    s.shell.error_flag = 1;
    return;
  }
  s.crystal.cell_esd = {};
  s.crystal.volume_esd = 0;
  const M3 ub = refine::widen(s.crystal.UB);
  const M3 ubinv = refine::inverse3(ub, refine::det3(ub));
  const AutoindexTolerances tol = inda_tolerances();
  std::string omitted;
  for (int n = 0; n < std::min(s.list.count, kListSize); ++n) {
    ReflectionEntry& e = s.list.entry[static_cast<std::size_t>(n)];
    AngleSet a = e.angles;
    const Vec3 xf = CALCH(current_geometry(), a);
    const IndexedReflection r =
        index_reflection(ub, ubinv, V3{xf[0], xf[1], xf[2]}, s.crystal.lambda1, tol);
    const V3 h = r.indexed ? V3{double(r.h[0]), double(r.h[1]), double(r.h[2])} : r.hf;
    e.h = static_cast<float>(h[0]);
    e.k = static_cast<float>(h[1]);
    e.l = static_cast<float>(h[2]);
    if (!r.indexed && e.use != 0) {
      e.use = 0;
      omitted += I(n + 1, 3);
    }
  }
  WRITE_OUT(" Indices of the list entries set from the new orientation matrix");
  if (!omitted.empty()) WRITE_OUT(" Not indexed, now omitted (use flag cleared):" + omitted);
  s.refine.lattice_system = 0;
  s.refine.lattice_centring = 'P';
  WRITE_MATFILE();
}

void inda_search(const std::string& line) {
  ProgramState& s = S();
  RefinementDialogs& d = s.refine;
  if (!trim(line).empty()) {
    std::vector<double> v;
    if (!read_bounded(line, 3, {0, 0, 2.9}, {10, 10, 200}, v)) {
      error_prompt();
      return;
    }
    if (v.size() >= 1) d.inda_tth_tolerance = static_cast<float>(v[0]);
    if (v.size() >= 2) d.inda_angle_tolerance = static_cast<float>(v[1]);
    if (v.size() >= 3) d.inda_max_edge = static_cast<float>(v[2]);
  }
  end_dialogue();
  d.inda_step = 0;
  const std::vector<AutoindexReflection> in = autoindex_input(s.list, current_geometry());
  const AutoindexResult r = AUTOINDEX(in, s.crystal.lambda1, inda_tolerances());
  if (r.status == INDA_TOO_FEW) {
    WRITE_OUT(" Too few reflections with a diffraction vector for INDA (at least" +
              I(kIndaMinimum, 2) + " are needed)");
    s.shell.error_flag = 1;
    return;
  }
  if (r.status == INDA_NO_LATTICE) {
    WRITE_OUT(" No lattice explains the reflections: the best cell found indexes" +
              I(r.indexed, 3) + " of" + I(static_cast<long>(in.size()), 3) +
              "; the cell is unchanged.");
    WRITE_OUT(" Check the reflections (LIST), omit doubtful ones, or widen the tolerances.");
    s.shell.error_flag = 1;
    return;
  }
  show_autoindex(in, r);
  d.inda_ub = refine::narrow(r.ub);
  d.inda_step = 2;
  ask(kCodeInda, "Accept this cell (Y/N)?");
}

// ---- LATT ------------------------------------------------------------------------------------

void latt_prompt() {
  ask(kCodeLatt,
      "LATT: Tolerance in degrees <" + std::string(trim(F(S().refine.latt_tolerance, 5, 2))) +
          ">: ");
}

bool cell_set(const CrystalState& c) {
  const M3 gstar = refine::gstar_of(refine::widen(c.UB));
  return refine::det3(gstar) > 0 && c.cell[0] > 0 && c.cell[1] > 0 && c.cell[2] > 0;
}

bool same_cell(const std::array<float, 6>& a, const std::array<float, 6>& b) {
  for (int k = 0; k < 3; ++k)
    if (!(std::fabs(a[k] - b[k]) <= 0.005f * b[k])) return false;
  for (int k = 3; k < 6; ++k)
    if (!(std::fabs(a[k] - b[k]) <= 0.5f)) return false;
  return true;
}

// The centring of the current cell: that of the lattice last taken while the cell is still its
// conventional cell, else primitive.
char current_centring() {
  const RefinementDialogs& d = S().refine;
  return same_cell(S().crystal.cell, d.lattice_cell) ? d.lattice_centring : 'P';
}

std::string transformation_text(const M3& t) {
  std::string s = "        Transformation";
  for (int i = 0; i < 3; ++i) {
    s += "  ";
    for (int j = 0; j < 3; ++j) s += F(std::fabs(t[i][j]) < 5e-7 ? 0.0 : t[i][j], 7, 3);
  }
  return s;
}

void latt_list(const std::string& line) {
  ProgramState& s = S();
  RefinementDialogs& d = s.refine;
  if (!trim(line).empty()) {
    std::vector<double> v;
    if (!read_bounded(line, 1, {0}, {kLattMaxTolerance}, v)) {
      error_prompt();
      return;
    }
    if (!v.empty()) d.latt_tolerance = static_cast<float>(v[0]);
  }
  const char centring = current_centring();
  const M3 gstar = refine::gstar_of(refine::widen(s.crystal.UB));
  const M3 g = refine::inverse3(gstar, refine::det3(gstar));
  const std::vector<BravaisLattice> found = LATTICE_SEARCH(g, centring, d.latt_tolerance);
  d.latt_transforms.clear();
  d.latt_systems.clear();
  d.latt_centrings.clear();
  WRITE_OUT("");
  if (centring != 'P')
    WRITE_OUT(" The current cell is taken as " + std::string(1, centring) + "-centred.");
  WRITE_OUT(" Bravais lattices the metric allows within" + F(d.latt_tolerance, 5, 2) +
            " degrees, highest symmetry first:");
  WRITE_OUT("");
  // Columns: number I4, 2X, symbol, 2X, system A13, a b c 3F9.4, alpha beta gamma 3F9.3,
  // misfit F9.3; below it the transformation, row by row, 3(2X, 3F7.3).
  WRITE_OUT("  No Lattice                 a        b        c    alpha     beta    gamma" +
            std::string("   Misfit"));
  for (std::size_t k = 0; k < found.size(); ++k) {
    const BravaisLattice& b = found[k];
    WRITE_OUT(I(static_cast<long>(k + 1), 4) + "  " + b.symbol + "  " +
              pad(b.system, 13) + F(b.cell[0], 9, 4) + F(b.cell[1], 9, 4) + F(b.cell[2], 9, 4) +
              F(b.cell[3], 9, 3) + F(b.cell[4], 9, 3) + F(b.cell[5], 9, 3) +
              F(b.misfit, 9, 3));
    WRITE_OUT(transformation_text(b.t));
    d.latt_transforms.push_back(refine::narrow(b.t));
    d.latt_systems.push_back(b.clsq_system);
    d.latt_centrings.push_back(b.centring);
  }
  WRITE_OUT("");
  d.latt_step = 2;
  ask(kCodeLatt, "LATT: Number of the lattice to take (empty line: none)>");
}

void latt_take(const std::string& line) {
  ProgramState& s = S();
  RefinementDialogs& d = s.refine;
  if (trim(line).empty()) {
    end_dialogue();
    d.latt_step = 0;
    WRITE_OUT(" No lattice taken; the cell is unchanged.");
    return;
  }
  const IntListInput in = read_int_list(line);
  const long count = static_cast<long>(d.latt_transforms.size());
  if (in.error || in.values.size() != 1 || in.values[0] < 1 || in.values[0] > count) {
    error_prompt();
    return;
  }
  end_dialogue();
  d.latt_step = 0;
  const std::size_t k = static_cast<std::size_t>(in.values[0] - 1);
  WRITE_OUT(" Transforming Cell and List Indices");
  if (!TRANS(d.latt_transforms[k], s.crystal, s.list)) {
    s.shell.error_flag = 1;
    return;
  }
  s.crystal.cell_esd = {};
  s.crystal.volume_esd = 0;
  WRITE_MATFILE();
  d.lattice_system = d.latt_systems[k];
  d.lattice_centring = d.latt_centrings[k];
  d.lattice_cell = s.crystal.cell;
  if (d.lattice_system > 0) {
    WRITE_OUT(" CLSQ will offer the crystal system " + clsq_system_name(d.lattice_system) +
              " for this cell.");
  } else {
    WRITE_OUT(" Triclinic: CLSQ has no constraints for it; refine with LSQ.");
  }
}

}  // namespace

int taken_lattice_system() {
  const RefinementDialogs& d = S().refine;
  if (d.lattice_system <= 0) return 0;
  return same_cell(S().crystal.cell, d.lattice_cell) ? d.lattice_system : 0;
}

std::string clsq_system_name(int system) {
  switch (system) {
    case 1: return "1-Monoclinic (B-unique)";
    case 2: return "2-Monoclinic (C-unique)";
    case 3: return "3-Orthorhombic";
    case 4: return "4-Tetragonal";
    case 5: return "5-Hexagonal";
    case 6: return "6-Cubic";
    case 7: return "7-Rhombohedral";
    default: return "none";
  }
}

void RUN_AUTOINDEX() {
  ProgramState& s = S();
  ShellState& sh = s.shell;
  RefinementDialogs& d = s.refine;
  if (sh.continuation_code != kCodeInda) {
    const int used = used_count(s.list);
    if (used < kIndaMinimum) {
      WRITE_OUT(" Only" + I(used, 3) + " reflections with the USE flag set: INDA needs at least" +
                I(kIndaMinimum, 2));
      sh.error_flag = 1;
      return;
    }
    if (!(s.crystal.lambda1 > 0)) {
      WRITE_OUT(" No wavelength is set: INDA cannot turn angles into diffraction vectors");
      sh.error_flag = 1;
      return;
    }
    d.inda_step = 1;
    inda_prompt();
    return;
  }
  if (d.inda_step == 1) {
    inda_search(sh.command_argument);
    return;
  }
  end_dialogue();
  d.inda_step = 0;
  if (answered_yes(sh.command_argument)) {
    accept_autoindex();
  } else {
    WRITE_OUT(" Cell not accepted; nothing is changed.");
  }
}

void RUN_LATTICE() {
  ProgramState& s = S();
  ShellState& sh = s.shell;
  RefinementDialogs& d = s.refine;
  if (sh.continuation_code != kCodeLatt) {
    if (!cell_set(s.crystal)) {
      WRITE_OUT(" No cell is set: find one with INDA or enter one with CELL");
      sh.error_flag = 1;
      return;
    }
    d.latt_step = 1;
    latt_prompt();
    return;
  }
  if (d.latt_step == 1) {
    latt_list(sh.command_argument);
  } else {
    latt_take(sh.command_argument);
  }
}

}  // namespace dorvex
