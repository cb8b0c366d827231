// Lattice symmetry of a cell (command LATT): the Niggli-reduced cell, the twofold axes that the
// metric allows within a tolerance (Le Page, J. Appl. Cryst. 15 (1982) 255), the lattice point
// groups they generate and, for each, the Bravais lattice and its conventional cell.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "geometry/refine_math.hpp"

namespace dorvex {

// Niggli reduction (Krivy & Gruber 1976, with the tolerances of Grosse-Kunstleve, Sauter &
// Adams 2004) of the direct metric g of a primitive cell: T (rows: the reduced axes in terms of
// the given ones, determinant +1), so that T g T^T is the reduced metric.
refine::M3 NIGGLI(const refine::M3& g);

// Cell (a, b, c, alpha, beta, gamma in degrees) of a direct metric.
std::array<double, 6> cell_of_metric(const refine::M3& g);

// Rows of the primitive axes in terms of the axes of a cell with this centring (P, A, B, C, I,
// F, or R for the obverse hexagonal setting). False for any other letter.
bool primitive_axes(char centring, refine::M3& p);

struct BravaisLattice {
  std::string symbol;      // "cF", "tI", "hR", ...
  std::string system;      // "Cubic", "Tetragonal", ...
  char centring = 'P';     // of the conventional cell (R: rhombohedral in hexagonal axes)
  int clsq_system = 0;     // crystal system of CLSQ (0 for triclinic: no constraints)
  int rank = 0;            // holohedry, 7 cubic .. 1 triclinic (for "highest symmetry first")
  double misfit = 0;       // largest obliquity of its twofold axes, degrees
  refine::M3 t{};          // rows: the conventional axes in terms of the current axes
  std::array<double, 6> cell{};  // the conventional cell from the current metric
};

// Every Bravais lattice that the metric g of the current cell (with its centring) allows
// within `tolerance` degrees, highest symmetry first and, within a symmetry, smallest misfit
// first; the triclinic (reduced) cell comes last. Empty when g is no metric.
std::vector<BravaisLattice> LATTICE_SEARCH(const refine::M3& g, char centring, double tolerance);

}  // namespace dorvex
