// Masks of the actions. The field action's mask is read with linear
// interpolation at the world point, clamped into the mask grid: a smaller
// mask extends its edge, and a coarser mask counts the voxels where the
// interpolated value is not 0 (a nearest-voxel read would skip some of
// them). The -jac and -diff masks read the nearest voxel.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqTestSupport.h"

namespace {

using nuqtest::RunTool;
using nuqtest::TempDir;

// Axis-aligned volume, index 0 at world 0, voxels from f.
void SaveShorts(const std::string &name, std::vector<int> size, std::vector<float> spacing,
                const std::function<short(int, int, int)> &f) {
  const int saved = g_nVerbose;
  g_nVerbose = 0;
  nuqImageInfo orientation;
  int full[4] = {size[0], size[1], size[2], 1};
  float fullSpacing[4] = {spacing[0], spacing[1], spacing[2], 1};
  nuqImageDataT<short> volume;
  const bool made = volume.NewImage(3, full, fullSpacing, &orientation);
  for (int z = 0; made && z < full[2]; ++z)
    for (int y = 0; y < full[1]; ++y)
      for (int x = 0; x < full[0]; ++x) volume.SetPixelByGreyscale(x, y, z, 0, f(x, y, z));
  const bool written = made && SaveImageFile(&volume, name);
  g_nVerbose = saved;
  ASSERT_TRUE(written) << name;
}

std::string StatisticsLine(const std::string &out) {
  const std::string key = "success: warping_index mean std max min =\t";
  const std::string::size_type at = out.find(key);
  if (at == std::string::npos) return "(none)";
  return out.substr(at + key.size(), out.find('\n', at) - at - key.size());
}

TEST(CliAuditFieldMask, MaskIsInterpolatedLinearlyAndClampedToItsGrid) {
  TempDir dir;
  SaveShorts(dir.File("ref.nii.gz"), {4, 3, 2}, {1, 1, 1}, [](int, int, int) { return short(1); });
  // Scaling of x by 2 about world 0: the displacement at voxel x is x mm.
  nuqtest::WriteWholeFile(dir.File("s.AFF"),
                          "#dimension#\n3\n#one to one#\n1\n#rotation center#\n0\t0\t0\n#rotation angle#\n0\t0\t0\n"
                          "#scaling#\n2\t1\t1\n#translation#\n0\t0\t0\n");
  // Two columns, 0 then 1: reference x = 2, 3 lie beyond the mask and read
  // its edge value 1, so x = 1, 2, 3 count (magnitudes 1, 2, 3).
  SaveShorts(dir.File("small.nii.gz"), {2, 3, 2}, {1, 1, 1}, [](int x, int, int) { return short(x); });
  // Columns at world x = 0 and 2 holding 1 then 0: x = 1 reads 0.5 and
  // counts, x = 2 and 3 read 0 (magnitudes 0 and 1 count).
  SaveShorts(dir.File("coarse.nii.gz"), {2, 3, 2}, {2, 1, 1}, [](int x, int, int) { return short(1 - x); });
  struct Case {
    const char *mask;
    const char *statistics;
  } cases[] = {
      {"small.nii.gz", "2.16025\t2\t0.816497\t3\t1"},
      {"coarse.nii.gz", "0.707107\t0.5\t0.5\t1\t0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.mask);
    const auto r = RunTool({"ref.nii.gz", "-n", "1", "-t", "s.AFF", "-mask", c.mask}, dir.Path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(StatisticsLine(r.out), c.statistics) << r.out;
  }
}

}  // namespace

namespace {

// The -jac and -diff masks read the nearest voxel, rounding half away from
// zero: on a mask of 2 mm columns, reference x = 1 mm reads column 1 and
// x = 3 mm reads column 2, outside the grid. -jac skips voxels outside the
// mask grid; -diff clamps them onto its edge column.
TEST(CliAuditFieldMask, JacobianAndDifferenceMasksRoundHalfAwayFromZero) {
  TempDir dir;
  SaveShorts(dir.File("ref.nii.gz"), {4, 3, 2}, {1, 1, 1}, [](int, int, int) { return short(1); });
  const std::string head = "#dimension#\n3\n#one to one#\n1\n#rotation center#\n0\t0\t0\n#rotation angle#\n0\t0\t0\n";
  nuqtest::WriteWholeFile(dir.File("sx.AFF"), head + "#scaling#\n2\t1\t1\n#translation#\n0\t0\t0\n");
  nuqtest::WriteWholeFile(dir.File("t.AFF"), head + "#scaling#\n1\t1\t1\n#translation#\n1\t0\t0\n");
  SaveShorts(dir.File("first.nii.gz"), {2, 3, 2}, {2, 1, 1}, [](int x, int, int) { return short(x == 0); });
  SaveShorts(dir.File("second.nii.gz"), {2, 3, 2}, {2, 1, 1}, [](int x, int, int) { return short(x == 1); });
  struct Case {
    const char *mask;
    float jacobianRow[4];  // saved -jac map along x, 0 where skipped
    const char *difference;  // -diff of sx and t: error |x - 1| mm
  } cases[] = {
      {"first.nii.gz", {2, 0, 0, 0}, "  1.000000\t  1.000000\t  0.000000\t  1.000000\t  1.000000\t         6\n"},
      {"second.nii.gz", {0, 2, 2, 0}, "  1.290994\t  1.000000\t  0.840168\t  2.000000\t  0.000000\t        18\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.mask);
    const auto jac =
        RunTool({"ref.nii.gz", "-o", "jac", "-n", "1", "-t", "sx.AFF", "-jac", "-mask", c.mask}, dir.Path());
    ASSERT_EQ(jac.status, 0) << jac.err;
    EXPECT_NE(jac.out.find("\t Mask jacobian (mean, std, max, min)\t2\t0\t2\t2\n"), std::string::npos) << jac.out;
    const int saved = g_nVerbose;
    g_nVerbose = 0;
    nuqImageDataT<float> map;
    const bool read = ReadImageFile(&map, dir.File("jac.nii.gz"));
    g_nVerbose = saved;
    ASSERT_TRUE(read);
    for (int z = 0; z < 2; ++z)
      for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(map.GetPixelGreyscale(x, y, z), c.jacobianRow[x]) << x << y << z;

    const auto diff = RunTool({"ref.nii.gz", "-v", "0", "-n", "2", "-t", "sx.AFF", "-t", "t.AFF", "-diff", "-mask",
                               c.mask},
                              dir.Path());
    ASSERT_EQ(diff.status, 0) << diff.err;
    EXPECT_EQ(diff.out, nuqtest::Banner() + c.difference);
  }
}

}  // namespace
