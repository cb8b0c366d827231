#include "files/difprof.hpp"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "common/textfile.hpp"  // bounded reading, any line ends
#include "files/motor_check.hpp"  // CHECK_MOTOR
#include "console/output.hpp"
#include "console/status.hpp"  // DISPLAY_SHUTTER

namespace dorvex {

namespace {

constexpr int kColumns = 100;  // only the first 100 columns of a profile line are read
// A profile holds a few kilobytes; a file far larger is not read into memory.
constexpr std::size_t kMaxProfileBytes = 1 << 20;
// More unrecognised keywords than this, and more than recognised ones: the file is no profile.
constexpr int kMostUnrecognised = 10;
constexpr double kDegreesPerRadian = 57.295776;

// A MOTOR line accepted by the reader. The lines are checked by the controller family only
// once the whole file is read, so that CONTROL may stand anywhere in the file.
struct MotorLine {
  int motor = 0;
  char axis = ' ';
  std::array<float, 10> values{};
};

// Which optional lines the file gave (their records keep their defaults otherwise).
struct Seen {
  bool wavel = false, scans1 = false, scans2 = false;
};

// Fixed-column fields of one line; `failed` is set when a field cannot be read (or holds a
// number no 32-bit field can), and the reader then halts with the line in its message.
struct Reader {
  std::string_view line;
  bool failed = false;

  float real(int first, int width, int implied_decimals = 0) {
    auto v = read_real_field(line, first, width, implied_decimals);
    if (!v || std::fabs(*v) > FLT_MAX) {
      failed = true;
      return 0.0f;
    }
    return static_cast<float>(*v);
  }
  int integer(int first, int width) {
    auto v = read_int_field(line, first, width);
    if (!v || *v > INT32_MAX || *v < INT32_MIN) {
      failed = true;
      return 0;
    }
    return static_cast<int>(*v);
  }
};

// Control characters and bytes outside ASCII are shown as '?' when a line is echoed.
std::string printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 32 || u >= 127) c = '?';
  }
  return out;
}

// Text fields (names) keep what the operator typed except control characters.
std::string text_field(std::string_view line, int first, int width) {
  std::string out = columns(line, first, width);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
  return std::string(rtrim(out));
}

// Free-format values of the data-collection lines, read into the fields in order. A value
// that is missing at the end of the line leaves its field as it was; a value that is not a
// number, or not a whole number where an integer is due, makes the line unreadable.
struct FreeValues {
  std::vector<double> values;
  bool ok = true;
  bool has(std::size_t i) const { return i < values.size(); }
  bool whole(std::size_t i) const {
    return !has(i) || (std::floor(values[i]) == values[i] && std::fabs(values[i]) < 2.0e9);
  }
};

FreeValues free_values(std::string_view line) {
  ListInput in = read_list(columns(line, 7, 74));
  FreeValues out;
  out.values = in.values;
  out.ok = !in.error;
  for (double v : out.values)
    if (std::fabs(v) > FLT_MAX) out.ok = false;
  return out;
}

void take(const FreeValues& in, std::size_t i, float& field) {
  if (in.has(i)) field = static_cast<float>(in.values[i]);
}
void take(const FreeValues& in, std::size_t i, int& field) {
  if (in.has(i)) field = static_cast<int>(in.values[i]);
}

bool all_whole(const FreeValues& in, std::initializer_list<std::size_t> positions) {
  for (std::size_t i : positions)
    if (!in.whole(i)) return false;
  return true;
}

