// The README's worked example: the command it shows, on the example data of
// the repository, prints the statistics line the README quotes and writes
// the files it lists.
#include <gtest/gtest.h>

#include <string>

#include "nuqTestSupport.h"

namespace {

TEST(CliAuditReadme, WorkedExamplePrintsTheQuotedLineAndWritesTheListedFiles) {
  const std::string source = NUQ_SOURCE_DIR;
  const std::string readme = nuqtest::ReadWholeFile(source + "/README.md");
  const std::string command =
      "./build/nuqtransformvector examples/phantom.nii.gz -o examples/out/field -n 1 \\\n"
      "  -t examples/tilt.AFF -mag\n";
  ASSERT_NE(readme.find(command), std::string::npos) << "the README no longer shows the worked example";
  const std::string key = "success: warping_index mean std max min =\t";
  const std::string::size_type quoted = readme.find(key);
  ASSERT_NE(quoted, std::string::npos);
  const std::string line = readme.substr(quoted, readme.find('\n', quoted) - quoted + 1);

  nuqtest::TempDir dir;
  const auto r = nuqtest::RunTool({source + "/examples/phantom.nii.gz", "-o", "field", "-n", "1", "-t",
                                   source + "/examples/tilt.AFF", "-mag"},
                                  dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find(line), std::string::npos) << "README quotes: " << line << "tool printed:\n" << r.out;
  for (const char *name : {"field_x.nii.gz", "field_y.nii.gz", "field_z.nii.gz", "field.FLD", "field_mag.nii.gz"})
    EXPECT_TRUE(nuqtest::FileExists(dir.File(name))) << name;
}

}  // namespace
