// The 3x3 kit and the general matrix inversion. Matrices are column by column (Mat3).
#pragma once

#include "common/state.hpp"

namespace dorvex {

Mat3 LWMATMUL(const Mat3& a, const Mat3& b);                // a * b
Vec3 MULTMV(const Mat3& m, const Vec3& v);                  // m * v
float MULTVMV(const Vec3& u, const Mat3& m, const Vec3& v); // u . (m * v)
Vec3 VCROSS(const Vec3& a, const Vec3& b);
Vec3 UNITL(const Vec3& v);  // length floored at 1.0E-6, so a null vector stays null
float RLENGTH(const Vec3& v);
Mat3 ORTHOG(const Vec3& u, const Vec3& w);     // orthonormal frame with u first
Mat3 MAKEBASIS(const Vec3& u, const Vec3& w);  // orthonormal frame with the bisector first
Mat3 transpose(const Mat3& m);
float dot(const Vec3& a, const Vec3& b);

// General inversion of the n x n leading block of a column-major ndim x ndim float matrix, in
// place, in double precision (LUDCMP/LUBKSB). A singular matrix prints "  Singular matrix.",
// sets ierr = 1, and returns the identity with det = 0. ndim < n sets ierr = 1.
void MINV(float* a, int ndim, int n, float& det, int& ierr);
void MINV8(double* a, int ndim, int n, double& det, int& ierr);
// Convenience for 3x3 matrices: returns the inverse; det and ierr as MINV.
Mat3 MINV3(const Mat3& m, float& det, int& ierr);

// Crout LU decomposition with implicit partial pivoting (column-major, ndim leading size).
// Returns false for a singular matrix (a row of zeros); d is the permutation parity.
bool LUDCMP(double* a, int n, int ndim, int* indx, double& d);
void LUBKSB(const double* a, int n, int ndim, const int* indx, double* b);

}  // namespace dorvex
