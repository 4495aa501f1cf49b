// Matrix algebra of the affine family and the matrix transform: the
// decomposition into affine parameters, inversion, square roots, the matrix
// file and the save rules.
#include <gtest/gtest.h>

#include <cmath>

#include "nuqMatrix.h"
#include "nuqTestSupport.h"
#include "nuqTransformMatrix.h"

namespace {

struct AffineParams {
  float rotation[3];
  float scaling[3];
  float translation[3];
  float centre[3];
  float skew[6];
};

nuqTransformAffine MakeAffine(const AffineParams &p) {
  nuqTransformAffine a;
  a.SetDimension(3);
  a.SetRotationCentre(p.centre);
  a.SetRotation(p.rotation);
  a.SetScaling(p.scaling);
  a.SetTranslation(p.translation);
  a.SetSkewXY(&p.skew[0]);
  a.SetSkewYZ(&p.skew[2]);
  a.SetSkewZX(&p.skew[4]);
  return a;
}

// Rebuilds a matrix from 18 decomposed values through the affine's own
// construction.
void MatrixFromValues(const float *v, float *m) {
  AffineParams p;
  for (int i = 0; i < 3; ++i) {
    p.rotation[i] = v[i];
    p.centre[i] = v[3 + i];
    p.translation[i] = v[6 + i];
    p.scaling[i] = v[9 + i];
  }
  for (int i = 0; i < 6; ++i) p.skew[i] = v[12 + i];
  MakeAffine(p).GetMatrix(m);
}

void ExpectMatrixNear(const float *a, const float *b, float tol) {
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(a[i], b[i], tol) << "entry " << i;
}

TEST(MatrixDecomposition, UpdateParameterRoundTrips) {
  struct Case {
    const char *name;
    AffineParams p;
    bool parametersBack;  // false: only the matrix is reproduced
  } cases[] = {
      {"identity", {{0, 0, 0}, {1, 1, 1}, {0, 0, 0}, {4, -5, 6}, {0, 0, 0, 0, 0, 0}}, true},
      {"rotation, scaling and upper shears",
       {{10, 20, 30}, {1, 2, 3}, {5, -6, 7}, {1, 2, 3}, {0, 8, -12, 0, 0, 15}},
       true},
      {"lower shears come back as other values", {{10, 20, 30}, {1, 2, 3}, {0, 0, 0}, {0, 0, 0}, {9, 0, 0, -7, 5, 0}},
       false},
      {"ry of 90 degrees", {{0, 90, 0}, {1, 1, 1}, {1, 2, 3}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    float m[16];
    MakeAffine(c.p).GetMatrix(m);
    float v[18];
    ASSERT_TRUE(UpdateParameter(v, m, c.p.centre, 1e-7f));
    float rebuilt[16];
    MatrixFromValues(v, rebuilt);
    ExpectMatrixNear(rebuilt, m, 1e-4f);
    EXPECT_EQ(v[12], 0);
    EXPECT_EQ(v[15], 0);
    EXPECT_EQ(v[16], 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(v[3 + i], c.p.centre[i]);
    if (c.parametersBack) {
      for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(v[i], c.p.rotation[i], 2e-4) << "rotation " << i;
        EXPECT_NEAR(v[6 + i], c.p.translation[i], 2e-4) << "translation " << i;
        EXPECT_NEAR(v[9 + i], c.p.scaling[i], 1e-5) << "scaling " << i;
      }
      for (int i = 0; i < 6; ++i) EXPECT_NEAR(v[12 + i], c.p.skew[i], 2e-4) << "skew " << i;
    }
  }
}

TEST(MatrixDecomposition, GimbalLockPutsTheRotationIntoX) {
  // ry = 90 exactly, rx = 25, rz = 10: only rx - rz = 15 can be told, so
  // rz comes back 0 and rx carries 15.
  const double d = 3.14159265358979 / 180, s = std::sin(15 * d), c = std::cos(15 * d);
  const float m[16] = {0, 0, -1, 0, float(s), float(c), 0, 0, float(c), float(-s), 0, 0, 0, 0, 0, 1};
  float v[18];
  const float centre[3] = {0, 0, 0};
  ASSERT_TRUE(UpdateParameter(v, m, centre, 1e-7f));
  EXPECT_EQ(v[2], 0);
  EXPECT_NEAR(v[1], 90, 1e-3);
  EXPECT_NEAR(v[0], 15, 1e-3);
  float rebuilt[16];
  MatrixFromValues(v, rebuilt);
  ExpectMatrixNear(rebuilt, m, 1e-5f);
}

TEST(MatrixDecomposition, ReflectionGivesThreeNegativeScales) {
  const float m[16] = {-2, 0, 0, 1, 0, 3, 0, 2, 0, 0, 4, 3, 0, 0, 0, 1};
  float v[18];
  const float centre[3] = {1, 1, 1};
  ASSERT_TRUE(UpdateParameter(v, m, centre, 1e-7f));
  for (int i = 0; i < 3; ++i) EXPECT_LT(v[9 + i], 0) << i;
  EXPECT_NEAR(std::fabs(v[9]) * std::fabs(v[10]) * std::fabs(v[11]), 24, 1e-4);
  float rebuilt[16];
  MatrixFromValues(v, rebuilt);
  ExpectMatrixNear(rebuilt, m, 1e-5f);
}

TEST(MatrixDecomposition, DegenerateColumnsFail) {
  const float centre[3] = {0, 0, 0};
  const float zeroColumn[16] = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  const float dependent[16] = {1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  float v[18];
  EXPECT_FALSE(UpdateParameter(v, zeroColumn, centre, 1e-7f));
  EXPECT_FALSE(UpdateParameter(v, dependent, centre, 1e-7f));
  EXPECT_FALSE(UpdateParameter(v, nullptr, centre, 1e-7f));
  // The affine then keeps its parameters (only the dimension becomes 3).
  nuqTransformAffine a;
  a.SetDimension(2);
  const float t[2] = {4, 5};
  a.SetTranslation(t);
  EXPECT_FALSE(a.SetFromMatrix(zeroColumn, nullptr, 1e-7f));
  EXPECT_EQ(a.GetDimension(), 3);
  EXPECT_EQ(a.GetParameterValue(0), 4);
}

void Apply(const float *m, const float *p, float *out) {
  for (int r = 0; r < 3; ++r) out[r] = m[r * 4] * p[0] + m[r * 4 + 1] * p[1] + m[r * 4 + 2] * p[2] + m[r * 4 + 3];
}

void Product(const float *a, const float *b, float *out) {  // out = a * b
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) {
      double sum = 0;
      for (int k = 0; k < 4; ++k) sum += double(a[r * 4 + k]) * b[k * 4 + c];
      out[r * 4 + c] = float(sum);
    }
}

const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

TEST(MatrixInverse, InverseUndoesTheAffine) {
  nuqTransformAffine a = MakeAffine({{10, -20, 30}, {1.5f, 2, 0.5f}, {3, 4, 5}, {1, 1, 1}, {0, 5, 6, 0, 0, 7}});
  nuqTransformMatrix inverse;
  ASSERT_TRUE(inverse.SetToInverseOf(&a));
  nuqTransformMatrix chain;
  ASSERT_TRUE(chain.SetToConcatenation(&a, &inverse));
  float m[16];
  chain.GetMatrix(m);
  ExpectMatrixNear(m, kIdentity, 2e-5f);

  nuqTransformBase *pCopy = nullptr;
  a.CloneTo(pCopy);
  auto *b = static_cast<nuqTransformAffine *>(pCopy);
  ASSERT_TRUE(b->Invert());
  const float p[4] = {7, -3, 12, 0};
  float q[4], back[4];
  a.TransformWorldToWorld(p, q);
  b->TransformWorldToWorld(q, back);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[i], p[i], 1e-3) << i;
  EXPECT_FLOAT_EQ(b->GetParameterValue(12), 1);  // inverted about the same centre
  delete pCopy;
}

TEST(MatrixSquareRoot, TranslationAndRotationHalve) {
  nuqTransformAffine t = MakeAffine({{0, 0, 0}, {1, 1, 1}, {2, -4, 6}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}});
  ASSERT_TRUE(t.SquareRoot());
  EXPECT_NEAR(t.GetParameterValue(0), 1, 1e-5);
  EXPECT_NEAR(t.GetParameterValue(1), -2, 1e-5);
  EXPECT_NEAR(t.GetParameterValue(2), 3, 1e-5);
  EXPECT_NEAR(t.GetParameterValue(8), 1, 1e-5);

  float rotation40[16], rotation20[16], root[16];
  MakeAffine({{0, 0, 40}, {1, 1, 1}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}}).GetMatrix(rotation40);
  MakeAffine({{0, 0, 20}, {1, 1, 1}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}}).GetMatrix(rotation20);
  ASSERT_TRUE(ComputeSquareRootOfAffineMatrix(root, rotation40, 1e-5f));
  ExpectMatrixNear(root, rotation20, 1e-5f);

  // A general affine: the root applied twice gives it back.
  float m[16], twice[16];
  MakeAffine({{10, 20, 30}, {1, 2, 3}, {4, 5, 6}, {1, 2, 3}, {0, 8, -12, 0, 0, 15}}).GetMatrix(m);
  ASSERT_TRUE(ComputeSquareRootOfAffineMatrix(root, m, 1e-5f));
  Product(root, root, twice);
  ExpectMatrixNear(twice, m, 1e-4f);
}

