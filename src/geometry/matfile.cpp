// The orientation-matrix file: writer, reader and the choice of the file.
//
// The writer never rewrites the file in place: the new contents go to a temporary file beside
// it, which is flushed to disk and then renamed over the old file, so a crash, a full disk or a
// kill in the middle of a write leaves the previous version intact.
#include "geometry/matfile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "common/fields.hpp"
#include "common/state.hpp"
#include "common/textfile.hpp"   // bounded reading, any line ends
#include "geometry/cell.hpp"     // OMTOB: cell and B from UB; CALCB: B from the cell
#include "geometry/display.hpp"     // summary shown after loading
#include "console/output.hpp"
#include "console/status.hpp"      // CLEAR_PLOT, DISPLAY_MATFILE, date and time texts
#include "console/dialogue.hpp"  // file browser and yes/no box

namespace dorvex {

namespace {

constexpr std::size_t kLineWidth = 80;  // columns of a line that the reader looks at
// A full matrix file holds a few kilobytes; anything far larger is no matrix file, and is not
// read into memory.
constexpr std::size_t kMaxFileBytes = 1 << 20;

// Header lines of the program, repeated in the user log when a matrix file is opened.
constexpr std::string_view kTitleLine =
    "                    DORVEX2010 Diffractometer Control Program ";
constexpr std::string_view kCreditsLine =
    "                    Four-circle single-crystal diffractometer control";

std::string with_slash(std::string directory) {
  if (!directory.empty() && directory.back() != '/') directory += '/';
  return directory;
}

// "Tue Dec  6 14:10:13 2026": weekday A3, month A3, day I2, hh:mm:ss, year I4; English names
// whatever the locale.
std::string creation_stamp() {
  static constexpr std::array<const char*, 7> kDays{"Sun", "Mon", "Tue", "Wed",
                                                    "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr",
                                                       "May", "Jun", "Jul", "Aug",
                                                       "Sep", "Oct", "Nov", "Dec"};
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  auto two = [](int v) { return std::string(1, static_cast<char>('0' + v / 10)) +
                                static_cast<char>('0' + v % 10); };
  return A(kDays[static_cast<std::size_t>(t.tm_wday % 7)], 3) + " " +
         A(kMonths[static_cast<std::size_t>(t.tm_mon % 12)], 3) + " " + I(t.tm_mday, 2) + " " +
         two(t.tm_hour) + ":" + two(t.tm_min) + ":" + two(t.tm_sec) + " " +
         I(t.tm_year + 1900, 4);
}

// One line per record, as stored. Column map (1-based):
//   CELL    1-6 label, 7-76 a b c alpha beta gamma volume       7F10.4
//   UB      1-6 label, 7-36 one row of UB                        3F10.6
//   WAVEL   1-6 label, 7-11 count I5, 12-41 lambda1 lambda2 ratio 3F10.6
//   SCANS1  1-6 label, 7-38 4F8.2, 39-70 4F8.4
//   SCANS2  1-6 label, 7-31 5I5, 32-71 4F10.4
//   DEVICE  1-6 label, 7-14 4I2, 15-77 7F9.3
//   HIGHT   1-6 label, 7-24 2F9.3 omega limits, 25-36 2F6.1 pause, chi move
//   NREFLN  1-6 label, 7-11 I5
//   LISTREF 1-7 label, 8-10 I3 number, 11-28 3F6.2 hkl, 29-68 4F10.4 angles,
//           69-75 I7 intensity, 76-77 I2 ref, 78-79 I2 use
//   SGROUP  1-6 label, 7-11 I5, 12-31 A20
//   DSCAN1  1-6 label, 7-22 2F8.4
//   DSCAN2  1-6 label, 7-80 F6.1 F6.1 F7.4 F6.1 F6.1 F6.1 F6.1 F6.1 F6.2 F6.1 F6.2 F6.1
//   HKLORD  1-6 label, 7-42 9I4
//   ALLSTD  1-6 label, 7-16 2I5
//   HKLST   1-6 label, 7-9 I3, 10-29 4I5
//   SHELL   1-6 label, 7-11 I5, 12-29 2F9.3, 30-34 I5
// The volume of a large cell (a protein's, above 99999 A^3) does not fit F10.4: it is written
// with as many decimals as its 10 columns hold after a separating blank, which every reader of
// the line takes alike.
std::string fitted(float v, int width, int decimals) {
  const std::string text = F(v, width, decimals);
  if (text.find('*') == std::string::npos) return text;
  for (int d = decimals - 1; d >= 0; --d) {
    const std::string fewer = F(v, width, d);
    if (fewer[0] == ' ') return fewer;
  }
  return text;
}

std::string cell_line(const CrystalState& c) {
  std::string cell = "CELL  ";
  for (float v : c.cell) cell += fitted(v, 10, 4);
  return cell + fitted(c.volume, 10, 4);
}
std::string ub_line(const Mat3& ub, int row) {
  return "UB    " + F(ub(row, 0), 10, 6) + F(ub(row, 1), 10, 6) + F(ub(row, 2), 10, 6);
}
std::string wavel_line(const CrystalState& c) {
  return "WAVEL " + I(c.wave_count, 5) + F(c.lambda1, 10, 6) + F(c.lambda2, 10, 6) +
         F(c.ratio, 10, 6);
}
std::string scans1_line(const CentringParameters& cp) {
  return "SCANS1" + F(cp.min_count_rate, 8, 2) + F(cp.max_min_ratio, 8, 2) +
         F(cp.max_time_per_step, 8, 2) + F(cp.required_max_count, 8, 2) +
         F(cp.initial_omega_width_a, 8, 4) + F(cp.initial_omega_width_b, 8, 4) +
         F(cp.slit5, 8, 4) + F(cp.slit6, 8, 4);
}
std::string scans2_line(const CentringParameters& cp) {
  return "SCANS2" + I(cp.chi_final_steps, 5) + I(cp.omega_final_steps, 5) +
         I(cp.parabola() ? 1 : 0, 5) + I(cp.two_theta_fixed, 5) + I(cp.eta_refined, 5) +
         F(cp.chi_width_coeff, 10, 4) + F(cp.final_omega_width_a, 10, 4) +
         F(cp.final_omega_width_b, 10, 4) + F(cp.eta, 10, 4);
}
std::string device_line(const DeviceSettings& d) {
  return "DEVICE" + I(d.type, 2) + I(d.fixed_phi, 2) + I(d.chi_limited, 2) +
         I(d.phi_limited, 2) + F(d.psi_max, 9, 3) + F(d.chi_lower, 9, 3) + F(d.chi_upper, 9, 3) +
         F(d.phi_lower, 9, 3) + F(d.phi_upper, 9, 3) + F(d.gasket_angle, 9, 3) +
         F(d.zaxis_angle, 9, 3);
}
std::string hight_line(const DeviceSettings& d) {
  return "HIGHT " + F(d.omega_lower, 9, 3) + F(d.omega_upper, 9, 3) + F(d.chi_pause, 6, 1) +
         F(d.chi_pause_move, 6, 1);
}
std::string listref_line(const ReflectionEntry& e, int number) {
  std::string text = "LISTREF" + I(number, 3) + F(e.h, 6, 2) + F(e.k, 6, 2) + F(e.l, 6, 2);
  for (float a : e.angles) text += F(a, 10, 4);
  return text + I(e.intensity, 7) + I(e.ref, 2) + I(e.use, 2);
}
std::string sgroup_line(const DataCollectionParameters& dc) {
  return "SGROUP" + I(dc.space_group_number, 5) + A(dc.space_group_symbol, 20);
}
std::string dscan1_line(const DataCollectionParameters& dc) {
  return "DSCAN1" + F(dc.scan_width_a, 8, 4) + F(dc.scan_width_b, 8, 4);
}
std::string dscan2_line(const DataCollectionParameters& dc) {
  return "DSCAN2" + F(dc.scan_type, 6, 1) + F(dc.psi_scans, 6, 1) + F(dc.step, 7, 4) +
         F(dc.time_per_step, 6, 1) + F(dc.constant_precision, 6, 1) +
         F(dc.required_i_over_sigma, 6, 1) + F(dc.max_scans, 6, 1) +
         F(dc.violations_mode, 6, 1) + F(dc.psi_interval, 6, 2) + F(dc.reserve, 6, 1) +
         F(dc.min_i_over_sigma, 6, 2) + F(dc.multiple_psi, 6, 1);
}
std::string hklord_line(const DataCollectionParameters& dc) {
  std::string order = "HKLORD";
  for (int v : dc.index_limits) order += I(v, 4);
  for (int v : dc.increment_order) order += I(v, 4);
  return order;
}
std::string allstd_line(const DataCollectionParameters& dc) {
  return "ALLSTD" + I(dc.standard_count, 5) + I(dc.standard_interval, 5);
}
std::string hklst_line(const DataCollectionParameters& dc, std::size_t n) {
  const Vec3& hkl = dc.standard_indices[n];
  return "HKLST " + I(static_cast<long>(n), 3) + I(NINT(hkl[0]), 5) + I(NINT(hkl[1]), 5) +
         I(NINT(hkl[2]), 5) + I(dc.standards_in_use[n], 5);
}
std::string shell_line(const DataCollectionParameters& dc, std::size_t n) {
  return "SHELL " + I(static_cast<long>(n), 5) + F(dc.shell_lower[n], 9, 3) +
         F(dc.shell_upper[n], 9, 3) + I(dc.shell_selected[n], 5);
}

// A number too wide for its field is written as asterisks, which no reader can take back:
// such a line must never be stored. Only the numeric columns count (titles and space-group
// symbols may hold asterisks of their own).
bool overflows(std::string_view line) {
  if (line.rfind("TITLE", 0) == 0) return false;
  if (line.rfind("SGROUP", 0) == 0) return line.substr(6, 5).find('*') != std::string::npos;
  return line.find('*') != std::string::npos;
}

// The whole file after its date line. Lines that cannot be stored are collected in
// `unstorable` (the file must then not be written).
std::string matfile_body(const ProgramState& st, std::vector<std::string>& unstorable) {
  const CrystalState& c = st.crystal;
  const DeviceSettings& d = st.device;
  const ReflectionList& list = st.list;
  const DataCollectionParameters& dc = st.datacol;

  std::string out;
  auto line = [&](const std::string& text) {
    if (overflows(text)) unstorable.push_back(text);
    out += text;
    out += '\n';
  };

  line("      FILE NAME: " + std::string(trim(st.shell.matfile_name)));
  line("TITLE " + A(c.title, 60));
  line("");
  line("");
  line(cell_line(c));
  for (int row = 0; row < 3; ++row) line(ub_line(c.UB, row));
  line("");
  line("");
  line(wavel_line(c));
  line(scans1_line(st.centring));
  line(scans2_line(st.centring));
  line(device_line(d));
  if (d.type >= 2 && d.type <= 5) line(hight_line(d));
  line("");
  line("");
  line("REFLECTION LIST START");
  const int count = std::clamp(list.count, 0, kListSize);
  line("NREFLN" + I(count, 5));
  for (int n = 0; n < count; ++n) line(listref_line(list.entry[static_cast<std::size_t>(n)], n + 1));
  line("REFLECTION LIST END");
  line("");
  line("");
  line("         DATA COLLECTION PARAMETERS");
  line("");
  line(sgroup_line(dc));
  line(dscan1_line(dc));
  line(dscan2_line(dc));
  line(hklord_line(dc));
  line(allstd_line(dc));
  for (std::size_t n = 1; n <= 5; ++n) line(hklst_line(dc, n));
  for (std::size_t n = 1; n <= 10; ++n) line(shell_line(dc, n));
  return out;
}

std::string date_line() {
  return "      THIS MAT FILE CREATED BY DORVEX ON  " + creation_stamp() + "\n";
}

// Writes all of `data` to `fd`, retrying interrupted and partial writes.
bool write_all(int fd, const std::string& data) {
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

// Replaces the existing regular file `path` by `contents`: temporary file beside it, fsync,
// rename. The old file is left untouched on any failure. A symbolic link is followed, so the
// file it names is replaced and the link kept. The new file keeps the old one's mode, and its
// owner and group where the program may set them.
// The system's reason of the last failed replace_file.
std::string replace_failure;

bool replace_file(const std::string& path, const std::string& contents) {
  struct stat old_stat {};
  replace_failure.clear();
  if (::stat(path.c_str(), &old_stat) != 0) {
    replace_failure = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(old_stat.st_mode)) {
    replace_failure = "not a regular file";
    return false;
  }
  std::string target = path;
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    target = real;
    std::free(real);
  }
  const std::string temporary = target + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                        old_stat.st_mode & 0777);
  if (fd < 0) {
    replace_failure = std::string(std::strerror(errno)) + " (" + temporary + ")";
    return false;
  }
  (void)::fchown(fd, ::geteuid() == 0 ? old_stat.st_uid : static_cast<uid_t>(-1),
                 old_stat.st_gid);
  (void)::fchmod(fd, old_stat.st_mode & 07777);
  bool ok = write_all(fd, contents) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) {
    replace_failure = std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  // Make the rename itself durable; a failure here leaves a complete file either way.
  const std::string directory = std::filesystem::path(target).parent_path().string();
  const int dir_fd = ::open(directory.empty() ? "." : directory.c_str(),
                            O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    (void)::fsync(dir_fd);
    ::close(dir_fd);
  }
  return true;
}

std::string directory_of(const std::string& file) {
  const std::string dir = std::filesystem::path(file).parent_path().string();
  return dir.empty() ? "." : dir;
}

// Why the operator could not write the existing file `path` in place, or "" when nothing
// stands in the way. The rename of the writer would replace even a read-only file or one of
// another user (it needs only the directory), so this is asked before every rewrite.
std::string write_refusal(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "";  // not there: the writer reports it
  const uid_t me = ::geteuid();
  if (me == 0) {
    // The superuser may write anything: a file nobody may write was made read-only on purpose.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return "THE FILE IS READ-ONLY";
  } else {
    if (::access(path.c_str(), W_OK) != 0) return "THE FILE IS READ-ONLY FOR YOU";
    if (st.st_uid != me)
      return "THE FILE BELONGS TO ANOTHER USER (UID " + std::to_string(st.st_uid) + ")";
  }
  std::string target = path;
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    target = real;
    std::free(real);
  }
  if (::access(directory_of(target).c_str(), W_OK | X_OK) != 0)
    return "ITS DIRECTORY CANNOT BE WRITTEN";
  return "";
}

