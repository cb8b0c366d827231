// The refinement and cell-tool commands: LSQ, CLSQ, TRAN, INDC and TLSQ, with their dialogues
// through the continuation mechanism.
#include <algorithm>
#include <cmath>
#include <string>

#include "common/fields.hpp"
#include "geometry/matfile.hpp"
#include "geometry/clsq.hpp"
#include "geometry/indexing.hpp"
#include "geometry/lattice_commands.hpp"  // the crystal system LATT took
#include "geometry/lsq.hpp"
#include "geometry/matrix.hpp"
#include "geometry/tlsq.hpp"
#include "geometry/trans.hpp"
#include "geometry/commands.hpp"
#include "console/output.hpp"
#include "console/status.hpp"

namespace dorvex {

namespace {

constexpr int kCodeClsq = 16;
constexpr int kCodeTlsq = 19;
constexpr int kCodeTran = 21;
constexpr int kCodeIndc = 31;

// The neutral orientation a new matrix file starts with (UB = 0.1 times the unit matrix, so a
// 10 A cubic cell): INDC searching with it would index the reflections of some other crystal.
bool placeholder_crystal(const CrystalState& c) {
  const Mat3 neutral = Mat3::identity(0.1f);
  for (std::size_t i = 0; i < 9; ++i)
    if (std::fabs(c.UB.a[i] - neutral.a[i]) > 1e-6f) return false;
  return true;
}

// A yes/no answer: Yes when the first non-blank character is Y or y.
bool answered_yes(const std::string& line) {
  const std::string_view t = trim(line);
  return !t.empty() && (t[0] == 'Y' || t[0] == 'y');
}

int used_count() {
  const ReflectionList& list = S().list;
  int n = 0;
  for (int i = 0; i < std::min(list.count, kListSize); ++i)
    if (list.entry[static_cast<std::size_t>(i)].use != 0) ++n;
  return n;
}

// A single whole number from a line, or nothing.
bool read_choice(const std::string& line, long& value) {
  const IntListInput in = read_int_list(line);
  if (in.error || in.values.empty()) return false;
  value = in.values[0];
  return true;
}

void clsq_choice(bool readable, long choice) {
  ProgramState& s = S();
  if (readable && choice >= 1 && choice <= 7) {
    if (LSVEC(static_cast<int>(choice), s.crystal, s.list, s.profile, s.device) != 0)
      s.shell.error_flag = 1;
  } else {
    WRITE_OUT(" INVALID INPUT");
  }
  WRITE_OUT("");
}

void tran_row_prompt() {
  SET_PROMPT("TRAN: Input Row " + I(S().refine.tran_row, 1) + " of matrix>");
}

// After the three rows: the modulus, the singular and left-handed checks.
void tran_check_matrix() {
  ProgramState& s = S();
  RefinementDialogs& d = s.refine;
  WRITE_OUT("");
  float det = 0;
  int ierr = 0;
  MINV3(d.tran_matrix, det, ierr);
  WRITE_OUT(" Modulus of Transformation:" + F(det, 8, 2));
  if (std::fabs(det) <= 0.1f) {
    WRITE_OUT(" Transformation Matrix is Singular: Try Again.");
    WRITE_OUT("");
    d.tran_substate = 0;
    s.shell.continuation_code = 0;
    return;
  }
  if (det < 0) {
    WRITE_OUT(" Transformation to a Left-handed System");
    d.tran_substate = 2;
    SET_PROMPT("      Is That What You Really Wish (Y,<N>)?");
    return;
  }
  d.tran_substate = 3;
}

// Shows the cell that the transformation would give and asks whether to apply it.
void tran_show_cell() {
  ProgramState& s = S();
  std::array<double, 6> cell{};
  if (!transformed_cell(s.refine.tran_matrix, s.crystal.UB, cell)) {
    WRITE_OUT(" Invalid Orientation Matrix - Use COM");
    s.refine.tran_substate = 0;
    s.shell.continuation_code = 0;
    return;
  }
  WRITE_OUT(" Transformed Lattice Values: " + F(cell[0], 8, 4) + F(cell[1], 8, 4) +
            F(cell[2], 8, 4) + F(cell[3], 8, 2) + F(cell[4], 8, 2) + F(cell[5], 8, 2));
  s.refine.tran_substate = 3;
  SET_PROMPT(" Do You Wish to Apply Transformation<Y,N>?  ");
}

}  // namespace

void LSQ_COMMAND() { LSQ(false); }

void RUN_LSVEC() {
  ShellState& sh = S().shell;
  if (sh.continuation_code == 0) {
    long choice = 0;
    if (!trim(sh.command_argument).empty() && read_choice(sh.command_argument, choice)) {
      clsq_choice(true, choice);
      return;
    }
    if (used_count() < 3) {
      WRITE_OUT("Too Few Reflections with use flags set for Least Squares");
      sh.error_flag = 1;
      return;
    }
    WRITE_OUT("");
    WRITE_OUT("Crystal Systems: 1-Monoclinic (B-unique), 2-Monoclinic (C-unique)");
    WRITE_OUT("3-Orthorhombic, 4-Tetragonal, 5-Hexagonal, 6-Cubic, 7-Rhombohedral");
    if (const int taken = taken_lattice_system(); taken > 0)
      WRITE_OUT(" Lattice taken with LATT: " + clsq_system_name(taken) +
                " (an empty line takes it)");
    sh.continuation_code = kCodeClsq;
    SET_PROMPT("CLSQ: Input choice>");
    return;
  }
  sh.continuation_code = 0;
  long choice = taken_lattice_system();
  if (choice > 0 && trim(sh.command_argument).empty()) {
    clsq_choice(true, choice);
    return;
  }
  const bool readable = read_choice(sh.command_argument, choice);
  clsq_choice(readable, choice);
}

void RUN_TRANS() {
  ProgramState& s = S();
  ShellState& sh = s.shell;
  RefinementDialogs& d = s.refine;
  if (sh.continuation_code == 0) {
    WRITE_OUT("");
    WRITE_OUT(" Cell Transformation, Type Matrix by Row:");
    WRITE_OUT("");
    d.tran_substate = 1;
    d.tran_row = 1;
    d.tran_matrix = Mat3{};
    sh.continuation_code = kCodeTran;
    tran_row_prompt();
    return;
  }
  switch (d.tran_substate) {
    case 1: {
      if (trim(sh.command_argument).empty()) {  // an empty row leaves the cell as it was
        WRITE_OUT(" TRAN cancelled: the cell is unchanged");
        d.tran_substate = 0;
        sh.continuation_code = 0;
        return;
      }
      const ListInput in = read_list(sh.command_argument);
      if (in.error || in.values.size() < 3) {
        tran_row_prompt();
        return;
      }
      const double sum =
          std::fabs(in.values[0]) + std::fabs(in.values[1]) + std::fabs(in.values[2]);
      if (sum < 0.01) {
        WRITE_OUT(" *****INVALID INPUT: TRY AGAIN");
        tran_row_prompt();
        return;
      }
      for (int j = 0; j < 3; ++j)
        d.tran_matrix(d.tran_row - 1, j) =
            static_cast<float>(in.values[static_cast<std::size_t>(j)]);
      if (d.tran_row < 3) {
        ++d.tran_row;
        tran_row_prompt();
        return;
      }
      tran_check_matrix();
      if (d.tran_substate == 3) tran_show_cell();
      return;
    }
    case 2:
      if (answered_yes(sh.command_argument)) {
        tran_show_cell();
      } else {
        d.tran_substate = 0;
        sh.continuation_code = 0;
      }
      return;
    case 3:
      if (answered_yes(sh.command_argument)) {
        WRITE_OUT(" Transforming Cell and List Indices");
        if (TRANS(d.tran_matrix, s.crystal, s.list))
          WRITE_MATFILE();
        else
          sh.error_flag = 1;
      }
      d.tran_substate = 0;
      sh.continuation_code = 0;
      return;
    default:
      WARNING("ERROR IN RUN_COM, IQ = " + I(d.tran_substate, 5));
      d.tran_substate = 0;
      sh.continuation_code = 0;
      return;
  }
}

void INDXC() {
  ProgramState& s = S();
  ShellState& sh = s.shell;
  if (sh.continuation_code == 0) {
    if (used_count() < 3) {
      WRITE_OUT("Number of Reflections is too small for INDC");
      sh.error_flag = 1;
      return;
    }
    if (placeholder_crystal(s.crystal)) {
      WRITE_OUT(" The cell is still 10 A cubic with a neutral orientation, the placeholder of a "
                "new matrix file:");
      WRITE_OUT(" INDC searches with the crystal's cell: type it with CELL first, or let INDA "
                "find it. - leaves.");
    }
    sh.continuation_code = kCodeIndc;
    SET_PROMPT("Tolerance for 2Theta and Eulerian angles  <1.0,1.0>: ");
    return;
  }
  const ListInput in = read_list(sh.command_argument);
  // A tolerance beyond the range of a real (such as 1E40) is as unreadable as a word.
  bool finite = true;
  for (std::size_t k = 0; k < std::min<std::size_t>(2, in.values.size()); ++k)
    finite = finite && std::isfinite(static_cast<float>(in.values[k]));
  if (in.error || !finite) {
    SET_PROMPT("Error on input, try again:");
    return;
  }
  sh.continuation_code = 0;
  RefinementDialogs& d = s.refine;
  if (in.values.size() >= 1) d.indc_tth_tolerance = static_cast<float>(in.values[0]);
  if (in.values.size() >= 2) d.indc_psi_tolerance = static_cast<float>(in.values[1]);
  // A tolerance of zero (or a nonsensical negative one) means the default of one degree.
  if (!(d.indc_tth_tolerance > 0)) d.indc_tth_tolerance = 1.0f;
  if (!(d.indc_psi_tolerance > 0)) d.indc_psi_tolerance = 1.0f;
  if (GENUB(s.crystal, s.list, s.profile, d.indc_tth_tolerance, d.indc_psi_tolerance) != INDC_FOUND)
    sh.error_flag = 1;
}

void RUN_TTHREFINE() {
  ProgramState& s = S();
  ShellState& sh = s.shell;
  if (sh.continuation_code == 0) {
    WRITE_OUT("");
    WRITE_OUT(" Unit-cell refinement to 2Theta only");
    WRITE_OUT("Crystal Systems:  0 - Triclinic 1-Monoclinic (B-unique), 2-Monoclinic (C-unique)");
    WRITE_OUT("3-Orthorhombic, 4-Tetragonal, 5-Hexagonal, 6-Cubic");
    sh.continuation_code = kCodeTlsq;
    SET_PROMPT("TLSQ: Input choice>");
    return;
  }
  sh.continuation_code = 0;
  long choice = -1;
  if (!read_choice(sh.command_argument, choice) || choice < 0 || choice > 6) {
    WRITE_OUT("INVALID INPUT");
    return;
  }
  if (TTHREFINE(static_cast<int>(choice), s.crystal, s.list) != 0) sh.error_flag = 1;
}

}  // namespace dorvex
