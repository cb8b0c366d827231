// The sample-environment devices of SET DEVICE: what the dialogue asks for each and the angle
// limits it offers by default.
#pragma once

namespace dorvex {

struct DeviceType {
  const char* name;
  bool asks_psi;  // fixed-phi geometry with a psi maximum
  bool asks_chi;
  bool asks_phi;
  float chi_min, chi_max, phi_min, phi_max;  // default limits; a zero pair means none
};

// Types 1..6; index 0 (no device, "AIR") asks nothing.
inline constexpr DeviceType kDeviceTypes[7] = {
    {"AIR", false, false, false, 0, 0, 0, 0},
    {"DAC", true, false, false, 0, 0, 0, 0},
    {"HEATED DAC", true, true, true, -180, 180, -180, 180},
    {"COOLER", false, true, false, -90, 90, 0, 0},
    {"FURNACE", false, true, true, -180, 180, -180, 180},
    {"JT COOLER", false, true, true, -45, 45, -180, 90},
    {"ULTRAS DAC", false, false, false, 0, 0, 0, 0},  // restriction angles of its own
};

}  // namespace dorvex
