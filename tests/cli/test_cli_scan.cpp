// The option scan called directly: values the console does not show
// (sampling factor of the inverse, facet, flags) and the number readers.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "nuqCliFixtures.h"
#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqOptionScan.h"
#include "nuqTestSupport.h"

namespace {

// Scans "tool ref <options>" into run and returns the status.
int Scan(const std::vector<std::string> &options, nuqRun &run) {
  std::vector<std::string> args = {"tool", "ref.nii"};
  args.insert(args.end(), options.begin(), options.end());
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  const int saved = g_nVerbose;
  g_nVerbose = 0;
  const int status = ScanOptions(static_cast<int>(args.size()), argv.data(), run);
  g_nVerbose = saved;
  return status;
}

TEST(OptionScan, InverseModeAndSamplingFactor) {
  struct Case {
    const char *name;
    std::vector<std::string> options;
    nuqInverseMode mode;
    float factor;
    bool mag;
  } cases[] = {
      {"-inv last", {"-inv"}, nuqInverseMode::Iterative, 1.0f, false},
      {"-inv -mag", {"-inv", "-mag"}, nuqInverseMode::Iterative, 1.0f, true},
      {"-inv -0.5", {"-inv", "-0.5"}, nuqInverseMode::Iterative, -0.5f, false},
      {"-inv .25", {"-inv", ".25"}, nuqInverseMode::Iterative, 0.25f, false},
      {"-inv -.5", {"-inv", "-.5"}, nuqInverseMode::Iterative, -0.5f, false},
      {"-invsdi 2", {"-invsdi", "2", "-mag"}, nuqInverseMode::ScatteredData, 2.0f, true},
      {"later mode wins", {"-inv", "3", "-invsdi"}, nuqInverseMode::ScatteredData, 3.0f, false},
      {"no inverse", {"-mag"}, nuqInverseMode::Off, 1.0f, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    nuqRun run;
    ASSERT_EQ(Scan(c.options, run), 0);
    EXPECT_EQ(run.settings.eInverseMode, c.mode);
    EXPECT_FLOAT_EQ(run.settings.fInverseSamplingFactor, c.factor);
    EXPECT_EQ(run.settings.bMag, c.mag);
  }
}

TEST(OptionScan, FacetAndRoiNeedSixValues) {
  nuqRun run;
  ASSERT_EQ(Scan({"-facet", "1", "-2", "3.5", "4", "5", "6", "-roi", "1", "2", "3", "7", "8",
                  "9"},
                 run),
            0);
  const nuqRunSettings &s = run.settings;
  EXPECT_FLOAT_EQ(s.fFacetFrom[0], 1.0f);
  EXPECT_FLOAT_EQ(s.fFacetFrom[1], -2.0f);
  EXPECT_FLOAT_EQ(s.fFacetFrom[2], 3.5f);
  EXPECT_FLOAT_EQ(s.fFacetTo[2], 6.0f);
  EXPECT_EQ(s.iRoiFrom[0], 1);
  EXPECT_EQ(s.iRoiTo[2], 9);
  EXPECT_EQ(s.iRoiTo[3], 0);

  nuqRun few;
  ASSERT_EQ(Scan({"-facet", "1", "2", "3", "4", "5"}, few), 0);
  EXPECT_FLOAT_EQ(few.settings.fFacetFrom[0], -1e20f);
  EXPECT_FLOAT_EQ(few.settings.fFacetTo[2], 1e20f);

  // The cursor ends on the sixth value; the scan goes on after it.
  nuqRun after;
  ASSERT_EQ(Scan({"-roi", "1", "2", "3", "4", "5", "6", "-sum"}, after), 0);
  EXPECT_TRUE(after.settings.bSum);
}

TEST(OptionScan, FlagsCountsAndLastOneWins) {
  nuqRun run;
  ASSERT_EQ(Scan({"-ic", "-diff", "-matrix", "-sum", "-savenewAFFS", "-inverr", "-fld", "-sqrt",
                  "3", "-o", "first", "-o", "second", "-n", "4", "-n", "0"},
                 run),
            0);
  const nuqRunSettings &s = run.settings;
  EXPECT_TRUE(s.bIc && s.bDiff && s.bMatrix && s.bSum && s.bSaveNewAFFS && s.bInverseError);
  EXPECT_FALSE(s.bMag || s.bJac);
  EXPECT_TRUE(s.bSqrt);
  EXPECT_EQ(s.nSqrtTimes, 3);
  EXPECT_EQ(s.strOutputPrefix, "second");
  EXPECT_EQ(s.nExpectedTransforms, 0);
  EXPECT_EQ(run.nTransformsRead, 0);

  nuqRun bare;
  ASSERT_EQ(Scan({"-sqrt"}, bare), 0);  // no value follows: ignored
  EXPECT_FALSE(bare.settings.bSqrt);
  EXPECT_EQ(bare.settings.nExpectedTransforms, -1);
}

TEST(OptionScan, RegionNames) {
  nuqRun run;
  ASSERT_EQ(Scan({"-loc", "2", "a.nii", "b.nii", "-loc", "1", "c.nii"}, run), 0);
  EXPECT_EQ(run.settings.nLocalRegions, 1);
  EXPECT_EQ(run.settings.aRegionFileNames[0], "c.nii");
  EXPECT_EQ(run.settings.aRegionFileNames[1], "b.nii");  // not cleared by a shorter list

  nuqRun negative;
  ASSERT_EQ(Scan({"-loc", "-1", "a.nii"}, negative), 0);
  EXPECT_EQ(negative.settings.nLocalRegions, -1);
  EXPECT_EQ(negative.settings.aRegionFileNames[0], "");
}

TEST(OptionScan, JacCreatesItsImageOnTheReferenceGrid) {
  nuqtest::TempDir dir;
  const std::string ref = nuqclitest::WriteShortNifti(dir.File("ref.nii"), {5, 4, 3});
  nuqRun run;
  ASSERT_TRUE(ReadImageFile(&run.referenceImage, ref));
  EXPECT_TRUE(run.jacobianImage.IsEmpty());
  ASSERT_EQ(Scan({"-jac"}, run), 0);
  EXPECT_TRUE(run.settings.bJac);
  ASSERT_FALSE(run.jacobianImage.IsEmpty());
  EXPECT_EQ(run.jacobianImage.GetNumberOfPixels(), 60);
  EXPECT_TRUE(run.jacobianImage.GetInfo()->IsSameGrid(run.referenceImage.GetInfo()));
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      EXPECT_FLOAT_EQ(run.jacobianImage.GetInfo()->m_fImageToWorld[r][c],
                      run.referenceImage.GetInfo()->m_fImageToWorld[r][c]);
}

TEST(NumberReaders, ReadLikeAtoiAndAtofWithoutOverflow) {
  struct IntCase {
    const char *text;
    int value;
  } ints[] = {{"12", 12},          {"  -7x", -7},          {"+5", 5},
              {"abc", 0},          {"", 0},                {"3.9", 3},
              {"2147483647", INT_MAX}, {"99999999999", INT_MAX}, {"-2147483648", INT_MIN},
              {"-99999999999", INT_MIN}};
  for (const IntCase &c : ints) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseIntValue(c.text), c.value);
  }
  EXPECT_EQ(ParseIntValue(nullptr), 0);

  EXPECT_FLOAT_EQ(ParseFloatValue("-0.5"), -0.5f);
  EXPECT_FLOAT_EQ(ParseFloatValue(" 1e3mm"), 1000.0f);
  EXPECT_FLOAT_EQ(ParseFloatValue("x"), 0.0f);
  EXPECT_TRUE(std::isinf(ParseFloatValue("1e100")) && ParseFloatValue("1e100") > 0);
  EXPECT_TRUE(std::isinf(ParseFloatValue("-1e100")) && ParseFloatValue("-1e100") < 0);
}

}  // namespace