TEST(MatrixSquareRoot, ZeroBlockHasNoRootAndSaysSo) {
  const float zero[16] = {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 1};
  float root[16];
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ComputeSquareRootOfAffineMatrix(root, zero, 1e-5f));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("error: can not invert a matrix with zero determinant, ComputeInvertOfMatrix3D failed\n"),
            std::string::npos);
  const std::string tail = "estimated error 1.73205 > 1e-05 of tollerance\n";
  ASSERT_GE(err.size(), tail.size());
  EXPECT_EQ(err.substr(err.size() - tail.size()), tail) << err;
  EXPECT_NE(err.find("error: square root affine transformation fail due to the estimated error "), std::string::npos);

}

TEST(MatrixSquareRoot, SmallMatrixRoutines) {
  nuqMatrixT<float> m(3, 3);
  const float values[9] = {2, 0, 0, 0, 4, 0, 1, 0, 8};
  m.SetMatrix(values, 3, 3);
  ASSERT_TRUE(ComputeInvertOfMatrix3D(&m, &m));  // in place
  EXPECT_FLOAT_EQ(m(0, 0), 0.5f);
  EXPECT_FLOAT_EQ(m(1, 1), 0.25f);
  EXPECT_FLOAT_EQ(m(2, 0), -1.0f / 16);
  nuqMatrixT<float> rect(2, 3);
  EXPECT_FALSE(ComputeInvertOfMatrix3D(&m, &rect));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(SetSquareMatrixToIdentity(&rect));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: SetSquareMatrixToIdentity fail\n");
  nuqMatrixT<float> root(3, 3);
  nuqMatrixT<float> diag(3, 3);
  const float d[9] = {4, 0, 0, 0, 9, 0, 0, 0, 16};
  diag.SetMatrix(d, 3, 3);
  ASSERT_TRUE(ComputeSquareRootOfMatrix3D(&root, &diag, 1e-5f));
  EXPECT_NEAR(root(0, 0), 2, 1e-5);
  EXPECT_NEAR(root(1, 1), 3, 1e-5);
  EXPECT_NEAR(root(2, 2), 4, 1e-5);
}

