// Creating transforms by file extension: case rules, reuse of an object of
// the same type, refused extensions and the loader's messages.
#include <gtest/gtest.h>

#include <cctype>
#include <memory>

#include "nuqTestSupport.h"
#include "nuqTransformLoader.h"
#include "nuqTransformMatrix.h"

namespace {

struct Captured {
  bool ok;
  std::string out, err;
};

Captured NewByType(nuqTransformBase *&entry, const std::string &type) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const bool ok = NewTransformByType(entry, type);
  std::string out = testing::internal::GetCapturedStdout();
  return {ok, out, testing::internal::GetCapturedStderr()};
}

TEST(TransformLoader, ExtensionsPickTheClassWhateverTheirCase) {
  struct Case {
    const char *extension;
    bool matrix;
  } cases[] = {{"aff", false}, {"AFF", false}, {"Aff", false}, {"mtx", true},
               {"MTX", true},  {"Mat", true},  {"matrix", true}, {"MATRIX", true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.extension);
    nuqTransformBase *entry = nullptr;
    const Captured r = NewByType(entry, c.extension);
    std::unique_ptr<nuqTransformBase> owner(entry);
    ASSERT_TRUE(r.ok);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->GetTransformType(), "AFF");
    EXPECT_EQ(dynamic_cast<nuqTransformMatrix *>(entry) != nullptr, c.matrix);
    EXPECT_NE(dynamic_cast<nuqTransformAffine *>(entry), nullptr);
    std::string upper = c.extension;
    for (char &ch : upper) ch = char(std::toupper(static_cast<unsigned char>(ch)));
    EXPECT_EQ(r.out, "success: new transform " + upper + "\n");
    EXPECT_EQ(r.err, "");
  }
}

TEST(TransformLoader, ObjectOfTheSameTypeIsKept) {
  nuqTransformBase *entry = new nuqTransformAffine();
  nuqTransformBase *const original = entry;
  Captured r = NewByType(entry, "MTX");  // both report "AFF"
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(entry, original);
  EXPECT_EQ(r.out, "");
  r = NewByType(entry, "bogus");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(entry, original);  // left as it was
  delete entry;
}

TEST(TransformLoader, UnknownExtensionsPrintBothLines) {
  nuqtest::TempDir dir;
  struct Case {
    const char *name;
    const char *upperExtension;
  } cases[] = {
      {"warp.nii.gz", "NII.GZ"}, {"dir.old/warp", "OLD/WARP"}, {"noextension", ""}, {"warp.xyz", "XYZ"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    nuqTransformBase *entry = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ReadTransformFile(entry, c.name));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("error: unknown transform file type:") +
                                                          c.upperExtension + " (the transform extensions read are AFF, MTX, MAT, AFFS, FFD, NII, GIPL, FFDMI, FLD, MATRIX)\nerror: unknown transform file:" +
                                                          c.name + "\n");
    EXPECT_EQ(entry, nullptr);
  }
}

TEST(TransformLoader, ReadsTheFileWithTheClassReaderOrReportsIt) {
  nuqtest::TempDir dir;
  nuqtest::WriteWholeFile(dir.File("m.matrix"), "2 0 0 1\n0 2 0 2\n0 0 2 3\n");
  nuqTransformBase *entry = nullptr;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(ReadTransformFile(entry, dir.File("m.matrix")));
  testing::internal::GetCapturedStdout();
  std::unique_ptr<nuqTransformBase> owner(entry);
  const float p[4] = {1, 1, 1, 0};
  float q[4];
  entry->TransformWorldToWorld(p, q);
  EXPECT_FLOAT_EQ(q[0], 3);
  EXPECT_FLOAT_EQ(q[1], 4);
  EXPECT_FLOAT_EQ(q[2], 5);

  nuqTransformBase *bad = nullptr;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ReadTransformFile(bad, dir.File("missing.AFF")));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: can not find Affine Transformation:" + dir.File("missing.AFF") +
                "! (No such file or directory)\nerror: reading transform file:" + dir.File("missing.AFF") + "\n");
  EXPECT_NE(bad, nullptr);  // the new object stays with the caller
  delete bad;
}

}  // namespace
