// Inverse of a transform as a field: forward sampling with fill-in and
// distance weights, the scattered-data variant, the refined point mapping,
// and the inverse consistency they reach on a smooth deformation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "nuqConsole.h"
#include "nuqTestSupport.h"
#include "nuqTransformAffine.h"
#include "nuqTransformFFD.h"
#include "nuqTransformFields.h"
#include "nuqTransformIterateInverse.h"
#include "nuqTransformIterateInverseGrid.h"
#include "nuqTransformIterateInverseSDI.h"

namespace {

// Quiet unless a test wants the progress lines.
struct QuietVerbosity {
  int saved = g_nVerbose;
  QuietVerbosity() { g_nVerbose = 0; }
  ~QuietVerbosity() { g_nVerbose = saved; }
};

// Exposes the search radii and the fill-in bookkeeping.
template <class Base>
class Probe : public Base {
 public:
  void SetRadii(int lo, int hi) {
    this->m_iMinSearchRadius = lo;
    this->m_iMaxSearchRadius = hi;
  }
  int Filled() const { return this->m_iFilledInLastSweep; }
  const int *RoiFrom() const { return this->m_aiROIFrom; }
  const int *RoiTo() const { return this->m_aiROITo; }
};
using IterProbe = Probe<nuqTransformIterateInverse>;
using SdiProbe = Probe<nuqTransformIterateInverseSDI>;

// Axis-aligned grid, index 0 at world 0.
void SetGrid(nuqTransformIterateInverse &inverse, int nx, int ny, int nz, float hx = 1,
             float hy = 1, float hz = 1, int dim = 3) {
  nuqImageInfo orientation;
  const int size[4] = {nx, ny, nz, 1};
  const float spacing[4] = {hx, hy, hz, 1};
  inverse.SetFieldGrid(dim, size, spacing, &orientation);
}

std::unique_ptr<nuqTransformAffine> Translation(float a, float b, float c) {
  auto affine = std::make_unique<nuqTransformAffine>();
  affine->SetDimension(3);
  const float t[3] = {a, b, c};
  EXPECT_TRUE(affine->SetTranslation(t));
  return affine;
}

float Component(nuqTransformFields &field, int c, int x, int y, int z) {
  return field.GetTransformFields()[c].GetPixelGreyscale(x, y, z);
}

// Largest |component c - value| over the grid.
float LargestDeviation(nuqTransformFields &field, int c, float value) {
  nuqImageDataT<float> &v = field.GetTransformFields()[c];
  float worst = 0;
  for (int i = 0; i < v.GetNumberOfPixels(); ++i)
    worst = std::fmax(worst, std::fabs(v.GetImageData()[i] - value));
  return worst;
}

TEST(IterateInverse, IdentityAndTranslationGiveExactDisplacements) {
  QuietVerbosity quiet;
  struct Case {
    float a, b, c;
  } cases[] = {{0, 0, 0}, {0.3f, -0.7f, 1.25f}, {2.0f, 0.0f, -3.5f}};
  for (const Case &k : cases) {
    SCOPED_TRACE(testing::Message() << k.a << " " << k.b << " " << k.c);
    auto t = Translation(k.a, k.b, k.c);
    IterProbe inverse;
    inverse.SetTransform(t.get());
    SetGrid(inverse, 9, 8, 7, 1.0f, 1.5f, 0.75f);
    ASSERT_TRUE(inverse.ComputeInverseByDistanceInterpolate());
    // Every voxel receives a candidate directly or by fill-in here.
    EXPECT_LT(LargestDeviation(inverse, 0, -k.a), 1e-5f);
    EXPECT_LT(LargestDeviation(inverse, 1, -k.b), 1e-5f);
    EXPECT_LT(LargestDeviation(inverse, 2, -k.c), 1e-5f);
    // The default region is stored: one cell beyond the grid on each side.
    EXPECT_EQ(inverse.RoiFrom()[0], -1);
    EXPECT_EQ(inverse.RoiTo()[0], 9);
    EXPECT_EQ(inverse.RoiTo()[2], 7);
  }
}

TEST(IterateInverse, SdiIdentityGivesZeros) {
  QuietVerbosity quiet;
  auto t = Translation(0, 0, 0);
  nuqTransformIterateInverseSDI inverse;
  inverse.SetTransform(t.get());
  SetGrid(inverse, 7, 6, 5, 1.0f, 2.0f, 1.5f);
  ASSERT_TRUE(inverse.ComputeInverseByDistanceInterpolate());
  for (int c = 0; c < 3; ++c) EXPECT_LT(LargestDeviation(inverse, c, 0), 1e-4f) << c;
}

TEST(IterateInverse, WeightedAverageTakesExactHitAloneAndSkipsEmptyRoles) {
  nuqTransformIterateInverse inverse;
  inverse.SetDimension(3);
  float u[8][4] = {};
  for (int k = 0; k < 8; ++k)
    for (int c = 0; c < 3; ++c) u[k][c] = float(10 * k + c);
  float out[4] = {9, 9, 9, 9};
  // Role 5 is an exact hit: it decides whatever comes before or after.
  const float withHit[8] = {0.5f, 2, -1, 1, 3, 0, 0.25f, 4};
  inverse.WeightedAverageByDistance(out, u, withHit);
  EXPECT_FLOAT_EQ(out[0], 50);
  EXPECT_FLOAT_EQ(out[2], 52);
  // Only roles 1 and 4 have candidates: weights d^-1.2 with d2 = 1 and 4.
  const float two[8] = {-1, 1, -1, -1, 4, -1, -1, -1};
  inverse.WeightedAverageByDistance(out, u, two);
  const float w4 = std::pow(2.0f, -1.2f);
  EXPECT_NEAR(out[0], (10 + w4 * 40) / (1 + w4), 1e-4);
  EXPECT_NEAR(out[1], (11 + w4 * 41) / (1 + w4), 1e-4);
  // No candidate at all: zero displacement.
  const float none[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  inverse.WeightedAverageByDistance(out, u, none);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(out[2], 0);
}

TEST(IterateInverse, SamplingStepsFollowJacobianAndFactor) {
  nuqTransformIterateInverse inverse;
  const float h[4] = {1, 2, 3, 1};
  struct Case {
    float J[4];
    float f;
    float step[3];
  } cases[] = {
      {{1, 1, 1, 0}, 1.0f, {0.5f, 1.0f, 1.5f}},     // identity: half a voxel
      {{1, 1, 1, 0}, 0.5f, {0.25f, 0.5f, 0.75f}},   // f = 0.5 halves the steps
      {{1, 1, 1, 0}, 2.0f, {1.0f, 2.0f, 3.0f}},     // f = 2 doubles them
      {{3, 1, 1, 0}, 1.0f, {0.25f, 1.0f, 1.5f}},    // x stretched: 4 samples on x
      {{0.4f, 2.5f, 1, 0}, 1.0f, {0.5f, 0.25f, 0.75f}},  // r = 1.4, 7.25, 3.5
      {{1000, 1, 1, 0}, 2.0f, {0.02f, 2.0f, 3.0f}}, // floor 0.01 x h x f
      {{0, 1, 1, 0}, 1.0f, {1.0f, 1.0f, 1.0f}},     // degenerate: 1 mm
      {{NAN, 1, 1, 0}, 1.0f, {1.0f, 1.0f, 1.0f}},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(testing::Message() << k.J[0] << " " << k.J[1] << " f " << k.f);
    inverse.SetSamplingFactor(k.f);
    float step[4];
    inverse.ComputeSamplingSteps(step, k.J, h);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(step[i], k.step[i], 1e-6) << i;
  }
}

TEST(IterateInverse, JacobianDiagonalOfAScaling) {
  nuqTransformAffine affine;
  affine.SetDimension(3);
  const float scaling[3] = {2.0f, 0.5f, -1.5f};
  ASSERT_TRUE(affine.SetScaling(scaling));
  nuqTransformIterateInverse inverse;
  inverse.SetDimension(3);
  const float p[4] = {3, -2, 7, 0}, h[4] = {1, 2, 0.5f, 1};
  float J[4];
  inverse.GetJacobianDiagonal(J, &affine, p, h);
  EXPECT_NEAR(J[0], 2.0f, 1e-4);
  EXPECT_NEAR(J[1], 0.5f, 1e-4);
  EXPECT_NEAR(J[2], 1.5f, 1e-4);
  EXPECT_EQ(J[3], 0);
}

TEST(IterateInverse, ExactHitTakesThatSample) {
  // The identity in y and z and a shift of 0.5 voxel on x: samples on the
  // half-voxel lattice land exactly on voxels.
  QuietVerbosity quiet;
  auto t = Translation(0.5f, 0, 0);
  nuqTransformIterateInverse inverse;
  inverse.SetTransform(t.get());
  SetGrid(inverse, 6, 5, 4);
  ASSERT_TRUE(inverse.ComputeInverseByDistanceInterpolate());
  EXPECT_FLOAT_EQ(Component(inverse, 0, 3, 2, 2), -0.5f);
  EXPECT_FLOAT_EQ(Component(inverse, 1, 3, 2, 2), 0.0f);
}

TEST(IterateInverse, PointMappingOnGridIsStoredValueAndRefinedOffGrid) {
  QuietVerbosity quiet;
  auto t = Translation(0.8f, -0.4f, 0.3f);
  nuqTransformIterateInverse inverse;
  inverse.SetTransform(t.get());
  SetGrid(inverse, 10, 10, 10);
  // Before any computation the field is zero: grid points stay put.
  const float onGrid[4] = {4, 5, 6, 0};
  float out[4] = {0, 0, 0, 0};
  inverse.TransformWorldToWorld(onGrid, out);
  EXPECT_EQ(out[0], 4);
  EXPECT_EQ(out[1], 5);
  EXPECT_EQ(out[2], 6);

  ASSERT_TRUE(inverse.ComputeInverseByDistanceInterpolate());
  // A stored voxel, changed by hand, is returned exactly at its grid point.
  inverse.GetTransformFields()[0].SetPixelByGreyscale(4, 5, 6, 0, 0.123f);
  inverse.TransformWorldToWorld(onGrid, out);
  EXPECT_EQ(out[0], 4 + 0.123f);
  EXPECT_FLOAT_EQ(out[1], 5 + 0.4f);

  // Off the grid the point is refined against T: T(out) comes back near x.
  const float x[4] = {4.37f, 5.61f, 3.2f, 0};
  inverse.TransformWorldToWorld(x, out);
  EXPECT_NEAR(out[0], x[0] - 0.8f, 0.05f);
  EXPECT_NEAR(out[1], x[1] + 0.4f, 0.05f);
  EXPECT_NEAR(out[2], x[2] - 0.3f, 0.05f);
}

TEST(IterateInverse, TransformMappingEverythingAwayEndsWithZeros) {
  QuietVerbosity quiet;
  auto away = Translation(1000, 0, 0);
  IterProbe iterative;
  SdiProbe sdi;
  nuqTransformIterateInverse *methods[2] = {&iterative, &sdi};
  for (nuqTransformIterateInverse *inverse : methods) {
    inverse->SetTransform(away.get());
    SetGrid(*inverse, 6, 5, 4);
    ASSERT_TRUE(inverse->ComputeInverseByDistanceInterpolate());
    for (int c = 0; c < 3; ++c) EXPECT_EQ(LargestDeviation(*inverse, c, 0), 0) << c;
  }
  EXPECT_EQ(iterative.Filled(), 0);
}

TEST(IterateInverse, FillInSweepCountsAndFills) {
  // Only the region's lowest cells are sampled: the rest is reached by
  // fill-in, the last sweep counts the roles that stay empty at the border.
  QuietVerbosity quiet;
  auto t = Translation(0.3f, 0.2f, 0.1f);
  IterProbe inverse;
  inverse.SetTransform(t.get());
  SetGrid(inverse, 6, 6, 6);
  const int from[3] = {-1, -1, -1}, to[3] = {1, 5, 5};
  inverse.SetROI(3, from, to);
  testing::internal::CaptureStdout();
  g_nVerbose = 1;
  ASSERT_TRUE(inverse.ComputeInverseByDistanceInterpolate());
  g_nVerbose = 0;
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("success: new the temporary images \n"), std::string::npos);
  EXPECT_NE(out.find("success: ForwardTransformToRefGrid \n"), std::string::npos);
  EXPECT_NE(out.find("success: 8 neighbour interpolation finished 216 of 216 ref image grid \n"),
            std::string::npos);
  // More than one sweep was needed and the loop stopped.
  int sweeps = 0;
  for (size_t at = out.find("success: FillInFindInverse "); at != std::string::npos;
       at = out.find("success: FillInFindInverse ", at + 1))
    ++sweeps;
  EXPECT_GE(sweeps, 2);
  // Voxels beyond the region got the translation by fill-in.
  EXPECT_NEAR(Component(inverse, 0, 5, 3, 3), -0.3f, 1e-5);
  EXPECT_NEAR(Component(inverse, 2, 5, 3, 3), -0.1f, 1e-5);
}

TEST(IterateInverse, RefusesWhatItCannotCompute) {
  QuietVerbosity quiet;
  auto t = Translation(1, 0, 0);
  {
    nuqTransformIterateInverse noTransform;
    SetGrid(noTransform, 4, 4, 4);
    EXPECT_FALSE(noTransform.ComputeInverseByDistanceInterpolate());
    nuqTransformIterateInverseSDI noGrid;
    noGrid.SetTransform(t.get());
    EXPECT_FALSE(noGrid.ComputeInverseByDistanceInterpolate());
  }
  // A 2-D grid and factors that would never end fail instead of stopping
  // the process or looping.
  struct Case {
    int dim;
    float f;
  } cases[] = {{2, 1.0f}, {3, 0.0f}, {3, -0.5f}, {3, 0.001f}, {3, NAN}, {3, INFINITY}};
  for (const Case &k : cases) {
    SCOPED_TRACE(testing::Message() << "dim " << k.dim << " f " << k.f);
    for (int sdi = 0; sdi < 2; ++sdi) {
      std::unique_ptr<nuqTransformIterateInverse> inverse(
          sdi ? new nuqTransformIterateInverseSDI() : new nuqTransformIterateInverse());
      inverse->SetTransform(t.get());
      SetGrid(*inverse, 4, 4, k.dim > 2 ? 4 : 1, 1, 1, 1, k.dim);
      inverse->SetSamplingFactor(k.f);
      testing::internal::CaptureStderr();
      EXPECT_FALSE(inverse->ComputeInverseByDistanceInterpolate());
      EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("error: ", 0), 0u);
    }
  }
}

