// Small dense matrices and vectors.
//
// nuqMatrixT is a row-major rows x columns matrix (element (r, c) at
// r * columns + c) that owns its storage; an empty matrix has 0 x 0 elements
// and no storage. nuqPointT is a three-component vector.
//
// The free routines work on plain float arrays: an n x n matrix is n * n
// consecutive floats, row-major, applied to column vectors; a 3 x 3 block of
// a larger matrix is addressed through its row stride (4 for a 4 x 4 matrix).
// They do not check their arguments.
#pragma once

#include <cstdlib>
#include <iostream>

template <class T>
class nuqMatrixT {
 public:
  nuqMatrixT() = default;
  // A zero matrix; a non-positive count gives an empty matrix.
  nuqMatrixT(int rows, int columns) { NewMatrix(rows, columns); }
  nuqMatrixT(const nuqMatrixT &other) { *this = other; }
  nuqMatrixT &operator=(const nuqMatrixT &other) {
    if (this == &other) return *this;
    if (other.m_iRows < 1 || other.m_iColumns < 1) {
      Release();
      return *this;
    }
    SetMatrix(other.m_pData, other.m_iRows, other.m_iColumns);
    return *this;
  }
  virtual ~nuqMatrixT() { Release(); }

  // Copies rows x columns values (row-major); false when a count is below 1.
  virtual bool SetMatrix(const T *values, int rows, int columns) {
    if (rows < 1 || columns < 1) return false;
    Resize(rows, columns);
    for (int i = 0; i < rows * columns; ++i) m_pData[i] = values[i];
    return true;
  }
  // A rows x columns zero matrix; storage is kept when the element count is.
  virtual bool NewMatrix(int rows, int columns) {
    if (rows < 1 || columns < 1) return false;
    Resize(rows, columns);
    for (int i = 0; i < rows * columns; ++i) m_pData[i] = T(0);
    return true;
  }
  // Element storage, still owned by the matrix.
  virtual T *GetMatrixData() { return m_pData; }
  const T *GetMatrixData() const { return m_pData; }

  int GetRows() const { return m_iRows; }
  int GetColumns() const { return m_iColumns; }
  T &operator()(int r, int c) { return m_pData[r * m_iColumns + c]; }
  const T &operator()(int r, int c) const { return m_pData[r * m_iColumns + c]; }

  // Matrix product; a column/row count mismatch is a programming error.
  nuqMatrixT operator*(const nuqMatrixT &other) const {
    if (m_iColumns != other.m_iRows) Mismatch();
    nuqMatrixT result(m_iRows, other.m_iColumns);
    for (int r = 0; r < m_iRows; ++r)
      for (int c = 0; c < other.m_iColumns; ++c) {
        T sum = T(0);
        for (int k = 0; k < m_iColumns; ++k) sum += (*this)(r, k) * other(k, c);
        result(r, c) = sum;
      }
    return result;
  }
  nuqMatrixT operator*(T factor) const {
    nuqMatrixT result(*this);
    for (int i = 0; i < m_iRows * m_iColumns; ++i) result.m_pData[i] *= factor;
    return result;
  }
  nuqMatrixT operator+(const nuqMatrixT &other) const { return Elementwise(other, 1); }
  nuqMatrixT operator-(const nuqMatrixT &other) const { return Elementwise(other, -1); }

 protected:
  int m_iRows = 0;
  int m_iColumns = 0;
  T *m_pData = nullptr;

 private:
  void Release() {
    if (m_iRows > 0 && m_iColumns > 0) delete[] m_pData;
    m_pData = nullptr;
    m_iRows = m_iColumns = 0;
  }
  void Resize(int rows, int columns) {
    if (m_pData == nullptr || rows * columns != m_iRows * m_iColumns) {
      Release();
      m_pData = new T[static_cast<size_t>(rows) * static_cast<size_t>(columns)];
    }
    m_iRows = rows;
    m_iColumns = columns;
  }
  nuqMatrixT Elementwise(const nuqMatrixT &other, int sign) const {
    if (m_iRows != other.m_iRows || m_iColumns != other.m_iColumns) Mismatch();
    nuqMatrixT result(*this);
    for (int i = 0; i < m_iRows * m_iColumns; ++i)
      result.m_pData[i] = sign > 0 ? m_pData[i] + other.m_pData[i] : m_pData[i] - other.m_pData[i];
    return result;
  }
  [[noreturn]] static void Mismatch() {
    std::cerr << "Dimension not matched";
    std::cerr.flush();
    std::abort();
  }
};

// Three-component vector (x, y, z).
template <class T>
class nuqPointT {
 public:
  nuqPointT() = default;
  nuqPointT(T x, T y, T z) : m_dX(x), m_dY(y), m_dZ(z) {}
  virtual ~nuqPointT() = default;

  nuqPointT operator*(T f) const { return nuqPointT(m_dX * f, m_dY * f, m_dZ * f); }
  // Division by exactly zero is a programming error and ends the process.
  nuqPointT operator/(T m) const {
    if (m == T(0)) {
      std::cerr << "the m should not be zero" << std::endl;
      std::exit(1);
    }
    return nuqPointT(m_dX / m, m_dY / m, m_dZ / m);
  }
  nuqPointT operator-(const nuqPointT &b) const {
    return nuqPointT(m_dX - b.m_dX, m_dY - b.m_dY, m_dZ - b.m_dZ);
  }
  nuqPointT CrossProduct(const nuqPointT &b) const {
    return nuqPointT(m_dY * b.m_dZ - m_dZ * b.m_dY, m_dZ * b.m_dX - m_dX * b.m_dZ,
                     m_dX * b.m_dY - m_dY * b.m_dX);
  }
  nuqPointT ElementProduct(const nuqPointT &b) const {
    return nuqPointT(m_dX * b.m_dX, m_dY * b.m_dY, m_dZ * b.m_dZ);
  }

  T m_dX = T(0);
  T m_dY = T(0);
  T m_dZ = T(0);
};

// m := n x n identity.
void SetIdentityMatrix(float *m, int n);
// out := a x b (n x n); out must not alias a or b.
void MultiplyMatrix(float *out, const float *a, const float *b, int n);
// dst := src (n x n elements).
void CopyMatrix(float *dst, const float *src, int n);
// Determinant of the upper-left 3 x 3 block of a matrix with row stride `stride`.
float Determinant3x3(const float *m, int stride);
// Inverse of that block by cofactors, written with the same stride; a zero
// determinant is not tested.
void InvertMatrix3x3(float *out, const float *m, int stride);
// v := m x v for an n x n matrix and an n-vector.
void MultiplyMatrixVector(float *v, const float *m, int n);
// Divides v by its Euclidean norm when the norm is above 0.
void NormalizeVector(float *v, int n);
// Euclidean norm of a - b.
float VectorDistance(const float *a, const float *b, int n);
// Rounds half away from zero: 2.5 -> 3, -2.5 -> -3, -0.4 -> 0.
int RoundHalfAway(float x);
// Reverses the bytes of one value of width 2, 4, 8 or 10; other widths are left.
void SwapBytes(void *p, int width);
