// GIPL images and Analyze pairs on the command line: GIPL reference images in
// both placement rules, FLD and -d components held in GIPL files of several
// voxel types, a big-endian Analyze pair as reference and mask, and a GIPL
// Jacobian image named by the prefix. Fixtures are assembled byte by byte so
// that they do not depend on the toolkit's own GIPL writer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqTestSupport.h"

namespace {

using nuqtest::ReadWholeFile;
using nuqtest::RunTool;
using nuqtest::TempDir;
using nuqtest::WriteWholeFile;

void Put(std::string &s, size_t offset, std::uint64_t v, int width, bool bigEndian) {
  for (int i = 0; i < width; ++i)
    s[offset + (bigEndian ? width - 1 - i : i)] = static_cast<char>(static_cast<unsigned char>(v >> (8 * i)));
}
template <class S>
void PutValue(std::string &s, size_t offset, S value, bool bigEndian) {
  std::uint64_t u = 0;
  std::memcpy(&u, &value, sizeof(S));
  Put(s, offset, u, sizeof(S), bigEndian);
}

// A GIPL file of nx x ny x nz voxels of type S (GIPL code `code`), voxel
// (i, j, k) = f(i, j, k); placement m0..m11 and grid-centre origin as given.
template <class S>
std::string Gipl(int code, const int size[3], const float spacing[3], const float m[12],
                 const float origin[3], S (*f)(int, int, int), bool bigEndian = true) {
  std::string h(256, '\0');
  for (int d = 0; d < 3; ++d) {
    Put(h, 2 * d, static_cast<unsigned>(size[d]), 2, bigEndian);
    PutValue(h, 10 + 4 * d, spacing[d], bigEndian);
    PutValue(h, 204 + 8 * d, static_cast<double>(origin[d]), bigEndian);
  }
  Put(h, 6, 1, 2, bigEndian);
  PutValue(h, 22, 1.0f, bigEndian);
  Put(h, 8, static_cast<unsigned>(code), 2, bigEndian);
  for (int i = 0; i < 12; ++i) PutValue(h, 106 + 4 * i, m[i], bigEndian);
  Put(h, 244, 815, 4, bigEndian);
  Put(h, 252, 719555000u, 4, bigEndian);
  std::string v(static_cast<size_t>(size[0]) * size[1] * size[2] * sizeof(S), '\0');
  size_t at = 0;
  for (int k = 0; k < size[2]; ++k)
    for (int j = 0; j < size[1]; ++j)
      for (int i = 0; i < size[0]; ++i, at += sizeof(S)) PutValue(v, at, f(i, j, k), bigEndian);
  return h + v;
}

// Big-endian Analyze 7.5 pair of int16 voxels; voxels are listed in file
// order (rows bottom-up).
void AnalyzePair(const TempDir &dir, const std::string &base, const int size[3],
                 const float spacing[3], short (*f)(int, int, int)) {
  std::string h(348, '\0');
  Put(h, 0, 348, 4, true);
  Put(h, 40, 3, 2, true);
  for (int d = 0; d < 3; ++d) {
    Put(h, 42 + 2 * d, static_cast<unsigned>(size[d]), 2, true);
    PutValue(h, 80 + 4 * d, spacing[d], true);
  }
  Put(h, 48, 1, 2, true);
  Put(h, 70, 4, 2, true);
  Put(h, 72, 16, 2, true);
  WriteWholeFile(dir.File(base + ".hdr"), h);
  std::string v(static_cast<size_t>(size[0]) * size[1] * size[2] * 2, '\0');
  size_t at = 0;
  for (int k = 0; k < size[2]; ++k)
    for (int j = 0; j < size[1]; ++j)
      for (int i = 0; i < size[0]; ++i, at += 2) PutValue(v, at, f(i, j, k), true);
  WriteWholeFile(dir.File(base + ".img"), v);
}

std::string Scaling(float sx, float sy, float sz) {
  std::ostringstream t;
  t << "#dimension#\n3\n#one to one#\n1\n#rotation center#\n0\t0\t0\t\n#rotation angle#\n0\t0\t0\t"
       "\n#scaling#\n"
    << sx << "\t" << sy << "\t" << sz << "\t\n#translation#\n0\t0\t0\t\n";
  return t.str();
}

std::string StatisticsLine(const std::string &out) {
  const std::string key = "success: warping_index mean std max min =\t";
  const std::string::size_type at = out.find(key);
  if (at == std::string::npos) return "(none)";
  return out.substr(at + key.size(), out.find('\n', at) - at - key.size());
}

// Voxels of an output image with its sizes, read through the toolkit's reader.
struct Volume {
  std::vector<float> voxels;
  int size[4] = {0, 0, 0, 0};
  float At(int i, int j, int k) const { return voxels[i + size[0] * (j + size[1] * k)]; }
};
Volume ReadOutput(const std::string &name) {
  const int saved = g_nVerbose;
  g_nVerbose = 0;
  nuqImageDataT<float> volume;
  Volume out;
  if (ReadImageFile(&volume, name)) {
    out.voxels.assign(volume.GetImageData(), volume.GetImageData() + volume.GetNumberOfPixels());
    volume.GetImageSize(out.size[0], out.size[1], out.size[2], out.size[3]);
  }
  g_nVerbose = saved;
  return out;
}

const int kSize[3] = {4, 3, 2};
const float kUnit[3] = {1, 1, 1};
const float kZero[12] = {0};
const float kNoOrigin[3] = {0, 0, 0};

short Ramp(int i, int j, int k) { return static_cast<short>(i + 10 * j + 100 * k); }

}  // namespace

