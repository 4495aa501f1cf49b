// Multiple and local affine transforms: local management and count limits,
// the parameter index rule, the AFFS text round trip, and the blend with its
// region, facet and grid-box rules, the analytic Jacobian and the reports.
//
// Region images are slabs along x on a 20 x 10 x 10 grid of 1 mm voxels
// placed at world = grid, so the distance to a slab x <= a is max(0, x - a)
// and to a slab x >= b is max(0, b - x), which lets the tests state the
// expected blend independently.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "nuqConsole.h"
#include "nuqImageData.h"
#include "nuqMatrix.h"
#include "nuqMetricBase.h"
#include "nuqTestSupport.h"
#include "nuqTransformFields.h"
#include "nuqTransformLocalAffines.h"
#include "nuqTransformMatrix.h"

namespace {

using nuqtest::TempDir;

struct Verbosity {
  int saved = g_nVerbose;
  explicit Verbosity(int v) { g_nVerbose = v; }
  ~Verbosity() { g_nVerbose = saved; }
};

const int kSize[4] = {20, 10, 10, 1};
const float kSpacing[4] = {1, 1, 1, 1};

// Label 1 where lo <= x <= hi.
void MakeSlab(nuqImageDataT<short> &image, int lo, int hi) {
  nuqImageInfo placement;
  ASSERT_TRUE(image.NewImage(3, kSize, kSpacing, &placement));
  for (int z = 0; z < kSize[2]; ++z)
    for (int y = 0; y < kSize[1]; ++y)
      for (int x = lo; x <= hi; ++x) image.SetPixelByGreyscale(x, y, z, 0, 1);
}

void SetTranslation(nuqTransformAffine *affine, float tx, float ty, float tz) {
  const float t[3] = {tx, ty, tz};
  affine->SetTranslation(t);
}

int CountOf(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// A 3-D local-affine transform with one local per slab.
class LocalAffinesFixture : public ::testing::Test {
 protected:
  void Build(const std::vector<std::pair<int, int>> &slabs) {
    transform.SetDimension(3);
    ASSERT_TRUE(transform.SetNumberOfLocalAffines(static_cast<int>(slabs.size())));
    for (size_t i = 0; i < slabs.size(); ++i) MakeSlab(regions[i], slabs[i].first, slabs[i].second);
    transform.SetRegionImages(regions);
  }
  void Prepare() {
    Verbosity quiet(0);
    ASSERT_TRUE(transform.PreComputeDistance2WeightAndSetModel());
  }
  nuqTransformAffine *Local(int i) { return transform.GetLocalAffines()[i]; }

  nuqImageDataT<short> regions[4];
  nuqTransformLocalAffines transform;
};

TEST(MultipleAffines, CountSettersRefuseOutOfRangeCountsAndKeepTheOldOne) {
  struct Case {
    const char *name;
    int count;
    bool matrices;
    const char *message;
  };
  const Case cases[] = {
      {"affines 257", 257, false, "error: the number of local affines is more than the maxmum\n"},
      {"affines -1", -1, false, "error: the number of local affines is more than the maxmum\n"},
      {"matrices 257", 257, true, "error: the number of local matrix is more than the maxmum\n"},
      {"matrices -3", -3, true, "error: the number of local matrix is more than the maxmum\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    nuqTransformMultipleAffines multiple;
    multiple.SetDimension(3);
    ASSERT_TRUE(multiple.SetNumberOfLocalAffines(2));
    testing::internal::CaptureStderr();
    const bool ok = c.matrices ? multiple.SetNumberOfLocalMatrices(c.count)
                               : multiple.SetNumberOfLocalAffines(c.count);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    EXPECT_FALSE(ok);
    EXPECT_EQ(multiple.GetNumberOfLocalAffines(), 2);
  }
  nuqTransformMultipleAffines multiple;
  EXPECT_TRUE(multiple.SetNumberOfLocalAffines(256));
  EXPECT_EQ(multiple.GetNumberOfParameters(), 22 * 257);
}

TEST(MultipleAffines, LoweringTheCountKeepsTheFormerLocalsForLater) {
  nuqTransformMultipleAffines multiple;
  multiple.SetDimension(3);
  ASSERT_TRUE(multiple.SetNumberOfLocalAffines(3));
  SetTranslation(multiple.GetLocalAffines()[1], 1, 2, 3);
  SetTranslation(multiple.GetLocalAffines()[2], -4, 5, -6);
  nuqTransformAffine *second = multiple.GetLocalAffines()[2];
  ASSERT_TRUE(multiple.SetNumberOfLocalAffines(1));
  EXPECT_EQ(multiple.GetNumberOfParameters(), 44);
  ASSERT_TRUE(multiple.SetNumberOfLocalAffines(3));
  EXPECT_EQ(multiple.GetLocalAffines()[2], second);
  float t1[4] = {0}, t2[4] = {0};
  multiple.GetLocalAffines()[1]->GetTranslation(t1);
  multiple.GetLocalAffines()[2]->GetTranslation(t2);
  EXPECT_FLOAT_EQ(t1[0], 1);
  EXPECT_FLOAT_EQ(t1[2], 3);
  EXPECT_FLOAT_EQ(t2[0], -4);
  EXPECT_FLOAT_EQ(t2[2], -6);
  // Matrix locals replace only locals that are not of the affine family.
  ASSERT_TRUE(multiple.SetNumberOfLocalMatrices(3));
  EXPECT_EQ(multiple.GetLocalAffines()[2], second);
}

TEST(MultipleAffines, ParameterIndexRuleAddressesGlobalThenLocals) {
  nuqTransformMultipleAffines multiple;
  multiple.SetDimension(3);
  ASSERT_TRUE(multiple.SetNumberOfLocalAffines(3));
  EXPECT_EQ(multiple.GetNumberOfParameters(), 88);
  EXPECT_TRUE(multiple.SetParameterValue(45, 7.5f));
  EXPECT_FLOAT_EQ(multiple.GetLocalAffines()[1]->GetParameterValue(1), 7.5f);
  EXPECT_FLOAT_EQ(multiple.GetParameterValue(45), 7.5f);
  EXPECT_TRUE(multiple.SetParameterValue(2, -3.0f));
  float t[4] = {0};
  multiple.GetTranslation(t);
  EXPECT_FLOAT_EQ(t[2], -3.0f);
  EXPECT_FLOAT_EQ(multiple.GetLocalAffines()[0]->GetParameterValue(2), 0.0f);
  EXPECT_FALSE(multiple.SetParameterValue(88, 1.0f));
  EXPECT_FALSE(multiple.SetParameterValue(-1, 1.0f));
  EXPECT_FLOAT_EQ(multiple.GetParameterValue(88), 0.0f);
}

TEST(MultipleAffines, MagnitudeCountsTheLocalsOnly) {
  nuqTransformMultipleAffines multiple;
  multiple.SetDimension(3);
  ASSERT_TRUE(multiple.SetNumberOfLocalAffines(2));
  for (int i = 0; i < 2; ++i) multiple.GetLocalAffines()[i]->SetAllParameters(0);
  SetTranslation(&multiple, 5, 0, 0);
  EXPECT_FLOAT_EQ(multiple.GetMagnitude(), 0.0f);
  SetTranslation(multiple.GetLocalAffines()[1], 0, 3, 4);
  EXPECT_FLOAT_EQ(multiple.GetMagnitude(), 5.0f);
}

TEST(MultipleAffines, ArithmeticAppliesToGlobalAndEveryLocal) {
  nuqTransformMultipleAffines a, sum;
  a.SetDimension(3);
  sum.SetDimension(3);
  ASSERT_TRUE(a.SetNumberOfLocalAffines(2));
  ASSERT_TRUE(sum.SetNumberOfLocalAffines(2));
  SetTranslation(&a, 1, 0, 0);
  SetTranslation(a.GetLocalAffines()[1], 0, 2, 0);
  ASSERT_TRUE(sum.SetToSum(&a, &a));
  EXPECT_FLOAT_EQ(sum.GetParameterValue(0), 2.0f);
  EXPECT_FLOAT_EQ(sum.GetParameterValue(44 + 1), 4.0f);
  EXPECT_FLOAT_EQ(sum.GetParameterValue(44 + 8), 2.0f);  // scales 1 + 1
  nuqTransformBase *clone = nullptr;
  sum.CloneTo(clone);
  ASSERT_NE(clone, nullptr);
  EXPECT_EQ(clone->GetTransformType(), "AFFS");
  auto *copy = dynamic_cast<nuqTransformMultipleAffines *>(clone);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy->GetLocalAffines()[1], sum.GetLocalAffines()[1]);
  EXPECT_FLOAT_EQ(copy->GetParameterValue(45), 4.0f);
  delete clone;
}

TEST(MultipleAffines, CopyLocalTransformsFromClonesEachEntry) {
  nuqTransformMultipleAffines multiple;
  multiple.SetDimension(3);
  ASSERT_TRUE(multiple.SetNumberOfLocalAffines(3));
  nuqTransformMatrix matrix;
  matrix.SetDimension(3);
  SetTranslation(&matrix, 0, 0, 4);
  nuqTransformAffine affine;
  affine.SetDimension(3);
  SetTranslation(&affine, 1, 0, 0);
  nuqTransformBase *sources[3] = {&matrix, &affine, nullptr};
  EXPECT_FALSE(multiple.CopyLocalTransformsFrom(sources));
  nuqTransformAffine **locals = multiple.GetLocalAffines();
  EXPECT_NE(dynamic_cast<nuqTransformMatrix *>(locals[0]), nullptr);
  EXPECT_NE(locals[1], &affine);
  EXPECT_FLOAT_EQ(locals[1]->GetParameterValue(0), 1);
  // A missing source leaves an identity local, never a hole.
  ASSERT_NE(locals[2], nullptr);
  float p[4] = {1, 2, 3, 0}, q[4] = {0, 0, 0, 0};
  locals[2]->TransformWorldToWorld(p, q);
  for (int k = 0; k < 3; ++k) EXPECT_FLOAT_EQ(q[k], p[k]);
}

// Global translation (1, 2, 3), local 0 rotated and scaled, local 1
// translated and skewed.
void FillTwoLocals(nuqTransformLocalAffines &t) {
  t.SetDimension(3);
  ASSERT_TRUE(t.SetNumberOfLocalAffines(2));
  SetTranslation(&t, 1, 2, 3);
  const float rotation[3] = {5, -10, 15}, scaling[3] = {1.1f, 0.9f, 1.2f};
  t.GetLocalAffines()[0]->SetRotation(rotation);
  t.GetLocalAffines()[0]->SetScaling(scaling);
  const float centre[3] = {10, 5, 5};
  t.GetLocalAffines()[0]->SetRotationCentre(centre);
  SetTranslation(t.GetLocalAffines()[1], -2, 0.5f, 4);
  const float skew[2] = {3, -2};
  t.GetLocalAffines()[1]->SetSkewXY(skew);
}

void ExpectSameParameters(nuqTransformMultipleAffines &a, nuqTransformMultipleAffines &b) {
  ASSERT_EQ(a.GetNumberOfParameters(), b.GetNumberOfParameters());
  for (int k = 0; k < a.GetNumberOfParameters(); ++k)
    EXPECT_NEAR(a.GetParameterValue(k), b.GetParameterValue(k), 1e-5) << "parameter " << k;
}

TEST(AffsFile, RoundTripWithFacetAndNames) {
  TempDir dir;
  Verbosity quiet(0);
  nuqTransformLocalAffines written;
  FillTwoLocals(written);
  const float from[4] = {-5, -6, -7, 0}, to[4] = {25, 26, 27, 0};
  written.SetFacet(from, to, 3);
  ASSERT_TRUE(written.SetRegionFileName("regions/r0.nii.gz", 0));
  ASSERT_TRUE(written.SetRegionFileName("r1.nii.gz", 1));
  ASSERT_TRUE(written.SaveToFile(dir.File("w.AFFS")));
  const std::string text = nuqtest::ReadWholeFile(dir.File("w.AFFS"));
  EXPECT_EQ(CountOf(text, "#dimension#"), 3);
  EXPECT_NE(text.find("# No. of Local Affine Transformations #\n 2 \n# 0th region #\n"),
            std::string::npos);
  EXPECT_NE(text.find("# Corner coordinates x y z t, from#\n -5.000000\n -6.000000\n"),
            std::string::npos);
  EXPECT_NE(text.find("# No. of Local Region File Names #\n 2 \n# 0th region file name #\n"
                      "regions/r0.nii.gz\n# 1th region file name #\nr1.nii.gz\n"),
            std::string::npos);

  nuqTransformLocalAffines read;
  ASSERT_TRUE(read.ReadFromFile(dir.File("w.AFFS")));
  EXPECT_EQ(read.GetNumberOfLocalAffines(), 2);
  ExpectSameParameters(written, read);
  EXPECT_TRUE(read.HasFacet());
  EXPECT_TRUE(read.HasRegionFileNames());
  EXPECT_EQ(read.GetRegionFileNames()[0], "regions/r0.nii.gz");
  EXPECT_EQ(read.GetRegionFileNames()[1], "r1.nii.gz");
  float f[4], g[4];
  EXPECT_TRUE(read.GetFacet(f, g));
  EXPECT_FLOAT_EQ(f[2], -7);
  EXPECT_FLOAT_EQ(g[1], 26);
  // Written again, the text is the same.
  EXPECT_EQ(read.GetTransformText(), text);
}

TEST(AffsFile, CornersAndNamesAreOptional) {
  TempDir dir;
  Verbosity quiet(0);
  nuqTransformLocalAffines written;
  FillTwoLocals(written);
  // The multiple-affine text has neither corners nor names.
  nuqTransformMultipleAffines &asMultiple = written;
  nuqtest::WriteWholeFile(dir.File("old.AFFS"), asMultiple.nuqTransformMultipleAffines::GetTransformText());
  nuqTransformLocalAffines old;
  ASSERT_TRUE(old.ReadFromFile(dir.File("old.AFFS")));
  ExpectSameParameters(written, old);
  EXPECT_FALSE(old.HasFacet());
  EXPECT_FALSE(old.HasRegionFileNames());
  float f[4], g[4];
  EXPECT_FALSE(old.GetFacet(f, g));

  // Corners but no names: no name section is written back.
  ASSERT_TRUE(written.SaveToFile(dir.File("corners.AFFS")));
  nuqTransformLocalAffines corners;
  ASSERT_TRUE(corners.ReadFromFile(dir.File("corners.AFFS")));
  EXPECT_TRUE(corners.HasFacet());
  EXPECT_FALSE(corners.HasRegionFileNames());
  EXPECT_EQ(corners.GetTransformText().find("Region File Names"), std::string::npos);
  ExpectSameParameters(written, corners);
}

TEST(AffsFile, LocalsKeepTheMatricesOfTheirOwnSections) {
  TempDir dir;
  Verbosity quiet(0);
  nuqTransformLocalAffines written;
  FillTwoLocals(written);
  std::string text = written.GetTransformText();
  // Replace the first row of local 1's matrix (the third "#matrix#").
  size_t p = 0;
  for (int k = 0; k < 3; ++k) p = text.find("#matrix#\n", p) + 9;
  const size_t end = text.find('\n', p);
  text.replace(p, end - p, "2.000000\t0.000000\t0.000000\t7.000000\t");
  nuqtest::WriteWholeFile(dir.File("m.AFFS"), text);
  nuqTransformLocalAffines read;
  ASSERT_TRUE(read.ReadFromFile(dir.File("m.AFFS")));
  const float *m = read.GetLocalAffines()[1]->GetMatrixPointer();
  EXPECT_FLOAT_EQ(m[0], 2.0f);
  EXPECT_FLOAT_EQ(m[3], 7.0f);
  const float *inverse = read.GetLocalAffines()[1]->GetInverseMatrixPointer();
  EXPECT_NEAR(inverse[0], 0.5f, 1e-6);
}

TEST(AffsFile, CountsOutsideTheArrayFailTheRead) {
  TempDir dir;
  Verbosity quiet(0);
  nuqTransformLocalAffines written;
  FillTwoLocals(written);
  const std::string text = written.GetTransformText();
  const std::string countLine = "# No. of Local Affine Transformations #\n 2 \n";
  const size_t p = text.find(countLine);
  ASSERT_NE(p, std::string::npos);
  for (const char *count : {"300", "-1", "257"}) {
    SCOPED_TRACE(count);
    std::string bad = text;
    bad.replace(p, countLine.size(),
                std::string("# No. of Local Affine Transformations #\n ") + count + " \n");
    nuqtest::WriteWholeFile(dir.File("bad.AFFS"), bad);
    nuqTransformLocalAffines read;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(read.ReadFromFile(dir.File("bad.AFFS")));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("error: the number of local affines is more than the maxmum\n"),
              std::string::npos);
    EXPECT_EQ(read.GetNumberOfLocalAffines(), 0);
  }
  // A file cut inside the second local fails as well.
  nuqtest::WriteWholeFile(dir.File("cut.AFFS"), text.substr(0, text.find("# 1th region #") + 40));
  nuqTransformLocalAffines cut;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(cut.ReadFromFile(dir.File("cut.AFFS")));
  testing::internal::GetCapturedStderr();
}

TEST_F(LocalAffinesFixture, PointInsideARegionIsMappedByItsLocalAndTheLowerIndexWins) {
  Build({{0, 3}, {2, 5}, {16, 19}});
  SetTranslation(Local(0), 1, 0, 0);
  SetTranslation(Local(1), 0, 2, 0);
  SetTranslation(Local(2), 0, 0, 3);
  SetTranslation(&transform, 0, 0, 10);
  Prepare();
  struct Case {
    const char *name;
    float p[3];
    float expected[3];
  };
  const Case cases[] = {
      {"region 0 only", {1, 5, 5}, {2, 5, 5}},
      {"regions 0 and 1", {2.5f, 4, 6}, {3.5f, 4, 6}},
      {"region 1 only", {4.6f, 5, 5}, {4.6f, 7, 5}},
      {"region 2", {17, 3.5f, 2}, {17, 3.5f, 5}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    float p[4] = {c.p[0], c.p[1], c.p[2], 0}, q[4];
    transform.LocalTransformWorldToWorld(p, q);
    for (int k = 0; k < 3; ++k) EXPECT_FLOAT_EQ(q[k], c.expected[k]);
    // The global affine is applied after the blend.
    transform.TransformWorldToWorld(p, q);
    EXPECT_FLOAT_EQ(q[2], c.expected[2] + 10);
  }
}

TEST_F(LocalAffinesFixture, FarPointsFollowTheSingleLocalAndFacetFacesStayFixed) {
  Build({{0, 3}});
  const float rotation[3] = {0, 0, 20};
  Local(0)->SetRotation(rotation);
  SetTranslation(Local(0), 2, -1, 0.5f);
  Prepare();
  for (float p0 : {10.0f, 18.0f, 400.0f, -250.0f}) {
    SCOPED_TRACE(p0);
    float p[4] = {p0, 30, -40, 0}, q[4], expected[4] = {0, 0, 0, 0};
    Local(0)->TransformWorldToWorld(p, expected);
    transform.LocalTransformWorldToWorld(p, q);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(q[k], expected[k], 1e-3f * (1 + std::fabs(expected[k])));
  }
  // With a facet, points on its faces (outside the region) map to themselves.
  const float from[4] = {8, -1, -1, 0}, to[4] = {30, 12, 12, 0};
  transform.SetFacet(from, to, 3);
  const float faces[][3] = {{8, 5, 5}, {12, 12, 4}, {30, 2, 2}, {15, 3, -1}};
  for (const auto &face : faces) {
    float p[4] = {face[0], face[1], face[2], 0}, q[4];
    transform.LocalTransformWorldToWorld(p, q);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(q[k], p[k], 1e-4f);
  }
  // Just inside the facet the local's influence is back.
  float p[4] = {14, 5, 5, 0}, q[4];
  transform.LocalTransformWorldToWorld(p, q);
  EXPECT_GT(std::fabs(q[0] - p[0]) + std::fabs(q[1] - p[1]), 0.1f);
}

TEST_F(LocalAffinesFixture, OutsideTheRegionGridTheDistanceToTheBoxIsAdded) {
  Build({{0, 3}, {16, 19}});
  SetTranslation(Local(0), 4, 0, 0);
  SetTranslation(Local(1), 0, 6, 0);
  Prepare();
  struct Case {
    const char *name;
    float p[3];
    float gridX;  // x of the nearest grid-box point
    float box;    // distance from p to the grid box
  };
  const Case cases[] = {
      {"inside", {10, 5, 5}, 10, 0},
      {"below y", {10, -5, 5}, 10, 5},
      {"beyond z and y", {12, 13, 12}, 12, 5},
      {"beyond x", {25, 4, 4}, 19, 6},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const float d0 = std::max(0.0f, c.gridX - 3) + c.box;
    const float d1 = std::max(0.0f, 16 - c.gridX) + c.box;
    float p[4] = {c.p[0], c.p[1], c.p[2], 0}, q[4];
    transform.LocalTransformWorldToWorld(p, q);
    if (d1 <= 0) {
      EXPECT_NEAR(q[1] - p[1], 6, 1e-4);
      continue;
    }
    const float w0 = 1 / d0, w1 = 1 / d1;
    EXPECT_NEAR(q[0] - p[0], 4 * w0 / (w0 + w1), 1e-4);
    EXPECT_NEAR(q[1] - p[1], 6 * w1 / (w0 + w1), 1e-4);
    EXPECT_NEAR(q[2], p[2], 1e-4);
  }
}

TEST_F(LocalAffinesFixture, FacetAndNearestRegionPointMappings) {
  Build({{0, 3}, {16, 19}});
  const float scaling[3] = {2, 1, 1};
  Local(0)->SetScaling(scaling);  // displacement (x, 0, 0) about the origin
  SetTranslation(Local(1), 0, -2, 0);
  const float from[4] = {-1, -1, -1, 0}, to[4] = {30, 9, 30, 0};
  transform.SetFacet(from, to, 3);
  Prepare();
  // Nearest region points: (3, y, z) for region 0 and (16, y, z) for region 1.
  float p[4] = {7, 4, 5, 0}, q[4];
  transform.LocalTransformWorldToWorldByNearestRegionPoint(p, q);
  // The facet is near enough for the identity weight to count.
  float w0 = 0;
  for (int a = 0; a < 3; ++a) w0 += 0.5f / std::fabs(p[a] - from[a]) + 0.5f / std::fabs(to[a] - p[a]);
  const float d0 = 4, d1 = 9, w = 1 / d0 + 1 / d1 + w0;
  EXPECT_NEAR(q[0] - p[0], (3 / d0) / w, 1e-4);
  EXPECT_NEAR(q[1] - p[1], (-2 / d1) / w, 1e-4);
  EXPECT_NEAR(q[2], p[2], 1e-5);

  struct Case {
    const char *name;
    float p[3];
    float inner[3];  // the point whose blend displacement applies; none: identity
    bool identity;
  };
  const Case cases[] = {
      {"inside", {8, 4, 4}, {8, 4, 4}, false},
      {"beyond the facet in y", {8, 9.5f, 4}, {0, 0, 0}, true},
      {"inside the facet, beyond the grid in z", {8, 4, 12}, {8, 4, 9}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    float x[4] = {c.p[0], c.p[1], c.p[2], 0}, y[4];
    transform.LocalTransformWorldToWorldInsideFacet(x, y);
    float expected[3] = {c.p[0], c.p[1], c.p[2]};
    if (!c.identity) {
      float inner[4] = {c.inner[0], c.inner[1], c.inner[2], 0}, mapped[4];
      transform.LocalTransformWorldToWorld(inner, mapped);
      for (int k = 0; k < 3; ++k) expected[k] += mapped[k] - inner[k];
      ASSERT_GT(std::fabs(mapped[0] - inner[0]), 0.1f);
    }
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(y[k], expected[k], 1e-4);
  }
  float f[4], g[4];
  EXPECT_TRUE(transform.GetFacet(f, g));
  EXPECT_FLOAT_EQ(g[1], 9);
}

TEST_F(LocalAffinesFixture, AnalyticJacobianAgreesWithDifferencesInsideTheFacet) {
  Build({{0, 3}, {16, 19}});
  const float rotation[3] = {4, -6, 12}, scaling[3] = {1.3f, 0.8f, 1.1f}, centre[3] = {2, 5, 5};
  Local(0)->SetRotation(rotation);
  Local(0)->SetRotationCentre(centre);
  SetTranslation(Local(1), 1, -2, 3);
  Local(1)->SetScaling(scaling);
  const float from[4] = {-1, -1, -1, 0}, to[4] = {40, 15, 15, 0};
  transform.SetFacet(from, to, 3);
  Prepare();
  const float points[][3] = {{8.3f, 4.6f, 5.2f}, {11.7f, 3.4f, 6.1f}, {6.5f, 5.5f, 3.5f}};
  for (const auto &point : points) {
    float p[4] = {point[0], point[1], point[2], 0};
    ASSERT_TRUE(transform.IsInsideFacet(p));
    float analytic[16], differences[16], local0[16];
    ASSERT_TRUE(transform.GetLocalJacobianMatrixWorld(p, analytic));
    ASSERT_TRUE(transform.GetLocalJacobianMatrixByDifferences(p, differences));
    Local(0)->GetJacobianMatrixWorld(p, local0);
    float distanceFromLocal = 0;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(analytic[4 * r + c], differences[4 * r + c], 0.01) << r << "," << c;
        distanceFromLocal += std::fabs(analytic[4 * r + c] - local0[4 * r + c]);
      }
    EXPECT_FLOAT_EQ(analytic[15], 1.0f);
    // The blend is no single local's matrix.
    EXPECT_GT(distanceFromLocal, 0.05f);
  }
  // GetJacobianMatrixWorld is that of the whole mapping, global affine
  // after the blend: row r of the blend's Jacobian scaled by the global
  // scale factor of axis r.
  const float globalScaling[3] = {2, 0.5f, 3};
  transform.SetScaling(globalScaling);
  float p[4] = {8.3f, 4.6f, 5.2f, 0}, local[16], whole[16], differences[16];
  transform.GetLocalJacobianMatrixWorld(p, local);
  ASSERT_TRUE(transform.GetJacobianMatrixWorld(p, whole));
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      EXPECT_NEAR(whole[4 * r + c], globalScaling[r] * local[4 * r + c], 1e-5) << r << "," << c;
  transform.nuqTransformBase::GetJacobianMatrixWorld(p, differences);
  for (int k = 0; k < 16; ++k) EXPECT_NEAR(whole[k], differences[k], 0.03) << k;
}

TEST_F(LocalAffinesFixture, SamplingReportWithFractionOneVisitsEveryPoint) {
  Build({{0, 3}, {16, 19}});
  const float scaling[3] = {1.5f, 1, 1};
  Local(0)->SetScaling(scaling);
  Prepare();
  const float from[4] = {2, 2, 2, 0}, to[4] = {17, 7, 7, 0}, step[4] = {1.5f, 2.5f, 2.5f, 1};
  float expectedMin = 1e20f, expectedMax = -1e20f;
  for (float z = from[2]; z <= to[2]; z += step[2])
    for (float y = from[1]; y <= to[1]; y += step[1])
      for (float x = from[0]; x <= to[0]; x += step[0]) {
        float p[4] = {x, y, z, 0}, j[16];
        transform.GetLocalJacobianMatrixWorld(p, j);
        const float det = Determinant3x3(j, 4);
        expectedMin = std::min(expectedMin, det);
        expectedMax = std::max(expectedMax, det);
      }
  ASSERT_LT(expectedMin + 0.1f, expectedMax);
  Verbosity shown(1);
  float maximum = 0, minimum = 0;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(transform.ReportLocalJacobianBySampling(maximum, minimum, from, to, step, 1.0f));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FLOAT_EQ(minimum, expectedMin);
  EXPECT_FLOAT_EQ(maximum, expectedMax);
  std::ostringstream line;
  line << "success: \t max local jacobian value " << maximum << " min value " << minimum
       << " in 1 of sampling\n";
  EXPECT_EQ(out, line.str());
  // The grid report over the region image's own grid sees the same extremes
  // at the same points (world = grid here).
  testing::internal::CaptureStdout();
  const float gridMin = transform.ReportLocalJacobianOnGrid(&regions[0], from, to, step, nullptr, nullptr);
  testing::internal::GetCapturedStdout();
  EXPECT_FLOAT_EQ(gridMin, expectedMin);
  // Steps that are not positive visit the first point of each axis only.
  const float noStep[4] = {0, -1, 0, 0};
  float single[16];
  float first[4] = {from[0], from[1], from[2], 0};
  transform.GetLocalJacobianMatrixWorld(first, single);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(transform.ReportLocalJacobianBySampling(maximum, minimum, from, to, noStep, 1.0f));
  testing::internal::GetCapturedStdout();
  EXPECT_FLOAT_EQ(minimum, Determinant3x3(single, 4));
  EXPECT_FLOAT_EQ(maximum, minimum);
}

TEST_F(LocalAffinesFixture, CloneMapsLikeTheSourceAfterTheSourceIsGone) {
  Build({{0, 3}, {16, 19}});
  SetTranslation(Local(0), 1, 2, 0);
  SetTranslation(Local(1), 0, -2, 1);
  Prepare();
  nuqTransformBase *clone = nullptr;
  transform.CloneTo(clone);
  ASSERT_NE(clone, nullptr);
  const float points[][3] = {{1, 1, 1}, {9.5f, 4, 4}, {30, -3, 4}};
  std::vector<float> expected;
  for (const auto &point : points) {
    float p[4] = {point[0], point[1], point[2], 0}, q[4];
    transform.TransformWorldToWorld(p, q);
    expected.insert(expected.end(), q, q + 3);
  }
  // Region images change after cloning: the clone keeps its distance maps.
  regions[0].ReleaseImage();
  for (size_t i = 0; i < 3; ++i) {
    float p[4] = {points[i][0], points[i][1], points[i][2], 0}, q[4];
    clone->TransformWorldToWorld(p, q);
    for (int k = 0; k < 3; ++k) EXPECT_FLOAT_EQ(q[k], expected[3 * i + k]);
  }
  delete clone;
}

TEST_F(LocalAffinesFixture, PreparationRefusesMissingOrMismatchedRegionImages) {
  Verbosity quiet(0);
  transform.SetDimension(3);
  ASSERT_TRUE(transform.SetNumberOfLocalAffines(2));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(transform.PreComputeDistance2WeightAndSetModel());
  EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("error: ", 0), 0u);

  MakeSlab(regions[0], 0, 3);
  nuqImageInfo placement;
  const int otherSize[4] = {20, 10, 9, 1};
  ASSERT_TRUE(regions[1].NewImage(3, otherSize, kSpacing, &placement));
  transform.SetRegionImages(regions);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(transform.PreComputeDistance2WeightAndSetModel());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("error: region image 1"), std::string::npos);
  EXPECT_NE(err.find("different geometry"), std::string::npos);
}

