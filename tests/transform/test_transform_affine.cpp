// Affine transform: the refresh of its matrices, the AFF file, the
// parameter set operations, centre alignment and differential steps.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "nuqConsole.h"
#include "nuqImageData.h"
#include "nuqTestSupport.h"
#include "nuqTransformAffine.h"
#include "nuqTransformMatrix.h"

namespace {

const double kPi = 3.14159;  // the value the transforms use for degrees

struct Mat3 {
  double m[3][3];
};

Mat3 Mul(const Mat3 &a, const Mat3 &b) {
  Mat3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) r.m[i][j] += a.m[i][k] * b.m[k][j];
  return r;
}

// Linear part built by hand: rotation about x, y, z (angles as rows of R
// below), skew shears and scaling, L = R Kyz Kzx Kxy S.
Mat3 HandLinearPart(const double rot[3], const double scale[3], const double skew[6]) {
  const double d = kPi / 180;
  const double cx = std::cos(rot[0] * d), sx = std::sin(rot[0] * d);
  const double cy = std::cos(rot[1] * d), sy = std::sin(rot[1] * d);
  const double cz = std::cos(rot[2] * d), sz = std::sin(rot[2] * d);
  // Product of the three elementary rotations of the coordinate frame.
  Mat3 Rx{{{1, 0, 0}, {0, cx, sx}, {0, -sx, cx}}};
  Mat3 Ry{{{cy, 0, -sy}, {0, 1, 0}, {sy, 0, cy}}};
  Mat3 Rz{{{cz, sz, 0}, {-sz, cz, 0}, {0, 0, 1}}};
  Mat3 R = Mul(Rx, Mul(Ry, Rz));
  double t[6];
  for (int i = 0; i < 6; ++i) t[i] = std::tan(skew[i] * d);
  Mat3 Kxy{{{1, t[1], 0}, {t[0], 1, 0}, {0, 0, 1}}};
  Mat3 Kyz{{{1, 0, 0}, {0, 1, t[2]}, {0, t[3], 1}}};
  Mat3 Kzx{{{1, 0, t[5]}, {0, 1, 0}, {t[4], 0, 1}}};
  Mat3 S{{{scale[0], 0, 0}, {0, scale[1], 0}, {0, 0, scale[2]}}};
  return Mul(R, Mul(Mul(Mul(Kyz, Kzx), Kxy), S));
}

std::string Aff3Text(const char *centre, const char *rotation, const char *scaling, const char *translation,
                     const char *skews, const char *matrix) {
  std::string text = "#dimension#\n3\n#one to one#\n1\n#rotation center#\n";
  text += std::string(centre) + "\n#rotation angle#\n" + rotation + "\n#scaling#\n" + scaling + "\n#translation#\n" +
          translation + "\n" + skews + matrix;
  return text;
}

const char *kSkewLines =
    "#skew in x-y and y-x plane#\n0\n0\n#skew in y-z and z-y plane#\n0\n0\n#skew in z-x and x-z plane#\n0\n0\n";

void Map(nuqTransformBase &t, float x, float y, float z, float *out) {
  const float p[4] = {x, y, z, 0};
  t.TransformWorldToWorld(p, out);
}

TEST(AffineRefresh, RebuildsBothMatricesAndRefusesDegenerateScales) {
  nuqTransformAffine a;
  a.SetDimension(3);
  float out[4];
  Map(a, 1, 2, 3, out);
  EXPECT_FLOAT_EQ(out[0], 1);
  EXPECT_FLOAT_EQ(out[1], 2);
  EXPECT_FLOAT_EQ(out[2], 3);

  ASSERT_TRUE(a.SetParameterValue(8, 2));  // scaling x
  ASSERT_TRUE(a.SetParameterValue(0, 5));  // translation x
  Map(a, 1, 0, 0, out);
  EXPECT_FLOAT_EQ(out[0], 7);
  float back[4];
  a.InverseTransformWorldToWorld(out, back);
  EXPECT_NEAR(back[0], 1, 1e-6);

  float before[16];
  a.GetMatrix(before);
  // A scale below 1e-20 keeps both matrices; the store itself succeeds.
  for (int index : {8, 9, 10}) {
    SCOPED_TRACE(index);
    nuqTransformAffine b;
    b.SetDimension(3);
    b.SetParameterValue(8, 2);
    b.SetParameterValue(0, 5);
    EXPECT_TRUE(b.SetParameterValue(index, 1e-21f));
    EXPECT_TRUE(b.SetParameterValue(1, 4));  // refresh refused: no effect on the matrix
    float m[16];
    b.GetMatrix(m);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(m[i], before[i]) << i;
    EXPECT_FALSE(b.UpdateMatrices());
  }
  // In two dimensions the third scale is not tested.
  nuqTransformAffine c;
  c.SetDimension(2);
  c.SetParameterValue(10, 0);
  EXPECT_TRUE(c.UpdateMatrices());
  EXPECT_FALSE(a.SetParameterValue(22, 1));
  EXPECT_EQ(a.GetParameterValue(-1), 0);
}

