// Gaussian smoothing (kernel width, weights, borders, separability, in
// place, output grid) and the distance map against a brute-force distance
// on random anisotropic label volumes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "nuqConsole.h"
#include "nuqImageData.h"
#include "nuqImageInfo.h"
#include "nuqImageProcess.h"

namespace {

template <class T>
void MakeVolume(nuqImageDataT<T> &v, int dimension, const int *size, const float *spacing,
                const nuqImageInfo *placement = nullptr) {
  nuqImageInfo fresh;
  ASSERT_TRUE(v.NewImage(dimension, size, spacing, placement ? placement : &fresh));
}

const float kUnit[4] = {1, 1, 1, 1};

// Normalised Gaussian weights for offsets -c..c.
std::vector<double> ExpectedKernel(double sigma, int c) {
  std::vector<double> w;
  double sum = 0;
  for (int k = -c; k <= c; ++k) {
    w.push_back(std::exp(-0.5 * k * k / (sigma * sigma)));
    sum += w.back();
  }
  for (double &x : w) x /= sum;
  return w;
}

struct VerbosityGuard {
  int saved = g_nVerbose;
  ~VerbosityGuard() { g_nVerbose = saved; }
};

TEST(Gaussian, ImpulseGivesFiveTapKernelAndNarrowSigmaSkipsTheAxis) {
  const int size[4] = {11, 3, 1, 1};
  nuqImageDataT<float> v, out;
  MakeVolume(v, 2, size, kUnit);
  v.SetPixelByGreyscale(5, 1, 0, 0, 1.0f);
  nuqImageProcessGaussianT<float, float> gauss;
  gauss.SetSigma(0, 1.0f);
  gauss.SetSigma(1, 0.4f);  // C = floor(0.8) = 0: y left alone
  gauss.SetKernelRadiusFactor(2.0f);
  gauss.SetImages(&v, &out);
  VerbosityGuard guard;
  g_nVerbose = 2;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(gauss.Run());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "debug: dimension 0 kernal size 5\ndebug: dimension 1 kernal size 1\n");
  ASSERT_TRUE(out.IsSameGrid(&v));
  const std::vector<double> w = ExpectedKernel(1.0, 2);
  double sum = 0;
  for (int x = 0; x < 11; ++x) {
    const float got = out.GetPixelGreyscale(x, 1, 0, 0);
    const double expected = (x >= 3 && x <= 7) ? w[x - 3] : 0.0;
    EXPECT_NEAR(got, expected, 1e-6) << x;
    sum += got;
    EXPECT_FLOAT_EQ(out.GetPixelGreyscale(x, 0, 0, 0), 0.0f);  // nothing spread along y
  }
  EXPECT_NEAR(sum, 1.0, 1e-6);
  EXPECT_FLOAT_EQ(out.GetPixelGreyscale(3, 1, 0, 0), out.GetPixelGreyscale(7, 1, 0, 0));
  EXPECT_FLOAT_EQ(out.GetPixelGreyscale(4, 1, 0, 0), out.GetPixelGreyscale(6, 1, 0, 0));
}

TEST(Gaussian, SeparableImpulseKeepsItsSumAndConstantsStayConstant) {
  const int size[4] = {9, 8, 7, 1};
  nuqImageDataT<float> v, out;
  MakeVolume(v, 3, size, kUnit);
  v.SetPixelByGreyscale(4, 4, 3, 0, 50.0f);
  nuqImageProcessGaussianT<float, float> gauss;
  const float sigma[4] = {1.0f, 0.6f, 1.2f, 5.0f};  // C = 2, 1, 2; t is not an axis here
  gauss.SetSigma(sigma);
  gauss.SetImages(&v, &out);
  ASSERT_TRUE(gauss.Run());
  const std::vector<double> kx = ExpectedKernel(1.0, 2), ky = ExpectedKernel(0.6, 1),
                            kz = ExpectedKernel(1.2, 2);
  double sum = 0;
  for (int z = 0; z < 7; ++z)
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 9; ++x) {
        const int dx = x - 4, dy = y - 4, dz = z - 3;
        const double e = (std::abs(dx) <= 2 && std::abs(dy) <= 1 && std::abs(dz) <= 2)
                             ? 50.0 * kx[dx + 2] * ky[dy + 1] * kz[dz + 2]
                             : 0.0;
        EXPECT_NEAR(out.GetPixelGreyscale(x, y, z, 0), e, 1e-5);
        sum += out.GetPixelGreyscale(x, y, z, 0);
      }
  EXPECT_NEAR(sum, 50.0, 1e-4);

  for (int i = 0; i < v.GetNumberOfPixels(); ++i) v.SetPixelGreyscaleByIndex(i, 3.25f);
  ASSERT_TRUE(gauss.Run());
  for (int i = 0; i < out.GetNumberOfPixels(); ++i)
    ASSERT_NEAR(out.GetPixelGreyscaleByIndex(i), 3.25f, 1e-5) << i;
}

