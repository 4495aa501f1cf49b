// Image volumes: layout, buffer ownership, guarded reads and grid tests.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>

#include "nuqConsole.h"
#include "nuqImageData.h"
#include "nuqMatrix.h"

namespace {

const int kSize10[4] = {10, 10, 10, 1};
const float kUnit[4] = {1, 1, 1, 1};

template <class T>
void Ramp(nuqImageDataT<T> &v) {
  for (int i = 0; i < v.GetNumberOfPixels(); ++i) v.SetPixelGreyscaleByIndex(i, static_cast<T>(i % 100));
}

}  // namespace

template <class T>
class ImageDataTypes : public testing::Test {};
using VoxelTypes = testing::Types<short, float, char>;
TYPED_TEST_SUITE(ImageDataTypes, VoxelTypes);

TYPED_TEST(ImageDataTypes, NewImageLayoutAndTypeCode) {
  nuqImageDataT<TypeParam> v;
  const int expectedCode = sizeof(TypeParam) == 2 ? 15 : (sizeof(TypeParam) == 4 ? 64 : 7);
  EXPECT_EQ(v.GetDataType(), expectedCode);
  EXPECT_EQ(v.GetInfo()->m_iByteOfDataType, static_cast<int>(sizeof(TypeParam)));
  EXPECT_TRUE(v.IsEmpty());
  EXPECT_EQ(v.GetNumberOfPixels(), 0) << "no buffer, although the sizes read 1";

  nuqImageInfo grid;
  const int size[4] = {4, 3, 2, 1};
  ASSERT_TRUE(v.NewImage(3, size, kUnit, &grid));
  ASSERT_EQ(v.GetNumberOfPixels(), 24);
  for (int i = 0; i < 24; ++i) ASSERT_EQ(v.GetPixelGreyscaleByIndex(i), TypeParam(0));
  v.SetPixelByGreyscale(3, 2, 1, 0, TypeParam(9));
  EXPECT_EQ(v.GetPixelGreyscaleByIndex(23), TypeParam(9));
  EXPECT_EQ(v.GetPixelGreyscale(3, 2, 1), TypeParam(9));
  const int index[4] = {3, 2, 1, 0};
  EXPECT_EQ(v.GetPixelGreyscale(index), TypeParam(9));
  EXPECT_EQ(v.GetMaxGreyscale(), TypeParam(9));
  EXPECT_EQ(v.GetMinGreyscale(), TypeParam(0));
}

TEST(ImageData, NewImageReusesOrReplacesTheBuffer) {
  nuqImageDataT<short> v;
  nuqImageInfo grid;
  const int a[4] = {4, 3, 2, 1}, b[4] = {2, 12, 1, 1};
  ASSERT_TRUE(v.NewImage(3, a, kUnit, &grid));
  const short *first = v.GetImageData();
  v.SetPixelGreyscaleByIndex(5, 7);
  ASSERT_TRUE(v.NewImage(2, b, kUnit, &grid));
  EXPECT_EQ(v.GetImageData(), first) << "same voxel count keeps the buffer";
  EXPECT_EQ(v.GetPixelGreyscaleByIndex(5), 0) << "and zeroes it";
  EXPECT_EQ(v.GetDimension(), 2);
  EXPECT_EQ(v.GetSizeArray()[2], 1);

  // Refused sizes leave a clear line and no half-made volume.
  const int huge[4] = {100000, 100000, 1000, 1};
  testing::internal::CaptureStderr();
  EXPECT_FALSE(v.NewImage(3, huge, kUnit, &grid));
  const int negative[4] = {5, -1, 1, 1};
  EXPECT_FALSE(v.NewImage(3, negative, kUnit, &grid));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.compare(0, 7, "error: "), 0) << err;
  EXPECT_NE(err.find("\nerror: "), std::string::npos) << err;
}

TEST(ImageData, GuardedReads) {
  nuqImageDataT<short> v;
  nuqImageInfo grid;
  ASSERT_TRUE(v.NewImage(3, kSize10, kUnit, &grid));
  for (int x = 0; x < 10; ++x) v.SetPixelByGreyscale(x, 0, 0, 0, static_cast<short>(x * 10));
  v.SetPixelByGreyscale(0, 0, 9, 0, 500);
  EXPECT_EQ(v.GetPixelGreyscaleClosest(-5, 0, 99), 500);
  EXPECT_EQ(v.GetPixelGreyscaleClosest(42, -1), 90);
  EXPECT_EQ(v.GetPixelGreyscaleClosest(3, 0, 0, 17), 30);

  struct Case {
    int index, reads;
  };
  const Case mirror[] = {{-3, 3}, {10, 8}, {12, 6}, {25, 7}, {0, 0}, {9, 9}, {-18, 0}};
  for (const Case &c : mirror)
    EXPECT_EQ(v.GetPixelGreyscaleMirror(c.index, 0, 0, 0), c.reads * 10) << c.index;
  // A dimension of size 1 maps every index to 0; extreme indices stay in range.
  EXPECT_EQ(v.GetPixelGreyscaleMirror(4, 0, 0, 123), 40);
  EXPECT_EQ(v.GetPixelGreyscaleMirror(INT_MIN, 0, 0, INT_MAX), v.GetPixelGreyscaleMirror(INT_MIN % 18, 0, 0, 0));

  EXPECT_EQ(v.GetPixelGreyscaleNearest(1.5f, 0.49f, -0.4f, 0), 20);
  EXPECT_EQ(v.GetPixelGreyscaleNearest(2.49f, 0, 0, 0), 20);

  nuqImageDataT<short> empty;
  EXPECT_EQ(empty.GetPixelGreyscaleMirror(1, 1, 1, 0), 0) << "no voxels: refused, not looped";
  nuqImageDataT<float> flat;
  flat.SetDimension(5);
  testing::internal::CaptureStderr();
  const int index[4] = {0, 0, 0, 0};
  EXPECT_EQ(flat.GetPixelGreyscale(index), 0.0f);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "dimension error:5\n");
}

