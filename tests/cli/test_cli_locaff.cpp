// Local-affine transforms on the command line: AFFS files with -t, -loc
// region images, -locaff from affine files, -savenewAFFS, and the checks of
// the preparation with their messages and statuses.
//
// The reference and the region images share a 20 x 10 x 10 grid of 1 mm
// voxels placed at world = grid. Region 0 is the slab x <= 3, region 1 the
// slab x >= 16, so the distances are max(0, x - 3) and max(0, 16 - x) and the
// expected blend is written here without the toolkit's mapping code.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqTestSupport.h"
#include "nuqTransformAffine.h"
#include "nuqTransformLocalAffines.h"

namespace {

using nuqtest::RunTool;
using nuqtest::TempDir;

struct Quiet {
  int saved = g_nVerbose;
  Quiet() { g_nVerbose = 0; }
  ~Quiet() { g_nVerbose = saved; }
};

const int kSize[4] = {20, 10, 10, 1};
const float kSpacing[4] = {1, 1, 1, 1};

// Label 1 where lo <= x <= hi (no label when lo > hi).
void SaveSlab(const std::string &name, int lo, int hi, int nz = 10) {
  Quiet quiet;
  nuqImageInfo placement;
  const int size[4] = {kSize[0], kSize[1], nz, 1};
  nuqImageDataT<short> image;
  ASSERT_TRUE(image.NewImage(3, size, kSpacing, &placement));
  for (int z = 0; z < nz; ++z)
    for (int y = 0; y < size[1]; ++y)
      for (int x = std::max(lo, 0); x <= hi && x < size[0]; ++x)
        image.SetPixelByGreyscale(x, y, z, 0, 1);
  ASSERT_TRUE(SaveImageFile(&image, name));
}

struct Translation {
  float t[3];
};

void SaveAffine(const std::string &name, const Translation &t) {
  Quiet quiet;
  nuqTransformAffine affine;
  affine.SetDimension(3);
  affine.SetTranslation(t.t);
  ASSERT_TRUE(affine.SaveToFile(name));
}

// Global translation g, local translations l0 and l1, no names or facet
// unless given.
void SaveAffs(const std::string &name, const Translation &g, const Translation &l0,
              const Translation &l1, const std::vector<std::string> &names = {},
              float globalScaleX = 1) {
  Quiet quiet;
  nuqTransformLocalAffines affs;
  affs.SetDimension(3);
  ASSERT_TRUE(affs.SetNumberOfLocalAffines(2));
  affs.SetTranslation(g.t);
  const float scaling[3] = {globalScaleX, 1, 1};
  affs.SetScaling(scaling);
  affs.GetLocalAffines()[0]->SetTranslation(l0.t);
  affs.GetLocalAffines()[1]->SetTranslation(l1.t);
  for (size_t i = 0; i < names.size(); ++i) affs.SetRegionFileName(names[i], static_cast<int>(i));
  ASSERT_TRUE(affs.SaveToFile(name));
}

// Inverse-distance blend of two translations at grid (= world) point x.
void ExpectedBlend(const float *p, const Translation &l0, const Translation &l1, float *y) {
  const float d0 = std::max(0.0f, p[0] - 3), d1 = std::max(0.0f, 16 - p[0]);
  for (int k = 0; k < 3; ++k) {
    if (d0 == 0)
      y[k] = p[k] + l0.t[k];
    else if (d1 == 0)
      y[k] = p[k] + l1.t[k];
    else
      y[k] = ((p[k] + l0.t[k]) / d0 + (p[k] + l1.t[k]) / d1) / (1 / d0 + 1 / d1);
  }
}

class LocalAffineCli : public ::testing::Test {
 protected:
  void SetUp() override {
    SaveSlab(dir.File("ref.nii.gz"), 0, -1);
    SaveSlab(dir.File("r0.nii.gz"), 0, 3);
    SaveSlab(dir.File("r1.nii.gz"), 16, 19);
    SaveAffs(dir.File("two.AFFS"), global, local0, local1);
  }

  // Compares the saved field with the blend (then the global translation).
  void ExpectField(const std::string &prefix, const Translation &g) {
    Quiet quiet;
    nuqImageDataT<float> component[3];
    for (int k = 0; k < 3; ++k)
      ASSERT_TRUE(ReadImageFile(&component[k], dir.File(prefix + "_" + "xyz"[k] + ".nii.gz")));
    const int voxels[][3] = {{1, 5, 5}, {3, 0, 9}, {9, 4, 6}, {12, 2, 3}, {15, 9, 0}, {18, 7, 1}};
    float largest = 0;
    for (const auto &v : voxels) {
      SCOPED_TRACE(testing::Message() << v[0] << "," << v[1] << "," << v[2]);
      const float p[3] = {float(v[0]), float(v[1]), float(v[2])};
      float y[3];
      ExpectedBlend(p, local0, local1, y);
      for (int k = 0; k < 3; ++k) {
        const float expected = y[k] + g.t[k] - p[k];
        EXPECT_NEAR(component[k].GetPixelGreyscale(v[0], v[1], v[2]), expected, 1e-4);
        largest = std::max(largest, std::fabs(expected));
      }
    }
    ASSERT_GT(largest, 1.0f);
  }

