// Where a stopped shell collection (DC S) stands, and whether a new DC S may go on from there.
//
// A stopped collection belongs to one crystal (its matrix file, with the cell and wavelength it
// had), one data file and one set of collection parameters. A DC S that differs in any of them
// starts at the beginning of its first shell; one that agrees goes on after the last reflection
// measured. With a data file, the data file itself tells how far the collection got, so a
// program that was killed goes on after the last whole record written: beside the data file a
// small resume file ("<data file>.resume", replaced whole through a temporary file) names the
// crystal, the data file and the parameters, and which stretches of record numbers the
// collection wrote, shell by shell. It is written before the first record of every start and
// every shell and removed at the end of data.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "common/state.hpp"
#include "files/datafile.hpp"  // StoredRecord

namespace dorvex {

// What a collection belongs to.
struct CollectionKey {
  std::string matrix_file;           // the crystal's matrix file
  std::array<float, 6> cell{};       // a, b, c, alpha, beta, gamma when it started
  float lambda = 0;
  std::string data_file;             // "" without a data file
  std::string file_id;               // device and inode of the data file
  std::string parameters;            // parameter_text() of its parameters
};

// The collection parameters that decide which reflections are measured, in which order and
// how, as one line of text (the standards, which only follow the crystal, are not part of it).
std::string parameter_text(const DataCollectionParameters& dc);

// The key of a DC S started now, with the data file `data_file` ("" for none).
CollectionKey current_key(const std::string& data_file);

enum class KeyMatch { same, other_crystal, other_data_file, other_parameters };
// Whether `now` may continue what `stored` began. The cell may have been refined in between
// (edges within 1 %, angles within 1 degree); the wavelength must be the same.
KeyMatch compare_keys(const CollectionKey& stored, const CollectionKey& now);

// A stretch of records: from sequence number `first` on, written by the collection in
// `shell`, or by another collection into the same data file (shell 0).
struct Stretch {
  int first = 0;
  int shell = 0;
};

struct ResumeFile {
  CollectionKey key;
  std::vector<Stretch> stretches;
};

std::string resume_file_name(const std::string& data_file);
// false when there is no resume file or it cannot be read (a warning says the latter).
bool read_resume_file(const std::string& path, ResumeFile& file);
// false after a warning.
bool write_resume_file(const std::string& path, const ResumeFile& file);
void remove_resume_file(const std::string& path);

// Where a stopped DC S stands.
struct ResumePoint {
  bool valid = false;      // a stopped collection exists
  CollectionKey key;
  int shell = 0;           // the shell it was in
  bool measured = false;   // a reflection of that shell has been measured
  std::array<int, 3> hkl{};  // the last one (h, k, l)
  float psi = 0;           // and its psi
  int record = 0;          // its sequence number
};

// The point recorded by a resume file and the whole records of its data file: the shell of the
// last stretch, and the last ordinary record written in the stretches of that shell.
ResumePoint point_from_file(const ResumeFile& file, const std::vector<StoredRecord>& records);

}  // namespace dorvex
