// The data-collection engine: one reflection measured by a background-peak-background step scan
// (SCANREF), the standards (STANDARD), and the collections of DC I, DC S, DC L and DC P.
#pragma once

#include <array>
#include <utility>
#include <vector>

#include "common/state.hpp"

namespace dorvex {

// Measures the reflection `hkl` at the setting `angles` the motors stand at; psi is written
// with it and `standard` is its standard number (0 for an ordinary reflection). failure 1: the
// scan left the limits (or the data file could not be written); 2: the collection must stop.
void SCANREF(const Vec3& hkl, const AngleSet& angles, float psi, int standard, int& failure);

// Re-centres and measures the standards in use, unless done at this sequence number already.
// status 2: abort the collection.
void STANDARD(int& status);

// (end_i - hkl_i)(hkl_i - start_i) of index i (0..2) of the running collection.
int IRNGCHK(const std::array<int, 3>& hkl, int i);

// Ranges of the indices for `shell` (SETINDEX), and of the two faster ones for a value of the
// slowest (SETINDEXFAST).
void SETINDEX(int shell);
void SETINDEXFAST(int slow_value);

// The collections themselves, started by the command dialogues.
void INTEGR(const Vec3& hkl);
void INTALL();
void INTLIST(bool from_file, const Vec3& resume);
void PSISCAN(const Vec3& hkl, float psi_min, float psi_max, float psi_step);

// What DC S will measure from where it stands: the reflections of each shell (shell number,
// count; psi settings each count), their total, and the instrument seconds they will take
// (drives, scans, shutter and standards at the profile's speeds).
struct CollectionPlan {
  std::vector<std::pair<int, int>> shells;
  int total = 0;
  double seconds = 0;
};
CollectionPlan plan_shells();

// The column header, remembered for its repeat before the 61st line after it.
void collection_header();

// Before DC I, DC L or DC P writes to the data file (when one is set): an unfinished record
// cut off, a missing header written, the numbering continued after the file's last record,
// and a stopped DC S into the same file told that the records from here on are not its own.
// False after a message: nothing may be written to the file.
bool ready_data_file();

// The index triples of shell `shell` (h, k, l) in the order DC S visits them, those within
// the shell only. Sets the working ranges, so not while a collection runs.
std::vector<std::array<int, 3>> shell_triples(int shell);

// Forgets where the last collection stopped (a new run).
void reset_collection();

}  // namespace dorvex
