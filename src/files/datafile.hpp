// The reflection data file (.rfl), the centring-scan file (<matrix file>_cntr.rfl) and the
// console line of a measured reflection.
//
// A data file is a header (title, cell, UB) written when the file is created, then one "R"
// record and its "S" lines of step counts per reflection. Each reflection is appended whole:
// the file is opened, the record written in one piece and the file closed again, and a record
// that cannot be written completely is taken back out, so the file only ever holds whole
// records. Every failure is reported as a warning and returned.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "common/state.hpp"

namespace dorvex {

// The column header of the reflection lines (PRINTHEADER writes it between blank lines).
inline constexpr std::string_view kColumnHeader =
    " SEQ    H   K   L 2TH   OMEGA     CHI     PHI    PSI    INT   SIGI FLAG TIME";

// One reflection line of the console and log: sequence number, indices rounded, the four
// angles, psi, I and sigma(I) (count rates), the three flag characters and the time of day
// (hh:mm:ss, of which the first five characters are shown).
std::string reflection_line(int sequence, const Vec3& hkl, const AngleSet& angles, float psi,
                            float intensity, float sigma, std::string_view flags,
                            std::string_view time_of_day);

// One measured scan as it goes to a data file.
struct ScanRecord {
  int sequence = 0;
  std::array<int, 3> hkl{};
  float psi = 0;
  AngleSet angles{};    // 2theta, omega, chi, phi
  float step = 0;       // (last position - first position) / (N - 1)
  float rate = 0;       // 100 step / (scans t); step / t in the centring-scan file
  int standard = 0;     // standard number, 0 for an ordinary reflection
  char scan_code = 'N';  // S one scan, M maximum scans, R repeated, W weak, N fixed time
  std::vector<long> counts;  // the N step counts, summed over repeated scans
};

// The header lines of a new file, and the "R" record with its "S" lines (counts of 100000000
// or more are scaled down, the rate value up by the same factor). Each line ends in '\n'.
std::string stddata_header(std::string_view title, const CrystalState& crystal, float a_value);
std::string stddata_record(const ScanRecord& record);

// Appends a record to the data file `path`, writing the header first when the file does not
// exist yet or is still empty (title, cell and UB of `crystal`). 0 on success; 1 after a
// warning ("UNABLE TO OPEN DATA FILE: ", "UNABLE TO WRITE DATA FILE: ").
int WRITE_HEADER_STDDATA(const std::string& path, std::string_view title,
                         const CrystalState& crystal, float a_value);
int WRITE_REF_STDDATA(const std::string& path, const CrystalState& crystal,
                      const ScanRecord& record);

// A whole record of a data file as read back: what a collection needs to go on after it.
struct StoredRecord {
  int sequence = 0;
  std::array<int, 3> hkl{};
  float psi = 0;
  int standard = 0;  // 0 for an ordinary reflection
};

// Makes an existing data file ready to take records before a collection writes to it, and
// reads back its whole records (in file order). A file that holds no header (created, but
// the program died before writing it) is given one; a record cut short at the end (the
// program died while writing it) is cut off, so that the next record starts in column 1 of a
// line of its own. Both repairs are reported. 0 when records may be appended (also when the
// file does not exist yet: `exists` is then false); 1 after a warning, when the file is not a
// reflection data file, cannot be read or repaired, or ends in more unreadable text than a
// record could leave (it is then left as it is).
struct DataFileContents {
  bool exists = false;
  std::vector<StoredRecord> records;
};
int PREPARE_STDDATA(const std::string& path, const CrystalState& crystal,
                    DataFileContents& contents);

// The centring-scan file of the current matrix file: data_directory + matfile_name +
// "_cntr.rfl".
std::string centring_scan_file();

// Appends the final omega scan of a centring to the centring-scan file: indices from the
// angles, the run's next record number, psi 0, standard 0, scan code N. `first` and `last`
// are the positions of the first and last point reported by the scan, `t` the counting time
// per point. 0 on success, 1 after a warning.
int WRITE_OMEGASCAN_TOFILE(const AngleSet& angles, const std::vector<long>& counts, float first,
                           float last, float t);

}  // namespace dorvex
