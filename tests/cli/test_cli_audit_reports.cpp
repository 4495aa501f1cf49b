// Report figures that constant fixtures cannot tell apart: the sample std
// and rms of -diff and -ic against their population and mean forms, the
// population std of -jac inside a mask, a -jac mask smaller than the
// reference (voxels outside its grid are skipped, not clamped), and a
// one-voxel grid where the sample std has no finite value.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqCliFixtures.h"
#include "nuqTestSupport.h"

namespace {

using nuqclitest::ReadFloatVoxels;

using nuqtest::RunTool;
using nuqtest::TempDir;

struct Quiet {
  int saved = g_nVerbose;
  Quiet() { g_nVerbose = 0; }
  ~Quiet() { g_nVerbose = saved; }
};

// A volume on an axis-aligned 1 mm grid (index = world), voxels from f.
template <class T>
void SaveVolume(const std::string &name, std::vector<int> size, const std::function<T(int, int, int)> &f) {
  Quiet quiet;
  nuqImageInfo orientation;
  int full[4] = {size[0], size[1], size[2], 1};
  float spacing[4] = {1, 1, 1, 1};
  nuqImageDataT<T> volume;
  ASSERT_TRUE(volume.NewImage(3, full, spacing, &orientation));
  for (int z = 0; z < full[2]; ++z)
    for (int y = 0; y < full[1]; ++y)
      for (int x = 0; x < full[0]; ++x) volume.SetPixelByGreyscale(x, y, z, 0, f(x, y, z));
  ASSERT_TRUE(SaveImageFile(&volume, name));
}

void SaveField(const TempDir &dir, const std::string &stem, std::vector<int> size,
               const std::function<float(int, int, int)> &fx, const std::function<float(int, int, int)> &fy,
               const std::function<float(int, int, int)> &fz) {
  SaveVolume<float>(dir.File(stem + "_x.nii.gz"), size, fx);
  SaveVolume<float>(dir.File(stem + "_y.nii.gz"), size, fy);
  SaveVolume<float>(dir.File(stem + "_z.nii.gz"), size, fz);
  nuqtest::WriteWholeFile(dir.File(stem + ".FLD"),
                          "#dimension#\n3\n#one to one#\n1\n#transformation fields in dimension x#\n" + stem +
                              "_x.nii.gz\n#transformation fields in dimension y#\n" + stem +
                              "_y.nii.gz\n#transformation fields in dimension z#\n" + stem + "_z.nii.gz\n");
}

const char *const kIdentity =
    "#dimension#\n3\n#one to one#\n1\n#rotation center#\n0\t0\t0\n#rotation angle#\n0\t0\t0\n#scaling#\n"
    "1\t1\t1\n#translation#\n0\t0\t0\n";
const char *const kDouble =
    "#dimension#\n3\n#one to one#\n1\n#rotation center#\n0\t0\t0\n#rotation angle#\n0\t0\t0\n#scaling#\n"
    "2\t2\t2\n#translation#\n0\t0\t0\n";

std::string Tail(const std::string &out, const std::string &from) {
  const std::string::size_type at = out.find(from);
  return at == std::string::npos ? "(missing: " + out + ")" : out.substr(at);
}

// The six-number line, computed here from the list of magnitudes.
std::string SixNumbers(const std::vector<double> &m) {
  double sum = 0, squares = 0, mx = 0, mn = 9999;
  for (double v : m) {
    sum += v;
    squares += v * v;
    mx = std::max(mx, v);
    mn = std::min(mn, v);
  }
  const double n = double(m.size()), avg = sum / n;
  const double sd = std::sqrt((squares / n - avg * avg) * n / (n - 1));
  char line[160];
  std::snprintf(line, sizeof line, "%10f\t%10f\t%10f\t%10f\t%10f\t%10i\n", std::sqrt(squares / n), avg, sd, mx, mn,
                int(m.size()));
  return line;
}

TEST(CliAuditReports, DifferenceAndConsistencyUseRmsAndTheSampleStd) {
  TempDir dir;
  SaveVolume<short>(dir.File("ref.nii.gz"), {4, 3, 2}, [](int, int, int) { return short(1); });
  // Displacement (3x, 4x, 0): magnitude 5x, so 0, 5, 10, 15 six times each.
  // rms 9.354143 and avg 7.5 differ; the sample std 5.710402 differs from
  // the population one 5.590170.
  SaveField(dir, "f", {4, 3, 2}, [](int x, int, int) { return 3.0f * x; },
            [](int x, int, int) { return 4.0f * x; }, [](int, int, int) { return 0.0f; });
  nuqtest::WriteWholeFile(dir.File("id.AFF"), kIdentity);
  std::vector<double> magnitudes;
  for (int z = 0; z < 2; ++z)
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 4; ++x) magnitudes.push_back(5.0 * x);
  const std::string numbers = SixNumbers(magnitudes);
  ASSERT_EQ(numbers, "  9.354143\t  7.500000\t  5.710402\t 15.000000\t  0.000000\t        24\n");

