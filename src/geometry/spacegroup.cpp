// Space-group symbols. The fields of the symbol name symmetry elements along the symmetry
// directions of the crystal family (International Tables conventions). Each element is a
// rotation with its intrinsic (screw or glide) translation; where the axes and planes lie is
// not written in the symbol, so the locations are searched: an element is added to the group
// at each candidate location in turn, the group is closed modulo the lattice, and a location
// is kept when the closure has one translation per rotation and every element the symbol names
// is found with its written screw or glide component. The first consistent group is the
// space group in some origin; the origin is then moved to an inversion centre when there is
// one.
#include "geometry/spacegroup.hpp"

#include <cctype>
#include <cmath>
#include <string>
#include <vector>

namespace dorvex {

namespace {

constexpr int D = 48;  // translations are kept in 48ths: halves, thirds, quarters, sixths, eighths

using Rot = std::array<int, 9>;
using Tr = std::array<int, 3>;

struct Op {
  Rot r;
  Tr t;
};

constexpr Rot kIdentity{1, 0, 0, 0, 1, 0, 0, 0, 1};

int mod_d(int x) { return ((x % D) + D) % D; }

Rot mul(const Rot& a, const Rot& b) {
  Rot c{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) c[3 * i + j] += a[3 * i + k] * b[3 * k + j];
  return c;
}

Tr apply(const Rot& r, const Tr& t) {
  Tr u{};
  for (int i = 0; i < 3; ++i) u[i] = r[3 * i] * t[0] + r[3 * i + 1] * t[1] + r[3 * i + 2] * t[2];
  return u;
}

Rot neg(const Rot& r) {
  Rot m = r;
  for (int& x : m) x = -x;
  return m;
}

int det(const Rot& r) {
  return r[0] * (r[4] * r[8] - r[5] * r[7]) - r[1] * (r[3] * r[8] - r[5] * r[6]) +
         r[2] * (r[3] * r[7] - r[4] * r[6]);
}

// The lattice the translations are reduced by: integer vectors and the centring vectors.
struct Lattice {
  std::vector<Tr> centring;  // in 48ths, without the zero vector

  // The smallest representative of t modulo the lattice.
  Tr reduce(const Tr& t) const {
    Tr best{mod_d(t[0]), mod_d(t[1]), mod_d(t[2])};
    const Tr base = best;
    for (const Tr& c : centring) {
      Tr u{mod_d(base[0] + c[0]), mod_d(base[1] + c[1]), mod_d(base[2] + c[2])};
      if (u < best) best = u;
    }
    return best;
  }
  bool holds(const Tr& t) const { return reduce(t) == Tr{0, 0, 0}; }
};

// A symmetry element the symbol names: its rotation part and the intrinsic translations it
// may have (several where the symbol allows a choice, as for d and e glides). An empty list
// means no check (rotoinversions, which have a fixed point).
struct Element {
  Rot r;
  std::vector<Tr> intrinsic;
};

int order_of(const Rot& r) {
  Rot p = r;
  for (int n = 1; n <= 6; ++n) {
    if (p == kIdentity) return n;
    p = mul(p, r);
  }
  return 0;
}

// Does (r, t) - or the same operation combined with a lattice vector - have an intrinsic
// translation among `wanted`? The intrinsic part is the n-th power's translation over n.
bool has_intrinsic(const Rot& r, const Tr& t, const std::vector<Tr>& wanted, const Lattice& lat) {
  if (wanted.empty()) return true;
  const int n = order_of(r);
  if (n == 0) return false;
  std::vector<Tr> shifts{{0, 0, 0}};
  for (const Tr& c : lat.centring) shifts.push_back(c);
  for (const Tr& c : shifts) {
    for (int v = 0; v < 8; ++v) {
      Tr u{t[0] + c[0] + ((v & 1) != 0 ? D : 0), t[1] + c[1] + ((v & 2) != 0 ? D : 0),
           t[2] + c[2] + ((v & 4) != 0 ? D : 0)};
      Tr sum{};
      Rot p = kIdentity;
      for (int k = 0; k < n; ++k) {
        const Tr pu = apply(p, u);
        for (int i = 0; i < 3; ++i) sum[i] += pu[i];
        p = mul(p, r);
      }
      for (const Tr& e : wanted) {
        bool same = true;
        for (int i = 0; i < 3 && same; ++i) same = ((sum[i] - n * e[i]) % (n * D)) == 0;
        if (same) return true;
      }
    }
  }
  return false;
}

// A group closed modulo the lattice; at most 48 operations.
struct Search {
  Lattice lat;
  std::vector<Element> elements;
  std::vector<int> grid;   // the coordinates tried for the location of an element, in 48ths
  // Products allowed before the symbol is given up: every standard symbol needs far fewer
  // (under 20000); a symbol that names no group is refused in well under a second.
  long budget = 400000;
  std::vector<Op> result;