// A copy of the file as it is, under the first free name FILE.bak, FILE.bak2, ...; returns
// its name, or "" when no copy could be made.
std::string keep_backup(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  const std::string original((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (int n = 1; n < 100; ++n) {
    const std::string name = path + ".bak" + (n == 1 ? "" : std::to_string(n));
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return "";
    }
    const bool ok = write_all(fd, original) && ::fsync(fd) == 0;
    if (::close(fd) == 0 && ok) return name;
    ::unlink(name.c_str());
    return "";
  }
  return "";
}

// ---------------------------------------------------------------------------------------------
// Reading.

// Free-format values into a row of integer and real slots. Nothing is stored unless the whole
// line reads; values missing at the end of the line leave their slots as they were.
using Slot = std::variant<int*, float*>;

bool read_free(std::string_view text, std::initializer_list<Slot> slots) {
  const ListInput in = read_list(text);
  if (in.error) return false;
  std::size_t n = 0;
  for (const Slot& slot : slots) {
    if (n >= in.values.size()) break;
    const double v = in.values[n++];
    if (std::holds_alternative<int*>(slot)) {
      if (v != std::floor(v) || v < INT_MIN || v > INT_MAX) return false;
    } else if (std::fabs(v) > FLT_MAX) {
      return false;
    }
  }
  n = 0;
  for (const Slot& slot : slots) {
    if (n >= in.values.size()) break;
    const double v = in.values[n++];
    if (auto* ip = std::get_if<int*>(&slot))
      **ip = static_cast<int>(v);
    else
      *std::get<float*>(slot) = static_cast<float>(v);
  }
  return true;
}

std::optional<float> real_field(std::string_view line, int first, int width) {
  auto v = read_real_field(line, first, width);
  if (!v || std::fabs(*v) > FLT_MAX) return std::nullopt;
  return static_cast<float>(*v);
}

std::optional<int> int_field(std::string_view line, int first, int width) {
  auto v = read_int_field(line, first, width);
  if (!v || *v < INT_MIN || *v > INT_MAX) return std::nullopt;
  return static_cast<int>(*v);
}

// LISTREF: fixed columns from column 8 (number I3, 3F6.2, 4F10.4, I7, 2I2).
bool read_listref(std::string_view line, ReflectionEntry& e) {
  ReflectionEntry r;
  if (!int_field(line, 8, 3)) return false;
  std::array<float*, 7> reals{&r.h, &r.k, &r.l, &r.angles[0], &r.angles[1], &r.angles[2],
                              &r.angles[3]};
  int column = 11;
  for (std::size_t i = 0; i < reals.size(); ++i) {
    const int width = i < 3 ? 6 : 10;
    auto v = real_field(line, column, width);
    if (!v) return false;
    *reals[i] = *v;
    column += width;
  }
  auto intensity = int_field(line, 69, 7);
  auto ref = int_field(line, 76, 2);
  auto use = int_field(line, 78, 2);
  if (!intensity || !ref || !use) return false;
  r.intensity = *intensity;
  r.ref = *ref;
  r.use = *use;
  e = r;
  return true;
}

// The number that selects the slot of an HKLST or SHELL line (0 when the line is empty).
bool leading_number(std::string_view values, int& number) {
  number = 0;
  const ListInput in = read_list(values);
  if (in.error) return false;
  if (in.values.empty()) return true;
  return read_free(values, {&number});
}

// A limit pair taken from the file but kept inside the hardware range. A pair that leaves no
// range at all (lower not below upper) would stop every drive of the circle; it is not taken.
bool narrow(float line_lower, float line_upper, float hw_lower, float hw_upper, float& lower,
            float& upper) {
  const float new_lower = std::max(hw_lower, line_lower);
  const float new_upper = std::min(hw_upper, line_upper);
  if (!(new_lower < new_upper)) return false;
  lower = new_lower;
  upper = new_upper;
  return true;
}

// Chi or phi from the DEVICE line: the line's limits when its flag is 1, only narrowed when the
// hardware limits the circle; the line's flag is taken only when the hardware does not.
void take_circle_limits(int line_flag, float line_lower, float line_upper, bool hw_limited,
                        const MotorProfile& motor, int& limited, float& lower, float& upper) {
  bool taken = false;
  if (line_flag == 1)
    taken = hw_limited ? narrow(line_lower, line_upper, motor.lower, motor.upper, lower, upper)
                       : narrow(line_lower, line_upper, -FLT_MAX, FLT_MAX, lower, upper);
  if (!hw_limited) limited = taken ? 1 : 0;
}

void read_device_line(std::string_view values, const MachineProfile& profile, DeviceSettings& d,
                      bool& ok) {
  int type = d.type, mode = d.fixed_phi, chi_flag = d.chi_limited, phi_flag = d.phi_limited;
  float psi = d.psi_max, chi_lo = d.chi_lower, chi_hi = d.chi_upper, phi_lo = d.phi_lower,
        phi_hi = d.phi_upper, gasket = d.gasket_angle, zaxis = d.zaxis_angle;
  ok = read_free(values, {&type, &mode, &chi_flag, &phi_flag, &psi, &chi_lo, &chi_hi, &phi_lo,
                          &phi_hi, &gasket, &zaxis});
  if (!ok) return;
  d.type = type;
  d.fixed_phi = mode == 1 ? 1 : 0;
  d.psi_max = psi;
  d.gasket_angle = gasket;
  d.zaxis_angle = zaxis;
  take_circle_limits(chi_flag, chi_lo, chi_hi, profile.chi_limited != 0, profile.motor[3],
                     d.chi_limited, d.chi_lower, d.chi_upper);
  take_circle_limits(phi_flag, phi_lo, phi_hi, profile.phi_limited != 0, profile.motor[4],
                     d.phi_limited, d.phi_lower, d.phi_upper);
  d.restricted_range = ((d.chi_limited != 0 && d.chi_upper - d.chi_lower < 359.0f) ||
                        (d.phi_limited != 0 && d.phi_upper - d.phi_lower < 180.1f))
                           ? 1
                           : 0;
}

void read_hight_line(std::string_view values, const MachineProfile& profile, DeviceSettings& d,
                     bool& ok) {
  float lo = d.omega_lower, hi = d.omega_upper, pause = d.chi_pause, move = d.chi_pause_move;
  ok = read_free(values, {&lo, &hi, &pause, &move});
  if (!ok) return;
  (void)narrow(lo, hi, profile.motor[2].lower, profile.motor[2].upper, d.omega_lower,
               d.omega_upper);
  d.chi_pause = pause;
  d.chi_pause_move = move;
  if (d.chi_pause_move < 0.0f) {
    d.chi_pause_move = 0.0f;
    d.chi_pause = 0.0f;
  }
  if (d.chi_pause < 0.0f) d.chi_pause = 0.0f;
}

// The label of a line: the first of these found within columns 1 to 6 (HKLST in 1 to 5).
enum class Label {
  none, cell, ub, wave, scans1, scans2, device, hight, nrefln, listref, title, sgroup,
  dscan1, dscan2, hklord, allstd, hklst, shell
};

Label find_label(const std::string& head) {
  static constexpr std::array<std::pair<std::string_view, Label>, 17> kLabels{{
      {"CELL", Label::cell},     {"UB", Label::ub},         {"WAVE", Label::wave},
      {"SCANS1", Label::scans1}, {"SCANS2", Label::scans2}, {"DEVICE", Label::device},
      {"HIGHT", Label::hight},   {"NREFLN", Label::nrefln}, {"LISTRE", Label::listref},
      {"TITLE", Label::title},   {"SGROUP", Label::sgroup}, {"DSCAN1", Label::dscan1},
      {"DSCAN2", Label::dscan2}, {"HKLORD", Label::hklord}, {"ALLSTD", Label::allstd},
      {"HKLST", Label::hklst},   {"SHELL", Label::shell},
  }};
  for (const auto& [text, label] : kLabels) {
    const std::string_view where =
        label == Label::hklst ? std::string_view(head).substr(0, 5) : std::string_view(head);
    if (where.find(text) != std::string_view::npos) return label;
  }
  return Label::none;
}

// What a load has met so far.
struct LoadCounters {
  int ub_lines = 0;           // UB lines met
  int ub_good = 0;            // of the first three, those read whole
  Mat3 ub;                    // the rows as read
  int list_entries = 0;
  bool nrefln_read = false;
  bool list_started = false;  // LISTREF lines met before any NREFLN line
  bool beyond_warned = false;
  bool cell_read = false;
  bool damaged = false;       // something of the file was left out of memory
  std::array<int, 18> seen{};  // lines read, by label
};

// Reads one labelled line into the state; false when its values cannot be read.

bool read_line(Label label, const std::string& line, ProgramState& st, LoadCounters& n) {
  const std::string values = columns(line, 7, 74);
  CrystalState& c = st.crystal;
  CentringParameters& cp = st.centring;
  DataCollectionParameters& dc = st.datacol;
  switch (label) {
    case Label::none:
      return true;
    case Label::cell: {
      auto& cell = c.cell;
      const bool ok = read_free(values, {&cell[0], &cell[1], &cell[2], &cell[3], &cell[4],
                                         &cell[5], &c.volume});
      n.cell_read = n.cell_read || ok;
      return ok;
    }
    case Label::ub: {
      if (n.ub_lines >= 3) {
        WARNING("MORE THAN 3 UB LINES IN MAT FILE");
        n.damaged = true;
        return true;
      }
      // The matrix is taken whole or not at all (a row of another matrix would make a third).
      const int row = n.ub_lines++;
      const bool ok = read_list(values).values.size() >= 3 &&
                      read_free(values, {&n.ub(row, 0), &n.ub(row, 1), &n.ub(row, 2)}) &&
                      !overflows(ub_line(n.ub, row));
      if (ok) ++n.ub_good;
      return ok;
    }
    case Label::wave:
      return read_free(values, {&c.wave_count, &c.lambda1, &c.lambda2, &c.ratio});
    case Label::scans1:
      return read_free(values, {&cp.min_count_rate, &cp.max_min_ratio, &cp.max_time_per_step,
                                &cp.required_max_count, &cp.initial_omega_width_a,
                                &cp.initial_omega_width_b, &cp.slit5, &cp.slit6});
    case Label::scans2: {
      int parabola = cp.parabola() ? 1 : 0;
      const bool ok = read_free(values, {&cp.chi_final_steps, &cp.omega_final_steps, &parabola,
                                         &cp.two_theta_fixed, &cp.eta_refined,
                                         &cp.chi_width_coeff, &cp.final_omega_width_a,
                                         &cp.final_omega_width_b, &cp.eta});
      if (ok) cp.final_omega_method = parabola == 1 ? 1 : 0;
      return ok;
    }
    case Label::device: {
      bool ok = false;
      read_device_line(values, st.profile, st.device, ok);
      return ok;
    }
    case Label::hight: {
      bool ok = false;
      read_hight_line(values, st.profile, st.device, ok);
      return ok;
    }
    case Label::nrefln: {
      int count = st.list.count;
      if (!read_free(values, {&count})) return false;
      if (count < 0 || count > kListSize) {
        WARNING(" MATFILE: NREFLN OUTSIDE 0 TO " + std::to_string(kListSize) + ": " +
                std::to_string(count));
        count = std::clamp(count, 0, kListSize);
        n.damaged = true;
      }
      st.list.count = count;
      n.nrefln_read = true;
      return true;
    }
    case Label::listref: {
      if (!n.nrefln_read) {
        // No count yet (a hand-made file, or the NREFLN line was lost): the list is what the
        // LISTREF lines hold.
        if (!n.list_started) st.list.count = 0;
        n.list_started = true;
        if (n.list_entries >= kListSize) {
          if (!n.beyond_warned) WARNING(" MATFILE: MORE REFLECTIONS THAN NLST");
          n.beyond_warned = true;
          n.damaged = true;
          return true;
        }
        if (!read_listref(line, st.list.entry[static_cast<std::size_t>(n.list_entries)]))
          return false;
        st.list.count = ++n.list_entries;
        return true;
      }
      if (n.list_entries >= st.list.count) {
        n.damaged = true;
        if (!n.beyond_warned) WARNING(" MATFILE: MORE REFLECTIONS THAN NLST");
        n.beyond_warned = true;
        return true;
      }
      ReflectionEntry& e = st.list.entry[static_cast<std::size_t>(n.list_entries)];
      if (!read_listref(line, e)) return false;
      ++n.list_entries;
      return true;
    }
    case Label::title:
      c.title = std::string(rtrim(columns(line, 7, 60)));
      return true;
    case Label::sgroup: {
      auto number = int_field(line, 7, 5);
      if (!number) return false;
      dc.space_group_number = *number;
      dc.space_group_symbol = std::string(rtrim(columns(line, 12, 20)));
      return true;
    }
    case Label::dscan1:
      return read_free(values, {&dc.scan_width_a, &dc.scan_width_b});
    case Label::dscan2:
      return read_free(values, {&dc.scan_type, &dc.psi_scans, &dc.step, &dc.time_per_step,
                                &dc.constant_precision, &dc.required_i_over_sigma,
                                &dc.max_scans, &dc.violations_mode, &dc.psi_interval,
                                &dc.reserve, &dc.min_i_over_sigma, &dc.multiple_psi});
    case Label::hklord: {
      auto& lim = dc.index_limits;
      auto& inc = dc.increment_order;
      return read_free(values, {&lim[0], &lim[1], &lim[2], &lim[3], &lim[4], &lim[5], &inc[0],
                                &inc[1], &inc[2]});
    }
    case Label::allstd:
      return read_free(values, {&dc.standard_count, &dc.standard_interval});
    case Label::hklst: {
      int number = 0;
      if (!leading_number(values, number)) return false;
      if (number < 1 || number > 5) return true;
      const auto slot = static_cast<std::size_t>(number);
      int h = NINT(dc.standard_indices[slot][0]);
      int k = NINT(dc.standard_indices[slot][1]);
      int l = NINT(dc.standard_indices[slot][2]);
      int in_use = dc.standards_in_use[slot];
      if (!read_free(values, {&number, &h, &k, &l, &in_use})) return false;
      dc.standard_indices[slot] = {static_cast<float>(h), static_cast<float>(k),
                                   static_cast<float>(l)};
      dc.standards_in_use[slot] = in_use;
      return true;
    }
    case Label::shell: {
      int number = 0;
      if (!leading_number(values, number)) return false;
      if (number < 1 || number > 10) return true;
      const auto slot = static_cast<std::size_t>(number);
      float lower = dc.shell_lower[slot], upper = dc.shell_upper[slot];
      int selected = dc.shell_selected[slot];
      if (!read_free(values, {&number, &lower, &upper, &selected})) return false;
      dc.shell_lower[slot] = lower;
      dc.shell_upper[slot] = upper;
      dc.shell_selected[slot] = selected;
      return true;
    }
  }
  return true;
}

// Control characters and bytes outside ASCII are shown as '?' when a line is quoted.
std::string printable(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) >= 127) c = '?';
  return out;
}

