#include "sim_profile.hpp"

#include <charconv>
#include <cmath>
#include <fstream>

namespace dorvex::sim {

bool parse_real(std::string_view text, double& value) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.empty()) return false;
  if (text.front() == '+') text.remove_prefix(1);
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

namespace {

std::string field(const std::string& line, int first, int width) {
  std::size_t begin = static_cast<std::size_t>(first - 1);
  if (begin >= line.size()) return {};
  return line.substr(begin, static_cast<std::size_t>(width));
}

bool blank(const std::string& text) { return text.find_first_not_of(" \t") == std::string::npos; }

}  // namespace

bool fixed_real(const std::string& line, int first, int width, double& value) {
  std::string text = field(line, first, width);
  if (blank(text)) {
    value = 0.0;
    return true;
  }
  return parse_real(text, value);
}

bool fixed_int(const std::string& line, int first, int width, int& value) {
  std::string text = field(line, first, width);
  if (blank(text)) {
    value = 0;
    return true;
  }
  double number = 0.0;
  if (!parse_real(text, number) || number != std::floor(number)) return false;
  value = static_cast<int>(number);
  return true;
}

bool read_sim_profile(const std::string& path, SimProfile& profile, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot open the profile " + path;
    return false;
  }
  profile = SimProfile{};
  std::array<double, 11> park{};
  int monochromator_fitted = 0;
  double monochromator_angle = 0.0;
  std::array<double, 11> offset{};
  std::string raw;
  auto bad = [&](const std::string& line) {
    error = "cannot read the profile line: " + line;
    return false;
  };
  while (std::getline(in, raw)) {
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    std::string line = raw.substr(0, 100);  // only the first 100 columns count
    std::string key = line.substr(0, 6);
    for (char& c : key) {
      if (static_cast<unsigned char>(c) > 96) c = static_cast<char>(c - 32);
    }
    if (blank(key)) continue;
    if (key.compare(0, 5, "MOTOR") == 0) {
      int motor = key.size() > 5 ? key[5] - '0' : -1;
      if (motor < 1 || motor > 8) continue;  // the program ignores these too
      std::size_t comma = line.find(',');
      if (comma == std::string::npos) return bad(line);
      SimMotor& m = profile.motors[static_cast<std::size_t>(motor)];
      m.axis = static_cast<char>('0' + motor);
      for (std::size_t i = 6; i < comma; ++i) {
        if (line[i] != ' ' && line[i] != '\t') {
          m.axis = line[i];
          break;
        }
      }
      std::array<double, 10> v{};
      for (int i = 0; i < 10; ++i) {
        const int first = static_cast<int>(comma) + 2 + 10 * i;
        if (!fixed_real(line, first, 10, v[static_cast<std::size_t>(i)])) return bad(line);
      }
      m.present = true;
      m.steps_per_unit = v[0] > 0.0 ? v[0] : 100.0;
      m.p = {v[1], v[2], v[3], v[4]};
      m.values = v;
    } else if (key == "CONFIG") {
      for (int i = 0; i < 5; ++i) {
        int value = 0;
        if (!fixed_int(line, 7 + 5 * i, 5, value)) return bad(line);
        if (i < 4) {
          if (value == 0) return bad(line);
          profile.senses[static_cast<std::size_t>(i + 1)] = value > 0 ? 1 : -1;
        } else {
          profile.coupled_omega = value == 1;
        }
      }
      if (!fixed_int(line, 7 + 5 * 6, 5, monochromator_fitted)) monochromator_fitted = 0;
    } else if (key == "MONOC ") {
      if (!fixed_real(line, 7, 10, monochromator_angle)) return bad(line);
    } else if (key == "WAVEL ") {
      if (!fixed_int(line, 7, 5, profile.wavelength_count) ||
          !fixed_real(line, 12, 10, profile.lambda1) ||
          !fixed_real(line, 22, 10, profile.lambda2) ||
          !fixed_real(line, 32, 10, profile.ratio))
        return bad(line);
      if (profile.wavelength_count != 2) profile.ratio = 0.0;
    } else if (key == "CONTRO" && line.size() > 6 && line[6] == 'L') {
      if (!fixed_int(line, 8, 10, profile.interface_type)) return bad(line);
    } else if (key == "PARK  " || key == "OFFSET") {
      auto& target = key == "PARK  " ? park : offset;
      for (int i = 0; i < 10; ++i) {
        if (!fixed_real(line, 7 + 10 * i, 10, target[static_cast<std::size_t>(i + 1)]))
          return bad(line);
      }
    } else if (key == "COMPOR") {
      int in_term = 0;
      int out_term = 0;
      if (!fixed_int(line, 8 + 5 * 6, 5, in_term) || !fixed_int(line, 8 + 5 * 7, 5, out_term))
        return bad(line);
      profile.program_input_terminator = in_term >= 1 && in_term <= 3 ? in_term : 3;
      profile.program_output_terminator = out_term >= 1 && out_term <= 3 ? out_term : 3;
    } else if (key == "NOSHUT") {
      profile.no_shutter = true;
    }
  }
  // Limits: values 6 and 7 of the motor line, 7 and 8 on the SIN-10 (one more controller
  // parameter before them). The same defaults as the program's motor check, so that the
  // switches sit where the program believes its limits are.
  const std::size_t first_limit = profile.interface_type == 3 ? 6 : 5;
  for (std::size_t motor = 1; motor <= 8; ++motor) {
    SimMotor& m = profile.motors[motor];
    if (!m.present) continue;
    m.lower = m.values[first_limit];
    m.upper = m.values[first_limit + 1];
    const bool p4 = profile.interface_type == 6;  // the P4 has defaults of its own
    if (motor == 1) {
      if (std::fabs(m.upper) < 1.0) m.upper = p4 ? 116.0 : 90.0;
      if (std::fabs(m.lower) < 1.0) m.lower = p4 ? -106.0 : -50.0;
      m.limited = true;
    } else if (motor == 2) {
      if (std::fabs(m.upper) < 1.0) m.upper = p4 ? 40.0 : 90.0;
      if (std::fabs(m.lower) < 1.0) m.lower = p4 ? -40.0 : -90.0;
      m.limited = true;
    } else {
      m.limited = std::fabs(m.lower) > 0.01 || std::fabs(m.upper) > 0.01;
    }
  }
  for (std::size_t m = 1; m <= 10; ++m) {
    profile.motors[m].park = park[m];
    profile.motors[m].offset = offset[m];
  }
  if (profile.lambda1 <= 0.0) profile.lambda1 = 0.71073;
  if (monochromator_fitted == 1) profile.monochromator_2theta = monochromator_angle;
  return true;
}

}  // namespace dorvex::sim