TEST_F(LocalAffinesFixture, FieldCompositionsOfRootsRebuildTheLocalsInsideTheRegions) {
  Build({{0, 3}, {16, 19}});
  SetTranslation(Local(0), 2, 0, 0);
  SetTranslation(Local(1), 0, -2, 0);
  Prepare();
  Verbosity quiet(0);
  struct Case {
    const char *name;
    std::function<nuqTransformFields *()> compose;
    float p[3];
    float displacement[3];
  };
  const Case cases[] = {
      {"square of square root", [&] { return transform.SquareSquareRootField(&regions[0], 1); },
       {1, 5, 5}, {2, 0, 0}},
      {"square of inverse square root",
       [&] { return transform.SquareInverseSquareRootField(&regions[0], 1); }, {18, 4, 4}, {0, 2, 0}},
      {"composed square roots", [&] { return transform.ComposeSquareRootField(&regions[0], 1); },
       {1, 5, 5}, {2, 0, 0}},
      {"composed square roots, region 1",
       [&] { return transform.ComposeSquareRootField(&regions[0], 1); }, {18, 5, 5}, {0, -2, 0}},
      {"inverse with n = 0", [&] { return transform.ComposeInverseSquareRootField(&regions[0], 0); },
       {3, 5, 5}, {-2, 0, 0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<nuqTransformFields> field(c.compose());
    ASSERT_NE(field, nullptr);
    float p[4] = {c.p[0], c.p[1], c.p[2], 0}, q[4] = {0, 0, 0, 0};
    field->TransformWorldToWorld(p, q);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(q[k] - p[k], c.displacement[k], 1e-4);
  }
  // The locals are as they were.
  float t[4] = {0};
  Local(0)->GetTranslation(t);
  EXPECT_FLOAT_EQ(t[0], 2);
  EXPECT_EQ(transform.ComposeSquareRootField(&regions[0], 0), nullptr);
  EXPECT_EQ(transform.SquareSquareRootField(&regions[0], 0), nullptr);
  EXPECT_EQ(transform.ComposeInverseSquareRootField(&regions[0], -1), nullptr);
}

// Value = sum_k (k + 1) p_k over the metric transform's parameters, so the
// undivided central difference of parameter k is 2 h (k + 1). Each
// evaluation records the test mask it saw.
class LinearMetric : public nuqMetricBase {
 public:
  std::string GetMetricName() const override { return "_Linear_"; }
  int GetValue(double &value) override {
    value = 0;
    nuqTransformBase *t = GetTransform();
    for (int k = 0; k < t->GetNumberOfParameters(); ++k) value += (k + 1.0) * t->GetParameterValue(k);
    masks.push_back(GetTestMaskImage());
    return 1;
  }
  using nuqMetricBase::GetValue;
  std::vector<nuqImageDataT<short> *> masks;
};

TEST_F(LocalAffinesFixture, LocalGradientDifferencesEachLocalInsideItsRegion) {
  Build({{0, 3}, {16, 19}});
  SetTranslation(Local(1), 1, 2, 3);
  nuqTransformLocalAffines step, gradient;
  step.SetDimension(3);
  gradient.SetDimension(3);
  ASSERT_TRUE(step.SetNumberOfLocalAffines(2));
  ASSERT_TRUE(gradient.SetNumberOfLocalAffines(2));
  gradient.SetRegionImages(regions);
  step.SetAllParameters(0);
  const int stepped[] = {0, 5, 22 + 1, 44 + 2, 44 + 17};
  for (int k : stepped) ASSERT_TRUE(step.SetParameterValue(k, 0.25f));
  LinearMetric metric;
  metric.SetTransform(&transform);
  std::vector<float> before;
  for (int k = 0; k < 66; ++k) before.push_back(transform.GetParameterValue(k));

  testing::internal::CaptureStderr();
  EXPECT_FALSE(gradient.ComputeLocalGradient(&metric, nullptr));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: local affine gradient should be given the local affine object as "
            "differential step\n");

  ASSERT_TRUE(gradient.ComputeLocalGradient(&metric, &step));
  for (int k = 0; k < 66; ++k) {
    const bool isStepped = std::find(std::begin(stepped), std::end(stepped), k) != std::end(stepped);
    EXPECT_NEAR(gradient.GetParameterValue(k), isStepped ? 0.5f * (k + 1) : 0.0f, 1e-3) << k;
    EXPECT_FLOAT_EQ(transform.GetParameterValue(k), before[k]) << k;
  }
  // Two evaluations per stepped parameter: global ones unmasked, local i's
  // with region i as the test mask; the mask is taken back afterwards.
  ASSERT_EQ(metric.masks.size(), 10u);
  const nuqImageDataT<short> *expectedMasks[] = {nullptr, nullptr, nullptr, nullptr,
                                                 &regions[0], &regions[0], &regions[1],
                                                 &regions[1], &regions[1], &regions[1]};
  for (size_t e = 0; e < 10; ++e) EXPECT_EQ(metric.masks[e], expectedMasks[e]) << e;
  EXPECT_EQ(metric.GetTestMaskImage(), nullptr);
}

TEST(LocalAffines, TwoDimensionalRegionsBlendInThePlane) {
  Verbosity quiet(0);
  nuqImageDataT<short> regions[2];
  const int size[4] = {20, 10, 1, 1};
  nuqImageInfo placement;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(regions[i].NewImage(2, size, kSpacing, &placement));
    for (int y = 0; y < size[1]; ++y)
      for (int x = (i == 0 ? 0 : 16); x <= (i == 0 ? 3 : 19); ++x)
        regions[i].SetPixelByGreyscale(x, y, 0, 0, 1);
  }
  nuqTransformLocalAffines t;
  t.SetDimension(2);
  ASSERT_TRUE(t.SetNumberOfLocalAffines(2));
  SetTranslation(t.GetLocalAffines()[0], 2, 0, 0);
  SetTranslation(t.GetLocalAffines()[1], 0, -3, 0);
  t.SetRegionImages(regions);
  EXPECT_EQ(t.GetDimension(), 2);
  ASSERT_TRUE(t.PreComputeDistance2WeightAndSetModel());
  float inside[4] = {2, 4, 0, 0}, q[4];
  t.TransformWorldToWorld(inside, q);
  EXPECT_FLOAT_EQ(q[0], 4);
  EXPECT_FLOAT_EQ(q[1], 4);
  float between[4] = {7, 6, 0, 0};
  t.TransformWorldToWorld(between, q);
  const float w0 = 1.0f / 4, w1 = 1.0f / 9;
  EXPECT_NEAR(q[0] - 7, 2 * w0 / (w0 + w1), 1e-4);
  EXPECT_NEAR(q[1] - 6, -3 * w1 / (w0 + w1), 1e-4);
  EXPECT_NEAR(q[2], 0, 1e-6);
  float j[16], d[16];
  ASSERT_TRUE(t.GetJacobianMatrixWorld(between, j));
  t.GetLocalJacobianMatrixByDifferences(between, d);
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 2; ++c) EXPECT_NEAR(j[4 * r + c], d[4 * r + c], 0.01) << r << "," << c;
}

