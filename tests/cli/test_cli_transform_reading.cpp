// Transform files as the tool reads them: every refusal says why (the
// system's reason, or that the file is truncated), FLD components are
// reported by the names actually tried, and each affine read prints its world
// matrix at -v 2, which is also the worked example of docs/aff.md.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "nuqCliFixtures.h"
#include "nuqTestSupport.h"
#include "nuqTransformAffine.h"

namespace {

using nuqtest::ReadWholeFile;
using nuqtest::RunTool;
using nuqtest::TempDir;
using nuqtest::WriteWholeFile;

const char kHeader[] = "#dimension#\n3\n#one to one#\n1\n";
const char kTruncated[] = " (truncated: the file ends before all its values were read)";

std::string Aff(const std::string &translation, const std::string &matrix) {
  return std::string(kHeader) + "#rotation center#\n0 0 0\n#rotation angle#\n0 0 0\n#scaling#\n1 1 1\n"
         "#translation#\n" + translation + "\n#skew in x-y and y-x plane#\n0\n0\n"
         "#skew in y-z and z-y plane#\n0\n0\n#skew in z-x and x-z plane#\n0\n0\n#matrix#\n" + matrix;
}

// The "error: " lines of standard error, in order.
std::string ErrorLines(const std::string &err) {
  std::string lines;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 7, "error: ") == 0) lines += line + "\n";
  return lines;
}

// The loader's two closing lines for a -t file that did not read.
std::string Loader(const std::string &name) {
  return "error: reading transform file:" + name + "\nerror: read transforamtion file " + name + "\n";
}

class TransformReading : public testing::Test {
 protected:
  void SetUp() override {
    nuqclitest::WriteShortNifti(dir.File("ref.nii"), {4, 4, 4});
    mkdir(dir.File("dir.AFF").c_str(), 0755);
    mkdir(dir.File("dir.FFD").c_str(), 0755);
    mkdir(dir.File("dir.FLD").c_str(), 0755);
    mkdir(dir.File("f").c_str(), 0755);
    // A pipe without a writer: opening it would block the run.
    mkfifo(dir.File("pipe.AFF").c_str(), 0644);
    mkfifo(dir.File("pipe.FFD").c_str(), 0644);
    const std::string identity = "1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n";
    WriteWholeFile(dir.File("m.MTX"), Aff("1 2 3", identity));
    WriteWholeFile(dir.File("m.mat"), "0 -1 0 5\n1 0 0 0\n0 0 1 0.25\n");
    // Ends after two of its three rotation angles.
    WriteWholeFile(dir.File("cut.AFF"),
                   std::string(kHeader) + "#rotation center#\n0 0 0\n#rotation angle#\n4 -3\n");
    // The same short line with the rest of the file after it: malformed, not
    // truncated.
    WriteWholeFile(dir.File("short.AFF"), std::string(kHeader) +
                                              "#rotation center#\n0 0 0\n#rotation angle#\n4 -3\n"
                                              "#scaling#\n1 1 1\n#translation#\n0 0 0\n");
    WriteWholeFile(dir.File("three.MTX"), Aff("0 0 0", "1 0 0 0\n0 1 0 0\n0 0 1 0\n# end\n"));
    WriteWholeFile(dir.File("two.mat"), "1 0 0 0\n0 1 0 0\n");
    const std::string ffd = std::string(kHeader) +
                            "#control grid size#\n2\n2\n2\n#control grid spacing#\n1\n1\n1\n"
                            "#offsets of the control points#\n0 0 0 0 0 0\n0 0 0 0 0 0\n\n";
    WriteWholeFile(dir.File("cut.FFD"), ffd + "0 0 0 0 0 0\n");                 // 3 of 4 rows
    WriteWholeFile(dir.File("cutrow.FFD"), ffd + "0 0 0 0 0 0\n0 0 0 0");       // last row short
    WriteWholeFile(dir.File("missing.FLD"), std::string(kHeader) + "none_x.nii\n");
    WriteWholeFile(dir.File("f/elsewhere.FLD"), std::string(kHeader) + "g/none_x.nii\n");
    WriteWholeFile(dir.File("f/same.FLD"), std::string(kHeader) + "f/none_x.nii\n");
    WriteWholeFile(dir.File("header.FLD"), "#dimension#\n3\n");
    // Two local affines announced, one present.
    WriteWholeFile(dir.File("cut.AFFS"), Aff("0 0 0", identity) + "# No. of Local Affine Transformations #\n2\n" +
                                             Aff("0 0 0", identity));
  }
  TempDir dir;
};

