// Runs the built tool and compares standard output, standard error and the
// exit status exactly: usage text, banner, echo, verbosity, the checks of the
// run flow and the scan rules that are easy to get wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nuqCliFixtures.h"
#include "nuqTestSupport.h"

namespace {

using nuqclitest::Echo;
using nuqtest::Banner;
using nuqtest::RunTool;
using nuqtest::TempDir;

const char *const kUsage =
    "nuqtransformvector (to compute the transformation displacement vectors of the joint "
    "transforms, result transform fields are unit of millimetre)\n"
    "nuqtransformvector imageAsOrientationReference.\n"
    "  <-o>           (outresultfilename, without extension) \n"
    "  <-n i>         (no. of transforms,max 100)\n"
    "  <-t s>         (transformation, multi-input or several ones)\n"
    "  <-d s s s>     (displacement image fields, multi-input)\n"
    "  <-loc i s...s> (local affines regions, number of regions i, s...s are the region images, "
    "with -roi)\n"
    "  <-locaff i s...s> (local affines, number of regions i, s...s are the afines)\n"
    "  <-facet fromx fromy fromz tox toy toz>\n"
    "                 ([-InfiniteLargeFloat,InfiniteLargeFloat] PHYSICAL, not world, coordinate "
    "of reference image)\n"
    "  <-savenewAFFS> (save input AFFS using new format,with local region file names and facet)\n"
    "\n"
    "  <-matrix>      (save as affine matrix type, only take {-t} are AFF/MTX/matrix/mat)\n"
    "  <-sum>         (sum transforms into one transform.FLD instead of joint transform)\n"
    "  <-mag>         (save magnitude of transformation) \n"
    "\n"
    "  <-jac>         (compute Jacobian value of the input transformation, saving name from -o)\n"
    "  <-mask s>      (mask image, same size as reference image., to compute the Jacobian value "
    "and cout the volume change)\n"
    "\n"
    "  <-diff>        (compute the difference after two transforms, output the max, mean, std, "
    "if -mag then save the image)\n"
    "  <-mask s>      (mask image to compute the difference after the two transforms, don't "
    "have to same save as reference image)\n"
    "\n"
    "  <-ic>          (compute the inconsistency )\n"
    "  <-mask s>      (mask image to compute the ic)\n"
    "\n"
    "  <-inv f>       ([1] directly interpolate the inverse transformation by using f Jacobian "
    "weighting, if AFF then use inverse matrix)\n"
    "  <-sqrt n>      (square root n times, compute 1/(2^n) transformation, only -n 1)\n"
    "\n"
    "  <-inverr>      (all save the inverse consistency |TI(T(t))| error)\n"
    "  <-roi xf yf zf xt yt zt> (integral)\n";

const std::string kMismatch0 = "error: -n number not consistent to number of transforms 0 \n";
const std::string kNoTransforms = "error: number of transforms should big than 0 \n";
const std::string kCount0 = "success: number of transforms is 0\n";

// A 3-D translation by (1, 0, 0) mm in AFF text, without the matrix section.
const char *const kShiftAff =
    "#dimension#\n3\n#one to one#\n1\n#rotation center#\n0 0 0\n#rotation angle#\n0 0 0\n"
    "#scaling#\n1 1 1\n#translation#\n1 0 0\n#skew#\n0\n0\n0\n0\n0\n0\n";
const std::string kReadShift = "success: new transform AFF\nsuccess: read transformation file t.AFF\n";

// A folder with the 3-D reference ref.nii and the 4-D reference ref4.nii.
class CliRun : public ::testing::Test {
 protected:
  void SetUp() override {
    nuqclitest::WriteShortNifti(m_dir.File("ref.nii"), {5, 4, 3});
    nuqclitest::WriteShortNifti(m_dir.File("ref4.nii"), {4, 3, 2, 2});
  }
  nuqtest::ToolResult Run(const std::vector<std::string> &args, const std::string &in = "") {
    return RunTool(args, m_dir.Path(), in);
  }
  // What every verbose run with a readable reference prints first.
  static std::string Head(const std::vector<std::string> &args) {
    return Banner() + Echo(args) + "success: open image " + args[0] + " !\n" +
           "success: reference image is " + args[0] + "\n";
  }
  TempDir m_dir;
};

TEST_F(CliRun, NoArgumentsPrintsUsageAndWaitsForOneInteger) {
  for (const char *input : {"", "7\n", "not a number\n"}) {
    SCOPED_TRACE(input);
    const nuqtest::ToolResult r = Run({}, input);
    EXPECT_EQ(r.out, Banner() + kUsage);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 255);
  }
}

