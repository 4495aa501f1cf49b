// Free-form deformation: evaluation, analytic Jacobian, FFD text, control
// grid placement, invertibility bound, refinement, fitting and masks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "nuqConsole.h"
#include "nuqImageData.h"
#include "nuqImageInfo.h"
#include "nuqTestSupport.h"
#include "nuqTransformFFD.h"

namespace {

// A rotated, mirrored grid placement away from the origin.
nuqImageInfo ObliquePlacement() {
  nuqImageInfo info;
  info.SetDimension(3);
  info.m_fQuaternQf = -1.0f;
  info.m_fQuaternB = 0.2f;
  info.m_fQuaternC = -0.3f;
  info.m_fQuaternD = 0.1f;
  info.m_fQuaternOffset[0] = -12.5f;
  info.m_fQuaternOffset[1] = 7.25f;
  info.m_fQuaternOffset[2] = 3.0f;
  info.UpdateOrientation(-2);
  return info;
}

std::unique_ptr<nuqTransformFFD> MakeFFD(int n, float spacing,
                                         const nuqImageInfo *pPlacement = nullptr) {
  auto ffd = std::make_unique<nuqTransformFFD>();
  ffd->SetDimension(3);
  EXPECT_TRUE(ffd->MallocForControlPoints(n, spacing, n, spacing, n, spacing, 1, 1.0f));
  if (pPlacement != nullptr) ffd->SetControlGridOrientation(pPlacement);
  return ffd;
}

// Deterministic offsets in [-amplitude, amplitude].
void FillOffsets(nuqTransformFFDBase &ffd, float amplitude, unsigned seed = 12345u) {
  const int n = ffd.GetNumberOfParameters();
  for (int i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    const float u = static_cast<float>((seed >> 8) & 0xFFFF) / 65535.0f;
    ffd.SetParameterValue(i, amplitude * (2.0f * u - 1.0f));
  }
}

void NodeToWorld(nuqTransformFFDBase &ffd, float x, float y, float z, float *w) {
  w[0] = x;
  w[1] = y;
  w[2] = z;
  w[3] = 0.0f;
  ffd.GetControlGridInfo()->GridToWorld(w);
}

// Direction matrix (grid axis c -> world) of the control grid: the
// grid-to-world block with the spacing divided out.
void Directions(nuqTransformFFDBase &ffd, float R[3][3]) {
  const nuqImageInfo *g = ffd.GetControlGridInfo();
  const float *M = g->GetImageToWorld();
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) R[r][c] = M[r * 4 + c] / g->m_fSpacing[c];
}

// Identity-derived linear map y = L x + t, used as an independent target.
class LinearMap : public nuqGradientBase {
 public:
  float L[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  float t[3] = {0, 0, 0};
  void TransformWorldToWorld(const float *in, float *out) override {
    const float p[4] = {in[0], in[1], in[2], in[3]};
    for (int r = 0; r < 3; ++r) out[r] = L[r][0] * p[0] + L[r][1] * p[1] + L[r][2] * p[2] + t[r];
    out[3] = p[3];
  }
  bool SetIdentity() override { return true; }
  int GetNumberOfParameters() const override { return 0; }
  float GetParameterValue(int) const override { return 0; }
  bool SetParameterValue(int, float) override { return false; }
};

std::string FFDHeader(int dim, const std::vector<std::string> &sizes,
                      const std::vector<std::string> &spacings) {
  std::string text = "#dimension#\n" + std::to_string(dim) + "\n#one to one#\n1\n";
  text += "#control grid size#\n";
  for (const auto &s : sizes) text += s + "\n";
  text += "#control grid spacing#\n";
  for (const auto &s : spacings) text += s + "\n";
  text += "#offsets of the control points#\n";
  return text;
}

// nRows rows of nPerRow "0.5" values each.
std::string Rows(int nRows, int nPerRow) {
  std::string text;
  for (int r = 0; r < nRows; ++r) {
    for (int i = 0; i < nPerRow; ++i) text += "0.5 ";
    text += "\n";
  }
  return text;
}

}  // namespace

TEST(FFDEvaluation, ZeroOffsetsAreIdentityWithIdentityJacobian) {
  const nuqImageInfo placement = ObliquePlacement();
  auto ffd = MakeFFD(6, 4.0f, &placement);
  for (const float g : {0.0f, 1.3f, 2.5f, 4.99f}) {
    float w[4];
    NodeToWorld(*ffd, g, 5.0f - g, 0.5f * g, w);
    float y[4];
    ffd->TransformWorldToWorld(w, y);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(y[c], w[c]);
    const float grid[4] = {g, 5.0f - g, 0.5f * g, 0.0f};
    float J[16];
    ASSERT_TRUE(ffd->GetJacobianMatrixAtControlGrid(grid, J));
    for (int i = 0; i < 16; ++i) EXPECT_EQ(J[i], (i % 5 == 0) ? 1.0f : 0.0f) << i;
  }
  // A deformation without control points also maps points to themselves.
  nuqTransformFFD empty;
  const float p[4] = {3, -4, 5, 0};
  float q[4];
  empty.TransformWorldToWorld(p, q);
  EXPECT_EQ(q[0], 3.0f);
  EXPECT_EQ(q[1], -4.0f);
  EXPECT_EQ(q[2], 5.0f);
}

