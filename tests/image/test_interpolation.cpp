// Image models: nearest and linear sampling with clamping, gradients and
// partial differentials, resampling to a spacing or a grid, and the warp
// family with and without transforms (background, negative values, storing
// rule, in place).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>

#include "nuqImageData.h"
#include "nuqImageInfo.h"
#include "nuqImageModeling.h"
#include "nuqTransformBase.h"

namespace {

// A volume of the given grid at index 0 = world 0, axis-aligned.
template <class T>
void MakeVolume(nuqImageDataT<T> &v, int dimension, int nx, int ny, int nz, int nt,
                const float *spacing = nullptr) {
  const int size[4] = {nx, ny, nz, nt};
  const float one[4] = {1, 1, 1, 1};
  nuqImageInfo placement;
  ASSERT_TRUE(v.NewImage(dimension, size, spacing ? spacing : one, &placement));
}

// An oblique placement: rotated about a tilted axis, index 0 away from 0.
void ObliqueInfo(nuqImageInfo &info) {
  info.m_fQuaternB = 0.1f;
  info.m_fQuaternC = -0.2f;
  info.m_fQuaternD = 0.3f;
  info.m_fQuaternOffset[0] = 12.5f;
  info.m_fQuaternOffset[1] = -7.0f;
  info.m_fQuaternOffset[2] = 3.25f;
  info.UpdateOrientation(-2);
}

// Translation by a fixed world vector; its inverse subtracts it.
class TranslationForTest : public nuqTransformBase {
 public:
  TranslationForTest(float x, float y, float z) : m_fShift{x, y, z} { SetDimension(3); }
  void TransformWorldToWorld(const float *in, float *out) override {
    for (int d = 0; d < 3; ++d) out[d] = in[d] + m_fShift[d];
  }
  void InverseTransformWorldToWorld(const float *in, float *out) override {
    for (int d = 0; d < 3; ++d) out[d] = in[d] - m_fShift[d];
  }
  bool SetIdentity() override {
    m_fShift[0] = m_fShift[1] = m_fShift[2] = 0;
    return true;
  }
  int GetNumberOfParameters() const override { return 3; }
  float GetParameterValue(int i) const override { return m_fShift[i]; }
  bool SetParameterValue(int i, float v) override {
    m_fShift[i] = v;
    return true;
  }

