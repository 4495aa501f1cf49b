// The default action end to end: displacement of the joint or summed
// transforms on the reference grid, the statistics line, and the component,
// FLD and magnitude files; FLD files and -d component images as inputs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqCliFixtures.h"
#include "nuqTestSupport.h"

#include <nifti1_io.h>

namespace {

using nuqclitest::ReadFloatVoxels;

using nuqtest::RunTool;
using nuqtest::TempDir;

using nuqtest::QuietSuccess;

template <class T>
void SaveVolume(const std::string &name, int dim, std::vector<int> size, const float *spacing,
                const std::function<T(int, int, int)> &f) {
  QuietSuccess quiet;
  nuqImageInfo orientation;
  int full[4] = {size[0], size[1], dim > 2 ? size[2] : 1, 1};
  float fullSpacing[4] = {spacing[0], spacing[1], dim > 2 ? spacing[2] : 1, 1};
  nuqImageDataT<T> volume;
  ASSERT_TRUE(volume.NewImage(dim, full, fullSpacing, &orientation));
  for (int z = 0; z < full[2]; ++z)
    for (int y = 0; y < full[1]; ++y)
      for (int x = 0; x < full[0]; ++x) volume.SetPixelByGreyscale(x, y, z, 0, f(x, y, z));
  ASSERT_TRUE(SaveImageFile(&volume, name));
}

const float kUnit[3] = {1, 1, 1};

void SaveReference(const std::string &name) {
  SaveVolume<short>(name, 3, {4, 3, 2}, kUnit, [](int x, int, int) { return short(x); });
}

// Written through nifticlib itself, since the tool's own writer always
// stores at least three dimensions.
void SaveTwoDimensionalReference(const std::string &name) {
  int dims[8] = {2, 4, 3, 1, 1, 1, 1, 1};
  nifti_image *nim = nifti_make_new_nim(dims, DT_INT16, 1);
  ASSERT_NE(nim, nullptr);
  short *data = static_cast<short *>(nim->data);
  for (int i = 0; i < 12; ++i) data[i] = short(i % 4);
  ASSERT_EQ(nifti_set_filenames(nim, name.c_str(), 0, 1), 0);
  nifti_image_write(nim);
  nifti_image_free(nim);
}

void SaveConstant(const std::string &name, float value) {
  SaveVolume<float>(name, 3, {4, 3, 2}, kUnit, [value](int, int, int) { return value; });
}

// An AFF file holding a pure translation (no skews, no matrix section).
void SaveTranslation(const std::string &name, float x, float y, float z) {
  std::ostringstream t;
  t << "#dimension#\n3\n#one to one#\n1\n#rotation center#\n0\t0\t0\t\n#rotation angle#\n0\t0\t0\t"
       "\n#scaling#\n1\t1\t1\t\n#translation#\n"
    << x << "\t" << y << "\t" << z << "\t\n";
  nuqtest::WriteWholeFile(name, t.str());
}

std::string StatisticsLine(const std::string &out) {
  const std::string key = "success: warping_index mean std max min =\t";
  const std::string::size_type at = out.find(key);
  if (at == std::string::npos) return "(none)";
  return out.substr(at + key.size(), out.find('\n', at) - at - key.size());
}

std::vector<std::string> SplitTabs(const std::string &text) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  std::string part;
  while (std::getline(in, part, '\t')) parts.push_back(part);
  return parts;
}

std::set<std::string> Listing(const std::string &dir) {
  std::set<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(dir))
    names.insert(entry.path().filename().string());
  return names;
}

// Every voxel of a written float image, or empty when it cannot be read.
void ExpectAllNear(const std::vector<float> &values, float expected, size_t count) {
  ASSERT_EQ(values.size(), count);
  for (size_t i = 0; i < values.size(); ++i) ASSERT_NEAR(values[i], expected, 1e-5) << i;
}

}  // namespace

