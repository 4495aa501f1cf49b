// The inverse action through the tool: the affine branch with its matrix
// file and error images, the field branch for one deformation and for the
// joint field of several transforms, both methods, -roi, and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "nuqCliFixtures.h"
#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqTestSupport.h"
#include "nuqTransformAffine.h"
#include "nuqTransformFields.h"

namespace {

using nuqclitest::ReadFloatVoxels;

using nuqtest::FileExists;
using nuqtest::RunTool;
using nuqtest::TempDir;

struct Quiet {
  int saved = g_nVerbose;
  Quiet() { g_nVerbose = 0; }
  ~Quiet() { g_nVerbose = saved; }
};

std::string AffText(const std::string &rotation, const std::string &scaling,
                    const std::string &translation) {
  return "#dimension#\n3\n#one to one#\n1\n#rotation center#\n1 -2 0.5\n#rotation angle#\n" +
         rotation + "\n#scaling#\n" + scaling + "\n#translation#\n" + translation + "\n";
}

// A smooth deformation of a few millimetres over a 12 x 10 x 8 reference
// (control grid 4 mm, node 0 near the reference's index 0).
std::string FfdText() {
  std::string text =
      "#dimension#\n3\n#one to one#\n1\n#control grid size#\n4\n4\n3\n"
      "#control grid spacing#\n4\n4\n4\n#offsets of the control points#\n";
  char buffer[96];
  for (int z = 0; z < 3; ++z) {
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 4; ++x) {
        std::snprintf(buffer, sizeof buffer, "%f %f %f ", 1.5 * std::sin(x + 0.5 * y),
                      1.0 * std::cos(0.7 * x - z), 0.8 * std::sin(y + z));
        text += buffer;
      }
      text += "\n";
    }
    text += "\n";
  }
  return text + "#quaternion qf,qb,qc,qd,qx,qy,qz#\n1 0 0 0 -2 -3 -1\n";
}

float LargestAbs(const std::vector<float> &v) {
  float m = 0;
  for (float x : v) m = std::fmax(m, std::fabs(x));
  return m;
}

class CliInverse : public testing::Test {
 protected:
  void SetUp() override {
    nuqclitest::WriteShortNifti(m_dir.File("ref.nii"), {12, 10, 8});
    nuqtest::WriteWholeFile(m_dir.File("a.AFF"),
                            AffText("4 -3 6", "1.05 0.95 1.02", "2.5 -1.5 3"));
    nuqtest::WriteWholeFile(m_dir.File("x1.AFF"), AffText("0 0 0", "1 1 1", "1 0 0"));
    nuqtest::WriteWholeFile(m_dir.File("y2.AFF"), AffText("0 0 0", "1 1 1", "0 2 0"));
    nuqtest::WriteWholeFile(m_dir.File("zero.AFF"), AffText("0 0 0", "1 1 1", "0 0 0"));
    nuqtest::WriteWholeFile(m_dir.File("w.FFD"), FfdText());
  }
  nuqtest::ToolResult Run(const std::vector<std::string> &args) {
    return RunTool(args, m_dir.Path());
  }
  TempDir m_dir;
};

TEST_F(CliInverse, OneAffineIsInvertedByItsMatrix) {
  const auto r = Run({"ref.nii", "-o", "out", "-n", "1", "-t", "a.AFF", "-inv"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("success: inverting affine transformation \n"), std::string::npos);
  // No field loop and no statistics for a single transform.
  EXPECT_EQ(r.out.find("warping_index"), std::string::npos);
  EXPECT_EQ(r.out.find("start computing the transformation field"), std::string::npos);
  EXPECT_FALSE(FileExists(m_dir.File("outic_x.nii.gz")));
  ASSERT_TRUE(FileExists(m_dir.File("out.AFF")));

  Quiet quiet;
  nuqTransformAffine forward, inverse;
  ASSERT_TRUE(forward.ReadFromFile(m_dir.File("a.AFF")));
  ASSERT_TRUE(inverse.ReadFromFile(m_dir.File("out.AFF")));
  const float points[3][4] = {{0, 0, 0, 0}, {10, -7, 4, 0}, {-25, 30, 12, 0}};
  for (const auto &p : points) {
    float q[4] = {0, 0, 0, 0}, back[4] = {0, 0, 0, 0};
    forward.TransformWorldToWorld(p, q);
    inverse.TransformWorldToWorld(q, back);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[i], p[i], 1e-3) << i;
  }
}