TEST(MatrixTransform, KeepsItsMatrixAndDecomposesIt) {
  const float m[16] = {1, 0.5f, 0, 10, 0, 2, 0, -4, 0, 0, 3, 2, 0, 0, 0, 1};
  nuqTransformMatrix t;
  ASSERT_TRUE(t.SetFromMatrix(m, nullptr, 1e-7f));
  EXPECT_EQ(t.GetDimension(), 3);
  EXPECT_EQ(t.GetNumberOfParameters(), 12);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(t.GetParameterValue(i), m[i]) << i;
  EXPECT_EQ(t.GetParameterValue(12), 0);
  EXPECT_FALSE(t.SetParameterValue(12, 1));
  // The affine parameters hold the decomposition: scaling, shear, translation.
  EXPECT_NE(t.GetTransformText().find("#scaling#\n1.000000\t2.000000\t3.000000\t"), std::string::npos)
      << t.GetTransformText();
  EXPECT_NE(t.GetTransformText().find("#translation#\n10.000000\t-4.000000\t2.000000\t"), std::string::npos);

  ASSERT_TRUE(t.SetParameterValue(3, 20));
  float p[4] = {0, 0, 0, 0}, q[4];
  t.TransformWorldToWorld(p, q);
  EXPECT_EQ(q[0], 20);
  EXPECT_NE(t.GetTransformText().find("#translation#\n20.000000\t"), std::string::npos);

  // Element-wise operations on the twelve entries.
  nuqTransformMatrix u;
  ASSERT_TRUE(u.SetToScaled(&t, 2));
  EXPECT_EQ(u.GetParameterValue(1), 1);
  EXPECT_EQ(u.GetParameterValue(15 - 4), 4);
  ASSERT_TRUE(u.Subtract(&t));
  for (int i = 0; i < 12; ++i) EXPECT_EQ(u.GetParameterValue(i), t.GetParameterValue(i)) << i;
  EXPECT_FLOAT_EQ(u.DotProduct(&t), u.GetMagnitude() * u.GetMagnitude());

  // Product: A applied first, then B.
  const float a[16] = {0, -1, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  const float b[16] = {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 5, 0, 0, 0, 1};
  nuqTransformMatrix ab;
  ASSERT_TRUE(ab.SetToMatrixProduct(a, b));
  const float x[4] = {1, 2, 3, 0};
  float viaA[4], expected[4], got[4];
  Apply(a, x, viaA);
  Apply(b, viaA, expected);
  ab.TransformWorldToWorld(x, got);
  for (int i = 0; i < 3; ++i) EXPECT_FLOAT_EQ(got[i], expected[i]) << i;
  ASSERT_TRUE(ab.SetIdentity());
  ab.TransformWorldToWorld(x, got);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(got[i], x[i]);
}

TEST(MatrixFile, SaveToFileNaming) {
  nuqtest::TempDir dir;
  nuqTransformMatrix t;
  const float m[16] = {1, 0, 0, 1.5f, 0, 1, 0, 2, 0, 0, 1, -3, 0, 0, 0, 1};
  t.SetFromMatrix(m, nullptr, 1e-7f);
  const std::string matrixText =
      "1.000000\t0.000000\t0.000000\t1.500000\t\n"
      "0.000000\t1.000000\t0.000000\t2.000000\t\n"
      "0.000000\t0.000000\t1.000000\t-3.000000\t\n"
      "0.000000\t0.000000\t0.000000\t1.000000\t\n";
  EXPECT_EQ(t.GetMatrixText(), matrixText);
  struct Case {
    const char *given;
    const char *written;
    bool matrixLines;
  } cases[] = {{"a", "a.AFF", false},         {"b.AFF", "b.AFF", false},     {"c.aff", "c.AFF", false},
               {"x.mtx", "x.MTX", false},     {"x.matrix", "x.matrix", true}, {"y.Mat", "y.Mat", true},
               {"z.txt", "z.txt.AFF", false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.given);
    ASSERT_TRUE(t.SaveToFile(dir.File(c.given)));
    EXPECT_EQ(nuqtest::ReadWholeFile(dir.File(c.written)), c.matrixLines ? matrixText : t.GetTransformText());
  }
  EXPECT_FALSE(nuqtest::FileExists(dir.File("x.mtx")));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(t.SaveToFile(dir.File("none/x.mat")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: save to file name " + dir.File("none/x.mat") + " fail! ");
}

TEST(MatrixFile, ReadMatrixFileRowsAndFailures) {
  nuqtest::TempDir dir;
  struct Case {
    const char *name;
    const char *text;
    bool ok;
  } cases[] = {
      {"rows with comments, blank lines and a fourth row",
       "# forward matrix\n\n1 0.5 0 10 % row 0\n0 2 0 -4\n\n0 0 3 2\n9 9 9 9\n", true},
      {"last row without a line break", "1 0.5 0 10\n0 2 0 -4\n0 0 3 2", true},
      {"two rows only", "1 0.5 0 10\n0 2 0 -4\n", false},
      {"a row with three numbers", "1 0.5 0 10\n0 2 0\n0 0 3 2\n", false},
      {"a row that is text", "1 0.5 0 10\nrow\n0 0 3 2\n", false},
  };
  const float expected[12] = {1, 0.5f, 0, 10, 0, 2, 0, -4, 0, 0, 3, 2};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    nuqtest::WriteWholeFile(dir.File("m.mat"), c.text);
    nuqTransformMatrix t;
    testing::internal::CaptureStderr();
    EXPECT_EQ(t.ReadFromFile(dir.File("m.mat")), c.ok);
    const std::string err = testing::internal::GetCapturedStderr();
    if (c.ok) {
      for (int i = 0; i < 12; ++i) EXPECT_EQ(t.GetParameterValue(i), expected[i]) << i;
      EXPECT_EQ(t.GetDimension(), 3);
      // An affine reads the same file and rebuilds the matrix from its
      // decomposition.
      nuqTransformAffine a;
      ASSERT_TRUE(a.ReadFromFile(dir.File("m.mat")));
      float m[16];
      a.GetMatrix(m);
      for (int i = 0; i < 12; ++i) EXPECT_NEAR(m[i], expected[i], 1e-5) << i;
    } else {
      EXPECT_NE(err.find(dir.File("m.mat")), std::string::npos) << err;
    }
  }
  nuqTransformMatrix t;
  EXPECT_FALSE(t.ReadMatrixFile(dir.File("m.txt")));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(t.ReadMatrixFile(dir.File("missing.matrix")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: Open matrix affine transformation:" + dir.File("missing.matrix") +
                " Failed! (No such file or directory)\n");
}

}  // namespace