TEST(Gaussian, InPlaceEqualsSeparateOutputAndOutputTakesTheInputGrid) {
  nuqImageInfo placement;
  placement.m_fQuaternB = 0.2f;
  placement.m_fQuaternOffset[0] = -4.0f;
  placement.UpdateOrientation(-2);
  const int size[4] = {6, 5, 4, 1};
  const float spacing[4] = {2, 1, 0.5f, 1};
  nuqImageDataT<float> v;
  MakeVolume(v, 3, size, spacing, &placement);
  std::srand(3);
  for (int i = 0; i < v.GetNumberOfPixels(); ++i)
    v.SetPixelGreyscaleByIndex(i, float(std::rand() % 100) - 50.0f);
  nuqImageDataT<float> original, out;
  v.Clone(&original);
  const int small[4] = {2, 2, 2, 1};
  MakeVolume(out, 3, small, kUnit);
  nuqImageProcessGaussianT<float, float> gauss;
  const float sigma[4] = {1.0f, 1.5f, 2.0f, 0.0f};
  gauss.SetSigma(sigma);
  gauss.SetImages(&v, &out);
  ASSERT_TRUE(gauss.Run());
  ASSERT_TRUE(out.IsSameGrid(&v));
  EXPECT_TRUE(out.GetInfo()->IsSameQuaternion(v.GetInfo()));
  gauss.SetImages(&v, &v);
  ASSERT_TRUE(gauss.Run());
  int changed = 0;
  for (int i = 0; i < v.GetNumberOfPixels(); ++i) {
    EXPECT_FLOAT_EQ(v.GetPixelGreyscaleByIndex(i), out.GetPixelGreyscaleByIndex(i)) << i;
    changed += v.GetPixelGreyscaleByIndex(i) != original.GetPixelGreyscaleByIndex(i);
  }
  // Smoothing changed the voxels, so the comparison above is not vacuous.
  EXPECT_GT(changed, v.GetNumberOfPixels() / 2);
}

TEST(Gaussian, RefusalsAndIntegerOutputs) {
  nuqImageProcessGaussianT<float, float> gauss;
  EXPECT_FALSE(gauss.Run());
  nuqImageDataT<float> v, empty;
  const int size[4] = {5, 1, 1, 1};
  MakeVolume(v, 2, size, kUnit);
  gauss.SetImages(&v, nullptr);
  EXPECT_FALSE(gauss.Run());
  gauss.SetImages(&empty, &v);
  EXPECT_FALSE(gauss.Run());
  gauss.SetSigma(0, 1e30f);
  gauss.SetImages(&v, &v);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(gauss.Run());
  EXPECT_NE(testing::internal::GetCapturedStderr().find("error: "), std::string::npos);

  // A short volume: results are rounded half away from zero.
  nuqImageDataT<short> s;
  MakeVolume(s, 2, size, kUnit);
  const short row[5] = {-10, -10, 0, 10, 10};
  for (int x = 0; x < 5; ++x) s.SetPixelGreyscaleByIndex(x, row[x]);
  nuqImageProcessGaussianT<short, float> gs;
  gs.SetSigma(0, 0.5f);  // C = 1
  gs.SetImages(&s, &s);
  ASSERT_TRUE(gs.Run());
  const double w1 = std::exp(-2.0) / (1 + 2 * std::exp(-2.0));  // weight of each neighbour
  const short expected[5] = {-10, short(std::lround(-10 + 10 * w1)), 0,
                             short(std::lround(10 - 10 * w1)), 10};
  for (int x = 0; x < 5; ++x) EXPECT_EQ(s.GetPixelGreyscaleByIndex(x), expected[x]) << x;
}

