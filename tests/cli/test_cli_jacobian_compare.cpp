// -jac, -diff and -ic end to end: exact reports, masks, the quiet forms,
// the saved images, and the chain rule checked against independent
// central differences of a field.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <set>
#include <functional>
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

using nuqtest::FileExists;
using nuqtest::RunTool;
using nuqtest::TempDir;

struct Quiet {
  int saved = g_nVerbose;
  Quiet() { g_nVerbose = 0; }
  ~Quiet() { g_nVerbose = saved; }
};

// A volume on an axis-aligned 1 mm grid (index = world), voxels from f.
template <class T>
void SaveVolume(const std::string &name, std::vector<int> size,
                const std::function<T(int, int, int)> &f) {
  Quiet quiet;
  nuqImageInfo orientation;
  const int dim = int(size.size());
  int full[4] = {size[0], size[1], dim > 2 ? size[2] : 1, 1};
  float spacing[4] = {1, 1, 1, 1};
  nuqImageDataT<T> volume;
  ASSERT_TRUE(volume.NewImage(dim, full, spacing, &orientation));
  for (int z = 0; z < full[2]; ++z)
    for (int y = 0; y < full[1]; ++y)
      for (int x = 0; x < full[0]; ++x) volume.SetPixelByGreyscale(x, y, z, 0, f(x, y, z));
  ASSERT_TRUE(SaveImageFile(&volume, name));
}

// x -> s (x - c) + c + t on every axis.
void SaveAffine(const std::string &name, float scale, const float t[3], const float c[3]) {
  std::ostringstream s;
  s << "#dimension#\n3\n#one to one#\n1\n#rotation center#\n"
    << c[0] << "\t" << c[1] << "\t" << c[2] << "\n#rotation angle#\n0\t0\t0\n#scaling#\n"
    << scale << "\t" << scale << "\t" << scale << "\n#translation#\n"
    << t[0] << "\t" << t[1] << "\t" << t[2] << "\n";
  nuqtest::WriteWholeFile(name, s.str());
}

const float kZero[3] = {0, 0, 0};

// A 4x3x2 reference plus identity, doubling and unit-shift affines.
struct Fixture {
  TempDir dir;
  Fixture() {
    SaveVolume<short>(dir.File("ref.nii.gz"), {4, 3, 2}, [](int x, int, int) { return short(x); });
    SaveAffine(dir.File("id.AFF"), 1, kZero, kZero);
    SaveAffine(dir.File("double.AFF"), 2, kZero, kZero);
    const float shift[3] = {1, 0, 0};
    SaveAffine(dir.File("shift.AFF"), 1, shift, kZero);
  }
  nuqtest::ToolResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), "ref.nii.gz");
    return RunTool(args, dir.Path());
  }
};

// The report, then the writer's line when a map is saved.
std::string JacobianReport(const std::string &numbers, const std::string &atrophy,
                           const std::string &saved = "") {
  return "success: will computing jacobian values \n\t Mask jacobian (mean, std, max, min)\t" +
         numbers + "\n\t Mask volume atrophy (1-Vref/Vtest) \t " + atrophy + "\n" +
         (saved.empty() ? "" : "success: Save image " + saved + "\n");
}

std::string Tail(const std::string &out, const std::string &from) {
  const std::string::size_type at = out.find(from);
  return at == std::string::npos ? "(missing: " + out + ")" : out.substr(at);
}

