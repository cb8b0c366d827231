#include "geometry/matrix.hpp"

#include <cmath>
#include <vector>

#include "console/output.hpp"  // WRITE_OUT for the singular-matrix notice

namespace dorvex {

Mat3 LWMATMUL(const Mat3& a, const Mat3& b) {
  Mat3 c;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      float s = 0.0f;
      for (int k = 0; k < 3; ++k) s += a(i, k) * b(k, j);
      c(i, j) = s;
    }
  return c;
}

Vec3 MULTMV(const Mat3& m, const Vec3& v) {
  Vec3 w{};
  for (int i = 0; i < 3; ++i)
    w[static_cast<std::size_t>(i)] = m(i, 0) * v[0] + m(i, 1) * v[1] + m(i, 2) * v[2];
  return w;
}

float MULTVMV(const Vec3& u, const Mat3& m, const Vec3& v) { return dot(u, MULTMV(m, v)); }

Vec3 VCROSS(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

float dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

float RLENGTH(const Vec3& v) { return std::sqrt(dot(v, v)); }

Vec3 UNITL(const Vec3& v) {
  float len = RLENGTH(v);
  if (len < 1.0e-6f) len = 1.0e-6f;
  return {v[0] / len, v[1] / len, v[2] / len};
}

namespace {

Mat3 from_columns(const Vec3& c1, const Vec3& c2, const Vec3& c3) {
  Mat3 m;
  for (int i = 0; i < 3; ++i) {
    const auto k = static_cast<std::size_t>(i);
    m(i, 0) = c1[k];
    m(i, 1) = c2[k];
    m(i, 2) = c3[k];
  }
  return m;
}

}  // namespace

Mat3 ORTHOG(const Vec3& u, const Vec3& w) {
  const Vec3 c1 = UNITL(u);
  const Vec3 c3 = UNITL(VCROSS(u, w));
  const Vec3 c2 = VCROSS(c3, c1);
  return from_columns(c1, c2, c3);
}

Mat3 MAKEBASIS(const Vec3& u, const Vec3& w) {
  const Vec3 uu = UNITL(u);
  const Vec3 ww = UNITL(w);
  const Vec3 c1 = UNITL({uu[0] + ww[0], uu[1] + ww[1], uu[2] + ww[2]});
  const Vec3 c3 = UNITL(VCROSS(u, w));
  const Vec3 c2 = VCROSS(c3, c1);
  return from_columns(c1, c2, c3);
}

Mat3 transpose(const Mat3& m) {
  Mat3 t;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) t(i, j) = m(j, i);
  return t;
}

// Crout's method with implicit partial pivoting: every row is scaled by its largest element
// when the pivot is chosen, so that badly scaled rows do not decide the pivot order.
bool LUDCMP(double* a, int n, int ndim, int* indx, double& d) {
  auto at = [a, ndim](int i, int j) -> double& { return a[i + ndim * j]; };
  std::vector<double> scale(static_cast<std::size_t>(n));
  d = 1.0;
  for (int i = 0; i < n; ++i) {
    double big = 0.0;
    for (int j = 0; j < n; ++j) big = std::fmax(big, std::fabs(at(i, j)));
    if (!(big > 0.0)) return false;  // a row of zeros (or not a number)
    scale[static_cast<std::size_t>(i)] = 1.0 / big;
  }
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < j; ++i) {
      double sum = at(i, j);
      for (int k = 0; k < i; ++k) sum -= at(i, k) * at(k, j);
      at(i, j) = sum;
    }
    double big = 0.0;
    int imax = j;
    for (int i = j; i < n; ++i) {
      double sum = at(i, j);
      for (int k = 0; k < j; ++k) sum -= at(i, k) * at(k, j);
      at(i, j) = sum;
      const double figure = scale[static_cast<std::size_t>(i)] * std::fabs(sum);
      if (figure >= big) {
        big = figure;
        imax = i;
      }
    }
    if (j != imax) {
      for (int k = 0; k < n; ++k) std::swap(at(imax, k), at(j, k));
      d = -d;
      scale[static_cast<std::size_t>(imax)] = scale[static_cast<std::size_t>(j)];
    }
    indx[j] = imax;
    // A zero pivot found here is replaced by a tiny one so that the decomposition goes on.
    if (at(j, j) == 0.0) at(j, j) = 1.0e-20;
    if (j != n - 1) {
      const double inverse = 1.0 / at(j, j);
      for (int i = j + 1; i < n; ++i) at(i, j) *= inverse;
    }
  }
  return true;
}

void LUBKSB(const double* a, int n, int ndim, const int* indx, double* b) {
  auto at = [a, ndim](int i, int j) { return a[i + ndim * j]; };
  int first = -1;  // index of the first non-zero element of b, skipped zeros save work
  for (int i = 0; i < n; ++i) {
    const int ip = indx[i];
    double sum = b[ip];
    b[ip] = b[i];
    if (first >= 0) {
      for (int j = first; j < i; ++j) sum -= at(i, j) * b[j];
    } else if (sum != 0.0) {
      first = i;
    }
    b[i] = sum;
  }
  for (int i = n - 1; i >= 0; --i) {
    double sum = b[i];
    for (int j = i + 1; j < n; ++j) sum -= at(i, j) * b[j];
    b[i] = sum / at(i, i);
  }
}

void MINV8(double* a, int ndim, int n, double& det, int& ierr) {
  ierr = 0;
  det = 0.0;
  if (n < 1 || ndim < n) {
    ierr = 1;
    return;
  }
  const auto size = static_cast<std::size_t>(n);
  std::vector<double> lu(size * size);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) lu[static_cast<std::size_t>(i + n * j)] = a[i + ndim * j];
  std::vector<int> indx(size);
  double d = 1.0;
  if (!LUDCMP(lu.data(), n, n, indx.data(), d)) {
    WRITE_OUT("  Singular matrix.");
    ierr = 1;
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) a[i + ndim * j] = i == j ? 1.0 : 0.0;
    return;
  }
  det = d;
  for (int j = 0; j < n; ++j) det *= lu[static_cast<std::size_t>(j + n * j)];
  std::vector<double> column(size);
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) column[static_cast<std::size_t>(i)] = i == j ? 1.0 : 0.0;
    LUBKSB(lu.data(), n, n, indx.data(), column.data());
    for (int i = 0; i < n; ++i) a[i + ndim * j] = column[static_cast<std::size_t>(i)];
  }
}

void MINV(float* a, int ndim, int n, float& det, int& ierr) {
  ierr = 0;
  det = 0.0f;
  if (n < 1 || ndim < n) {
    ierr = 1;
    return;
  }
  const auto size = static_cast<std::size_t>(n);
  std::vector<double> work(size * size);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) work[static_cast<std::size_t>(i + n * j)] = a[i + ndim * j];
  double det8 = 0.0;
  MINV8(work.data(), n, n, det8, ierr);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i)
      a[i + ndim * j] = static_cast<float>(work[static_cast<std::size_t>(i + n * j)]);
  det = static_cast<float>(det8);
}

Mat3 MINV3(const Mat3& m, float& det, int& ierr) {
  Mat3 inverse = m;
  MINV(inverse.a.data(), 3, 3, det, ierr);
  return inverse;
}

}  // namespace dorvex
