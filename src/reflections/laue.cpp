// INL: adds to the reflection list every equivalent of a reflection under a Laue group that is
// not yet there (nor its Friedel opposite), each with its calculated angles.
#include "reflections/laue.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "common/fields.hpp"
#include "geometry/matfile.hpp"     // WRITE_MATFILE
#include "geometry/angles.hpp"   // CALPHI, CALCA
#include "reflections/commands.hpp"    // DISPLAY_LIST
#include "console/output.hpp"
#include "console/status.hpp"      // SET_PROMPT

namespace dorvex {

namespace {

constexpr int kCodeInl = 40;
constexpr const char* kGroupPrompt = "INL: Enter Laue group>";
constexpr const char* kHklPrompt = "INL: Enter h,k,l>";

constexpr std::array<const char*, 12> kSymbols = {"-1   ", "2/M  ", "MMM  ", "4/M  ",
                                                  "4/MMM", "-3   ", "-3M1 ", "-31M ",
                                                  "6/M  ", "6/MMM", "M3   ", "M3M  "};

// Generators 2..8 as rows of the matrix that multiplies the index row vector.
using Rows = std::array<std::array<float, 3>, 3>;
constexpr std::array<Rows, 9> kGenerators = {{
    {},                                      // 0, 1: unused
    {},
    {{{1, 0, 0}, {0, -1, 0}, {0, 0, 1}}},    // 2: k -> -k
    {{{1, 0, 0}, {0, 1, 0}, {0, 0, -1}}},    // 3: l -> -l
    {{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}},    // 4: fourfold about c
    {{{0, 1, 0}, {1, 0, 0}, {0, 0, 1}}},     // 5: h <-> k
    // 6: threefold about c on hexagonal axes, (h, k, l) -> (k, -h-k, l). It keeps
    // h^2 + hk + k^2, so the d-spacing of every hexagonal reflection is kept.
    {{{0, -1, 0}, {1, -1, 0}, {0, 0, 1}}},
    {{{0, 1, 0}, {1, 0, 0}, {0, 0, -1}}},    // 7: h <-> k, l -> -l
    {{{0, 1, 0}, {0, 0, 1}, {1, 0, 0}}},     // 8: threefold along the body diagonal
}};

// Generators of each Laue group, in the order of kSymbols.
const std::array<std::vector<int>, 12> kGroupGenerators = {{
    {}, {2}, {2, 3}, {3, 4}, {3, 4, 5}, {6}, {6, 7}, {5, 6}, {3, 6}, {3, 6, 7}, {2, 3, 8},
    {2, 3, 8, 7},
}};

SymOp from_rows(const Rows& rows) {
  SymOp op;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      op.r(i, j) = rows[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
  return op;
}

float reduce(float t) {
  t -= std::floor(t);
  return t;
}

// Appends op unless the set holds it already; false when there is no room.
bool add_if_new(std::vector<SymOp>& ops, const SymOp& op, bool& added) {
  for (const SymOp& o : ops)
    if (EQOP(o, op)) return true;
  if (ops.size() >= static_cast<std::size_t>(kMaxOperators)) return false;
  ops.push_back(op);
  added = true;
  return true;
}

// Closes the set under products, both orders, until nothing new appears.
void close_group(std::vector<SymOp>& ops) {
  bool added = true;
  while (added) {
    added = false;
    for (std::size_t a = 0; a < ops.size(); ++a)
      for (std::size_t b = 0; b < ops.size(); ++b) {
        SymOp p = GMPRD(ops[a], ops[b]);
        for (float& t : p.t) t = reduce(t);
        if (!add_if_new(ops, p, added)) return;
      }
  }
}

Vec3 apply(const SymOp& op, const Vec3& h) {
  Vec3 out{};
  for (int i = 0; i < 3; ++i)
    out[static_cast<std::size_t>(i)] = op.r(0, i) * h[0] + op.r(1, i) * h[1] + op.r(2, i) * h[2];
  return out;
}

bool same_or_opposite(const Vec3& a, const Vec3& b) {
  const float d = std::fabs(a[0] - b[0]) + std::fabs(a[1] - b[1]) + std::fabs(a[2] - b[2]);
  const float s = std::fabs(a[0] + b[0]) + std::fabs(a[1] + b[1]) + std::fabs(a[2] + b[2]);
  return d < 0.01f || s < 0.01f;
}

// INL dialogue: step 1 the Laue group, step 2 the reflections.
struct InlDialogue {
  int step = 0;
  std::vector<SymOp> ops;
};
InlDialogue inl;

void end_inl() {
  inl.step = 0;
  S().shell.continuation_code = 0;
  DISPLAY_LIST();
}

void choose_group(std::string_view text) {
  if (GET_LAUE_GROUP(text, inl.ops) == 0) {
    end_inl();
    return;
  }
  inl.step = 2;
  S().shell.continuation_code = kCodeInl;
  SET_PROMPT(kHklPrompt);
}

std::string rounded_hkl(const Vec3& h) {
  return I(NINT(h[0]), 4) + I(NINT(h[1]), 4) + I(NINT(h[2]), 4);
}

void insert_equivalents(const Vec3& h) {
  LaueIteration it;
  INIT_LAUE(it);
  const Geometry g = current_geometry();
  int offered = 0;
  Vec3 e{};
  while (GET_LAUE_REFLECTION(inl.ops, S().list, h, it, e)) {
    ++offered;
    AngleSet angles{};
    if (CALCA(g, CALPHI(S().crystal.UB, e), angles) != 0) {
      WRITE_OUT(" REFLECTION " + rounded_hkl(e) + " OUT-OF-BOUNDS");
      continue;
    }
    ReflectionList& list = S().list;
    if (list.count >= kListSize) {
      WRITE_OUT("REFLECTION LIST FULL");
      continue;
    }
    ReflectionEntry& entry = list.entry[static_cast<std::size_t>(list.count)];
    entry = ReflectionEntry{};
    entry.h = e[0];
    entry.k = e[1];
    entry.l = e[2];
    entry.angles = angles;
    entry.ref = 0;
    entry.use = 1;
    entry.intensity = 0;
    ++list.count;
    WRITE_MATFILE();
    WRITE_OUT(" REFLECTION " + rounded_hkl(e) + " ADDED TO LIST");
  }
  if (offered == 0) WRITE_OUT(" ALL EQUIVALENTS ALREADY IN LIST");
}

}  // namespace

SymOp GMPRD(const SymOp& a, const SymOp& b) {
  // Row-vector convention: applying a then b is h (a.r) (b.r); translations follow along.
  SymOp c;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      float s = 0.0f;
      for (int k = 0; k < 3; ++k) s += a.r(i, k) * b.r(k, j);
      c.r(i, j) = s;
    }
  for (int j = 0; j < 3; ++j) {
    float s = b.t[static_cast<std::size_t>(j)];
    for (int k = 0; k < 3; ++k) s += a.t[static_cast<std::size_t>(k)] * b.r(k, j);
    c.t[static_cast<std::size_t>(j)] = s;
  }
  return c;
}

bool EQOP(const SymOp& a, const SymOp& b) {
  for (std::size_t k = 0; k < 9; ++k)
    if (std::fabs(a.r.a[k] - b.r.a[k]) > 0.0001f) return false;
  for (std::size_t k = 0; k < 3; ++k) {
    float d = reduce(a.t[k] - b.t[k]);
    if (d > 0.9995f) d = 0.0f;  // 0.9995 counts as a whole translation
    if (d > 0.0005f) return false;
  }
  return true;
}

int GET_LAUE_GROUP(std::string_view text, std::vector<SymOp>& ops) {
  ops.clear();
  const std::string key =
      pad(upper_shift(text.substr(0, std::min<std::size_t>(text.size(), 10))), 10);
  int group = 0;
  for (int n = 12; n >= 1 && group == 0; --n)
    if (key.find(kSymbols[static_cast<std::size_t>(n - 1)]) != std::string::npos) group = n;
  if (group == 0) return 0;
  ops.push_back(SymOp{Mat3::identity(), {}});
  ops.push_back(SymOp{Mat3::identity(-1.0f), {}});
  for (int g : kGroupGenerators[static_cast<std::size_t>(group - 1)]) {
    bool added = false;
    add_if_new(ops, from_rows(kGenerators[static_cast<std::size_t>(g)]), added);
    close_group(ops);
  }
  return group;
}

void INIT_LAUE(LaueIteration& it) { it = LaueIteration{}; }

bool GET_LAUE_REFLECTION(const std::vector<SymOp>& ops, const ReflectionList& list, const Vec3& h,
                         LaueIteration& it, Vec3& equivalent) {
  while (it.next < ops.size()) {
    const Vec3 e = apply(ops[it.next], h);
    ++it.next;
    bool present = false;
    for (int n = 0; n < list.count && !present; ++n) {
      const ReflectionEntry& entry = list.entry[static_cast<std::size_t>(n)];
      present = same_or_opposite(e, {entry.h, entry.k, entry.l});
    }
    // An equivalent that could not be added (out of bounds, full list) is offered once only.
    for (const Vec3& o : it.offered) present = present || same_or_opposite(e, o);
    if (present) continue;
    it.offered.push_back(e);
    equivalent = e;
    return true;
  }
  it.done = true;
  return false;
}

void INSERT_LAUE() {
  ShellState& shell = S().shell;
  const bool blank = trim(shell.command_argument).empty();
  if (shell.continuation_code == 0) {
    inl = InlDialogue{};
    if (blank) {
      inl.step = 1;
      shell.continuation_code = kCodeInl;
      SET_PROMPT(kGroupPrompt);
    } else {
      choose_group(shell.command_argument);
    }
    return;
  }
  if (blank) {
    end_inl();
    return;
  }
  if (inl.step == 1) {
    choose_group(shell.command_argument);
    return;
  }
  ListInput in = read_list(shell.command_argument);
  for (double v : in.values)
    if (std::fabs(v) > 1.0e6) in.error = true;
  if (in.error || in.values.size() < 3) {  // unreadable: the question stays
    SET_PROMPT(kHklPrompt);
    return;
  }
  const Vec3 h{static_cast<float>(in.values[0]), static_cast<float>(in.values[1]),
               static_cast<float>(in.values[2])};
  if (std::fabs(h[0]) + std::fabs(h[1]) + std::fabs(h[2]) <= 0.001f) {
    end_inl();
    return;
  }
  insert_equivalents(h);
  SET_PROMPT(kHklPrompt);
}

}  // namespace dorvex