 private:
  float m_fShift[3];
};

template <class T>
class ModelTypes : public ::testing::Test {};
using VoxelTypes = ::testing::Types<short, float, char>;
TYPED_TEST_SUITE(ModelTypes, VoxelTypes);

// v(0,0,0) = 0 and v(1,0,0) = 10 on a 2x2x2 grid, other voxels 20.
TYPED_TEST(ModelTypes, LinearAndNearestValuesAndClamping) {
  nuqImageDataT<TypeParam> v;
  MakeVolume(v, 3, 2, 2, 2, 1);
  for (int i = 0; i < 8; ++i) v.SetPixelGreyscaleByIndex(i, TypeParam(20));
  v.SetPixelByGreyscale(0, 0, 0, 0, TypeParam(0));
  v.SetPixelByGreyscale(1, 0, 0, 0, TypeParam(10));
  nuqImageModelingBaseT<TypeParam, float> nearest(&v);
  nuqImageModelingLinearT<TypeParam, float> linear(&v);

  struct Case {
    const char *name;
    const nuqImageModelingBaseT<TypeParam, float> *model;
    float x, y, z;
    float expected;
  };
  const Case cases[] = {
      {"linear quarter", &linear, 0.25f, 0, 0, 2.5f},
      {"linear at the last voxel", &linear, 1, 0, 0, 10},
      {"linear below the grid", &linear, -3, 0, 0, 0},
      {"linear beyond the grid", &linear, 1 + 5, 0, 0, 10},
      {"linear mid cell", &linear, 0.5f, 0.5f, 0.5f, (0 + 10 + 6 * 20) / 8.0f},
      {"nearest 0.49", &nearest, 0.49f, 0, 0, 0},
      {"nearest 0.5", &nearest, 0.5f, 0, 0, 10},
      {"nearest below the grid", &nearest, -3, 0, 0, 0},
      {"nearest beyond the grid", &nearest, 1 + 5, 0, 0, 10},
      {"nearest rounds y up", &nearest, 0, 0.5f, 0, 20},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FLOAT_EQ(c.model->GetPixelGreyscaleClamped(c.x, c.y, c.z, 0), c.expected);
    EXPECT_FLOAT_EQ(c.model->GetPixelGreyscaleAt(c.x, c.y, c.z, 0), c.expected);
  }
  // Inside the grid the unchecked reads agree with the clamped one.
  EXPECT_FLOAT_EQ(linear.GetPixelGreyscale4D(0.25f, 0, 0, 0), 2.5f);
  EXPECT_FLOAT_EQ(linear.GetPixelGreyscale3D(0.25f, 0, 0), 2.5f);
  EXPECT_FLOAT_EQ(linear.GetValue3D(1, 0, 0), 10.0f);
  EXPECT_FLOAT_EQ(nearest.GetPixelGreyscale3D(0.5f, 0, 0), 10.0f);
  // A clone keeps the class and the volume.
  std::unique_ptr<nuqImageModelingBaseT<TypeParam, float>> clone(linear.Clone());
  EXPECT_EQ(clone->GetImage(), &v);
  EXPECT_FLOAT_EQ(clone->GetPixelGreyscaleAt(0.25f, 0, 0, 0), 2.5f);
}

// Linear interpolation reproduces an affine function exactly, in 2, 3 and 4
// dimensions, and holds the border value beyond the grid.
TEST(LinearModel, ReproducesAffineFunctionsInEveryDimension) {
  std::srand(7);
  for (int dimension = 2; dimension <= 4; ++dimension) {
    SCOPED_TRACE(dimension);
    const int n[4] = {5, 4, dimension >= 3 ? 3 : 1, dimension == 4 ? 3 : 1};
    nuqImageDataT<float> v;
    MakeVolume(v, dimension, n[0], n[1], n[2], n[3]);
    auto f = [](float x, float y, float z, float t) { return 1.5f + 2 * x - 3 * y + 0.5f * z + 4 * t; };
    for (int t = 0; t < n[3]; ++t)
      for (int z = 0; z < n[2]; ++z)
        for (int y = 0; y < n[1]; ++y)
          for (int x = 0; x < n[0]; ++x) v.SetPixelByGreyscale(x, y, z, t, f(x, y, z, t));
    nuqImageModelingLinearT<float, float> linear(&v);
    for (int i = 0; i < 50; ++i) {
      float p[4];
      for (int d = 0; d < 4; ++d) p[d] = (n[d] - 1) * float(std::rand()) / RAND_MAX;
      EXPECT_NEAR(linear.GetPixelGreyscaleAt(p[0], p[1], p[2], p[3]), f(p[0], p[1], p[2], p[3]), 1e-4);
      EXPECT_NEAR(linear.GetPixelGreyscale4D(p[0], p[1], p[2], p[3]), f(p[0], p[1], p[2], p[3]), 1e-4);
    }
    const float last = f(n[0] - 1, 0, 0, 0);
    EXPECT_FLOAT_EQ(linear.GetPixelGreyscaleAt(n[0] + 3.0f, -2, -1, -1), last);
  }
}

TEST(ModelGradients, WorldGradientAndPartialDifferentialWithSpacingTwo) {
  const float spacing[4] = {2, 2, 2, 1};
  nuqImageDataT<float> v;
  MakeVolume(v, 3, 6, 5, 4, 1, spacing);
  // value = 2 * world x, with world x = 2 * index x
  for (int z = 0; z < 4; ++z)
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 6; ++x) v.SetPixelByGreyscale(x, y, z, 0, 4.0f * x);
  nuqImageModelingLinearT<float, float> linear(&v);
  float grad[4] = {-1, -1, -1, -1};
  linear.GetWorldGradient(grad, 5.0f, 4.0f, 3.0f, 0.0f);
  EXPECT_FLOAT_EQ(grad[0], 2.0f);
  EXPECT_FLOAT_EQ(grad[1], 0.0f);
  EXPECT_FLOAT_EQ(grad[2], 0.0f);
  EXPECT_FLOAT_EQ(grad[3], -1.0f);  // only the volume's dimensions are written
  float gridGrad[4] = {0, 0, 0, 0};
  linear.GetGridGradient(gridGrad, 2.5f, 2.0f, 1.5f, 0.0f);
  EXPECT_FLOAT_EQ(gridGrad[0], 2.0f);
  EXPECT_FLOAT_EQ(linear.GetGradientMagnitude(2.5f, 2.0f, 1.5f, 0.0f), 2.0f);
  EXPECT_FLOAT_EQ(linear.GetPartialDifferential(0, 2.0f, 2.0f, 1.0f, 0.0f), 2.0f);
  EXPECT_FLOAT_EQ(linear.GetPartialDifferential(1, 2.0f, 2.0f, 1.0f, 0.0f), 0.0f);
  // At the borders the clamped samples halve the difference.
  EXPECT_FLOAT_EQ(linear.GetMaxGradientMagnitude(), 2.0f);
  EXPECT_FLOAT_EQ(linear.GetMinGradientMagnitude(), 1.0f);
}