// Squared distance in mm from every voxel to the nearest voxel outside the
// selected set, by trying every pair; +inf when there is none.
std::vector<double> BruteForce(const std::vector<int> &labels, const int *n, const float *s,
                               int lower, int upper, bool inside) {
  const int count = n[0] * n[1] * n[2];
  std::vector<double> d(count, std::numeric_limits<double>::infinity());
  auto selected = [&](int i) { return (labels[i] >= lower && labels[i] <= upper) == inside; };
  for (int i = 0; i < count; ++i) {
    if (!selected(i)) {
      d[i] = 0;
      continue;
    }
    const int xi = i % n[0], yi = (i / n[0]) % n[1], zi = i / (n[0] * n[1]);
    for (int j = 0; j < count; ++j) {
      if (selected(j)) continue;
      const double dx = (xi - j % n[0]) * double(s[0]), dy = (yi - (j / n[0]) % n[1]) * double(s[1]),
                   dz = (zi - j / (n[0] * n[1])) * double(s[2]);
      d[i] = std::min(d[i], dx * dx + dy * dy + dz * dz);
    }
  }
  return d;
}

TEST(DistanceMap, MatchesBruteForceOnRandomAnisotropicLabels) {
  struct Case {
    const char *name;
    int dimension;
    int size[4];
    float spacing[4];
    int lower, upper;
    bool inside;
    int percentSelected;
  };
  const Case cases[] = {
      {"3-D sparse region, outside", 3, {9, 7, 6, 1}, {2, 1, 0.5f, 1}, 1, 32000, false, 97},
      {"3-D half labels, outside", 3, {8, 9, 5, 1}, {2, 1, 0.5f, 1}, 1, 32000, false, 50},
      {"3-D label range, inside", 3, {7, 6, 8, 1}, {0.5f, 2, 1, 1}, 2, 3, true, 60},
      {"2-D sparse, outside", 2, {13, 11, 1, 1}, {2, 1, 1, 1}, 1, 32000, false, 95},
      {"2-D dense, inside", 2, {10, 12, 1, 1}, {1, 0.5f, 1, 1}, 1, 32000, true, 80},
      {"3-D single feature", 3, {6, 6, 6, 1}, {1.5f, 0.75f, 3, 1}, 1, 32000, false, 100},
  };
  std::srand(11);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    nuqImageDataT<short> labels;
    MakeVolume(labels, c.dimension, c.size, c.spacing);
    const int count = labels.GetNumberOfPixels();
    std::vector<int> values(count);
    for (int i = 0; i < count; ++i) {
      // Selected voxels (for the case's inside flag) at about the given rate.
      const bool wantSelected = std::rand() % 100 < c.percentSelected;
      const int inRange = c.lower + std::rand() % (c.upper - c.lower + 1 < 3 ? c.upper - c.lower + 1 : 3);
      const int outOfRange = (std::rand() % 2) ? c.lower - 1 : c.upper + 1;
      values[i] = (wantSelected == c.inside) ? inRange : outOfRange;
      if (c.percentSelected == 100) values[i] = c.inside ? c.lower : 0;
    }
    if (c.percentSelected == 100) values[count / 2 + 1] = c.inside ? c.upper + 1 : c.lower;
    for (int i = 0; i < count; ++i) labels.SetPixelGreyscaleByIndex(i, short(values[i]));
    const std::vector<double> expected =
        BruteForce(values, c.size, c.spacing, c.lower, c.upper, c.inside);
    bool anyPositive = false;
    for (bool squared : {true, false}) {
      nuqImageDataT<float> map;
      ASSERT_TRUE(ComputeDistanceMap(&labels, &map, c.lower, c.upper, c.inside, squared));
      ASSERT_TRUE(map.GetInfo()->IsSameGrid(labels.GetInfo()));
      for (int i = 0; i < count; ++i) {
        const double e = squared ? expected[i] : std::sqrt(expected[i]);
        ASSERT_NEAR(map.GetPixelGreyscaleByIndex(i), e, 1e-5 * (1 + e)) << "voxel " << i;
        anyPositive = anyPositive || e > 0;
      }
    }
    EXPECT_TRUE(anyPositive);
  }
}

TEST(DistanceMap, OneLabelledVoxelWithSpacingTwoOneOne) {
  const int size[4] = {5, 5, 5, 1};
  const float spacing[4] = {2, 1, 1, 1};
  nuqImageDataT<short> labels;
  MakeVolume(labels, 3, size, spacing);
  labels.SetPixelByGreyscale(2, 2, 2, 0, 7);
  nuqImageDataT<float> map;
  ASSERT_TRUE(ComputeDistanceMap(&labels, &map, 1, 32000, false, false));
  EXPECT_FLOAT_EQ(map.GetPixelGreyscale(2, 2, 2, 0), 0.0f);
  EXPECT_FLOAT_EQ(map.GetPixelGreyscale(1, 2, 2, 0), 2.0f);
  EXPECT_FLOAT_EQ(map.GetPixelGreyscale(3, 2, 2, 0), 2.0f);
  EXPECT_FLOAT_EQ(map.GetPixelGreyscale(2, 1, 2, 0), 1.0f);
  EXPECT_FLOAT_EQ(map.GetPixelGreyscale(2, 3, 2, 0), 1.0f);
  EXPECT_FLOAT_EQ(map.GetPixelGreyscale(0, 0, 0, 0), std::sqrt(16.0f + 4 + 4));
}