struct RunCase {
  const char *name;
  std::vector<std::string> args;
  std::string outAfterHead;  // standard output after banner, echo and reference line
  std::string err;
  int status;
};

// Runs with a readable 3-D reference (ref.nii) and verbosity 1.
TEST_F(CliRun, ChecksMessagesAndStatuses) {
  const RunCase cases[] = {
      {"only the reference", {"ref.nii"}, kMismatch0, "", 255},
      {"no -n gives expected -1", {"ref.nii", "-mag"}, kMismatch0, "", 255},
      {"-n differs from the count",
       {"ref.nii", "-n", "2"},
       "success: number of transforms is 2\n" + kMismatch0,
       "",
       255},
      {"-n 0 and no transform", {"ref.nii", "-n", "0"}, kCount0, kNoTransforms, 249},
      {"-o last", {"ref.nii", "-o"}, "", "error: no saving name with -o\n", 253},
      {"-n last", {"ref.nii", "-n"}, "", "error: no number of transformations with -n \n", 252},
      {"-t last", {"ref.nii", "-t"}, "", "error: no transformation file name with -t \n", 251},
      {"-o value then -t last",
       {"ref.nii", "-o", "out", "-t"},
       "success: output result file name prefix is out\n",
       "error: no transformation file name with -t \n",
       251},
      {"unknown transform extension",
       {"ref.nii", "-n", "1", "-t", "warp.xyz"},
       "success: number of transforms is 1\n",
       "error: unknown transform file type:XYZ (the transform extensions read are AFF, MTX, MAT, AFFS, FFD, NII, GIPL, FFDMI, FLD, MATRIX)\nerror: unknown transform file:warp.xyz\n"
       "error: read transforamtion file warp.xyz\n",
       250},
      {"transform name without extension",
       {"ref.nii", "-t", "warp"},
       "",
       "error: unknown transform file type: (the transform extensions read are AFF, MTX, MAT, AFFS, FFD, NII, GIPL, FFDMI, FLD, MATRIX)\nerror: unknown transform file:warp\n"
       "error: read transforamtion file warp\n",
       250},
      {"unreadable mask",
       {"ref.nii", "-mask", "nomask.xyz", "-n", "0"},
       "error: open mask image failnomask.xyz\n",
       "error: cannot read image nomask.xyz: no image reader takes its extension (the extensions read are .gipl, .nii, .nii.gz, .hdr, .img, .hdr.gz, .img.gz) (No such file or directory)\n",
       255},
      {"-loc count beyond the arguments",
       {"ref.nii", "-loc", "3", "a.nii", "b.nii"},
       "",
       "error: -loc needs 3 region image names, only 2 follow\n",
       255},
      {"-locaff count beyond the arguments",
       {"ref.nii", "-locaff", "2", "a.AFF"},
       "",
       "error: -locaff needs 2 affine file names, only 1 follow\n",
       255},
      {"-d on a 3-D reference needs three names, two are ignored",
       {"ref.nii", "-n", "1", "-d", "x.nii", "y.nii"},
       "success: number of transforms is 1\n" + kMismatch0,
       "",
       255},
      // Scan rules.
      {"last -n wins",
       {"ref.nii", "-n", "3", "-n", "0"},
       "success: number of transforms is 3\n" + kCount0,
       kNoTransforms,
       249},
      {"every -o is scanned",
       {"ref.nii", "-o", "a", "-o", "b", "-n", "0"},
       "success: output result file name prefix is a\n"
       "success: output result file name prefix is b\n" +
           kCount0,
       kNoTransforms,
       249},
      {"a value spelling a later option is that option",
       {"ref.nii", "-sqrt", "-o", "out", "-n", "0"},
       "success: output result file name prefix is out\n" + kCount0,
       kNoTransforms,
       249},
      {"a region name spelling a later option is that option",
       {"ref.nii", "-loc", "1", "-o", "out", "-n", "0"},
       "success: output result file name prefix is out\n" + kCount0,
       kNoTransforms,
       249},
      {"a value spelling an option of the same group is only a value",
       {"ref.nii", "-n", "-t", "warp.xyz"},
       kCount0,
       kNoTransforms,
       249},
      {"-inv does not take an option as its value",
       {"ref.nii", "-inv", "-o", "out", "-n", "0"},
       "success: output result file name prefix is out\n" + kCount0,
       kNoTransforms,
       249},
      {"-inv takes a negative number as its value",
       {"ref.nii", "-inv", "-0.5", "-n", "0"},
       kCount0,
       kNoTransforms,
       249},
      {"-roi with six values",
       {"ref.nii", "-roi", "1", "2", "3", "4", "5", "6", "-n", "0"},
       "success: roi from 1 2 3 to 4 5 6\n" + kCount0,
       kNoTransforms,
       249},
      {"-roi with five values is ignored",
       {"ref.nii", "-n", "0", "-roi", "1", "2", "3", "4", "5"},
       kCount0,
       kNoTransforms,
       249},
      {"-mask as the last argument is ignored", {"ref.nii", "-n", "0", "-mask"}, kCount0,
       kNoTransforms, 249},
      {"-loc 0 stores nothing", {"ref.nii", "-loc", "0", "-n", "0"}, kCount0, kNoTransforms, 249},
      {"-fld has no effect", {"ref.nii", "-fld", "-n", "0"}, kCount0, kNoTransforms, 249},
      {"the main scan skips -v and its value",
       {"ref.nii", "-v", "1", "-n", "0"},
       kCount0,
       kNoTransforms,
       249},
  };
  for (const RunCase &c : cases) {
    SCOPED_TRACE(c.name);
    const nuqtest::ToolResult r = Run(c.args);
    EXPECT_EQ(r.out, Head(c.args) + c.outAfterHead);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
  }
}

