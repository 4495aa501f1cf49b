// Displacement-field transform: mapping, FLD files (writer, reader with its
// three ways of finding a component), geometry checks and parameter access.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <sstream>
#include <string>

#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqTestSupport.h"
#include "nuqTransformAffine.h"
#include "nuqTransformFields.h"

namespace {

using Fill = std::function<float(int, int, int)>;

// A float volume on an axis-aligned grid (index 0 at world 0) filled by f.
void MakeVolume(nuqImageDataT<float> &volume, int dim, const int *size3, const float *spacing3,
                const Fill &f) {
  nuqImageInfo orientation;
  int size[4] = {size3[0], size3[1], dim > 2 ? size3[2] : 1, 1};
  float spacing[4] = {spacing3[0], spacing3[1], dim > 2 ? spacing3[2] : 1, 1};
  ASSERT_TRUE(volume.NewImage(dim, size, spacing, &orientation));
  for (int z = 0; z < size[2]; ++z)
    for (int y = 0; y < size[1]; ++y)
      for (int x = 0; x < size[0]; ++x) volume.SetPixelByGreyscale(x, y, z, 0, f(x, y, z));
}

void SaveVolume(int dim, const int *size, const float *spacing, const Fill &f,
                const std::string &name) {
  nuqImageDataT<float> volume;
  MakeVolume(volume, dim, size, spacing, f);
  ASSERT_TRUE(SaveImageFile(&volume, name));
}

const int kSize[3] = {4, 3, 2};
const float kSpacing[3] = {1, 1, 1};

// Three distinct components: x = 1 + i, y = 10 + j, z = 100 + k (mm).
void SaveDistinctComponents(const std::string &base) {
  SaveVolume(3, kSize, kSpacing, [](int i, int, int) { return 1.0f + i; }, base + "_x.nii.gz");
  SaveVolume(3, kSize, kSpacing, [](int, int j, int) { return 10.0f + j; }, base + "_y.nii.gz");
  SaveVolume(3, kSize, kSpacing, [](int, int, int k) { return 100.0f + k; }, base + "_z.nii.gz");
}

std::string FldText(int dim, const std::string &x, const std::string &y, const std::string &z) {
  std::string text = "#dimension#\n" + std::to_string(dim) + "\n#one to one#\n1\n";
  const std::string names[3] = {x, y, z};
  const char *axes[3] = {"x", "y", "z"};
  for (int c = 0; c < dim; ++c)
    text += std::string("\n#transformation fields in dimension ") + axes[c] + "#\n" + names[c] +
            "\n";
  return text;
}

// The component names the reader settled on, taken from its own text.
std::string ListedNames(nuqTransformFields &field) {
  std::istringstream in(field.GetTransformText());
  std::string line, names;
  while (std::getline(in, line))
    if (!line.empty() && line[0] != '#' && line.find(".nii") != std::string::npos)
      names += line + ";";
  return names;
}

using nuqtest::QuietSuccess;

// Runs the body with the working directory set to dir.
struct InDirectory {
  std::string previous;
  explicit InDirectory(const std::string &dir) {
    char buf[4096];
    previous = getcwd(buf, sizeof buf) ? buf : "/";
    EXPECT_EQ(chdir(dir.c_str()), 0);
  }
  ~InDirectory() { EXPECT_EQ(chdir(previous.c_str()), 0); }
};

}  // namespace