// A line of a matrix file starts with one of its labels (hand-edited ones in any case).
bool starts_with_label(const std::string& head) {
  static constexpr std::array<std::string_view, 17> kStarts{
      "CELL", "UB", "WAVE", "SCANS1", "SCANS2", "DEVICE", "HIGHT", "NREFLN", "LISTRE",
      "TITLE", "SGROUP", "DSCAN1", "DSCAN2", "HKLORD", "ALLSTD", "HKLST", "SHELL"};
  for (std::string_view start : kStarts)
    if (head.rfind(start, 0) == 0) return true;
  return false;
}

// The records a line can change, kept so that a refused line leaves no trace.
struct Snapshot {
  explicit Snapshot(const ProgramState& st)
      : crystal(st.crystal), centring(st.centring), device(st.device), list(st.list),
        datacol(st.datacol) {}
  void restore(ProgramState& st) const {
    st.crystal = crystal;
    st.centring = centring;
    st.device = device;
    st.list = list;
    st.datacol = datacol;
  }
  CrystalState crystal;
  CentringParameters centring;
  DeviceSettings device;
  ReflectionList list;
  DataCollectionParameters datacol;
};

// The record just read would be stored again with asterisks (a number too wide for its field,
// such as 3E38 for an angle): it would be lost at the next load, so it is refused now.
bool stored_again_overflows(Label label, const ProgramState& st, const LoadCounters& n) {
  const DataCollectionParameters& dc = st.datacol;
  switch (label) {
    case Label::cell: return overflows(cell_line(st.crystal));
    case Label::wave: return overflows(wavel_line(st.crystal));
    case Label::scans1: return overflows(scans1_line(st.centring));
    case Label::scans2: return overflows(scans2_line(st.centring));
    case Label::device: return overflows(device_line(st.device));
    case Label::hight: return overflows(hight_line(st.device));
    case Label::listref:
      return n.list_entries > 0 &&
             overflows(listref_line(st.list.entry[static_cast<std::size_t>(n.list_entries - 1)], 1));
    case Label::sgroup: return overflows(sgroup_line(dc));
    case Label::dscan1: return overflows(dscan1_line(dc));
    case Label::dscan2: return overflows(dscan2_line(dc));
    case Label::hklord: return overflows(hklord_line(dc));
    case Label::allstd: return overflows(allstd_line(dc));
    case Label::hklst:
      for (std::size_t k = 1; k <= 5; ++k)
        if (overflows(hklst_line(dc, k))) return true;
      return false;
    case Label::shell:
      for (std::size_t k = 1; k <= 10; ++k)
        if (overflows(shell_line(dc, k))) return true;
      return false;
    default:
      return false;
  }
}