TEST(ImageDataDeathTest, WritingWithoutVoxelsEndsTheProcess) {
  nuqImageDataT<float> v;
  EXPECT_EXIT(v.SetPixelByGreyscale(0, 0, 0, 0, 1.0f), testing::ExitedWithCode(1),
              "error: nuqImageData does not have m_pImageData for SetPixelByGreyscale");
}

TEST(ImageData, InsideTests) {
  nuqImageDataT<float> v;
  nuqImageInfo grid;
  const float spacing[4] = {2, 2, 2, 1};
  ASSERT_TRUE(v.NewImage(3, kSize10, spacing, &grid));
  EXPECT_TRUE(v.InsideGridTolerant(-0.002f, 0, 0, 0));
  EXPECT_TRUE(v.InsideGridTolerant(9.002f, 9, 9, 0));
  EXPECT_FALSE(v.InsideGridTolerant(-0.0021f, 0, 0, 0));
  EXPECT_TRUE(v.InsideGrid(9, 9, 9, 0));
  EXPECT_FALSE(v.InsideGrid(10, 0, 0, 0));
  EXPECT_FALSE(v.InsideGrid(0, 0, 0, 1));
  EXPECT_TRUE(v.InsideGrid(9.0f, 0.0f, 0.0f, 0.0f));
  EXPECT_FALSE(v.InsideGrid(9.01f, 0.0f, 0.0f, 0.0f));
  const float p[3] = {4.5f, 0, 9};
  EXPECT_TRUE(v.InsideGrid(p));
  float x = -3, y = 4.5f, z = 20, t = 2;
  v.ClampToGrid(x, y, z, t);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 4.5f);
  EXPECT_EQ(z, 9);
  EXPECT_EQ(t, 0);
  // World test through the placement: index 0 at world 0, spacing 2.
  EXPECT_TRUE(v.InsideWorld(18, 0, 0, 0));
  EXPECT_FALSE(v.InsideWorld(18.5f, 0, 0, 0));

  nuqImageDataT<float> empty;
  EXPECT_FALSE(empty.InsideGrid(0, 0, 0, 0));
  EXPECT_FALSE(empty.InsideGridTolerant(0, 0, 0, 0));
}

TEST(ImageData, GreyCentroid) {
  nuqImageDataT<short> v;
  nuqImageInfo grid;
  ASSERT_TRUE(v.NewImage(3, kSize10, kUnit, &grid));
  v.SetPixelByGreyscale(2, 3, 4, 0, 5);
  ASSERT_TRUE(v.ComputeGreyCentroid(false));
  float x, y, z, t;
  v.GetGreyCentroid(x, y, z, t);
  EXPECT_EQ(x, 2);
  EXPECT_EQ(y, 3);
  EXPECT_EQ(z, 4);
  v.SetPixelByGreyscale(4, 3, 4, 0, 5);
  EXPECT_FALSE(v.ComputeGreyCentroid(false)) << "kept until forced";
  ASSERT_TRUE(v.ComputeGreyCentroid(true));
  v.GetGreyCentroid(x, y, z, t);
  EXPECT_EQ(x, 3);

  const int saved = g_nVerbose;
  g_nVerbose = 1;
  nuqImageDataT<float> zero;
  ASSERT_TRUE(zero.NewImage(3, kSize10, kUnit, &grid));
  zero.SetFileName("blank.nii");
  testing::internal::CaptureStderr();
  EXPECT_TRUE(zero.ComputeGreyCentroid(false));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "warning: sum of image blank.niigrey level is zero\n");
  g_nVerbose = saved;
  zero.GetGreyCentroid(x, y, z, t);
  EXPECT_EQ(x, 0);
}