TEST_F(TransformReading, EveryRefusalSaysWhy) {
  const std::string noFile = " (No such file or directory)";
  struct Case {
    std::vector<std::string> args;  // after "ref.nii -o out -n 1"
    int status;
    std::string err;  // every error line, in order
  };
  const Case cases[] = {
      {{"-t", "nothere.AFF"}, 250,
       "error: can not find Affine Transformation:nothere.AFF!" + noFile + "\n" + Loader("nothere.AFF")},
      {{"-t", "dir.AFF"}, 250,
       "error: can not find Affine Transformation:dir.AFF! (Is a directory)\n" + Loader("dir.AFF")},
      {{"-t", "pipe.AFF"}, 250,
       "error: can not find Affine Transformation:pipe.AFF! (Not a regular file)\n" + Loader("pipe.AFF")},
      {{"-t", "pipe.FFD"}, 250,
       "error: fail in opening transformation file pipe.FFD! (Not a regular file)\n" + Loader("pipe.FFD")},
      {{"-t", "cut.AFF"}, 250,
       "error: Open Affine Transformation:cut.AFF Failed in reading affine stream!" +
           std::string(kTruncated) + "\n" + Loader("cut.AFF")},
      {{"-t", "short.AFF"}, 250,
       "error: Open Affine Transformation:short.AFF Failed in reading affine stream!\n" +
           Loader("short.AFF")},
      {{"-t", "three.MTX"}, 250,
       "error: Open Affine Transformation:three.MTX Failed in reading affine stream!" +
           std::string(kTruncated) + "\n" + Loader("three.MTX")},
      {{"-t", "two.mat"}, 250,
       "error: Open matrix affine transformation:two.mat Failed in reading row 2!" +
           std::string(kTruncated) + "\n" + Loader("two.mat")},
      {{"-t", "nothere.mat"}, 250,
       "error: Open matrix affine transformation:nothere.mat Failed!" + noFile + "\n" +
           Loader("nothere.mat")},
      {{"-t", "nothere.AFFS"}, 250,
       "error: can not find Affine Transformation:nothere.AFFS!" + noFile + "\n" + Loader("nothere.AFFS")},
      {{"-t", "cut.AFFS"}, 250,
       "error: Open Affine Transformation Failed in reading base stream!\n"
       "error: Open Affine Transformation:cut.AFFS Failed in reading affine stream!" +
           std::string(kTruncated) + "\n" + Loader("cut.AFFS")},
      {{"-t", "nothere.FFD"}, 250,
       "error: fail in opening transformation file nothere.FFD!" + noFile + "\n" + Loader("nothere.FFD")},
      {{"-t", "dir.FFD"}, 250,
       "error: fail in opening transformation file dir.FFD! (Is a directory)\n" + Loader("dir.FFD")},
      {{"-t", "cut.FFD"}, 250,
       "error: Open FFD Transformation Failed in reading base stream!\n"
       "error: failed in reading file stream of cut.FFD" + std::string(kTruncated) + "\n" +
           Loader("cut.FFD")},
      {{"-t", "cutrow.FFD"}, 250,
       "error: Open FFD Transformation Failed in reading base stream!\n"
       "error: failed in reading file stream of cutrow.FFD" + std::string(kTruncated) + "\n" +
           Loader("cutrow.FFD")},
      {{"-t", "dir.FLD"}, 250,
       "error: fail in opening transformation file dir.FLD! (Is a directory)\n" + Loader("dir.FLD")},
      {{"-t", "header.FLD"}, 250,
       "error: open Transformation Field type Transformation Failed in reading base stream!\n"
       "error: failed in reading file stream of header.FLD" + std::string(kTruncated) + "\n" +
           Loader("header.FLD")},
      // A bare listed name has no second place to look: two names, never "/".
      {{"-t", "missing.FLD"}, 250,
       "error: cannot find the transformation field image in dimension x of missing.FLD (tried "
       "\"none_x.nii\"" + noFile + ", \"missing_x.nii.gz\"" + noFile + ")\n"
       "error: failed in reading file stream of missing.FLD\n" + Loader("missing.FLD")},
      {{"-t", "f/elsewhere.FLD"}, 250,
       "error: cannot find the transformation field image in dimension x of f/elsewhere.FLD (tried "
       "\"g/none_x.nii\"" + noFile + ", \"f/none_x.nii\"" + noFile + ", \"f/elsewhere_x.nii.gz\"" +
           noFile + ")\nerror: failed in reading file stream of f/elsewhere.FLD\n" +
           Loader("f/elsewhere.FLD")},
      // The place next to the FLD file is the listed name itself: listed once.
      {{"-t", "f/same.FLD"}, 250,
       "error: cannot find the transformation field image in dimension x of f/same.FLD (tried "
       "\"f/none_x.nii\"" + noFile + ", \"f/same_x.nii.gz\"" + noFile + ")\n"
       "error: failed in reading file stream of f/same.FLD\n" + Loader("f/same.FLD")},
      {{"-locaff", "2", "m.MTX", "nothere.AFF"}, 255,
       "error: can not find Affine Transformation:nothere.AFF!" + noFile +
           "\nerror: set 1th local affine failed!\n"},
      {{"-locaff", "1", "dir.AFF"}, 255,
       "error: can not find Affine Transformation:dir.AFF! (Is a directory)\n"
       "error: set 0th local affine failed!\n"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {"ref.nii", "-o", "out", "-n", "1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(nuqclitest::Echo(args));
    const nuqtest::ToolResult r = RunTool(args, dir.Path());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(ErrorLines(r.err), c.err);
    EXPECT_FALSE(nuqtest::FileExists(dir.File("out.FLD")));
  }
}

TEST_F(TransformReading, PermissionDeniedIsTheReasonGiven) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
  WriteWholeFile(dir.File("locked.AFF"), Aff("0 0 0", ""));
  chmod(dir.File("locked.AFF").c_str(), 0);
  const nuqtest::ToolResult r = RunTool({"ref.nii", "-n", "1", "-t", "locked.AFF"}, dir.Path());
  EXPECT_EQ(r.status, 250);
  EXPECT_EQ(ErrorLines(r.err), "error: can not find Affine Transformation:locked.AFF! (Permission denied)\n" +
                                   Loader("locked.AFF"));
}

TEST_F(TransformReading, TruncatedFieldComponentIsReportedOnceAsUnread) {
  nuqclitest::WriteShortNifti(dir.File("c_x.nii"), {4, 4, 4});
  nuqclitest::WriteShortNifti(dir.File("c_z.nii"), {4, 4, 4});
  const std::string whole = nuqclitest::WriteShortNifti(dir.File("whole.nii"), {4, 4, 4});
  const std::string bytes = ReadWholeFile(whole);
  WriteWholeFile(dir.File("t_y.nii"), bytes.substr(0, bytes.size() - 40));
  WriteWholeFile(dir.File("t.FLD"), std::string(kHeader) + "c_x.nii\nt_y.nii\nc_z.nii\n");
  const nuqtest::ToolResult r = RunTool({"ref.nii", "-o", "out", "-n", "1", "-t", "t.FLD"}, dir.Path());
  EXPECT_EQ(r.status, 250);
  const std::string errors = ErrorLines(r.err);
  // The image reader's own line (its text is its own) comes first and names
  // the file; then one FLD line, and nothing says the file is missing.
  const std::string first = errors.substr(0, errors.find('\n') + 1);
  EXPECT_NE(first.find("t_y.nii"), std::string::npos) << errors;
  EXPECT_EQ(errors.substr(first.size()),
            "error: cannot read the transformation field image in dimension y of t.FLD: \"t_y.nii\" "
            "exists but could not be read as an image\n"
            "error: failed in reading file stream of t.FLD\n" + Loader("t.FLD"));
  EXPECT_EQ(r.err.find("cannot find"), std::string::npos) << r.err;
  EXPECT_FALSE(nuqtest::FileExists(dir.File("out.FLD")));
}

TEST_F(TransformReading, MissingComponentOfMinusDSaysWhy) {
  const nuqtest::ToolResult r =
      RunTool({"ref.nii", "-o", "out", "-d", "nothere_x.nii", "nothere_y.nii", "nothere_z.nii"}, dir.Path());
  EXPECT_EQ(r.status, 248);
  // After the image reader's own line.
  EXPECT_NE(r.err.find("error: cannot read transformation field image nothere_x.nii (No such file or "
                       "directory)\nerror: set field transforamtion image file error \n"),
            std::string::npos)
      << r.err;
}

// The "debug: " block that follows the line "debug: 4x4 matrix of NAME:".
std::string MatrixBlock(const std::string &out, const std::string &name) {
  const std::string head = "debug: 4x4 matrix of " + name + ":\n";
  const std::string::size_type at = out.find(head);
  if (at == std::string::npos) return std::string();
  std::string::size_type end = at + head.size();
  for (int r = 0; r < 4 && end != std::string::npos; ++r) end = out.find('\n', end) + 1;
  return out.substr(at, end - at);
}

TEST_F(TransformReading, VerbosityTwoPrintsTheMatrixOfEveryAffineRead) {
  const nuqtest::ToolResult r = RunTool(
      {"ref.nii", "-o", "out", "-n", "2", "-t", "m.MTX", "-t", "m.mat", "-v", "2"}, dir.Path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(MatrixBlock(r.out, "m.MTX"),
            "debug: 4x4 matrix of m.MTX:\ndebug: 1\t0\t0\t1\ndebug: 0\t1\t0\t2\n"
            "debug: 0\t0\t1\t3\ndebug: 0\t0\t0\t1\n");
  // A matrix file keeps its matrix exactly.
  EXPECT_EQ(MatrixBlock(r.out, "m.mat"),
            "debug: 4x4 matrix of m.mat:\ndebug: 0\t-1\t0\t5\ndebug: 1\t0\t0\t0\n"
            "debug: 0\t0\t1\t0.25\ndebug: 0\t0\t0\t1\n");
  // The affine files of -locaff print theirs while they are read.
  const nuqtest::ToolResult loc =
      RunTool({"ref.nii", "-o", "out", "-n", "1", "-locaff", "1", "m.MTX", "-v", "2"}, dir.Path());
  EXPECT_NE(MatrixBlock(loc.out, "m.MTX"), "") << loc.out;
  // Below -v 2 nothing is printed.
  const nuqtest::ToolResult quiet =
      RunTool({"ref.nii", "-o", "out", "-n", "1", "-t", "m.MTX"}, dir.Path());
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out.find("debug: "), std::string::npos) << quiet.out;
}

// Rx * Ry * Rz * Kyz * Kzx * Kxy * S as docs/aff.md writes it, in double
// precision, from the 22 affine parameters (translation, rotation, scaling,
// centre, skews); the world matrix rows 0..2 into m[12].
void DocumentedMatrix(const float *p, double *m) {
  const double k = double(3.14159f) / 180.0;
  const double cx = std::cos(p[4] * k), sx = std::sin(p[4] * k);
  const double cy = std::cos(p[5] * k), sy = std::sin(p[5] * k);
  const double cz = std::cos(p[6] * k), sz = std::sin(p[6] * k);
  const double rx[3][3] = {{1, 0, 0}, {0, cx, sx}, {0, -sx, cx}};
  const double ry[3][3] = {{cy, 0, -sy}, {0, 1, 0}, {sy, 0, cy}};
  const double rz[3][3] = {{cz, sz, 0}, {-sz, cz, 0}, {0, 0, 1}};
  double t[6];
  for (int i = 0; i < 6; ++i) t[i] = std::tan(p[16 + i] * k);
  const double kxy[3][3] = {{1, t[1], 0}, {t[0], 1, 0}, {0, 0, 1}};
  const double kyz[3][3] = {{1, 0, 0}, {0, 1, t[2]}, {0, t[3], 1}};
  const double kzx[3][3] = {{1, 0, t[5]}, {0, 1, 0}, {t[4], 0, 1}};
  const double s[3][3] = {{p[8], 0, 0}, {0, p[9], 0}, {0, 0, p[10]}};
  const double(*factors[7])[3] = {rx, ry, rz, kyz, kzx, kxy, s};
  double l[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  for (const auto *f : factors) {
    double n[3][3];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) n[r][c] = l[r][0] * f[0][c] + l[r][1] * f[1][c] + l[r][2] * f[2][c];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) l[r][c] = n[r][c];
  }
  for (int r = 0; r < 3; ++r) {
    double lc = 0;
    for (int c = 0; c < 3; ++c) {
      m[4 * r + c] = l[r][c];
      lc += l[r][c] * p[12 + c];
    }
    m[4 * r + 3] = p[r] + p[12 + r] - lc;  // T = t + c - L c
  }
}