TEST(CliField, ZeroFieldGivesZeroDisplacementAndStatistics) {
  TempDir dir;
  SaveReference(dir.File("ref.nii.gz"));
  for (const char *c : {"zero_x.nii.gz", "zero_y.nii.gz", "zero_z.nii.gz"})
    SaveConstant(dir.File(c), 0.0f);
  nuqtest::WriteWholeFile(dir.File("zero.FLD"),
                          "#dimension#\n3\n#one to one#\n1\n\n#transformation fields in dimension "
                          "x#\nzero_x.nii.gz\n\n#transformation fields in dimension y#\n"
                          "zero_y.nii.gz\n\n#transformation fields in dimension z#\n"
                          "zero_z.nii.gz\n");
  const auto r = RunTool({"ref.nii.gz", "-o", "out", "-n", "1", "-t", "zero.FLD", "-mag"},
                         dir.Path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("success: start computing the transformation field ....\n"
                       "success: transformation field computation finished \n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(StatisticsLine(r.out), "0\t0\t0\t0\t0");
  for (const char *c : {"out_x.nii.gz", "out_y.nii.gz", "out_z.nii.gz", "out_mag.nii.gz"}) {
    SCOPED_TRACE(c);
    ExpectAllNear(ReadFloatVoxels(dir.File(c)), 0.0f, 24);
  }
  EXPECT_EQ(nuqtest::ReadWholeFile(dir.File("out.FLD")),
            "#dimension#\n3\n#one to one#\n1\n\n#transformation fields in dimension x#\n"
            "out_x.nii.gz\n\n#transformation fields in dimension y#\nout_y.nii.gz\n\n"
            "#transformation fields in dimension z#\nout_z.nii.gz\n");
  for (const char *line : {"success: saved out_x.nii.gz \n", "success: saved out_y.nii.gz \n",
                           "success: saved out_z.nii.gz \n", "success: saved out.FLD \n"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line;
}

TEST(CliField, TwoTranslationsJointAndSum) {
  TempDir dir;
  SaveReference(dir.File("ref.nii.gz"));
  SaveTranslation(dir.File("a.AFF"), 1, 0, 0);
  SaveTranslation(dir.File("b.AFF"), 0, 2, 0);
  for (const bool sum : {false, true}) {
    SCOPED_TRACE(sum ? "sum" : "joint");
    std::vector<std::string> args = {"ref.nii.gz", "-o", "out", "-n", "2", "-t", "a.AFF",
                                     "-t",         "b.AFF", "-mag"};
    if (sum) args.push_back("-sum");
    const auto r = RunTool(args, dir.Path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(StatisticsLine(r.out), "2.23607\t2.23607\t0\t2.23607\t2.23607");
    ExpectAllNear(ReadFloatVoxels(dir.File("out_x.nii.gz")), 1.0f, 24);
    ExpectAllNear(ReadFloatVoxels(dir.File("out_y.nii.gz")), 2.0f, 24);
    ExpectAllNear(ReadFloatVoxels(dir.File("out_z.nii.gz")), 0.0f, 24);
    ExpectAllNear(ReadFloatVoxels(dir.File("out_mag.nii.gz")), 2.23607f, 24);
  }
  // The saved field is itself a transform: read back it gives the same field.
  const auto again =
      RunTool({"ref.nii.gz", "-o", "again", "-n", "1", "-t", "out.FLD"}, dir.Path());
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(StatisticsLine(again.out), "2.23607\t2.23607\t0\t2.23607\t2.23607");
  EXPECT_FALSE(nuqtest::FileExists(dir.File("again_mag.nii.gz")));
}

TEST(CliField, JointDiffersFromSumForNonCommutingPair) {
  // Scaling by 2 after a translation by 1 doubles the translation in the
  // joint transform; the sum adds the two displacements at the same point.
  TempDir dir;
  SaveReference(dir.File("ref.nii.gz"));
  SaveTranslation(dir.File("t.AFF"), 1, 0, 0);
  nuqtest::WriteWholeFile(dir.File("s.AFF"),
                          "#dimension#\n3\n#one to one#\n1\n#rotation center#\n0\t0\t0\t\n"
                          "#rotation angle#\n0\t0\t0\t\n#scaling#\n2\t1\t1\t\n#translation#\n"
                          "0\t0\t0\t\n");
  const auto joint = RunTool({"ref.nii.gz", "-o", "j", "-n", "2", "-t", "t.AFF", "-t", "s.AFF"},
                             dir.Path());
  const auto sum = RunTool(
      {"ref.nii.gz", "-o", "s", "-n", "2", "-t", "t.AFF", "-t", "s.AFF", "-sum"}, dir.Path());
  ASSERT_EQ(joint.status, 0) << joint.err;
  ASSERT_EQ(sum.status, 0) << sum.err;
  const std::vector<float> j = ReadFloatVoxels(dir.File("j_x.nii.gz")), s = ReadFloatVoxels(dir.File("s_x.nii.gz"));
  ASSERT_EQ(j.size(), 24u);
  ASSERT_EQ(s.size(), 24u);
  // joint: 2 (x + 1) - x; sum: (x + 1 - x) + (2 x - x).
  for (int i = 0; i < 24; ++i) EXPECT_NEAR(j[i] - s[i], 1.0f, 1e-5) << i;
  EXPECT_NEAR(j[3], 3 + 2, 1e-5);  // voxel (3, 0, 0) lies at world x = 3
}

TEST(CliField, MaskOfZerosGivesNotANumberStatistics) {
  TempDir dir;
  SaveReference(dir.File("ref.nii.gz"));
  SaveVolume<short>(dir.File("mask.nii.gz"), 3, {4, 3, 2}, kUnit,
                    [](int, int, int) { return short(0); });
  SaveTranslation(dir.File("a.AFF"), 1, 0, 0);
  const auto r = RunTool(
      {"ref.nii.gz", "-mask", "mask.nii.gz", "-o", "out", "-n", "1", "-t", "a.AFF"}, dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> parts = SplitTabs(StatisticsLine(r.out));
  ASSERT_EQ(parts.size(), 5u) << r.out;
  for (int k = 0; k < 3; ++k) {
    EXPECT_TRUE(parts[k] == "nan" || parts[k] == "-nan") << parts[k];
    EXPECT_TRUE(std::isnan(std::strtof(parts[k].c_str(), nullptr))) << parts[k];
  }
  EXPECT_EQ(parts[3], "0");
  EXPECT_EQ(parts[4], "999999");
  // The field itself is still written in full.
  ExpectAllNear(ReadFloatVoxels(dir.File("out_x.nii.gz")), 1.0f, 24);
}

TEST(CliField, MaskSelectsTheCountedVoxels) {
  TempDir dir;
  SaveReference(dir.File("ref.nii.gz"));
  // Only the x = 3 column is inside; the field is a scaling about world 0,
  // so the displacement magnitude varies over the grid.
  SaveVolume<short>(dir.File("mask.nii.gz"), 3, {4, 3, 2}, kUnit,
                    [](int x, int, int) { return short(x == 3 ? 1 : 0); });
  nuqtest::WriteWholeFile(dir.File("s.AFF"),
                          "#dimension#\n3\n#one to one#\n1\n#rotation center#\n0\t0\t0\t\n"
                          "#rotation angle#\n0\t0\t0\t\n#scaling#\n2\t1\t1\t\n#translation#\n"
                          "0\t0\t0\t\n");
  const auto all = RunTool({"ref.nii.gz", "-n", "1", "-t", "s.AFF"}, dir.Path());
  const auto masked =
      RunTool({"ref.nii.gz", "-n", "1", "-t", "s.AFF", "-mask", "mask.nii.gz"}, dir.Path());
  ASSERT_EQ(all.status, 0) << all.err;
  ASSERT_EQ(masked.status, 0) << masked.err;
  // World x of voxel i is i, so the displacement magnitudes are 0, 1, 2, 3:
  // mean 1.5, warping index sqrt(3.5), deviation sqrt(3.5 - 1.5^2).
  EXPECT_EQ(StatisticsLine(all.out), "1.87083\t1.5\t1.11803\t3\t0");
  EXPECT_EQ(StatisticsLine(masked.out), "3\t3\t0\t3\t3");
}

TEST(CliField, TwoDimensionalReferenceWritesTwoComponents) {
  TempDir dir;
  SaveTwoDimensionalReference(dir.File("ref.nii.gz"));
  SaveTranslation(dir.File("a.AFF"), 1, 2, 3);
  const auto r =
      RunTool({"ref.nii.gz", "-o", "out", "-n", "1", "-t", "a.AFF", "-mag"}, dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(StatisticsLine(r.out), "2.23607\t2.23607\t0\t2.23607\t2.23607");
  ExpectAllNear(ReadFloatVoxels(dir.File("out_x.nii.gz")), 1.0f, 12);
  ExpectAllNear(ReadFloatVoxels(dir.File("out_y.nii.gz")), 2.0f, 12);
  EXPECT_FALSE(nuqtest::FileExists(dir.File("out_z.nii.gz")));
  EXPECT_EQ(nuqtest::ReadWholeFile(dir.File("out.FLD")),
            "#dimension#\n2\n#one to one#\n1\n\n#transformation fields in dimension x#\n"
            "out_x.nii.gz\n\n#transformation fields in dimension y#\nout_y.nii.gz\n");
  EXPECT_EQ(Listing(dir.Path()), (std::set<std::string>{"ref.nii.gz", "a.AFF", "out_x.nii.gz",
                                                        "out_y.nii.gz", "out.FLD",
                                                        "out_mag.nii.gz"}));
}

TEST(CliField, EmptyPrefixWritesNothing) {
  TempDir dir;
  SaveReference(dir.File("ref.nii.gz"));
  SaveTranslation(dir.File("a.AFF"), 1, 0, 0);
  const std::set<std::string> before = Listing(dir.Path());
  const auto r = RunTool({"ref.nii.gz", "-n", "1", "-t", "a.AFF", "-mag"}, dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(StatisticsLine(r.out), "1\t1\t0\t1\t1");
  EXPECT_EQ(r.out.find("success: saved"), std::string::npos) << r.out;
  EXPECT_EQ(Listing(dir.Path()), before);
}

TEST(CliField, ComponentImagesWithDashD) {
  TempDir dir;
  SaveReference(dir.File("ref.nii.gz"));
  SaveConstant(dir.File("x.nii.gz"), 0.5f);
  SaveConstant(dir.File("y.nii.gz"), 0.0f);
  SaveConstant(dir.File("z.nii.gz"), -1.0f);
  SaveVolume<float>(dir.File("small.nii.gz"), 3, {3, 3, 2}, kUnit,
                    [](int, int, int) { return 0.0f; });

  const auto three = RunTool(
      {"ref.nii.gz", "-o", "out", "-n", "1", "-d", "x.nii.gz", "y.nii.gz", "z.nii.gz"},
      dir.Path());
  ASSERT_EQ(three.status, 0) << three.err;
  EXPECT_EQ(StatisticsLine(three.out), "1.11803\t1.11803\t0\t1.11803\t1.11803");
  ExpectAllNear(ReadFloatVoxels(dir.File("out_x.nii.gz")), 0.5f, 24);
  ExpectAllNear(ReadFloatVoxels(dir.File("out_z.nii.gz")), -1.0f, 24);

  // With only two names left -d is ignored, and the count check fails.
  const auto two = RunTool({"ref.nii.gz", "-n", "1", "-d", "x.nii.gz", "y.nii.gz"}, dir.Path());
  EXPECT_EQ(two.status, 255);
  EXPECT_NE(two.out.find("error: -n number not consistent to number of transforms 0 \n"),
            std::string::npos)
      << two.out;

  struct Case {
    const char *name;
    std::vector<std::string> images;
    const char *message;
  } failures[] = {
      {"missing image", {"x.nii.gz", "nothere.nii.gz", "z.nii.gz"}, "nothere.nii.gz"},
      {"different grid", {"x.nii.gz", "y.nii.gz", "small.nii.gz"},
       "error: transformation field images should have same orientation, dimension, size, "
       "spacing small.nii.gz\n"},
  };
  for (const Case &c : failures) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"ref.nii.gz", "-o", "bad", "-n", "1", "-d"};
    args.insert(args.end(), c.images.begin(), c.images.end());
    const auto r = RunTool(args, dir.Path());
    EXPECT_EQ(r.status, 256 - 8);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("error: set field transforamtion image file error \n"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(nuqtest::FileExists(dir.File("bad.FLD")));
  }
}

TEST(CliField, BrokenFldFilesAreRefused) {
  TempDir dir;
  SaveReference(dir.File("ref.nii.gz"));
  nuqtest::WriteWholeFile(dir.File("self.FLD"),
                          "#dimension#\n3\n#one to one#\n1\nself.FLD\nself.FLD\nself.FLD\n");
  nuqtest::WriteWholeFile(dir.File("huge.FLD"), "#dimension#\n99999\n#one to one#\n1\n");
  for (const char *fld : {"self.FLD", "huge.FLD", "absent.FLD"}) {
    SCOPED_TRACE(fld);
    const auto r = RunTool({"ref.nii.gz", "-o", "out", "-n", "1", "-t", fld}, dir.Path());
    EXPECT_EQ(r.status, 256 - 6);
    EXPECT_NE(r.err.find(std::string("error: reading transform file:") + fld + "\n"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(nuqtest::FileExists(dir.File("out.FLD")));
  }
}

// The displacement of an affine on an oblique reference, checked against
// numpy: world points from the reference's qform as nibabel reads it, the
// affine matrix built from its parameters.
TEST(CliField, AffineOnObliqueReferenceMatchesIndependentComputation) {
  const std::string python = nuqtest::PythonWithNibabel();
  if (python.empty()) GTEST_SKIP() << "nibabel and numpy are not available";
  TempDir dir;
  const std::string make = R"PY(
import sys, numpy as np, nibabel as nib
ax = np.array([0.3, -0.5, 0.8]); ax /= np.linalg.norm(ax); a = 0.6
K = np.array([[0, -ax[2], ax[1]], [ax[2], 0, -ax[0]], [-ax[1], ax[0], 0]])
R = np.eye(3) + np.sin(a) * K + (1 - np.cos(a)) * K @ K
A = np.eye(4); A[:3, :3] = R @ np.diag([1.2, 0.8, 2.0]); A[:3, 3] = [-30.5, 12.25, 40.0]
img = nib.Nifti1Image(np.arange(7 * 6 * 5, dtype=np.int16).reshape(7, 6, 5), None)
img.set_qform(A, code=1); img.set_sform(None, code=0)
nib.save(img, sys.argv[1])
)PY";
  nuqtest::WriteWholeFile(dir.File("make.py"), make);
  ASSERT_EQ(std::system((python + " " + dir.File("make.py") + " " + dir.File("ref.nii.gz")).c_str()),
            0);
  nuqtest::WriteWholeFile(dir.File("a.AFF"),
                          "#dimension#\n3\n#one to one#\n1\n#rotation center#\n10\t20\t-5\t\n"
                          "#rotation angle#\n10\t-5\t20\t\n#scaling#\n1.1\t0.9\t1.05\t\n"
                          "#translation#\n3\t-2\t1.5\t\n");
  const auto r = RunTool({"ref.nii.gz", "-o", "out", "-n", "1", "-t", "a.AFF"}, dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;

  const std::string check = R"PY(
import sys, numpy as np, nibabel as nib
d = sys.argv[1]
ref = nib.load(d + '/ref.nii.gz')
Q = ref.get_qform()
rad = np.array([10.0, -5.0, 20.0]) * (np.float32(3.14159) / 180.0)
cx, cy, cz = np.cos(rad); sx, sy, sz = np.sin(rad)
R = np.array([[cy*cz, cy*sz, -sy],
              [sx*sy*cz - cx*sz, sx*sy*sz + cx*cz, sx*cy],
              [cx*sy*cz + sx*sz, cx*sy*sz - sx*cz, cx*cy]])
L = R @ np.diag([1.1, 0.9, 1.05])
c = np.array([10.0, 20.0, -5.0]); t = np.array([3.0, -2.0, 1.5])
i, j, k = np.meshgrid(*[np.arange(n) for n in ref.shape], indexing='ij')
g = np.stack([i, j, k, np.ones_like(i)], -1).reshape(-1, 4).T.astype(float)
p = (Q @ g)[:3]
q = L @ (p - c[:, None]) + c[:, None] + t[:, None]
expected = (q - p).T.reshape(ref.shape + (3,))
got = np.stack([nib.load(d + '/out_' + a + '.nii.gz').get_fdata() for a in 'xyz'], -1)
assert got.shape == expected.shape, (got.shape, expected.shape)
err = np.abs(got - expected).max()
print('max error %.3g mm, max displacement %.3g mm' % (err, np.abs(expected).max()))
sys.exit(0 if err < 1e-4 and np.abs(expected).max() > 1 else 1)
)PY";
  nuqtest::WriteWholeFile(dir.File("check.py"), check);
  EXPECT_EQ(std::system((python + " " + dir.File("check.py") + " " + dir.Path()).c_str()), 0);
}
