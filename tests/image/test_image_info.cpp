// Image geometry: the four placement representations and the grid/world maps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "nuqImageInfo.h"
#include "nuqMatrix.h"

namespace {

void Map(const nuqImageInfo &info, float x, float y, float z, float out[4], float t = 0) {
  out[0] = x, out[1] = y, out[2] = z, out[3] = t;
  info.GridToWorld(out);
}

void ExpectNear3(const float *got, float x, float y, float z, float tol = 1e-5f) {
  EXPECT_NEAR(got[0], x, tol);
  EXPECT_NEAR(got[1], y, tol);
  EXPECT_NEAR(got[2], z, tol);
}

// An oblique, left-handed 3-D placement from a quaternion.
nuqImageInfo Oblique() {
  nuqImageInfo info;
  info.m_iDimension = 3;
  const int size[3] = {20, 15, 9};
  const float spacing[3] = {0.8f, 1.25f, 3.0f};
  for (int d = 0; d < 3; ++d) {
    info.m_iSize[d] = size[d];
    info.m_fSpacing[d] = spacing[d];
  }
  info.m_fQuaternB = 0.3f;
  info.m_fQuaternC = -0.2f;
  info.m_fQuaternD = 0.5f;
  info.m_fQuaternQf = -1.0f;
  info.m_fQuaternOffset[0] = 12.0f;
  info.m_fQuaternOffset[1] = -30.5f;
  info.m_fQuaternOffset[2] = 7.25f;
  info.UpdateOrientation(-2);
  return info;
}

}  // namespace

TEST(ImageInfo, FreshInfoIsTheIdentity) {
  nuqImageInfo info;
  float w[4];
  Map(info, 3, -2, 7, w);
  ExpectNear3(w, 3, -2, 7, 0);
  EXPECT_EQ(info.m_fSpacing[3], 1.0f / 60.0f);
  const std::string text = info.GetInfoText();
  EXPECT_NE(text.find("orientation method: 0; Right hand coordinate \n"), std::string::npos) << text;
  EXPECT_EQ(text.compare(0, 33, "filename:\nproblem of dimension: 0"), 0) << text;
}

TEST(ImageInfo, PlacementRulesOfEachMethod) {
  // Reset: index 0 at world 0, origin is the world grid centre.
  nuqImageInfo reset;
  for (int d = 0; d < 3; ++d) reset.m_fSpacing[d] = 2, reset.m_iSize[d] = 11;
  reset.m_fQuaternOffset[0] = 99;
  reset.ResetOrientation();
  EXPECT_EQ(reset.m_iOrientationMethod, 0);
  float w[4];
  Map(reset, 0, 0, 0, w);
  ExpectNear3(w, 0, 0, 0);
  ExpectNear3(reset.m_fOrigin, 10, 10, 10);

  // Rotation + origin: the origin is the world position of the grid centre.
  nuqImageInfo centred;
  for (int d = 0; d < 3; ++d) centred.m_iSize[d] = 5;
  centred.UpdateOrientation(2);
  EXPECT_EQ(centred.m_iOrientationMethod, 2);
  Map(centred, 2, 2, 2, w);
  ExpectNear3(w, 0, 0, 0);
  Map(centred, 0, 0, 0, w);
  ExpectNear3(w, -2, -2, -2);
  ExpectNear3(centred.m_fQuaternOffset, -2, -2, -2);

  // qfac -1 flips the third axis and the handedness.
  nuqImageInfo flipped;
  flipped.m_fSpacing[2] = 3;
  flipped.m_fQuaternQf = -1;
  flipped.UpdateOrientation(-2);
  Map(flipped, 0, 0, 1, w);
  ExpectNear3(w, 0, 0, -3);
  EXPECT_NE(flipped.GetInfoText().find("Left hand coordinate"), std::string::npos);

  // Spacing only: axis-aligned, index 0 at world 0, recorded as method 1.
  nuqImageInfo aligned;
  aligned.m_fSpacing[0] = 2, aligned.m_fSpacing[1] = 3, aligned.m_fSpacing[2] = 4;
  aligned.m_iSize[0] = 7;
  aligned.UpdateOrientation(1);
  EXPECT_EQ(aligned.m_iOrientationMethod, 1);
  Map(aligned, 1, 1, 1, w);
  ExpectNear3(w, 2, 3, 4);
  EXPECT_NEAR(aligned.m_fOrigin[0], 6.0f, 1e-6);
}