TEST(AffineMapping, RotationAboutZAndCentreOntoCentrePlusTranslation) {
  nuqTransformAffine a;
  a.SetDimension(3);
  const float rotation[3] = {0, 0, 90};
  a.SetRotation(rotation);
  float out[4];
  Map(a, 1, 0, 0, out);
  EXPECT_NEAR(out[0], 0, 1e-5);
  EXPECT_NEAR(out[1], -1, 1e-6);
  EXPECT_NEAR(out[2], 0, 1e-6);
  EXPECT_NE(out[0], 0.0f);  // pi taken as 3.14159 leaves a small residue

  nuqTransformAffine b;
  b.SetDimension(3);
  const float c[3] = {10, -20, 30}, s[3] = {2, 3, 0.5f}, t[3] = {1, 2, 3};
  b.SetRotationCentre(c);
  b.SetScaling(s);
  b.SetTranslation(t);
  b.SetRotation(rotation);
  Map(b, c[0], c[1], c[2], out);
  EXPECT_NEAR(out[0], 11, 1e-4);
  EXPECT_NEAR(out[1], -18, 1e-4);
  EXPECT_NEAR(out[2], 33, 1e-4);
}

TEST(AffineMapping, LoadedAffineMatchesTheForwardMatrixComputedByHand) {
  nuqtest::TempDir dir;
  const double rot[3] = {10, 20, 30}, scale[3] = {1, 2, 3}, skew[6] = {5, -4, 3, 7, -6, 2};
  const double centre[3] = {12.5, -8, 4}, trans[3] = {3, -7.25, 11};
  const std::string text = Aff3Text("12.5\t-8\t4", "10\t20\t30", "1\t2\t3", "3\t-7.25\t11",
                                    "#skew in x-y and y-x plane#\n5\n-4\n#skew in y-z and z-y plane#\n3\n7\n"
                                    "#skew in z-x and x-z plane#\n-6\n2\n",
                                    "");
  nuqtest::WriteWholeFile(dir.File("hand.AFF"), text);
  nuqTransformAffine a;
  ASSERT_TRUE(a.ReadFromFile(dir.File("hand.AFF")));
  const Mat3 L = HandLinearPart(rot, scale, skew);
  const double points[][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {-30, 42, 17.5}, {12.5, -8, 4}};
  for (const auto &x : points) {
    SCOPED_TRACE(testing::Message() << x[0] << "," << x[1] << "," << x[2]);
    float out[4];
    Map(a, float(x[0]), float(x[1]), float(x[2]), out);
    for (int r = 0; r < 3; ++r) {
      double expected = centre[r] + trans[r];
      for (int k = 0; k < 3; ++k) expected += L.m[r][k] * (x[k] - centre[k]);
      EXPECT_NEAR(out[r], expected, 2e-4 * (1 + std::fabs(expected)));
    }
  }
  // The inverse undoes it.
  const float p[4] = {-30, 42, 17.5f, 0};
  float q[4], back[4];
  a.TransformWorldToWorld(p, q);
  a.InverseTransformWorldToWorld(q, back);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[i], p[i], 1e-3);
}

TEST(AffineFile, IdentityTextIsExact) {
  nuqTransformAffine a;
  a.SetDimension(3);
  EXPECT_EQ(a.GetTransformText(),
            "#dimension#\n3\n#one to one#\n1\n"
            "#rotation center#\n0.000000\t0.000000\t0.000000\t\n"
            "#rotation angle#\n0.000000\t0.000000\t0.000000\t\n"
            "#scaling#\n1.000000\t1.000000\t1.000000\t\n"
            "#translation#\n0.000000\t0.000000\t0.000000\t\n"
            "#skew in x-y and y-x plane#\n0.000000\n0.000000\n"
            "#skew in y-z and z-y plane#\n0.000000\n0.000000\n"
            "#skew in z-x and x-z plane#\n0.000000\n0.000000\n"
            "#matrix#\n"
            "1.000000\t0.000000\t0.000000\t0.000000\t\n"
            "0.000000\t1.000000\t0.000000\t0.000000\t\n"
            "0.000000\t0.000000\t1.000000\t0.000000\t\n"
            "0.000000\t0.000000\t0.000000\t1.000000\t\n");
}