TEST(IterateInverseSDI, ExactHitWeighsOneE16) {
  nuqTransformIterateInverseSDI inverse;
  SetGrid(inverse, 4, 4, 4, 2.0f, 2.0f, 2.0f);
  nuqImageDataT<float> W, X, Y, Z;
  for (nuqImageDataT<float> *v : {&W, &X, &Y, &Z})
    ASSERT_TRUE(v->NewImage(inverse.GetTransformFields()[0].GetInfo()));
  const float s[4] = {1.5f, 2.5f, 3.5f, 0}, index[4] = {1, 2, 1, 0};
  for (int k = 0; k < 8; ++k)
    inverse.UpdateNearestSample(s, s, index, k & 1, (k >> 1) & 1, (k >> 2) & 1,
                                &inverse.GetTransformFields()[0], &W, &X, &Y, &Z);
  EXPECT_FLOAT_EQ(W.GetPixelGreyscale(1, 2, 1), 1e16f);
  EXPECT_FLOAT_EQ(X.GetPixelGreyscale(1, 2, 1), 1e16f * 1.5f);
  // One voxel over on x: distance 2 mm, weight 2^-1.2.
  EXPECT_NEAR(W.GetPixelGreyscale(2, 2, 1), std::pow(2.0f, -1.2f), 1e-6);
  // The far corner: distance sqrt(12) mm.
  EXPECT_NEAR(W.GetPixelGreyscale(2, 3, 2), std::pow(12.0f, -0.6f), 1e-6);
  EXPECT_EQ(W.GetPixelGreyscale(0, 2, 1), 0);
}