  // Closure of the generators; false when two translations meet on one rotation, when more
  // than 48 rotations arise, or when a rotation does not keep the centring.
  bool close(const std::vector<Op>& gens, std::vector<Op>& group) {
    group.assign(1, Op{kIdentity, {0, 0, 0}});
    for (std::size_t i = 0; i < group.size(); ++i) {
      for (const Op& g : gens) {
        if (--budget < 0) return false;
        const Op& e = group[i];
        Op p{mul(e.r, g.r), {}};
        const Tr rt = apply(e.r, g.t);
        p.t = lat.reduce({rt[0] + e.t[0], rt[1] + e.t[1], rt[2] + e.t[2]});
        bool found = false;
        for (const Op& q : group) {
          if (q.r == p.r) {
            if (q.t != p.t) return false;
            found = true;
            break;
          }
        }
        if (found) continue;
        if (group.size() >= 48) return false;
        for (const Tr& c : lat.centring)  // the rotation must keep the centred lattice
          if (!lat.holds(apply(p.r, c))) return false;
        group.push_back(p);
      }
    }
    return true;
  }

  // Candidate translations of an element: each intrinsic translation plus (I - R) s for the
  // locations s of the grid, reduced and without repeats.
  std::vector<Tr> candidates(const Element& el, bool first) const {
    std::vector<Tr> out;
    std::vector<Tr> intrinsic = el.intrinsic;
    if (intrinsic.empty()) intrinsic.push_back({0, 0, 0});
    const std::vector<int> origin{0};
    const std::vector<int>& g = first ? origin : grid;
    for (const Tr& e : intrinsic)
      for (int sx : g)
        for (int sy : g)
          for (int sz : g) {
            const Tr rs = apply(el.r, {sx, sy, sz});
            const Tr t = lat.reduce({e[0] + sx - rs[0], e[1] + sy - rs[1], e[2] + sz - rs[2]});
            bool seen = false;
            for (const Tr& u : out) seen = seen || u == t;
            if (!seen) out.push_back(t);
          }
    return out;
  }