TEST(FFDEvaluation, UnitOffsetAtNodeAndSupport) {
  auto ffd = MakeFFD(5, 1.0f);  // axis-aligned, index 0 at world 0
  // Offset (1, 0, 0) at node (2, 2, 2): index (2 + 2*5 + 2*25) * 3.
  ASSERT_TRUE(ffd->SetParameterValue((2 + 2 * 5 + 2 * 25) * 3, 1.0f));
  struct Case {
    const char *name;
    float p[3];
    float dx;
  } cases[] = {
      {"at the node", {2, 2, 2}, std::pow(4.0f / 6.0f, 3.0f)},
      {"one node along x", {3, 2, 2}, (1.0f / 6.0f) * (4.0f / 6.0f) * (4.0f / 6.0f)},
      {"half a spacing off", {2.5f, 2, 2}, (23.0f / 48.0f) * (4.0f / 6.0f) * (4.0f / 6.0f)},
      {"two spacings away", {4, 2, 2}, 0.0f},
      {"beyond two spacings", {-0.5f, 2, 2}, 0.0f},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const float p[4] = {c.p[0], c.p[1], c.p[2], 0};
    float q[4];
    ffd->TransformWorldToWorld(p, q);
    EXPECT_NEAR(q[0] - p[0], c.dx, 1e-6f);
    EXPECT_EQ(q[1], p[1]);
    EXPECT_EQ(q[2], p[2]);
  }
}

TEST(FFDEvaluation, PointsTwoSpacingsOutsideTheGridAreNotDisplaced) {
  const nuqImageInfo placement = ObliquePlacement();
  auto ffd = MakeFFD(4, 3.0f, &placement);
  FillOffsets(*ffd, 2.0f);
  struct Case {
    float g[3];
    bool moved;
  } cases[] = {
      {{-2.0f, 1.5f, 1.5f}, false}, {{-2.5f, 1.5f, 1.5f}, false}, {{1.5f, 5.0f, 1.5f}, false},
      {{1.5f, 1.5f, 7.0f}, false},  {{-1.5f, 1.5f, 1.5f}, true},  {{1.5f, 4.5f, 1.5f}, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.g[0] + 10 * c.g[1] + 100 * c.g[2]);
    float w[4];
    NodeToWorld(*ffd, c.g[0], c.g[1], c.g[2], w);
    float y[4];
    ffd->TransformWorldToWorld(w, y);
    const float d = std::fabs(y[0] - w[0]) + std::fabs(y[1] - w[1]) + std::fabs(y[2] - w[2]);
    if (c.moved) {
      EXPECT_GT(d, 1e-4f);
    } else {
      EXPECT_EQ(d, 0.0f);
    }
  }
  // Not-a-number input is treated as outside, not indexed.
  const float nan = std::nanf("");
  const float p[4] = {nan, 0, 0, 0};
  float q[4];
  ffd->TransformWorldToWorld(p, q);
  float J[16];
  const float gnan[4] = {nan, 1, 1, 0};
  EXPECT_TRUE(ffd->GetJacobianMatrixAtControlGrid(gnan, J));
  EXPECT_EQ(J[0], 1.0f);
}