// The orientation matrix of the file, taken only whole: three readable rows from which a cell
// follows. Otherwise, when the file gives a cell, the matrix is made from that cell (the
// orientation is then unknown) so that the stored cell is not replaced by another crystal's.
void take_orientation(CrystalState& c, LoadCounters& n) {
  if (n.ub_lines > 0) {
    if (n.ub_good == 3) {
      const CrystalState before = c;
      c.UB = n.ub;
      if (OMTOB(c, true)) return;
      c = before;
      WARNING(" MAT FILE: ITS UB GIVES NO CELL; THE ORIENTATION MATRIX IS NOT TAKEN");
    } else {
      WARNING(" MAT FILE: UB LINES MISSING OR UNREADABLE; THE ORIENTATION MATRIX IS NOT TAKEN");
    }
    n.damaged = true;
  }
  if (!n.cell_read) return;
  Mat3 B;
  if (!CALCB(c.cell, B)) {
    WARNING(" MAT FILE: ITS CELL GIVES NO MATRIX; THE CELL IS NOT TAKEN");
    n.damaged = true;
    return;
  }
  c.B = B;
  c.UB = B;
  WARNING(" MAT FILE: NO USABLE UB; THE MATRIX IS MADE FROM THE CELL, ORIENTATION UNKNOWN");
}

