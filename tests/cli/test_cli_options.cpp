// Command lines a user can get wrong: unknown options against values that
// only look like options, the help forms, a run without -n, output folders
// that cannot be written (refused before the computation), saves that fail
// after that check, and an interrupt while the outputs are being written.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "nuqCliFixtures.h"
#include "nuqTestSupport.h"

namespace {

using nuqtest::Banner;
using nuqtest::FileExists;
using nuqtest::RunTool;
using nuqtest::TempDir;
using nuqtest::WriteWholeFile;

const char kRotation[] =
    "#dimension#\n3\n#one to one#\n1\n#rotation center#\n0 0 0\n#rotation angle#\n5 -3 7\n"
    "#scaling#\n1.1 0.9 1\n#translation#\n1 2 3\n#skew in x-y and y-x plane#\n0\n0\n"
    "#skew in y-z and z-y plane#\n0\n0\n#skew in z-x and x-z plane#\n0\n0\n";

const int kUnknownStatus = 247;     // -9
const int kUnwritableStatus = 246;  // -10

std::string Unknown(const std::string &argument) {
  return "error: unknown option " + argument + " (the usage text lists the options)\n";
}

std::vector<std::string> TemporaryFilesIn(const std::string &folder) {
  std::vector<std::string> found;
  if (DIR *d = opendir(folder.c_str())) {
    while (dirent *e = readdir(d))
      if (std::string(e->d_name).find(".nuqtmp") != std::string::npos) found.push_back(e->d_name);
    closedir(d);
  }
  return found;
}

bool Contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

class CliOptions : public testing::Test {
 protected:
  void SetUp() override {
    nuqclitest::WriteShortNifti(dir.File("ref.nii"), {8, 7, 6});
    WriteWholeFile(dir.File("a.AFF"), kRotation);
  }
  TempDir dir;
};

struct OptionCase {
  const char *name;
  std::vector<std::string> args;
  bool onStdErr;        // where the message is expected
  std::string message;  // a whole line (or lines) of that stream
  int status;
};

void RunCases(const std::vector<OptionCase> &cases, const std::string &folder) {
  for (const OptionCase &c : cases) {
    SCOPED_TRACE(c.name);
    const nuqtest::ToolResult r = RunTool(c.args, folder);
    EXPECT_TRUE(Contains(c.onStdErr ? r.err : r.out, c.message)) << r.out << r.err;
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
  }
}

// Refused before the reference is read: the missing reference would give
// status 254 otherwise, and no output appears.
TEST_F(CliOptions, UnknownOptionsEndTheRunBeforeAnythingIsRead) {
  const std::vector<OptionCase> cases = {
      {"long form", {"missing.nii", "-o", "out", "-n", "1", "-t", "a.AFF", "-magnitude"}, true,
       Unknown("-magnitude"), kUnknownStatus},
      {"upper case", {"missing.nii", "-T", "a.AFF"}, true, Unknown("-T"), kUnknownStatus},
      {"double dash", {"missing.nii", "--mag", "-o", "out"}, true, Unknown("--mag"),
       kUnknownStatus},
      {"after a consumed value", {"missing.nii", "-o", "out", "-zz"}, true, Unknown("-zz"),
       kUnknownStatus},
      {"help with other arguments", {"missing.nii", "-h"}, true, Unknown("-h"), kUnknownStatus},
      {"first of two is named", {"missing.nii", "-q1", "-q2"}, true, Unknown("-q1"),
       kUnknownStatus},
      {"after -v and its value", {"missing.nii", "-v", "2", "-x"}, true, Unknown("-x"),
       kUnknownStatus},
  };
  RunCases(cases, dir.Path());
  for (const OptionCase &c : cases) {
    const nuqtest::ToolResult r = RunTool(c.args, dir.Path());
    EXPECT_FALSE(Contains(r.err, "open reference image")) << c.name;
    // The banner and the echo come first, and nothing else on stdout.
    EXPECT_EQ(r.out.substr(0, Banner().size()), Banner());
    EXPECT_FALSE(Contains(r.out, "success: ")) << c.name;
  }
  EXPECT_TRUE(TemporaryFilesIn(dir.Path()).empty());
  EXPECT_FALSE(FileExists(dir.File("out_x.nii.gz")));
}

// Each argument that looks like an option here is a value of the option
// before it, so the run goes on to that option's own outcome.
TEST_F(CliOptions, ValuesThatLookLikeOptionsAreNotUnknown) {
  const std::vector<std::string> run = {"ref.nii", "-n", "1", "-t", "a.AFF"};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = run;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  const std::string mismatch = "error: -n number not consistent to number of transforms ";
  const std::vector<OptionCase> cases = {
      {"-inv with a negative factor", with({"-inv", "-0.5", "-o", "inv"}), false,
       "success: inverting affine transformation \n", 0},
      {"-o takes -x as its prefix", with({"-o", "-x"}), false,
       "success: output result file name prefix is -x\n", 0},
      {"-loc takes option-like names", with({"-loc", "2", "-a", "-b"}), false,
       "success: transformation field computation finished \n", 0},
      {"-facet takes six option-like values", with({"-facet", "-a", "-b", "-c", "-d", "-e", "-f"}),
       false, "success: transformation field computation finished \n", 0},
      {"-roi takes six option-like values", with({"-roi", "-a", "-b", "-c", "-d", "-e", "-f"}),
       false, "success: roi from 0 0 0 to 0 0 0\n", 0},
      // A count of 0 computes nothing and says nothing.
      {"-sqrt takes -foo as its count", with({"-sqrt", "-foo"}), false,
       "success: read transformation file a.AFF\n", 0},
      {"-mask takes -m as its name", with({"-mask", "-m"}), false,
       "error: open mask image fail-m\n", 255},
      {"-d takes three option-like names", with({"-d", "-x", "-y", "-z"}), true,
       "error: set field transforamtion image file error \n", 248},
      {"-t takes -x as its file", {"ref.nii", "-n", "1", "-t", "-x"}, true,
       "error: read transforamtion file -x\n", 250},
      {"-locaff takes -q as its affine", with({"-locaff", "1", "-q"}), true,
       "error: set 0th local affine failed!\n", 255},
      {"-n takes -3", {"ref.nii", "-n", "-3", "-t", "a.AFF"}, false, mismatch + "1 \n", 255},
      // The scan tests the value of -sqrt again, as the option -o.
      {"-sqrt -o is also the option -o", with({"-sqrt", "-o", "s"}), false,
       "success: output result file name prefix is s\n", 0},
      {"stray words are ignored", with({"stray", "-", "-3", ".5"}), false,
       "success: transformation field computation finished \n", 0},
      {"-v with its value", with({"-v", "2", "-o", "v"}), false,
       "success: output result file name prefix is v\n", 0},
      {"-fld is an option", with({"-fld"}), false,
       "success: transformation field computation finished \n", 0},
  };
  RunCases(cases, dir.Path());
  for (const OptionCase &c : cases) {
    const nuqtest::ToolResult r = RunTool(c.args, dir.Path());
    EXPECT_FALSE(Contains(r.err, "error: unknown option")) << c.name << "\n" << r.err;
  }
}

TEST_F(CliOptions, HelpFormsPrintTheUsageTextAndSucceed) {
  const nuqtest::ToolResult none = RunTool({}, dir.Path());
  ASSERT_TRUE(Contains(none.out, "nuqtransformvector imageAsOrientationReference.\n"));
  for (const char *form : {"-h", "-help", "--help"}) {
    SCOPED_TRACE(form);
    const nuqtest::ToolResult r = RunTool({form}, dir.Path());
    // The banner and the very usage text of a run without arguments.
    EXPECT_EQ(r.out, none.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
  }
}

// Standard input is a pipe that stays open and silent: a wait for the
// integer would never end.
TEST_F(CliOptions, NoArgumentsWithoutATerminalDoNotWait) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[0], 0);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execl(NUQ_TOOL_PATH, NUQ_TOOL_PATH, static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  int status = 0;
  bool ended = false;
  while (!ended && std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
    ended = waitpid(pid, &status, WNOHANG) == pid;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  close(fds[1]);
  ASSERT_TRUE(ended) << "the run waited for standard input";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 255);
}

TEST_F(CliOptions, MissingTransformCountIsSaidPlainly) {
  const std::string mismatch = "error: -n number not consistent to number of transforms ";
  const std::vector<OptionCase> cases = {
      {"one transform", {"ref.nii", "-t", "a.AFF"}, false,
       "error: -n was not given (1 transforms read)\n", 255},
      {"three transforms", {"ref.nii", "-t", "a.AFF", "-t", "a.AFF", "-t", "a.AFF", "-o", "out"},
       false, "error: -n was not given (3 transforms read)\n", 255},
      // Given, even as -1: the count check keeps its own line.
      {"-n -1 given", {"ref.nii", "-n", "-1", "-t", "a.AFF"}, false, mismatch + "1 \n", 255},
      {"nothing read", {"ref.nii", "-mag"}, false, mismatch + "0 \n", 255},
  };
  RunCases(cases, dir.Path());
  EXPECT_FALSE(Contains(RunTool({"ref.nii", "-t", "a.AFF"}, dir.Path()).out, mismatch));
  EXPECT_FALSE(FileExists(dir.File("out_x.nii.gz")));
}

// A missing folder, or a path through a file, is refused with the system's
// reason before the computation: on a 192 x 192 x 192 reference the field
// run with its files takes seconds, the refusal a fraction of one.
TEST_F(CliOptions, UnwritableOutputFolderIsRefusedAtOnce) {
  nuqclitest::WriteShortNifti(dir.File("big.nii"), {192, 192, 192});
  WriteWholeFile(dir.File("plain"), "a file\n");
  const std::vector<std::string> tail = {"-n", "1", "-t", "a.AFF"};
  struct Case {
    const char *name;
    std::vector<std::string> extra;
    std::string message;
  };
  const std::string missing = "error: cannot write in the output folder ";
  const Case cases[] = {
      {"field into a missing folder", {"-o", "none/deeper/out", "-mag"},
       missing + "none/deeper (No such file or directory)\n"},
      {"field through a file", {"-o", "plain/out"}, missing + "plain (Not a directory)\n"},
      {"jacobian", {"-jac", "-o", "none/j"}, missing + "none (No such file or directory)\n"},
      {"inverse", {"-inv", "-o", "none/i"}, missing + "none (No such file or directory)\n"},
      {"matrix", {"-matrix", "-o", "none/m.MAT"}, missing + "none (No such file or directory)\n"},
      {"inverse consistency images", {"-ic", "-mag", "-o", "none/c"},
       missing + "none (No such file or directory)\n"},
      {"square root", {"-sqrt", "1", "-o", "none/s"},
       missing + "none (No such file or directory)\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"big.nii"};
    args.insert(args.end(), tail.begin(), tail.end());
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const auto start = std::chrono::steady_clock::now();
    const nuqtest::ToolResult r = RunTool(args, dir.Path());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, kUnwritableStatus) << r.err;
    EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
    EXPECT_FALSE(Contains(r.out, "success: start computing")) << r.out;
    EXPECT_FALSE(Contains(r.out, "success: will computing")) << r.out;
    // Reading the 14 MB reference is all the run does.
    EXPECT_LT(seconds, 1.0);
  }
  EXPECT_TRUE(TemporaryFilesIn(dir.Path()).empty());
}

// Runs that write nothing need no folder.
TEST_F(CliOptions, RunsThatWriteNothingAreNotRefused) {
  WriteWholeFile(dir.File("b.AFF"), kRotation);
  const std::vector<OptionCase> cases = {
      {"-diff without -mag", {"ref.nii", "-n", "2", "-t", "a.AFF", "-t", "b.AFF", "-diff", "-o",
                              "none/d"}, false, "RealError warping_index(mm)", 0},
      {"-ic without -mag", {"ref.nii", "-n", "1", "-t", "a.AFF", "-ic", "-o", "none/c"}, false,
       "ic rms(mm)", 0},
      {"-jac without a prefix", {"ref.nii", "-n", "1", "-t", "a.AFF", "-jac"}, false,
       "\t Mask jacobian (mean, std, max, min)\t", 0},
  };
  RunCases(cases, dir.Path());
}

TEST_F(CliOptions, ReadOnlyOutputFolderIsRefused) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into folders without write permission";
  const std::string folder = dir.File("locked");
  ASSERT_EQ(mkdir(folder.c_str(), 0555), 0);
  const nuqtest::ToolResult r =
      RunTool({"ref.nii", "-n", "1", "-t", "a.AFF", "-o", "locked/out"}, dir.Path());
  chmod(folder.c_str(), 0755);
  EXPECT_EQ(r.status, kUnwritableStatus);
  EXPECT_TRUE(Contains(r.err, "error: cannot write in the output folder locked (Permission denied)\n"))
      << r.err;
}