TEST_F(CliRun, UnreadableReferenceEndsWithStatusMinus2) {
  const std::vector<std::string> args = {"missing.xyz", "-n", "1"};
  const nuqtest::ToolResult r = Run(args);
  EXPECT_EQ(r.out, Banner() + Echo(args));
  EXPECT_EQ(r.err, "error: cannot read image missing.xyz: no image reader takes its extension (the extensions read are .gipl, .nii, .nii.gz, .hdr, .img, .hdr.gz, .img.gz) (No such file or directory)\n"
                   "error: open reference image missing.xyz\n");
  EXPECT_EQ(r.status, 254);
  // A NIfTI name that does not exist: the reader may explain first, the
  // entry point's line comes last.
  const nuqtest::ToolResult n = Run({"missing.nii", "-n", "1"});
  EXPECT_EQ(n.status, 254);
  const std::string last = "error: open reference image missing.nii\n";
  ASSERT_GE(n.err.size(), last.size());
  EXPECT_EQ(n.err.substr(n.err.size() - last.size()), last);
}

TEST_F(CliRun, VerbosityGatesSuccessLinesNotErrorsOrTheBanner) {
  struct VCase {
    const char *name;
    std::vector<std::string> args;
    bool verbose;
  } cases[] = {
      {"-v 0 silences echo and success lines", {"ref.nii", "-v", "0", "-n", "0"}, false},
      {"-v as the last argument gives 1", {"ref.nii", "-n", "0", "-v"}, true},
      {"-v followed by an option gives 1", {"ref.nii", "-v", "-fld", "-n", "0"}, true},
      {"-v 2 keeps success lines", {"ref.nii", "-v", "2", "-n", "0"}, true},
      {"a later -v wins", {"ref.nii", "-v", "0", "-v", "2", "-n", "0"}, true},
      {"a later -v 0 wins", {"ref.nii", "-v", "2", "-v", "0", "-n", "0"}, false},
  };
  for (const VCase &c : cases) {
    SCOPED_TRACE(c.name);
    const nuqtest::ToolResult r = Run(c.args);
    EXPECT_EQ(r.out, c.verbose ? Head(c.args) + kCount0 : Banner());
    EXPECT_EQ(r.err, kNoTransforms);
    EXPECT_EQ(r.status, 249);
  }
  // Errors that go to standard output are printed at verbosity 0 too.
  const nuqtest::ToolResult quiet = Run({"ref.nii", "-v", "0"});
  EXPECT_EQ(quiet.out, Banner() + kMismatch0);
  EXPECT_EQ(quiet.status, 255);
}

