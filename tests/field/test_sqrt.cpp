// Square root of a transform: the square-root metric and its analytic
// gradient, the gradient optimiser's rules and line search, the multi-level
// square root, powers, exponential and logarithm, and the quality of the
// root of a smooth free-form deformation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <sstream>
#include <string>

#include "nuqConsole.h"
#include "nuqImageData.h"
#include "nuqImageInfo.h"
#include "nuqMetricSquareRootTransform.h"
#include "nuqOptimizerGradient.h"
#include "nuqTransformFFD.h"
#include "nuqTransformFieldLogEuclidean.h"
#include "nuqTransformFields.h"

namespace {

struct Verbosity {
  int saved = g_nVerbose;
  explicit Verbosity(int level) { g_nVerbose = level; }
  ~Verbosity() { g_nVerbose = saved; }
};

// p -> p + t (first three coordinates).
class Translation : public nuqGradientBase {
 public:
  Translation(float x, float y, float z) : m_t{x, y, z} { m_iDimension = 3; }
  void TransformWorldToWorld(const float *in, float *out) override {
    for (int c = 0; c < 3; ++c) out[c] = in[c] + m_t[c];
  }
  bool SetIdentity() override { return true; }
  int GetNumberOfParameters() const override { return 0; }
  float GetParameterValue(int) const override { return 0; }
  bool SetParameterValue(int, float) override { return false; }