// The folder is writable, the file itself is not (a folder holds its name):
// the writer says why and the run fails, for every action.
TEST_F(CliOptions, SaveThatFailsAfterTheCheckFailsTheRun) {
  WriteWholeFile(dir.File("b.AFF"), kRotation);
  struct Case {
    const char *name;
    std::vector<std::string> args;
    const char *blocked;  // made a folder before the run
    std::string message;
  };
  const std::string replace = "error: cannot replace ";
  const Case cases[] = {
      {"jacobian map", {"ref.nii", "-n", "1", "-t", "a.AFF", "-jac", "-o", "j"}, "j.nii.gz",
       replace + "j.nii.gz (Is a directory)\n"},
      {"atrophy file", {"ref.nii", "-n", "1", "-t", "a.AFF", "-jac", "-v", "0"},
       "ref.nii_info.txt",
       replace + "ref.nii_info.txt (Is a directory)\n"
                 "error: the atrophy rate was not saved in ref.nii_info.txt\n"},
      {"difference images",
       {"ref.nii", "-n", "2", "-t", "a.AFF", "-t", "b.AFF", "-diff", "-mag", "-o", "d"},
       "d_realerror_mag.nii.gz", replace + "d_realerror_mag.nii.gz (Is a directory)\n"},
      {"inverse-consistency images", {"ref.nii", "-n", "1", "-t", "a.AFF", "-ic", "-mag", "-o", "c"},
       "c_ic_x.nii.gz", replace + "c_ic_x.nii.gz (Is a directory)\n"},
      {"field", {"ref.nii", "-n", "1", "-t", "a.AFF", "-o", "f"}, "f.FLD",
       replace + "f.FLD (Is a directory)\n"},
      {"affine inverse", {"ref.nii", "-n", "1", "-t", "a.AFF", "-inv", "-o", "i"}, "i.AFF",
       replace + "i.AFF (Is a directory)\n"},
      {"inverse error images",
       {"ref.nii", "-n", "1", "-t", "a.AFF", "-inv", "-inverr", "-o", "e"}, "eic_mag.nii.gz",
       replace + "eic_mag.nii.gz (Is a directory)\n"},
      {"matrix", {"ref.nii", "-n", "1", "-t", "a.AFF", "-matrix", "-o", "m"}, "m.AFF",
       replace + "m.AFF (Is a directory)\n"},
      {"square root", {"ref.nii", "-n", "1", "-t", "a.AFF", "-sqrt", "1", "-o", "s"}, "s.FLD",
       replace + "s.FLD (Is a directory)\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(mkdir(dir.File(c.blocked).c_str(), 0755), 0);
    const nuqtest::ToolResult r = RunTool(c.args, dir.Path());
    EXPECT_EQ(r.status, kUnwritableStatus) << r.out << r.err;
    EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
    rmdir(dir.File(c.blocked).c_str());
  }
  EXPECT_FALSE(Contains(RunTool({"ref.nii", "-n", "1", "-t", "a.AFF", "-matrix", "-o", "m"},
                                dir.Path())
                            .err,
                        "error: "));
  EXPECT_TRUE(TemporaryFilesIn(dir.Path()).empty());
}

// SIGTERM while the images of a 256^3 field are being compressed: the
// temporary files go, the process ends by the signal, and whatever final
// file exists is whole.
TEST(CliInterrupt, TerminationWhileWritingLeavesNoTemporaryFile) {
  TempDir dir;
  nuqclitest::WriteShortNifti(dir.File("big.nii"), {256, 256, 256});
  WriteWholeFile(dir.File("a.AFF"), kRotation);
  bool interrupted = false;
  for (int attempt = 0; attempt < 4 && !interrupted; ++attempt) {
    for (const char *name : {"out_x.nii.gz", "out_y.nii.gz", "out_z.nii.gz", "out_mag.nii.gz"})
      unlink(dir.File(name).c_str());
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir.Path().c_str()) != 0) _exit(127);
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      execl(NUQ_TOOL_PATH, NUQ_TOOL_PATH, "big.nii", "-o", "out", "-n", "1", "-t", "a.AFF",
            "-mag", static_cast<char *>(nullptr));
      _exit(127);
    }
    // Waits for the first temporary image (not the folder probe).
    const auto start = std::chrono::steady_clock::now();
    bool writing = false, ended = false;
    int status = 0;
    while (!writing && !ended && std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
      for (const std::string &name : TemporaryFilesIn(dir.Path()))
        writing = writing || name.find(".nii.gz") != std::string::npos;
      if (!writing) {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
    if (!ended) {
      kill(pid, SIGTERM);
      waitpid(pid, &status, 0);
    }
    // A run that finished before the signal proves nothing: try again.
    if (!WIFSIGNALED(status)) continue;
    interrupted = true;
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_TRUE(TemporaryFilesIn(dir.Path()).empty());
    for (const char *name : {"out_x.nii.gz", "out_y.nii.gz", "out_z.nii.gz", "out_mag.nii.gz"})
      if (FileExists(dir.File(name))) {
        EXPECT_EQ(nuqclitest::ReadFloatVoxels(dir.File(name)).size(), 256u * 256u * 256u) << name;
      }
  }
  EXPECT_TRUE(interrupted) << "every run ended before the signal";
}

}  // namespace