void MapWithoutDistanceMaps() {
  nuqTransformLocalAffines t;
  t.SetDimension(3);
  t.SetNumberOfLocalAffines(1);
  float p[4] = {1, 2, 3, 0}, q[4];
  t.TransformWorldToWorld(p, q);
}

TEST(LocalAffinesDeathTest, MappingBeforeTheDistanceMapsEndsTheProcess) {
  EXPECT_EXIT(MapWithoutDistanceMaps(), ::testing::ExitedWithCode(1), "");
}

TEST(LocalAffines, WithoutLocalsTheBlendIsTheIdentity) {
  nuqTransformLocalAffines t;
  t.SetDimension(3);
  float p[4] = {1, 2, 3, 4}, q[4] = {0, 0, 0, 0}, j[16];
  t.LocalTransformWorldToWorld(p, q);
  for (int k = 0; k < 4; ++k) EXPECT_FLOAT_EQ(q[k], p[k]);
  // The global affine alone: its matrix.
  const float scaling[3] = {2, 1, 1};
  t.SetScaling(scaling);
  EXPECT_TRUE(t.GetJacobianMatrixWorld(p, j));
  EXPECT_FLOAT_EQ(j[0], 2);
  EXPECT_FALSE(t.AlignCentres("center"));
  EXPECT_FALSE(t.AlignCentres("gcenter"));
}

}  // namespace