 private:
  float m_t[3];
};

// A short volume (values unused) with index 0 at world `origin`.
void MakeGrid(nuqImageDataT<short> &image, const int *size3, float spacing,
              const float *origin = nullptr) {
  nuqImageInfo placement;
  placement.SetDimension(3);
  for (int d = 0; d < 3; ++d) placement.m_fQuaternOffset[d] = origin ? origin[d] : 0.0f;
  placement.UpdateOrientation(-2);
  const int size[4] = {size3[0], size3[1], size3[2], 1};
  const float spacings[4] = {spacing, spacing, spacing, 1};
  ASSERT_TRUE(image.NewImage(3, size, spacings, &placement));
}

// A field on image's grid whose displacement at world p is f(p).
template <class F>
void FillField(nuqTransformFields &field, nuqImageDataT<short> &image, F f) {
  nuqImageInfo grid;
  image.GetInfo()->Clone(&grid);
  field.NewTransformFields(3, grid.m_iSize, grid.m_fSpacing, &grid);
  const int *n = grid.m_iSize;
  for (int z = 0; z < n[2]; ++z)
    for (int y = 0; y < n[1]; ++y)
      for (int x = 0; x < n[0]; ++x) {
        float p[4] = {float(x), float(y), float(z), 0};
        grid.GridToWorld(p);
        float u[3];
        f(p, u);
        for (int c = 0; c < 3; ++c) field.GetTransformFields()[c].SetPixelByGreyscale(x, y, z, 0, u[c]);
      }
}

float MaxAbs(nuqTransformFields &field, int c, float offset = 0) {
  const nuqImageDataT<float> &v = field.GetTransformFields()[c];
  float m = 0;
  for (int i = 0; i < v.GetNumberOfPixels(); ++i) m = std::max(m, std::fabs(v.GetImageData()[i] - offset));
  return m;
}

const int kSmall[3] = {8, 7, 6};

struct MetricFixture {
  nuqImageDataT<short> grid;
  nuqTransformFields root;
  nuqMetricSquareRootTransform metric;
  explicit MetricFixture(float spacing = 2.0f) {
    MakeGrid(grid, kSmall, spacing);
    metric.SetImages(&grid, &grid);
    metric.SetTransform(&root);
    metric.SetSamplingInterval(spacing, spacing, spacing, 0);
  }
};

TEST(SquareRootMetric, HalfOfATranslationFitsExactlyWithZeroGradient) {
  MetricFixture f;
  Translation t(3.0f, -2.0f, 1.5f);
  FillField(f.root, f.grid, [](const float *, float *u) { u[0] = 1.5f, u[1] = -1.0f, u[2] = 0.75f; });
  f.metric.SetTargetTransform(&t);
  double value = 1;
  EXPECT_EQ(f.metric.GetValue(value), 8 * 7 * 6);  // one sample per voxel
  EXPECT_EQ(value, 0.0);

  nuqTransformBase *container = nullptr;
  f.root.CloneTo(container);
  std::unique_ptr<nuqTransformBase> owned(container);
  container->SetAllParameters(7);  // must be overwritten everywhere
  int count = 0;
  ASSERT_TRUE(f.metric.ComputeDeltaCostFunction(container, value, count, nullptr));
  EXPECT_EQ(count, 8 * 7 * 6);
  EXPECT_EQ(container->GetMaxAbsParameter(), 0.0f);
}

// S(p) = (1 + a) p and T = identity: S(S(p)) - T(p) = ((1 + a)^2 - 1) p,
// D = a I, so the gradient is -2 (1 + a) ((1 + a)^2 - 1) p wherever S(p) stays
// inside the grid (linear fields are interpolated and differenced exactly).
TEST(SquareRootMetric, GradientOfAStretchAgainstTheIdentity) {
  MetricFixture f(1.0f);
  const float a = 0.1f;
  FillField(f.root, f.grid, [a](const float *p, float *u) {
    for (int c = 0; c < 3; ++c) u[c] = a * p[c];
  });
  Translation identity(0, 0, 0);
  f.metric.SetTargetTransform(&identity);
  nuqTransformFields gradient;
  nuqTransformBase *target = &gradient;
  f.root.CloneTo(target);
  double value = 0;
  int count = 0;
  ASSERT_TRUE(f.metric.ComputeDeltaCostFunction(&gradient, value, count, nullptr));
  const float k = -2.0f * (1 + a) * ((1 + a) * (1 + a) - 1);
  int checked = 0;
  for (int z = 1; z < 4; ++z)
    for (int y = 1; y < 4; ++y)
      for (int x = 1; x < 4; ++x) {
        const float p[3] = {float(x), float(y), float(z)};
        for (int c = 0; c < 3; ++c) {
          EXPECT_NEAR(gradient.GetTransformFields()[c].GetPixelGreyscale(x, y, z), k * p[c], 1e-4f);
          ++checked;
        }
      }
  EXPECT_EQ(checked, 81);
  // The value is minus the sum of squared residuals over all voxels.
  double expected = 0;
  for (int z = 0; z < kSmall[2]; ++z)
    for (int y = 0; y < kSmall[1]; ++y)
      for (int x = 0; x < kSmall[0]; ++x) {
        const float p[3] = {float(x), float(y), float(z)};
        for (int c = 0; c < 3; ++c) {
          // S(p) leaves the grid near the far corner: the border value is used.
          const float q = (1 + a) * p[c];
          const double r = q + a * std::min(q, float(kSmall[c] - 1)) - p[c];
          expected += r * r;
        }
      }
  EXPECT_NEAR(value, -expected, 1e-3 * expected);
}

TEST(SquareRootMetric, MissingPartsGiveNoSamplesAndNoGradient) {
  MetricFixture f;
  FillField(f.root, f.grid, [](const float *, float *u) { u[0] = u[1] = u[2] = 1; });
  double value = 5;
  EXPECT_EQ(f.metric.GetValue(value), 0);  // no target
  EXPECT_EQ(value, 0.0);
  nuqTransformFields gradient;
  nuqTransformBase *target = &gradient;
  f.root.CloneTo(target);
  gradient.SetAllParameters(3);
  int count = 0;
  EXPECT_FALSE(f.metric.ComputeDeltaCostFunction(&gradient, value, count, nullptr));
  EXPECT_EQ(gradient.GetMaxAbsParameter(), 3.0f);  // untouched
}

TEST(SquareRootMetric, SamplingIntervalReplacesNonPositiveValuesByOneMillimetre) {
  MetricFixture f(2.0f);
  f.metric.SetSamplingInterval(0.0f, -2.0f, 3.0f, 0.0f);
  const float *mm = f.metric.GetSamplingInterval();
  const float *voxels = f.metric.GetSamplingIntervalVoxels();
  const float expectedMm[4] = {1, 1, 3, 1};
  const float expectedVoxels[3] = {0.5f, 0.5f, 1.5f};
  for (int d = 0; d < 4; ++d) EXPECT_EQ(mm[d], expectedMm[d]) << d;
  for (int d = 0; d < 3; ++d) EXPECT_EQ(voxels[d], expectedVoxels[d]) << d;
  // Steps of half a voxel in x and y, 1.5 voxels in z: 15 x 13 x 4 samples.
  Translation t(0, 0, 0);
  f.metric.SetTargetTransform(&t);
  FillField(f.root, f.grid, [](const float *, float *u) { u[0] = u[1] = u[2] = 0; });
  double value = 0;
  EXPECT_EQ(f.metric.GetValue(value), 15 * 13 * 4);
  EXPECT_EQ(f.metric.GetMetricText(),
            "#dimension#\n3\n#physical sampling interval#\n1.000000\n1.000000\n3.000000\n");
}

TEST(SquareRootMetric, SwappedRegionWarnsAndIsSorted) {
  MetricFixture f(1.0f);
  const float from[4] = {5, 1, 4, 0}, to[4] = {2, 3, 1, 0};
  testing::internal::CaptureStderr();
  f.metric.SetROI(from, to);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "warning: roi test from should not greater than roi test to, hence swap to and from\n");
  float lo[4], hi[4];
  ASSERT_TRUE(f.metric.GetTestROI(lo, hi));
  const float expectedLo[3] = {2, 1, 1}, expectedHi[3] = {5, 3, 4};
  for (int d = 0; d < 3; ++d) {
    EXPECT_EQ(lo[d], expectedLo[d]) << d;
    EXPECT_EQ(hi[d], expectedHi[d]) << d;
  }
  Translation t(0, 0, 0);
  f.metric.SetTargetTransform(&t);
  FillField(f.root, f.grid, [](const float *, float *u) { u[0] = u[1] = u[2] = 0; });
  double value = 0;
  EXPECT_EQ(f.metric.GetValue(value), 4 * 3 * 4);
}

