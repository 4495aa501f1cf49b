// Small matrices, vectors and the float-array routines.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "nuqMatrix.h"

TEST(MatrixT, StorageFollowsTheElementCount) {
  nuqMatrixT<float> m(3, 2);
  float *storage = m.GetMatrixData();
  m(2, 1) = 5.0f;
  ASSERT_TRUE(m.NewMatrix(2, 3));  // same element count: storage kept, zeroed
  EXPECT_EQ(m.GetMatrixData(), storage);
  EXPECT_EQ(m.GetRows(), 2);
  EXPECT_EQ(m.GetColumns(), 3);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(m.GetMatrixData()[i], 0.0f);

  const float values[4] = {1, 2, 3, 4};
  EXPECT_FALSE(m.SetMatrix(values, 0, 4));
  EXPECT_FALSE(m.NewMatrix(2, -1));
  EXPECT_EQ(m.GetRows(), 2);
  EXPECT_EQ(m.GetColumns(), 3);

  nuqMatrixT<double> empty(0, 5);
  EXPECT_EQ(empty.GetRows(), 0);
  EXPECT_EQ(empty.GetColumns(), 0);
  EXPECT_EQ(empty.GetMatrixData(), nullptr);
}

TEST(MatrixT, CopiesAreDeep) {
  const double values[6] = {1, 2, 3, 4, 5, 6};
  nuqMatrixT<double> a;
  ASSERT_TRUE(a.SetMatrix(values, 2, 3));
  nuqMatrixT<double> b(a);
  b(0, 0) = 100;
  EXPECT_EQ(a(0, 0), 1);
  nuqMatrixT<double> c(1, 1);
  c = a;
  c(1, 2) = -1;
  EXPECT_EQ(a(1, 2), 6);
  c = c;  // self-assignment keeps the values
  EXPECT_EQ(c(1, 1), 5);
  c = nuqMatrixT<double>();  // an empty matrix empties the target
  EXPECT_EQ(c.GetRows(), 0);
  EXPECT_EQ(c.GetMatrixData(), nullptr);
}

TEST(MatrixT, Arithmetic) {
  const float av[6] = {1, 2, 3, 4, 5, 6};
  const float bv[6] = {7, 8, 9, 10, 11, 12};
  nuqMatrixT<float> a, b;
  a.SetMatrix(av, 2, 3);
  b.SetMatrix(bv, 3, 2);
  const nuqMatrixT<float> p = a * b;
  ASSERT_EQ(p.GetRows(), 2);
  ASSERT_EQ(p.GetColumns(), 2);
  EXPECT_EQ(p(0, 0), 58);
  EXPECT_EQ(p(0, 1), 64);
  EXPECT_EQ(p(1, 0), 139);
  EXPECT_EQ(p(1, 1), 154);
  const nuqMatrixT<float> s = a * 2.0f;
  EXPECT_EQ(s(1, 2), 12);
  const nuqMatrixT<float> sum = a + s;
  const nuqMatrixT<float> diff = a - s;
  EXPECT_EQ(sum(0, 1), 6);
  EXPECT_EQ(diff(0, 1), -2);
}

TEST(MatrixTDeathTest, MismatchedSizesAbort) {
  const float av[6] = {1, 2, 3, 4, 5, 6};
  nuqMatrixT<float> a;
  a.SetMatrix(av, 2, 3);
  EXPECT_DEATH({ nuqMatrixT<float> p = a * a; }, "Dimension not matched");
  nuqMatrixT<float> b(3, 2);
  EXPECT_DEATH({ nuqMatrixT<float> p = a + b; }, "Dimension not matched");
  EXPECT_DEATH({ nuqMatrixT<float> p = a - b; }, "Dimension not matched");
}

TEST(PointT, Operations) {
  const nuqPointT<double> x(1, 0, 0), y(0, 1, 0);
  const nuqPointT<double> z = x.CrossProduct(y);
  EXPECT_EQ(z.m_dX, 0);
  EXPECT_EQ(z.m_dY, 0);
  EXPECT_EQ(z.m_dZ, 1);
  const nuqPointT<double> a(1, 2, 3), b(4, 5, 6);
  const nuqPointT<double> c = a.CrossProduct(b);  // (-3, 6, -3)
  EXPECT_EQ(c.m_dX, -3);
  EXPECT_EQ(c.m_dY, 6);
  EXPECT_EQ(c.m_dZ, -3);
  const nuqPointT<double> e = a.ElementProduct(b) - a * 2.0;
  EXPECT_EQ(e.m_dX, 2);
  EXPECT_EQ(e.m_dZ, 12);
  EXPECT_EQ((b / 2.0).m_dY, 2.5);
  EXPECT_EQ(nuqPointT<double>().m_dY, 0);
}

