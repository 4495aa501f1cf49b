#include <gtest/gtest.h>
#include <sys/stat.h>

#include "nuqConsole.h"
#include "nuqFileReason.h"
#include "nuqTestSupport.h"

namespace {

struct NameCase {
  const char *name, *ext, *stem, *file, *dir;
};

TEST(FileNames, ExtensionStemFileAndDirectoryParts) {
  const NameCase cases[] = {
      {"field.nii.gz", "nii.gz", "field", "", ""},
      {"a.b.gz", "gz", "a.b", "", ""},
      {"img", "", "img", "", ""},
      {"case.NII", "NII", "case", "", ""},
      {"out.nii.gz", "nii.gz", "out", "", ""},
      {"dir/f.nii", "nii", "dir/f", "f.nii", "dir"},
      {"d.x/f", "x/f", "d", "f", "d.x"},
      {"c:\\w\\f.gipl", "gipl", "c:\\w\\f", "f.gipl", "c:\\w"},
      {"a/b\\c.AFF", "AFF", "a/b\\c", "b\\c.AFF", "a"},
      {"x.gz", "gz", "x", "", ""},
  };
  for (const NameCase &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(GetExtension(c.name), c.ext);
    EXPECT_EQ(GetNameWithoutExtension(c.name), c.stem);
    EXPECT_EQ(GetFileNamePart(c.name), c.file);
    EXPECT_EQ(GetDirectoryPart(c.name), c.dir);
  }
}

TEST(FileNames, OptionTokens) {
  const std::pair<const char *, bool> cases[] = {
      {"-mag", true}, {"-v", true},  {"-3", false}, {"-0.5", false},
      {"-.5", false}, {"-", false},  {"", false},   {"mag", false}, {"--x", true}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.first);
    EXPECT_EQ(IsOptionToken(c.first), c.second);
  }
}

TEST(FileNames, CaseChangesAsciiOnly) {
  std::string s = "aB1.z\xe9";
  EXPECT_EQ(ToUpperCase(s), "AB1.Z\xe9");
  EXPECT_EQ(ToLowerCase(s), "ab1.z\xe9");
}

TEST(Verbosity, PreScanRules) {
  struct Case {
    std::vector<std::string> args;
    int expected;
  };
  const Case cases[] = {
      {{"tool", "ref.nii"}, 7},  // left as it was without "-v"
      {{"tool", "ref.nii", "-v", "0"}, 0},
      {{"tool", "ref.nii", "-v"}, 1},
      {{"tool", "-v", "-mag"}, 1},
      {{"tool", "-v", "2"}, 2},
      {{"tool", "-v", "0", "-v", "3"}, 3},
      {{"tool", "-v", "-2"}, -2},
      {{"tool", "-v", "abc"}, 0},
  };
  for (const Case &c : cases) {
    g_nVerbose = 7;
    std::vector<char *> argv;
    std::vector<std::string> copy(c.args);
    for (std::string &a : copy) argv.push_back(&a[0]);
    ParseVerbosity(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(g_nVerbose, c.expected) << c.args.back();
  }
  g_nVerbose = 1;
}

TEST(TextFile, WritesBytesAndReportsUnwritableName) {
  nuqtest::TempDir dir;
  const std::string name = dir.File("t.txt");
  const std::string text("a\0b\n", 4);
  ASSERT_TRUE(WriteTextFile(text, name));
  EXPECT_EQ(nuqtest::ReadWholeFile(name), text);
  ASSERT_TRUE(WriteTextFile("x", name));
  EXPECT_EQ(nuqtest::ReadWholeFile(name), "x");

  testing::internal::CaptureStderr();
  EXPECT_FALSE(WriteTextFile("x", dir.File("missing/t.txt")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: open file name " + dir.File("missing/t.txt") + " fail! ");
}

TEST(FileReason, NamesTheSystemReasonOrNothing) {
  nuqtest::TempDir dir;
  nuqtest::WriteWholeFile(dir.File("f"), "x");
  // A pipe without a writer must be refused at once, not waited on.
  ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
  const std::pair<std::string, std::string> cases[] = {
      {dir.File("pipe"), " (Not a regular file)"},
      {"/dev/null", " (Not a regular file)"},
      {dir.File("f"), ""},
      {dir.File("missing"), " (No such file or directory)"},
      {dir.File("missing/f"), " (No such file or directory)"},
      {dir.File("f/g"), " (Not a directory)"},
      {dir.Path(), " (Is a directory)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.first);
    EXPECT_EQ(UnreadableFileSuffix(c.first), c.second);
  }
}

}  // namespace