TEST(SquareRootMetric, TextReadsBackAndRefusesBrokenText) {
  nuqMetricSquareRootTransform metric;
  std::istringstream good("#dimension#\n2\n#physical sampling interval#\n1.5\n-4\n");
  ASSERT_TRUE(metric.ReadFromStream(good));
  EXPECT_EQ(metric.GetMetricText(),
            "#dimension#\n2\n#physical sampling interval#\n1.500000\n1.000000\n");
  for (const char *text : {"#dimension#\n3\n#physical sampling interval#\n1\n2\n", "", "9\n1\n"}) {
    std::istringstream bad(text);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(metric.ReadFromStream(bad)) << text;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "read nuqMetricBase stream error!\n");
  }
  EXPECT_EQ(metric.GetMetricName(), "_SquareRootTRANSFORM_");
  EXPECT_TRUE(metric.IsMetricName("x_SquareRootTRANSFORM_y"));
  EXPECT_FALSE(metric.IsMetricName("_SquareRoot"));
}

TEST(GradientOptimizer, MaxStepsSignControlsTheNoImprovementRule) {
  struct Case {
    int keep;  // the rule's setting before SetMaxSteps
    int steps;
    int maxSteps, noImprovement;
  } cases[] = {{6, -5, 5, 0}, {0, 7, 7, 6}, {-1, -5, 5, -1}, {-1, 4, 4, -1}};
  for (const Case &c : cases) {
    nuqOptimizerGradientField optimizer;
    optimizer.SetMaxNoImprovementSteps(c.keep);
    optimizer.SetMaxSteps(c.steps);
    EXPECT_EQ(optimizer.GetMaxSteps(), c.maxSteps) << c.steps;
    EXPECT_EQ(optimizer.GetMaxNoImprovementSteps(), c.noImprovement) << c.steps;
  }
}