TEST(PointTDeathTest, DivisionByZeroEndsTheProcess) {
  const nuqPointT<double> a(1, 2, 3);
  EXPECT_EXIT({ nuqPointT<double> b = a / 0.0; (void)b; }, testing::ExitedWithCode(1),
              "the m should not be zero");
}

TEST(ArrayRoutines, RoundHalfAway) {
  struct Case {
    float x;
    int expected;
  };
  const Case cases[] = {{2.5f, 3},   {-2.5f, -3}, {-0.4f, 0},    {0.49999997f, 0}, {1.5f, 2},
                        {-1.5f, -2}, {0.0f, 0},   {-0.0f, 0},    {1e10f, INT_MAX}, {-1e10f, INT_MIN},
                        {std::numeric_limits<float>::quiet_NaN(), 0}};
  for (const Case &c : cases) EXPECT_EQ(RoundHalfAway(c.x), c.expected) << c.x;
}

TEST(ArrayRoutines, MatrixProductsDeterminantAndInverse) {
  float identity[16], m[16], out[16];
  SetIdentityMatrix(identity, 4);
  for (int i = 0; i < 16; ++i) m[i] = static_cast<float>((i * 7) % 11) - 3.0f;
  MultiplyMatrix(out, identity, m, 4);
  EXPECT_EQ(std::memcmp(out, m, sizeof(m)), 0);
  MultiplyMatrix(out, m, identity, 4);
  EXPECT_EQ(std::memcmp(out, m, sizeof(m)), 0);
  float copy[16];
  CopyMatrix(copy, m, 4);
  EXPECT_EQ(std::memcmp(copy, m, sizeof(m)), 0);

  EXPECT_EQ(Determinant3x3(identity, 4), 1.0f);
  const float flip[9] = {-1, 0, 0, 0, 1, 0, 0, 0, 1};
  EXPECT_EQ(Determinant3x3(flip, 3), -1.0f);
  const float a[9] = {2, -1, 0, 1, 3, 2, 0, 1, 4};  // det = 2*10 + 1*4 = 24
  EXPECT_FLOAT_EQ(Determinant3x3(a, 3), 24.0f);

  // The 3x3 block of a 4x4 matrix inverted in place of a copy: A * inv(A) = I.
  float big[16] = {2, -1, 0, 9, 1, 3, 2, 9, 0, 1, 4, 9, 9, 9, 9, 9};
  float inv[16];
  std::memcpy(inv, big, sizeof(big));
  InvertMatrix3x3(inv, big, 4);
  EXPECT_EQ(inv[3], 9.0f) << "entries outside the block are left";
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      float sum = 0;
      for (int k = 0; k < 3; ++k) sum += big[r * 4 + k] * inv[k * 4 + c];
      EXPECT_NEAR(sum, r == c ? 1.0f : 0.0f, 1e-6) << r << "," << c;
    }
}

TEST(ArrayRoutines, Vectors) {
  const float m[9] = {0, -1, 0, 1, 0, 0, 0, 0, 2};
  float v[3] = {1, 2, 3};
  MultiplyMatrixVector(v, m, 3);  // uses the old v throughout
  EXPECT_EQ(v[0], -2);
  EXPECT_EQ(v[1], 1);
  EXPECT_EQ(v[2], 6);

  float zero[3] = {0, 0, 0};
  NormalizeVector(zero, 3);
  EXPECT_EQ(zero[0], 0);
  EXPECT_EQ(zero[2], 0);
  float w[2] = {3, 4};
  NormalizeVector(w, 2);
  EXPECT_FLOAT_EQ(w[0], 0.6f);
  EXPECT_FLOAT_EQ(w[1], 0.8f);

  const float p[3] = {1, 1, 1}, q[3] = {4, 5, 1};
  EXPECT_FLOAT_EQ(VectorDistance(p, q, 3), 5.0f);
}

TEST(ArrayRoutines, SwapBytes) {
  for (int width : {2, 4, 8, 10}) {
    unsigned char b[10];
    for (int i = 0; i < 10; ++i) b[i] = static_cast<unsigned char>(i + 1);
    SwapBytes(b, width);
    for (int i = 0; i < width; ++i) EXPECT_EQ(b[i], width - i) << width;
  }
  unsigned char odd[3] = {1, 2, 3};
  SwapBytes(odd, 3);
  EXPECT_EQ(odd[0], 1);
  EXPECT_EQ(odd[2], 3);
  uint32_t value = 0x2AE389B8u;
  SwapBytes(&value, 4);
  EXPECT_EQ(value, 0xB889E32Au);
}