TEST(TransformFields, MapsByInterpolatedDisplacementAndClampsOutside) {
  QuietSuccess quiet;
  nuqtest::TempDir dir;
  SaveDistinctComponents(dir.File("f"));
  nuqTransformFields field;
  ASSERT_TRUE(field.SetTransformFieldsByFileNames(dir.File("f_x.nii.gz"), dir.File("f_y.nii.gz"),
                                                  dir.File("f_z.nii.gz")));
  EXPECT_EQ(field.GetDimension(), 3);
  EXPECT_EQ(field.GetTransformType(), "FLD");

  struct Case {
    const char *name;
    float in[4];
    float expected[4];
  } cases[] = {
      {"on a voxel", {2, 1, 1, 7}, {2 + 3, 1 + 11, 1 + 101, 7}},
      {"between voxels", {0.5f, 1.5f, 0.25f, 0}, {0.5f + 1.5f, 1.5f + 11.5f, 0.25f + 100.25f, 0}},
      {"beyond the last x voxel", {9, 0, 0, 0}, {9 + 4, 0 + 10, 0 + 100, 0}},
      {"below the grid", {-3, -2, -5, 0}, {-3 + 1, -2 + 10, -5 + 100, 0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    float out[4] = {0, 0, 0, c.in[3]};
    field.TransformWorldToWorld(c.in, out);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(out[k], c.expected[k], 1e-5) << k;
  }
}

TEST(TransformFields, TwoDimensionalFieldLeavesZAndTUntouched) {
  nuqImageDataT<float> dx, dy;
  const int size[3] = {3, 3, 1};
  MakeVolume(dx, 2, size, kSpacing, [](int, int, int) { return 0.5f; });
  MakeVolume(dy, 2, size, kSpacing, [](int, int, int) { return -2.0f; });
  nuqTransformFields field;
  // The z image is ignored for a 2-D x image.
  ASSERT_TRUE(field.SetTransformFields(&dx, &dy, nullptr));
  EXPECT_EQ(field.GetDimension(), 2);
  const float in[4] = {1, 1, 5, 6};
  float out[4] = {0, 0, 123, 456};
  field.TransformWorldToWorld(in, out);
  EXPECT_FLOAT_EQ(out[0], 1.5f);
  EXPECT_FLOAT_EQ(out[1], -1.0f);
  EXPECT_EQ(out[2], 123);
  EXPECT_EQ(out[3], 456);
}

TEST(TransformFields, SaveNamesFollowTheGivenName) {
  QuietSuccess quiet;
  struct Case {
    const char *given;
    const char *fld;
    const char *xName;
  } cases[] = {
      {"out.FLD", "out.FLD", "out_x.nii.gz"},
      {"out", "out.FLD", "out_x.nii.gz"},
      {"out.fld", "out.fld.FLD", "out.fld_x.nii.gz"},
      {"a/b/out.FLD", "a/b/out.FLD", "a/b/out_x.nii.gz"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.given);
    nuqtest::TempDir dir;
    ASSERT_EQ(system(("mkdir -p " + dir.File("a/b")).c_str()), 0);
    nuqImageDataT<float> dx, dy, dz;
    MakeVolume(dx, 3, kSize, kSpacing, [](int i, int, int) { return float(i); });
    MakeVolume(dy, 3, kSize, kSpacing, [](int, int j, int) { return float(j); });
    MakeVolume(dz, 3, kSize, kSpacing, [](int, int, int k) { return float(k); });
    nuqTransformFields field;
    ASSERT_TRUE(field.SetTransformFields(&dx, &dy, &dz));
    InDirectory in(dir.Path());
    ASSERT_TRUE(field.SaveToFile(c.given));
    const std::string base = std::string(c.xName).substr(0, std::string(c.xName).size() - 9);
    EXPECT_TRUE(nuqtest::FileExists(c.xName));
    EXPECT_TRUE(nuqtest::FileExists(base + "_y.nii.gz"));
    EXPECT_TRUE(nuqtest::FileExists(base + "_z.nii.gz"));
    EXPECT_EQ(nuqtest::ReadWholeFile(c.fld),
              FldText(3, c.xName, base + "_y.nii.gz", base + "_z.nii.gz"));
  }
}

TEST(TransformFields, SavedFieldReadsBackFromAnotherDirectory) {
  QuietSuccess quiet;
  nuqtest::TempDir dir;
  ASSERT_EQ(system(("mkdir -p " + dir.File("a/b") + " " + dir.File("elsewhere")).c_str()), 0);
  nuqImageDataT<float> dx, dy, dz;
  MakeVolume(dx, 3, kSize, kSpacing, [](int i, int j, int k) { return 0.25f * i - j + k; });
  MakeVolume(dy, 3, kSize, kSpacing, [](int i, int, int) { return -0.5f * i; });
  MakeVolume(dz, 3, kSize, kSpacing, [](int, int j, int k) { return 2.0f * j * k; });
  nuqTransformFields saved;
  ASSERT_TRUE(saved.SetTransformFields(&dx, &dy, &dz));
  {
    InDirectory in(dir.Path());
    ASSERT_TRUE(saved.SaveToFile("a/b/out.FLD"));
  }
  InDirectory in(dir.File("elsewhere"));
  nuqTransformFields read;
  // The listed names are relative to the first directory; the reader finds
  // them next to the FLD file instead.
  ASSERT_TRUE(read.ReadFromFile("../a/b/out.FLD"));
  ASSERT_EQ(read.GetNumberOfParameters(), saved.GetNumberOfParameters());
  ASSERT_EQ(read.GetNumberOfParameters(), 3 * 24);
  int differences = 0, nonZero = 0;
  for (int i = 0; i < read.GetNumberOfParameters(); ++i) {
    differences += read.GetParameterValue(i) != saved.GetParameterValue(i);
    nonZero += saved.GetParameterValue(i) != 0;
  }
  EXPECT_EQ(differences, 0);
  EXPECT_GT(nonZero, 30);
  EXPECT_EQ(ListedNames(read),
            "../a/b/out_x.nii.gz;../a/b/out_y.nii.gz;../a/b/out_z.nii.gz;");
}

// Which of the three names the reader takes: as listed, the listed file
// name next to the FLD file, or the FLD name with the component suffix.
TEST(TransformFields, ReaderFindsComponentsThreeWays) {
  QuietSuccess quiet;
  nuqtest::TempDir dir;
  ASSERT_EQ(system(("mkdir -p " + dir.File("store") + " " + dir.File("fld")).c_str()), 0);
  SaveDistinctComponents(dir.File("store/comp"));
  SaveDistinctComponents(dir.File("fld/near"));
  SaveDistinctComponents(dir.File("fld/f3"));
  const std::string store = dir.File("store/comp");
  struct Case {
    const char *name;
    std::string fldName;
    std::string text;
    std::string expectedNames;
  } cases[] = {
      {"listed names", "f1.FLD",
       FldText(3, store + "_x.nii.gz", store + "_y.nii.gz", store + "_z.nii.gz"),
       store + "_x.nii.gz;" + store + "_y.nii.gz;" + store + "_z.nii.gz;"},
      {"comment after a name", "f1c.FLD",
       FldText(3, store + "_x.nii.gz  # x part", store + "_y.nii.gz\t% y part",
               store + "_z.nii.gz ? z part"),
       store + "_x.nii.gz;" + store + "_y.nii.gz;" + store + "_z.nii.gz;"},
      {"stale directory", "f2.FLD",
       FldText(3, "/no/such/dir/near_x.nii.gz", "/no/such/dir/near_y.nii.gz",
               "/no/such/dir/near_z.nii.gz"),
       dir.File("fld/near_x.nii.gz;") + dir.File("fld/near_y.nii.gz;") +
           dir.File("fld/near_z.nii.gz;")},
      {"stale names", "f3.FLD", FldText(3, "gone_x.nii.gz", "gone_y.nii.gz", "gone_z.nii.gz"),
       dir.File("fld/f3_x.nii.gz;") + dir.File("fld/f3_y.nii.gz;") + dir.File("fld/f3_z.nii.gz;")},
      {"ends after its header", "f3.FLD", "#dimension#\n3\n#one to one#\n1\n",
       dir.File("fld/f3_x.nii.gz;") + dir.File("fld/f3_y.nii.gz;") + dir.File("fld/f3_z.nii.gz;")},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string fld = dir.File("fld/" + c.fldName);
    nuqtest::WriteWholeFile(fld, c.text);
    nuqTransformFields field;
    ASSERT_TRUE(field.ReadFromFile(fld));
    EXPECT_EQ(ListedNames(field), c.expectedNames);
    const float in[4] = {3, 2, 1, 0};
    float out[4] = {0, 0, 0, 0};
    field.TransformWorldToWorld(in, out);
    EXPECT_FLOAT_EQ(out[0], 3 + 4);
    EXPECT_FLOAT_EQ(out[1], 2 + 12);
    EXPECT_FLOAT_EQ(out[2], 1 + 101);
  }
}

TEST(TransformFields, ReaderRefusesFieldsItCannotUse) {
  QuietSuccess quiet;
  nuqtest::TempDir dir;
  SaveDistinctComponents(dir.File("ok"));
  const int small[3] = {3, 3, 2};
  SaveVolume(3, small, kSpacing, [](int, int, int) { return 0.0f; }, dir.File("small.nii.gz"));
  const float wide[3] = {1, 2, 1};
  SaveVolume(3, kSize, wide, [](int, int, int) { return 0.0f; }, dir.File("wide.nii.gz"));
  ASSERT_EQ(system(("mkdir -p " + dir.File("folder.nii.gz")).c_str()), 0);
  // Opening a pipe with no writer would block the reader.
  ASSERT_EQ(system(("mkfifo " + dir.File("pipe.nii.gz")).c_str()), 0);
  const std::string ok = dir.File("ok");
  struct Case {
    const char *name;
    std::string text;
    const char *message;  // expected in standard error
  } cases[] = {
      {"missing component", FldText(3, ok + "_x.nii.gz", ok + "_y.nii.gz", "missing.nii.gz"),
       "missing.nii.gz"},
      {"names itself", FldText(3, dir.File("bad.FLD"), dir.File("bad.FLD"), dir.File("bad.FLD")),
       "bad.FLD"},
      {"a directory as component",
       FldText(3, ok + "_x.nii.gz", dir.File("folder.nii.gz"), ok + "_z.nii.gz"), "folder.nii.gz"},
      {"a pipe as component",
       FldText(3, ok + "_x.nii.gz", ok + "_y.nii.gz", dir.File("pipe.nii.gz")), "pipe.nii.gz"},
      {"different size",
       FldText(3, ok + "_x.nii.gz", dir.File("small.nii.gz"), ok + "_z.nii.gz"),
       "error: transformation field images should have same orientation, dimension, size, "
       "spacing "},
      {"different spacing",
       FldText(3, ok + "_x.nii.gz", ok + "_y.nii.gz", dir.File("wide.nii.gz")),
       "error: transformation field images should have same orientation, dimension, size, "
       "spacing "},
      {"dimension 7", "#dimension#\n7\n#one to one#\n1\n",
       "error: open Transformation Field type Transformation Failed in reading base stream!\n"},
      {"dimension 1", "#dimension#\n1\n#one to one#\n1\n" + ok + "_x.nii.gz\n", "dimension 1"},
      {"no header", "", "error: open Transformation Field type Transformation Failed in reading "
                        "base stream!\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string fld = dir.File("bad.FLD");
    nuqtest::WriteWholeFile(fld, c.text);
    nuqTransformFields field;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(field.ReadFromFile(fld));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
}

TEST(TransformFields, FileNameListReadsOnlyTheUsedComponents) {
  QuietSuccess quiet;
  nuqtest::TempDir dir;
  const int size[3] = {4, 3, 1};
  SaveVolume(2, size, kSpacing, [](int i, int, int) { return float(i); }, dir.File("x.nii.gz"));
  SaveVolume(2, size, kSpacing, [](int, int j, int) { return float(j); }, dir.File("y.nii.gz"));
  const std::string x = dir.File("x.nii.gz"), y = dir.File("y.nii.gz");
  const char *names[3] = {x.c_str(), y.c_str(), "never-read.nii.gz"};
  nuqTransformFields field;
  field.SetDimension(2);
  ASSERT_TRUE(field.SetTransformFieldsByFileNameList(names));
  EXPECT_EQ(field.GetNumberOfParameters(), 2 * 12);
  EXPECT_EQ(field.GetTransformText(), FldText(2, x, y, ""));

  nuqTransformFields wrongDimension;
  wrongDimension.SetDimension(1);
  EXPECT_FALSE(wrongDimension.SetTransformFieldsByFileNameList(names));
  nuqTransformFields missing;
  missing.SetDimension(3);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(missing.SetTransformFieldsByFileNameList(names));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("never-read.nii.gz"), std::string::npos);

  ASSERT_EQ(system(("mkfifo " + dir.File("pipe.nii")).c_str()), 0);
  const std::string pipe = dir.File("pipe.nii");
  const char *withPipe[3] = {x.c_str(), pipe.c_str(), nullptr};
  nuqTransformFields piped;
  piped.SetDimension(2);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(piped.SetTransformFieldsByFileNameList(withPipe));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("pipe.nii"), std::string::npos);
}

TEST(TransformFields, ParametersNormaliseAndClone) {
  nuqImageDataT<float> dx, dy, dz;
  MakeVolume(dx, 3, kSize, kSpacing, [](int i, int, int) { return i == 3 ? 3.0f : 0.0f; });
  MakeVolume(dy, 3, kSize, kSpacing, [](int i, int, int) { return i == 3 ? 4.0f : 1.0f; });
  MakeVolume(dz, 3, kSize, kSpacing, [](int, int, int) { return 0.0f; });
  nuqTransformFields field;
  ASSERT_TRUE(field.SetTransformFields(&dx, &dy, &dz));
  ASSERT_EQ(field.GetNumberOfParameters(), 72);
  // Component 1 starts at index 24; voxel (3, 0, 0) is its index 3.
  EXPECT_EQ(field.GetParameterValue(24 + 3), 4.0f);
  EXPECT_EQ(field.GetParameterValue(-1), 0.0f);
  EXPECT_EQ(field.GetParameterValue(72), 0.0f);
  EXPECT_FALSE(field.SetParameterValue(72, 1));
  EXPECT_FALSE(field.SetParameterValue(-1, 1));
  ASSERT_TRUE(field.SetParameterValue(48, 0.0f));

  nuqTransformBase *copy = nullptr;
  ASSERT_EQ(field.CloneTo(copy), copy);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->GetTransformType(), "FLD");

  // Largest voxel magnitude is |(3, 4, 0)| = 5.
  EXPECT_FLOAT_EQ(field.Normalise(false), 5.0f);
  EXPECT_FLOAT_EQ(field.GetParameterValue(3), 0.6f);
  EXPECT_FLOAT_EQ(field.GetParameterValue(24), 0.2f);
  // The clone is deep: it kept the values from before.
  EXPECT_EQ(copy->GetParameterValue(3), 3.0f);
  EXPECT_EQ(copy->GetNumberOfParameters(), 72);
  delete copy;

  ASSERT_TRUE(field.SetIdentity());
  EXPECT_EQ(field.GetMaxAbsParameter(), 0.0f);
  EXPECT_EQ(field.Normalise(false), 0.0f);
}

TEST(TransformFields, SampledFromTransformsOnANewGrid) {
  nuqTransformAffine shift;
  shift.SetDimension(3);
  const float translation[3] = {1.5f, -2, 0.25f};
  shift.SetTranslation(translation);
  nuqTransformBase *list[2] = {&shift, &shift};
  nuqImageInfo orientation;
  const float spacing[3] = {2, 2, 2};
  const float extent[3] = {6, 4, 3};
  nuqTransformFields *composed =
      ComposeTransformsToField(list, 2, 3, spacing, extent, nullptr, nullptr, &orientation);
  ASSERT_NE(composed, nullptr);
  // Sizes floor(extent / spacing) + 1 = 4, 3, 2.
  ASSERT_EQ(composed->GetNumberOfParameters(), 3 * 24);
  for (int i = 0; i < 24; ++i) {
    ASSERT_FLOAT_EQ(composed->GetParameterValue(i), 3.0f);
    ASSERT_FLOAT_EQ(composed->GetParameterValue(24 + i), -4.0f);
    ASSERT_FLOAT_EQ(composed->GetParameterValue(48 + i), 0.5f);
  }
  // A region of interest keeps only voxels 1..2 along x (world 2..4 mm).
  const float from[4] = {2, 0, 0, 0}, to[4] = {4, 10, 10, 0};
  nuqTransformFields *roi =
      ComposeTransformsToField(list, 1, 3, spacing, extent, from, to, &orientation);
  ASSERT_NE(roi, nullptr);
  for (int i = 0; i < 24; ++i) EXPECT_FLOAT_EQ(roi->GetParameterValue(i), (i % 4 == 1 || i % 4 == 2) ? 1.5f : 0.0f) << i;

  nuqTransformFields sampled;
  ASSERT_TRUE(sampled.SetTransformFieldsFromTransform(&shift, composed->GetTransformFields()[0].GetInfo()));
  for (int i = 0; i < 72; ++i)
    ASSERT_FLOAT_EQ(sampled.GetParameterValue(i), composed->GetParameterValue(i) / 2) << i;
  delete composed;
  delete roi;
}

TEST(TransformFields, SmoothingUsesMillimetreSigmas) {
  // A single displaced voxel on a 2 mm grid; sigma 2 mm is one voxel, so
  // the kernel has 2 floor(2 x 1) + 1 = 5 taps along each axis.
  nuqImageDataT<float> dx, dy, dz;
  const int size[3] = {9, 9, 9};
  const float spacing[3] = {2, 2, 2};
  MakeVolume(dx, 3, size, spacing, [](int i, int j, int k) {
    return i == 4 && j == 4 && k == 4 ? 1.0f : 0.0f;
  });
  MakeVolume(dy, 3, size, spacing, [](int, int, int) { return 3.0f; });
  MakeVolume(dz, 3, size, spacing, [](int, int, int) { return 0.0f; });
  nuqTransformFields field;
  ASSERT_TRUE(field.SetTransformFields(&dx, &dy, &dz));
  const float sigma[3] = {2, 2, 2};
  ASSERT_TRUE(field.SmoothFields(sigma));
  const nuqImageDataT<float> *images = field.GetTransformFields();
  // Separable weights w(k) ~ exp(-k^2 / 2), normalised over k = -2..2.
  const double w0 = 1 / (1 + 2 * std::exp(-0.5) + 2 * std::exp(-2.0));
  const double w1 = w0 * std::exp(-0.5), w2 = w0 * std::exp(-2.0);
  EXPECT_NEAR(images[0].GetPixelGreyscale(4, 4, 4), w0 * w0 * w0, 1e-6);
  EXPECT_NEAR(images[0].GetPixelGreyscale(5, 4, 4), w1 * w0 * w0, 1e-6);
  EXPECT_NEAR(images[0].GetPixelGreyscale(6, 6, 4), w2 * w2 * w0, 1e-6);
  EXPECT_EQ(images[0].GetPixelGreyscale(7, 4, 4), 0.0f);
  // A constant component stays constant.
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(images[1].GetPixelGreyscale(i, 8 - i, i), 3.0f, 1e-5);
}
