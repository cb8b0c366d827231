#include "files/datafile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>

#include "common/fields.hpp"
#include "geometry/angles.hpp"  // HCALC: indices of the centring scan
#include "console/output.hpp"

namespace dorvex {

namespace {

// Writes all of `text` at the end of the open file; on failure the file is cut back to the
// length it had, so that no partial record stays behind.
bool append_whole(int fd, const std::string& text) {
  struct stat st {};
  const bool sized = ::fstat(fd, &st) == 0;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (sized && S_ISREG(st.st_mode)) {
        if (::ftruncate(fd, st.st_size) != 0) {
          // Nothing more can be done: the warning of the caller reports the failed write.
        }
      }
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Creates the file with its header when it does not exist yet. False after a warning when the
// file was created but the header could not be written (the file is then removed again, so
// that the next record tries once more).
bool create_with_header(const std::string& path, const std::string& header) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return true;  // exists already, or cannot be created: the append open tells
  const bool written = append_whole(fd, header);
  const bool closed = ::close(fd) == 0;
  if (written && closed) return true;
  ::unlink(path.c_str());
  WARNING("UNABLE TO WRITE DATA FILE: " + path);
  return false;
}

int append_record(const std::string& path, const std::string& header, const std::string& record) {
  if (!create_with_header(path, header)) return 1;
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    WARNING("UNABLE TO OPEN DATA FILE: " + path);
    return 1;
  }
  // A file left empty by a program that died between creating it and writing its header gets
  // the header with the record.
  struct stat st {};
  const bool empty = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
  const bool written = append_whole(fd, empty ? header + record : record);
  const bool closed = ::close(fd) == 0;
  if (!written || !closed) {
    WARNING("UNABLE TO WRITE DATA FILE: " + path);
    return 1;
  }
  return 0;
}

// The next line of `text` from `at`: false when there is none ending in a line break.
bool next_line(const std::string& text, std::size_t& at, std::string_view& line) {
  const std::size_t end = text.find('\n', at);
  if (end == std::string::npos) return false;
  line = std::string_view(text).substr(at, end - at);
  at = end + 1;
  return true;
}

// The whole record whose "R" line starts at `at`: the line and its N counts on "S" lines of
// ten, every line ended. On success `at` moves past it.
bool whole_record(const std::string& text, std::size_t& at, StoredRecord& r) {
  std::size_t pos = at;
  std::string_view line;
  if (!next_line(text, pos, line) || line.empty() || line[0] != 'R') return false;
  // "R" I6 3I4 F10.4(psi) ... I4(N) at column 70 ... I4(standard) at column 94
  const auto seq = read_int_field(line, 2, 6);
  const auto h = read_int_field(line, 8, 4), k = read_int_field(line, 12, 4),
             l = read_int_field(line, 16, 4);
  const auto psi = read_real_field(line, 20, 10);
  const auto n = read_int_field(line, 70, 4);
  const auto standard = read_int_field(line, 94, 4);
  if (line.size() < 98 || !seq || !h || !k || !l || !psi || !n || !standard || *n < 1)
    return false;
  for (long left = *n; left > 0; left -= 10) {
    const long count = std::min(left, 10L);
    if (!next_line(text, pos, line) || line.size() != static_cast<std::size_t>(1 + 8 * count) ||
        line[0] != 'S')
      return false;
    for (long c = 0; c < count; ++c)
      if (!read_int_field(line, static_cast<int>(2 + 8 * c), 8)) return false;
  }
  r.sequence = static_cast<int>(*seq);
  r.hkl = {static_cast<int>(*h), static_cast<int>(*k), static_cast<int>(*l)};
  r.psi = static_cast<float>(*psi);
  r.standard = static_cast<int>(*standard);
  at = pos;
  return true;
}

bool read_file(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  text = all.str();
  return !in.bad();
}

// Cuts the file back to `length` bytes; false after a warning.
bool cut_to(const std::string& path, std::size_t length) {
  if (::truncate(path.c_str(), static_cast<off_t>(length)) == 0) return true;
  WARNING("UNABLE TO WRITE DATA FILE: " + path);
  return false;
}

// More than any record could leave behind: a 200-point record is under 2 kB.
constexpr std::size_t kMostToCut = 65536;

}  // namespace

