// The reflection-list commands: LIST, INH, INA, IND, DEL, USE, OMIT, INDL and SORT.
//
// Every command that changes the list rewrites the orientation-matrix file before it returns,
// so the file on disk always holds the list the operator sees.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "geometry/matfile.hpp"        // WRITE_MATFILE
#include "geometry/angles.hpp"      // CALPHI, CALCA, HCALC
#include "geometry/limits.hpp"    // SOFTLIMITS
#include "reflections/commands.hpp"
#include "console/output.hpp"
#include "console/status.hpp"         // SET_PROMPT

namespace dorvex {

namespace {

enum : int {
  CODE_INH = 7, CODE_INA = 8, CODE_IND = 9, CODE_DEL = 10, CODE_USE = 11, CODE_OMIT = 12,
  CODE_INDL_CHOICE = 13, CODE_INDL_ENTRY = 14, CODE_SORT = 49
};

constexpr const char* kInhPrompt = "INH: Enter h,k,l>";
constexpr const char* kInaPrompt = "INA: Enter angles>";
constexpr const char* kIndPrompt = "IND: Enter hkl & angles>";
constexpr const char* kDelPrompt = "DEL: Enter List Nos>";
constexpr const char* kUsePrompt = "USE: Enter List Nos>";
constexpr const char* kOmitPrompt = "OMIT: Enter List Nos>";
constexpr const char* kIndlChoicePrompt = "INDL: Enter Choice>";
constexpr const char* kIndlEntryPrompt = "INDL: Enter List no & hkl>";
constexpr const char* kSortPrompt = "SORT: Enter Item to sort>";

int& code() { return S().shell.continuation_code; }
const std::string& argument() { return S().shell.command_argument; }

// The first five characters of the argument are blank.
bool blank_argument() { return trim(columns(argument(), 1, 5)).empty(); }

// A blank line toggles the command's continuation: it ends a running one, or starts one and
// shows its prompt. Returns true when the line was blank (the caller has nothing more to do).
bool toggle_on_blank(int own_code, const char* prompt) {
  if (!blank_argument()) return false;
  if (code() != 0) {
    code() = 0;
    DISPLAY_LIST();
  } else {
    code() = own_code;
    SET_PROMPT(prompt);
  }
  return true;
}

// After an accepted line: the list when the continuation has ended, else the prompt again.
void list_or_prompt(const char* prompt) {
  if (code() == 0)
    DISPLAY_LIST();
  else
    SET_PROMPT(prompt);
}

Geometry geometry() { return Geometry{S().crystal, S().profile, S().device}; }

// Indices computed from angles; a value that is not a number (a singular matrix) is kept as 0
// so that the file always holds readable numbers.
Vec3 indices_of(const AngleSet& angles) {
  Vec3 h = HCALC(geometry(), angles);
  for (float& v : h)
    if (!std::isfinite(v)) v = 0.0f;
  return h;
}

// Appends an entry with use 1, ref 0, intensity 0 and rewrites the matrix file; false (and
// the message) when the list is full.
bool append(const Vec3& hkl, const AngleSet& angles) {
  ReflectionList& list = S().list;
  if (list.count >= kListSize) {
    WRITE_OUT("REFLECTION LIST FULL");
    return false;
  }
  ReflectionEntry& e = list.entry[static_cast<std::size_t>(list.count)];
  e = ReflectionEntry{};
  e.h = hkl[0];
  e.k = hkl[1];
  e.l = hkl[2];
  e.angles = angles;
  e.ref = 0;
  e.use = 1;
  e.intensity = 0;
  ++list.count;
  WRITE_MATFILE();
  return true;
}

// Exactly `n` reals from the argument, or nothing (a read error or too few values).
bool read_reals(std::size_t n, std::vector<double>& values) {
  const ListInput in = read_list(argument());
  if (in.error || in.values.size() < n) return false;
  values.assign(in.values.begin(), in.values.begin() + static_cast<std::ptrdiff_t>(n));
  for (double v : values)
    if (std::fabs(v) > 1.0e30) return false;
  return true;
}

// List numbers of DEL, USE and OMIT: up to 60 integers, zero-filled, read left to right to the
// first 0. A negative -m after a number names the range from that number to m.
struct ListNumbers {
  bool error = false;
  std::vector<long> numbers;  // up to the first 0
};

ListNumbers read_list_numbers() {
  ListNumbers out;
  const IntListInput in = read_int_list(argument());
  if (in.error) {
    out.error = true;
    return out;
  }
  for (std::size_t i = 0; i < in.values.size() && i < static_cast<std::size_t>(kListSize); ++i) {
    if (in.values[i] == 0) break;
    out.numbers.push_back(in.values[i]);
  }
  return out;
}

// Entries named by the numbers, ranges expanded, each entry once, clipped to 1..limit. A range
// starts after the entry last named, so "2 -4 -6" names 2 to 6.
std::vector<int> expand(const std::vector<long>& numbers, int limit) {
  std::vector<bool> named(static_cast<std::size_t>(limit) + 1, false);
  long last = 0;
  for (long v : numbers) {
    if (v > 0) {
      if (v <= limit) named[static_cast<std::size_t>(v)] = true;
      last = v;
    } else if (last > 0) {
      const long end = std::min<long>(-v, limit);
      for (long n = last + 1; n <= end; ++n) named[static_cast<std::size_t>(n)] = true;
      last = std::max(last, -v);
    }
  }
  std::vector<int> out;
  for (int n = 1; n <= limit; ++n)
    if (named[static_cast<std::size_t>(n)]) out.push_back(n);
  return out;
}

void remove_entry(ReflectionList& list, int number) {
  auto first = list.entry.begin() + number - 1;
  std::move(first + 1, list.entry.begin() + list.count, first);
  --list.count;
}

// USE and OMIT: set the use flag of the named entries to `flag`.
void set_use_flags(int own_code, const char* prompt, int flag) {
  if (toggle_on_blank(own_code, prompt)) return;
  ReflectionList& list = S().list;
  const ListNumbers in = read_list_numbers();
  const char* refusal = nullptr;
  if (in.error) {
    refusal = "Error reading your input - try again:";
  } else if (std::any_of(in.numbers.begin(), in.numbers.end(),
                         [&](long v) { return std::labs(v) > list.count; })) {
    refusal = "Input exceeds max list number - try again:";
  } else if (in.numbers.empty() || in.numbers.front() < 1) {
    refusal = "First input number invalid - try again:";
  }
  if (refusal != nullptr) {
    code() = own_code;
    SET_PROMPT(refusal);
    return;
  }
  for (int n : expand(in.numbers, list.count))
    list.entry[static_cast<std::size_t>(n - 1)].use = flag;
  WRITE_MATFILE();
  list_or_prompt(prompt);
}

// SORT: the key letter and direction of the argument; 0 when no key letter is found.
char sort_key(std::string text, bool& descending) {
  text = pad(text, 80);
  descending = false;
  const auto plus = text.find('+');
  if (plus != std::string::npos) text[plus] = ' ';
  std::size_t start = 0;
  const auto minus = text.find('-');
  if (minus != std::string::npos) {
    descending = true;
    text[minus] = ' ';
    start = minus + 1;
  }
  static constexpr std::string_view kKeys = "HKL2OCPI";
  for (std::size_t i = start; i < text.size(); ++i) {
    if (text[i] == ' ') continue;
    const char c = upper_shift(std::string_view(&text[i], 1))[0];
    if (kKeys.find(c) != std::string_view::npos) return c;
  }
  return 0;
}

double key_value(const ReflectionEntry& e, char key) {
  switch (key) {
    case 'H': return e.h;
    case 'K': return e.k;
    case 'L': return e.l;
    case '2': return e.angles[0];
    case 'O': return e.angles[1];
    case 'C': return e.angles[2];
    case 'P': return e.angles[3];
    default: return e.intensity;
  }
}

}  // namespace

void DISPLAY_LIST() {
  const ReflectionList& list = S().list;
  if (list.count <= 0) {
    WRITE_OUT("LIST IS EMPTY");
    return;
  }
  WRITE_OUT_CR(1);
  WRITE_OUT(" NO     H     K     L    TTH      OMEGA     CHI      PHI   REF  USE INTENSITY");
  WRITE_OUT_CR(1);
  for (int n = 0; n < std::min(list.count, kListSize); ++n) {
    const ReflectionEntry& e = list.entry[static_cast<std::size_t>(n)];
    std::string line = I(n + 1, 3) + F(e.h, 6, 1) + F(e.k, 6, 1) + F(e.l, 6, 1);
    for (float a : e.angles) line += F(a, 9, 3);
    WRITE_OUT(line + I(e.ref, 5) + I(e.use, 5) + I(e.intensity, 9));
  }
  WRITE_OUT_CR(1);
}

void INSERT_HKL() {
  if (toggle_on_blank(CODE_INH, kInhPrompt)) return;
  std::vector<double> v;
  if (read_reals(3, v)) {
    const Vec3 hkl{static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
    if (std::fabs(hkl[0]) + std::fabs(hkl[1]) + std::fabs(hkl[2]) <= 0.001f) {
      code() = 0;
    } else {
      AngleSet angles{};
      if (CALCA(geometry(), CALPHI(S().crystal.UB, hkl), angles) != 0)
        WRITE_OUT(" REFLECTION OUT-OF-BOUNDS");
      else
        append(hkl, angles);
    }
  }
  list_or_prompt(kInhPrompt);
}

void INSERT_ANGLES() {
  if (toggle_on_blank(CODE_INA, kInaPrompt)) return;
  std::vector<double> v;
  if (read_reals(4, v)) {
    AngleSet angles{};
    float sum = 0.0f;
    for (std::size_t i = 0; i < 4; ++i) {
      angles[i] = static_cast<float>(v[i]);
      sum += std::fabs(angles[i]);
    }
    if (sum < 0.01f) {
      code() = 0;
    } else if (SOFTLIMITS(S().profile, S().device, angles, 0) != 0) {
      WRITE_OUT(" REFLECTION OUT-OF-BOUNDS");
    } else if (S().list.count >= kListSize) {
      WRITE_OUT("REFLECTION LIST FULL");
    } else {
      append(indices_of(angles), angles);
    }
  }
  list_or_prompt(kInaPrompt);
}

void INSERT_HKL_ANGLES() {
  if (toggle_on_blank(CODE_IND, kIndPrompt)) return;
  std::vector<double> v;
  if (read_reals(7, v)) {
    const Vec3 hkl{static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
    AngleSet angles{};
    float sum = 0.0f;
    for (std::size_t i = 0; i < 4; ++i) {
      angles[i] = static_cast<float>(v[i + 3]);
      sum += std::fabs(angles[i]);
    }
    if (sum < 0.01f || NINT(std::fabs(hkl[0]) + std::fabs(hkl[1]) + std::fabs(hkl[2])) == 0) {
      code() = 0;
    } else if (SOFTLIMITS(S().profile, S().device, angles, 0) != 0) {
      WRITE_OUT(" REFLECTION OUT-OF-BOUNDS");
    } else if (append(hkl, angles)) {
      const Vec3 calc = indices_of(angles);
      float diff = 0.0f;
      for (std::size_t i = 0; i < 3; ++i) diff += std::fabs(calc[i] - hkl[i]);
      if (diff > 0.3f) {
        WRITE_OUT(" CALC REFLECTION INDICES WERE: " + F(calc[0], 6, 3) + F(calc[1], 6, 3) +
                  F(calc[2], 6, 3));
        WRITE_OUT_CR(1);
      }
    }
  }
  list_or_prompt(kIndPrompt);
}

void DELETE_LIST() {
  if (toggle_on_blank(CODE_DEL, kDelPrompt)) return;
  ReflectionList& list = S().list;
  const ListNumbers in = read_list_numbers();
  if (in.error) {
    code() = 0;
    return;
  }
  if (in.numbers.empty() || in.numbers.front() < 1) {
    if (code() != 0) SET_PROMPT(kDelPrompt);
    return;
  }
  // Only the first `count` numbers are examined; each entry is deleted once, from the highest
  // number down, so that the numbers still to be deleted stay valid.
  const std::size_t examined = std::min(in.numbers.size(), static_cast<std::size_t>(list.count));
  std::vector<long> numbers(in.numbers.begin(),
                            in.numbers.begin() + static_cast<std::ptrdiff_t>(examined));
  std::vector<int> doomed = expand(numbers, list.count);
  for (auto it = doomed.rbegin(); it != doomed.rend(); ++it) remove_entry(list, *it);
  code() = 0;
  WRITE_MATFILE();
  DISPLAY_LIST();
}

void USE_LIST() { set_use_flags(CODE_USE, kUsePrompt, 1); }

void OMIT_LIST() { set_use_flags(CODE_OMIT, kOmitPrompt, 0); }

void INDEX_LIST() {
  ReflectionList& list = S().list;
  if (blank_argument()) {
    if (code() == 0) {
      WRITE_OUT("INDL choices: 1 = Manual Indexing, 2 = Index by UB, 3 = Clear Indeces");
      code() = CODE_INDL_CHOICE;
      SET_PROMPT(kIndlChoicePrompt);
      return;
    }
    code() = 0;
    WRITE_MATFILE();
    DISPLAY_LIST();
    return;
  }

  if (code() == CODE_INDL_ENTRY) {
    const IntListInput in = read_int_list(argument());
    if (in.error || in.values.empty()) {
      SET_PROMPT(kIndlEntryPrompt);
      return;
    }
    const long number = in.values[0];
    if (number == 0) {
      code() = 0;
      WRITE_MATFILE();
      DISPLAY_LIST();
      return;
    }
    if (in.values.size() < 4) {
      SET_PROMPT(kIndlEntryPrompt);
      return;
    }
    if (number >= 1 && number <= list.count) {
      ReflectionEntry& e = list.entry[static_cast<std::size_t>(number - 1)];
      e.h = static_cast<float>(in.values[1]);
      e.k = static_cast<float>(in.values[2]);
      e.l = static_cast<float>(in.values[3]);
      WRITE_MATFILE();
    } else {
      WRITE_OUT("ONLY " + I(list.count, 3) + " REFLECTIONS IN LIST");
    }
    SET_PROMPT(kIndlEntryPrompt);
    return;
  }

  // The choice, typed after the command or answering the choice prompt.
  const IntListInput in = read_int_list(argument());
  if (in.error || in.values.empty()) {
    list_or_prompt(kIndlChoicePrompt);
    return;
  }
  switch (in.values[0]) {
    case 1:
      code() = CODE_INDL_ENTRY;
      SET_PROMPT(kIndlEntryPrompt);
      return;
    case 2:
      for (int n = 0; n < list.count; ++n) {
        ReflectionEntry& e = list.entry[static_cast<std::size_t>(n)];
        const Vec3 h = indices_of(e.angles);
        e.h = h[0];
        e.k = h[1];
        e.l = h[2];
      }
      break;
    case 3:
      for (int n = 0; n < list.count; ++n) {
        ReflectionEntry& e = list.entry[static_cast<std::size_t>(n)];
        e.h = e.k = e.l = 0.0f;
      }
      break;
    default:
      break;
  }
  code() = 0;
  WRITE_MATFILE();
  DISPLAY_LIST();
}

void SORT_LIST() {
  if (toggle_on_blank(CODE_SORT, kSortPrompt)) return;
  bool descending = false;
  const char key = sort_key(argument(), descending);
  if (key == 0) {
    WRITE_OUT(" *****Input not recognised, valid inputs are + - with H,K,L,2,O,C,P,I,");
    SET_PROMPT(kSortPrompt);
    code() = CODE_SORT;
    return;
  }
  ReflectionList& list = S().list;
  const auto first = list.entry.begin();
  const auto last = first + list.count;
  // Stable ascending order; a descending sort is that order reversed, so entries with equal
  // keys come out in reverse of their earlier order.
  std::stable_sort(first, last, [key](const ReflectionEntry& a, const ReflectionEntry& b) {
    return key_value(a, key) < key_value(b, key);
  });
  if (descending) std::reverse(first, last);
  WRITE_MATFILE();
  DISPLAY_LIST();
  code() = 0;
}

}  // namespace dorvex