TEST(AffineFile, WriteThenReadReproducesParametersToSixDecimals) {
  nuqtest::TempDir dir;
  for (int dim : {2, 3}) {
    SCOPED_TRACE(dim);
    nuqTransformAffine a;
    a.SetDimension(dim);
    a.SetOneToOne(false);
    // A 2-D file carries only the angle about z.
    const float c[3] = {1.234567f, -7.654321f, 3.5f};
    const float r[3] = {dim == 2 ? 0 : 11.111111f, dim == 2 ? 0 : -22.5f, 33.333333f};
    const float s[3] = {1.25f, 0.8f, 2.000001f}, t[3] = {-4.321987f, 0.000123f, 9.87654f};
    const float xy[2] = {1.5f, -2.25f}, yz[2] = {3.125f, 0.333333f}, zx[2] = {-0.5f, 4.75f};
    a.SetRotationCentre(c);
    a.SetRotation(r);
    a.SetScaling(s);
    a.SetTranslation(t);
    a.SetSkewXY(xy);
    a.SetSkewYZ(yz);
    a.SetSkewZX(zx);
    ASSERT_TRUE(a.SaveToFile(dir.File("rt")));
    nuqTransformAffine b;
    ASSERT_TRUE(b.ReadFromFile(dir.File("rt.AFF")));
    EXPECT_EQ(b.GetDimension(), dim);
    EXPECT_FALSE(b.IsOneToOne());
    for (int i = 0; i < 22; ++i) {
      const bool inFile = (i % 4) < dim || i >= 16 || (dim == 2 && i == 6);
      const float expected = inFile ? a.GetParameterValue(i) : nuqTransformAffine().GetParameterValue(i);
      EXPECT_NEAR(b.GetParameterValue(i), expected, 5e-7 + 1e-7 * std::fabs(expected)) << "parameter " << i;
    }
    float ma[16], mb[16];
    a.GetMatrix(ma);
    b.GetMatrix(mb);
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(ma[i], mb[i], 1e-5) << i;
  }
}

TEST(AffineFile, TwoDimensionalFileHasOneRotationValueAboutZ) {
  nuqtest::TempDir dir;
  nuqtest::WriteWholeFile(dir.File("r.AFF"),
                          "#dimension#\n2\n#one to one#\n1\n#rotation center#\n0\t0\t\n#rotation angle#\n90\t\n"
                          "#scaling#\n1\t1\t\n#translation#\n0\t0\t\n");
  nuqTransformAffine a;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(a.ReadFromFile(dir.File("r.AFF")));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(a.GetParameterValue(6), 90);
  EXPECT_EQ(a.GetParameterValue(4), 0);
  EXPECT_EQ(a.GetParameterValue(5), 0);
  float out[4];
  Map(a, 1, 0, 0, out);
  EXPECT_NEAR(out[0], 0, 1e-5);
  EXPECT_NEAR(out[1], -1, 1e-6);
  EXPECT_NE(a.GetTransformText().find("#rotation angle#\n90.000000\t\n#scaling#"), std::string::npos);
}

