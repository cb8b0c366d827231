// The orientation commands: COM (UB from two listed reflections), CELL, OM, UBIM, UBEX (cell
// and UB input and the preloaded transformations), CALC and INDX (indices to angles and back)
// and ANGL (angles between the listed reflections).
//
// Every change of UB or the cell re-derives cell, volume and B and rewrites the matrix file.
#include "geometry/orient_commands.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "common/fields.hpp"
#include "geometry/matfile.hpp"       // WRITE_MATFILE
#include "geometry/cell.hpp"
#include "geometry/matrix.hpp"
#include "geometry/limits.hpp"   // SOFTLIMITS
#include "geometry/commands.hpp"
#include "geometry/display.hpp"       // DISPLAY_CELL
#include "console/output.hpp"
#include "console/status.hpp"        // SET_PROMPT

namespace dorvex {

namespace {

enum : int {
  CODE_CALC = 1, CODE_INDX = 15, CODE_CELL = 17, CODE_OM = 18, CODE_COM = 20, CODE_UBIM = 38,
  CODE_UBEX = 48
};

constexpr double kDegree = 57.2958;

constexpr const char* kCalcPrompt = "CALC: Enter h,k,l>";
constexpr const char* kIndxPrompt = "INDX: Enter angles>";
constexpr const char* kCellPrompt = "CELL: Input new cell>";
constexpr const char* kComListPrompt = "COM: Input List Numbers of 2 Reflections>";
constexpr const char* kComAnswerPrompt = "COM: Do You Wish to Update Matrix<Y,N>?";
constexpr const char* kChoicePrompt = " Input choice of matrix>";
constexpr const char* kInputError = "Error on input, try again:";

int& code() { return S().shell.continuation_code; }
const std::string& argument() { return S().shell.command_argument; }
bool blank_line() { return trim(argument()).empty(); }

// Numbers of a typed line; values beyond any sensible magnitude count as a read error.
ListInput read_numbers(std::string_view text) {
  ListInput in = read_list(text);
  for (double v : in.values)
    if (std::fabs(v) > 1.0e30) in.error = true;
  return in;
}

float angle_between(const Vec3& a, const Vec3& b) {
  const double den = std::sqrt(static_cast<double>(dot(a, a)) * dot(b, b));
  double c = den > 0.0 ? dot(a, b) / den : NAN;
  if (c > 1.0) c = 1.0;
  if (c < -1.0) c = -1.0;
  return static_cast<float>(std::acos(c) * kDegree);
}

// Determinant of a frame built by ORTHOG: 1 for a true frame, 0 when the two vectors that
// built it were parallel (or null).
float frame_determinant(const Mat3& t) {
  const Vec3 c1{t(0, 0), t(1, 0), t(2, 0)}, c2{t(0, 1), t(1, 1), t(2, 1)},
      c3{t(0, 2), t(1, 2), t(2, 2)};
  return dot(c1, VCROSS(c2, c3));
}

std::string matrix_row(const Mat3& m, int row, int width, int decimals) {
  return F(m(row, 0), width, decimals) + F(m(row, 1), width, decimals) +
         F(m(row, 2), width, decimals);
}

// Sets UB (shown first when asked), re-derives the cell (shown unless quiet) and rewrites the
// matrix file. A UB from which no cell follows is not kept.
bool accept_ub(const Mat3& ub, bool quiet, bool show_ub = false) {
  CrystalState& crystal = S().crystal;
  const Mat3 old = crystal.UB;
  crystal.UB = ub;
  if (show_ub) DISPLAY_UB();
  if (!OMTOB(crystal, quiet)) {
    crystal.UB = old;
    return false;
  }
  WRITE_MATFILE();
  return true;
}

// ---- COM -------------------------------------------------------------------------------------

struct ComDialogue {
  int step = 0;  // 1 list numbers, 2 and 3 indices of the first and second reflection, 4 answer
  int i = 0, j = 0;
  Vec3 h1{}, h2{};
  Mat3 ub;
};
ComDialogue com;

std::string com_hkl_prompt(int number) {
  return "COM: Input hkl for reflection" + I(number, 3) + ">";
}

// Indices of a list entry, rounded; false when the entry has none.
bool entry_indices(int number, Vec3& h) {
  const ReflectionEntry& e = S().list.entry[static_cast<std::size_t>(number - 1)];
  if (NINT(std::fabs(e.h) + std::fabs(e.k) + std::fabs(e.l)) == 0) return false;
  h = {static_cast<float>(NINT(e.h)), static_cast<float>(NINT(e.k)),
       static_cast<float>(NINT(e.l))};
  return true;
}

void com_end() {
  com.step = 0;
  code() = 0;
}

void com_calculate() {
  float observed = 0.0f, calculated = 0.0f;
  if (CALCOM(current_geometry(), S().list, com.i, com.j, com.h1, com.h2, observed, calculated,
             com.ub) != 0) {
    com_end();
    return;
  }
  WRITE_OUT(" Observed Angle:" + F(observed, 8, 2) + ",    Calculated:" + F(calculated, 8, 2));
  WRITE_OUT("");
  WRITE_OUT(" Orientation Matrix:");
  for (int row = 0; row < 3; ++row) WRITE_OUT(matrix_row(com.ub, row, 12, 5));
  com.step = 4;
  SET_PROMPT(kComAnswerPrompt);
}

// After the first triple is known: ask for the second or calculate.
void com_second() {
  if (entry_indices(com.j, com.h2)) {
    com_calculate();
  } else {
    com.step = 3;
    SET_PROMPT(com_hkl_prompt(com.j));
  }
}

void com_list_numbers() {
  const IntListInput in = read_int_list(argument());
  if (in.error || in.values.size() < 2) {
    SET_PROMPT(kComListPrompt);
    return;
  }
  const long i = in.values[0], j = in.values[1];
  const int count = S().list.count;
  const char* problem = nullptr;
  if (i <= 0 || j <= 0)
    problem = " *****INVALID INPUT: REFLN NUMBERS MUST BE POSITIVE";
  else if (i > count || j > count)
    problem = " *****INVALID INPUT: REFLN NUMBERS BEYOND END OF LIST";
  else if (i == j)
    problem = " *****INVALID INPUT: REFLN NUMBERS MUST NOT BE EQUAL";
  if (problem != nullptr) {
    WRITE_OUT(problem);
    SET_PROMPT(kComListPrompt);
    return;
  }
  com.i = static_cast<int>(i);
  com.j = static_cast<int>(j);
  if (entry_indices(com.i, com.h1)) {
    com_second();
  } else {
    com.step = 2;
    SET_PROMPT(com_hkl_prompt(com.i));
  }
}

// Three integer indices, not all zero; anything else repeats the prompt.
bool com_read_hkl(Vec3& h, int number) {
  const IntListInput in = read_int_list(argument());
  if (in.error || in.values.size() < 3 ||
      std::labs(in.values[0]) + std::labs(in.values[1]) + std::labs(in.values[2]) == 0 ||
      std::labs(in.values[0]) > 1000000 || std::labs(in.values[1]) > 1000000 ||
      std::labs(in.values[2]) > 1000000) {
    SET_PROMPT(com_hkl_prompt(number));
    return false;
  }
  h = {static_cast<float>(in.values[0]), static_cast<float>(in.values[1]),
       static_cast<float>(in.values[2])};
  return true;
}

// ---- OM and UBIM -----------------------------------------------------------------------------

struct MatrixDialogue {
  int line = 0;  // row being typed 1..3, 4 the choice of UBIM
  Mat3 m;
};
MatrixDialogue typed;

std::string ub_line_prompt(const char* command, int line) {
  return std::string(command) + ": Input UB line " + I(line, 1) + ">";
}

// One row of the matrix being typed. Returns 1 when the row was taken, 0 when it must be typed
// again, -1 when its diagonal element is zero (the dialogue ends with nothing changed).
int read_ub_row(const char* command) {
  const ListInput in = read_numbers(argument());
  if (in.error || (!in.values.empty() && in.values.size() < 3)) {
    SET_PROMPT(ub_line_prompt(command, typed.line));
    return 0;
  }
  Vec3 row{};
  for (std::size_t k = 0; k < in.values.size() && k < 3; ++k)
    row[k] = static_cast<float>(in.values[k]);
  const int r = typed.line - 1;
  if (std::fabs(row[static_cast<std::size_t>(r)]) < 1.0e-6f) return -1;
  for (int c = 0; c < 3; ++c) typed.m(r, c) = row[static_cast<std::size_t>(c)];
  return 1;
}

// Number of preloaded transformations, never more than the table holds.
int transformation_count() {
  const MachineProfile& p = S().profile;
  return std::clamp(p.ubtran_count, 0, static_cast<int>(p.ubtran.size()));
}

void list_transformations(const char* zero_line) {
  WRITE_OUT("     The preloaded transformation matrices are:");
  WRITE_OUT(zero_line);
  const MachineProfile& p = S().profile;
  const int count = transformation_count();
  for (int k = 1; k <= count; ++k)
    WRITE_OUT(I(k, 5) + ":" + A(p.ubtran[static_cast<std::size_t>(k - 1)].name, 40));
}

// The matrix choice: a whole number (a blank line is 0); nothing when it cannot be read.
std::optional<long> read_choice() {
  if (blank_line()) return 0L;
  const IntListInput in = read_int_list(argument());
  if (in.error || in.values.empty()) return std::nullopt;
  return in.values[0];
}

// ---- CALC ------------------------------------------------------------------------------------

void print_angles(const std::string& head, const AngleSet& a) {
  WRITE_OUT(head + F(a[0], 9, 3) + F(a[1], 9, 3) + F(a[2], 9, 3) + F(a[3], 9, 3));
}

// One CALC line. Returns false when the line ends the dialogue (null indices).
enum class CalcLine { done, stop, unreadable };

CalcLine calc_line() {
  const std::string& text = argument();
  const std::size_t letter = text.find_first_of("Aa");
  const bool all = letter != std::string::npos;
  const ListInput in = read_numbers(all ? std::string_view(text).substr(0, letter) : text);
  if (in.error) return CalcLine::unreadable;
  double v[4] = {0, 0, 0, 1};
  for (std::size_t k = 0; k < in.values.size() && k < 4; ++k) v[k] = in.values[k];
  if (std::fabs(v[0]) + std::fabs(v[1]) + std::fabs(v[2]) <= 0.001) return CalcLine::stop;
  if (in.values.size() < 3 || (all && in.values.size() > 3)) return CalcLine::unreadable;
  const double pos = v[3];
  if (pos != std::floor(pos) || pos < 1 || pos > 8) return CalcLine::unreadable;

  const Geometry g = current_geometry();
  AngleSet& target = S().motion.target;
  const Vec3 h{static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
  const Vec3 x = CALPHI(S().crystal.UB, h);
  // The setting before the limit check, from which the equivalent positions are derived.
  AngleSet setting{};
  if (calca_setting(g, x, setting) != 0) {
    WRITE_OUT(" OUT-OF-BOUNDS");
    target = {};
    return CalcLine::done;
  }
  if (all) {
    target = setting;
    if (SOFTLIMITS(g.profile, g.device, target, 0) != 0) {
      WRITE_OUT(" OUT-OF-BOUNDS");
      target = {};
    }
    WRITE_OUT(" The 8 equivalent positions are:");
    for (int p = 1; p <= 8; ++p) {
      AngleSet e = setting;
      GET_ZREF(e, p);
      if (SOFTLIMITS(g.profile, g.device, e, 0) != 0)
        WRITE_OUT(I(p, 5) + ": out-of-bounds");
      else
        print_angles(I(p, 5) + ":", e);
    }
    return CalcLine::done;
  }
  target = setting;
  GET_ZREF(target, static_cast<int>(pos));
  if (SOFTLIMITS(g.profile, g.device, target, 0) != 0) {
    WRITE_OUT(" OUT-OF-BOUNDS");
    target = {};
  } else {
    print_angles(" Calculated Angles:", target);
  }
  return CalcLine::done;
}

// ---- INDX ------------------------------------------------------------------------------------

CalcLine indx_line() {
  const ListInput in = read_numbers(argument());
  if (in.error || in.values.empty()) return CalcLine::unreadable;
  AngleSet a{};
  for (std::size_t k = 0; k < in.values.size() && k < 4; ++k)
    a[k] = static_cast<float>(in.values[k]);
  if (std::fabs(a[0]) <= 0.001f || std::fabs(a[0]) > 180.0f) return CalcLine::stop;
  if (in.values.size() < 4) return CalcLine::unreadable;
  const Vec3 h = HCALC(current_geometry(), a);
  WRITE_OUT(" Indices: " + F(h[0], 8, 3) + F(h[1], 8, 3) + F(h[2], 8, 3));
  WRITE_OUT("");
  return CalcLine::done;
}

// The dialogue of CALC and INDX: text after the command is worked once; the command alone
// opens a dialogue that ends with an empty line or the stop value.
void one_line_dialogue(int own_code, const char* prompt, CalcLine (*work)()) {
  if (code() == 0 && blank_line()) {
    code() = own_code;
    SET_PROMPT(prompt);
    return;
  }
  if (code() != 0 && blank_line()) {
    code() = 0;
    return;
  }
  const bool one_shot = code() == 0;
  switch (work()) {
    case CalcLine::stop: code() = 0; break;
    case CalcLine::unreadable:
      if (one_shot) {
        // Typed with the command: said at once, rather than turning the next commands into
        // answers of a question.
        WRITE_OUT(" Error on input: " + std::string(trim(argument())) + " cannot be read");
        code() = 0;
        break;
      }
      code() = own_code;
      SET_PROMPT(kInputError);
      break;
    case CalcLine::done:
      if (code() != 0) SET_PROMPT(prompt);
      break;
  }
}

}  // namespace

int CALCOM(const Geometry& g, const ReflectionList& list, int i, int j, const Vec3& h1,
           const Vec3& h2, float& observed, float& calculated, Mat3& UB) {
  if (i < 1 || j < 1 || i > list.count || j > list.count) return 1;
  AngleSet a1 = list.entry[static_cast<std::size_t>(i - 1)].angles;
  AngleSet a2 = list.entry[static_cast<std::size_t>(j - 1)].angles;
  // Only the direction of a measured vector matters: a missing 2theta is replaced.
  if (a1[0] <= 0.0f) a1[0] = 20.0f;
  if (a2[0] <= 0.0f) a2[0] = 20.0f;
  const Vec3 x1 = CALCH(g, a1), x2 = CALCH(g, a2);
  observed = angle_between(x1, x2);

  const Vec3 c1 = MULTMV(g.crystal.B, h1), c2 = MULTMV(g.crystal.B, h2);
  // A null vector means no cell (B empty) or null indices. Vectors that merely cancel each
  // other (1 0 0 and -1 0 0) are parallel and are refused below as degenerate.
  if (RLENGTH(c1) < 1.0e-5f || RLENGTH(c2) < 1.0e-5f) {
    WRITE_OUT(" INVALID UB MATRIX OR NO UNIT CELL GIVEN");
    return 1;
  }
  calculated = angle_between(c1, c2);

  const Mat3 tphi = ORTHOG(x1, x2);
  const Mat3 tc = ORTHOG(c1, c2);
  float det = 0.0f;
  int ierr = 0;
  const Mat3 tc_inverse = MINV3(tc, det, ierr);
  // Parallel measured vectors give no plane either: U would be singular.
  if (ierr != 0 || det == 0.0f || frame_determinant(tphi) < 0.5f) {
    WRITE_OUT(" DEGENERATE SYSTEM");
    return 1;
  }
  UB = LWMATMUL(LWMATMUL(tphi, tc_inverse), g.crystal.B);
  return 0;
}

void RUN_CALCOM() {
  if (code() == 0) {
    com = ComDialogue{};
    com.step = 1;
    code() = CODE_COM;
    if (blank_line()) {
      SET_PROMPT(kComListPrompt);
      return;
    }
  } else if (blank_line()) {
    com_end();  // an empty line ends the dialogue, as the last answer it is No
    return;
  }
  switch (com.step) {
    case 1: com_list_numbers(); break;
    case 2:
      if (com_read_hkl(com.h1, com.i)) com_second();
      break;
    case 3:
      if (com_read_hkl(com.h2, com.j)) com_calculate();
      break;
    case 4: {
      const std::string_view answer = trim(argument());
      if (!answer.empty() && (answer[0] == 'Y' || answer[0] == 'y')) accept_ub(com.ub, true);
      com_end();
      break;
    }
    default:
      WARNING("ERROR IN RUN_COM, IQ = " + I(com.step, 5));
      com_end();
      break;
  }
}

void GETCELL() {
  // The values of the last CELL input: a line with fewer than six numbers keeps the rest.
  Cell& last = S().crystal.cell_typed;
  if (code() == 0) {
    DISPLAY_CELL();
    code() = CODE_CELL;
    SET_PROMPT(kCellPrompt);
    return;
  }
  if (blank_line()) {  // nothing typed: nothing changes
    code() = 0;
    return;
  }
  const ListInput in = read_numbers(argument());
  if (in.error) {
    SET_PROMPT(kCellPrompt);
    return;
  }
  code() = 0;
  for (std::size_t k = 0; k < in.values.size() && k < 6; ++k)
    last[k] = static_cast<float>(in.values[k]);
  if (std::fabs(last[0]) <= 0.001f) return;
  Cell cell = last;
  for (std::size_t k = 3; k < 6; ++k)
    if (std::fabs(cell[k]) < 1.0f) cell[k] = 90.0f;
  Mat3 B;
  if (!CALCB(cell, B)) return;  // an impossible cell leaves the crystal as it was
  CrystalState& crystal = S().crystal;
  // An orientation found from reflections (UB other than B of the cell) is lost here: say so.
  bool oriented = false;
  for (std::size_t k = 0; k < 9; ++k)
    oriented = oriented || std::fabs(crystal.UB.a[k] - crystal.B.a[k]) > 1e-5f;
  crystal.cell = cell;
  crystal.B = B;
  crystal.UB = B;
  OMTOB(crystal, true);  // volume
  WRITE_MATFILE();
  if (oriented)
    WRITE_OUT("  The refined orientation matrix is replaced: UB is now B of the new cell "
              "(COM or LSQ orient it again)");
  DISPLAY_CELL();
}

void ENTOM() {
  if (code() == 0) {
    WRITE_OUT("");
    WRITE_OUT("Enter new UB on 3 lines:");
    WRITE_OUT("");
    typed = MatrixDialogue{};
    typed.line = 1;
    code() = CODE_OM;
    SET_PROMPT(ub_line_prompt("OM", 1));
    return;
  }
  const int taken = read_ub_row("OM");
  if (taken == 0) return;
  if (taken < 0) {
    code() = 0;
    return;
  }
  if (typed.line < 3) {
    ++typed.line;
    SET_PROMPT(ub_line_prompt("OM", typed.line));
    return;
  }
  code() = 0;
  accept_ub(typed.m, false);
}

void UBIMPORT() {
  if (code() == 0) {
    WRITE_OUT("     Import Utility for UB matrices");
    WRITE_OUT("Enter UB on 3 lines (0,0,0 exits):");
    typed = MatrixDialogue{};
    typed.line = 1;
    code() = CODE_UBIM;
    SET_PROMPT(ub_line_prompt("UBIM", 1));
    return;
  }
  if (typed.line <= 3) {
    const int taken = read_ub_row("UBIM");
    if (taken == 0) return;
    if (taken < 0) {
      code() = 0;
      return;
    }
    ++typed.line;
    if (typed.line <= 3) {
      SET_PROMPT(ub_line_prompt("UBIM", typed.line));
    } else {
      list_transformations("   0: No transformation");
      SET_PROMPT(kChoicePrompt);
    }
    return;
  }
  const std::optional<long> choice = read_choice();
  if (!choice) {
    SET_PROMPT(kChoicePrompt);
    return;
  }
  code() = 0;
  const long k = std::max(*choice, 0L);
  // A choice beyond the preloaded matrices keeps UB; it is shown and saved all the same.
  const MachineProfile& p = S().profile;
  Mat3 ub = S().crystal.UB;
  if (k == 0)
    ub = typed.m;
  else if (k <= transformation_count())
    ub = LWMATMUL(p.ubtran[static_cast<std::size_t>(k - 1)].m, typed.m);
  accept_ub(ub, false, true);
}

void UBEXPORT() {
  if (code() == 0) {
    WRITE_OUT("Export Utility for UB matrices");
    list_transformations("     0: No transformation");
    code() = CODE_UBEX;
    SET_PROMPT(kChoicePrompt);
    return;
  }
  const std::optional<long> choice = read_choice();
  if (!choice) {
    SET_PROMPT(kChoicePrompt);
    return;
  }
  code() = 0;
  const long k = std::max(*choice, 0L);
  const MachineProfile& p = S().profile;
  if (k > transformation_count()) return;
  Mat3 out = S().crystal.UB;
  if (k > 0) {
    float det = 0.0f;
    int ierr = 0;
    const Mat3 inverse = MINV3(p.ubtran[static_cast<std::size_t>(k - 1)].m, det, ierr);
    if (ierr != 0 || det == 0.0f) return;  // a singular transformation has no inverse to show
    out = LWMATMUL(inverse, out);
  }
  WRITE_OUT("   The transformed matrix is:");
  for (int row = 0; row < 3; ++row) WRITE_OUT("     " + matrix_row(out, row, 10, 5));
}

void ANGCAL() { one_line_dialogue(CODE_CALC, kCalcPrompt, calc_line); }

void GETIDX() { one_line_dialogue(CODE_INDX, kIndxPrompt, indx_line); }

void ANGLETABLE() {
  const ReflectionList& list = S().list;
  const Geometry g = current_geometry();
  std::vector<int> used;  // list numbers
  std::vector<Vec3> x;
  for (int n = 1; n <= list.count; ++n) {
    const ReflectionEntry& e = list.entry[static_cast<std::size_t>(n - 1)];
    if (e.use == 0) continue;
    AngleSet a = e.angles;
    used.push_back(n);
    x.push_back(CALCH(g, a));
  }
  const std::size_t count = used.size();
  for (std::size_t first = 0; first < count; first += 12) {
    const std::size_t last = std::min(first + 12, count);
    std::string header = "    ";
    for (std::size_t c = first; c < last; ++c) header += I(used[c], 6);
    WRITE_OUT("");
    WRITE_OUT(header);
    for (std::size_t r = first + 1; r < count; ++r) {
      std::string row = I(used[r], 3) + ":";
      for (std::size_t c = first; c < last && c < r; ++c) row += F(angle_between(x[r], x[c]), 6, 1);
      WRITE_OUT(row);
    }
  }
}

}  // namespace dorvex
