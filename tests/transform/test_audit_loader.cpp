// Every row of the factory's extension table picks its class, and an entry
// that holds an object of another type is replaced while one of the same
// type is kept.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <memory>
#include <string>

#include "nuqTransformFFD.h"
#include "nuqTransformFields.h"
#include "nuqTransformLoader.h"
#include "nuqTransformLocalAffines.h"
#include "nuqTransformMatrix.h"

namespace {

struct Row {
  const char *extension;
  const char *type;
  std::function<bool(nuqTransformBase *)> isClass;
};

const Row kRows[] = {
    {"aff", "AFF", [](nuqTransformBase *t) { return dynamic_cast<nuqTransformMatrix *>(t) == nullptr &&
                                                    dynamic_cast<nuqTransformMultipleAffines *>(t) == nullptr &&
                                                    dynamic_cast<nuqTransformAffine *>(t) != nullptr; }},
    {"Mtx", "AFF", [](nuqTransformBase *t) { return dynamic_cast<nuqTransformMatrix *>(t) != nullptr; }},
    {"affs", "AFFS", [](nuqTransformBase *t) { return dynamic_cast<nuqTransformLocalAffines *>(t) != nullptr; }},
    {"AFFS", "AFFS", [](nuqTransformBase *t) { return dynamic_cast<nuqTransformLocalAffines *>(t) != nullptr; }},
    {"ffd", "FFD", [](nuqTransformBase *t) { return dynamic_cast<nuqTransformFFD *>(t) != nullptr; }},
    {"nii", "FFD", [](nuqTransformBase *t) { return dynamic_cast<nuqTransformFFD *>(t) != nullptr; }},
    {"Gipl", "FFD", [](nuqTransformBase *t) { return dynamic_cast<nuqTransformFFD *>(t) != nullptr; }},
    {"ffdmi", "FFD", [](nuqTransformBase *t) { return dynamic_cast<nuqTransformFFD *>(t) != nullptr; }},
    {"fld", "FLD", [](nuqTransformBase *t) { return dynamic_cast<nuqTransformFields *>(t) != nullptr; }},
};

TEST(TransformLoaderAudit, EveryRowPicksItsClass) {
  for (const Row &row : kRows) {
    SCOPED_TRACE(row.extension);
    nuqTransformBase *entry = nullptr;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool ok = NewTransformByType(entry, row.extension);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    std::unique_ptr<nuqTransformBase> owner(entry);
    ASSERT_TRUE(ok) << err;
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->GetTransformType(), row.type);
    EXPECT_TRUE(row.isClass(entry));
    std::string upper = row.extension;
    for (char &c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(out, "success: new transform " + upper + "\n");
    EXPECT_EQ(err, "");
  }
}

TEST(TransformLoaderAudit, AnObjectOfAnotherTypeIsReplacedOneOfTheSameTypeKept) {
  // An affine entry asked for an FFD gets a new FFD object.
  nuqTransformBase *entry = new nuqTransformAffine();
  testing::internal::CaptureStdout();
  ASSERT_TRUE(NewTransformByType(entry, "FFD"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "success: new transform FFD\n");
  std::unique_ptr<nuqTransformBase> owner(entry);
  EXPECT_NE(dynamic_cast<nuqTransformFFD *>(entry), nullptr);
  // Then "NII" and "GIPL" keep it (all "FFD"), "FLD" replaces it.
  nuqTransformBase *const ffd = entry;
  for (const char *same : {"NII", "gipl", "ffdmi"}) {
    testing::internal::CaptureStdout();
    ASSERT_TRUE(NewTransformByType(entry, same));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(entry, ffd) << same;
  }
  owner.release();
  testing::internal::CaptureStdout();
  ASSERT_TRUE(NewTransformByType(entry, "FLD"));
  testing::internal::GetCapturedStdout();
  owner.reset(entry);
  EXPECT_NE(dynamic_cast<nuqTransformFields *>(entry), nullptr);
}

}  // namespace