TEST_F(CliRun, BoundsOfTheRegionAndTransformLists) {
  // 257 region names: refused before any name is read.
  std::vector<std::string> args = {"ref.nii", "-loc", "257"};
  for (int k = 0; k < 257; ++k) args.push_back("r" + std::to_string(k) + ".nii");
  nuqtest::ToolResult r = Run(args);
  EXPECT_EQ(r.out, Head(args));
  EXPECT_EQ(r.err, "error: -loc names 257 regions, more than 256\n");
  EXPECT_EQ(r.status, 255);

  // 256 names are accepted (the count check then fails on the transforms).
  args.resize(3 + 256);
  args[2] = "256";
  r = Run(args);
  EXPECT_EQ(r.out, Head(args) + kMismatch0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 255);
}

TEST_F(CliRun, LocalAffineSetupMessagesAndStatuses) {
  nuqtest::WriteWholeFile(m_dir.File("t.AFF"), kShiftAff);
  const std::string readLocal = "success: \t read in local affine t.AFF\n";
  std::vector<std::string> tooMany = {"ref.nii", "-locaff", "257"};
  for (int k = 0; k < 257; ++k) tooMany.push_back("t.AFF");
  const RunCase cases[] = {
      {"unreadable affine file",
       {"ref.nii", "-locaff", "1", "missing.AFF", "-n", "1"},
       "",
       "error: can not find Affine Transformation:missing.AFF! (No such file or directory)\n"
       "error: set 0th local affine failed!\n",
       255},
      {"count refused by the transform", tooMany, "",
       "error: the number of local matrix is more than the maxmum\n", 255},
      {"-loc after -locaff sets a different region count",
       {"ref.nii", "-locaff", "2", "t.AFF", "t.AFF", "-loc", "1", "r.nii", "-n", "1"},
       readLocal + readLocal + "success: number of transforms is 1\n",
       "error: number of local regions not equal to number of local affines\n",
       1},
      {"no region names at all",
       {"ref.nii", "-locaff", "0", "-n", "1"},
       "success: number of transforms is 1\n",
       "error: AFFS have no local regions\n",
       1},
  };
  for (const RunCase &c : cases) {
    SCOPED_TRACE(c.name);
    const nuqtest::ToolResult r = Run(c.args);
    EXPECT_EQ(r.out, Head(c.args) + c.outAfterHead);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
  }
}

TEST_F(CliRun, FieldFromImagesFailsWithMinus8) {
  // A 4-D reference would need a fourth component: refused.
  const std::vector<std::string> args = {"ref4.nii", "-d", "x.nii", "y.nii", "z.nii", "-n", "1"};
  nuqtest::ToolResult r = Run(args);
  EXPECT_EQ(r.out, Head(args));
  EXPECT_EQ(r.err,
            "error: -d takes three component images and needs a 2-D or 3-D reference image, "
            "this one is 4-D\n"
            "error: set field transforamtion image file error \n");
  EXPECT_EQ(r.status, 248);

  // Component images that do not exist.
  r = Run({"ref.nii", "-d", "x.nii", "y.nii", "z.nii", "-n", "1"});
  EXPECT_EQ(r.status, 248);
  const std::string last = "error: set field transforamtion image file error \n";
  ASSERT_GE(r.err.size(), last.size());
  EXPECT_EQ(r.err.substr(r.err.size() - last.size()), last);
}