// S = 0 against a translation by (tx, 0, 0): the best root is tx / 2.
struct OptimizerFixture {
  MetricFixture f;
  Translation t;
  nuqOptimizerGradientField optimizer;
  explicit OptimizerFixture(float tx) : t(tx, 0, 0) {
    FillField(f.root, f.grid, [](const float *, float *u) { u[0] = u[1] = u[2] = 0; });
    f.metric.SetTargetTransform(&t);
    optimizer.SetTransform(&f.root);
    optimizer.SetMetric(&f.metric);
  }
  // Unit direction +x at every voxel.
  void Advance(float step, float expectedAdvance, float expectedX) {
    nuqTransformFields direction;
    nuqTransformBase *target = &direction;
    f.root.CloneTo(target);
    direction.SetAllParameters(0);
    nuqImageDataT<float> &x = direction.GetTransformFields()[0];
    for (int i = 0; i < x.GetNumberOfPixels(); ++i) x.GetImageData()[i] = 1;
    optimizer.SetStepLength(step);
    EXPECT_EQ(optimizer.AdvanceAlongDirection(&direction), expectedAdvance);
    EXPECT_FLOAT_EQ(MaxAbs(f.root, 0), expectedX);
    EXPECT_FLOAT_EQ(MaxAbs(f.root, 0, expectedX), 0.0f);  // every voxel alike
  }
};

TEST(GradientOptimizer, LineSearchStepsBackHalfAUnitFromTheFirstStepThatDoesNotImprove) {
  Verbosity quiet(0);
  {
    // 10 mm overshoots the root at 0.1 mm at once.
    OptimizerFixture o(0.2f);
    o.optimizer.SetLineSearch(1);
    o.Advance(10.0f, 0.5f, 5.0f);
  }
  {
    // 0.25, 0.5, 0.75, 1 improve (1 is exact), 1.25 does not: back to 1.125.
    OptimizerFixture o(2.0f);
    o.optimizer.SetLineSearch(1);
    Verbosity loud(1);
    testing::internal::CaptureStdout();
    o.Advance(0.25f, 4.5f, 1.125f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "success: \t \t Advanced more 4 steps with value 0\n");
  }
  {
    // The line-search limit ends the search after its last improving step.
    OptimizerFixture o(2.0f);
    o.optimizer.SetLineSearch(1);
    o.optimizer.SetMaxLineSearchSteps(2);
    o.Advance(0.25f, 2.0f, 0.5f);
  }
  {
    // Without the line search one unit step is taken, whatever it does.
    OptimizerFixture o(0.2f);
    o.Advance(10.0f, 1.0f, 10.0f);
  }
}

TEST(GradientOptimizer, StepLengthKeepsItsRateAndJumpsToTheMinimum) {
  struct Case {
    float step, minimum, expected;
  } cases[] = {{0.3f, 0.1f, 0.3f}, {0.05f, 0.1f, 0.1f}, {0.3f, 0.5f, 0.5f}};
  Verbosity quiet(0);
  for (const Case &c : cases) {
    OptimizerFixture o(20.0f);  // the root at 10 mm is far beyond three steps
    o.optimizer.SetMaxSteps(3);
    o.optimizer.SetStepLength(c.step);
    o.optimizer.SetMinStepLength(c.minimum);
    o.optimizer.Run();
    EXPECT_EQ(o.optimizer.GetRegularRate(), 1.0f);
    EXPECT_EQ(o.optimizer.GetStepLength(), c.expected) << c.step << " " << c.minimum;
    EXPECT_EQ(o.optimizer.GetCurrentStep(), 3);
    EXPECT_FALSE(o.optimizer.IsStopped());  // ran out of steps
    EXPECT_FLOAT_EQ(MaxAbs(o.f.root, 0), 3 * c.expected);  // three unit steps of +x
  }
}