TEST(AffineFile, OptionalSkewsAndMatrixSection) {
  nuqtest::TempDir dir;
  const std::string noSkews = Aff3Text("0 0 0", "0 0 0", "2 2 2", "1 2 3", "", "");
  const std::string noMatrix = Aff3Text("0 0 0", "0 0 0", "2 2 2", "1 2 3", kSkewLines, "");
  const std::string withMatrix =
      Aff3Text("0 0 0", "0 0 0", "2 2 2", "1 2 3", kSkewLines, "#matrix#\n9 0 0 0\n0 9 0 0\n0 0 9 0\n0 0 0 1");
  const std::string zeroScaleWithMatrix =
      Aff3Text("0 0 0", "0 0 0", "0 2 2", "1 2 3", kSkewLines, "#matrix#\n9 0 0 0\n0 9 0 0\n0 0 9 0\n0 0 0 1\n");
  struct Case {
    const char *name;
    std::string text;
    bool ok;
    bool warning;
    float mappedX;  // x of the image of (1, 0, 0)
  } cases[] = {
      {"ends after the translation", noSkews, true, true, 3},
      {"ends after the skews", noMatrix, true, false, 3},
      {"matrix rebuilt from the parameters; last row without line break", withMatrix, true, false, 3},
      {"zero scale keeps the matrix of the file", zeroScaleWithMatrix, true, false, 9},
      {"matrix section cut short", Aff3Text("0 0 0", "0 0 0", "2 2 2", "1 2 3", kSkewLines, "1 0 0 0\n0 1 0 0\n"),
       false, false, 0},
      {"ends before the translation", "#dimension#\n3\n#one to one#\n1\n0 0 0\n0 0 0\n1 1 1\n", false, false, 0},
      {"ends right after the header", "#dimension#\n3\n#one to one#\n1\n", false, false, 0},
      {"scale that is not a number", Aff3Text("0 0 0", "0 0 0", "abc", "1 2 3", kSkewLines, ""), false, false, 0},
      {"too few centre values", Aff3Text("0 0", "0 0 0", "1 1 1", "1 2 3", kSkewLines, ""), false, false, 0},
      {"skew that is not a number", Aff3Text("0 0 0", "0 0 0", "1 1 1", "0 0 0", "0\n0\nx\n", ""), false, false, 0},
      {"matrix row that is not numbers", Aff3Text("0 0 0", "0 0 0", "1 1 1", "0 0 0", kSkewLines, "1 0 0 0\n0 1 0\n"),
       false, false, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    nuqtest::WriteWholeFile(dir.File("c.AFF"), c.text);
    nuqTransformAffine a;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool ok = a.ReadFromFile(dir.File("c.AFF"));
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(out.find("success: warning affine transformation without skew degree \n") != std::string::npos,
              c.warning);
    if (c.ok) {
      EXPECT_EQ(err, "");
      float p[4];
      Map(a, 1, 0, 0, p);
      EXPECT_FLOAT_EQ(p[0], c.mappedX);
    } else {
      EXPECT_NE(err.find("error: Open Affine Transformation"), std::string::npos) << err;
    }
  }
}

TEST(AffineFile, FailureMessagesAndNameCompletion) {
  nuqtest::TempDir dir;
  nuqTransformAffine a;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(a.ReadFromFile(dir.File("none.AFF")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: can not find Affine Transformation:" + dir.File("none.AFF") +
                "! (No such file or directory)\n");

  nuqtest::WriteWholeFile(dir.File("bad.AFF"), "#dimension#\n3\n#one to one#\n1\n0 0 0\n0 0 0\nabc\n0 0 0\n");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(a.ReadFromFile(dir.File("bad.AFF")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: Open Affine Transformation:" + dir.File("bad.AFF") + " Failed in reading affine stream!\n");

  nuqtest::WriteWholeFile(dir.File("badheader.AFF"), "#dimension#\nthree\n");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(a.ReadFromFile(dir.File("badheader.AFF")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: Open Affine Transformation Failed in reading base stream!\n"
            "error: Open Affine Transformation:" +
                dir.File("badheader.AFF") + " Failed in reading affine stream!\n");

  // A missing name is completed with .MTX before .AFF.
  nuqtest::WriteWholeFile(dir.File("w.AFF"), Aff3Text("0 0 0", "0 0 0", "1 1 1", "5 0 0", kSkewLines, ""));
  nuqtest::WriteWholeFile(dir.File("w.MTX"), Aff3Text("0 0 0", "0 0 0", "1 1 1", "7 0 0", kSkewLines, ""));
  ASSERT_TRUE(a.ReadFromFile(dir.File("w.txt")));
  EXPECT_EQ(a.GetParameterValue(0), 7);
  EXPECT_EQ(a.GetTransformFileName(), dir.File("w.MTX"));
  std::string name = dir.File("w");
  EXPECT_TRUE(a.CompleteFileName(name));
  EXPECT_EQ(name, dir.File("w.MTX"));

  // Inf and nan written by "%f" read back.
  a.SetDimension(3);
  const float t[3] = {INFINITY, NAN, 1};
  a.SetTranslation(t);
  ASSERT_TRUE(a.SaveToFile(dir.File("odd.AFF")));
  nuqTransformAffine b;
  ASSERT_TRUE(b.ReadFromFile(dir.File("odd.AFF")));
  EXPECT_TRUE(std::isinf(b.GetParameterValue(0)));
  EXPECT_TRUE(std::isnan(b.GetParameterValue(1)));
}

TEST(AffineFile, SaveToFileNaming) {
  nuqtest::TempDir dir;
  nuqTransformAffine a;
  a.SetDimension(3);
  struct Case {
    const char *given;
    const char *written;
  } cases[] = {{"x.AFF", "x.AFF"}, {"x.aff", "x.aff.AFF"}, {"x", "x.AFF"}, {"x.mtx", "x.mtx.AFF"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.given);
    ASSERT_TRUE(a.SaveToFile(dir.File(c.given)));
    EXPECT_EQ(nuqtest::ReadWholeFile(dir.File(c.written)), a.GetTransformText());
  }
  EXPECT_FALSE(nuqtest::FileExists(dir.File("x.AFF.AFF")));
}

TEST(AffineParameters, ParameterSetOperations) {
  nuqTransformAffine a;
  a.SetDimension(3);
  const float c[3] = {1, 2, 3}, r[3] = {4, 5, 6}, s[3] = {2, 3, 4}, t[3] = {7, 8, 9}, xy[2] = {1, -1};
  a.SetRotationCentre(c);
  a.SetRotation(r);
  a.SetScaling(s);
  a.SetTranslation(t);
  a.SetSkewXY(xy);

  nuqTransformAffine scaled;
  scaled.SetDimension(3);
  ASSERT_TRUE(scaled.SetToScaled(&a, 2));
  nuqTransformBase *pClone = nullptr;
  a.CloneTo(pClone);
  ASSERT_TRUE(pClone->Scale(2));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(pClone->GetParameterValue(12 + i), c[i]);  // Scale keeps the centre
    EXPECT_EQ(scaled.GetParameterValue(12 + i), 2 * c[i]);  // SetToScaled doubles it
    EXPECT_EQ(pClone->GetParameterValue(i), 2 * t[i]);
    EXPECT_EQ(pClone->GetParameterValue(8 + i), 2 * s[i]);
  }
  EXPECT_EQ(pClone->GetParameterValue(16), 2);
  EXPECT_EQ(pClone->GetParameterValue(3), 0);  // outside the parameter set

  // The magnitude runs over the parameter set only: 3-D has 3 of each group.
  nuqTransformAffine u;
  u.SetDimension(2);
  u.SetAllParameters(1);
  EXPECT_FLOAT_EQ(u.GetMagnitude(), std::sqrt(2 * 4 + 1 + 6.0f));
  EXPECT_EQ(u.CountParametersNotBelow(1), 15);
  EXPECT_FLOAT_EQ(u.DotProduct(&u), 15);
  EXPECT_EQ(u.GetNumberOfFreeParameters(), 7);

  ASSERT_TRUE(u.SetToSum(&a, &a));
  EXPECT_EQ(u.GetDimension(), 3);  // taken from the first operand
  EXPECT_EQ(u.GetParameterValue(14), 6);
  ASSERT_TRUE(u.SetToDifference(&a, &scaled));
  EXPECT_EQ(u.GetParameterValue(14), -3);
  EXPECT_FLOAT_EQ(u.GetMaxAbsParameter(), 9);
  ASSERT_TRUE(u.SetToSign(&a, 3));
  EXPECT_EQ(u.GetParameterValue(0), 1);
  EXPECT_EQ(u.GetParameterValue(14), 0);
  EXPECT_EQ(u.GetParameterValue(12), -1);

  // Per-group normalisation returns the largest group norm.
  nuqTransformAffine g;
  g.SetDimension(3);
  const float big[3] = {0, 30, 40};
  g.SetTranslation(big);
  EXPECT_FLOAT_EQ(g.Normalise(true), 50);
  EXPECT_FLOAT_EQ(g.GetParameterValue(2), 0.8f);
  EXPECT_FLOAT_EQ(g.GetParameterValue(8), 1 / std::sqrt(3.0f));

  ASSERT_TRUE(a.SetIdentity());
  float p[4];
  Map(a, 5, 6, 7, p);
  EXPECT_FLOAT_EQ(p[0], 5);
  EXPECT_EQ(a.GetParameterValue(12), 1);  // the centre stays
  delete pClone;
}

TEST(AffineParameters, CloneKeepsClassAndEveryMember) {
  nuqTransformMatrix m;
  const float t[3] = {1, 2, 3};
  m.SetDimension(3);
  m.SetTranslation(t);
  m.SetGradientScale(0.5f);
  nuqTransformBase *pClone = nullptr;
  m.CloneTo(pClone);
  ASSERT_NE(dynamic_cast<nuqTransformMatrix *>(pClone), nullptr);
  EXPECT_EQ(pClone->GetTransformText(), m.GetTransformText());
  EXPECT_EQ(static_cast<nuqGradientBase *>(pClone)->GetGradientScale(), 0.5f);
  delete pClone;
}

TEST(AffineSteps, DifferentialStepsFollowTheDimension) {
  nuqTransformAffine a, step;
  a.SetDimension(3);
  step.SetDimension(3);
  step.SetAllParameters(9);
  ASSERT_TRUE(a.SetDifferentialSteps(&step, 1, 2, 0.5f, 3));
  // Before scaling: translation 1, rotation 2, scaling 0.5, skews 1, 2, 5
  // at the rotation step; then scaled to the magnitude 3.
  const float expected3[22] = {1, 1, 1, 0, 2, 2, 2, 0, 0.5f, 0.5f, 0.5f, 0, 0, 0, 0, 0, 0, 2, 2, 0, 0, 2};
  const float factor = 3 / std::sqrt(27.75f);
  for (int i = 0; i < 22; ++i) EXPECT_NEAR(step.GetParameterValue(i), expected3[i] * factor, 1e-5) << i;
  EXPECT_NEAR(step.GetMagnitude(), 3, 1e-5);

  nuqTransformAffine a2, step2;
  a2.SetDimension(2);
  step2.SetDimension(2);
  const float tr[3] = {1, 2, 3}, ro[3] = {4, 5, 6}, sc[3] = {7, 8, 9};
  // Its own magnitude sqrt(1 + 4 + 36 + 49 + 64) keeps the values.
  ASSERT_TRUE(a2.SetDifferentialStepVectors(&step2, tr, ro, sc, 10, std::sqrt(154.0f)));
  const float expected2[22] = {1, 2, 0, 0, 0, 0, 6, 0, 7, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 22; ++i) EXPECT_NEAR(step2.GetParameterValue(i), expected2[i], 1e-5) << i;
}

TEST(AffineGradient, RefusesAMissingStep) {
  nuqTransformAffine a;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(a.ComputeGradient(nullptr, nullptr, false));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: affine gradient should be given the affine object as differential step\n");
}

TEST(AffineAlign, CentresOfGeometryAndOfGravity) {
  nuqImageInfo orientation;
  nuqImageDataT<short> test, ref, same;
  const int sizeTest[4] = {11, 11, 11, 1}, sizeRef[4] = {21, 11, 5, 1};
  const float spacingTest[4] = {1, 1, 1, 1}, spacingRef[4] = {2, 1, 3, 1};
  ASSERT_TRUE(test.NewImage(3, sizeTest, spacingTest, &orientation));
  ASSERT_TRUE(same.NewImage(3, sizeTest, spacingTest, &orientation));
  ASSERT_TRUE(ref.NewImage(3, sizeRef, spacingRef, &orientation));
  float c0[4] = {5, 5, 5, 0}, c1[4] = {10, 5, 2, 0};
  test.GridToWorld(c0);
  ref.GridToWorld(c1);

  nuqTransformAffine a;
  EXPECT_FALSE(a.AlignCentres("centre"));  // no images yet
  ASSERT_TRUE(a.SetImages(&test, &same));
  ASSERT_TRUE(a.AlignCentres("centre"));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(a.GetParameterValue(i), 0);
  ASSERT_TRUE(a.SetImages(&test, &ref));
  ASSERT_TRUE(a.AlignCentres("center"));
  for (int i = 0; i < 3; ++i) EXPECT_FLOAT_EQ(a.GetParameterValue(i), c1[i] - c0[i]);
  EXPECT_FALSE(a.AlignCentres("Centre"));
  EXPECT_FALSE(a.AlignCentresByType(1));

  test.SetPixelByGreyscale(2, 3, 4, 0, 5);
  ref.SetPixelByGreyscale(7, 1, 2, 0, 9);
  float g0[4] = {2, 3, 4, 0}, g1[4] = {7, 1, 2, 0};
  test.GridToWorld(g0);
  ref.GridToWorld(g1);
  ASSERT_TRUE(a.AlignCentres("gcentre"));
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(a.GetParameterValue(i), g1[i] - g0[i], 1e-4);
}

}  // namespace
