// Arbitrary answers to the orientation dialogues (COM, CELL, OM, UBIM, UBEX, CALC, INDX, INL)
// on a crystal with a cell, an orientation and a few listed reflections. The first byte picks
// the command that opens the dialogue and the geometry (senses, fixed phi, limited circles).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/state.hpp"
#include "fuzz_support.hpp"
#include "geometry/angles.hpp"
#include "geometry/cell.hpp"
#include "geometry/matrix.hpp"
#include "shell/dispatcher.hpp"

namespace {

void crystal_with_reflections(uint8_t choice) {
  using namespace dorvex;
  MachineProfile& p = S().profile;
  p.motor[1].lower = -10;
  p.motor[1].upper = 120;
  p.clearance_angle = 40;
  p.sense[2] = (choice & 0x08) != 0 ? -1.0f : 1.0f;
  p.sense[4] = (choice & 0x10) != 0 ? -1.0f : 1.0f;
  p.ubtran_count = 2;
  p.ubtran[0].m = Mat3::identity();
  p.ubtran[0].name = "IDENTITY";
  p.ubtran[1].m(0, 1) = p.ubtran[1].m(1, 0) = 1.0f;  // singular: a zero row
  p.ubtran[1].name = "SINGULAR";
  DeviceSettings& d = S().device;
  d.omega_lower = -60;
  d.omega_upper = 80;
  d.fixed_phi = (choice & 0x20) != 0 ? 1 : 0;
  d.psi_max = 30;
  d.phi_limited = (choice & 0x40) != 0 ? 1 : 0;
  d.phi_lower = -100;
  d.phi_upper = 100;
  CrystalState& c = S().crystal;
  CALCB({7.5f, 8.2f, 9.9f, 90, 97.0f, 90}, c.B);
  c.UB = c.B;
  OMTOB(c, true);
  const Vec3 hkl[] = {{1, 0, 0}, {0, 2, 1}, {0, 0, 0}};
  for (const Vec3& h : hkl) {
    ReflectionEntry& e = S().list.entry[static_cast<std::size_t>(S().list.count++)];
    e.h = h[0];
    e.k = h[1];
    e.l = h[2];
    CALCA(current_geometry(), CALPHI(c.UB, h[0] == 0 && h[1] == 0 ? Vec3{1, 1, 1} : h), e.angles);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dorvex;
  // Every browser and question is cancelled; the console is discarded.
  const std::string& dir = fuzz_support::scratch_directory("fuzz-orient");
  if (size == 0) return 0;

  reset_program_state();
  ShellState& shell = S().shell;
  shell.program_directory = dir;
  shell.data_directory = dir;
  shell.operating_mode = MODE_DUMMY;
  crystal_with_reflections(data[0]);

  static constexpr const char* kOpeners[] = {"COM", "CELL", "OM", "UBIM", "UBEX", "CALC", "INDX",
                                             "INL"};
  int exit_flag = 0;
  dispatch_line(kOpeners[data[0] & 7], exit_flag);
  shell.error_flag = 0;

  fuzz_support::dispatch_lines(
      std::string_view(reinterpret_cast<const char*>(data + 1), size - 1), exit_flag);
  return 0;
}