TEST(GradientOptimizer, ExactFitStopsAtTheFirstStepWithTheZeroGradientMessage) {
  OptimizerFixture o(0.0f);  // S = 0 is the exact root of the identity
  o.optimizer.SetMaxSteps(100);
  Verbosity debug(2);  // the field optimiser keeps its messages from 2 up
  testing::internal::CaptureStdout();
  o.optimizer.Run();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(o.optimizer.IsStopped());
  EXPECT_EQ(o.optimizer.GetCurrentStep(), 0);
  EXPECT_EQ(o.optimizer.GetValue(), 0.0);
  EXPECT_NE(out.find("\nsuccess: Optimisation Step:\t1\t of 100\n"), std::string::npos) << out;
  EXPECT_NE(out.find("success: \t curr searching length 1 \t similarity 0\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("debug: mag of pDeltaCostTransform 0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nsuccess: Reach zero gradient for stop 0\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Optimisation Step:\t2"), std::string::npos) << out;
}

TEST(GradientOptimizer, FieldRunIsQuietAtVerbosityOneAndRestoresItsLineSearch) {
  OptimizerFixture o(2.0f);
  o.optimizer.SetMaxSteps(2);
  o.optimizer.SetStepLength(0.25f);
  o.optimizer.SetLineSearch(1);
  o.optimizer.SetMaxLineSearchSteps(1);  // every search advances exactly 1
  Verbosity normal(1);
  testing::internal::CaptureStdout();
  o.optimizer.Run();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(g_nVerbose, 1);
  EXPECT_EQ(o.optimizer.GetLineSearch(), 1);
  EXPECT_FLOAT_EQ(MaxAbs(o.f.root, 0), 0.5f);
}

TEST(GradientOptimizer, MetricFailureEndsTheRunWithItsMessage) {
  OptimizerFixture o(2.0f);
  o.f.metric.SetTargetTransform(nullptr);
  o.optimizer.SetMaxSteps(5);
  Verbosity quiet(0);
  testing::internal::CaptureStderr();
  o.optimizer.Run();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: optimization failed due to metric get value and delta cost\n");
  EXPECT_EQ(MaxAbs(o.f.root, 0), 0.0f);
}

TEST(GradientOptimizer, TextReadsBackAndCloneCopiesTheSettings) {
  nuqOptimizerGradientField optimizer;
  optimizer.SetMaxSteps(12);
  optimizer.SetDirection(-1);
  optimizer.SetRegularRate(2);
  optimizer.SetMinStepLength(0.25f);
  optimizer.SetStepLength(1.5f);
  optimizer.SetRegriddingPortion(0.75f);
  const std::string text = optimizer.GetOptimizerText();
  EXPECT_EQ(text,
            "#max steps#\n12\n#current step#\n0\n#direction#\n-1.000000\n"
            "\n#regular rate#\n2.000000\n\n#regular min step length#\n0.250000\n"
            "\n#current step#\n1.500000\n\n#Regridding portion#\n0.750000\n");
  nuqOptimizerGradient read;
  std::istringstream in(text);
  ASSERT_TRUE(read.ReadFromStream(in));
  EXPECT_EQ(read.GetOptimizerText(), text);

  std::istringstream shortText("#max steps#\n12\n#current step#\n0\n#direction#\n1\n#rate#\n2\n");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(read.ReadFromStream(shortText));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: read nuqOptimizerGradient stream error!\n");
  std::istringstream empty("");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(read.ReadFromStream(empty));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "read nuqOptimizerBase stream error!\n");

  optimizer.SetLineSearch(1);
  optimizer.SetMaxLineSearchSteps(33);
  std::unique_ptr<nuqOptimizerBase> clone(optimizer.CloneTo(nullptr));
  auto *field = dynamic_cast<nuqOptimizerGradientField *>(clone.get());
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(field->GetOptimizerText(), text);
  EXPECT_EQ(field->GetLineSearch(), 1);
  EXPECT_EQ(field->GetMaxLineSearchSteps(), 33);
}

// The root's grid: 12 x 10 x 8 voxels of 2 mm away from the world origin.
struct RootFixture {
  nuqImageDataT<short> reference;
  nuqTransformFieldLogEuclidean root;
  RootFixture() {
    const int size[3] = {12, 10, 8};
    const float origin[3] = {-11, -9, -7};
    MakeGrid(reference, size, 2.0f, origin);
    root.SetImages(&reference, &reference);
  }
  // Every voxel of component c equals value.
  void ExpectConstant(int c, float value, float tolerance) {
    ASSERT_FALSE(root.GetTransformFields()[c].IsEmpty());
    EXPECT_NEAR(MaxAbs(root, c, value), 0.0f, tolerance) << "component " << c;
  }
};

TEST(SquareRootField, RootsOfTranslationsAndOfTheIdentity) {
  Verbosity quiet(-1);
  struct Case {
    float t[3];
    int n;
  } cases[] = {{{0, 0, 0}, 1}, {{3, -2, 1.5f}, 1}, {{4, 8, -2}, 2}};
  for (const Case &c : cases) {
    RootFixture r;
    Translation t(c.t[0], c.t[1], c.t[2]);
    r.root.SetTransform(&t);
    ASSERT_TRUE(r.root.ComputeSquareRootNTimes(c.n));
    EXPECT_EQ(r.root.GetTransform(), &t);  // restored after the passes
    const float scale = 1.0f / float(1 << c.n);
    for (int k = 0; k < 3; ++k) r.ExpectConstant(k, c.t[k] * scale, 1e-5f);
    EXPECT_TRUE(r.root.GetTransformFields()[0].GetInfo()->IsSameGrid(r.reference.GetInfo()));
  }
}

TEST(SquareRootField, EveryLevelOfTheIdentityStopsAtItsFirstStep) {
  RootFixture r;
  Translation identity(0, 0, 0);
  r.root.SetTransform(&identity);
  Verbosity debug(2);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(r.root.ComputeSquareRootNTimes(1));
  const std::string out = testing::internal::GetCapturedStdout();
  const char *levels[4] = {"\nsuccess: Optimization 1 of 4, with sampling 4 times, step length 0.4\n",
                           "\nsuccess: Optimization 2 of 4, with sampling 2 times, step length 0.2\n",
                           "\nsuccess: Optimization 3 of 4, with sampling 1.5 times, step length 0.15\n",
                           "\nsuccess: Optimization 4 of 4, with sampling 1 times, step length 0.1\n"};
  size_t at = 0;
  for (const char *level : levels) {
    at = out.find(level, at);
    ASSERT_NE(at, std::string::npos) << level << out;
    const size_t stop = out.find("\nsuccess: Reach zero gradient for stop 0\n", at);
    ASSERT_NE(stop, std::string::npos);
    EXPECT_EQ(out.substr(at, stop - at).find("Step:\t2"), std::string::npos);
  }
  // The level grids: 2 mm x factor over the same 22 x 18 x 14 mm extent.
  EXPECT_NE(out.find("debug: \t\t test roi0 0 0 to 3 3 2\n"), std::string::npos);    // 8 mm
  EXPECT_NE(out.find("debug: \t\t test roi0 0 0 to 6 5 4\n"), std::string::npos);    // 4 mm
  EXPECT_NE(out.find("debug: \t\t test roi0 0 0 to 8 6 5\n"), std::string::npos);    // 3 mm
  EXPECT_NE(out.find("debug: \t\t test roi0 0 0 to 11 9 7\n"), std::string::npos);   // 2 mm
  EXPECT_NE(out.find("success: compute square root transformation (1/2)^1 of (1/2)^1\n"),
            std::string::npos);
  for (int k = 0; k < 3; ++k) r.ExpectConstant(k, 0.0f, 0.0f);
}

TEST(SquareRootField, OneLevelRunsOnTheResultGridWithTheInitialStep) {
  RootFixture r;
  Translation t(1, 2, 3);
  r.root.SetTransform(&t);
  r.root.SetNumberOfLevels(1);
  r.root.SetInitialStepLength(0.3f);
  Verbosity normal(0);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(r.root.ComputeSquareRoot());
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("\nsuccess: Optimization 1 of 1, with sampling 1 times, step length 0.3\n"), 0u)
      << out;
  EXPECT_NE(out.find("\nsuccess: Used "), std::string::npos);
  EXPECT_EQ(out.find("2 of"), std::string::npos);
}