TEST(CliGipl, MainJobWithGiplReferenceInBothPlacementRules) {
  struct Case {
    const char *name;
    float m[12];
    float origin[3];
    float (*expectedX)(int, int, int);  // world x of voxel (i, j, k)
  };
  const Case cases[] = {
      // Rule 3: rows of the grid-to-world matrix; world x = 5 - j.
      {"full matrix", {0, -1, 0, 5, 2, 0, 0, -3, 0, 0, 1.5f, 7}, {0, 0, 0},
       [](int, int j, int) { return 5.0f - j; }},
      // Rule 2: grid x along world y, grid y along world -x, centre (1.5, 1,
      // 0.5) at world (10, 20, 30); world x = 10 - (j - 1).
      {"two directions", {0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 0, 0}, {10, 20, 30},
       [](int, int j, int) { return 11.0f - j; }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const float spacing[3] = {2, 1, 1.5f};
    WriteWholeFile(dir.File("ref.gipl"), Gipl<std::int16_t>(15, kSize, spacing, c.m, c.origin, Ramp));
    WriteWholeFile(dir.File("s.AFF"), Scaling(2, 1, 1));
    const auto r = RunTool({"ref.gipl", "-o", "out", "-n", "1", "-t", "s.AFF", "-mag"}, dir.Path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("success: open image ref.gipl !\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("success: reference image is ref.gipl\n"), std::string::npos) << r.out;
    // A scaling by 2 along world x about 0 displaces every point by its world x.
    const Volume x = ReadOutput(dir.File("out_x.nii.gz"));
    const Volume y = ReadOutput(dir.File("out_y.nii.gz"));
    const Volume mag = ReadOutput(dir.File("out_mag.nii.gz"));
    ASSERT_EQ(x.voxels.size(), 24u);
    ASSERT_EQ(y.voxels.size(), 24u);
    ASSERT_EQ(mag.voxels.size(), 24u);
    EXPECT_EQ(x.size[0], 4);
    EXPECT_EQ(x.size[1], 3);
    EXPECT_EQ(x.size[2], 2);
    for (int k = 0; k < 2; ++k)
      for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 4; ++i) {
          EXPECT_NEAR(x.At(i, j, k), c.expectedX(i, j, k), 1e-4) << i << "," << j << "," << k;
          EXPECT_NEAR(y.At(i, j, k), 0.0f, 1e-5);
          EXPECT_NEAR(mag.At(i, j, k), std::fabs(c.expectedX(i, j, k)), 1e-4);
        }
    EXPECT_TRUE(nuqtest::FileExists(dir.File("out.FLD")));
  }
}

TEST(CliGipl, FieldComponentsInGiplFilesOfSeveralTypes) {
  TempDir dir;
  WriteWholeFile(dir.File("ref.gipl"), Gipl<std::int16_t>(15, kSize, kUnit, kZero, kNoOrigin, Ramp));
  // x: float, big-endian; y: 16-bit integers; z: float from a little-endian writer.
  WriteWholeFile(dir.File("cx.gipl"), Gipl<float>(64, kSize, kUnit, kZero, kNoOrigin,
                                                  [](int, int, int) { return 1.5f; }));
  WriteWholeFile(dir.File("cy.gipl"), Gipl<std::int16_t>(15, kSize, kUnit, kZero, kNoOrigin,
                                                         [](int, int, int) { return std::int16_t(2); }));
  WriteWholeFile(dir.File("cz.gipl"), Gipl<float>(64, kSize, kUnit, kZero, kNoOrigin,
                                                  [](int, int, int) { return -0.5f; }, false));
  WriteWholeFile(dir.File("c.FLD"),
                 "#dimension#\n3\n#one to one#\n1\n\n#transformation fields in dimension x#\n"
                 "cx.gipl\n\n#transformation fields in dimension y#\ncy.gipl\n\n"
                 "#transformation fields in dimension z#\ncz.gipl\n");
  const std::string stats = "2.54951\t2.54951\t0\t2.54951\t2.54951";  // |(1.5, 2, -0.5)|
  const auto fld = RunTool({"ref.gipl", "-o", "out", "-n", "1", "-t", "c.FLD"}, dir.Path());
  ASSERT_EQ(fld.status, 0) << fld.err;
  EXPECT_EQ(StatisticsLine(fld.out), stats);
  const Volume y = ReadOutput(dir.File("out_y.nii.gz"));
  ASSERT_EQ(y.voxels.size(), 24u);
  for (float v : y.voxels) EXPECT_NEAR(v, 2.0f, 1e-5);
  const Volume z = ReadOutput(dir.File("out_z.nii.gz"));
  ASSERT_EQ(z.voxels.size(), 24u);
  for (float v : z.voxels) EXPECT_NEAR(v, -0.5f, 1e-5);

  const auto d = RunTool({"ref.gipl", "-n", "1", "-d", "cx.gipl", "cy.gipl", "cz.gipl"}, dir.Path());
  ASSERT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(StatisticsLine(d.out), stats);

  // A component file cut short is refused with its name.
  const std::string whole = ReadWholeFile(dir.File("cy.gipl"));
  WriteWholeFile(dir.File("cy.gipl"), whole.substr(0, whole.size() - 1));
  const auto cut = RunTool({"ref.gipl", "-o", "bad", "-n", "1", "-t", "c.FLD"}, dir.Path());
  EXPECT_NE(cut.status, 0);
  EXPECT_NE(cut.err.find("error: Open Image:"), std::string::npos) << cut.err;
  EXPECT_NE(cut.err.find("cy.gipl Failed because the image raw data size inconsistent with Header! "
                         "(truncated: 47 of 48 voxel bytes)\n"),
            std::string::npos)
      << cut.err;
  EXPECT_FALSE(nuqtest::FileExists(dir.File("bad.FLD")));
}

TEST(CliGipl, BrokenGiplReferenceIsRefused) {
  TempDir dir;
  WriteWholeFile(dir.File("s.AFF"), Scaling(2, 1, 1));
  const std::string good = Gipl<std::int16_t>(15, kSize, kUnit, kZero, kNoOrigin, Ramp);
  struct Case {
    const char *name;
    std::string bytes;
    const char *reason;
  };
  std::string unknown = good;
  unknown[9] = 99;  // type code 99
  const Case cases[] = {
      {"truncated", good.substr(0, good.size() - 2),
       " Failed because the image raw data size inconsistent with Header! (truncated: 46 of 48 voxel bytes)\n"},
      {"unknown type", unknown, " failed because unrecoginised data type !\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    WriteWholeFile(dir.File("ref.gipl"), c.bytes);
    const auto r = RunTool({"ref.gipl", "-o", "out", "-n", "1", "-t", "s.AFF"}, dir.Path());
    EXPECT_EQ(r.status, 256 - 2);
    EXPECT_EQ(r.err, std::string("error: Open Image:ref.gipl") + c.reason +
                         "error: open reference image ref.gipl\n");
    EXPECT_FALSE(nuqtest::FileExists(dir.File("out.FLD")));
  }
}

TEST(CliGipl, BigEndianAnalyzePairAsReferenceAndMask) {
  TempDir dir;
  const float spacing[3] = {2, 1, 1};
  AnalyzePair(dir, "ref", kSize, spacing, Ramp);
  // In file order only the first row is inside; read with its y axis reversed
  // it becomes the last row, y = 2.
  AnalyzePair(dir, "mask", kSize, spacing, [](int, int j, int) { return short(j == 0 ? 1 : 0); });
  WriteWholeFile(dir.File("s.AFF"), Scaling(2, 2, 1));

  const auto r = RunTool({"ref.hdr", "-o", "out", "-n", "1", "-t", "s.AFF"}, dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("success: reference image is ref.hdr\n"), std::string::npos) << r.out;
  // Axis-aligned, index 0 at world 0: voxel (i, j, k) lies at (2 i, j, k), and
  // the scaling displaces it by (2 i, j, 0).
  const Volume x = ReadOutput(dir.File("out_x.nii.gz"));
  const Volume y = ReadOutput(dir.File("out_y.nii.gz"));
  ASSERT_EQ(x.voxels.size(), 24u);
  ASSERT_EQ(y.voxels.size(), 24u);
  for (int k = 0; k < 2; ++k)
    for (int j = 0; j < 3; ++j)
      for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(x.At(i, j, k), 2.0f * i, 1e-5);
        EXPECT_NEAR(y.At(i, j, k), static_cast<float>(j), 1e-5);
      }

  // The .img name of the pair works as well; the mask selects row y = 2,
  // where every displacement is (2 i, 2, 0).
  WriteWholeFile(dir.File("y.AFF"), Scaling(1, 2, 1));
  const auto masked = RunTool({"ref.img", "-mask", "mask.hdr", "-n", "1", "-t", "y.AFF"}, dir.Path());
  ASSERT_EQ(masked.status, 0) << masked.err;
  EXPECT_EQ(StatisticsLine(masked.out), "2\t2\t0\t2\t2");

  // Without its image file the pair cannot be the reference.
  std::remove(dir.File("ref.img").c_str());
  const auto missing = RunTool({"ref.hdr", "-o", "out2", "-n", "1", "-t", "s.AFF"}, dir.Path());
  EXPECT_EQ(missing.status, 256 - 2);
  EXPECT_EQ(missing.err, "error: couldn't open ref.img for read  (No such file or directory)\n"
                         "error: open reference image ref.hdr\n");
}

TEST(CliGipl, JacobianImageNamedByAGiplPrefix) {
  TempDir dir;
  WriteWholeFile(dir.File("ref.gipl"), Gipl<std::int16_t>(15, kSize, kUnit, kZero, kNoOrigin, Ramp));
  WriteWholeFile(dir.File("s.AFF"), Scaling(2, 1, 1));
  const auto r = RunTool({"ref.gipl", "-o", "jac.gipl", "-n", "1", "-t", "s.AFF", "-jac"}, dir.Path());
  if (r.err.find("is not available in this build") != std::string::npos)
    GTEST_SKIP() << "the -jac action is not built yet: " << r.err;
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string bytes = ReadWholeFile(dir.File("jac.gipl"));
  ASSERT_EQ(bytes.size(), 256u + 24 * 4);
  EXPECT_EQ(static_cast<unsigned char>(bytes[9]), 64);  // float voxels
  const Volume jac = ReadOutput(dir.File("jac.gipl"));
  ASSERT_EQ(jac.voxels.size(), 24u);
  for (float v : jac.voxels) EXPECT_NEAR(v, 2.0f, 1e-5);
}