TEST(ImageData, CloneIsDeep) {
  nuqImageDataT<float> a;
  nuqImageInfo grid;
  grid.m_fQuaternD = 0.5f;
  ASSERT_TRUE(a.NewImage(3, kSize10, kUnit, &grid));
  Ramp(a);
  a.SetGiplTag(99);
  std::unique_ptr<nuqImageDataT<float>> b(a.Clone());
  EXPECT_NE(b->GetImageData(), a.GetImageData());
  EXPECT_EQ(b->GetPixelGreyscale(7, 3, 2), a.GetPixelGreyscale(7, 3, 2));
  EXPECT_EQ(b->GetGiplTag(), 99);
  EXPECT_TRUE(b->GetInfo()->IsSameQuaternion(a.GetInfo()));
  b->SetPixelGreyscaleByIndex(0, 1234);
  EXPECT_EQ(a.GetPixelGreyscaleByIndex(0), 0);

  // Same count reuses the target's buffer; another count replaces it.
  const float *kept = b->GetImageData();
  a.Clone(b.get());
  EXPECT_EQ(b->GetImageData(), kept);
  nuqImageDataT<float> small;
  const int size[4] = {2, 2, 1, 1};
  ASSERT_TRUE(small.NewImage(3, size, kUnit, &grid));
  ASSERT_TRUE(small.CloneFrom(&a));
  EXPECT_EQ(small.GetNumberOfPixels(), 1000);
  EXPECT_EQ(small.GetPixelGreyscaleByIndex(999), a.GetPixelGreyscaleByIndex(999));
  EXPECT_FALSE(small.CloneFrom(nullptr));

  // An empty source leaves no stale buffer behind.
  nuqImageDataT<float> empty;
  empty.Clone(&small);
  EXPECT_TRUE(small.IsEmpty());
  EXPECT_EQ(small.GetNumberOfPixels(), 0);
}

TEST(ImageData, AdoptedBufferAndInfo) {
  nuqImageInfo info;
  info.m_iDimension = 2;
  info.m_iSize[0] = 3, info.m_iSize[1] = 2, info.m_iSize[2] = 7;  // z beyond the dimension
  info.m_fSpacing[0] = 0.5f;
  info.m_strFileName = "given.nii";
  nuqImageDataT<short> v;
  short *data = new short[6]{1, 2, 3, 4, 5, 6};
  ASSERT_TRUE(v.SetImageData(data, &info));
  EXPECT_EQ(v.GetImageData(), data);
  EXPECT_EQ(v.GetSizeArray()[2], 1);
  EXPECT_EQ(v.GetNumberOfPixels(), 6);
  EXPECT_EQ(v.GetPixelGreyscale(2, 1), 6);
  EXPECT_EQ(v.GetFileName(), "") << "file name comes with SetImageInfo";

  const float spacing[4] = {2, 0, 1e-21f, 3};
  ASSERT_TRUE(v.SetImageSpacing(spacing));
  EXPECT_EQ(v.GetSpacingArray()[0], 2);
  EXPECT_EQ(v.GetSpacingArray()[1], 1);
  EXPECT_EQ(v.GetSpacingArray()[3], 3);

  v.ReleaseImage();
  EXPECT_TRUE(v.IsEmpty());
  EXPECT_EQ(v.GetSizeArray()[0], 0);

  testing::internal::CaptureStderr();
  v.GetImageInfo(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: get image info\n");
}

TEST(ImageData, AlignGridTo) {
  nuqImageInfo other;
  other.m_iDimension = 3;
  for (int d = 0; d < 3; ++d) other.m_iSize[d] = 21, other.m_fSpacing[d] = 1;
  other.m_fQuaternC = 0.6f;
  other.m_fQuaternOffset[0] = 4, other.m_fQuaternOffset[1] = -5, other.m_fQuaternOffset[2] = 6;
  other.UpdateOrientation(-2);

  nuqImageDataT<float> v;
  nuqImageInfo plain;
  const float spacing[4] = {2, 2, 2, 1};
  ASSERT_TRUE(v.NewImage(3, kSize10, spacing, &plain));
  for (int mode : {0, 1, 2}) {
    SCOPED_TRACE(mode);
    v.AlignGridTo(&other, mode);
    const float own = mode == 1 ? 4.5f : (mode == 2 ? 9.0f : 0.0f);
    const float theirs = mode == 1 ? 10.0f : (mode == 2 ? 20.0f : 0.0f);
    float p[4] = {own, own, own, 0}, q[4] = {theirs, theirs, theirs, 0};
    v.GridToWorld(p);
    other.GridToWorld(q);
    for (int d = 0; d < 3; ++d) EXPECT_NEAR(p[d], q[d], 1e-4) << d;
    // Other's orientation, own spacing.
    float a[4] = {0, 0, 0, 0}, b[4] = {1, 0, 0, 0};
    v.GridToWorld(a);
    v.GridToWorld(b);
    EXPECT_NEAR(VectorDistance(a, b, 3), 2.0f, 1e-5);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        EXPECT_NEAR(v.GetInfo()->m_fRotationMatrix[i][j], other.m_fRotationMatrix[i][j], 1e-5);
  }
}