TEST(ModelGradients, NonPositiveSpacingAndMissingVolumeAreReported) {
  const float spacing[4] = {1, 1, 0, 1};
  nuqImageDataT<short> v;
  MakeVolume(v, 3, 3, 3, 3, 1, spacing);
  nuqImageModelingLinearT<short, float> linear(&v);
  float grad[4] = {7, 7, 7, 7};
  testing::internal::CaptureStderr();
  linear.GetWorldGradient(grad, 1, 1, 0, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: get gradient of dimension 2 which has 0 mm spacing\n");
  EXPECT_FLOAT_EQ(grad[0], 0.0f);
  EXPECT_FLOAT_EQ(grad[2], 7.0f);
  testing::internal::CaptureStderr();
  EXPECT_FLOAT_EQ(linear.GetPartialDifferential(2, 1, 1, 0, 0), 0.0f);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: get differential of dimension 2 which has 0 mm spacing\n");

  nuqImageModelingBaseT<short, float> unbound;
  testing::internal::CaptureStderr();
  unbound.GetWorldGradient(grad, 0, 0, 0, 0);
  EXPECT_FLOAT_EQ(unbound.GetPartialDifferential(0, 0, 0, 0, 0), 0.0f);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: have not set image before getting gradient\n"
            "error: have not set image before getting partial differential\n");
  EXPECT_FLOAT_EQ(unbound.GetWorldPixelGreyscale(0, 0, 0, 0), 0.0f);
  EXPECT_FLOAT_EQ(unbound.GetPixelGreyscaleAt(0, 0, 0, 0), 0.0f);
}

TEST(ModelResampling, ToSpacingKeepsIndexZeroAndSamplesTheWorld) {
  nuqImageInfo info;
  ObliqueInfo(info);
  const int size[4] = {10, 3, 2, 1};
  const float spacing[4] = {1, 1, 1, 1};
  nuqImageDataT<float> v;
  ASSERT_TRUE(v.NewImage(3, size, spacing, &info));
  v.SetDataType(GIPL_FLOAT);
  for (int z = 0; z < 2; ++z)
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 10; ++x) v.SetPixelByGreyscale(x, y, z, 0, 3.0f * x + 100.0f * y);
  float before[4] = {0, 0, 0, 0};
  v.GridToWorld(before);

  nuqImageModelingLinearT<float, float> linear(&v);
  const float wanted[4] = {2, 1, 1, 1};
  ASSERT_TRUE(linear.ResampleToSpacing(wanted));
  EXPECT_EQ(v.GetSizeArray()[0], 6);
  EXPECT_EQ(v.GetSizeArray()[1], 3);
  EXPECT_EQ(v.GetSizeArray()[2], 2);
  EXPECT_FLOAT_EQ(v.GetSpacingArray()[0], 2.0f);
  float after[4] = {0, 0, 0, 0};
  v.GridToWorld(after);
  for (int d = 0; d < 3; ++d) EXPECT_NEAR(after[d], before[d], 1e-4) << d;
  // New voxel i lies at old index 2i; index 5 (old 10) is beyond the old grid.
  for (int i = 0; i < 6; ++i)
    EXPECT_NEAR(v.GetPixelGreyscale(i, 1, 0, 0), (i < 5 ? 6.0f * i : 27.0f) + 100.0f, 1e-3) << i;
  // Resampling to the spacing it has already changes nothing.
  ASSERT_TRUE(linear.ResampleToSpacing(wanted));
  EXPECT_EQ(v.GetSizeArray()[0], 6);

  const float bad[4] = {0, 1, 1, 1};
  testing::internal::CaptureStderr();
  EXPECT_FALSE(linear.ResampleToSpacing(bad));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("error: "), std::string::npos);
  EXPECT_EQ(v.GetSizeArray()[0], 6);
  nuqImageModelingLinearT<float, float> unbound;
  EXPECT_FALSE(unbound.ResampleToSpacing(wanted));
}