TEST(FFDJacobian, AnalyticMatchesCentralDifferencesOnObliqueGrid) {
  const nuqImageInfo placement = ObliquePlacement();
  auto ffd = std::make_unique<nuqTransformFFD>();
  ffd->SetDimension(3);
  ASSERT_TRUE(ffd->MallocForControlPoints(6, 5.0f, 6, 4.0f, 6, 6.0f, 1, 1.0f));
  ffd->SetControlGridOrientation(&placement);
  FillOffsets(*ffd, 1.5f);
  float R[3][3];
  Directions(*ffd, R);
  const float h = 0.05f;
  const float points[][3] = {{2.2f, 2.7f, 1.1f}, {0.3f, 4.6f, 3.9f}, {3.5f, 0.25f, 2.0f},
                             {-0.7f, 2.0f, 5.4f}};
  float maxDiff = 0.0f;
  for (const auto &g : points) {
    float w[4];
    NodeToWorld(*ffd, g[0], g[1], g[2], w);
    // World Jacobian by central differences.
    float Jw[3][3];
    for (int c = 0; c < 3; ++c) {
      float a[4] = {w[0], w[1], w[2], 0}, b[4] = {w[0], w[1], w[2], 0};
      a[c] += h;
      b[c] -= h;
      float ya[4], yb[4];
      ffd->TransformWorldToWorld(a, ya);
      ffd->TransformWorldToWorld(b, yb);
      for (int r = 0; r < 3; ++r) Jw[r][c] = (ya[r] - yb[r]) / (2 * h);
    }
    // Into the grid's own axes: Jg = R^T Jw R.
    float Jg[3][3];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) {
        float s = 0;
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) s += R[i][r] * Jw[i][j] * R[j][c];
        Jg[r][c] = s;
      }
    const float grid[4] = {g[0], g[1], g[2], 0};
    float J[16];
    ASSERT_TRUE(ffd->GetJacobianMatrixAtControlGrid(grid, J));
    bool nonTrivial = false;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) {
        maxDiff = std::max(maxDiff, std::fabs(J[r * 4 + c] - Jg[r][c]));
        if (std::fabs(J[r * 4 + c] - (r == c ? 1.0f : 0.0f)) > 1e-2f) nonTrivial = true;
      }
    EXPECT_TRUE(nonTrivial);
    EXPECT_EQ(J[15], 1.0f);
  }
  EXPECT_LT(maxDiff, 1e-3f);
}

TEST(FFDJacobian, TwoDimensionsAndUnsupportedDimensions) {
  nuqTransformFFD ffd;
  ffd.SetDimension(2);
  ASSERT_TRUE(ffd.MallocForControlPoints(5, 2.0f, 5, 2.0f, 9, 1.0f, 1, 1.0f));
  EXPECT_EQ(ffd.GetNumberOfParameters(), 5 * 5 * 2);  // z size forced to 1
  // Offset (0, 1) at node (2, 2), looked at from node (2, 1): along y the
  // node is the next-but-one, weight derivative B'(1, 0) = 1/2; along x the
  // weight is B(0, 0) = 4/6 with derivative 0.
  ffd.SetParameterValue((2 + 2 * 5) * 2 + 1, 1.0f);
  const float g[4] = {2, 1, 0, 0};  // one node below along y
  float J[16];
  ASSERT_TRUE(ffd.GetJacobianMatrixAtControlGrid(g, J));
  // d(dy)/dPy = 4/6 * 1/2 over the spacing 2.
  EXPECT_NEAR(J[5], 1.0f + 0.5f * (4.0f / 6.0f) / 2.0f, 1e-6f);
  EXPECT_NEAR(J[4], 0.0f, 1e-7f);
  EXPECT_EQ(J[10], 1.0f);
  EXPECT_EQ(J[15], 1.0f);

  nuqTransformFFD four;
  four.SetDimension(4);
  ASSERT_TRUE(four.MallocForControlPoints(3, 1, 3, 1, 3, 1, 3, 1));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(four.GetJacobianMatrixAtControlGrid(g, J));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), " not finish for 4 dimension yet \n");
  EXPECT_EQ(J[0], 0.0f);
}

TEST(FFDGrid, MallocRulesAndRefusals) {
  nuqTransformFFD ffd;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ffd.MallocForControlPoints(4, 1, 4, 1, 4, 1, 1, 1));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: use nuqTransformFFDBase::MallocForControlPoints should set dimension first \n");
  EXPECT_EQ(ffd.GetNumberOfParameters(), 0);

  ffd.SetDimension(3);
  ASSERT_TRUE(ffd.MallocForControlPoints(0, -2.0f, 3, 1.5f, 2, 1.0f, 7, 1.0f));
  const nuqImageInfo *g = ffd.GetControlGridInfo();
  EXPECT_EQ(g->m_iSize[0], 1);
  EXPECT_EQ(g->m_iSize[3], 1);
  EXPECT_EQ(g->m_fSpacing[0], 0.0f);
  EXPECT_EQ(ffd.GetNumberOfParameters(), 1 * 3 * 2 * 3);
  EXPECT_EQ(ffd.GetParameterValue(ffd.GetNumberOfParameters()), 0.0f);
  EXPECT_FALSE(ffd.SetParameterValue(-1, 1.0f));

  // A grid whose offsets cannot be indexed is refused and the old one kept.
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ffd.MallocForControlPoints(100000, 1, 100000, 1, 100, 1, 1, 1));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("error: "), std::string::npos);
  EXPECT_EQ(ffd.GetNumberOfParameters(), 1 * 3 * 2 * 3);

  // Another dimension does not reinterpret offsets laid out for this one.
  ffd.SetDimension(3);
  EXPECT_EQ(ffd.GetNumberOfParameters(), 1 * 3 * 2 * 3);
  ffd.SetDimension(4);
  EXPECT_EQ(ffd.GetNumberOfParameters(), 0);
}