TEST(CliJacobian, ReportsOfConstantDeterminants) {
  Fixture f;
  struct Case {
    const char *transform, *numbers, *atrophy;
  } cases[] = {{"id.AFF", "1\t0\t1\t1", "0"}, {"double.AFF", "8\t0\t8\t8", "-7"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.transform);
    const auto r = f.Run({"-o", "jac", "-n", "1", "-t", c.transform, "-jac"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Tail(r.out, "success: will"), JacobianReport(c.numbers, c.atrophy, "jac.nii.gz"));
    const std::vector<float> map = ReadFloatVoxels(f.dir.File("jac.nii.gz"));
    ASSERT_EQ(map.size(), 24u);
    for (float h : map) EXPECT_FLOAT_EQ(h, c.numbers[0] == '1' ? 1.0f : 8.0f);
  }
}

TEST(CliJacobian, QuietRunWritesOnlyTheInfoFile) {
  Fixture f;
  const auto r = f.Run({"-v", "0", "-n", "1", "-t", "double.AFF", "-jac"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, nuqtest::Banner());
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(nuqtest::ReadWholeFile(f.dir.File("ref.nii.gz_info.txt")), "Atrophy Rate: -700.00%");
  // An empty prefix saves no map: the folder holds the inputs and the info file only.
  std::set<std::string> files;
  for (const auto &e : std::filesystem::directory_iterator(f.dir.Path()))
    files.insert(e.path().filename().string());
  EXPECT_EQ(files, (std::set<std::string>{"ref.nii.gz", "id.AFF", "double.AFF", "shift.AFF",
                                          "ref.nii.gz_info.txt"}));
}

TEST(CliJacobian, MasksSelectVoxelsAndAnEmptyMaskGivesNotANumber) {
  Fixture f;
  // The mask lets through x >= 2 only: 12 voxels of determinant 8.
  SaveVolume<short>(f.dir.File("half.nii.gz"), {4, 3, 2}, [](int x, int, int) { return short(x >= 2); });
  SaveVolume<short>(f.dir.File("none.nii.gz"), {4, 3, 2}, [](int, int, int) { return short(0); });
  auto r = f.Run({"-o", "jac", "-n", "1", "-t", "double.AFF", "-jac", "-mask", "half.nii.gz"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Tail(r.out, "success: will"), JacobianReport("8\t0\t8\t8", "-7", "jac.nii.gz"));
  const std::vector<float> map = ReadFloatVoxels(f.dir.File("jac.nii.gz"));
  ASSERT_EQ(map.size(), 24u);
  for (int i = 0; i < 24; ++i) EXPECT_EQ(map[i], i % 4 >= 2 ? 8.0f : 0.0f) << i;

  r = f.Run({"-n", "1", "-t", "double.AFF", "-jac", "-mask", "none.nii.gz"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string report = Tail(r.out, "success: will");
  // No voxel counted: mean, std and atrophy are not-a-number, the extremes
  // keep their start values.
  EXPECT_EQ(report, JacobianReport("-nan\t-nan\t-1e+20\t1e+20", "-nan")) << report;
}

// Field with displacement (0.05 x^2, 0.02 x y, 0.03 z^2) in mm.
float FieldX(int x, int, int) { return 0.05f * x * x; }
float FieldY(int x, int y, int) { return 0.02f * x * y; }
float FieldZ(int, int, int z) { return 0.03f * z * z; }

// det(I + central differences of the grid samples) at an interior voxel:
// a unit-step difference of the linearly interpolated field equals that.
double ExpectedFieldDeterminant(int x, int y, int z) {
  auto d = [](float (*f)(int, int, int), int x, int y, int z, int axis) {
    const int e[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    return 0.5 * (f(x + e[axis][0], y + e[axis][1], z + e[axis][2]) -
                  f(x - e[axis][0], y - e[axis][1], z - e[axis][2]));
  };
  float (*fs[3])(int, int, int) = {FieldX, FieldY, FieldZ};
  double j[3][3];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) j[r][c] = (r == c) + d(fs[r], x, y, z, c);
  return j[0][0] * (j[1][1] * j[2][2] - j[1][2] * j[2][1]) -
         j[0][1] * (j[1][0] * j[2][2] - j[1][2] * j[2][0]) +
         j[0][2] * (j[1][0] * j[2][1] - j[1][1] * j[2][0]);
}

TEST(CliJacobian, FieldAndChainAgreeWithIndependentDifferences) {
  TempDir dir;
  const int n = 8;
  SaveVolume<short>(dir.File("ref.nii.gz"), {n, n, n}, [](int, int, int) { return short(1); });
  SaveVolume<float>(dir.File("f_x.nii.gz"), {n, n, n}, FieldX);
  SaveVolume<float>(dir.File("f_y.nii.gz"), {n, n, n}, FieldY);
  SaveVolume<float>(dir.File("f_z.nii.gz"), {n, n, n}, FieldZ);
  nuqtest::WriteWholeFile(dir.File("f.FLD"),
                          "#dimension#\n3\n#one to one#\n1\n#transformation fields in dimension x#\n"
                          "f_x.nii.gz\n#transformation fields in dimension y#\nf_y.nii.gz\n"
                          "#transformation fields in dimension z#\nf_z.nii.gz\n");
  const float shift[3] = {1, 0, 0};
  SaveAffine(dir.File("shift.AFF"), 1, shift, kZero);
  SaveAffine(dir.File("double.AFF"), 2, kZero, kZero);

  auto r = RunTool({"ref.nii.gz", "-o", "field", "-n", "1", "-t", "f.FLD", "-jac"}, dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<float> field = ReadFloatVoxels(dir.File("field.nii.gz"));
  ASSERT_EQ(field.size(), size_t(n * n * n));
  int compared = 0;
  for (int z = 1; z < n - 1; ++z)
    for (int y = 1; y < n - 1; ++y)
      for (int x = 1; x < n - 1; ++x, ++compared)
        EXPECT_NEAR(field[x + n * (y + n * z)], ExpectedFieldDeterminant(x, y, z), 1e-3)
            << x << " " << y << " " << z;
  EXPECT_EQ(compared, 216);

  // Shift first: the field's determinant is taken one voxel further along x.
  // Scale first: the product carries the affine's factor 8.
  r = RunTool({"ref.nii.gz", "-o", "chain", "-n", "2", "-t", "shift.AFF", "-t", "f.FLD", "-jac"},
              dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<float> chain = ReadFloatVoxels(dir.File("chain.nii.gz"));
  r = RunTool({"ref.nii.gz", "-o", "scaled", "-n", "2", "-t", "f.FLD", "-t", "double.AFF", "-jac"},
              dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<float> scaled = ReadFloatVoxels(dir.File("scaled.nii.gz"));
  ASSERT_EQ(chain.size(), field.size());
  ASSERT_EQ(scaled.size(), field.size());
  for (int z = 0; z < n; ++z)
    for (int y = 0; y < n; ++y)
      for (int x = 0; x + 1 < n; ++x) {
        const int i = x + n * (y + n * z);
        EXPECT_NEAR(chain[i], field[i + 1], 1e-5) << i;
        EXPECT_NEAR(scaled[i], 8 * field[i], 1e-4) << i;
      }
}

const char *const kDiffHeader =
    "RealError warping_index(mm)\tavg(mm)\tstd(mm)\tmax(mm)\tmin(mm)\tVoxelsMask\t\t\t\t \n\t";
const char *const kIcHeader = "ic rms(mm)\tavg(mm)\tstd(mm)\tmax(mm)\tmin(mm)\tVoxelsMask\t\t\t\t \n\t";

TEST(CliCompare, DifferenceReports) {
  Fixture f;
  // The mask covers x = 0..1 of the reference, 0 at x = 0: reference voxels
  // x = 2, 3 read the mask's edge voxel x = 1, so 18 of 24 voxels count.
  SaveVolume<short>(f.dir.File("small.nii.gz"), {2, 3, 2}, [](int x, int, int) { return short(x); });
  struct Case {
    std::vector<std::string> args;
    std::string report;
  } cases[] = {
      {{"-n", "2", "-t", "double.AFF", "-t", "double.AFF", "-diff"},
       std::string(kDiffHeader) +
           "  0.000000\t  0.000000\t  0.000000\t  0.000000\t  0.000000\t        24\n"},
      {{"-n", "2", "-t", "shift.AFF", "-t", "id.AFF", "-diff", "-mask", "small.nii.gz"},
       std::string(kDiffHeader) +
           "  1.000000\t  1.000000\t  0.000000\t  1.000000\t  1.000000\t        18\n"},
      {{"-v", "0", "-n", "2", "-t", "shift.AFF", "-t", "id.AFF", "-diff"},
       "  1.000000\t  1.000000\t  0.000000\t  1.000000\t  1.000000\t        24\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args.back());
    const auto r = f.Run(c.args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_GE(r.out.size(), c.report.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - c.report.size()), c.report);
  }
  // Quiet: nothing but the banner and the numbers.
  const auto quiet = f.Run(cases[2].args);
  EXPECT_EQ(quiet.out, nuqtest::Banner() + cases[2].report);
}

TEST(CliCompare, DifferenceNeedsExactlyTwoTransforms) {
  Fixture f;
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"-n", "1", "-t", "id.AFF", "-diff"},
        std::vector<std::string>{"-n", "3", "-t", "id.AFF", "-t", "id.AFF", "-t", "id.AFF", "-diff"}}) {
    const auto r = f.Run(args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Tail(r.out, "error:"),
              "error: to compute the transform difference, once needs two transforms\n");
  }
}

TEST(CliCompare, InverseConsistencyOfAnAffineAndItsInverse) {
  Fixture f;
  // x -> 2 (x - c) + c + t and its inverse y -> 0.5 (y - c) + c - t / 2.
  const float c[3] = {1.5f, 1, 0.5f}, t[3] = {0.5f, -1, 2}, back[3] = {-0.25f, 0.5f, -1};
  SaveAffine(f.dir.File("a.AFF"), 2, t, c);
  SaveAffine(f.dir.File("ainv.AFF"), 0.5f, back, c);
  const auto r = f.Run({"-o", "out", "-n", "2", "-t", "a.AFF", "-t", "ainv.AFF", "-ic", "-mag"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string report = Tail(r.out, "ic rms");
  ASSERT_EQ(report.compare(0, std::string(kIcHeader).size(), kIcHeader), 0) << report;
  std::istringstream numbers(report.substr(std::string(kIcHeader).size()));
  double rms, avg, sd, mx, mn;
  int count;
  ASSERT_TRUE(numbers >> rms >> avg >> sd >> mx >> mn >> count) << report;
  EXPECT_LT(mx, 1e-5);
  EXPECT_LT(rms, 1e-5);
  EXPECT_EQ(count, 24);
  for (const char *name : {"out_ic_x.nii.gz", "out_ic_y.nii.gz", "out_ic_z.nii.gz", "out_ic_mag.nii.gz"}) {
    const std::vector<float> v = ReadFloatVoxels(f.dir.File(name));
    ASSERT_EQ(v.size(), 24u) << name;
    for (float e : v) EXPECT_LT(e, 1e-5f) << name;
  }

  // A chain that is not the identity: a unit shift, |e| = 1 everywhere.
  const auto shifted = f.Run({"-n", "1", "-t", "shift.AFF", "-ic"});
  EXPECT_EQ(Tail(shifted.out, "ic rms"),
            std::string(kIcHeader) + "  1.000000\t  1.000000\t  0.000000\t  1.000000\t  1.000000\t        24\n");
}

TEST(CliCompare, TwoDimensionalReferenceSavesTwoAxesAndTheMagnitude) {
  TempDir dir;
  // Through nifticlib: the toolkit's writer stores at least three axes.
  int dims[8] = {2, 4, 3, 1, 1, 1, 1, 1};
  nifti_image *nim = nifti_make_new_nim(dims, DT_INT16, 1);
  ASSERT_NE(nim, nullptr);
  ASSERT_EQ(nifti_set_filenames(nim, dir.File("ref.nii.gz").c_str(), 0, 1), 0);
  nifti_image_write(nim);
  nifti_image_free(nim);
  nuqtest::WriteWholeFile(dir.File("s.AFF"),
                          "#dimension#\n2\n#one to one#\n1\n#rotation center#\n0\t0\n#rotation angle#\n"
                          "0\n#scaling#\n1\t1\n#translation#\n3\t-4\n");
  nuqtest::WriteWholeFile(dir.File("i.AFF"),
                          "#dimension#\n2\n#one to one#\n1\n#rotation center#\n0\t0\n#rotation angle#\n"
                          "0\n#scaling#\n1\t1\n#translation#\n0\t0\n");
  const auto r = RunTool({"ref.nii.gz", "-o", "d", "-n", "2", "-t", "s.AFF", "-t", "i.AFF", "-diff", "-mag"},
                         dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Tail(r.out, "RealError"),
            std::string(kDiffHeader) + "  5.000000\t  5.000000\t  0.000000\t  5.000000\t  5.000000\t        12\n");
  const std::vector<float> x = ReadFloatVoxels(dir.File("d_realerror_x.nii.gz"));
  const std::vector<float> y = ReadFloatVoxels(dir.File("d_realerror_y.nii.gz"));
  const std::vector<float> m = ReadFloatVoxels(dir.File("d_realerror_mag.nii.gz"));
  ASSERT_EQ(x.size(), 12u);
  ASSERT_EQ(y.size(), 12u);
  ASSERT_EQ(m.size(), 12u);
  EXPECT_FLOAT_EQ(x[5], 3);
  EXPECT_FLOAT_EQ(y[5], 4);  // absolute values
  EXPECT_FLOAT_EQ(m[5], 5);
  EXPECT_FALSE(FileExists(dir.File("d_realerror_z.nii.gz")));
}

}  // namespace