TEST(ModelResampling, ToGridOwnInfoDoesNothingOtherGridSamplesWorld) {
  nuqImageDataT<short> v;
  MakeVolume(v, 3, 4, 3, 2, 1);
  for (int i = 0; i < 24; ++i) v.SetPixelGreyscaleByIndex(i, short(i - 5));
  nuqImageModelingLinearT<short, float> linear(&v);
  nuqImageInfo own;
  v.GetImageInfo(&own);
  ASSERT_TRUE(linear.ResampleToGrid(&own));
  for (int i = 0; i < 24; ++i) EXPECT_EQ(v.GetPixelGreyscaleByIndex(i), short(i - 5));
  EXPECT_FALSE(linear.ResampleToGrid(nullptr));

  // A grid of twice the size at half the spacing: voxel 2i+1 falls between
  // old voxels i and i+1; the far half lies outside and gets the background.
  nuqImageInfo finer;
  v.GetImageInfo(&finer);
  finer.m_iSize[0] = 8;
  finer.m_fSpacing[0] = 0.5f;
  finer.UpdateOrientation(-2);
  ASSERT_TRUE(linear.ResampleToGrid(&finer));
  ASSERT_EQ(v.GetSizeArray()[0], 8);
  EXPECT_EQ(v.GetPixelGreyscale(0, 1, 1, 0), short(4 + 12 - 5));
  EXPECT_EQ(v.GetPixelGreyscale(1, 1, 1, 0), short(std::lround(4.5 + 12 - 5)));  // 11.5 -> 12
  EXPECT_EQ(v.GetPixelGreyscale(6, 1, 1, 0), short(3 + 4 + 12 - 5));
  EXPECT_EQ(v.GetPixelGreyscale(7, 1, 1, 0), short(-5));  // beyond: min(0, smallest) = -5
}

struct WarpCase {
  const char *name;
  float shiftX;   // world translation of the transform (none when 0 and !useTransform)
  bool useTransform;
  int operation;  // 0 WarpImage, 1 Clamped, 2 Mirrored, 3 Inverse, 4 InverseClamped
  short expected[6];
};

// Source row x = 0..5 holds 10x - 20 (negative values included), spacing 1.
TEST(ModelWarp, FamilyWithAndWithoutTransform) {
  const WarpCase cases[] = {
      {"identity copies negatives", 0, false, 0, {-20, -10, 0, 10, 20, 30}},
      {"shift 2 background is the minimum", 2, true, 0, {0, 10, 20, 30, -20, -20}},
      {"shift 2 clamped", 2, true, 1, {0, 10, 20, 30, 30, 30}},
      {"shift 2 mirrored", 2, true, 2, {0, 10, 20, 30, 20, 10}},
      {"inverse of shift -2", -2, true, 3, {0, 10, 20, 30, -20, -20}},
      {"inverse clamped of shift 1.5", -1.5f, true, 4, {-5, 5, 15, 25, 30, 30}},
  };
  nuqImageDataT<short> source;
  MakeVolume(source, 3, 6, 2, 2, 1);
  for (int z = 0; z < 2; ++z)
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 6; ++x) source.SetPixelByGreyscale(x, y, z, 0, short(10 * x - 20));
  nuqImageModelingLinearT<short, float> linear(&source);
  for (const WarpCase &c : cases) {
    SCOPED_TRACE(c.name);
    nuqImageDataT<short> out;
    MakeVolume(out, 3, 6, 2, 2, 1);
    TranslationForTest shift(c.shiftX, 0, 0);
    nuqTransformBase *t = c.useTransform ? &shift : nullptr;
    bool ok = false;
    switch (c.operation) {
      case 0: ok = linear.WarpImage(&out, t); break;
      case 1: ok = linear.WarpImageClamped(&out, t); break;
      case 2: ok = linear.WarpImageMirrored(&out, t); break;
      case 3: ok = linear.WarpImageInverse(&out, t); break;
      default: ok = linear.WarpImageInverseClamped(&out, t); break;
    }
    ASSERT_TRUE(ok);
    for (int x = 0; x < 6; ++x) EXPECT_EQ(out.GetPixelGreyscale(x, 1, 1, 0), c.expected[x]) << x;
  }
}