// The data-collection defaults; same values as the matrix file's lines of the same labels.
bool read_datacol_line(const std::string& key, std::string_view line) {
  DataCollectionParameters& dc = S().datacol;
  const FreeValues in = free_values(line);
  if (!in.ok) return false;
  if (key == "DSCAN1") {
    take(in, 0, dc.scan_width_a);
    take(in, 1, dc.scan_width_b);
  } else if (key == "DSCAN2") {
    float* fields[] = {&dc.scan_type,     &dc.psi_scans,          &dc.step,
                       &dc.time_per_step, &dc.constant_precision, &dc.required_i_over_sigma,
                       &dc.max_scans,     &dc.violations_mode,    &dc.psi_interval,
                       &dc.reserve,       &dc.min_i_over_sigma,   &dc.multiple_psi};
    for (std::size_t i = 0; i < 12; ++i) take(in, i, *fields[i]);
  } else if (key == "HKLORD") {
    if (!all_whole(in, {0, 1, 2, 3, 4, 5, 6, 7, 8})) return false;
    for (std::size_t i = 0; i < 6; ++i) take(in, i, dc.index_limits[i]);
    for (std::size_t i = 0; i < 3; ++i) take(in, i + 6, dc.increment_order[i]);
  } else if (key == "ALLSTD") {
    if (!all_whole(in, {0, 1})) return false;
    take(in, 0, dc.standard_count);
    take(in, 1, dc.standard_interval);
  } else if (key == "HKLST") {
    if (!all_whole(in, {0, 1, 2, 3, 4})) return false;
    if (!in.has(0)) return true;
    const double n = in.values[0];
    if (n < 1 || n > 5) return true;  // no such standard: ignored
    const auto s = static_cast<std::size_t>(n);
    for (std::size_t i = 0; i < 3; ++i) take(in, i + 1, dc.standard_indices[s][i]);
    take(in, 4, dc.standards_in_use[s]);
  } else if (key == "SHELL") {
    if (!all_whole(in, {0, 3})) return false;
    if (!in.has(0)) return true;
    const double n = in.values[0];
    if (n < 1 || n > 10) return true;  // no such shell: ignored
    const auto s = static_cast<std::size_t>(n);
    take(in, 1, dc.shell_lower[s]);
    take(in, 2, dc.shell_upper[s]);
    take(in, 3, dc.shell_selected[s]);
  }
  return true;
}

// The axis character of a MOTOR line: the first non-blank character between column 7 and the
// line's first comma ("MOTOR1 3,  ..." is controller axis 3); when there is none, the motor
// number itself ("MOTOR2,  ..." is axis 2).
char axis_character(std::string_view line, std::size_t comma, int motor) {
  for (std::size_t i = 6; i < comma && i < line.size(); ++i)
    if (line[i] != ' ') return line[i];
  return static_cast<char>('0' + motor);
}

class ProfileReader {
 public:
  // Returns false after a fatal error (already reported).
  bool read(const std::vector<std::string>& lines);
  bool finish();
  const Seen& seen() const { return seen_; }

 private:
  bool line_error(std::string_view line) {
    ERRORLOG("ERROR READING DIFFRACTOMETER PROFILE FILE, THE LAST LINE READ IN WAS: " +
             printable(columns(line, 1, 80)));
    return false;
  }
  // A value the machine cannot run with: said, then refused with its line.
  bool bad_value(std::string_view what, std::string_view line) {
    WRITE_TERM(" ***** " + std::string(what) + " IN PROFILE FILE");
    return line_error(line);
  }
  bool keyword_line(std::string_view line);
  bool check_motor_values();

  std::vector<MotorLine> motor_lines_;
  std::array<std::string, 9> motor_text_;  // the last MOTOR line of each motor
  Seen seen_;
  int recognised_ = 0;
  int unrecognised_ = 0;
};