  struct Case {
    std::vector<std::string> args;
    std::string header;
  } cases[] = {
      {{"ref.nii.gz", "-n", "2", "-t", "f.FLD", "-t", "id.AFF", "-diff"},
       "RealError warping_index(mm)\tavg(mm)\tstd(mm)\tmax(mm)\tmin(mm)\tVoxelsMask\t\t\t\t \n\t"},
      // Order of the pair does not matter for the magnitude.
      {{"ref.nii.gz", "-n", "2", "-t", "id.AFF", "-t", "f.FLD", "-diff"},
       "RealError warping_index(mm)\tavg(mm)\tstd(mm)\tmax(mm)\tmin(mm)\tVoxelsMask\t\t\t\t \n\t"},
      {{"ref.nii.gz", "-n", "1", "-t", "f.FLD", "-ic"},
       "ic rms(mm)\tavg(mm)\tstd(mm)\tmax(mm)\tmin(mm)\tVoxelsMask\t\t\t\t \n\t"},
      {{"ref.nii.gz", "-n", "2", "-t", "f.FLD", "-t", "id.AFF", "-ic"},
       "ic rms(mm)\tavg(mm)\tstd(mm)\tmax(mm)\tmin(mm)\tVoxelsMask\t\t\t\t \n\t"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args[4] + " " + c.args.back());
    const auto r = RunTool(c.args, dir.Path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Tail(r.out, c.header.substr(0, 8)), c.header + numbers);
  }
}