TEST(SquareRootField, FailuresAndTheRefusedCounts) {
  Verbosity quiet(0);
  {
    RootFixture r;
    EXPECT_FALSE(r.root.ComputeSquareRootNTimes(0));  // n < 1: silently refused
    testing::internal::CaptureStderr();
    EXPECT_FALSE(r.root.ComputeSquareRootNTimes(2));  // no transform
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "error: compute square root transformation (1/2)^1 of (1/2)^2\n");
    EXPECT_TRUE(r.root.GetTransformFields()[0].IsEmpty());
  }
  {
    nuqTransformFieldLogEuclidean root;  // a transform but no grid at all
    Translation t(1, 1, 1);
    root.SetTransform(&t);
    EXPECT_FALSE(root.PrepareGrid());
    EXPECT_FALSE(root.ComputePowerBySquaring(1));
    EXPECT_FALSE(root.ComputeExponential(2, 2, false));
    EXPECT_FALSE(root.SetNumberOfSquarings(0));
    EXPECT_TRUE(root.SetNumberOfSquarings(3));
    EXPECT_EQ(root.GetNumberOfSquarings(), 3);
  }
  RootFixture r;
  Translation t(1, 1, 1);
  r.root.SetTransform(&t);
  EXPECT_FALSE(r.root.ComputePowerBySquaring(0));
  EXPECT_FALSE(r.root.ComputeExponential(1, 0, false));
  EXPECT_FALSE(r.root.SetOptimizer(nullptr));
}