int PREPARE_STDDATA(const std::string& path, const CrystalState& crystal,
                    DataFileContents& contents) {
  contents = DataFileContents{};
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;  // created with the first record
  contents.exists = true;
  std::string text;
  if (!S_ISREG(st.st_mode) || !read_file(path, text)) {
    WARNING("UNABLE TO OPEN DATA FILE: " + path);
    return 1;
  }
  const std::string header = stddata_header(crystal.title, crystal, 1.0f);
  std::size_t at = 0;
  std::string_view line;
  const bool starts_as_header = text.rfind("H\n", 0) == 0 || text == "H";
  if (!text.empty() && !starts_as_header) {
    WARNING("NOT A REFLECTION DATA FILE, NOTHING WRITTEN TO IT: " + path);
    return 1;
  }
  bool header_whole = false, records_seen = false;
  while (!header_whole && !records_seen && next_line(text, at, line)) {
    header_whole = line == "DATA";
    records_seen = !line.empty() && (line[0] == 'R' || line[0] == 'S');
  }
  if (!header_whole) {
    // Created, but the program died before the header was complete: nothing else is there.
    if (records_seen || text.size() > header.size() + 200) {
      WARNING("NOT A REFLECTION DATA FILE, NOTHING WRITTEN TO IT: " + path);
      return 1;
    }
    if (!cut_to(path, 0) || append_record(path, header, "") != 0) return 1;
    WRITE_OUT(" Data file " + path + " had no complete header: header written");
    return 0;
  }
  // Records from the "DATA" line on. Lines that belong to no whole record are passed over;
  // only what follows the last whole record is taken for a record the program did not finish.
  std::size_t whole_end = at;
  while (at < text.size()) {
    StoredRecord r;
    if (whole_record(text, at, r)) {
      contents.records.push_back(r);
      whole_end = at;
    } else if (!next_line(text, at, line)) {
      break;
    }
  }
  if (whole_end == text.size()) return 0;
  const std::size_t cut = text.size() - whole_end;
  if (cut > kMostToCut) {
    WARNING("DATA FILE ENDS IN " + std::to_string(cut) +
            " BYTES THAT ARE NOT A WHOLE RECORD, NOTHING WRITTEN TO IT: " + path);
    return 1;
  }
  if (!cut_to(path, whole_end)) return 1;
  WRITE_OUT(" Data file " + path + " ended in an unfinished record (" + std::to_string(cut) +
            " bytes): cut back to " +
            (contents.records.empty()
                 ? std::string("its header")
                 : "record " + std::to_string(contents.records.back().sequence)));
  return 0;
}

// I4 ":" 3I4 2F6.2 2F8.2 F7.1 F9.1 F5.1 1X 3A1 1X A5
std::string reflection_line(int sequence, const Vec3& hkl, const AngleSet& angles, float psi,
                            float intensity, float sigma, std::string_view flags,
                            std::string_view time_of_day) {
  std::string line = I(sequence, 4) + ":";
  for (float x : hkl) line += I(NINT(x), 4);
  line += F(angles[0], 6, 2) + F(angles[1], 6, 2) + F(angles[2], 8, 2) + F(angles[3], 8, 2);
  line += F(psi, 7, 1) + F(intensity, 9, 1) + F(sigma, 5, 1);
  line += " " + A(flags, 3) + " " + A(time_of_day, 5);
  return line;
}