TEST(ImageInfo, AllRepresentationsAgreeOnAnObliqueGrid) {
  const nuqImageInfo q = Oblique();
  // Rotation columns are unit vectors and the determinant carries qfac.
  EXPECT_NEAR(Determinant3x3(&q.m_fRotationMatrix[0][0], 3), -1.0f, 1e-5);
  // Origin is the world position of the grid centre.
  float w[4];
  Map(q, 9.5f, 7.0f, 4.0f, w);
  ExpectNear3(q.m_fOrigin, w[0], w[1], w[2], 1e-4f);

  // Rebuilding from rotation + origin, and from the matrix, gives the same placement.
  nuqImageInfo fromRotation = q;
  fromRotation.m_fQuaternB = fromRotation.m_fQuaternC = fromRotation.m_fQuaternD = 0;
  fromRotation.UpdateOrientation(2);
  nuqImageInfo fromMatrix = q;
  fromMatrix.m_fQuaternB = fromMatrix.m_fQuaternC = fromMatrix.m_fQuaternD = 0;
  fromMatrix.UpdateOrientation(3);
  for (const nuqImageInfo *other : {&fromRotation, &fromMatrix}) {
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) {
        EXPECT_NEAR(other->m_fImageToWorld[i][j], q.m_fImageToWorld[i][j], 1e-4) << i << j;
        EXPECT_NEAR(other->m_fWorldToImage[i][j], q.m_fWorldToImage[i][j], 1e-4) << i << j;
      }
    EXPECT_NEAR(other->m_fQuaternB, q.m_fQuaternB, 1e-5);
    EXPECT_NEAR(other->m_fQuaternC, q.m_fQuaternC, 1e-5);
    EXPECT_NEAR(other->m_fQuaternD, q.m_fQuaternD, 1e-5);
    EXPECT_EQ(other->m_fQuaternQf, -1.0f);
  }

  // Grid -> world -> grid returns the start point.
  const float points[][3] = {{0, 0, 0}, {19, 14, 8}, {3.25f, -2.5f, 11.75f}, {-40, 60, 2}};
  for (const auto &p : points) {
    float v[4];
    Map(q, p[0], p[1], p[2], v);
    q.WorldToGrid(v);
    ExpectNear3(v, p[0], p[1], p[2], 1e-3f);
  }
}

TEST(ImageInfo, TimeAxisIsLinear) {
  nuqImageInfo info;
  info.m_iDimension = 4;
  info.m_fSpacing[3] = 2;
  info.m_fOrigin[3] = 5;
  float p[4] = {1, 2, 3, 3};
  info.GridToWorld(p);
  EXPECT_EQ(p[3], 11);
  info.WorldToGrid(p);
  EXPECT_EQ(p[3], 3);
  EXPECT_EQ(p[0], 1);
  // Below four dimensions t is left as the caller set it.
  info.m_iDimension = 3;
  info.GridToWorld(p);
  EXPECT_EQ(p[3], 3);
}

TEST(ImageInfo, ExtendROIKeepsWorldPositions) {
  nuqImageInfo info = Oblique();
  for (int d = 0; d < 3; ++d) info.m_iSize[d] = 10;
  info.UpdateOrientation(-2);
  float before[4];
  Map(info, 0, 0, 0, before);
  const int lower[4] = {1, 1, 1, 0}, upper[4] = {1, 1, 1, 0};
  ASSERT_TRUE(info.ExtendROI(lower, upper));
  EXPECT_EQ(info.m_iSize[0], 12);
  EXPECT_EQ(info.m_iSize[2], 12);
  EXPECT_EQ(info.m_iDimension, 3);
  EXPECT_EQ(info.m_iOrientationMethod, 3);
  float after[4];
  Map(info, 1, 1, 1, after);
  ExpectNear3(after, before[0], before[1], before[2], 1e-4f);

  const int shrink[4] = {-12, 0, 0, 0}, none[4] = {0, 0, 0, 0};
  testing::internal::CaptureStderr();
  EXPECT_FALSE(info.ExtendROI(shrink, none));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "warning: size of dimension 0 will be less than 1 if extend ROI, hence not action be applied\n");
  EXPECT_EQ(info.m_iSize[0], 12);
}

TEST(ImageInfo, SpacingResizeAndSizes) {
  nuqImageInfo info = Oblique();
  info.m_iSize[0] = 10;
  info.m_fSpacing[0] = 1;
  info.UpdateOrientation(-2);
  float before[4];
  Map(info, 0, 0, 0, before);
  const float spacing[4] = {2, 1.25f, 3, 1};
  ASSERT_TRUE(info.SetSpacingAndResize(spacing));
  EXPECT_EQ(info.m_iSize[0], 6);  // ceil(9 / 2 + 1)
  EXPECT_EQ(info.m_iSize[1], 15);
  float after[4];
  Map(info, 0, 0, 0, after);
  ExpectNear3(after, before[0], before[1], before[2], 1e-4f);
  Map(info, 1, 0, 0, after);
  EXPECT_NEAR(VectorDistance(after, before, 3), 2.0f, 1e-4);
  EXPECT_FALSE(info.SetSpacingAndResize(nullptr));

  float extent[3];
  info.GetPhysicalExtent(extent);
  EXPECT_FLOAT_EQ(extent[0], 10.0f);
  int size[3];
  info.ComputeSizeFromExtent(extent, size);
  EXPECT_EQ(size[0], 6);
  EXPECT_FLOAT_EQ(info.GetPixelVolume(), 2 * 1.25f * 3);
  EXPECT_EQ(info.GetNumberOfPixels(), 6 * 15 * 9);
}

