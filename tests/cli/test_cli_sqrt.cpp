// The -sqrt action through the built tool: roots of the identity and of
// translations, its messages, the refused counts and what is saved.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <string>
#include <vector>

#include "nuqCliFixtures.h"
#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqTestSupport.h"
#include "nuqTransformFields.h"

namespace {

using nuqtest::RunTool;
using nuqtest::TempDir;

std::string Translation(const char *t) {
  return std::string(
             "#dimension#\n3\n#one to one#\n1\n#rotation center#\n0 0 0\n#rotation angle#\n0 0 0\n"
             "#scaling#\n1 1 1\n#translation#\n") +
         t + "\n#skew#\n0\n0\n0\n0\n0\n0\n";
}

struct Quiet {
  int saved = g_nVerbose;
  Quiet() { g_nVerbose = 0; }
  ~Quiet() { g_nVerbose = saved; }
};

// Largest |voxel - value| of a saved component; -1 when it cannot be read.
float Deviation(const std::string &name, float value) {
  Quiet quiet;
  nuqImageDataT<float> volume;
  if (!ReadImageFile(&volume, name)) return -1;
  float largest = 0;
  for (int i = 0; i < volume.GetNumberOfPixels(); ++i)
    largest = std::fmax(largest, std::fabs(volume.GetImageData()[i] - value));
  return largest;
}

int Count(const std::string &text, const std::string &part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

const char *const kSaved[4] = {"out_x.nii.gz", "out_y.nii.gz", "out_z.nii.gz", "out.FLD"};

class CliSqrt : public testing::Test {
 protected:
  void SetUp() override {
    nuqclitest::WriteShortNifti(dir.File("ref.nii.gz"), {12, 10, 8});
    nuqtest::WriteWholeFile(dir.File("t.AFF"), Translation("3 -2 1.5"));
  }
  void ExpectNothingSaved() {
    for (const char *name : kSaved) EXPECT_FALSE(nuqtest::FileExists(dir.File(name))) << name;
  }
  TempDir dir;
};

TEST_F(CliSqrt, RootOfTheIdentityFieldStopsAtOnceOnEveryLevelAndIsZero) {
  {
    // A zero displacement field on the reference grid, saved as id.FLD.
    Quiet quiet;
    nuqImageDataT<short> reference;
    ASSERT_TRUE(ReadImageFile(&reference, dir.File("ref.nii.gz")));
    nuqTransformFields identity;
    nuqImageInfo *grid = reference.GetInfo();
    identity.NewTransformFields(3, grid->m_iSize, grid->m_fSpacing, grid);
    ASSERT_TRUE(identity.SaveToFile(dir.File("id.FLD")));
  }
  const auto r = RunTool({"ref.nii.gz", "-o", "out", "-n", "1", "-t", "id.FLD", "-sqrt", "1", "-v", "2"},
                         dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Count(r.out, "\nsuccess: Optimisation Step:\t1\t of 100\n"), 4) << r.out;
  EXPECT_EQ(Count(r.out, "\nsuccess: Reach zero gradient for stop 0\n"), 4) << r.out;
  EXPECT_EQ(Count(r.out, "Optimisation Step:\t2"), 0) << r.out;
  for (int c = 0; c < 3; ++c) EXPECT_EQ(Deviation(dir.File(kSaved[c]), 0.0f), 0.0f) << kSaved[c];
  EXPECT_EQ(nuqtest::ReadWholeFile(dir.File("out.FLD")),
            "#dimension#\n3\n#one to one#\n1\n\n#transformation fields in dimension x#\nout_x.nii.gz\n"
            "\n#transformation fields in dimension y#\nout_y.nii.gz\n"
            "\n#transformation fields in dimension z#\nout_z.nii.gz\n");
}

TEST_F(CliSqrt, RootsOfATranslationAreItsHalfAndQuarter) {
  struct Case {
    const char *n;
    float factor;
  } cases[] = {{"1", 0.5f}, {"2", 0.25f}};
  const float t[3] = {3, -2, 1.5f};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.n);
    const auto r = RunTool({"ref.nii.gz", "-o", "out", "-n", "1", "-t", "t.AFF", "-sqrt", c.n}, dir.Path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(Deviation(dir.File(kSaved[k]), t[k] * c.factor), 0.0f, 1e-5f) << kSaved[k];
    EXPECT_TRUE(nuqtest::FileExists(dir.File("out.FLD")));
  }
}

TEST_F(CliSqrt, MessagesOfOneRootAtTheDefaultVerbosity) {
  const auto r = RunTool({"ref.nii.gz", "-o", "out", "-n", "1", "-t", "t.AFF", "-sqrt", "1"}, dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string read = "success: read transformation file t.AFF\n";
  const size_t at = r.out.find(read);
  ASSERT_NE(at, std::string::npos) << r.out;
  // Durations are whole seconds of the wall clock: any count is accepted.
  const std::string tail =
      std::regex_replace(r.out.substr(at + read.size()), std::regex("Used [0-9]+ seconds"), "Used N seconds");
  std::string expected;
  const char *levels[4][2] = {{"4", "0.4"}, {"2", "0.2"}, {"1.5", "0.15"}, {"1", "0.1"}};
  for (int l = 0; l < 4; ++l)
    expected += "\nsuccess: Optimization " + std::to_string(l + 1) + " of 4, with sampling " + levels[l][0] +
                " times, step length " + levels[l][1] + "\n\nsuccess: Used N seconds (" +
                std::to_string(l + 1) + " of 4)\n";
  expected += "success: compute square root transformation (1/2)^1 of (1/2)^1\n";
  EXPECT_EQ(tail.substr(0, expected.size()), expected);
  EXPECT_NE(tail.find("out_x.nii.gz"), std::string::npos);  // the save follows
}

TEST_F(CliSqrt, ZeroRootsSaveNothingAndSucceed) {
  const auto r = RunTool({"ref.nii.gz", "-o", "out", "-n", "1", "-t", "t.AFF", "-sqrt", "0"}, dir.Path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.find("Optimization"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("square root"), std::string::npos) << r.out;
  ExpectNothingSaved();
}

TEST_F(CliSqrt, TwoTransformsAreRefused) {
  nuqtest::WriteWholeFile(dir.File("u.AFF"), Translation("1 1 1"));
  const auto r = RunTool({"ref.nii.gz", "-o", "out", "-n", "2", "-t", "t.AFF", "-t", "u.AFF", "-sqrt", "1"},
                         dir.Path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "error: only compute square root for first transformation\n");
  EXPECT_EQ(r.out.find("Optimization"), std::string::npos) << r.out;
  ExpectNothingSaved();
}

}  // namespace