bool ProfileReader::keyword_line(std::string_view line) {
  MachineProfile& p = S().profile;
  Reader r{line};
  const std::string key = upper_shift(columns(line, 1, 6));
  const std::string key5 = key.substr(0, 5);

  if (key5 == "MOTOR") {
    const char digit = columns(line, 6, 1)[0];
    const int motor = digit == ' ' ? 0 : (digit >= '0' && digit <= '9' ? digit - '0' : -1);
    if (motor < 0) return line_error(line);
    if (motor < 1 || motor > 8) {
      WRITE_TERM(" ****UNRECOGNISED MOTOR NUMBER " + I(motor, 1) + " IN PROFILE FILE - IGNORED");
      return true;
    }
    const std::size_t comma = line.find(',');
    if (comma == std::string_view::npos) return line_error(line);
    MotorLine m;
    m.motor = motor;
    const int first = static_cast<int>(comma) + 2;  // the column after the comma
    for (int i = 0; i < 10; ++i) m.values[static_cast<std::size_t>(i)] = r.real(first + 10 * i, 10);
    if (r.failed) return line_error(line);
    m.axis = axis_character(line, comma, motor);
    motor_lines_.push_back(m);
    motor_text_[static_cast<std::size_t>(motor)] = std::string(line);
  } else if (key == "CONFIG") {
    std::array<int, 13> c{};
    for (int i = 1; i <= 12; ++i) c[static_cast<std::size_t>(i)] = r.integer(7 + 5 * (i - 1), 5);
    if (r.failed) return line_error(line);
    if (c[11] < 0 || c[11] > 60000) return bad_value("SHUTTER DELAY OUTSIDE 0 TO 60000 MS", line);
    for (std::size_t i = 1; i <= 4; ++i) {
      if (c[i] == 0) {
        ERRORLOG(" ***** FATAL ERROR READING PARITY  DATA IN DIFPROF FILE");
        return false;
      }
      p.sense[i] = c[i] > 0 ? 1.0f : -1.0f;
    }
    p.config = c;
  } else if (key == "GONCON") {
    std::array<float, 2> g{r.real(7, 10), r.real(17, 10)};
    if (r.failed) return line_error(line);
    p.goncon = g;
  } else if (key == "SCANS1") {
    std::array<float, 8> s{};
    for (std::size_t i = 0; i < 8; ++i) s[i] = r.real(7 + 10 * static_cast<int>(i), 10);
    if (r.failed) return line_error(line);
    p.scans1 = s;
    seen_.scans1 = true;
  } else if (key == "SCANS2") {
    std::array<int, 5> n{};
    std::array<float, 4> x{};
    for (std::size_t i = 0; i < 5; ++i) n[i] = r.integer(7 + 5 * static_cast<int>(i), 5);
    for (std::size_t i = 0; i < 4; ++i) x[i] = r.real(32 + 10 * static_cast<int>(i), 10);
    if (r.failed) return line_error(line);
    n[2] = n[2] == 1 ? 1 : 0;  // the parabola flag is set exactly by a 1
    p.scans2_int = n;
    p.scans2_real = x;
    seen_.scans2 = true;
  } else if (key == "WAVEL ") {
    const int count = r.integer(7, 5);
    const float w1 = r.real(12, 10), w2 = r.real(22, 10), ratio = r.real(32, 10);
    if (r.failed) return line_error(line);
    // X-ray wavelengths are a few angstrom; the matrix file holds them as F10.6.
    auto wavelength = [](float w) { return w > 0.0f && w < 100.0f; };
    if (count != 1 && count != 2) return bad_value("NUMBER OF WAVELENGTHS NOT 1 OR 2", line);
    if (!wavelength(w1) || (count == 2 && !wavelength(w2)))
      return bad_value("WAVELENGTH NOT BETWEEN 0 AND 100 A", line);
    if (count == 2 && !(ratio >= 0.0f && ratio <= 1.0f))
      return bad_value("INTENSITY RATIO NOT BETWEEN 0 AND 1", line);
    p.wave_count = count;
    p.lambda1 = w1;
    p.lambda2 = w2;
    p.ratio = count == 1 ? 0.0f : ratio;
    seen_.wavel = true;
  } else if (key == "MONOC ") {
    const float angle = r.real(7, 10), unused = r.real(17, 10);
    const int factor = r.integer(27, 5);
    if (r.failed) return line_error(line);
    if (!(std::fabs(angle) < 180.0f)) return bad_value("MONOCHROMATOR 2THETA OUTSIDE +-180", line);
    p.monoc_angle = angle;
    p.monoc_unused = unused;
    p.monoc_factor = factor;
  } else if (key == "VIEW  " || key == "PARK  " || key == "OFFSET") {
    std::array<float, 10> v{};
    for (std::size_t i = 0; i < 10; ++i) v[i] = r.real(7 + 10 * static_cast<int>(i), 10);
    if (r.failed) return line_error(line);
    if (key == "VIEW  ") {
      p.view = v;
    } else {
      auto& target = key == "PARK  " ? p.park : p.offset;
      for (std::size_t i = 0; i < 10; ++i) target[i + 1] = v[i];
    }
  } else if (key == "FILMD ") {
    const float d = r.real(7, 10);
    if (r.failed) return line_error(line);
    if (d < 0.0f) return bad_value("NEGATIVE FILM DISTANCE", line);
    p.film_distance = d;
  } else if (key == "CONTRO" && columns(line, 7, 1) == "L") {
    const int type = r.integer(8, 10);
    if (r.failed) return line_error(line);
    p.interface_type = type;
  } else if (key == "PHOTO ") {
    std::array<float, 5> v{};
    for (std::size_t i = 0; i < 5; ++i) v[i] = r.real(7 + 10 * static_cast<int>(i), 10);
    if (r.failed) return line_error(line);
    p.photo = v;
  } else if (key == "DIFNAM") {
    p.difnam = text_field(line, 7, 60);
  } else if (key == "COMPOR") {
    std::array<int, 11> c{};
    for (int i = 1; i <= 10; ++i) c[static_cast<std::size_t>(i)] = r.integer(8 + 5 * (i - 1), 5);
    if (r.failed) return line_error(line);
    if (c[3] <= 0) return bad_value("BAUD RATE NOT POSITIVE", line);
    if (c[5] < 5 || c[5] > 8) return bad_value("DATA BITS NOT 5 TO 8", line);
    if (c[9] < 0) return bad_value("NEGATIVE READ TIMEOUT", line);
    for (std::size_t i : {std::size_t{7}, std::size_t{8}})
      if (c[i] < 1 || c[i] > 3) c[i] = 3;
    if (c[10] < 0) c[10] = 0;
    p.compor = c;
  } else if (key == "NOSHUT") {
    p.no_shutter = 1;
  } else if (key == "UBTRAN") {
    if (p.ubtran_count >= 10) return true;  // room for ten; further lines are ignored
    Mat3 m;
    for (int row = 0; row < 3; ++row)
      for (int col = 0; col < 3; ++col) m(row, col) = r.real(7 + 7 * (3 * row + col), 7, 5);
    if (r.failed) return line_error(line);
    UbTransform& t = p.ubtran[static_cast<std::size_t>(p.ubtran_count)];
    t.m = m;
    t.name = text_field(line, 70, 11);
    ++p.ubtran_count;
  } else if (key == "SGROUP") {
    const int number = r.integer(7, 5);
    if (r.failed) return line_error(line);
    S().datacol.space_group_number = number;
    S().datacol.space_group_symbol = text_field(line, 12, 20);
  } else if (key == "DSCAN1" || key == "DSCAN2" || key == "HKLORD" || key == "ALLSTD" ||
             key5 == "HKLST" || key5 == "SHELL" || key.substr(1, 5) == "SHELL") {
    std::string which = key;
    if (key5 == "HKLST") which = "HKLST";
    if (key5 == "SHELL" || key.substr(1, 5) == "SHELL") which = "SHELL";
    if (!read_datacol_line(which, line)) return line_error(line);
  } else {
    WRITE_TERM(" **** UNRECOGNISED KEYWORD " + printable(key) + " IN PROFILE FILE - IGNORED");
    if (++unrecognised_ > kMostUnrecognised && unrecognised_ > recognised_) {
      ERRORLOG("THE DIFFRACTOMETER PROFILE FILE IS NOT A PROFILE: MOST OF ITS LINES HOLD NO "
               "PROFILE KEYWORD");
      return false;
    }
    return true;
  }
  ++recognised_;
  return true;
}

