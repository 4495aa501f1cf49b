// -inverr images of a field inverse: the per-axis images hold the signed
// error TI(T(p)) - p (unlike the absolute values of -ic), and the magnitude
// image is their length.
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

// A deformation of a few millimetres, large enough that the border of the
// grid is not inverted exactly.
std::string FfdText() {
  std::string text =
      "#dimension#\n3\n#one to one#\n1\n#control grid size#\n4\n4\n3\n"
      "#control grid spacing#\n4\n4\n4\n#offsets of the control points#\n";
  char buffer[96];
  for (int z = 0; z < 3; ++z) {
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 4; ++x) {
        std::snprintf(buffer, sizeof buffer, "%f %f %f ", 2.5 * std::sin(x + 0.5 * y), 2.0 * std::cos(0.7 * x - z),
                      1.5 * std::sin(y + z));
        text += buffer;
      }
      text += "\n";
    }
    text += "\n";
  }
  return text + "#quaternion qf,qb,qc,qd,qx,qy,qz#\n1 0 0 0 -2 -3 -1\n";
}

TEST(CliAuditInverseError, AxisImagesAreSignedAndTheMagnitudeIsTheirLength) {
  nuqtest::TempDir dir;
  nuqclitest::WriteShortNifti(dir.File("ref.nii"), {12, 10, 8});
  nuqtest::WriteWholeFile(dir.File("w.FFD"), FfdText());
  for (const char *mode : {"-inv", "-invsdi"}) {
    SCOPED_TRACE(mode);
    const auto r = nuqtest::RunTool({"ref.nii", "-o", "out", "-n", "1", "-t", "w.FFD", mode, "-inverr"}, dir.Path());
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<float> e[3];
    for (int k = 0; k < 3; ++k) {
      e[k] = ReadFloatVoxels(dir.File(std::string("outic_") + "xyz"[k] + ".nii.gz"));
      ASSERT_EQ(e[k].size(), 960u);
    }
    const std::vector<float> mag = ReadFloatVoxels(dir.File("outic_mag.nii.gz"));
    ASSERT_EQ(mag.size(), 960u);
    int negative = 0, positive = 0;
    for (size_t i = 0; i < mag.size(); ++i) {
      for (int k = 0; k < 3; ++k) {
        negative += e[k][i] < -1e-3f;
        positive += e[k][i] > 1e-3f;
      }
      const float length = std::sqrt(e[0][i] * e[0][i] + e[1][i] * e[1][i] + e[2][i] * e[2][i]);
      ASSERT_NEAR(mag[i], length, 1e-5f + 1e-5f * length) << i;
    }
    EXPECT_GT(negative, 0);
    EXPECT_GT(positive, 0);
  }
}

}  // namespace
