// Transform interface: line rules of transform text, the common header,
// the parameter algebra, the difference Jacobian and the gradient vectors,
// chaining transforms and the base file operations.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "nuqConsole.h"
#include "nuqTestSupport.h"
#include "nuqTransformBase.h"

namespace {

// A per-axis scaling x_i -> s_i x_i + b (parameters s_0..s_3), enough to
// exercise every base-class operation through the parameter vector.
class ScalingTransform : public nuqGradientBase {
 public:
  explicit ScalingTransform(float s = 1, float b = 0) : m_fShift(b) {
    for (float &f : m_fScale) f = s;
  }
  void TransformWorldToWorld(const float *in, float *out) override {
    for (int i = 0; i < 4; ++i) out[i] = m_fScale[i] * in[i] + m_fShift;
  }
  bool SetIdentity() override {
    for (float &f : m_fScale) f = 1;
    return true;
  }
  int GetNumberOfParameters() const override { return 4; }
  float GetParameterValue(int i) const override { return (i >= 0 && i < 4) ? m_fScale[i] : 0; }
  bool SetParameterValue(int i, float v) override {
    if (i < 0 || i >= 4) return false;
    m_fScale[i] = v;
    return true;
  }
  nuqTransformBase *CloneTo(nuqTransformBase *&pTarget) override {
    if (pTarget == nullptr) pTarget = new ScalingTransform();
    nuqGradientBase::CloneTo(pTarget);
    auto *p = static_cast<ScalingTransform *>(pTarget);
    for (int i = 0; i < 4; ++i) p->m_fScale[i] = m_fScale[i];
    p->m_fShift = m_fShift;
    return pTarget;
  }
  float m_fScale[4];
  float m_fShift;
};

ScalingTransform Params(float a, float b, float c, float d) {
  ScalingTransform t;
  t.m_fScale[0] = a;
  t.m_fScale[1] = b;
  t.m_fScale[2] = c;
  t.m_fScale[3] = d;
  return t;
}

void ExpectParams(const nuqTransformBase &t, std::vector<float> expected) {
  for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(t.GetParameterValue(i), expected[i]) << "parameter " << i;
}

TEST(TransformLineRules, CommentsTrimmingAndEmptyLines) {
  struct Case {
    const char *name;
    const char *text;
    const char *expected;  // nullptr: no line can be read
  } cases[] = {
      {"plain value", "12\n", "12"},
      {"tag line skipped", "#dimension#\n3\n", "3"},
      {"comment after value", "3 # the dimension\n", "3"},
      {"percent without hash", "5 % note\n", "5"},
      {"hash wins over an earlier percent", "5 % a # b\n", "5 % a"},
      {"question mark without hash or percent", "7 ? why\n", "7"},
      {"percent wins over question mark", "7 ? a % b\n", "7 ? a"},
      {"blanks trimmed", " \t 4 5\t\r\v\n", "4 5"},
      {"blank and comment-only lines skipped", "\n   \n% only\n? only\n\t#x\n9\n", "9"},
      {"last line without line break", "#a\n8", "8"},
      {"only comments", "#a\n%b\n\n", nullptr},
      {"empty stream", "", nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::istringstream in(c.text);
    std::string line;
    const bool ok = ReadTransformLine(in, line);
    if (c.expected == nullptr) {
      EXPECT_FALSE(ok);
    } else {
      ASSERT_TRUE(ok);
      EXPECT_EQ(line, c.expected);
    }
  }
}

TEST(TransformLineRules, LongLinesAreRefusedUnlessOnlyTheirCommentIsCut) {
  std::string line;
  // "1" followed by 1023 zeros would read as 1e1022 when cut: refused.
  std::istringstream value("1" + std::string(1023, '0') + "\n3\n");
  EXPECT_FALSE(ReadTransformLine(value, line));
  // Also when the over-long line is the last one, without a line break.
  std::istringstream tail(std::string(1023, '7') + "\n" + "4 " + std::string(3000, 'x'));
  ASSERT_TRUE(ReadTransformLine(tail, line));
  EXPECT_EQ(line, std::string(1023, '7'));  // exactly 1023 characters still read
  EXPECT_FALSE(ReadTransformLine(tail, line));
  // A "#" within the first 1023 characters: only comment text is dropped.
  std::istringstream comment("5 #" + std::string(3000, 'c') + "\n6\n");
  ASSERT_TRUE(ReadTransformLine(comment, line));
  EXPECT_EQ(line, "5");
  ASSERT_TRUE(ReadTransformLine(comment, line));
  EXPECT_EQ(line, "6");
}

TEST(TransformLineRules, NumbersParsedAsStrtodAndRefusedWhenMissing) {
  float v[3] = {0, 0, 0};
  EXPECT_TRUE(ParseTransformNumbers("1.5\t-2e1\t3 extra", v, 3));
  EXPECT_FLOAT_EQ(v[0], 1.5f);
  EXPECT_FLOAT_EQ(v[1], -20.0f);
  EXPECT_FLOAT_EQ(v[2], 3.0f);
  ASSERT_TRUE(ParseTransformNumbers("nan\t-inf\tinf", v, 3));
  EXPECT_TRUE(std::isnan(v[0]));
  EXPECT_TRUE(std::isinf(v[1]) && v[1] < 0);
  EXPECT_TRUE(std::isinf(v[2]) && v[2] > 0);
  EXPECT_FALSE(ParseTransformNumbers("abc", v, 1));
  EXPECT_FALSE(ParseTransformNumbers("1 2", v, 3));
  EXPECT_FALSE(ParseTransformNumbers("", v, 1));
  int i = 0;
  EXPECT_TRUE(ParseTransformIntegers("  -12x", &i, 1));
  EXPECT_EQ(i, -12);
  EXPECT_FALSE(ParseTransformIntegers("x12", &i, 1));
  EXPECT_FALSE(ParseTransformIntegers("99999999999", &i, 1));
}

TEST(TransformHeader, ReadsDimensionAndOneToOneAndWritesThemBack) {
  struct Case {
    const char *name;
    const char *text;
    int dimension;
    bool oneToOne;
  } cases[] = {
      {"written form", "#dimension#\n3\n#one to one#\n0\n", 3, false},
      {"any non-zero is true", "#dimension#\n2\n#one to one#\n7\n", 2, true},
      {"blank lines and comments anywhere", "\n% made by hand\n#dimension#\n  4 # four\n\n?\n1 % yes\n", 4, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScalingTransform t;
    std::istringstream in(c.text);
    ASSERT_TRUE(t.nuqTransformBase::ReadFromStream(in));
    EXPECT_EQ(t.GetDimension(), c.dimension);
    EXPECT_EQ(t.IsOneToOne(), c.oneToOne);
    char expected[128];
    std::snprintf(expected, sizeof(expected), "#dimension#\n%i\n#one to one#\n%i\n", c.dimension, c.oneToOne ? 1 : 0);
    EXPECT_EQ(t.nuqTransformBase::GetTransformText(), expected);
  }
}

TEST(TransformHeader, RefusesMissingMalformedAndOutOfRangeValues) {
  for (const char *text : {"#dimension#\n3\n", "#dimension#\nthree\n#one to one#\n1\n", "#dimension#\n3\n#one to one#\nyes\n",
                           "#dimension#\n0\n#one to one#\n1\n", "#dimension#\n5\n#one to one#\n1\n",
                           "#dimension#\n-1\n#one to one#\n1\n"}) {
    SCOPED_TRACE(text);
    ScalingTransform t;
    std::istringstream in(text);
    EXPECT_FALSE(t.nuqTransformBase::ReadFromStream(in));
  }
}

TEST(TransformBaseFile, ReadFromFileMessagesAndSaveToFileNaming) {
  nuqtest::TempDir dir;
  ScalingTransform t;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(t.nuqTransformBase::ReadFromFile(dir.File("missing.TFM")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: fail in opening transformation file " + dir.File("missing.TFM") +
                "! (No such file or directory)\n");

  nuqtest::WriteWholeFile(dir.File("bad.TFM"), "#dimension#\n3\n");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(t.nuqTransformBase::ReadFromFile(dir.File("bad.TFM")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: failed in reading file stream of " + dir.File("bad.TFM") +
                " (truncated: the file ends before all its values were read)\n");
  EXPECT_EQ(t.GetTransformFileName(), "");

  t.SetDimension(2);
  t.SetOneToOne(false);
  ASSERT_TRUE(t.SaveToFile(dir.File("plain")));
  EXPECT_EQ(nuqtest::ReadWholeFile(dir.File("plain.TFM")), "#dimension#\n2\n#one to one#\n0\n");
  ASSERT_TRUE(t.SaveToFile(dir.File("kept.TFM")));
  EXPECT_TRUE(nuqtest::FileExists(dir.File("kept.TFM")));
  EXPECT_FALSE(nuqtest::FileExists(dir.File("kept.TFM.TFM")));
  ASSERT_TRUE(t.SaveToFile(dir.File("lower.tfm")));
  EXPECT_TRUE(nuqtest::FileExists(dir.File("lower.tfm.TFM")));

  testing::internal::CaptureStderr();
  EXPECT_FALSE(t.SaveToFile(dir.File("no/such/dir/x.TFM")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: save to file name " + dir.File("no/such/dir/x.TFM") + " fail! ");

  ScalingTransform back;
  ASSERT_TRUE(back.nuqTransformBase::ReadFromFile(dir.File("plain.TFM")));
  EXPECT_EQ(back.GetDimension(), 2);
  EXPECT_FALSE(back.IsOneToOne());
  EXPECT_EQ(back.GetTransformFileName(), dir.File("plain.TFM"));
}

TEST(TransformParameterAlgebra, OperationsWorkThroughTheParameterVector) {
  ScalingTransform a = Params(1, 2, 3, 4), b = Params(0.5f, -1, 2, 0);
  ScalingTransform t;
  ASSERT_TRUE(t.SetToSum(&a, &b));
  ExpectParams(t, {1.5f, 1, 5, 4});
  ASSERT_TRUE(t.Add(&a));
  ExpectParams(t, {2.5f, 3, 8, 8});
  ASSERT_TRUE(t.SetToDifference(&a, &b));
  ExpectParams(t, {0.5f, 3, 1, 4});
  ASSERT_TRUE(t.Subtract(&a));
  ExpectParams(t, {-0.5f, 1, -2, 0});
  ASSERT_TRUE(t.SetToScaled(&a, 2));
  ExpectParams(t, {2, 4, 6, 8});
  ASSERT_TRUE(t.Scale(0.5f));
  ExpectParams(t, {1, 2, 3, 4});
  ASSERT_TRUE(t.SetToProduct(&a, &b));
  ExpectParams(t, {0.5f, -2, 6, 0});
  ASSERT_TRUE(t.Multiply(&a));
  ExpectParams(t, {0.5f, -4, 18, 0});
  ASSERT_TRUE(t.AddScaled(&b, -2));
  ExpectParams(t, {-0.5f, -2, 14, 0});
  EXPECT_FLOAT_EQ(a.GetMagnitude(), std::sqrt(30.0f));
  EXPECT_FLOAT_EQ(a.DotProduct(&b), 0.5f - 2 + 6);
  EXPECT_FLOAT_EQ(t.GetMaxAbsParameter(), 14);
  ASSERT_TRUE(t.SetAllParameters(0));
  EXPECT_EQ(t.GetMaxAbsParameter(), 0);
  EXPECT_EQ(t.Normalise(false), 0);  // nothing to scale
  ScalingTransform n = Params(3, 0, 4, 0);
  EXPECT_FLOAT_EQ(n.Normalise(true), 5);
  ExpectParams(n, {0.6f, 0, 0.8f, 0});
  // A failed store makes the operation fail.
  EXPECT_FALSE(t.SetToSum(&a, nullptr));
}

TEST(TransformParameterAlgebra, CountsIgnoreZerosAndNegatives) {
  ScalingTransform t = Params(0, -1, 1e-21f, 2);
  EXPECT_EQ(t.CountPositiveParameters(), 1);
  EXPECT_EQ(t.CountParametersNotBelow(-1), 4);
  EXPECT_EQ(t.CountParametersNotBelow(0), 3);
}

TEST(TransformJacobian, CentralDifferencesAndGradientVectors) {
  ScalingTransform identity(1), scaling(2, 5);
  identity.SetDimension(3);
  scaling.SetDimension(3);
  const float p[4] = {1, -2, 3, 0};
  float j[16];
  ASSERT_TRUE(identity.GetJacobianMatrixWorld(p, j));
  for (int i = 0; i < 16; ++i) EXPECT_FLOAT_EQ(j[i], i % 5 == 0 ? 1 : 0) << i;
  ASSERT_TRUE(scaling.GetJacobianMatrixWorld(p, j));
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) EXPECT_FLOAT_EQ(j[r * 4 + c], r == c ? (r < 3 ? 2.0f : 1.0f) : 0.0f) << r << "," << c;
  }

  const float zero[4] = {0, 0, 0, 0};
  float out[4] = {9, 9, 9, 9};
  scaling.PushForwardGradientVector(zero, out, p);
  for (float f : out) EXPECT_EQ(f, 0);
  // Uniform scaling by s pushes v forward to v / s.
  const float v[4] = {3, -4, 12, 0};
  scaling.PushForwardGradientVector(v, out, p);
  EXPECT_NEAR(out[0], 1.5f, 1e-5f);
  EXPECT_NEAR(out[1], -2.0f, 1e-5f);
  EXPECT_NEAR(out[2], 6.0f, 1e-5f);
  EXPECT_EQ(out[3], 0);
  // Pull-back is the transposed Jacobian: anisotropic scaling shows it.
  ScalingTransform aniso = Params(2, 3, 4, 1);
  aniso.SetDimension(3);
  aniso.PullBackGradientVector(v, out, p);
  EXPECT_NEAR(out[0], 6, 1e-4f);
  EXPECT_NEAR(out[1], -12, 1e-4f);
  EXPECT_NEAR(out[2], 48, 1e-4f);
}

TEST(TransformChain, JointTransformAppliesFirstTransformFirst) {
  ScalingTransform shift(1, 3), scale(2, 0);
  nuqTransformBase *chain[3] = {&shift, nullptr, &scale};
  const float in[4] = {1, 2, 3, 7};
  float out[4] = {0, 0, 0, 7};
  ASSERT_TRUE(JointTransformWorldToWorld(chain, 3, 3, in, out));
  EXPECT_FLOAT_EQ(out[0], 8);   // (1 + 3) * 2, not 1 * 2 + 3
  EXPECT_FLOAT_EQ(out[1], 10);
  EXPECT_FLOAT_EQ(out[2], 12);
  EXPECT_FALSE(JointTransformWorldToWorld(chain, 0, 3, in, out));
  EXPECT_FALSE(JointTransformWorldToWorld(nullptr, 2, 3, in, out));
}

TEST(TransformBase, CloneToCopiesBaseMembersAndGradientScale) {
  ScalingTransform t(3);
  t.SetDimension(2);
  t.SetOneToOne(false);
  t.SetGradientScale(0.25f);
  nuqTransformBase *pClone = nullptr;
  ASSERT_NE(t.CloneTo(pClone), nullptr);
  EXPECT_EQ(pClone->GetDimension(), 2);
  EXPECT_FALSE(pClone->IsOneToOne());
  EXPECT_EQ(static_cast<ScalingTransform *>(pClone)->GetGradientScale(), 0.25f);
  EXPECT_TRUE(pClone->IsSameType(&t));
  EXPECT_EQ(pClone->GetTransformType(), "TFM");
  delete pClone;
  nuqTransformBase *pNull = nullptr;
  EXPECT_EQ(t.nuqTransformBase::CloneTo(pNull), nullptr);
}

}  // namespace