bool ProfileReader::read(const std::vector<std::string>& lines) {
  for (std::string line : lines) {
    if (static_cast<int>(line.size()) > kColumns) line.resize(kColumns);
    if (trim(columns(line, 1, 6)).empty()) continue;  // comment or empty line
    if (!keyword_line(line)) return false;
  }
  return true;
}

// Every motor the controller drives needs a scale it can count in and limits that leave it
// room to move (the driver's defaults have been applied; chi and phi with both limits 0 turn
// freely).
bool ProfileReader::check_motor_values() {
  const MachineProfile& p = S().profile;
  for (std::size_t m = 1; m <= 8; ++m) {
    const MotorProfile& motor = p.motor[m];
    if (!motor.recorded) continue;
    const float scale = std::fabs(motor.steps_per_degree);
    // 360 degrees must be a whole number of controller steps within a 32-bit counter.
    if (!(scale > 0.0f) || scale > 1.0e6f)
      return bad_value("STEPS PER DEGREE OF MOTOR " + std::to_string(m) + " NOT BETWEEN 0 AND 1E6",
                       motor_text_[m]);
    const bool no_limits = motor.lower == 0.0f && motor.upper == 0.0f;
    if (!no_limits && !(motor.lower < motor.upper && std::fabs(motor.lower) <= 1.0e4f &&
                        std::fabs(motor.upper) <= 1.0e4f))
      return bad_value("LIMITS OF MOTOR " + std::to_string(m) + " REVERSED OR OUT OF RANGE",
                       motor_text_[m]);
  }
  return true;
}