TEST(AffineConvention, TheWorkedExampleOfTheDocIsWhatTheToolPrints) {
  const std::string source = NUQ_SOURCE_DIR;
  const std::string doc = ReadWholeFile(source + "/docs/aff.md");
  const std::string block = MatrixBlock(doc, "examples/tilt.AFF");
  ASSERT_NE(block, "") << "docs/aff.md has no matrix block for examples/tilt.AFF";

  TempDir dir;
  nuqclitest::WriteShortNifti(dir.File("ref.nii"), {3, 3, 3});
  const nuqtest::ToolResult r = RunTool({dir.File("ref.nii"), "-o", dir.File("out"), "-n", "1", "-t",
                                         "examples/tilt.AFF", "-v", "2"},
                                        source);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(MatrixBlock(r.out, "examples/tilt.AFF"), block);

  // The doc's numbers are the convention it states, computed on its own.
  nuqtest::QuietSuccess quiet;
  nuqTransformAffine tilt;
  ASSERT_TRUE(tilt.ReadFromFile(source + "/examples/tilt.AFF"));
  float p[22];
  for (int i = 0; i < 22; ++i) p[i] = tilt.GetParameterValue(i);
  double expected[12];
  DocumentedMatrix(p, expected);
  std::istringstream rows(block.substr(block.find('\n') + 1));
  std::vector<double> numbers;
  for (std::string word; rows >> word;)
    if (word != "debug:") numbers.push_back(std::stod(word));
  ASSERT_EQ(numbers.size(), 16u);
  for (int i = 0; i < 12; ++i) EXPECT_NEAR(numbers[i], expected[i], 5e-6 * (1 + std::fabs(expected[i]))) << i;
  for (int i = 12; i < 16; ++i) EXPECT_EQ(numbers[i], i == 15 ? 1.0 : 0.0) << i;
}

TEST(AffineConvention, SkewsAndRotationsComposeAsTheDocStates) {
  // All six skews, three rotations, a scaling and an off-origin centre: a
  // shear in the wrong place or a factor in the wrong order shows here.
  const float p[22] = {4, 5, 6, 0, 10, -20, 30, 0, 1.1f, 0.9f, 1.2f, 1, 1, 2, 3, 0, 5, -7, 9, -11, 13, -15};
  nuqTransformAffine a;
  a.SetDimension(3);
  for (int i = 0; i < 22; ++i) ASSERT_TRUE(a.SetParameterValue(i, p[i]));
  float m[16];
  a.GetMatrix(m);
  double expected[12];
  DocumentedMatrix(p, expected);
  for (int i = 0; i < 12; ++i) EXPECT_NEAR(m[i], expected[i], 1e-5 * (1 + std::fabs(expected[i]))) << i;
}

}  // namespace
