// An inert stand-in for a controller family whose driver is not built yet: every operation
// leaves its arguments as they were, and the first one used says once that the family's
// driver is missing.
#pragma once

#include <string>

#include "instrument/driver.hpp"
#include "console/output.hpp"

namespace dorvex::placeholder {

template <int Type>
struct Family {
  static inline const char* name = "";
  static inline bool told = false;
  static void tell() {
    if (told) return;
    told = true;
    WARNING(std::string("The ") + name +
            " controller driver is not part of this build: controller operations do nothing");
  }
  static void sendh(const std::string&, int, std::string&, int&) { tell(); }
  static void none() { tell(); }
  static void read_one(int, int&, float&, std::string&) { tell(); }
  static void read_all(std::array<float, 4>&, int&, std::string&) { tell(); }
  static void load(int, float) { tell(); }
  static void drive(int, float, float) { tell(); }
  static void wait_motor(int, int&) { tell(); }
  static void runscan(int&, float, float, int, std::array<int, 200>&, int&, float&, int,
                      std::array<float, 200>&) { tell(); }
  static void xcount(float, float&, float&) { tell(); }
  static void shutter(int) { tell(); }
  static void int_out(int&) { tell(); }
  static void slit(char) { tell(); }

  static ControllerDriver table(const char* family) {
    name = family;
    return ControllerDriver{family,   sendh, none,   none,   read_one, read_all, load,
                            none,     drive, none,   wait_motor, none, none,   none,
                            runscan,  xcount, shutter, int_out, int_out, shutter, slit};
  }
};

}  // namespace dorvex::placeholder
