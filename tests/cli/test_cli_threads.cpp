// The main actions give the same bytes on one thread and on several: every
// console line and every output file of a run with OMP_NUM_THREADS=1 must
// equal those of a run with OMP_NUM_THREADS=2. The fixture is large enough
// that every parallel loop has more blocks than threads, and the field has
// ties and uneven rows (an oblique grid, a mask that cuts rows).
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqTestSupport.h"
#include "nuqTransformFFD.h"

namespace {

using nuqtest::FileExists;
using nuqtest::ReadWholeFile;
using nuqtest::RunTool;
using nuqtest::TempDir;

using nuqtest::QuietSuccess;

// Writes the inputs every run reads: an oblique int16 reference, a mask that
// covers part of it, and two deformations with different offsets.
void WriteInputs(const std::string &folder) {
  QuietSuccess quiet;
  nuqImageDataT<short> reference;
  const int size[4] = {23, 19, 17, 1};
  const float spacing[4] = {1.5f, 1.25f, 2.0f, 1.0f};
  ASSERT_TRUE(reference.NewImage(3, size, spacing, nullptr));
  nuqImageInfo *info = reference.GetInfo();
  info->m_fQuaternB = 0.05f;
  info->m_fQuaternC = -0.08f;
  info->m_fQuaternD = 0.12f;
  info->UpdateOrientation(-2);
  nuqImageDataT<short> mask;
  ASSERT_TRUE(mask.NewImage(info));
  for (int z = 0; z < size[2]; ++z)
    for (int y = 0; y < size[1]; ++y)
      for (int x = 0; x < size[0]; ++x) {
        reference.SetPixelByGreyscale(x, y, z, 0, short((x * 7 + y * 3 + z) % 50));
        mask.SetPixelByGreyscale(x, y, z, 0, short(x + y < 28 && z > 2 ? 1 : 0));
      }
  ASSERT_TRUE(SaveImageFile(&reference, folder + "/ref.nii.gz"));
  ASSERT_TRUE(SaveImageFile(&mask, folder + "/mask.nii.gz"));

  unsigned seed = 4242u;
  for (const char *name : {"/a.FFD", "/b.FFD"}) {
    nuqTransformFFD ffd;
    nuqImageInfo placement;
    placement.SetDimension(3);
    placement.m_fQuaternB = -0.03f;
    placement.m_fQuaternOffset[0] = -30.0f;
    placement.m_fQuaternOffset[1] = -28.0f;
    placement.m_fQuaternOffset[2] = -30.0f;
    placement.UpdateOrientation(-2);
    ffd.SetDimension(3);
    ASSERT_TRUE(ffd.MallocForControlPoints(14, 5.0f, 13, 5.0f, 14, 5.0f, 1, 1.0f));
    ffd.SetControlGridOrientation(&placement);
    for (int i = 0; i < ffd.GetNumberOfParameters(); ++i) {
      seed = seed * 1103515245u + 12345u;
      ffd.SetParameterValue(i, 1.8f * (float((seed >> 8) & 0xFFFF) / 32767.5f - 1.0f));
    }
    ASSERT_TRUE(ffd.SaveToFile(folder + name));
  }
}

struct Action {
  const char *name;
  std::vector<std::string> args;
  std::vector<std::string> outputs;  // files the run must write
};

const std::vector<Action> &Actions() {
  static const std::vector<Action> actions = {
      {"field", {"ref.nii.gz", "-o", "f", "-n", "2", "-t", "a.FFD", "-t", "b.FFD", "-mask",
                 "mask.nii.gz", "-mag"},
       {"f_x.nii.gz", "f_y.nii.gz", "f_z.nii.gz", "f.FLD", "f_mag.nii.gz"}},
      {"sum", {"ref.nii.gz", "-o", "s", "-n", "2", "-t", "a.FFD", "-t", "b.FFD", "-sum"},
       {"s_x.nii.gz", "s_y.nii.gz", "s_z.nii.gz", "s.FLD"}},
      {"jacobian", {"ref.nii.gz", "-o", "j", "-n", "2", "-t", "a.FFD", "-t", "b.FFD", "-jac",
                    "-mask", "mask.nii.gz"},
       {"j.nii.gz"}},
      {"difference", {"ref.nii.gz", "-o", "d", "-n", "2", "-t", "a.FFD", "-t", "b.FFD", "-diff",
                      "-mag"},
       {"d_realerror_x.nii.gz", "d_realerror_mag.nii.gz"}},
      {"inverse", {"ref.nii.gz", "-o", "i", "-n", "1", "-t", "a.FFD", "-inv", "-inverr"},
       {"i_x.nii.gz", "i_y.nii.gz", "i_z.nii.gz", "i.FLD", "iic_x.nii.gz", "iic_mag.nii.gz"}},
      {"inverse of a chain", {"ref.nii.gz", "-o", "c", "-n", "2", "-t", "a.FFD", "-t", "b.FFD",
                              "-inv", "0.7"},
       {"c_x.nii.gz", "c_y.nii.gz", "c_z.nii.gz", "c.FLD"}},
      {"scattered inverse", {"ref.nii.gz", "-o", "v", "-n", "1", "-t", "a.FFD", "-invsdi"},
       {"v_x.nii.gz", "v_y.nii.gz", "v_z.nii.gz", "v.FLD"}},
      {"square root", {"ref.nii.gz", "-o", "r", "-n", "1", "-t", "a.FFD", "-sqrt", "1"},
       {"r_x.nii.gz", "r_y.nii.gz", "r_z.nii.gz", "r.FLD"}},
      // Reads the inverse written above.
      {"inverse consistency", {"ref.nii.gz", "-o", "k", "-n", "2", "-t", "a.FFD", "-t", "i.FLD",
                               "-ic", "-mag", "-mask", "mask.nii.gz"},
       {"k_ic_x.nii.gz", "k_ic_mag.nii.gz"}},
  };
  return actions;
}

// Console text with the wall-clock durations ("... 3 seconds") blanked:
// they are the one thing two runs may differ in.
std::string WithoutDurations(const std::string &text) {
  return std::regex_replace(text, std::regex("[0-9]+ seconds"), "# seconds");
}

}  // namespace