// A file written by this program holds every record; one that lacks some was cut or damaged.
void report_missing_lines(LoadCounters& n) {
  static constexpr std::array<std::tuple<Label, int, std::string_view>, 16> kExpected{{
      {Label::title, 1, "TITLE"},   {Label::cell, 1, "CELL"},     {Label::ub, 3, "UB"},
      {Label::wave, 1, "WAVEL"},    {Label::scans1, 1, "SCANS1"}, {Label::scans2, 1, "SCANS2"},
      {Label::device, 1, "DEVICE"}, {Label::nrefln, 1, "NREFLN"}, {Label::sgroup, 1, "SGROUP"},
      {Label::dscan1, 1, "DSCAN1"}, {Label::dscan2, 1, "DSCAN2"}, {Label::hklord, 1, "HKLORD"},
      {Label::allstd, 1, "ALLSTD"}, {Label::hklst, 5, "HKLST"},   {Label::shell, 10, "SHELL"},
      {Label::none, 0, ""},
  }};
  std::string missing;
  for (const auto& [label, count, name] : kExpected) {
    if (count == 0) continue;
    // Unreadable lines were reported already; only lines that are not there at all count.
    if (label == Label::ub ? n.ub_lines < count
                           : n.seen[static_cast<std::size_t>(label)] < count)
      missing += " " + std::string(name);
  }
  if (missing.empty()) return;
  WARNING(" MAT FILE LINES MISSING (THEIR VALUES ARE KEPT FROM BEFORE):" + missing);
  n.damaged = true;
}