TEST(ModelWarp, BackgroundIsZeroForNonNegativeSources) {
  nuqImageDataT<float> source;
  MakeVolume(source, 2, 4, 4, 1, 1);
  for (int i = 0; i < 16; ++i) source.SetPixelGreyscaleByIndex(i, 5.0f + i);
  nuqImageModelingBaseT<float, float> nearest(&source);
  TranslationForTest shift(0, 10, 0);
  nuqImageDataT<float> out;
  MakeVolume(out, 2, 4, 4, 1, 1);
  for (int i = 0; i < 16; ++i) out.SetPixelGreyscaleByIndex(i, 99.0f);
  ASSERT_TRUE(nearest.WarpImage(&out, &shift));
  for (int i = 0; i < 16; ++i) EXPECT_FLOAT_EQ(out.GetPixelGreyscaleByIndex(i), 0.0f);
}

// Values between integers are rounded half away from zero for integer
// voxels; a float volume keeps them whatever its data type code.
TEST(ModelWarp, StoringRule) {
  nuqImageDataT<short> shorts;
  MakeVolume(shorts, 2, 3, 1, 1, 1);
  const short row[3] = {-5, 0, 5};
  for (int x = 0; x < 3; ++x) shorts.SetPixelGreyscaleByIndex(x, row[x]);
  nuqImageModelingLinearT<short, float> linear(&shorts);
  TranslationForTest half(0.5f, 0, 0);
  nuqImageDataT<short> out;
  MakeVolume(out, 2, 3, 1, 1, 1);
  ASSERT_TRUE(linear.WarpImageClamped(&out, &half));
  EXPECT_EQ(out.GetPixelGreyscaleByIndex(0), -3);  // -2.5
  EXPECT_EQ(out.GetPixelGreyscaleByIndex(1), 3);   // 2.5
  EXPECT_EQ(out.GetPixelGreyscaleByIndex(2), 5);
  // A float-coded short source is truncated toward zero.
  shorts.SetDataType(GIPL_FLOAT);
  ASSERT_TRUE(linear.WarpImageClamped(&out, &half));
  EXPECT_EQ(out.GetPixelGreyscaleByIndex(0), -2);
  EXPECT_EQ(out.GetPixelGreyscaleByIndex(1), 2);

  nuqImageDataT<float> floats;
  MakeVolume(floats, 2, 3, 1, 1, 1);
  floats.SetDataType(GIPL_SHORT);
  for (int x = 0; x < 3; ++x) floats.SetPixelGreyscaleByIndex(x, row[x]);
  nuqImageModelingLinearT<float, float> linearF(&floats);
  nuqImageDataT<float> outF;
  MakeVolume(outF, 2, 3, 1, 1, 1);
  ASSERT_TRUE(linearF.WarpImageClamped(&outF, &half));
  EXPECT_FLOAT_EQ(outF.GetPixelGreyscaleByIndex(0), -2.5f);
  EXPECT_FLOAT_EQ(outF.GetPixelGreyscaleByIndex(1), 2.5f);

  // Values beyond the range of the voxel type are held at its limits.
  EXPECT_EQ(nuqStoreVoxelValue<short>(1e9, true), 32767);
  EXPECT_EQ(nuqStoreVoxelValue<short>(-1e9, true), -32768);
  EXPECT_EQ(nuqStoreVoxelValue<char>(std::nan(""), true), 0);
  EXPECT_EQ(nuqStoreVoxelValue<char>(2.6, true), 3);
  EXPECT_EQ(nuqStoreVoxelValue<char>(-2.6, false), -2);
}