TEST(ImageInfo, QuaternionTextRoundTrip) {
  const nuqImageInfo q = Oblique();
  std::istringstream in("\n   \n% a note\n" + q.GetQuaternionText());
  nuqImageInfo read;
  for (int d = 0; d < 3; ++d) read.m_fSpacing[d] = q.m_fSpacing[d], read.m_iSize[d] = q.m_iSize[d];
  ASSERT_TRUE(read.ReadQuaternionText(in));
  EXPECT_NEAR(read.m_fQuaternB, q.m_fQuaternB, 1e-6);
  EXPECT_EQ(read.m_fQuaternQf, -1.0f);
  EXPECT_NEAR(read.m_fQuaternOffset[1], q.m_fQuaternOffset[1], 1e-6);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_NEAR(read.m_fImageToWorld[i][j], q.m_fImageToWorld[i][j], 1e-5);

  std::istringstream shortLine("#quaternion#\n1 0 0 0 5\n");
  EXPECT_FALSE(nuqImageInfo().ReadQuaternionText(shortLine));
  std::istringstream nothing("# only a title\n\n");
  EXPECT_FALSE(nuqImageInfo().ReadQuaternionText(nothing));
}

TEST(ImageInfo, ComparisonsAndCopies) {
  nuqImageInfo a = Oblique();
  nuqImageInfo b = a;
  b.m_fQuaternOffset[0] += 50;  // placement differs, grid does not
  b.UpdateOrientation(-2);
  EXPECT_TRUE(a.IsSameGrid(&b));
  EXPECT_FALSE(a.IsSameQuaternion(&b));
  b.m_fSpacing[2] = 3.0001f;
  EXPECT_FALSE(a.IsSameGrid(&b));
  EXPECT_FALSE(a.IsSameGrid(nullptr));

  nuqImageInfo target;
  target.m_fSpacing[0] = 9;
  ASSERT_TRUE(target.CopyOrientationFrom(&a));
  EXPECT_EQ(target.m_fSpacing[0], 9) << "spacing is not copied";
  EXPECT_EQ(target.m_iOrientationMethod, -2);
  EXPECT_EQ(target.m_iDimension, 3);
  EXPECT_TRUE(target.IsSameQuaternion(&a));

  testing::internal::CaptureStderr();
  EXPECT_FALSE(target.CopyOrientationFrom(nullptr));
  EXPECT_FALSE(target.CopyIntensityScalingFrom(nullptr));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: image info source is null in \nerror: image info source is null in \n");

  std::unique_ptr<nuqImageInfo> copy(a.Clone());
  EXPECT_TRUE(copy->IsSameQuaternion(&a));
  EXPECT_EQ(copy->m_fImageToWorld[1][3], a.m_fImageToWorld[1][3]);
}

TEST(ImageInfo, UndefinedMethodLeavesTheMatrices) {
  nuqImageInfo info = Oblique();
  const float before = info.m_fImageToWorld[0][1];
  testing::internal::CaptureStderr();
  info.UpdateOrientation(7);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: undefined orientation method\n");
  EXPECT_EQ(info.m_fImageToWorld[0][1], before);
}

TEST(ImageInfo, BoundingBoxAndUnscaledMatrix) {
  nuqImageInfo info;
  info.m_iDimension = 3;
  info.m_iSize[0] = 11, info.m_iSize[1] = 5, info.m_iSize[2] = 3;
  info.m_fSpacing[0] = 2;
  float m[16] = {-2, 0, 0, 10, 0, 1, 0, -2, 0, 0, 1, -1, 0, 0, 0, 1};  // x reversed
  std::memcpy(info.m_fImageToWorld, m, sizeof(m));
  info.UpdateOrientation(3);
  float lo[4], hi[4];
  info.GetWorldBoundingBox(lo, hi);
  EXPECT_NEAR(lo[0], -10, 1e-5);
  EXPECT_NEAR(hi[0], 10, 1e-5);
  EXPECT_NEAR(lo[1], -2, 1e-5);
  EXPECT_NEAR(hi[1], 2, 1e-5);

  float u[16];
  info.GetUnscaledImageToWorld(u);
  EXPECT_NEAR(u[0], -1, 1e-6);
  EXPECT_NEAR(u[3], 10, 1e-6);
  float s[16];
  info.GetSpacingMatrix(s);
  EXPECT_EQ(s[0], 2);
  EXPECT_EQ(s[5], 1);
  EXPECT_EQ(s[15], 1);
  EXPECT_EQ(s[3], 0);
}
