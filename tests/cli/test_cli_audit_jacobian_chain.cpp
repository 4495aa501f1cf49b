// -jac of chains that hold a free-form deformation: its analytic Jacobian is
// taken at the point the earlier transforms map to, and a later affine
// multiplies it by its own determinant.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "nuqCliFixtures.h"
#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqTestSupport.h"

namespace {

using nuqclitest::ReadFloatVoxels;

using nuqtest::RunTool;

// Control grid of 4 mm whose node 0 lies at the reference's world origin.
std::string FfdText() {
  std::string text =
      "#dimension#\n3\n#one to one#\n1\n#control grid size#\n4\n4\n3\n"
      "#control grid spacing#\n4\n4\n4\n#offsets of the control points#\n";
  char buffer[96];
  for (int z = 0; z < 3; ++z) {
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 4; ++x) {
        std::snprintf(buffer, sizeof buffer, "%f %f %f ", 1.5 * std::sin(x + 0.5 * y), 1.0 * std::cos(0.7 * x - z),
                      0.8 * std::sin(y + z));
        text += buffer;
      }
      text += "\n";
    }
    text += "\n";
  }
  return text + "#quaternion qf,qb,qc,qd,qx,qy,qz#\n1 0 0 0 -2 -3 -1\n";
}

std::string Affine(const char *scaling, const char *translation) {
  return std::string("#dimension#\n3\n#one to one#\n1\n#rotation center#\n0\t0\t0\n#rotation angle#\n0\t0\t0\n") +
         "#scaling#\n" + scaling + "\n#translation#\n" + translation + "\n";
}

TEST(CliAuditJacobianChain, DeformationTakenAtTheMappedPointAndScaledByALaterAffine) {
  nuqtest::TempDir dir;
  const int n[3] = {12, 10, 8};
  nuqclitest::WriteShortNifti(dir.File("ref.nii"), {n[0], n[1], n[2]});
  nuqtest::WriteWholeFile(dir.File("w.FFD"), FfdText());
  nuqtest::WriteWholeFile(dir.File("shift.AFF"), Affine("1\t1\t1", "1\t0\t0"));
  nuqtest::WriteWholeFile(dir.File("double.AFF"), Affine("2\t2\t2", "0\t0\t0"));

  struct Run {
    const char *prefix;
    std::vector<std::string> transforms;
  } runs[] = {{"alone", {"w.FFD"}}, {"shifted", {"shift.AFF", "w.FFD"}}, {"scaled", {"w.FFD", "double.AFF"}}};
  std::vector<float> maps[3];
  for (int k = 0; k < 3; ++k) {
    std::vector<std::string> args = {"ref.nii", "-o", runs[k].prefix, "-n", std::to_string(runs[k].transforms.size())};
    for (const std::string &t : runs[k].transforms) {
      args.push_back("-t");
      args.push_back(t);
    }
    args.push_back("-jac");
    const auto r = RunTool(args, dir.Path());
    ASSERT_EQ(r.status, 0) << r.err;
    maps[k] = ReadFloatVoxels(dir.File(std::string(runs[k].prefix) + ".nii.gz"));
    ASSERT_EQ(maps[k].size(), size_t(n[0] * n[1] * n[2])) << runs[k].prefix;
  }
  float spread = 0;
  for (int z = 0; z < n[2]; ++z)
    for (int y = 0; y < n[1]; ++y)
      for (int x = 0; x < n[0]; ++x) {
        const int i = x + n[0] * (y + n[1] * z);
        spread = std::fmax(spread, std::fabs(maps[0][i] - 1));
        // One millimetre along x is one voxel of the reference.
        if (x + 1 < n[0]) {
          EXPECT_NEAR(maps[1][i], maps[0][i + 1], 1e-5) << x << "," << y << "," << z;
        }
        EXPECT_NEAR(maps[2][i], 8 * maps[0][i], 1e-4) << x << "," << y << "," << z;
      }
  EXPECT_GT(spread, 0.1f) << "the deformation should change volumes";
}

}  // namespace