// Checks the motors with the controller family's rules, requires the motors the machine
// cannot run without, and derives what follows from the whole file.
bool ProfileReader::finish() {
  MachineProfile& p = S().profile;
  if (p.no_shutter) {
    p.config[12] = 0;
    DISPLAY_SHUTTER(3);
  }

  const int type = p.interface_type;
  if (type == 0) {
    ERRORLOG(
        " ***** ERROR IN DIFPROF.DAT. INTERFACE NOT SPECIFIED"
        "                ****PROGRAM HALTED****");
    return false;
  }
  if (type != 1 && type != 2 && type != 3 && type != 6 && type != 7) {
    ERRORLOG(" ***** ERROR IN DIFPROF.DAT. INTERFACE TYPE " + std::to_string(type) +
             " IS NOT A KNOWN CONTROLLER                ****PROGRAM HALTED****");
    return false;
  }

  for (const MotorLine& m : motor_lines_) {
    int status = 1;
    p.motor[static_cast<std::size_t>(m.motor)].axis = m.axis;
    CHECK_MOTOR(m.motor, m.values, status);
    if (status != 0) return false;  // reported by the check
    p.motor[static_cast<std::size_t>(m.motor)].recorded = 1;
  }
  if (!check_motor_values()) return false;

  for (int m = 1; m <= 6; ++m) {
    if (m == 5 || (m == 6 && !p.slits_motorised())) continue;
    if (!p.motor[static_cast<std::size_t>(m)].recorded) {
      ERRORLOG("  ***** PARAMETERS FOR MOTOR " + std::to_string(m) +
               " NOT RECORDED                ****PROGRAM HALTED****");
      return false;
    }
  }

  // Monochromator correction of the omega steps for the second wavelength:
  // factor * (asin(lambda2/lambda1 * sin(|m|/2)) - m/2), in degrees.
  if ((p.config[7] == 1 && p.monoc_angle == 0.0f) || (p.monoc_factor != 0 && p.lambda1 <= 0.0f)) {
    WRITE_TERM(" ***** ERROR IN MONOCHROMATOR INFORMATION");
  } else if (p.monoc_factor == 0) {
    p.monoc_correction = 0.0f;
  } else {
    const double theta_m = std::fabs(p.monoc_angle) / 2.0 / kDegreesPerRadian;
    const double r = static_cast<double>(p.lambda2) / p.lambda1;
    const double s = r * std::sin(theta_m);
    if (s < -1.0 || s > 1.0) {
      // No such reflection angle: the wavelengths do not fit the monochromator.
      WRITE_TERM(" ***** ERROR IN MONOCHROMATOR INFORMATION");
    } else {
      p.monoc_correction = static_cast<float>(
          p.monoc_factor * (std::asin(s) * kDegreesPerRadian - p.monoc_angle / 2.0));
    }
  }
  return true;
}

