// Outputs are replaced whole or not at all, and hostile inputs end with the
// reader's "error: " lines and a failing status.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <string>
#include <vector>

#include "nuqCliFixtures.h"
#include "nuqTestSupport.h"

namespace {

using nuqtest::ReadWholeFile;
using nuqtest::RunTool;
using nuqtest::TempDir;
using nuqtest::WriteWholeFile;

const char kRotation[] =
    "#dimension#\n3\n#one to one#\n1\n#rotation center#\n0 0 0\n#rotation angle#\n5 -3 7\n"
    "#scaling#\n1.1 0.9 1\n#translation#\n1 2 3\n#skew in x-y and y-x plane#\n0\n0\n"
    "#skew in y-z and z-y plane#\n0\n0\n#skew in z-x and x-z plane#\n0\n0\n";

std::vector<std::string> TemporaryFilesIn(const std::string &folder) {
  std::vector<std::string> found;
  if (DIR *d = opendir(folder.c_str())) {
    while (dirent *e = readdir(d))
      if (std::string(e->d_name).find(".nuqtmp") != std::string::npos) found.push_back(e->d_name);
    closedir(d);
  }
  return found;
}

// Runs the tool with files limited to `bytes`: a write beyond fails with
// EFBIG (SIGXFSZ ignored) like a full disk would. Only the child is limited;
// its standard error comes back through a pipe, standard output is dropped.
nuqtest::ToolResult RunWithFileSizeLimit(const std::vector<std::string> &args,
                                         const std::string &folder, rlim_t bytes) {
  nuqtest::ToolResult result;
  int fds[2];
  if (pipe(fds) != 0) return result;
  const pid_t pid = fork();
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited{};
    getrlimit(RLIMIT_FSIZE, &limited);
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(fds[1], 2);
    close(fds[0]);
    if (chdir(folder.c_str()) != 0) _exit(127);
    std::vector<std::string> words = {NUQ_TOOL_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof(buffer))) > 0;) result.err.append(buffer, n);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 255;
  return result;
}

class CliAtomicOutput : public testing::Test {
 protected:
  void SetUp() override {
    nuqclitest::WriteShortNifti(dir.File("ref.nii"), {24, 20, 16});
    WriteWholeFile(dir.File("a.AFF"), kRotation);
  }
  TempDir dir;
};

TEST_F(CliAtomicOutput, FailedWritesKeepThePreviousFilesWhole) {
  const std::string previous = "previous contents\n";
  struct Case {
    const char *name;
    std::vector<std::string> args;
    std::vector<std::string> kept;  // outputs that existed and must survive
    const char *message;
    int status;
  };
  const Case cases[] = {
      {"matrix text", {"ref.nii", "-o", "m.MAT", "-n", "1", "-t", "a.AFF", "-matrix"},
       {"m.MAT"}, "error: save to file name m.MAT fail! ", 246},
      {"compressed images and FLD text",
       {"ref.nii", "-o", "out", "-n", "1", "-t", "a.AFF", "-mag"},
       {"out_x.nii.gz", "out_y.nii.gz", "out_z.nii.gz", "out_mag.nii.gz", "out.FLD"},
       "error: writing image out_x.nii.gz failed\n", 246},
      {"inverse as an AFF", {"ref.nii", "-o", "inv", "-n", "1", "-t", "a.AFF", "-inv"},
       {"inv.AFF"}, "error: save to file name inv.AFF fail! ", 246},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string &k : c.kept) WriteWholeFile(dir.File(k), previous);
    // 64 bytes: every output here is larger (the FLD text too).
    const nuqtest::ToolResult r = RunWithFileSizeLimit(c.args, dir.Path(), 64);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.status, c.status);
    for (const std::string &k : c.kept) EXPECT_EQ(ReadWholeFile(dir.File(k)), previous) << k;
    EXPECT_TRUE(TemporaryFilesIn(dir.Path()).empty());
  }
}