TEST(IterateInverseSDI, GapPassRadii) {
  // One directly filled voxel at x = 0 of a 24 x 3 x 3 grid: the gap pass
  // reaches voxels within 2, 4, then 8 voxels (defaults) and no further.
  QuietVerbosity quiet;
  struct Case {
    int lo, hi, reach;
  } cases[] = {{2, 10, 8}, {2, 4, 4}, {1, 16, 16}, {3, 2, -1}};
  for (const Case &k : cases) {
    SCOPED_TRACE(testing::Message() << k.lo << ".." << k.hi);
    SdiProbe inverse;
    if (k.lo != 2 || k.hi != 10) inverse.SetRadii(k.lo, k.hi);
    SetGrid(inverse, 24, 3, 3);
    nuqImageDataT<float> W, X, Y, Z;
    for (nuqImageDataT<float> *v : {&W, &X, &Y, &Z})
      ASSERT_TRUE(v->NewImage(inverse.GetTransformFields()[0].GetInfo()));
    // Voxel (0, 1, 1) at world (0, 1, 1) holds the sample (0.5, 1.25, 0).
    W.SetPixelByGreyscale(0, 1, 1, 0, 2.0f);
    X.SetPixelByGreyscale(0, 1, 1, 0, 1.0f);
    Y.SetPixelByGreyscale(0, 1, 1, 0, 2.5f);
    Z.SetPixelByGreyscale(0, 1, 1, 0, 0.0f);
    inverse.DistanceWeightInterpolateByNeighbours(&W, &X, &Y, &Z);
    for (int x = 0; x < 24; ++x) {
      const bool reached = x <= k.reach;
      EXPECT_FLOAT_EQ(Component(inverse, 0, x, 1, 1), reached || x == 0 ? 0.5f : 0.0f) << x;
      EXPECT_FLOAT_EQ(Component(inverse, 1, x, 0, 2), reached ? 0.25f : 0.0f) << x;
      EXPECT_FLOAT_EQ(Component(inverse, 2, x, 2, 0), reached ? -1.0f : 0.0f) << x;
    }
  }
}

