// DC S, DC I, DC L and DC P: the parameters are shown and confirmed, the few answers each
// collection needs are read one line at a time (continuation codes 32 to 35), and then the
// collection runs to its end, an error or the operator's halt.
#include <array>
#include <string>
#include <vector>

#include "common/fields.hpp"
#include "datacol/collect.hpp"
#include "datacol/listscan.hpp"
#include "datacol/commands.hpp"
#include "console/clock.hpp"  // hm_text
#include "console/dialogue.hpp"
#include "console/output.hpp"

namespace dorvex {

namespace {

constexpr int kIntall = 32, kIntegr = 33, kIntlist = 34, kPsi = 35;
constexpr const char* kConfirm = "Continue with these parameters <Y/N>?";
constexpr const char* kInputError = "Error on input, try again:";
constexpr int kMaxPsiReflections = 30;

ShellState& SH() { return S().shell; }

// The dialogue step of the command running under each continuation code.
struct Dialogue {
  int step = 0;
  std::array<float, 3> psi{};      // DC P: min, max, step
  std::vector<Vec3> reflections;   // DC P
};
Dialogue dialogue;

bool new_command(int code) { return SH().continuation_code != code; }

void confirm(int code) {
  dialogue = {};
  LISTSCAN();
  ask(code, kConfirm);
}

bool yes(const std::string& line) {
  const std::string_view t = trim(line);
  return !t.empty() && (t[0] == 'Y' || t[0] == 'y');
}

// Three reals from the line; false when they cannot be read. A blank line reads as zeros.
bool read_indices(const std::string& line, Vec3& h) {
  if (trim(line).empty()) {
    h = {};
    return true;
  }
  const ListInput in = read_list(line);
  if (in.error) return false;
  h = {};
  for (std::size_t i = 0; i < 3 && i < in.values.size(); ++i)
    h[i] = static_cast<float>(in.values[i]);
  return true;
}

bool zero_indices(const Vec3& h) {
  return NINT(std::abs(h[0]) + std::abs(h[1]) + std::abs(h[2])) == 0;
}

}  // namespace

namespace {

// What the shells hold and how long they will take, before the operator says go.
void describe_plan() {
  const CollectionPlan plan = plan_shells();
  if (plan.shells.empty()) return;
  for (const auto& [shell, count] : plan.shells)
    WRITE_OUT("  Shell " + I(shell, 2) + ":" + I(count, 6) + " reflections to measure");
  WRITE_OUT("  In all " + std::to_string(plan.total) + " reflections, about " +
            hms_text(plan.seconds) + " of instrument time");
}

}  // namespace

void RUN_INTALL() {
  if (new_command(kIntall)) {
    dialogue = {};
    LISTSCAN();
    describe_plan();
    return ask(kIntall, kConfirm);
  }
  end_dialogue();
  if (yes(SH().command_argument)) INTALL();
}

void RUN_INTEGR() {
  if (new_command(kIntegr)) return confirm(kIntegr);
  const std::string line = SH().command_argument;
  if (dialogue.step == 0) {
    if (!yes(line) || !ready_data_file()) return end_dialogue();
    dialogue.step = 1;
    collection_header();
    return ask(kIntegr, " Input indices:");
  }
  Vec3 h{};
  if (!read_indices(line, h)) return ask(kIntegr, kInputError);
  if (zero_indices(h)) return end_dialogue();
  INTEGR(h);
  if (failed()) return end_dialogue();
  ask(kIntegr, " Input indices:");
}

void RUN_INTLIST() {
  if (new_command(kIntlist)) return confirm(kIntlist);
  const std::string line = SH().command_argument;
  switch (dialogue.step) {
    case 0:
      if (!yes(line)) return end_dialogue();
      dialogue.step = 1;
      return ask(kIntlist, "Open file with reflection list <y/n><N>?");
    case 1: {
      if (!yes(line)) {
        end_dialogue();
        WRITE_OUT("REFLECTIONS WILL BE TAKEN FROM CENTERING LIST");
        return INTLIST(false, Vec3{});
      }
      int ok = 0;
      OPEN_LISTFILE(ok);
      // A file dialogue left without a file ends the command: nothing is collected that the
      // operator did not choose.
      if (ok != 1) return end_dialogue();
      dialogue.step = 2;
      return ask(kIntlist, "Input Indices of first reflection:");
    }
    default: {
      Vec3 h{};
      if (!read_indices(line, h)) return ask(kIntlist, kInputError);
      end_dialogue();
      return INTLIST(true, h);
    }
  }
}

void RUN_PSI() {
  if (new_command(kPsi)) return confirm(kPsi);
  const std::string line = SH().command_argument;
  switch (dialogue.step) {
    case 0:
      if (!yes(line)) return end_dialogue();
      dialogue.step = 1;
      return ask(kPsi, "Input psi min,max,step: ");
    case 1: {
      const ListInput in = read_list(line);
      if (in.error || in.values.size() < 3) return ask(kPsi, kInputError);
      for (std::size_t i = 0; i < 3; ++i) dialogue.psi[i] = static_cast<float>(in.values[i]);
      if (dialogue.psi[2] <= 0.0f || dialogue.psi[1] == dialogue.psi[0])
        return ask(kPsi, "Invalid input, try again:");
      dialogue.step = 2;
      return ask(kPsi, " Input indices (<cr> to end):");
    }
    default: {
      Vec3 h{};
      if (!read_indices(line, h)) return ask(kPsi, kInputError);
      if (!zero_indices(h)) dialogue.reflections.push_back(h);
      if (!zero_indices(h) &&
          static_cast<int>(dialogue.reflections.size()) < kMaxPsiReflections)
        return ask(kPsi, " Input indices (<cr> to end):");
      end_dialogue();
      if (!ready_data_file()) return;
      collection_header();
      for (const Vec3& r : dialogue.reflections) {
        PSISCAN(r, dialogue.psi[0], dialogue.psi[1], dialogue.psi[2]);
        if (failed()) return;
      }
      return;
    }
  }
}

}  // namespace dorvex
