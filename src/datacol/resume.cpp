#include "datacol/resume.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/fields.hpp"
#include "datacol/listscan.hpp"  // collected_shells
#include "console/output.hpp"

namespace dorvex {

namespace {

// The same file reached by another spelling of its name is the same file.
std::string canonical(const std::string& path) {
  if (path.empty()) return path;
  std::error_code error;
  const auto p = std::filesystem::weakly_canonical(path, error);
  return error ? path : p.string();
}

std::string file_id(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return "";
  return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
         std::to_string(static_cast<unsigned long long>(st.st_ino));
}

std::string lower_trimmed(std::string_view text) {
  std::string out(trim(text));
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

constexpr const char* kFirstLine = "DC S resume point";

}  // namespace

std::string parameter_text(const DataCollectionParameters& dc) {
  std::string t = "scan" + I(NINT(dc.scan_type), 2) + F(dc.scan_width_a, 9, 4) +
                  F(dc.step, 9, 4) + F(dc.time_per_step, 9, 3);
  if (dc.constant_precision != 0.0f)
    t += " precision" + F(dc.min_i_over_sigma, 7, 2) + F(dc.required_i_over_sigma, 7, 2) +
         I(NINT(dc.max_scans), 4);
  if (dc.multiple_psi != 0.0f)
    t += " psi" + I(NINT(dc.psi_scans), 4) + F(dc.psi_interval, 8, 2);
  if (dc.violations_mode > 0.5f)
    t += " group" + I(dc.violations_mode > 1.5f ? 2 : 1, 2) + " " +
         lower_trimmed(dc.space_group_symbol) + ";";
  t += " limits";
  for (int v : dc.index_limits) t += I(v, 3);
  t += " order";
  for (int v : dc.increment_order) t += I(v, 2);
  t += " shells";
  for (int n : collected_shells(dc)) {
    const auto s = static_cast<std::size_t>(n);
    t += I(n, 3) + F(dc.shell_lower[s], 8, 3) + F(dc.shell_upper[s], 8, 3);
  }
  return t;
}

CollectionKey current_key(const std::string& data_file) {
  const ShellState& shell = S().shell;
  CollectionKey key;
  key.matrix_file = canonical(shell.data_directory + std::string(trim(shell.matfile_name)) +
                              ".mat");
  key.cell = S().crystal.cell;
  key.lambda = S().crystal.lambda1;
  key.data_file = canonical(data_file);
  key.file_id = file_id(data_file);
  key.parameters = parameter_text(S().datacol);
  return key;
}

KeyMatch compare_keys(const CollectionKey& stored, const CollectionKey& now) {
  bool cell = stored.matrix_file == now.matrix_file &&
              std::fabs(stored.lambda - now.lambda) < 1e-5f;
  for (std::size_t i = 0; i < 6 && cell; ++i) {
    const float d = std::fabs(stored.cell[i] - now.cell[i]);
    cell = i < 3 ? d <= 0.01f * std::fabs(stored.cell[i]) : d <= 1.0f;
  }
  if (!cell) return KeyMatch::other_crystal;
  if (stored.data_file != now.data_file || stored.file_id != now.file_id)
    return KeyMatch::other_data_file;
  if (stored.parameters != now.parameters) return KeyMatch::other_parameters;
  return KeyMatch::same;
}

std::string resume_file_name(const std::string& data_file) { return data_file + ".resume"; }

// DC S resume point
// MATRIX <matrix file>
// CELL <a b c alpha beta gamma> <wavelength>
// DATA <data file>
// FILE <device:inode>
// PARAMETERS <parameter text>
// STRETCH <first sequence number> <shell, 0 for another collection>   (one per stretch)
bool write_resume_file(const std::string& path, const ResumeFile& file) {
  const CollectionKey& k = file.key;
  std::string text = std::string(kFirstLine) + "\nMATRIX " + k.matrix_file + "\nCELL";
  for (float c : k.cell) text += F(c, 10, 4);
  text += F(k.lambda, 10, 6) + "\nDATA " + k.data_file + "\nFILE " + k.file_id +
          "\nPARAMETERS " + k.parameters + "\n";
  for (const Stretch& s : file.stretches)
    text += "STRETCH " + std::to_string(s.first) + " " + std::to_string(s.shell) + "\n";
  const std::string temporary = path + ".tmp";
  bool ok = false;
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    ok = static_cast<bool>(out);
  }
  if (ok) ok = std::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    std::remove(temporary.c_str());
    WARNING("UNABLE TO WRITE RESUME FILE: " + path);
  }
  return ok;
}

bool read_resume_file(const std::string& path, ResumeFile& file) {
  file = ResumeFile{};
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  bool ok = std::getline(in, line) && line == kFirstLine;
  int fields = 0;
  while (ok && std::getline(in, line)) {
    const auto blank = line.find(' ');
    const std::string word = line.substr(0, blank);
    const std::string rest = blank == std::string::npos ? "" : line.substr(blank + 1);
    std::istringstream values(rest);
    if (word == "MATRIX") {
      file.key.matrix_file = rest;
    } else if (word == "CELL") {
      for (float& c : file.key.cell) values >> c;
      values >> file.key.lambda;
      ok = static_cast<bool>(values);
    } else if (word == "DATA") {
      file.key.data_file = rest;
    } else if (word == "FILE") {
      file.key.file_id = rest;
    } else if (word == "PARAMETERS") {
      file.key.parameters = rest;
    } else if (word == "STRETCH") {
      Stretch s;
      ok = static_cast<bool>(values >> s.first >> s.shell);
      file.stretches.push_back(s);
      continue;
    } else {
      ok = false;
    }
    ++fields;
  }
  if (!ok || fields != 5 || file.stretches.empty()) {
    WARNING("RESUME FILE CANNOT BE READ, COLLECTION STARTS AT THE BEGINNING: " + path);
    return false;
  }
  return true;
}

void remove_resume_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    WARNING("UNABLE TO REMOVE RESUME FILE: " + path);
}

ResumePoint point_from_file(const ResumeFile& file, const std::vector<StoredRecord>& records) {
  ResumePoint p;
  p.key = file.key;
  // The shell it stopped in: the last one named (another collection may have written since).
  for (const Stretch& s : file.stretches) p.shell = s.shell != 0 ? s.shell : p.shell;
  p.valid = p.shell != 0;
  for (const StoredRecord& r : records) {
    if (r.standard != 0) continue;
    // The stretch the record falls in: the last one starting at or before its number.
    int shell = -1;
    for (const Stretch& s : file.stretches)
      if (s.first <= r.sequence) shell = s.shell;
    if (shell != p.shell) continue;
    p.measured = true;
    p.hkl = r.hkl;
    p.psi = r.psi;
    p.record = r.sequence;
  }
  return p;
}

}  // namespace dorvex