// A smooth FFD with displacements up to about 4 mm on a 1 mm grid; the
// inverse consistency |T(TI(p)) - p| of the resulting field (as saved: a
// plain field) over voxels at least 3 voxels inside the grid.
class InverseQuality : public testing::Test {
 protected:
  static const int kN[3];

  void SetUp() override {
    const float s = 8;
    int n[3];
    for (int i = 0; i < 3; ++i) n[i] = int(std::ceil((kN[i] - 1) / s)) + 1;
    std::string text = "#dimension#\n3\n#one to one#\n1\n#control grid size#\n";
    for (int i = 0; i < 3; ++i) text += std::to_string(n[i]) + "\n";
    text += "#control grid spacing#\n8\n8\n8\n#offsets of the control points#\n";
    const double pi = 3.14159265358979;
    char buffer[128];
    for (int z = 0; z < n[2]; ++z) {
      for (int y = 0; y < n[1]; ++y) {
        for (int x = 0; x < n[0]; ++x) {
          const double u = double(x) / (n[0] - 1), v = double(y) / (n[1] - 1),
                       w = double(z) / (n[2] - 1);
          std::snprintf(buffer, sizeof buffer, "%f %f %f ",
                        4 * std::sin(pi * u) * std::cos(pi * v),
                        4 * std::sin(pi * v + 1) * std::cos(pi * w),
                        4 * std::cos(pi * u) * std::sin(pi * w));
          text += buffer;
        }
        text += "\n";
      }
      text += "\n";
    }
    text += "#quaternion qf,qb,qc,qd,qx,qy,qz#\n1 0 0 0 0 0 0\n";
    nuqtest::WriteWholeFile(m_dir.File("w.FFD"), text);
    ASSERT_TRUE(m_ffd.ReadFromFile(m_dir.File("w.FFD")));
  }

