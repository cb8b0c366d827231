// The master window's position fields as the instrument fills them: the angles it reads and
// the indices there, which the status fields are then handed.
#include "common/fields.hpp"
#include "common/state.hpp"
#include "console/dialogue.hpp"  // normal_mode
#include "console/status.hpp"
#include "geometry/angles.hpp"  // HCALC: the indices shown beside the angles
#include "instrument/motion.hpp"

namespace dorvex {

void DISPLAY_INIT() {
  if (!normal_mode()) return;
  AngleSet angles{};
  RDALLMTR(angles);
  if (S().shell.error_flag != 0) return;
  DISPLAY_ACTION(0, angles);
  float slit1 = 0, slit2 = 0;
  RDMTR(5, slit1);
  RDMTR(6, slit2);
  DISPLAY_SLITS(slit1, slit2);
  StatusFields& status = S().status;
  status.detector_shown = S().profile.motor_present(7);
  if (status.detector_shown) {
    float distance = 0;
    RDMTR(7, distance);
    status.detector = distance;
  }
  status.sample_z_shown = S().profile.motor_present(8);
  if (status.sample_z_shown) {
    float height = 0;
    RDMTR(8, height);
    status.sample_z = height;
  }
  refresh_status();
}

void DISPLAY_ACTION(int action_code, const AngleSet& angles) {
  if (!normal_mode()) return;
  ProgramState& state = S();
  const Vec3 hkl = HCALC(Geometry{state.crystal, state.profile, state.device}, angles);
  show_action(action_code, angles, hkl);
}

void REFRESH_HKL() {
  if (!normal_mode()) return;
  ProgramState& state = S();
  const Vec3 hkl =
      HCALC(Geometry{state.crystal, state.profile, state.device}, state.status.angles);
  const std::string text = F(hkl[0], 6, 1) + F(hkl[1], 6, 1) + F(hkl[2], 6, 1);
  if (text == state.status.hkl) return;
  state.status.hkl = text;
  refresh_status();
}

}  // namespace dorvex