TEST(SquareRootField, PowersExponentialAndLogarithmOfATranslation) {
  Verbosity quiet(-1);
  const float t[3] = {1.5f, -0.5f, 2.0f};
  struct Case {
    const char *name;
    float factor;
  } cases[] = {{"power 2", 4}, {"exponential", 1}, {"exponential as is", 8}, {"log", 1},
               {"log keeping the root", 0.125f}, {"sampled", 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    RootFixture r;
    Translation translation(t[0], t[1], t[2]);
    r.root.SetTransform(&translation);
    const std::string name = c.name;
    bool ok = false;
    if (name == "power 2") ok = r.root.ComputePowerBySquaring(2);
    if (name == "exponential") ok = r.root.ComputeExponentialBySquaring(3, false);
    if (name == "exponential as is") ok = r.root.ComputeExponential(3, 1, true);
    if (name == "log") ok = r.root.ComputeLogarithm(3, false);
    if (name == "log keeping the root") ok = r.root.ComputeLogarithm(3, true);
    if (name == "sampled") ok = r.root.SampleTransformToGrid();
    ASSERT_TRUE(ok);
    for (int k = 0; k < 3; ++k) r.ExpectConstant(k, t[k] * c.factor, 2e-5f);
    EXPECT_TRUE(r.root.GetTransformFields()[0].GetInfo()->IsSameGrid(r.reference.GetInfo()));
  }
}

TEST(SquareRootField, CloneCopiesTheTransformAndStepButNotTheLevels) {
  RootFixture r;
  Translation t(1, 0, 0);
  r.root.SetTransform(&t);
  r.root.SetInitialStepLength(0.7f);
  r.root.SetNumberOfLevels(2);
  r.root.SetNumberOfSquarings(5);
  ASSERT_TRUE(r.root.SampleTransformToGrid());
  nuqTransformBase *copy = nullptr;
  r.root.CloneTo(copy);
  std::unique_ptr<nuqTransformBase> owned(copy);
  auto *log = dynamic_cast<nuqTransformFieldLogEuclidean *>(copy);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->GetTransform(), &t);
  EXPECT_EQ(log->GetInitialStepLength(), 0.7f);
  EXPECT_EQ(log->GetNumberOfLevels(), 4);
  EXPECT_EQ(log->GetNumberOfSquarings(), 5);
  EXPECT_EQ(log->GetTransformType(), "FLD");
  EXPECT_FLOAT_EQ(MaxAbs(*log, 0, 1.0f), 0.0f);
}