TEST(FFDFile, TextRoundTripKeepsOffsetsAndPlacement) {
  nuqtest::TempDir dir;
  const nuqImageInfo placement = ObliquePlacement();
  nuqTransformFFD ffd;
  ffd.SetDimension(3);
  ASSERT_TRUE(ffd.MallocForControlPoints(4, 2.5f, 3, 3.0f, 2, 4.0f, 1, 1.0f));
  ffd.SetControlGridOrientation(&placement);
  FillOffsets(ffd, 3.0f);
  ffd.SetOneToOne(false);
  ASSERT_TRUE(ffd.SaveToFile(dir.File("warp.FFD")));
  const std::string text = nuqtest::ReadWholeFile(dir.File("warp.FFD"));
  EXPECT_EQ(text.rfind("#dimension#\n3\n#one to one#\n0\n#control grid size#\n4\n3\n2\n"
                       "#control grid spacing#\n       2.500000\n       3.000000\n"
                       "       4.000000\n#offsets of the control points#\n",
                       0),
            0u);
  // Three rows per slice, then an empty line; one tab after every point.
  const std::size_t body = text.find("points#\n") + 8;
  const std::size_t quat = text.find("#quaternion qf,qb,qc,qd,qx,qy,qz#\n");
  ASSERT_NE(quat, std::string::npos);
  const std::string rows = text.substr(body, quat - body);
  EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 3 * 2 + 2);
  EXPECT_EQ(std::count(rows.begin(), rows.end(), '\t'), 4 * 3 * 2);
  EXPECT_NE(rows.find("\n\n"), std::string::npos);

  nuqTransformFFD back;
  testing::internal::CaptureStderr();
  ASSERT_TRUE(back.ReadFromFile(dir.File("warp.FFD")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(back.GetDimension(), 3);
  EXPECT_FALSE(back.IsOneToOne());
  ASSERT_EQ(back.GetNumberOfParameters(), ffd.GetNumberOfParameters());
  for (int i = 0; i < ffd.GetNumberOfParameters(); ++i) {
    EXPECT_NEAR(back.GetParameterValue(i), ffd.GetParameterValue(i), 1e-6f) << i;
  }
  const nuqImageInfo *a = ffd.GetControlGridInfo();
  const nuqImageInfo *b = back.GetControlGridInfo();
  EXPECT_EQ(b->GetOrientationMethod(), -2);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(b->m_fSpacing[i], a->m_fSpacing[i]);
  for (int i = 0; i < 12; ++i) EXPECT_NEAR(b->GetImageToWorld()[i], a->GetImageToWorld()[i], 1e-5f);
  float w[4], ya[4], yb[4];
  NodeToWorld(ffd, 1.3f, 0.7f, 0.4f, w);
  ffd.TransformWorldToWorld(w, ya);
  back.TransformWorldToWorld(w, yb);
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(ya[c], yb[c], 1e-4f);
  EXPECT_GT(std::fabs(ya[0] - w[0]) + std::fabs(ya[1] - w[1]), 1e-3f);
}

TEST(FFDFile, MissingQuaternionWarnsAndTakesTestImagePlacement) {
  nuqtest::TempDir dir;
  // Spacing 0 along y is filled from the test image's extent.
  const std::string text = FFDHeader(3, {"2", "3", "2"}, {"5", "0", "6"}) + Rows(3, 6) + "\n" +
                           Rows(3, 6) + "   \n\n";
  nuqtest::WriteWholeFile(dir.File("noq.ffd"), text);
  nuqTransformFFD ffd;
  testing::internal::CaptureStderr();
  ASSERT_TRUE(ffd.ReadFromFile(dir.File("noq.ffd")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "warning: FFD without orientation info\n");
  EXPECT_EQ(ffd.GetControlGridInfo()->GetOrientationMethod(), 0);

  const nuqImageInfo placement = ObliquePlacement();
  nuqImageDataT<short> image;
  const int size[4] = {11, 21, 9, 1};
  const float spacing[4] = {1.0f, 2.0f, 1.5f, 1.0f};
  ASSERT_TRUE(image.NewImage(3, size, spacing, &placement));
  ASSERT_TRUE(ffd.SetImages(&image, &image));
  const nuqImageInfo *g = ffd.GetControlGridInfo();
  EXPECT_EQ(g->GetOrientationMethod(), -2);
  EXPECT_EQ(g->m_fSpacing[0], 5.0f);
  EXPECT_EQ(g->m_fSpacing[1], 40.0f / 2.0f);  // extent 20 * 2 over 2 intervals
  EXPECT_EQ(g->m_fSpacing[2], 6.0f);
  const nuqImageInfo *im = image.GetInfo();
  EXPECT_EQ(g->m_fQuaternQf, im->m_fQuaternQf);
  EXPECT_EQ(g->m_fQuaternB, im->m_fQuaternB);
  EXPECT_EQ(g->m_fQuaternC, im->m_fQuaternC);
  EXPECT_EQ(g->m_fQuaternD, im->m_fQuaternD);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(g->m_fQuaternOffset[i], im->m_fQuaternOffset[i]);
  // Index 0 of the control grid sits on index 0 of the image.
  float p[4] = {0, 0, 0, 0}, q[4] = {0, 0, 0, 0};
  g->GridToWorld(p);
  image.GridToWorld(q);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(p[i], q[i], 1e-5f);
}

TEST(FFDFile, MalformedFilesFailWithTheReaderMessage) {
  nuqtest::TempDir dir;
  const std::string longRow(16400, ' ');
  struct Case {
    const char *name;
    std::string text;
  } cases[] = {
      {"row with too few numbers", FFDHeader(3, {"2", "2", "2"}, {"1", "1", "1"}) + Rows(3, 6) + "0 0 0 0 0\n"},
      {"rows missing", FFDHeader(3, {"2", "2", "2"}, {"1", "1", "1"}) + Rows(3, 6)},
      {"size 0", FFDHeader(3, {"2", "0", "2"}, {"1", "1", "1"}) + Rows(4, 6)},
      {"negative size", FFDHeader(3, {"2", "2", "-3"}, {"1", "1", "1"}) + Rows(4, 6)},
      {"sizes overflow", FFDHeader(3, {"2", "65536", "65536"}, {"1", "1", "1"}) + Rows(4, 6)},
      {"size product beyond int", FFDHeader(3, {"2", "2147483647", "2"}, {"1", "1", "1"}) + Rows(4, 6)},
      {"row wider than a line", FFDHeader(3, {"3000", "1", "1"}, {"1", "1", "1"}) + Rows(1, 9000)},
      {"line too long", FFDHeader(2, {"2", "1"}, {"1", "1"}) + longRow + "1 2 3 4\n"},
      {"dimension 1", FFDHeader(1, {"2"}, {"1"}) + Rows(1, 2)},
      {"spacing missing", FFDHeader(3, {"2", "2", "2"}, {"1", "1"})},
      {"not a number", FFDHeader(2, {"2", "1"}, {"1", "1"}) + "0 nan 0 0\n"},
      {"bad quaternion line", FFDHeader(2, {"2", "1"}, {"1", "1"}) + "0 0 0 0\n1 0 0\n"},
      {"header only", "#dimension#\n3\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = dir.File("bad.FFD");
    nuqtest::WriteWholeFile(name, c.text);
    nuqTransformFFD ffd;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ffd.ReadFromFile(name));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("error: Open FFD Transformation Failed in reading base stream!\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(ffd.GetNumberOfParameters(), 0);
  }
  // A row of exactly 16383 characters is still accepted.
  std::string row = "1 2 3 4";
  row += std::string(16383 - row.size(), ' ');
  nuqtest::WriteWholeFile(dir.File("wide.FFD"), FFDHeader(2, {"2", "1"}, {"1", "1"}) + row + "\n" +
                                                     "1 0 0 0 0 0 0\n");
  nuqTransformFFD ffd;
  ASSERT_TRUE(ffd.ReadFromFile(dir.File("wide.FFD")));
  EXPECT_EQ(ffd.GetParameterValue(3), 4.0f);
}

TEST(FFDFile, ControlPointImageRoundTripAndComponentCheck) {
  const nuqImageInfo placement = ObliquePlacement();
  nuqTransformFFD ffd;
  ffd.SetDimension(3);
  ASSERT_TRUE(ffd.MallocForControlPoints(4, 2.0f, 3, 3.0f, 5, 2.5f, 1, 1.0f));
  ffd.SetControlGridOrientation(&placement);
  FillOffsets(ffd, 2.0f);
  nuqImageDataT<float> image;
  ASSERT_TRUE(ffd.ConvertControlPointsWithImage(&image, false));
  EXPECT_EQ(image.GetDimension(), 4);
  EXPECT_EQ(image.GetSizeArray()[3], 3);
  // Voxel (x, y, z, c) holds component c of node (x, y, z).
  EXPECT_EQ(image.GetPixelGreyscale(3, 1, 2, 1), ffd.GetParameterValue((3 + 1 * 4 + 2 * 12) * 3 + 1));

  nuqTransformFFD back;
  ASSERT_TRUE(back.ConvertControlPointsWithImage(&image, true));
  EXPECT_EQ(back.GetDimension(), 3);
  ASSERT_EQ(back.GetNumberOfParameters(), ffd.GetNumberOfParameters());
  for (int i = 0; i < ffd.GetNumberOfParameters(); ++i) {
    ASSERT_EQ(back.GetParameterValue(i), ffd.GetParameterValue(i)) << i;
  }
  for (int i = 0; i < 12; ++i) {
    EXPECT_NEAR(back.GetControlGridInfo()->GetImageToWorld()[i],
                ffd.GetControlGridInfo()->GetImageToWorld()[i], 1e-5f);
  }

  // A plain volume (one component) is not a set of control points.
  nuqImageDataT<float> plain;
  const int size[4] = {4, 4, 4, 1};
  const float spacing[4] = {1, 1, 1, 1};
  ASSERT_TRUE(plain.NewImage(3, size, spacing, &placement));
  nuqTransformFFD other;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(other.ConvertControlPointsWithImage(&plain, true));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("error: "), std::string::npos);
  EXPECT_EQ(other.GetNumberOfParameters(), 0);
  nuqImageDataT<float> empty;
  EXPECT_FALSE(other.ConvertControlPointsWithImage(&empty, true));
  EXPECT_FALSE(other.ConvertControlPointsWithImage(&empty, false));  // no control points
}

TEST(FFDParameters, ConstrainToInvertibleScalesOnePoint) {
  auto ffd = MakeFFD(4, 2.0f);
  FillOffsets(*ffd, 0.2f);  // |offset / spacing| <= 0.1, well inside
  const int iPoint = 1 + 2 * 4 + 3 * 16;
  ffd->SetParameterValue(iPoint * 3 + 1, -1.6f);  // 0.8 of the spacing
  ffd->SetParameterValue(iPoint * 3 + 2, 0.4f);
  std::vector<float> before(ffd->GetNumberOfParameters());
  for (int i = 0; i < ffd->GetNumberOfParameters(); ++i) before[i] = ffd->GetParameterValue(i);
  EXPECT_FLOAT_EQ(ffd->ConstrainToInvertible(), 1.0f / 64.0f);
  const float f = 0.4033116f / 0.8f;
  for (int i = 0; i < ffd->GetNumberOfParameters(); ++i) {
    EXPECT_FLOAT_EQ(ffd->GetParameterValue(i), i / 3 == iPoint ? before[i] * f : before[i]) << i;
  }
  ffd->SetOneToOne(false);
  EXPECT_EQ(ffd->ConstrainToInvertible(), -1.0f);
  nuqTransformFFD empty;
  EXPECT_EQ(empty.ConstrainToInvertible(), -1.0f);
}

TEST(FFDParameters, AlgebraNormaliseAndClone) {
  auto a = MakeFFD(3, 1.0f);
  auto b = MakeFFD(3, 1.0f);
  FillOffsets(*a, 1.0f, 1u);
  FillOffsets(*b, 1.0f, 2u);
  nuqTransformFFD sum;
  nuqTransformBase *pSum = &sum;
  a->CloneTo(pSum);
  ASSERT_TRUE(sum.Add(b.get()));
  EXPECT_FLOAT_EQ(sum.GetParameterValue(7), a->GetParameterValue(7) + b->GetParameterValue(7));
  auto other = MakeFFD(4, 1.0f);
  EXPECT_FALSE(sum.Add(other.get()));  // different grid
  EXPECT_EQ(sum.CountParametersNotBelow(sum.GetMaxAbsParameter()), 0);  // strict

  nuqTransformBase *pClone = nullptr;
  a->SetMaskMagnitudePortion(0.25f);
  a->CloneTo(pClone);
  std::unique_ptr<nuqTransformBase> clone(pClone);
  auto *ffdClone = dynamic_cast<nuqTransformFFD *>(pClone);
  ASSERT_NE(ffdClone, nullptr);
  EXPECT_EQ(ffdClone->GetTransformType(), "FFD");
  EXPECT_EQ(ffdClone->GetMaskMagnitudePortion(), 0.25f);
  a->SetParameterValue(0, 99.0f);
  EXPECT_NE(ffdClone->GetParameterValue(0), 99.0f);  // deep copy

  const float m = b->GetMaxControlPointMagnitude();
  EXPECT_GT(m, 0.0f);
  EXPECT_FLOAT_EQ(b->Normalise(false), m);
  EXPECT_FLOAT_EQ(b->GetMaxControlPointMagnitude(), 1.0f);
  b->Normalise(true);
  const float v[3] = {b->GetParameterValue(3), b->GetParameterValue(4), b->GetParameterValue(5)};
  EXPECT_NEAR(v[0] * v[0] + v[1] * v[1] + v[2] * v[2], 1.0f, 1e-5f);
  b->SetIdentity();
  testing::internal::CaptureStderr();
  EXPECT_EQ(b->Normalise(false), 0.0f);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "warning: FFD magnitude 0\n");
}

TEST(FFDRefine, FourCubedKeepsTheDeformationInsideTheGrid) {
  const nuqImageInfo placement = ObliquePlacement();
  auto ffd = MakeFFD(4, 6.0f, &placement);
  FillOffsets(*ffd, 2.0f);
  nuqTransformBase *pOld = nullptr;
  ffd->CloneTo(pOld);
  std::unique_ptr<nuqTransformBase> old(pOld);
  ASSERT_TRUE(ffd->RefineControlGrid());
  const nuqImageInfo *g = ffd->GetControlGridInfo();
  EXPECT_EQ(g->m_iSize[0], 7);
  EXPECT_EQ(g->m_iSize[1], 7);
  EXPECT_EQ(g->m_iSize[2], 7);
  EXPECT_EQ(g->m_fSpacing[0], 3.0f);
  // Samples from one new spacing inside the border (new index 1 .. 5).
  float maxInside = 0.0f, maxBorder = 0.0f;
  for (float z = 0.0f; z <= 6.0f; z += 0.5f)
    for (float y = 0.0f; y <= 6.0f; y += 0.5f)
      for (float x = 0.0f; x <= 6.0f; x += 0.5f) {
        float w[4];
        NodeToWorld(*ffd, x, y, z, w);
        float ya[4], yb[4];
        old->TransformWorldToWorld(w, ya);
        ffd->TransformWorldToWorld(w, yb);
        const float d = std::fabs(ya[0] - yb[0]) + std::fabs(ya[1] - yb[1]) + std::fabs(ya[2] - yb[2]);
        const bool inside = x >= 1 && x <= 5 && y >= 1 && y <= 5 && z >= 1 && z <= 5;
        (inside ? maxInside : maxBorder) = std::max(inside ? maxInside : maxBorder, d);
      }
  EXPECT_LT(maxInside, 1e-4f);
  EXPECT_GT(maxBorder, 1e-3f);  // outer nodes were dropped
}

TEST(FFDFit, IdentityStopsAtFirstIterationAndAffineFitsClosely) {
  const nuqImageInfo placement = ObliquePlacement();
  auto ffd = MakeFFD(8, 5.0f, &placement);
  FillOffsets(*ffd, 1.0f);  // fitting starts from zero offsets
  LinearMap identity;
  const int saved = g_nVerbose;
  g_nVerbose = 1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(ffd->FitToTransform(&identity, 1, 0.01f), 0.0f);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("success: \t Level  1 of 1 Grid Spacing: 5x5x5\n"), std::string::npos) << out;
  EXPECT_NE(out.find("success: \t\t mean error at iteration 0 is 0\n"), std::string::npos) << out;
  EXPECT_EQ(ffd->GetMaxAbsParameter(), 0.0f);

  // A small affine; a B-spline reproduces it exactly away from the border,
  // so the node error shrinks well below the displacement.
  LinearMap affine;
  affine.L[0][0] = 1.02f;
  affine.L[0][1] = 0.03f;
  affine.L[1][2] = -0.02f;
  affine.L[2][2] = 0.98f;
  affine.t[0] = 1.5f;
  affine.t[1] = -0.8f;
  g_nVerbose = 0;
  const float e = ffd->FitToTransform(&affine, 2, 1e-4f);
  g_nVerbose = saved;
  EXPECT_GT(e, 0.0f);
  EXPECT_LT(e, 0.05f);
  EXPECT_EQ(ffd->GetControlGridInfo()->m_iSize[0], 15);  // refined once
  float w[4], y[4], t[4];
  NodeToWorld(*ffd, 7.0f, 7.0f, 7.0f, w);
  ffd->TransformWorldToWorld(w, y);
  affine.TransformWorldToWorld(w, t);
  EXPECT_GT(std::fabs(t[0] - w[0]), 0.5f);
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(y[c], t[c], 0.05f);
}