TEST(CliAuditReports, JacobianStatisticsInsideAMaskUseThePopulationStd) {
  TempDir dir;
  SaveVolume<short>(dir.File("ref.nii.gz"), {4, 3, 2}, [](int, int, int) { return short(1); });
  // u_x = 0.1 x^2: the one-unit central difference of the linear field at
  // x = 1 and 2 gives determinants 1.2 and 1.4 (six voxels each).
  SaveField(dir, "f", {4, 3, 2}, [](int x, int, int) { return 0.1f * x * x; },
            [](int, int, int) { return 0.0f; }, [](int, int, int) { return 0.0f; });
  SaveVolume<short>(dir.File("mid.nii.gz"), {4, 3, 2}, [](int x, int, int) { return short(x == 1 || x == 2); });
  const auto r = RunTool({"ref.nii.gz", "-o", "jac", "-n", "1", "-t", "f.FLD", "-jac", "-mask", "mid.nii.gz"},
                         dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string report = Tail(r.out, "\t Mask jacobian (mean, std, max, min)\t");
  std::istringstream in(report.substr(std::string("\t Mask jacobian (mean, std, max, min)\t").size()));
  double mean = 0, sd = 0, mx = 0, mn = 0, atrophy = 0;
  ASSERT_TRUE(in >> mean >> sd >> mx >> mn) << report;
  ASSERT_NE(report.find("\t Mask volume atrophy (1-Vref/Vtest) \t "), std::string::npos) << report;
  const std::string atrophyLabel = "(1-Vref/Vtest) \t ";
  std::istringstream tail(Tail(report, atrophyLabel).substr(atrophyLabel.size()));
  ASSERT_TRUE(tail >> atrophy) << report;
  EXPECT_NEAR(mean, 1.3, 1e-4);
  EXPECT_NEAR(sd, 0.1, 1e-4);  // the sample form would give 0.104447
  EXPECT_NEAR(mx, 1.4, 1e-4);
  EXPECT_NEAR(mn, 1.2, 1e-4);
  EXPECT_NEAR(atrophy, -0.3, 1e-4);
  const std::vector<float> map = ReadFloatVoxels(dir.File("jac.nii.gz"));
  ASSERT_EQ(map.size(), 24u);
  for (int i = 0; i < 24; ++i) {
    const int x = i % 4;
    EXPECT_NEAR(map[i], x == 1 ? 1.2f : x == 2 ? 1.4f : 0.0f, 1e-4) << i;
  }
}

TEST(CliAuditReports, JacobianSkipsVoxelsOutsideASmallerMaskGrid) {
  TempDir dir;
  SaveVolume<short>(dir.File("ref.nii.gz"), {4, 3, 2}, [](int, int, int) { return short(1); });
  nuqtest::WriteWholeFile(dir.File("double.AFF"), kDouble);
  // The mask grid covers x = 0..1 only, all ones. Unlike -diff, which reads
  // the nearest edge voxel, -jac skips the voxels outside the mask grid.
  SaveVolume<short>(dir.File("small.nii.gz"), {2, 3, 2}, [](int, int, int) { return short(1); });
  const auto r = RunTool({"ref.nii.gz", "-o", "jac", "-n", "1", "-t", "double.AFF", "-jac", "-mask", "small.nii.gz"},
                         dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\t Mask jacobian (mean, std, max, min)\t8\t0\t8\t8\n"), std::string::npos) << r.out;
  const std::vector<float> map = ReadFloatVoxels(dir.File("jac.nii.gz"));
  ASSERT_EQ(map.size(), 24u);
  for (int i = 0; i < 24; ++i) EXPECT_EQ(map[i], i % 4 < 2 ? 8.0f : 0.0f) << i;

  const auto diff = RunTool({"ref.nii.gz", "-n", "2", "-t", "double.AFF", "-t", "double.AFF", "-diff", "-mask",
                             "small.nii.gz"},
                            dir.Path());
  ASSERT_EQ(diff.status, 0) << diff.err;
  EXPECT_NE(diff.out.find("  0.000000\t  0.000000\t  0.000000\t  0.000000\t  0.000000\t        24\n"),
            std::string::npos)
      << diff.out;
}

TEST(CliAuditReports, OneVoxelGridPrintsANonFiniteStdAndSucceeds) {
  TempDir dir;
  SaveVolume<short>(dir.File("ref.nii.gz"), {1, 1, 1}, [](int, int, int) { return short(1); });
  nuqtest::WriteWholeFile(dir.File("id.AFF"), kIdentity);
  nuqtest::WriteWholeFile(dir.File("double.AFF"), kDouble);
  const auto r = RunTool({"ref.nii.gz", "-v", "0", "-n", "2", "-t", "id.AFF", "-t", "double.AFF", "-diff"},
                         dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string line = r.out.substr(nuqtest::Banner().size());
  std::istringstream in(line);
  std::string rms, avg, sd, mx, mn;
  int n = 0;
  ASSERT_TRUE(in >> rms >> avg >> sd >> mx >> mn >> n) << line;
  EXPECT_EQ(n, 1);
  EXPECT_FALSE(std::isfinite(std::strtod(sd.c_str(), nullptr))) << line;
  EXPECT_EQ(rms, avg) << line;
  EXPECT_EQ(mx, mn) << line;
}

}  // namespace