TEST_F(CliInverse, AffineInverseErrorImagesMeasureTheSavedMatrix) {
  const auto r = Run({"ref.nii", "-o", "out", "-n", "1", "-t", "a.AFF", "-inv", "-inverr"});
  ASSERT_EQ(r.status, 0) << r.err;
  const size_t ic = r.out.find("success: computing the inverse-consistency \n");
  ASSERT_NE(ic, std::string::npos);
  EXPECT_NE(r.out.find("success: used ", ic), std::string::npos);
  EXPECT_TRUE(FileExists(m_dir.File("out.AFF")));
  for (const char *axis : {"x", "y", "z", "mag"}) {
    const std::vector<float> e = ReadFloatVoxels(m_dir.File(std::string("outic_") + axis + ".nii.gz"));
    ASSERT_EQ(e.size(), 960u) << axis;
    EXPECT_LT(LargestAbs(e), 1e-3f) << axis;
  }
}

TEST_F(CliInverse, OneDeformationGivesAnInverseField) {
  for (const char *mode : {"-inv", "-invsdi"}) {
    SCOPED_TRACE(mode);
    const auto r = Run({"ref.nii", "-o", "out", "-n", "1", "-t", "w.FFD", mode, "-inverr"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("warping_index"), std::string::npos);
    const size_t runTime = r.out.find("success: run time for computing the inverse ");
    ASSERT_NE(runTime, std::string::npos);
    EXPECT_NE(r.out.find(" seconds\n", runTime), std::string::npos);
    // Saved after the run-time line.
    EXPECT_NE(r.out.find("out_x.nii.gz", runTime), std::string::npos);
    const std::string sdiLine = "success: SDI new the temporary images \n";
    EXPECT_EQ(r.out.find(sdiLine) != std::string::npos, std::string(mode) == "-invsdi");
    EXPECT_EQ(r.out.find("success: new the temporary images \n") != std::string::npos,
              std::string(mode) == "-inv");
    const std::string fld = nuqtest::ReadWholeFile(m_dir.File("out.FLD"));
    EXPECT_NE(fld.find("\n#transformation fields in dimension z#\nout_z.nii.gz\n"),
              std::string::npos);

    // The saved field, read back, undoes the deformation inside the grid;
    // the inverse-error images say the same through the refined mapping.
    Quiet quiet;
    nuqTransformFields inverse;
    ASSERT_TRUE(inverse.ReadFromFile(m_dir.File("out.FLD")));
    const std::vector<float> x = ReadFloatVoxels(m_dir.File("out_x.nii.gz"));
    ASSERT_EQ(x.size(), 960u);
    EXPECT_GT(LargestAbs(x), 0.5f);
    const std::vector<float> mag = ReadFloatVoxels(m_dir.File("outic_mag.nii.gz"));
    ASSERT_EQ(mag.size(), 960u);
    double sum = 0;
    for (float m : mag) sum += m;
    EXPECT_LT(sum / mag.size(), 0.25) << "mean inverse error";
  }
}

TEST_F(CliInverse, SeveralTransformsInvertTheirJointField) {
  for (const char *mode : {"-inv", "-invsdi"}) {
    SCOPED_TRACE(mode);
    const auto r = Run({"ref.nii", "-o", "out", "-n", "2", "-t", "x1.AFF", "-t", "y2.AFF", mode});
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t stats = r.out.find("success: warping_index mean std max min =\t2.23607");
    const size_t runTime = r.out.find("success: run time for computing the inverse ");
    ASSERT_NE(stats, std::string::npos) << r.out;
    ASSERT_NE(runTime, std::string::npos);
    EXPECT_LT(stats, runTime);
    // The joint field itself is not saved: only the inverse carries the prefix.
    const std::vector<float> x = ReadFloatVoxels(m_dir.File("out_x.nii.gz"));
    const std::vector<float> y = ReadFloatVoxels(m_dir.File("out_y.nii.gz"));
    const std::vector<float> z = ReadFloatVoxels(m_dir.File("out_z.nii.gz"));
    ASSERT_EQ(x.size(), 960u);
    for (size_t i = 0; i < x.size(); ++i) {
      ASSERT_NEAR(x[i], -1.0f, 1e-4) << i;
      ASSERT_NEAR(y[i], -2.0f, 1e-4) << i;
      ASSERT_NEAR(z[i], 0.0f, 1e-4) << i;
    }
  }
}

TEST_F(CliInverse, RegionOfInterestLimitsTheSampledCells) {
  // A shift of 1 mm on x: the whole grid is reached directly by default;
  // sampling only the cells x = 0..3 reaches 5 of the 12 columns.
  const auto all = Run({"ref.nii", "-o", "all", "-n", "2", "-t", "x1.AFF", "-t", "zero.AFF",
                        "-invsdi"});
  ASSERT_EQ(all.status, 0) << all.err;
  EXPECT_NE(all.out.find("SDI neighbour interpolation finished 960 of 960 "), std::string::npos)
      << all.out;
  const auto roi = Run({"ref.nii", "-o", "roi", "-n", "2", "-t", "x1.AFF", "-t", "zero.AFF",
                        "-roi", "0", "0", "0", "3", "9", "7", "-invsdi"});
  ASSERT_EQ(roi.status, 0) << roi.err;
  EXPECT_NE(roi.out.find("success: roi from 0 0 0 to 3 9 7\n"), std::string::npos);
  EXPECT_NE(roi.out.find("SDI neighbour interpolation finished 400 of 960 "), std::string::npos)
      << roi.out;
  // The iterative method needs fill-in sweeps for the rest.
  const auto iter = Run({"ref.nii", "-o", "it", "-n", "2", "-t", "x1.AFF", "-t", "zero.AFF",
                         "-roi", "0", "0", "0", "3", "9", "7", "-inv"});
  ASSERT_EQ(iter.status, 0) << iter.err;
  const std::string first = "success: FillInFindInverse ";
  const size_t at = iter.out.find(first);
  ASSERT_NE(at, std::string::npos);
  EXPECT_GT(std::atoi(iter.out.c_str() + at + first.size()), 1000);
}

TEST_F(CliInverse, RefusalsEndWithAnErrorAndSaveNothing) {
  nuqclitest::WriteShortNifti(m_dir.File("flat.nii"), {12, 10});
  // A zero scale keeps the file's matrix, here one of rank 2.
  nuqtest::WriteWholeFile(m_dir.File("flat.AFF"),
                          AffText("0 0 0", "1 0 1", "0 0 0") +
                              "0\n0\n0\n0\n0\n0\n#matrix#\n1 2 3 4\n2 4 6 1\n0 0 1 0\n0 0 0 1\n");
  struct Case {
    std::vector<std::string> args;
    const char *stream;  // where the error line goes
  } cases[] = {
      {{"flat.nii", "-o", "out", "-n", "1", "-t", "x1.AFF", "-inv"}, "err"},
      {{"flat.nii", "-o", "out", "-n", "1", "-t", "w.FFD", "-invsdi"}, "err"},
      {{"ref.nii", "-o", "out", "-n", "1", "-t", "flat.AFF", "-inv"}, "err"},
      {{"ref.nii", "-o", "out", "-n", "1", "-t", "flat.AFF", "-inv", "-inverr"}, "err"},
      {{"ref.nii", "-o", "out", "-n", "1", "-t", "w.FFD", "-inv", "-0.5"}, "out"},
      {{"ref.nii", "-o", "out", "-n", "1", "-t", "w.FFD", "-invsdi", "0"}, "out"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(nuqclitest::Echo(k.args));
    const auto r = Run(k.args);
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("error: "), std::string::npos) << r.err;
    if (std::string(k.stream) == "out") {
      EXPECT_NE(r.out.find("error: ComputeInverseByDistanceInterpolate\n"), std::string::npos);
    }
    EXPECT_FALSE(FileExists(m_dir.File("out.AFF")));
    EXPECT_FALSE(FileExists(m_dir.File("out.FLD")));
    EXPECT_FALSE(FileExists(m_dir.File("out_x.nii.gz")));
  }
}

}  // namespace