// The crystal, centring and device records start from the machine's values.
void initialise_from_profile(const Seen& seen) {
  ProgramState& s = S();
  const MachineProfile& p = s.profile;

  if (seen.wavel) {
    s.crystal.wave_count = p.wave_count;
    s.crystal.lambda1 = p.lambda1;
    s.crystal.lambda2 = p.lambda2;
    s.crystal.ratio = p.ratio;
  }

  CentringParameters& c = s.centring;
  if (seen.scans1) {
    c.min_count_rate = p.scans1[0];
    c.max_min_ratio = p.scans1[1];
    c.max_time_per_step = p.scans1[2];
    c.required_max_count = p.scans1[3];
    c.initial_omega_width_a = p.scans1[4];
    c.initial_omega_width_b = p.scans1[5];
    c.slit5 = p.scans1[6];
    c.slit6 = p.scans1[7];
  }
  if (seen.scans2) {
    c.chi_final_steps = p.scans2_int[0];
    c.omega_final_steps = p.scans2_int[1];
    c.final_omega_method = p.scans2_int[2] == 1 ? 1 : 0;
    c.two_theta_fixed = p.scans2_int[3];
    c.eta_refined = p.scans2_int[4] != 0 ? 1 : 0;
    c.chi_width_coeff = p.scans2_real[0];
    c.final_omega_width_a = p.scans2_real[1];
    c.final_omega_width_b = p.scans2_real[2];
    c.eta = p.scans2_real[3];
  }

  DeviceSettings& d = s.device;
  d.chi_limited = p.chi_limited;
  d.chi_lower = p.motor[3].lower;
  d.chi_upper = p.motor[3].upper;
  d.phi_limited = p.phi_limited;
  d.phi_lower = p.motor[4].lower;
  d.phi_upper = p.motor[4].upper;
  d.omega_lower = p.motor[2].lower;
  d.omega_upper = p.motor[2].upper;
  d.restricted_range = (d.chi_limited && d.chi_upper - d.chi_lower < 359.0f) ||
                       (d.phi_limited && d.phi_upper - d.phi_lower < 180.1f);
}

}  // namespace

void READ_DIFPROF() {
  MachineProfile& p = S().profile;
  p.no_shutter = 0;
  p.config[7] = 0;
  p.monoc_factor = 0;
  p.ubtran_count = 0;
  for (MotorProfile& m : p.motor) m.recorded = 0;
  p.axis_motor.fill(0);
  p.axis_count = 0;

  const std::string path = S().shell.program_directory + "DIFPROF.DAT";
  const TextFile file = read_text_file(path, kMaxProfileBytes);
  if (file.status == TextFile::Status::cannot_open) {
    ERRORLOG("ERROR OPENING DIFFRACTOMETER PROFILE FILE");
    return;
  }
  if (file.status != TextFile::Status::ok) {
    ERRORLOG("THE DIFFRACTOMETER PROFILE FILE " + path + " IS NOT A PROFILE: " + file.reason);
    return;
  }
  ProfileReader reader;
  const bool ok = reader.read(file.lines);
  if (!ok || !reader.finish()) return;
  initialise_from_profile(reader.seen());
}

}  // namespace dorvex