TEST(CliThreads, OneAndTwoThreadsWriteTheSameBytes) {
  TempDir one, two;
  WriteInputs(one.Path());
  WriteInputs(two.Path());
  for (const Action &action : Actions()) {
    SCOPED_TRACE(action.name);
    setenv("OMP_NUM_THREADS", "1", 1);
    const nuqtest::ToolResult serial = RunTool(action.args, one.Path());
    setenv("OMP_NUM_THREADS", "2", 1);
    const nuqtest::ToolResult parallel = RunTool(action.args, two.Path());
    unsetenv("OMP_NUM_THREADS");
    ASSERT_EQ(serial.status, 0) << serial.err;
    EXPECT_EQ(parallel.status, serial.status);
    // The folders differ but the names in the arguments are relative, so the
    // console lines must match exactly.
    EXPECT_EQ(WithoutDurations(parallel.out), WithoutDurations(serial.out));
    EXPECT_EQ(parallel.err, serial.err);
    // A field of zeros would match trivially: the deformations must move points.
    EXPECT_EQ(serial.out.find("=\t0\t0\t"), std::string::npos) << serial.out;
    for (const std::string &name : action.outputs) {
      SCOPED_TRACE(name);
      ASSERT_TRUE(FileExists(one.File(name)));
      const std::string bytes = ReadWholeFile(one.File(name));
      EXPECT_GT(bytes.size(), 100u);
      EXPECT_TRUE(bytes == ReadWholeFile(two.File(name))) << "the files differ";
    }
  }
}