  TempDir dir;
  Translation global{{0.5f, 0, -0.25f}};
  Translation local0{{2, 0, 0}};
  Translation local1{{0, -3, 1}};
};

TEST_F(LocalAffineCli, FieldOfTwoRegionAffsMatchesTheBlend) {
  const auto r = RunTool({"ref.nii.gz", "-t", "two.AFFS", "-loc", "2", "r0.nii.gz", "r1.nii.gz",
                          "-n", "1", "-o", "out"},
                         dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("success: \t set file names of local regions \n"), std::string::npos);
  EXPECT_NE(r.out.find("success: \t set local regions using file names from AFFS \n"),
            std::string::npos);
  ExpectField("out", global);
}

TEST_F(LocalAffineCli, LocaffBuildsTheSameBlendFromAffineFiles) {
  SaveAffine(dir.File("a.AFF"), local0);
  SaveAffine(dir.File("b.AFF"), local1);
  const auto r = RunTool({"ref.nii.gz", "-locaff", "2", "a.AFF", "b.AFF", "-loc", "2", "r0.nii.gz",
                          "r1.nii.gz", "-n", "1", "-o", "fromaff"},
                         dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("success: \t read in local affine a.AFF\nsuccess: \t read in local affine "
                       "b.AFF\n"),
            std::string::npos);
  ExpectField("fromaff", Translation{{0, 0, 0}});
}

TEST_F(LocalAffineCli, SaveNewAffsWritesNamesAndFacetThatReadBack) {
  const auto r = RunTool({"ref.nii.gz", "-t", "two.AFFS", "-loc", "2", "r0.nii.gz", "r1.nii.gz",
                          "-savenewAFFS", "-n", "1", "-o", "new"},
                         dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("success: save new format AFFS with file names of local regions\n"),
            std::string::npos);
  Quiet quiet;
  nuqTransformLocalAffines saved;
  ASSERT_TRUE(saved.ReadFromFile(dir.File("new.AFFS")));
  EXPECT_EQ(saved.GetNumberOfLocalAffines(), 2);
  ASSERT_TRUE(saved.HasRegionFileNames());
  EXPECT_EQ(saved.GetRegionFileNames()[0], "r0.nii.gz");
  EXPECT_EQ(saved.GetRegionFileNames()[1], "r1.nii.gz");
  EXPECT_TRUE(saved.HasFacet());
  float t[4] = {0};
  saved.GetLocalAffines()[1]->GetTranslation(t);
  EXPECT_FLOAT_EQ(t[1], -3);
  // The new file alone carries its regions: no -loc is needed any more.
  const auto again = RunTool({"ref.nii.gz", "-t", "new.AFFS", "-n", "1", "-o", "again"}, dir.Path());
  ASSERT_EQ(again.status, 0) << again.err;
  ExpectField("again", global);
}

// The re-saved AFFS is an output like any other: a missing folder is refused
// before the preparation, a file that cannot be replaced fails the run.
TEST_F(LocalAffineCli, SaveNewAffsThatCannotBeWrittenFailsTheRun) {
  const auto missing = RunTool({"ref.nii.gz", "-t", "two.AFFS", "-loc", "2", "r0.nii.gz",
                                "r1.nii.gz", "-savenewAFFS", "-n", "1", "-o", "none/new"},
                               dir.Path());
  EXPECT_EQ(missing.status, 246);
  EXPECT_NE(missing.err.find("error: cannot write in the output folder none (No such file or "
                             "directory)\n"),
            std::string::npos)
      << missing.err;
  EXPECT_EQ(missing.out.find("set file names of local regions"), std::string::npos);

  ASSERT_EQ(mkdir(dir.File("new.AFFS").c_str(), 0755), 0);
  const auto blocked = RunTool({"ref.nii.gz", "-t", "two.AFFS", "-loc", "2", "r0.nii.gz",
                                "r1.nii.gz", "-savenewAFFS", "-n", "1", "-o", "new"},
                               dir.Path());
  rmdir(dir.File("new.AFFS").c_str());
  EXPECT_EQ(blocked.status, 246);
  EXPECT_NE(blocked.err.find("error: cannot replace new.AFFS (Is a directory)\n"),
            std::string::npos)
      << blocked.err;
  EXPECT_EQ(blocked.out.find("success: save new format AFFS"), std::string::npos);
}

// Between the slabs the weights are (16 - x) / 13 and (x - 3) / 13, so the
// blend of the translations t0, t1 has the Jacobian I - (t0 - t1) e_x^T / 13:
// determinant 1 - (t0x - t1x) / 13; inside a slab it is 1. The global
// scaling of x by 1.5 multiplies both.
TEST_F(LocalAffineCli, JacobianMapUsesTheBlendAndTheGlobalAffine) {
  SaveAffs(dir.File("scaled.AFFS"), Translation{{0, 0, 0}}, local0, local1,
           {"r0.nii.gz", "r1.nii.gz"}, 1.5f);
  const auto r = RunTool({"ref.nii.gz", "-t", "scaled.AFFS", "-n", "1", "-o", "jac", "-jac"},
                         dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  Quiet quiet;
  nuqImageDataT<float> jacobian;
  ASSERT_TRUE(ReadImageFile(&jacobian, dir.File("jac.nii.gz")));
  const float between = 1.5f * (1 - (local0.t[0] - local1.t[0]) / 13);
  const int voxels[][3] = {{1, 5, 5}, {2, 0, 9}, {5, 4, 4}, {9, 9, 0}, {14, 3, 6}, {17, 5, 5}};
  for (const auto &v : voxels) {
    SCOPED_TRACE(testing::Message() << v[0] << "," << v[1] << "," << v[2]);
    const bool inRegion = v[0] <= 3 || v[0] >= 16;
    EXPECT_NEAR(jacobian.GetPixelGreyscale(v[0], v[1], v[2]), inRegion ? 1.5f : between, 1e-4);
  }
}

TEST_F(LocalAffineCli, PreparationFailuresStopWithTheirStatus) {
  SaveAffine(dir.File("a.AFF"), local0);
  SaveAffine(dir.File("b.AFF"), local1);
  SaveSlab(dir.File("short.nii.gz"), 16, 19, 9);
  std::string tooMany = nuqtest::ReadWholeFile(dir.File("two.AFFS"));
  const std::string countLine = "# No. of Local Affine Transformations #\n 2 \n";
  tooMany.replace(tooMany.find(countLine), countLine.size(),
                  "# No. of Local Affine Transformations #\n 300 \n");
  nuqtest::WriteWholeFile(dir.File("many.AFFS"), tooMany);
  struct Case {
    const char *name;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> errors;  // in this order on standard error
  };
  const Case cases[] = {
      {"locaff without regions",
       {"ref.nii.gz", "-locaff", "2", "a.AFF", "b.AFF", "-n", "1", "-o", "x"},
       1,
       {"error: set local regions from pre set file name\n",
        "error: local affine transform has no region images to compute distances\n"}},
      {"count mismatch",
       {"ref.nii.gz", "-t", "two.AFFS", "-loc", "3", "r0.nii.gz", "r1.nii.gz", "r0.nii.gz", "-n",
        "1"},
       1,
       {"error: number of local regions not equal to number of local affines\n"}},
      {"no regions", {"ref.nii.gz", "-t", "two.AFFS", "-n", "1"}, 1,
       {"error: AFFS have no local regions\n"}},
      {"unreadable locaff file",
       {"ref.nii.gz", "-locaff", "2", "a.AFF", "missing.AFF", "-n", "1"},
       255,
       {"error: can not find Affine Transformation:missing.AFF! (No such file or directory)\n",
        "error: set 1th local affine failed!\n"}},
      {"count above the array in the file",
       {"ref.nii.gz", "-t", "many.AFFS", "-n", "1"},
       250,
       {"error: the number of local affines is more than the maxmum\n",
        "error: reading transform file:many.AFFS\n"}},
      {"regions of different geometries",
       {"ref.nii.gz", "-t", "two.AFFS", "-loc", "2", "r0.nii.gz", "short.nii.gz", "-n", "1"},
       1,
       {"error: region image 1 (short.nii.gz) has a different geometry from region image 0 "
        "(r0.nii.gz)\n"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = RunTool(c.args, dir.Path());
    EXPECT_EQ(r.status, c.status) << r.err;
    size_t at = 0;
    for (const std::string &e : c.errors) {
      const size_t found = r.err.find(e, at);
      EXPECT_NE(found, std::string::npos) << "missing: " << e << "in:\n" << r.err;
      if (found != std::string::npos) at = found + e.size();
    }
  }
}

}  // namespace