TEST(FFDFit, RegridBySpacingCoversTheTestImage) {
  nuqImageDataT<short> image;
  const nuqImageInfo placement = ObliquePlacement();
  const int size[4] = {21, 21, 11, 1};
  const float spacing[4] = {1, 1, 2, 1};
  ASSERT_TRUE(image.NewImage(3, size, spacing, &placement));
  auto ffd = MakeFFD(3, 10.0f);
  ffd->SetImages(&image, &image);
  FillOffsets(*ffd, 0.5f);
  nuqTransformBase *pOld = nullptr;
  ffd->CloneTo(pOld);
  std::unique_ptr<nuqTransformBase> old(pOld);
  const float newSpacing[4] = {4.0f, 4.0f, 4.0f, 1.0f};
  const int saved = g_nVerbose;
  g_nVerbose = 0;
  ASSERT_TRUE(ffd->RegridBySpacing(newSpacing, 1, 1e-3f));
  g_nVerbose = saved;
  const nuqImageInfo *g = ffd->GetControlGridInfo();
  EXPECT_EQ(g->m_iSize[0], 6);  // ceil(20 / 4) + 1
  EXPECT_EQ(g->m_iSize[2], 6);
  EXPECT_EQ(g->m_fSpacing[1], 4.0f);
  float w[4], ya[4], yb[4];
  NodeToWorld(*ffd, 2.5f, 2.5f, 2.5f, w);
  old->TransformWorldToWorld(w, ya);
  ffd->TransformWorldToWorld(w, yb);
  EXPECT_GT(std::fabs(ya[0] - w[0]) + std::fabs(ya[1] - w[1]) + std::fabs(ya[2] - w[2]), 1e-3f);
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(ya[c], yb[c], 0.05f);
}