  bool run(std::size_t index, std::vector<Op>& gens, const std::vector<Op>& group) {
    if (budget < 0) return false;
    if (index == elements.size()) {
      result = group;
      return true;
    }
    const Element& el = elements[index];
    for (const Op& q : group)
      if (q.r == el.r)
        return has_intrinsic(q.r, q.t, el.intrinsic, lat) && run(index + 1, gens, group);
    std::vector<Op> next;
    for (const Tr& t : candidates(el, gens.empty())) {
      gens.push_back(Op{el.r, t});
      const bool ok = close(gens, next) && has_intrinsic(el.r, t, el.intrinsic, lat) &&
                      run(index + 1, gens, next);
      gens.pop_back();
      if (ok) return true;
      if (budget < 0) return false;
    }
    return false;
  }
};

// ---------------------------------------------------------------------------------------------
// Reading the symbol.

struct Field {
  int rotation = 0;  // 1, 2, 3, 4, 6, or negative for a rotoinversion; 0 when only a plane
  int screw = 0;
  char plane = 0;    // m, a, b, c, n, d, e, or 0
};

bool is_plane(char c) {
  return c == 'm' || c == 'a' || c == 'b' || c == 'c' || c == 'n' || c == 'd' || c == 'e';
}

// One blank-separated group of characters: one field, or several run together.
bool read_fields(const std::string& word, std::vector<Field>& fields) {
  std::size_t i = 0;
  while (i < word.size()) {
    Field f;
    const char c = word[i];
    if (c == '-') {
      if (i + 1 >= word.size()) return false;
      const char d = word[i + 1];
      if (d != '1' && d != '3' && d != '4' && d != '6') return false;
      f.rotation = -(d - '0');
      i += 2;
    } else if (c == '1' || c == '2' || c == '3' || c == '4' || c == '6') {
      f.rotation = c - '0';
      ++i;
      if (i < word.size() && std::isdigit(static_cast<unsigned char>(word[i])) != 0 &&
          word[i] > '0' && word[i] - '0' < f.rotation) {
        f.screw = word[i] - '0';
        ++i;
      }
      if (i < word.size() && word[i] == '/') {
        if (i + 1 >= word.size() || !is_plane(word[i + 1]) || f.rotation == 1) return false;
        f.plane = word[i + 1];
        i += 2;
      }
    } else if (is_plane(c)) {
      f.plane = c;
      ++i;
    } else {
      return false;
    }
    fields.push_back(f);
    if (fields.size() > 3) return false;
  }
  return true;
}

enum class Dir { a, b, c, diagonal, body };  // [100], [010], [001], [1-10], [111]

// Rotations and mirrors along the symmetry directions.
bool rotation_matrix(Dir dir, int n, bool hex, Rot& r) {
  static constexpr Rot two_a{1, 0, 0, 0, -1, 0, 0, 0, -1}, two_b{-1, 0, 0, 0, 1, 0, 0, 0, -1},
      two_c{-1, 0, 0, 0, -1, 0, 0, 0, 1}, four_c{0, -1, 0, 1, 0, 0, 0, 0, 1},
      three_body{0, 0, 1, 1, 0, 0, 0, 1, 0}, two_diag{0, -1, 0, -1, 0, 0, 0, 0, -1},
      three_hex{0, -1, 0, 1, -1, 0, 0, 0, 1}, six_hex{1, -1, 0, 1, 0, 0, 0, 0, 1},
      two_a_hex{1, -1, 0, 0, -1, 0, 0, 0, -1};
  switch (dir) {
    case Dir::a:
      if (n != 2) return false;
      r = hex ? two_a_hex : two_a;
      return true;
    case Dir::b:
      if (n != 2 || hex) return false;
      r = two_b;
      return true;
    case Dir::diagonal:
      if (n != 2) return false;
      r = two_diag;
      return true;
    case Dir::body:  // the 3-fold axes of the cubic groups carry no screw in the symbol
      if (n != 3 || hex) return false;
      r = three_body;
      return true;
    case Dir::c:
      if (n == 2) r = two_c;
      else if (n == 4 && !hex) r = four_c;
      else if (n == 3 && hex) r = three_hex;
      else if (n == 6 && hex) r = six_hex;
      else return false;
      return true;
  }
  return false;
}

constexpr int H = D / 2, Q = D / 4;  // a half and a quarter in 48ths

// Translations of a glide plane perpendicular to `dir`.
bool glide_translations(Dir dir, char plane, bool hex, std::vector<Tr>& out) {
  out.clear();
  if (plane == 'm') {
    out.push_back({0, 0, 0});
    return true;
  }
  auto quarter_signs = [&](Tr t) {  // every sign choice of the quarter components
    for (int s = 0; s < 8; ++s) {
      Tr u = t;
      for (int i = 0; i < 3; ++i)
        if ((s >> i & 1) != 0) u[i] = -u[i];
      out.push_back(u);
    }
  };
  if (hex) {
    if (plane != 'c' || dir == Dir::c) return false;
    out.push_back({0, 0, H});
    return true;
  }
  switch (dir) {
    case Dir::a:
      if (plane == 'b') out.push_back({0, H, 0});
      else if (plane == 'c') out.push_back({0, 0, H});
      else if (plane == 'n') out.push_back({0, H, H});
      else if (plane == 'd') quarter_signs({0, Q, Q});
      else if (plane == 'e') out = {{0, H, 0}, {0, 0, H}};
      break;
    case Dir::b:
      if (plane == 'a') out.push_back({H, 0, 0});
      else if (plane == 'c') out.push_back({0, 0, H});
      else if (plane == 'n') out.push_back({H, 0, H});
      else if (plane == 'd') quarter_signs({Q, 0, Q});
      else if (plane == 'e') out = {{H, 0, 0}, {0, 0, H}};
      break;
    case Dir::c:
      if (plane == 'a') out.push_back({H, 0, 0});
      else if (plane == 'b') out.push_back({0, H, 0});
      else if (plane == 'n') out.push_back({H, H, 0});
      else if (plane == 'd') quarter_signs({Q, Q, 0});
      else if (plane == 'e') out = {{H, 0, 0}, {0, H, 0}};
      break;
    case Dir::diagonal:  // the plane holds [110] and [001]
      if (plane == 'c') out.push_back({0, 0, H});
      else if (plane == 'n') out.push_back({H, H, H});
      else if (plane == 'd') {
        quarter_signs({Q, Q, Q});
      }
      break;
    case Dir::body:
      break;
  }
  return !out.empty();
}

// The screw translation of an n-fold screw axis n_p along `dir`.
Tr screw_translation(Dir dir, int n, int p) {
  const int s = D * p / n;
  switch (dir) {
    case Dir::a: return {s, 0, 0};
    case Dir::b: return {0, s, 0};
    case Dir::c: return {0, 0, s};
    case Dir::diagonal: return {s, -s, 0};
    case Dir::body: return {0, 0, 0};
  }
  return {0, 0, 0};
}

bool add_field(const Field& f, Dir dir, bool hex, std::vector<Element>& elements) {
  const int n = f.rotation < 0 ? -f.rotation : f.rotation;
  if (n == 1) {
    if (f.rotation == -1) return false;  // -1 only stands alone (triclinic)
    return f.plane == 0;
  }
  if (n > 1) {
    Rot r;
    if (!rotation_matrix(dir, n, hex, r) || (dir == Dir::body && f.screw != 0)) return false;
    if (f.rotation < 0) {
      if (f.plane != 0 || f.screw != 0) return false;
      elements.push_back({neg(r), {}});
    } else {
      elements.push_back({r, {screw_translation(dir, n, f.screw)}});
    }
  }
  if (f.plane != 0) {
    if (n == 3) return false;
    Rot two;
    if (!rotation_matrix(dir, 2, hex, two)) return false;
    Element mirror{neg(two), {}};
    if (!glide_translations(dir, f.plane, hex, mirror.intrinsic)) return false;
    elements.push_back(mirror);
  }
  return true;
}

// The elements named by the fields, by crystal family.
bool elements_of(const std::vector<Field>& fields, std::vector<Element>& elements, bool& hex) {
  const std::size_t n = fields.size();
  auto rot_is = [&](std::size_t i, int a) {
    return i < n && (fields[i].rotation == a || fields[i].rotation == -a);
  };
  hex = false;
  if (n == 0) return false;
  if (n >= 2 && rot_is(1, 3)) {  // cubic
    if (rot_is(0, 3) || rot_is(0, 6) || rot_is(2, 3) || rot_is(2, 6)) return false;
    const Dir dirs[3] = {Dir::c, Dir::body, Dir::diagonal};
    for (std::size_t i = 0; i < n; ++i)
      if (!add_field(fields[i], dirs[i], false, elements)) return false;
    return true;
  }
  bool any36 = false, any4 = false;
  for (std::size_t i = 0; i < n; ++i) {
    any36 = any36 || rot_is(i, 3) || rot_is(i, 6);
    any4 = any4 || rot_is(i, 4);
  }
  if (any36 || any4) {  // hexagonal and trigonal, tetragonal: the main axis comes first
    hex = any36;
    if (hex ? !(rot_is(0, 3) || rot_is(0, 6)) : !rot_is(0, 4)) return false;
    if (hex && any4) return false;
    if (!hex && n == 2) return false;
    const Dir dirs[3] = {Dir::c, Dir::a, Dir::diagonal};
    for (std::size_t i = 0; i < n; ++i)
      if (!add_field(fields[i], dirs[i], hex, elements)) return false;
    return true;
  }
  if (n == 1) {
    const Field& f = fields[0];
    if (f.rotation == 1 && f.plane == 0) return true;  // triclinic
    if (f.rotation == -1) {
      elements.push_back({neg(kIdentity), {}});
      return true;
    }
    return add_field(f, Dir::b, false, elements);  // monoclinic, unique axis b
  }
  if (n != 3) return false;
  // Orthorhombic, or monoclinic in full notation: fields along a, b, c.
  const Dir dirs[3] = {Dir::a, Dir::b, Dir::c};
  for (std::size_t i = 0; i < 3; ++i)
    if (!add_field(fields[i], dirs[i], false, elements)) return false;
  return true;
}

void set_p1(SpaceGroup& group) { group = SpaceGroup{}; }

}  // namespace

int SYMGEN(std::string_view symbol, SpaceGroup& group) {
  set_p1(group);
  std::string text;
  for (char c : symbol) text += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  if (words.empty()) return 1;

  const char letter = words[0][0];
  Search search;
  switch (letter) {
    case 'p': break;
    case 'a': search.lat.centring = {{0, H, H}}; break;
    case 'b': search.lat.centring = {{H, 0, H}}; break;
    case 'c': search.lat.centring = {{H, H, 0}}; break;
    case 'f': search.lat.centring = {{0, H, H}, {H, 0, H}, {H, H, 0}}; break;
    case 'i': search.lat.centring = {{H, H, H}}; break;
    case 'r': search.lat.centring = {{2 * D / 3, D / 3, D / 3}, {D / 3, 2 * D / 3, 2 * D / 3}};
      break;
    default: return 1;
  }
  std::vector<Field> fields;
  words[0].erase(0, 1);
  for (const std::string& w : words)
    if (!read_fields(w, fields)) return 1;
  bool hex = false;
  if (!elements_of(fields, search.elements, hex)) return 1;
  for (int s = 0; s < D; s += hex ? D / 12 : D / 8) search.grid.push_back(s);

  std::vector<Op> gens;
  std::vector<Op> start(1, Op{kIdentity, {0, 0, 0}});
  if (!search.run(0, gens, start)) return 1;
  std::vector<Op> ops = search.result;

  // Move the origin to an inversion centre: with (-1, t0) in the group the centre is t0/2.
  int centro = 0;
  for (const Op& q : ops) {
    if (q.r != neg(kIdentity)) continue;
    centro = 1;
    Tr s{};
    for (int i = 0; i < 3; ++i) s[i] = (q.t[i] % 2 == 0 ? q.t[i] : q.t[i] + D) / 2;
    for (Op& o : ops) {
      const Tr rs = apply(o.r, s);  // x = x' + s: t' = t + R s - s
      o.t = search.lat.reduce(
          {o.t[0] + rs[0] - s[0], o.t[1] + rs[1] - s[1], o.t[2] + rs[2] - s[2]});
    }
    break;
  }
  std::vector<Op> listed;
  for (const Op& q : ops)
    if (centro == 0 || det(q.r) > 0) listed.push_back(q);
  if (listed.size() > static_cast<std::size_t>(kMaxOperators)) return 1;

  group.lattice = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  group.operator_count = static_cast<int>(listed.size());
  for (std::size_t k = 0; k < listed.size(); ++k) {
    group.op[k].rotation = listed[k].r;
    for (int i = 0; i < 3; ++i)
      group.op[k].translation[static_cast<std::size_t>(i)] =
          static_cast<float>(listed[k].t[static_cast<std::size_t>(i)]) / D;
  }
  group.centrosymmetric = centro;
  group.centring_count = static_cast<int>(search.lat.centring.size());
  for (std::size_t k = 0; k < search.lat.centring.size(); ++k)
    for (std::size_t i = 0; i < 3; ++i)
      group.centring[k][i] = static_cast<float>(search.lat.centring[k][i]) / D;
  return 0;
}

int SYMMETRY(std::string_view symbol, SpaceGroup& group) {
  const std::string_view text = symbol.substr(0, 20);
  bool blank = true;
  for (char c : text) blank = blank && (c == ' ' || c == '\t');
  return SYMGEN(blank ? std::string_view("p 1") : text, group);
}

int LATABS(const SpaceGroup& group, const Vec3& h) {
  for (int k = 0; k < group.centring_count; ++k) {
    const Vec3& t = group.centring[static_cast<std::size_t>(k)];
    const float x = h[0] * t[0] + h[1] * t[1] + h[2] * t[2];
    if (std::fmod(std::fabs(x) + 0.01f, 1.0f) > 0.1f) return 0;
  }
  return 1;
}

// A reflection is absent by the operators when an operation (R, t) leaves it in place,
// h R = h, and shifts its phase, h.t not a whole number: the terms of the structure factor then
// cancel in pairs at every position. The numerical structure factor at a few trial positions
// is not used: it falls below any fixed threshold for some allowed reflections (in P b c a,
// 3 3 3 at (1/11, 1/13, 1/17) sums to 0.03 over the four listed operators).
int ISPABS(const SpaceGroup& group, const Vec3& h) {
  for (int k = 0; k < group.operator_count; ++k) {
    const SymmetryOperator& o = group.op[static_cast<std::size_t>(k)];
    // (R, t) and, in a centrosymmetric group, its partner (-R, -t): the partner leaves h in
    // place when h R = -h, with the same phase shift up to its sign.
    for (int sign = 1; sign >= (group.centrosymmetric != 0 ? -1 : 1); sign -= 2) {
      bool fixed = true;
      for (std::size_t j = 0; j < 3 && fixed; ++j) {
        const float hr = h[0] * static_cast<float>(o.rotation[j]) +
                         h[1] * static_cast<float>(o.rotation[3 + j]) +
                         h[2] * static_cast<float>(o.rotation[6 + j]);
        fixed = std::fabs(static_cast<float>(sign) * hr - h[j]) < 0.001f;
      }
      if (!fixed) continue;
      const float x = h[0] * o.translation[0] + h[1] * o.translation[1] + h[2] * o.translation[2];
      const float frac = std::fmod(std::fabs(x) + 0.01f, 1.0f);
      if (frac > 0.1f) return 0;
    }
  }
  return 1;
}

bool ALLOWED(const SpaceGroup& group, const Vec3& h) {
  return LATABS(group, h) == 1 && ISPABS(group, h) == 1;
}

}  // namespace dorvex