size_t CountOf(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
  return n;
}

TEST_F(CliRun, CountChecksAndActionPriorityWithLoadedTransforms) {
  nuqtest::WriteWholeFile(m_dir.File("t.AFF"), kShiftAff);
  const std::string diffNeedsTwo =
      "error: to compute the transform difference, once needs two transforms\n";
  const RunCase cases[] = {
      {"two -t without -n", {"ref.nii", "-t", "t.AFF", "-t", "t.AFF"},
       kReadShift + kReadShift +
           "error: -n was not given (2 transforms read)\n",
       "", 255},
      {"-diff with one transform", {"ref.nii", "-n", "1", "-t", "t.AFF", "-diff"},
       "success: number of transforms is 1\n" + kReadShift + diffNeedsTwo, "", 255},
      {"-diff runs before -jac", {"ref.nii", "-jac", "-n", "1", "-t", "t.AFF", "-diff"},
       "success: number of transforms is 1\n" + kReadShift + diffNeedsTwo, "", 255},
      {"-sqrt with two transforms",
       {"ref.nii", "-n", "2", "-t", "t.AFF", "-t", "t.AFF", "-sqrt", "1"},
       "success: number of transforms is 2\n" + kReadShift + kReadShift,
       "error: only compute square root for first transformation\n", 1},
      {"-matrix runs before -diff", {"ref.nii", "-diff", "-n", "1", "-t", "t.AFF", "-matrix"},
       "success: number of transforms is 1\n" + kReadShift +
           "success: concatenate 1 affines and save as one matrix\n",
       "", 0},
  };
  for (const RunCase &c : cases) {
    SCOPED_TRACE(c.name);
    const nuqtest::ToolResult r = Run(c.args);
    EXPECT_EQ(r.out, Head(c.args) + c.outAfterHead);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
  }
}

TEST_F(CliRun, AHundredAndFirstTransformIsRefused) {
  nuqtest::WriteWholeFile(m_dir.File("t.AFF"), kShiftAff);
  std::vector<std::string> args = {"ref.nii", "-n", "101"};
  for (int k = 0; k < 101; ++k) {
    args.push_back("-t");
    args.push_back("t.AFF");
  }
  nuqtest::ToolResult r = Run(args);
  EXPECT_EQ(CountOf(r.out, "success: read transformation file t.AFF\n"), 100u);
  EXPECT_EQ(r.err, "error: more than 100 transforms\n");
  EXPECT_EQ(r.status, 255);

  // One hundred are accepted; the run goes on to the count check.
  args.resize(args.size() - 2);
  args.push_back("-n");
  args.push_back("99");
  r = Run(args);
  EXPECT_EQ(CountOf(r.out, "success: read transformation file t.AFF\n"), 100u);
  EXPECT_NE(r.out.find("error: -n number not consistent to number of transforms 100 \n"),
            std::string::npos);
  EXPECT_EQ(r.status, 255);
}

TEST_F(CliRun, LastOutputPrefixWins) {
  nuqtest::WriteWholeFile(m_dir.File("t.AFF"), kShiftAff);
  const nuqtest::ToolResult r = Run({"ref.nii", "-o", "a", "-o", "b", "-n", "1", "-t", "t.AFF"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(nuqtest::FileExists(m_dir.File("b_x.nii.gz")));
  EXPECT_TRUE(nuqtest::FileExists(m_dir.File("b.FLD")));
  EXPECT_FALSE(nuqtest::FileExists(m_dir.File("a_x.nii.gz")));
  EXPECT_FALSE(nuqtest::FileExists(m_dir.File("a.FLD")));
}

}  // namespace