TEST_F(CliAtomicOutput, SuccessfulRunReplacesOutputsAndLeavesNoTemporaryFile) {
  WriteWholeFile(dir.File("out_x.nii.gz"), "previous");
  WriteWholeFile(dir.File("out.FLD"), "previous");
  const nuqtest::ToolResult r =
      RunTool({"ref.nii", "-o", "out", "-n", "1", "-t", "a.AFF"}, dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string image = ReadWholeFile(dir.File("out_x.nii.gz"));
  ASSERT_GE(image.size(), 2u);
  EXPECT_EQ(static_cast<unsigned char>(image[0]), 0x1f);  // gzip magic
  EXPECT_EQ(static_cast<unsigned char>(image[1]), 0x8b);
  EXPECT_EQ(ReadWholeFile(dir.File("out.FLD")).compare(0, 11, "#dimension#"), 0);
  EXPECT_TRUE(TemporaryFilesIn(dir.Path()).empty());
}

// A reference image, a transform file or a mask that is malformed or claims
// more than it holds ends the run before any voxel is allocated for it.
TEST(CliHostileInputs, EachEndsWithItsErrorLinesAndStatus) {
  TempDir dir;
  nuqclitest::WriteShortNifti(dir.File("ref.nii"), {4, 3, 2});
  WriteWholeFile(dir.File("a.AFF"), kRotation);
  const std::string ref = ReadWholeFile(dir.File("ref.nii"));
  // NIfTI: header and ten voxel bytes only; sizes 32767^3.
  WriteWholeFile(dir.File("short.nii"), ref.substr(0, 362));
  std::string huge = ref;
  const short dims[4] = {3, 32767, 32767, 32767};
  for (int i = 0; i < 4; ++i) huge.replace(40 + 2 * i, 2, reinterpret_cast<const char *>(&dims[i]), 2);
  WriteWholeFile(dir.File("huge.nii"), huge);
  // GIPL: sizes 65535^3 with no voxels; a header whose voxels are cut.
  std::string gipl(256, '\0');
  const unsigned char giplHead[] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0, 1, 0, 15};
  gipl.replace(0, sizeof(giplHead), reinterpret_cast<const char *>(giplHead), sizeof(giplHead));
  const unsigned char magic[] = {0x2a, 0xe3, 0x89, 0xb8};
  gipl.replace(252, 4, reinterpret_cast<const char *>(magic), 4);
  WriteWholeFile(dir.File("huge.gipl"), gipl);
  std::string cut = gipl;
  const unsigned char small[] = {0, 3, 0, 2, 0, 2, 0, 1};
  cut.replace(0, 8, reinterpret_cast<const char *>(small), 8);
  WriteWholeFile(dir.File("cut.gipl"), cut + std::string(4, '\0'));
  // The global affine of an AFFS file ends with its matrix section.
  const std::string affine = std::string(kRotation) +
                             "#matrix#\n1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n";
  WriteWholeFile(dir.File("many.AFFS"), affine + "# No. of Local Affine Transformations #\n300\n");
  WriteWholeFile(dir.File("neg.AFFS"), affine + "# No. of Local Affine Transformations #\n-1\n");
  WriteWholeFile(dir.File("long.AFF"), "#dimension#\n3\n#one to one#\n1\n#rotation center#\n0 0 0" +
                                           std::string(2000, ' ') + "5\n");
  WriteWholeFile(dir.File("huge.FFD"),
                 "#dimension#\n3\n#one to one#\n1\n#control grid size#\n100000\n100000\n100000\n"
                 "#control grid spacing#\n1\n1\n1\n");
  WriteWholeFile(dir.File("missing.FLD"), "#dimension#\n3\n#one to one#\n1\nnone_x.nii\n");
  WriteWholeFile(dir.File("empty.AFF"), "");

  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;  // the error lines of standard error, in order
  };
  const std::string affs = "error: the number of local affines is more than the maxmum\n";
  const Case cases[] = {
      {{"short.nii", "-n", "1", "-t", "a.AFF"}, 254,
       "error: image short.nii is shorter than its header says (truncated: 362 bytes, 400 needed)\n"
       "error: open reference image short.nii\n"},
      {{"huge.nii", "-n", "1", "-t", "a.AFF"}, 254,
       "error: image huge.nii has a header whose sizes are invalid or overflow the voxel count\n"
       "error: open reference image huge.nii\n"},
      {{"huge.gipl", "-n", "1", "-t", "a.AFF"}, 254,
       "error: Open Image:huge.gipl failed because the sizes in its header overflow the voxel "
       "count!\nerror: open reference image huge.gipl\n"},
      {{"cut.gipl", "-n", "1", "-t", "a.AFF"}, 254,
       "error: Open Image:cut.gipl Failed because the image raw data size inconsistent with "
       "Header! (truncated: 4 of 24 voxel bytes)\nerror: open reference image cut.gipl\n"},
      {{"ref.nii", "-n", "1", "-t", "many.AFFS"}, 250,
       affs + "error: Open Affine Transformation:many.AFFS Failed in reading affine stream!\n"
              "error: reading transform file:many.AFFS\nerror: read transforamtion file many.AFFS\n"},
      {{"ref.nii", "-n", "1", "-t", "neg.AFFS"}, 250,
       affs + "error: Open Affine Transformation:neg.AFFS Failed in reading affine stream!\n"
              "error: reading transform file:neg.AFFS\nerror: read transforamtion file neg.AFFS\n"},
      {{"ref.nii", "-n", "1", "-t", "long.AFF"}, 250,
       "error: a transform file line is longer than 1023 characters\n"
       "error: Open Affine Transformation:long.AFF Failed in reading affine stream!\n"
       "error: reading transform file:long.AFF\nerror: read transforamtion file long.AFF\n"},
      {{"ref.nii", "-n", "1", "-t", "huge.FFD"}, 250,
       "error: Open FFD Transformation Failed in reading base stream!\n"
       "error: failed in reading file stream of huge.FFD\n"
       "error: reading transform file:huge.FFD\nerror: read transforamtion file huge.FFD\n"},
      {{"ref.nii", "-n", "1", "-t", "empty.AFF"}, 250,
       "error: Open Affine Transformation Failed in reading base stream!\n"
       "error: Open Affine Transformation:empty.AFF Failed in reading affine stream! (truncated: "
       "the file ends before all its values were read)\n"
       "error: reading transform file:empty.AFF\nerror: read transforamtion file empty.AFF\n"},
      {{"ref.nii", "-n", "1", "-t", "a.AFF", "-loc", "300", "x"}, 255,
       "error: -loc names 300 regions, more than 256\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    const nuqtest::ToolResult r = RunTool(c.args, dir.Path());
    EXPECT_EQ(r.status, c.status);
    std::string errors;
    for (std::string::size_type at = 0; at < r.err.size();) {
      std::string::size_type end = r.err.find('\n', at);
      end = end == std::string::npos ? r.err.size() : end + 1;
      if (r.err.compare(at, 7, "error: ") == 0) errors += r.err.substr(at, end - at);
      at = end;
    }
    EXPECT_EQ(errors, c.err);
  }
  // A missing FLD component names every place that was tried, each with its
  // reason (a bare listed name has no second place to look).
  const nuqtest::ToolResult fld = RunTool({"ref.nii", "-n", "1", "-t", "missing.FLD"}, dir.Path());
  EXPECT_EQ(fld.status, 250);
  EXPECT_NE(fld.err.find("error: cannot find the transformation field image in dimension x of "
                         "missing.FLD (tried \"none_x.nii\" (No such file or directory), "
                         "\"missing_x.nii.gz\" (No such file or directory))\n"),
            std::string::npos)
      << fld.err;
}

}  // namespace