// A smooth deformation: cubic B-spline with 10 mm control spacing whose
// offsets follow one period of a sine over the grid, largest displacement
// about 4 mm.
void MakeSmoothDeformation(nuqTransformFFD &ffd, const float *origin) {
  nuqImageInfo placement;
  placement.SetDimension(3);
  for (int d = 0; d < 3; ++d) placement.m_fQuaternOffset[d] = origin[d] - 10.0f;
  placement.UpdateOrientation(-2);
  ffd.SetDimension(3);
  ASSERT_TRUE(ffd.MallocForControlPoints(8, 10.0f, 8, 10.0f, 7, 10.0f, 1, 1.0f));
  ffd.SetControlGridOrientation(&placement);
  float *offsets = ffd.GetControlPointOffsets();
  const double pi = 3.14159265358979;
  for (int z = 0; z < 7; ++z)
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x) {
        float *o = offsets + 3 * (x + 8 * (y + 8 * z));
        o[0] = float(3.7 * std::sin(2 * pi * y / 7) * std::cos(pi * z / 6));
        o[1] = float(3.0 * std::sin(2 * pi * (x + z) / 7));
        o[2] = float(2.6 * std::cos(2 * pi * x / 7) * std::sin(pi * y / 7));
      }
}

struct FitError {
  double mean = 0, max = 0;
};

// |S(S(p)) - T(p)| over voxels at least 3 voxels inside the grid.
FitError MeasureFit(nuqTransformBase &s, nuqTransformBase &t, nuqImageDataT<short> &grid) {
  const int *n = grid.GetSizeArray();
  FitError e;
  int count = 0;
  for (int z = 3; z < n[2] - 3; ++z)
    for (int y = 3; y < n[1] - 3; ++y)
      for (int x = 3; x < n[0] - 3; ++x) {
        float p[4] = {float(x), float(y), float(z), 0};
        grid.GridToWorld(p);
        float a[4] = {p[0], p[1], p[2], 0}, b[4] = {0, 0, 0, 0}, w[4] = {0, 0, 0, 0};
        s.TransformWorldToWorld(p, a);
        s.TransformWorldToWorld(a, b);
        t.TransformWorldToWorld(p, w);
        const double d = std::sqrt(double(b[0] - w[0]) * (b[0] - w[0]) +
                                   double(b[1] - w[1]) * (b[1] - w[1]) +
                                   double(b[2] - w[2]) * (b[2] - w[2]));
        e.mean += d;
        e.max = std::max(e.max, d);
        ++count;
      }
  e.mean /= count;
  return e;
}

TEST(SquareRootField, RootOfASmoothDeformationBeatsHalfItsDisplacement) {
  Verbosity quiet(-1);
  nuqImageDataT<short> reference;
  const int size[3] = {28, 28, 24};
  const float origin[3] = {-27, -27, -23};
  MakeGrid(reference, size, 2.0f, origin);
  nuqTransformFFD deformation;
  MakeSmoothDeformation(deformation, origin);

  nuqTransformFields half;
  ASSERT_TRUE(half.SetTransformFieldsFromTransform(&deformation, reference.GetInfo()));
  float largest = 0;
  for (int i = 0; i < half.GetTransformFields()[0].GetNumberOfPixels(); ++i) {
    float sum = 0;
    for (int c = 0; c < 3; ++c) sum += std::pow(half.GetTransformFields()[c].GetImageData()[i], 2.0f);
    largest = std::max(largest, std::sqrt(sum));
  }
  EXPECT_GT(largest, 3.5f);  // displacements of up to about 4 mm
  EXPECT_LT(largest, 4.5f);
  half.Scale(0.5f);

  nuqTransformFieldLogEuclidean root;
  root.SetImages(&reference, &reference);
  root.SetTransform(&deformation);
  ASSERT_TRUE(root.ComputeSquareRootNTimes(1));

  const FitError initial = MeasureFit(half, deformation, reference);
  const FitError optimised = MeasureFit(root, deformation, reference);
  std::cout << "largest displacement " << largest << " mm; |S(S(p)) - T(p)| initial mean "
            << initial.mean << " max " << initial.max << " mm; optimised mean " << optimised.mean
            << " max " << optimised.max << " mm\n";
  EXPECT_GT(initial.mean, 0.05);  // the initial estimate is clearly off
  EXPECT_LT(optimised.mean, 0.2 * initial.mean);
  EXPECT_LT(optimised.max, 0.6 * initial.max);
}

}  // namespace