  // Mean and maximum of |T(TI(p)) - p| over the interior; also the largest
  // forward displacement there.
  void Measure(nuqTransformIterateInverse &inverse, float &mean, float &worst, float &largest) {
    nuqTransformBase *saved = nullptr;
    inverse.CloneTo(saved);
    std::unique_ptr<nuqTransformBase> plain(saved);
    ASSERT_EQ(plain->GetTransformType(), "FLD");
    double sum = 0;
    int count = 0;
    worst = largest = 0;
    for (int z = 3; z < kN[2] - 3; ++z)
      for (int y = 3; y < kN[1] - 3; ++y)
        for (int x = 3; x < kN[0] - 3; ++x) {
          const float p[4] = {float(x), float(y), float(z), 0};
          float q[4] = {0, 0, 0, 0}, r[4] = {0, 0, 0, 0}, f[4] = {0, 0, 0, 0};
          plain->TransformWorldToWorld(p, q);
          m_ffd.TransformWorldToWorld(q, r);
          m_ffd.TransformWorldToWorld(p, f);
          const float e = std::sqrt((r[0] - p[0]) * (r[0] - p[0]) + (r[1] - p[1]) * (r[1] - p[1]) +
                                    (r[2] - p[2]) * (r[2] - p[2]));
          const float d = std::sqrt((f[0] - p[0]) * (f[0] - p[0]) + (f[1] - p[1]) * (f[1] - p[1]) +
                                    (f[2] - p[2]) * (f[2] - p[2]));
          sum += e;
          ++count;
          worst = std::fmax(worst, e);
          largest = std::fmax(largest, d);
        }
    mean = float(sum / count);
  }

  nuqtest::TempDir m_dir;
  nuqTransformFFD m_ffd;
};
const int InverseQuality::kN[3] = {40, 40, 32};

