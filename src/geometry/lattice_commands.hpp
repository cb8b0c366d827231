// The dialogues of INDA (a cell from the centred reflections alone) and LATT (the Bravais
// lattices of the current cell), and what LATT leaves for CLSQ.
#pragma once

#include <string>

namespace dorvex {

// The CLSQ crystal system of the lattice last taken with LATT while the crystal's cell is still
// its conventional cell (edges within 0.5 %, angles within 0.5 degrees); 0 otherwise.
int taken_lattice_system();
// "4-Tetragonal" for CLSQ system 4.
std::string clsq_system_name(int system);

}  // namespace dorvex
