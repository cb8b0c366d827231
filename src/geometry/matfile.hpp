// The orientation-matrix file (.mat): the crystal's working document.
#pragma once

#include <string>

namespace dorvex {

// Full path of the current matrix file: data_directory + matfile_name + ".mat".
std::string matfile_path();
// Rewrites the file from the program state (a temporary file renamed over the old one).
void WRITE_MATFILE();
// Loads the file into the program state; returns 0, or 1 when it cannot be opened.
int READ_MATFILE();
// Before the crystal in memory is left (EXIT, closing the window, SET MAT): when it differs
// from the matrix file (INDC and CLSQ do not rewrite it), says what differs and asks whether
// to save it; the answer is reported either way.
void offer_to_save_crystal();
// Chooses (mode 0, interactive) or loads by name (mode 1) a matrix file; returns the status.
int MATFILE(int mode, const std::string& name);

}  // namespace dorvex