// The user-log header written when a matrix file has been opened.
void write_userlog_header() {
  const ShellState& sh = S().shell;
  USERLOG("");
  USERLOG("");
  USERLOG(kTitleLine);
  USERLOG(kCreditsLine);
  USERLOG("                          BASE VERSION OF " + sh.version);
  USERLOG("VERSION FOR " + std::string(trim(S().profile.difnam)));
  if (sh.operating_mode == MODE_NORMAL)
    USERLOG("NORMAL MODE");
  else if (sh.operating_mode == MODE_SUPERVISOR)
    USERLOG("SUPERVISOR MODE");
  else
    USERLOG("DUMMY MODE");
  USERLOG("Started at:" + date_text() + " " + time_hhmm());
  USERLOG("");
  USERLOG("");
}

// matfile_name from a chosen file name: the name without its ".mat" (a name with other full
// stops, "x.v2.mat", keeps them: the file opened is the file chosen).
std::string name_without_extension(const std::string& file_name) {
  constexpr std::string_view kExtension = ".mat";
  if (file_name.size() >= kExtension.size() &&
      file_name.compare(file_name.size() - kExtension.size(), kExtension.size(), kExtension) == 0)
    return file_name.substr(0, file_name.size() - kExtension.size());
  return file_name;
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Anything stands under the name (a device or a directory is not to be created over).
bool name_taken(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// An empty file, so that the writer (which only replaces existing files) can fill it.
bool create_empty(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// A file that cannot be rewritten: said with the reason, and a new file in the same directory
// offered for the crystal instead.
void offer_other_file();
void refuse_and_offer(const std::string& path, const std::string& reason) {
  WARNING("MAT FILE NOT REWRITTEN, " + reason + ": " + path);
  offer_other_file();
}

// A new file in the same directory offered for the crystal, after the file in use could not
// be written.
void offer_other_file() {
  ShellState& sh = S().shell;
  const std::string directory = sh.data_directory.empty() ? "." : sh.data_directory;
  std::string other;
  if (::access(directory.c_str(), W_OK | X_OK) == 0) {
    for (int n = 2; n < 1000 && other.empty(); ++n) {
      const std::string candidate = std::string(trim(sh.matfile_name)) + "_" + std::to_string(n);
      if (!name_taken(sh.data_directory + candidate + ".mat")) other = candidate;
    }
  }
  if (other.empty() ||
      !ask_yes_no("DORVEX", "SAVE THE CRYSTAL IN A NEW MAT FILE " + other + ".mat?")) {
    WARNING("THE CHANGE IS HELD IN MEMORY ONLY: SET MAT CHOOSES A FILE YOU CAN WRITE");
    return;
  }
  const std::string previous = sh.matfile_name;
  sh.matfile_name = other;
  std::vector<std::string> unstorable;
  const std::string body = matfile_body(S(), unstorable);
  if (!create_empty(matfile_path()) || !replace_file(matfile_path(), date_line() + body)) {
    WARNING("WRITE_MATFILE FAILED TO OPEN .MAT FILE CALLED " + other.substr(0, 40));
    sh.matfile_name = previous;
    return;
  }
  sh.matfile_stored = body;
  sh.matfile_damaged = 0;
  WRITE_OUT(" THE CRYSTAL IS NOW KEPT IN MAT FILE " + matfile_path());
  WRITE_SAVEFILE();
  DISPLAY_MATFILE();
}

// Steps 5.1 to 5.5 of a successful load; the display of 5.4 only when `show`.
void after_load(bool show, bool created = false) {
  ShellState& sh = S().shell;
  write_userlog_header();
  WRITE_OUT(created ? "Created new matrix file: " + matfile_path()
                    : std::string("SUCCESSFULLY OPENED MAT FILE: "));
  WRITE_SAVEFILE();
  DISPLAY_MATFILE();
  if (sh.datfile_set) DISPLAY_DATFILE();
  if (show) {
    WRITE_OUT_CR(1);
    PRINT_MATFILE();
    WRITE_OUT_CR(1);
    DISPLAY_CELL();
    WRITE_OUT_CR(1);
    DISPLAY_CENTER_PARMS();
    WRITE_OUT_CR(1);
    DISPLAY_DEVICE();
    WRITE_OUT_CR(1);
    DISPLAY_DATA_PARMS();
    WRITE_OUT_CR(1);
  }
  sh.matfile_chosen = 1;
  const std::string refusal = write_refusal(matfile_path());
  if (!refusal.empty())
    WARNING("MAT FILE CANNOT BE REWRITTEN, " + refusal + ": " + matfile_path());
}

// The --mat answer of start-up: load PATH, or create it from the current state.
bool open_startup_matfile(const std::string& given) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path path = fs::absolute(fs::path(given), ec);
  if (ec) path = fs::path(given);
  ShellState& sh = S().shell;
  sh.data_directory = with_slash(path.parent_path().string());
  sh.matfile_name = name_without_extension(path.filename().string());
  const std::string file = matfile_path();
  const bool created = !name_taken(file);
  if (created) {
    if (!create_empty(file)) {
      WARNING("WRITE_MATFILE FAILED TO OPEN .MAT FILE CALLED " +
              sh.matfile_name.substr(0, 40) + " (" + file + ": " + std::strerror(errno) + ")");
      return false;
    }
    WRITE_MATFILE();
  }
  if (READ_MATFILE() != 0) return false;
  after_load(true, created);
  return true;
}

}  // namespace

std::string matfile_path() {
  return S().shell.data_directory + std::string(trim(S().shell.matfile_name)) + ".mat";
}

void WRITE_MATFILE() {
  ProgramState& st = S();
  ShellState& sh = st.shell;
  OMTOB(st.crystal, true);
  std::vector<std::string> unstorable;
  const std::string body = matfile_body(st, unstorable);
  if (!unstorable.empty()) {
    // Asterisks would be stored and the value lost at the next load.
    WARNING("MAT FILE NOT REWRITTEN: A VALUE IS TOO LARGE FOR ITS FIELD IN THE LINE");
    WARNING(unstorable.front());
    return;
  }
  const std::string path = matfile_path();
  if (body == sh.matfile_stored && file_exists(path)) return;  // nothing has changed
  const std::string refusal = write_refusal(path);
  if (!refusal.empty()) {
    refuse_and_offer(path, refusal);
    return;
  }
  if (sh.matfile_damaged != 0 && file_exists(path)) {
    if (!ask_yes_no("DORVEX", "THE MAT FILE HAD LINES THAT COULD NOT BE READ. REWRITE IT "
                                    "FROM WHAT WAS READ, KEEPING THE ORIGINAL BESIDE IT?")) {
      WARNING("MAT FILE NOT REWRITTEN: THE CHANGE IS HELD IN MEMORY ONLY");
      return;
    }
    const std::string backup = keep_backup(path);
    if (backup.empty()) {
      WARNING("MAT FILE NOT REWRITTEN: NO COPY OF THE ORIGINAL COULD BE KEPT BESIDE IT");
      return;
    }
    WRITE_OUT(" THE ORIGINAL MAT FILE IS KEPT AS " + backup);
    sh.matfile_damaged = 0;
  }
  if (!replace_file(path, date_line() + body)) {
    WARNING("WRITE_MATFILE FAILED TO OPEN .MAT FILE CALLED " + sh.matfile_name.substr(0, 40) +
            " (" + path + ": " + replace_failure + ")");
    // A file that is there but cannot be replaced: another place is offered. Without a file
    // (none chosen yet) there is nothing to save elsewhere.
    if (file_exists(path)) offer_other_file();
    return;
  }
  sh.matfile_stored = body;
}

int READ_MATFILE() {
  ProgramState& st = S();
  const std::string path = matfile_path();
  const TextFile file = read_text_file(path, kMaxFileBytes);
  if (file.status == TextFile::Status::cannot_open) {
    WARNING("ERROR OPENING MAT FILE BY READ_MATFILE");
    return 1;
  }
  if (file.status != TextFile::Status::ok) {
    WARNING("NOT A MAT FILE (" + file.reason + "): " + path);
    return 1;
  }
  bool by_program = false, labelled = false, blank = true;
  for (const std::string& line : file.lines) {
    by_program = by_program || line.find("THIS MAT FILE CREATED BY DORVEX") != std::string::npos;
    labelled = labelled || starts_with_label(upper_shift(columns(line, 1, 6)));
    blank = blank && trim(line).empty();
  }
  if (!by_program && !labelled && !blank) {
    WARNING("NOT A MAT FILE (no line starts with a label of one): " + path);
    return 1;
  }

  LoadCounters counters;
  if (file.utf16) {
    WARNING(" MAT FILE STORED AS UTF-16 TEXT: READ AS PLAIN TEXT, AND REWRITTEN SO");
    counters.damaged = true;
  }
  std::size_t usable = file.lines.size();
  if (file.ends_mid_line && by_program) {
    // A file of this program always ends with a line end: the last line was cut.
    --usable;
    WARNING(" MAT FILE ENDS IN THE MIDDLE OF LINE " + std::to_string(usable + 1) +
            ": THE LINE IS LEFT OUT: " + printable(rtrim(columns(file.lines[usable], 1, 60))));
    counters.damaged = true;
  }
  for (std::size_t number = 1; number <= usable; ++number) {
    std::string line = file.lines[number - 1];
    if (line.size() > kLineWidth) line.resize(kLineWidth);
    for (char& ch : line)
      if (ch == '\t') ch = ' ';
    const std::string head = upper_shift(columns(line, 1, 6));
    if (trim(head).empty()) continue;
    const Label label = find_label(head);
    // A value that could not be stored again is refused with the line.
    const Snapshot before(st);
    const LoadCounters counted = counters;
    bool ok = read_line(label, line, st, counters);
    if (ok && stored_again_overflows(label, st, counters)) {
      before.restore(st);
      counters = counted;
      ok = false;
    }
    ++counters.seen[static_cast<std::size_t>(label)];
    if (!ok) {
      WARNING("FORMAT ERROR IN MAT FILE LINE WITH LABEL = " + columns(line, 1, 6) + " (LINE " +
              std::to_string(number) + ": " + printable(trim(columns(line, 7, 74))) + ")");
      counters.damaged = true;
    }
  }
  if (counters.nrefln_read && counters.list_entries < st.list.count) {
    WARNING(" MATFILE: FEWER REFLECTIONS THAN NLST, LIST CUT TO " +
            std::to_string(counters.list_entries));
    st.list.count = counters.list_entries;
    counters.damaged = true;
  }
  if (counters.list_started && !counters.nrefln_read)
    WARNING(" MATFILE: NO NREFLN LINE; " + std::to_string(counters.list_entries) +
            " REFLECTIONS TAKEN FROM THE LISTREF LINES");
  take_orientation(st.crystal, counters);
  if (by_program) report_missing_lines(counters);
  OMTOB(st.crystal, true);  // the cell always agrees with the matrix, as the writer stores it

  ShellState& sh = st.shell;
  std::vector<std::string> unstorable;
  sh.matfile_stored = matfile_body(st, unstorable);
  sh.matfile_damaged = counters.damaged ? 1 : 0;
  if (counters.damaged)
    WARNING(" MAT FILE NOT READ WHOLE: IT IS NOT REWRITTEN WITHOUT YOUR YES, AND THEN THE "
            "ORIGINAL IS KEPT BESIDE IT");
  return 0;
}

namespace {

// What in memory differs from the file last written or read, as the operator names it ("" when
// nothing does).
std::string unsaved_parts() {
  const ShellState& sh = S().shell;
  if (sh.matfile_chosen == 0) return "";
  // Memory as it is: a cell refined by CLSQ, which the file cannot hold beside a matrix of
  // another cell, shows up as a cell that differs.
  std::vector<std::string> unstorable;
  const std::string body = matfile_body(S(), unstorable);
  if (body == sh.matfile_stored) return "";
  std::istringstream now(body), stored(sh.matfile_stored);
  std::vector<std::string> parts;
  auto add = [&](const std::string& part) {
    if (std::find(parts.begin(), parts.end(), part) == parts.end()) parts.push_back(part);
  };
  std::string a, b;
  for (;;) {
    const bool more_a = static_cast<bool>(std::getline(now, a));
    const bool more_b = static_cast<bool>(std::getline(stored, b));
    if (!more_a && !more_b) break;
    if (more_a && more_b && a == b) continue;
    const std::string label = more_a ? a.substr(0, 6) : b.substr(0, 6);
    if (label.rfind("UB", 0) == 0)
      add("orientation");
    else if (label.rfind("CELL", 0) == 0)
      add("cell");
    else if (label.rfind("LISTRE", 0) == 0 || label.rfind("NREFLN", 0) == 0 || !more_a || !more_b)
      add("reflection list");
    else
      add("settings");
  }
  std::string text;
  for (std::size_t k = 0; k < parts.size(); ++k)
    text += (k == 0 ? "" : k + 1 == parts.size() ? " and " : ", ") + parts[k];
  return text;
}

}  // namespace

void offer_to_save_crystal() {
  const std::string parts = unsaved_parts();
  if (parts.empty()) return;
  const std::string path = matfile_path();
  constexpr std::string_view kCellNotKept =
      "  The mat file stores the cell of the orientation matrix: the constrained cell printed "
      "by CLSQ is not kept";
  if (parts == "cell") {  // nothing the file can hold: only the cell CLSQ refined
    WRITE_OUT(kCellNotKept);
    return;
  }
  WRITE_OUT("  The " + parts + " in memory differ from the mat file " + path);
  if (ask_yes_no("DORVEX", "SAVE THE " + upper_shift(parts) + " IN THE MAT FILE?")) {
    WRITE_MATFILE();
    const std::string left = unsaved_parts();
    if (left.empty() || left == "cell") {
      WRITE_OUT("  Saved in " + matfile_path());
      if (!left.empty()) WRITE_OUT(kCellNotKept);
      return;
    }
  }
  WRITE_OUT("  Not saved: the mat file keeps its former " + parts);
}

int MATFILE(int mode, const std::string& name) {
  ShellState& sh = S().shell;
  if (mode == 1) {
    // A name that cannot be loaded leaves the current file in use, so that the work that
    // follows is still saved where it belongs.
    const std::string previous = sh.matfile_name;
    sh.matfile_name = name_without_extension(std::string(trim(name)));
    if (!file_exists(matfile_path()) || READ_MATFILE() != 0) {
      sh.matfile_name = previous;
      return 1;
    }
    after_load(false);
    return 0;
  }

  CLEAR_PLOT();
  if (sh.startup_matfile.empty()) offer_to_save_crystal();  // the choice replaces the crystal
  if (!sh.startup_matfile.empty()) {
    const std::string given = sh.startup_matfile;
    sh.startup_matfile.clear();
    if (open_startup_matfile(given)) return 0;
  }

  // The file in use before this choice; a choice abandoned later in the run goes back to it,
  // so that the work that follows is not saved under a name that was never loaded.
  const std::string previous_directory = sh.data_directory;
  const std::string previous_name = sh.matfile_name;
  for (;;) {
    auto chosen = choose_file("DORVEX: Open Mat File", "*.mat|Dorvex        .mat",
                              sh.data_directory, std::string(trim(sh.matfile_name)) + ".mat");
    bool empty_name = false;
    if (!chosen) {
      if (sh.matfile_chosen) {
        sh.data_directory = previous_directory;
        sh.matfile_name = previous_name;
        return 0;
      }
      if (ask_yes_no("DORVEX", "YOU MUST SELECT A MAT FILE OR CREATE A NEW ONE - TRY AGAIN?"))
        continue;
      empty_name = true;
      sh.matfile_name.clear();
    } else {
      const std::filesystem::path path(*chosen);
      sh.data_directory = with_slash(path.parent_path().string());
      sh.matfile_name = name_without_extension(path.filename().string());
    }

    const std::string file = matfile_path();
    if (!name_taken(file)) {
      if (!ask_yes_no("DORVEX", "Do you wish to create a new MAT file?")) {
        // Declining both the retry and the creation leaves no way forward: end the choice
        // instead of asking again for ever (a closed input would otherwise never return).
        if (empty_name) return 1;
        continue;
      }
      if (!create_empty(file)) {
        WARNING("WRITE_MATFILE FAILED TO OPEN .MAT FILE CALLED " +
                sh.matfile_name.substr(0, 40));
        continue;
      }
      WRITE_MATFILE();
    }
    if (READ_MATFILE() != 0) continue;
    after_load(true);
    return 0;
  }
}

}  // namespace dorvex