TEST(FFDMask, MagnitudePortionAndPresetMasks) {
  auto ffd = MakeFFD(3, 2.0f);
  auto step = MakeFFD(3, 2.0f);
  step->SetAllParameters(1.0f);
  const int saved = g_nVerbose;
  g_nVerbose = 0;
  // Portion 0 or below: nothing changes.
  for (float portion : {0.0f, -1.0f}) {
    ffd->SetMaskMagnitudePortion(portion);
    EXPECT_FALSE(ffd->UpdateParameterMask(nullptr, step.get(), false));
    EXPECT_EQ(step->CountParametersNotBelow(0.5f), step->GetNumberOfParameters());
  }
  EXPECT_FALSE(ffd->UpdateParameterMask(nullptr, nullptr, false));

  // Only node 0 moves; every other active point is below half of its size.
  ffd->SetParameterValue(0, 3.0f);
  ffd->SetParameterValue(4, 1.0f);  // node 1: relative magnitude 1/3
  ffd->SetMaskMagnitudePortion(0.5f);
  EXPECT_TRUE(ffd->UpdateParameterMask(nullptr, step.get(), false));
  EXPECT_EQ(step->GetParameterValue(0), 1.0f);
  EXPECT_EQ(step->GetParameterValue(3), -1.0f);
  EXPECT_EQ(step->GetParameterValue(26 * 3 + 2), -1.0f);
  // No active point at all.
  step->SetAllParameters(0.0f);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(ffd->UpdateParameterMask(nullptr, step.get(), false));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "warning: no actived control point \n");

  // Preset: a mask covering x <= 2 mm activates those nodes (x = 0, 2 mm)
  // and switches off the nodes at x = 4 mm.
  nuqImageDataT<short> mask;
  const int size[4] = {5, 5, 5, 1};
  const float spacing[4] = {1, 1, 1, 1};
  nuqImageInfo axis;
  axis.SetDimension(3);
  axis.UpdateOrientation(-2);
  ASSERT_TRUE(mask.NewImage(3, size, spacing, &axis));
  for (int z = 0; z < 5; ++z)
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x <= 2; ++x) mask.SetPixelByGreyscale(x, y, z, 0, 1);
  step->SetAllParameters(0.0f);
  step->SetParameterValue((2 + 0 * 3) * 3, 0.5f);  // node x = 4 mm, active before
  ffd->SetControlPointMasks(&mask, nullptr);
  g_nVerbose = 1;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(ffd->UpdateParameterMask(nullptr, step.get(), true));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "success: \t\t activated 18 points and inactivated 9 from 27points in masking FFD "
            "operation\n");
  g_nVerbose = saved;
  EXPECT_EQ(step->GetParameterValue(0), 1.0f);
  EXPECT_EQ(step->GetParameterValue(1 * 3 + 2), 1.0f);
  EXPECT_EQ(step->GetParameterValue(2 * 3), 0.0f);
}

TEST(FFDEvaluation, TwoDimensionalDeformationAndItsFile) {
  nuqtest::TempDir dir;
  nuqTransformFFD ffd;
  ffd.SetDimension(2);
  ASSERT_TRUE(ffd.MallocForControlPoints(5, 1.0f, 5, 1.0f, 1, 1.0f, 1, 1.0f));
  ASSERT_TRUE(ffd.SetParameterValue((2 + 2 * 5) * 2 + 1, 1.0f));  // (0, 1) at node (2, 2)
  ASSERT_TRUE(ffd.SaveToFile(dir.File("flat.FFD")));
  nuqTransformFFD back;
  ASSERT_TRUE(back.ReadFromFile(dir.File("flat.FFD")));
  for (nuqTransformFFD *f : {&ffd, &back}) {
    const float p[4] = {2, 2, 0, 0};
    float q[4];
    f->TransformWorldToWorld(p, q);
    EXPECT_EQ(q[0], 2.0f);
    EXPECT_NEAR(q[1] - 2.0f, (4.0f / 6.0f) * (4.0f / 6.0f), 1e-6f);
    EXPECT_EQ(q[2], 0.0f);
  }
}