TEST(ModelWarp, ByTransformsChainsAndFillsOutside) {
  nuqImageDataT<short> source;
  MakeVolume(source, 3, 6, 1, 1, 1);
  for (int x = 0; x < 6; ++x) source.SetPixelGreyscaleByIndex(x, short(10 * x + 1));
  nuqImageModelingLinearT<short, float> linear(&source);
  TranslationForTest a(1, 0, 0), b(2, 0, 0);
  nuqTransformBase *chain[3] = {&a, nullptr, &b};
  nuqImageDataT<short> out;
  MakeVolume(out, 3, 6, 1, 1, 1);
  out.SetDataType(GIPL_SHORT);
  ASSERT_TRUE(linear.WarpImageByTransforms(&out, chain, 3, true, -7));
  const short withValue[6] = {31, 41, 51, -7, -7, -7};
  for (int x = 0; x < 6; ++x) EXPECT_EQ(out.GetPixelGreyscaleByIndex(x), withValue[x]) << x;
  ASSERT_TRUE(linear.WarpImageByTransforms(&out, chain, 3, false, -7));
  const short nearest[6] = {31, 41, 51, 51, 51, 51};
  for (int x = 0; x < 6; ++x) EXPECT_EQ(out.GetPixelGreyscaleByIndex(x), nearest[x]) << x;
  // No transforms: the identity.
  ASSERT_TRUE(linear.WarpImageByTransforms(&out, nullptr, 0, true, -7));
  for (int x = 0; x < 6; ++x) EXPECT_EQ(out.GetPixelGreyscaleByIndex(x), short(10 * x + 1));
}

TEST(ModelWarp, RefusalsAndInPlace) {
  nuqImageDataT<short> source;
  MakeVolume(source, 3, 5, 1, 1, 1);
  for (int x = 0; x < 5; ++x) source.SetPixelGreyscaleByIndex(x, short(x * x));
  nuqImageModelingBaseT<short, float> nearest(&source);
  nuqImageDataT<short> empty;
  EXPECT_FALSE(nearest.WarpImage(nullptr));
  EXPECT_FALSE(nearest.WarpImage(&empty));
  nuqImageModelingBaseT<short, float> unbound;
  nuqImageDataT<short> out;
  MakeVolume(out, 3, 5, 1, 1, 1);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(unbound.WarpImage(&out));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("error: "), std::string::npos);
  // Warping a volume into itself reads the original voxels only.
  TranslationForTest shift(1, 0, 0);
  ASSERT_TRUE(nearest.WarpImageClamped(&source, &shift));
  const short expected[5] = {1, 4, 9, 16, 16};
  for (int x = 0; x < 5; ++x) EXPECT_EQ(source.GetPixelGreyscaleByIndex(x), expected[x]) << x;
}

// Mirrored and background reads of single points.
TEST(ModelPoints, MirroredAndBackgroundReads) {
  nuqImageDataT<float> v;
  MakeVolume(v, 3, 4, 1, 1, 1);
  for (int x = 0; x < 4; ++x) v.SetPixelGreyscaleByIndex(x, float(x));
  nuqImageModelingLinearT<float, float> linear(&v);
  const nuqImageModelingBaseT<float, float> &asBase = linear;
  EXPECT_FLOAT_EQ(linear.GetPixelGreyscaleMirrored(-1.5f, 0, 0, 0), 1.5f);
  EXPECT_FLOAT_EQ(linear.GetPixelGreyscaleMirrored(4.0f, 0, 0, 0), 2.0f);
  EXPECT_FLOAT_EQ(linear.GetPixelGreyscaleMirrored(3.0f + 6 * 100 + 0.5f, 0, 0, 0), 2.5f);
  EXPECT_FLOAT_EQ(asBase.GetPixelGreyscaleMirrored(-1.5f, 0, 0, 0), 1.5f);
  EXPECT_FLOAT_EQ(linear.GetPixelGreyscaleOrBackground(-9, 3.0005f, 0, 0, 0), 3.0f);
  EXPECT_FLOAT_EQ(linear.GetPixelGreyscaleOrBackground(-9, 3.2f, 0, 0, 0), -9.0f);
  EXPECT_FLOAT_EQ(asBase.GetWorldPixelGreyscaleOrBackground(-9, 1.25f, 0, 0, 0), 1.25f);
  EXPECT_FLOAT_EQ(asBase.GetWorldPixelGreyscale(1.25f, 0, 0, 0), 1.25f);
}

}  // namespace
