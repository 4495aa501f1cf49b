#include "nuqMatrix.h"

#include <algorithm>
#include <cmath>
#include <vector>

template class nuqMatrixT<float>;
template class nuqMatrixT<double>;
template class nuqPointT<double>;

void SetIdentityMatrix(float *m, int n) {
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) m[i * n + j] = (i == j) ? 1.0f : 0.0f;
}

void MultiplyMatrix(float *out, const float *a, const float *b, int n) {
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      float sum = 0.0f;
      for (int k = 0; k < n; ++k) sum += a[i * n + k] * b[k * n + j];
      out[i * n + j] = sum;
    }
}

void CopyMatrix(float *dst, const float *src, int n) { std::copy(src, src + n * n, dst); }

float Determinant3x3(const float *m, int s) {
  return m[0] * (m[s + 1] * m[2 * s + 2] - m[s + 2] * m[2 * s + 1]) -
         m[1] * (m[s] * m[2 * s + 2] - m[s + 2] * m[2 * s]) +
         m[2] * (m[s] * m[2 * s + 1] - m[s + 1] * m[2 * s]);
}

void InvertMatrix3x3(float *out, const float *m, int s) {
  const float det = Determinant3x3(m, s);
  auto a = [m, s](int r, int c) { return m[r * s + c]; };
  // out = adjugate / det; computed into a temporary so out may alias m.
  float inv[3][3];
  inv[0][0] = (a(1, 1) * a(2, 2) - a(1, 2) * a(2, 1)) / det;
  inv[0][1] = (a(0, 2) * a(2, 1) - a(0, 1) * a(2, 2)) / det;
  inv[0][2] = (a(0, 1) * a(1, 2) - a(0, 2) * a(1, 1)) / det;
  inv[1][0] = (a(1, 2) * a(2, 0) - a(1, 0) * a(2, 2)) / det;
  inv[1][1] = (a(0, 0) * a(2, 2) - a(0, 2) * a(2, 0)) / det;
  inv[1][2] = (a(0, 2) * a(1, 0) - a(0, 0) * a(1, 2)) / det;
  inv[2][0] = (a(1, 0) * a(2, 1) - a(1, 1) * a(2, 0)) / det;
  inv[2][1] = (a(0, 1) * a(2, 0) - a(0, 0) * a(2, 1)) / det;
  inv[2][2] = (a(0, 0) * a(1, 1) - a(0, 1) * a(1, 0)) / det;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) out[r * s + c] = inv[r][c];
}

void MultiplyMatrixVector(float *v, const float *m, int n) {
  float small[16];
  std::vector<float> large;
  float *copy = small;
  if (n > 16) {
    large.assign(v, v + n);
    copy = large.data();
  } else {
    std::copy(v, v + n, small);
  }
  for (int i = 0; i < n; ++i) {
    float sum = 0.0f;
    for (int k = 0; k < n; ++k) sum += m[i * n + k] * copy[k];
    v[i] = sum;
  }
}

void NormalizeVector(float *v, int n) {
  float sum = 0.0f;
  for (int i = 0; i < n; ++i) sum += v[i] * v[i];
  const float norm = std::sqrt(sum);
  if (norm > 0.0f)
    for (int i = 0; i < n; ++i) v[i] /= norm;
}

float VectorDistance(const float *a, const float *b, int n) {
  float sum = 0.0f;
  for (int i = 0; i < n; ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(sum);
}

int RoundHalfAway(float x) {
  const double d = x;
  // Out-of-range and NaN inputs would make the conversion undefined.
  if (!(d == d)) return 0;
  if (d >= 2147483647.0) return 2147483647;
  if (d <= -2147483648.0) return -2147483647 - 1;
  return d >= 0.0 ? static_cast<int>(d + 0.5) : static_cast<int>(d - 0.5);
}

void SwapBytes(void *p, int width) {
  if (width != 2 && width != 4 && width != 8 && width != 10) return;
  unsigned char *b = static_cast<unsigned char *>(p);
  std::reverse(b, b + width);
}
