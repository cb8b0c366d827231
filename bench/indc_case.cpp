// Writes the matrix file of an auto-indexing case of indc_cases.hpp, for timing the whole
// program from the command line (indc_end_to_end.sh):
//
//   indc_case small|large STRAYS DIR/NAME.mat
//
// The file holds the cell, the wavelength and the 30 used reflections without indices; its
// orientation matrix is the cell's B alone, which is not the crystal's orientation.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "geometry/matfile.hpp"
#include "indc_cases.hpp"
#include "support/recording_toolkit.hpp"

int main(int argc, char** argv) {
  if (argc != 4 || (std::string(argv[1]) != "small" && std::string(argv[1]) != "large")) {
    std::fprintf(stderr, "usage: indc_case small|large STRAYS DIR/NAME.mat\n");
    return 2;
  }
  const auto& cell = std::string(argv[1]) == "small" ? indc_case::kSmallCell
                                                     : indc_case::kLargeCell;
  dorvex::reset_program_state();
  dorvex_test::install_recording_toolkit(false);
  indc_case::load(cell, std::atoi(argv[2]));
  dorvex::S().crystal.UB = refine_test::to_mat3(refine_test::b_matrix(cell));
  const std::filesystem::path path = std::filesystem::absolute(argv[3]);
  dorvex::S().shell.data_directory = path.parent_path().string() + "/";
  dorvex::S().shell.matfile_name = path.stem().string();
  std::ofstream(path).close();  // the matrix file is replaced, never created, by its writer
  dorvex::WRITE_MATFILE();
  if (!std::filesystem::exists(path)) {
    std::fprintf(stderr, "indc_case: could not write %s\n", path.c_str());
    return 1;
  }
  return 0;
}
