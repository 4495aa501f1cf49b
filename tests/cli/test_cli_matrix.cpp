// The -matrix action through the built tool, and -t with a name the loader
// does not know.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "nuqCliFixtures.h"
#include "nuqTestSupport.h"
#include "nuqTransformAffine.h"

namespace {

using nuqtest::RunTool;
using nuqtest::TempDir;

std::string AffText(const char *centre, const char *rotation, const char *scaling, const char *translation,
                    const char *skews) {
  return std::string("#dimension#\n3\n#one to one#\n1\n#rotation center#\n") + centre + "\n#rotation angle#\n" +
         rotation + "\n#scaling#\n" + scaling + "\n#translation#\n" + translation +
         "\n#skew in x-y and y-x plane#\n" + skews + "\n";
}

// The numbers of the last four non-empty lines of a text.
std::vector<std::vector<double>> LastRows(const std::string &text, int count) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  std::vector<std::vector<double>> rows;
  for (size_t i = lines.size() >= size_t(count) ? lines.size() - count : 0; i < lines.size(); ++i) {
    std::istringstream row(lines[i]);
    std::vector<double> values;
    for (double v; row >> v;) values.push_back(v);
    rows.push_back(values);
  }
  return rows;
}

void ExpectRows(const std::vector<std::vector<double>> &rows, const double expected[4][4]) {
  ASSERT_EQ(rows.size(), 4u);
  for (int r = 0; r < 4; ++r) {
    ASSERT_EQ(rows[r].size(), 4u) << "row " << r;
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(rows[r][c], expected[r][c], 1e-5) << r << "," << c;
  }
}

const std::string kConcatenate2 = "success: concatenate 2 affines and save as one matrix\n";

class CliMatrix : public testing::Test {
 protected:
  void SetUp() override {
    nuqclitest::WriteShortNifti(dir.File("ref.nii.gz"), {4, 3, 2});
    // A: scaling by 2 about the origin, then the translation (1, 2, 3).
    nuqtest::WriteWholeFile(dir.File("a.AFF"), AffText("0 0 0", "0 0 0", "2 2 2", "1 2 3", "0\n0\n0\n0\n0\n0"));
    // B: rotation by 90 degrees about z, (x, y) -> (y, -x).
    nuqtest::WriteWholeFile(dir.File("b.AFF"), AffText("0 0 0", "0 0 90", "1 1 1", "0 0 0", "0\n0\n0\n0\n0\n0"));
  }
  TempDir dir;
};

TEST_F(CliMatrix, OneAffineKeepsItsOwnParameters) {
  nuqtest::WriteWholeFile(dir.File("c.AFF"), AffText("10 -5 2.5", "10 20 30", "1 2 3", "4 -6 8", "5\n-4\n3\n7\n-6\n2"));
  const auto r = RunTool({"ref.nii.gz", "-o", "out", "-n", "1", "-t", "c.AFF", "-matrix"}, dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("success: concatenate 1 affines and save as one matrix\n"), std::string::npos) << r.out;
  // The saved text is the one the affine writes itself: same parameters
  // (centre, skews in all six places) and the matrix built from them.
  nuqTransformAffine c;
  ASSERT_TRUE(c.ReadFromFile(dir.File("c.AFF")));
  EXPECT_EQ(nuqtest::ReadWholeFile(dir.File("out.AFF")), c.GetTransformText());
  EXPECT_NE(c.GetTransformText().find("#rotation center#\n10.000000\t-5.000000\t2.500000\t\n"
                                      "#rotation angle#\n10.000000\t20.000000\t30.000000\t\n"),
            std::string::npos);
}

TEST_F(CliMatrix, TwoAffinesGiveTheSecondTimesTheFirst) {
  // B * A = [2 B | B t] with B t = (2, -1, 3); A * B would keep t = (1, 2, 3).
  const double expected[4][4] = {{0, 2, 0, 2}, {-2, 0, 0, -1}, {0, 0, 2, 3}, {0, 0, 0, 1}};
  const auto r = RunTool({"ref.nii.gz", "-o", "out.mat", "-n", "2", "-t", "a.AFF", "-t", "b.AFF", "-matrix"},
                         dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(kConcatenate2), std::string::npos) << r.out;
  const std::string text = nuqtest::ReadWholeFile(dir.File("out.mat"));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << text;  // four matrix rows, nothing else
  EXPECT_EQ(text.find('#'), std::string::npos);
  ExpectRows(LastRows(text, 4), expected);
  EXPECT_FALSE(nuqtest::FileExists(dir.File("out.mat.AFF")));

  // Under the bare prefix the same product goes into out.AFF.
  const auto plain =
      RunTool({"ref.nii.gz", "-o", "out", "-n", "2", "-t", "a.AFF", "-t", "b.AFF", "-matrix"}, dir.Path());
  ASSERT_EQ(plain.status, 0) << plain.err;
  const std::string aff = nuqtest::ReadWholeFile(dir.File("out.AFF"));
  ASSERT_NE(aff.find("#matrix#\n"), std::string::npos) << aff;
  ExpectRows(LastRows(aff, 4), expected);
}

TEST_F(CliMatrix, OnlyAffinesEnterButAllAreCounted) {
  for (const char *c : {"x.nii.gz", "y.nii.gz", "z.nii.gz"}) nuqclitest::WriteShortNifti(dir.File(c), {4, 3, 2}, 0);
  const auto r = RunTool(
      {"ref.nii.gz", "-o", "out", "-n", "2", "-t", "a.AFF", "-d", "x.nii.gz", "y.nii.gz", "z.nii.gz", "-matrix"},
      dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(kConcatenate2), std::string::npos) << r.out;
  const double expected[4][4] = {{2, 0, 0, 1}, {0, 2, 0, 2}, {0, 0, 2, 3}, {0, 0, 0, 1}};
  ExpectRows(LastRows(nuqtest::ReadWholeFile(dir.File("out.AFF")), 4), expected);
}

TEST_F(CliMatrix, UnknownExtensionFailsWithTheLoaderLines) {
  const auto r = RunTool({"ref.nii.gz", "-o", "out", "-n", "1", "-t", "warp.xyz", "-matrix"}, dir.Path());
  EXPECT_EQ(r.status, 256 - 6);
  EXPECT_EQ(r.err,
            "error: unknown transform file type:XYZ (the transform extensions read are AFF, MTX, MAT, AFFS, FFD, NII, GIPL, FFDMI, FLD, MATRIX)\n"
            "error: unknown transform file:warp.xyz\n"
            "error: read transforamtion file warp.xyz\n");
  EXPECT_FALSE(nuqtest::FileExists(dir.File("out.AFF")));

  // A malformed affine file fails in its reader, also with status -6.
  nuqtest::WriteWholeFile(dir.File("bad.AFF"), AffText("0 0 0", "0 0 0", "abc", "1 2 3", "0"));
  const auto bad = RunTool({"ref.nii.gz", "-o", "out", "-n", "1", "-t", "bad.AFF", "-matrix"}, dir.Path());
  EXPECT_EQ(bad.status, 256 - 6);
  EXPECT_EQ(bad.err,
            "error: Open Affine Transformation:bad.AFF Failed in reading affine stream!\n"
            "error: reading transform file:bad.AFF\n"
            "error: read transforamtion file bad.AFF\n");
}

}  // namespace