TEST(DistanceMap, NothingOutsideTheSelectedSetGivesTheLargestDistance) {
  const int size[4] = {4, 3, 2, 1};
  nuqImageDataT<short> labels;
  MakeVolume(labels, 3, size, kUnit);
  nuqImageDataT<float> map;
  // No voxel is labelled: every voxel is far from the (empty) region.
  ASSERT_TRUE(ComputeDistanceMap(&labels, &map, 1, 32000, false, true));
  for (int i = 0; i < map.GetNumberOfPixels(); ++i)
    EXPECT_FLOAT_EQ(map.GetPixelGreyscaleByIndex(i), 2147483647.0f);
  ASSERT_TRUE(ComputeDistanceMap(&labels, &map, 1, 32000, false, false));
  for (int i = 0; i < map.GetNumberOfPixels(); ++i)
    EXPECT_FLOAT_EQ(map.GetPixelGreyscaleByIndex(i), std::sqrt(2147483647.0f));
  // Every voxel in range and inside true: the same.
  ASSERT_TRUE(ComputeDistanceMap(&labels, &map, -5, 5, true, true));
  EXPECT_FLOAT_EQ(map.GetPixelGreyscaleByIndex(0), 2147483647.0f);
  // Inside true with nothing in range: all zero.
  ASSERT_TRUE(ComputeDistanceMap(&labels, &map, 1, 5, true, true));
  EXPECT_FLOAT_EQ(map.GetMaxGreyscale(), 0.0f);
}

TEST(DistanceMap, OutputTakesThePlacementAndFramesAreSeparate) {
  nuqImageInfo placement;
  placement.m_fQuaternC = 0.3f;
  placement.m_fQuaternD = -0.1f;
  placement.m_fQuaternOffset[1] = 9.0f;
  placement.UpdateOrientation(-2);
  const int size[4] = {5, 4, 3, 2};
  const float spacing[4] = {1.5f, 1, 2, 1};
  nuqImageDataT<short> labels;
  MakeVolume(labels, 4, size, spacing, &placement);
  labels.SetPixelByGreyscale(0, 0, 0, 0, 1);  // frame 0: corner voxel
  labels.SetPixelByGreyscale(4, 3, 2, 1, 1);  // frame 1: opposite corner
  nuqImageDataT<float> map;
  const int other[4] = {2, 2, 2, 1};
  MakeVolume(map, 3, other, kUnit);
  ASSERT_TRUE(ComputeDistanceMap(&labels, &map, 1, 1, false, true));
  ASSERT_TRUE(map.GetInfo()->IsSameGrid(labels.GetInfo()));
  float a[4] = {1, 2, 1, 0}, b[4] = {1, 2, 1, 0};
  map.GridToWorld(a);
  labels.GridToWorld(b);
  for (int d = 0; d < 3; ++d) EXPECT_NEAR(a[d], b[d], 1e-4) << d;
  EXPECT_FLOAT_EQ(map.GetPixelGreyscale(4, 3, 2, 0), 6 * 6 + 3 * 3 + 4 * 4);
  EXPECT_FLOAT_EQ(map.GetPixelGreyscale(4, 3, 2, 1), 0.0f);
  EXPECT_FLOAT_EQ(map.GetPixelGreyscale(0, 0, 0, 1), 6 * 6 + 3 * 3 + 4 * 4);

  EXPECT_FALSE(ComputeDistanceMap<short>(nullptr, &map, 1, 1, false, true));
  EXPECT_FALSE(ComputeDistanceMap(&labels, nullptr, 1, 1, false, true));
  // A float volume may be turned into its own map.
  nuqImageDataT<float> self;
  const int row[4] = {4, 1, 1, 1};
  MakeVolume(self, 2, row, kUnit);
  self.SetPixelGreyscaleByIndex(3, 1.0f);
  ASSERT_TRUE(ComputeDistanceMap(&self, &self, 1, 1, false, true));
  EXPECT_FLOAT_EQ(self.GetPixelGreyscaleByIndex(0), 9.0f);
  EXPECT_FLOAT_EQ(self.GetPixelGreyscaleByIndex(3), 0.0f);
}

}  // namespace