TEST_F(InverseQuality, BothMethodsAreConsistentOnASmoothDeformation) {
  QuietVerbosity quiet;
  struct Case {
    const char *name;
    bool sdi;
    float meanBound, maxBound;
  } cases[] = {{"iterative", false, 0.05f, 0.15f}, {"scattered-data", true, 0.15f, 0.5f}};
  for (const Case &k : cases) {
    std::unique_ptr<nuqTransformIterateInverse> inverse(
        k.sdi ? new nuqTransformIterateInverseSDI() : new nuqTransformIterateInverse());
    inverse->SetTransform(&m_ffd);
    SetGrid(*inverse, kN[0], kN[1], kN[2]);
    ASSERT_TRUE(inverse->ComputeInverseByDistanceInterpolate());
    float mean = 0, worst = 0, largest = 0;
    Measure(*inverse, mean, worst, largest);
    std::printf("[ figures  ] %s inverse: |T(TI(p)) - p| mean %.4f mm, max %.4f mm "
                "(largest displacement %.2f mm)\n",
                k.name, mean, worst, largest);
    RecordProperty(std::string(k.name) + "_mean_mm", std::to_string(mean));
    RecordProperty(std::string(k.name) + "_max_mm", std::to_string(worst));
    EXPECT_GT(largest, 3.0f) << "the deformation is not as large as intended";
    EXPECT_LT(mean, k.meanBound) << k.name;
    EXPECT_LT(worst, k.maxBound) << k.name;
  }
}

}  // namespace

// The forward pass finds the 8 corner voxels of a sample per axis and splits
// them between threads by row blocks. Whatever the split, the roles it gives
// must be exactly those of the per-role rule (same voxels, same distances to
// the bit), each owned by exactly one share: that is what keeps the inverse
// the same on any number of threads.
TEST(IterateInverse, CornerVoxelsMatchTheRoleRuleAndSplitWithoutOverlap) {
  nuqinverse::Grid g;
  g.n[0] = 7, g.n[1] = 40, g.n[2] = 5, g.n[3] = 1;
  g.h[0] = 1.5f, g.h[1] = 0.75f, g.h[2] = 2.0f;
  g.slice = g.n[0] * g.n[1];
  g.volume = g.slice * g.n[2];
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<std::vector<float>> points = {
      {0, 0, 0, 0},          {6, 39, 4, 0},        {-0.5f, 15.9f, 2.2f, 0},
      {5.99f, 16.0f, -0.3f, 0}, {3.3f, 31.5f, 4.5f, 0}, {-1.2f, 7.7f, 1.1f, 0},
      {2.5f, -1.0f, 1.0f, 0}, {2.5f, 39.5f, 1.0f, 0}, {1e30f, 3, 3, 0},
      {nan, 3, 3, 0},        {2, 3, 3, 1.5f},      {2, 3, 3, -0.5f}};
  unsigned seed = 99u;
  for (int i = 0; i < 200; ++i) {
    std::vector<float> p(4, 0.0f);
    for (int a = 0; a < 3; ++a) {
      seed = seed * 1103515245u + 12345u;
      p[a] = float((seed >> 8) & 0xFFFF) / 65535.0f * (g.n[a] + 2.0f) - 1.5f;
    }
    points.push_back(p);
  }
  for (const std::vector<float> &idx : points) {
    SCOPED_TRACE(testing::Message() << idx[0] << " " << idx[1] << " " << idx[2] << " " << idx[3]);
    nuqinverse::Corners all;
    const unsigned roles = nuqinverse::CornerVoxels(g, idx.data(), nuqinverse::Share(), all);
    for (int k = 0; k < 8; ++k) {
      int linear = -1;
      float d2 = -1;
      const bool valid = nuqinverse::RoleVoxel(g, idx.data(), k & 1, (k >> 1) & 1, (k >> 2) & 1,
                                               linear, d2);
      ASSERT_EQ(valid, (roles >> k & 1u) != 0) << "role " << k;
      if (!valid) continue;
      EXPECT_EQ(all.linear[k], linear) << "role " << k;
      EXPECT_EQ(std::memcmp(&all.d2[k], &d2, sizeof d2), 0) << "role " << k;
    }
    for (int parts = 2; parts <= 3; ++parts) {
      unsigned seen = 0;
      for (int part = 0; part < parts; ++part) {
        nuqinverse::Corners some;
        const unsigned owned = nuqinverse::CornerVoxels(g, idx.data(), {part, parts}, some);
        EXPECT_EQ(seen & owned, 0u) << "a role owned twice";
        seen |= owned;
        for (int k = 0; k < 8; ++k) {
          if (!(owned >> k & 1u)) continue;
          EXPECT_EQ(some.linear[k], all.linear[k]);
        }
      }
      EXPECT_EQ(seen, roles) << parts << " shares";
    }
  }
}