// "H"; "T " A60; "H" 7F10.4 (cell, volume); "H"; "H"; three "U" 3F12.7 (rows of UB);
// "A" F10.6; "DATA"
std::string stddata_header(std::string_view title, const CrystalState& crystal, float a_value) {
  std::string text = "H\nT " + A(title, 60) + "\nH";
  for (float x : crystal.cell) text += F(x, 10, 4);
  text += F(crystal.volume, 10, 4) + "\nH\nH\n";
  for (int i = 0; i < 3; ++i) {
    text += "U";
    for (int j = 0; j < 3; ++j) text += F(crystal.UB(i, j), 12, 7);
    text += "\n";
  }
  text += "A" + F(a_value, 10, 6) + "\nDATA\n";
  return text;
}

// "R" I6 3I4 F10.4(psi) F10.4(2theta) F10.5(omega) F10.4(chi) F10.4(phi) I4(N) F10.5(step)
// F10.5(rate) I4(standard) A1(code); then "S" 10I8 per line of counts
std::string stddata_record(const ScanRecord& r) {
  long largest = 0;
  for (long c : r.counts) largest = std::max(largest, c);
  long scale = 1;
  // The smallest divisor that brings every count within I8: dividing by largest div 1E8 alone
  // would leave 250000000 as 125000000, too wide for its field.
  if (largest >= 100000000L) scale = (largest + 99999998L) / 99999999L;
  std::string text = "R" + I(r.sequence, 6);
  for (int x : r.hkl) text += I(x, 4);
  text += F(r.psi, 10, 4) + F(r.angles[0], 10, 4) + F(r.angles[1], 10, 5) +
          F(r.angles[2], 10, 4) + F(r.angles[3], 10, 4);
  text += I(static_cast<long>(r.counts.size()), 4) + F(r.step, 10, 5) +
          F(static_cast<double>(r.rate) * static_cast<double>(scale), 10, 5) +
          I(r.standard, 4) + std::string(1, r.scan_code) + "\n";
  for (std::size_t i = 0; i < r.counts.size(); i += 10) {
    text += "S";
    for (std::size_t j = i; j < std::min(i + 10, r.counts.size()); ++j)
      text += I(scale == 1 ? r.counts[j]
                           : NINT(static_cast<double>(r.counts[j]) / static_cast<double>(scale)),
                8);
    text += "\n";
  }
  return text;
}

int WRITE_HEADER_STDDATA(const std::string& path, std::string_view title,
                         const CrystalState& crystal, float a_value) {
  return create_with_header(path, stddata_header(title, crystal, a_value)) ? 0 : 1;
}

int WRITE_REF_STDDATA(const std::string& path, const CrystalState& crystal,
                      const ScanRecord& record) {
  return append_record(path, stddata_header(crystal.title, crystal, 1.0f),
                       stddata_record(record));
}

std::string centring_scan_file() {
  const ShellState& shell = S().shell;
  return shell.data_directory + std::string(trim(shell.matfile_name)) + "_cntr.rfl";
}

int WRITE_OMEGASCAN_TOFILE(const AngleSet& angles, const std::vector<long>& counts, float first,
                           float last, float t) {
  ScanRecord r;
  r.sequence = S().shell.centring_scan_count + 1;
  const Vec3 h = HCALC(current_geometry(), angles);
  for (std::size_t i = 0; i < 3; ++i) r.hkl[i] = static_cast<int>(NINT(h[i]));
  r.angles = angles;
  r.step = counts.size() > 1 ? (last - first) / static_cast<float>(counts.size() - 1) : 0.0f;
  r.rate = t > 0 ? r.step / t : 0.0f;
  r.counts = counts;
  const std::string title =
      "REFLECTIONS CENTERED WITH " + std::string(trim(S().shell.matfile_name)) + ".MAT";
  const int status = append_record(centring_scan_file(),
                                   stddata_header(title, S().crystal, 1.0f), stddata_record(r));
  if (status == 0) S().shell.centring_scan_count = r.sequence;
  return status;
}

}  // namespace dorvex
