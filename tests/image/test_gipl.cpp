// GIPL files: byte layout of what is written, both byte orders on reading,
// header rules, placement round trips, type conversion and refusal of
// malformed files; Analyze pairs reached through the GIPL reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "nuqConsole.h"
#include "nuqGiplIO.h"
#include "nuqImageData.h"
#include "nuqImageIO.h"
#include "nuqImageInfo.h"
#include "nuqTestSupport.h"

namespace {

using nuqtest::ReadWholeFile;
using nuqtest::TempDir;
using nuqtest::WriteWholeFile;

// Puts the low `width` bytes of v at offset, in the given byte order.
void Put(std::string &s, size_t offset, std::uint64_t v, int width, bool bigEndian) {
  for (int i = 0; i < width; ++i) {
    const unsigned char b = static_cast<unsigned char>(v >> (8 * i));
    s[offset + (bigEndian ? width - 1 - i : i)] = static_cast<char>(b);
  }
}
void PutF32(std::string &s, size_t offset, float f, bool bigEndian) {
  std::uint32_t u;
  std::memcpy(&u, &f, 4);
  Put(s, offset, u, 4, bigEndian);
}
void PutF64(std::string &s, size_t offset, double f, bool bigEndian) {
  std::uint64_t u;
  std::memcpy(&u, &f, 8);
  Put(s, offset, u, 8, bigEndian);
}
std::uint64_t GetBE(const std::string &s, size_t offset, int width) {
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i) v = (v << 8) | static_cast<unsigned char>(s[offset + i]);
  return v;
}
float GetF32BE(const std::string &s, size_t offset) {
  const std::uint32_t u = static_cast<std::uint32_t>(GetBE(s, offset, 4));
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}
double GetF64BE(const std::string &s, size_t offset) {
  const std::uint64_t u = GetBE(s, offset, 8);
  double f;
  std::memcpy(&f, &u, 8);
  return f;
}

// Raw voxel bytes of values stored as S in the given byte order.
template <class S>
std::string Raw(const std::vector<S> &values, bool bigEndian) {
  std::string s(values.size() * sizeof(S), '\0');
  for (size_t i = 0; i < values.size(); ++i) {
    std::uint64_t u = 0;
    std::memcpy(&u, &values[i], sizeof(S));
    Put(s, i * sizeof(S), u, sizeof(S), bigEndian);
  }
  return s;
}

// A GIPL file assembled field by field.
struct GiplFixture {
  unsigned size[4] = {2, 2, 1, 1};
  unsigned code = 15;
  float spacing[4] = {1, 1, 1, 1};
  float m[12] = {0};
  unsigned flags = 0;
  double minimum = 0, maximum = 0;
  double origin[4] = {0, 0, 0, 0};
  std::uint32_t tag = 815;
  std::uint32_t magic = 719555000u;
  bool bigEndian = true;
  std::string voxels;

  std::string Bytes() const {
    std::string h(256, '\0');
    for (int d = 0; d < 4; ++d) {
      Put(h, 2 * d, size[d], 2, bigEndian);
      PutF32(h, 10 + 4 * d, spacing[d], bigEndian);
      PutF64(h, 204 + 8 * d, origin[d], bigEndian);
    }
    Put(h, 8, code, 2, bigEndian);
    for (int i = 0; i < 12; ++i) PutF32(h, 106 + 4 * i, m[i], bigEndian);
    Put(h, 186, flags, 2, bigEndian);
    PutF64(h, 188, minimum, bigEndian);
    PutF64(h, 196, maximum, bigEndian);
    Put(h, 244, tag, 4, bigEndian);
    Put(h, 252, magic, 4, bigEndian);
    return h + voxels;
  }
};

std::string Hex(const std::string &s, size_t offset, size_t n) {
  static const char *digits = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char b = static_cast<unsigned char>(s[offset + i]);
    if (i) out += ' ';
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

void ExpectMatrixNear(const nuqImageInfo &a, const nuqImageInfo &b, float tol) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      EXPECT_NEAR(a.m_fImageToWorld[r][c], b.m_fImageToWorld[r][c], tol) << "entry " << r << "," << c;
}

// A float volume of the given grid with a quaternion placement.
void MakeVolume(nuqImageDataT<float> &volume, const int size[4], const float spacing[4], float qb,
                float qc, float qd, float qfac, const float offset[3]) {
  nuqImageInfo placement;
  placement.m_fQuaternB = qb;
  placement.m_fQuaternC = qc;
  placement.m_fQuaternD = qd;
  placement.m_fQuaternQf = qfac;
  for (int i = 0; i < 3; ++i) placement.m_fQuaternOffset[i] = offset[i];
  for (int d = 0; d < 4; ++d) {
    placement.m_iSize[d] = size[d];
    placement.m_fSpacing[d] = spacing[d];
  }
  placement.UpdateOrientation(-2);
  int dimension = size[3] > 1 ? 4 : 3;
  ASSERT_TRUE(volume.NewImage(dimension, size, spacing, &placement));
  const int count = volume.GetNumberOfPixels();
  for (int i = 0; i < count; ++i) volume.SetPixelGreyscaleByIndex(i, 0.25f * static_cast<float>(i) - 3.0f);
}

class GiplTest : public ::testing::Test {
 protected:
  void SetUp() override { g_nVerbose = 1; }
  void TearDown() override { g_nVerbose = 1; }
  TempDir dir;
};

TEST_F(GiplTest, WrittenFileIsBigEndianWithSizesFirstAndMagicLast) {
  nuqImageDataT<float> volume;
  const int size[4] = {3, 258, 2, 1};
  const float spacing[4] = {1.5f, 2, 3, 1};
  const float offset[3] = {0, 0, 0};
  MakeVolume(volume, size, spacing, 0, 0, 0, 1, offset);
  const std::string name = dir.File("w.gipl");
  testing::internal::CaptureStdout();
  ASSERT_TRUE(WriteGiplImage(&volume, 64, name));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "success: image data type GIPL_FLOAT\nsuccess: Save image " + name + "\n");

  const std::string bytes = ReadWholeFile(name);
  ASSERT_EQ(bytes.size(), 256u + 3 * 258 * 2 * 4);
  EXPECT_EQ(Hex(bytes, 0, 8), "00 03 01 02 00 02 00 01");
  EXPECT_EQ(Hex(bytes, 252, 4), "2A E3 89 B8");
  EXPECT_EQ(GetBE(bytes, 8, 2), 64u);
  EXPECT_EQ(GetF32BE(bytes, 10), 1.5f);
  EXPECT_EQ(GetF32BE(bytes, 14), 2.0f);
  EXPECT_EQ(GetF32BE(bytes, 18), 3.0f);
  // A new volume carries flags 0 and header word 815.
  EXPECT_EQ(GetBE(bytes, 186, 2), 0u);
  EXPECT_EQ(GetBE(bytes, 244, 4), 815u);
  // Minimum and maximum of the voxels: -3 and 0.25 * (count - 1) - 3.
  EXPECT_EQ(GetF64BE(bytes, 188), -3.0);
  EXPECT_EQ(GetF64BE(bytes, 196), 0.25 * (3 * 258 * 2 - 1) - 3.0);
  // Voxels follow in x-fastest order, big-endian.
  EXPECT_EQ(GetF32BE(bytes, 256), -3.0f);
  EXPECT_EQ(GetF32BE(bytes, 256 + 4 * 5), 0.25f * 5 - 3.0f);
  EXPECT_EQ(Hex(bytes, 26, 4), "00 00 00 00");  // description left empty
}

TEST_F(GiplTest, BothByteOrdersAreRead) {
  struct Case {
    const char *name;
    bool bigEndian;
    std::uint32_t magic;
    const char *magicBytes;
  };
  const Case cases[] = {
      {"big-endian writer", true, 719555000u, "2A E3 89 B8"},
      {"little-endian writer, read without swapping", false, 719555000u, "B8 89 E3 2A"},
      {"second magic, read with swapping", true, 4026526128u, "EF FF E9 B0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    GiplFixture f;
    f.bigEndian = c.bigEndian;
    f.magic = c.magic;
    f.size[0] = 3;
    f.size[1] = 2;
    f.spacing[0] = 0.5f;
    f.spacing[1] = 2.5f;
    f.flags = 0x1234;
    f.tag = 0xA1B2C3D4u;
    f.voxels = Raw<std::int16_t>({1, -2, 300, -32768, 32767, 7}, c.bigEndian);
    const std::string file = f.Bytes();
    ASSERT_EQ(Hex(file, 252, 4), c.magicBytes);
    const std::string name = dir.File("order.gipl");
    WriteWholeFile(name, file);

    nuqImageDataT<short> volume;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(ReadGiplImage(&volume, name));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "success: open image " + name + " !\n");
    int nx, ny, nz, nt;
    volume.GetImageSize(nx, ny, nz, nt);
    EXPECT_EQ(nx, 3);
    EXPECT_EQ(ny, 2);
    EXPECT_EQ(nz, 1);
    EXPECT_EQ(nt, 1);
    EXPECT_EQ(volume.GetInfo()->m_fSpacing[0], 0.5f);
    EXPECT_EQ(volume.GetInfo()->m_fSpacing[1], 2.5f);
    const short expected[6] = {1, -2, 300, -32768, 32767, 7};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(volume.GetPixelGreyscaleByIndex(i), expected[i]) << i;
    EXPECT_EQ(static_cast<unsigned short>(volume.GetGiplFlags()), 0x1234);
    EXPECT_EQ(static_cast<std::uint32_t>(volume.GetGiplTag()), 0xA1B2C3D4u);
    EXPECT_EQ(volume.GetDataType(), 15);
    EXPECT_EQ(volume.GetInfo()->m_strFileFormat, "gipl");
    EXPECT_EQ(volume.GetInfo()->m_strFileName, name);
  }
}

TEST_F(GiplTest, HeaderSizeAndSpacingRules) {
  struct Case {
    const char *name;
    unsigned size[4];
    float spacing[4];
    int dimension;
    int expectedSize[4];
    float expectedSpacing[3];
  };
  const Case cases[] = {
      {"single slice is 3-D with nz 1", {64, 64, 1, 1}, {1, 1, 2, 1}, 3, {64, 64, 1, 1}, {1, 1, 2}},
      {"t size 0 reads as 1", {4, 3, 2, 0}, {1, 1, 1, 1}, 3, {4, 3, 2, 1}, {1, 1, 1}},
      {"all sizes 0 read as 1", {0, 0, 0, 0}, {1, 1, 1, 1}, 3, {1, 1, 1, 1}, {1, 1, 1}},
      {"spacing -1 and 0 read as 1", {4, 3, 2, 1}, {-1, 0, 2, 1}, 3, {4, 3, 2, 1}, {1, 1, 2}},
      {"time frames give 4-D", {2, 2, 2, 3}, {1, 1, 1, 0.5f}, 4, {2, 2, 2, 3}, {1, 1, 1}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    GiplFixture f;
    std::memcpy(f.size, c.size, sizeof(f.size));
    std::memcpy(f.spacing, c.spacing, sizeof(f.spacing));
    f.code = 8;
    const int count = std::max(1u, c.size[0]) * std::max(1u, c.size[1]) * std::max(1u, c.size[2]) *
                      std::max(1u, c.size[3]);
    f.voxels.assign(count, '\x05');
    const std::string name = dir.File("rules.gipl");
    WriteWholeFile(name, f.Bytes());

    nuqImageInfo info;
    ASSERT_TRUE(ReadGiplHeader<short>(&info, name, false));
    EXPECT_EQ(info.m_iDimension, c.dimension);
    for (int d = 0; d < 4; ++d) EXPECT_EQ(info.m_iSize[d], c.expectedSize[d]) << d;
    for (int d = 0; d < 3; ++d) EXPECT_EQ(info.m_fSpacing[d], c.expectedSpacing[d]) << d;
    EXPECT_EQ(info.m_usDataType, 8);
    EXPECT_EQ(info.m_iByteOfDataType, 2);  // the short reader's width

    nuqImageDataT<short> volume;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(ReadGiplImage(&volume, name));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(volume.GetDimension(), c.dimension);
    EXPECT_EQ(volume.GetNumberOfPixels(), count);
    EXPECT_EQ(volume.GetPixelGreyscaleByIndex(count - 1), 5);
  }
  // 4-D files also take the time spacing.
  GiplFixture f;
  f.size[0] = f.size[1] = f.size[2] = 1;
  f.size[3] = 3;
  f.spacing[3] = 0.5f;
  f.origin[3] = 7;
  f.voxels = Raw<std::int16_t>({1, 2, 3}, true);
  WriteWholeFile(dir.File("t.gipl"), f.Bytes());
  nuqImageInfo info;
  ASSERT_TRUE(ReadGiplHeader<float>(&info, dir.File("t.gipl"), false));
  EXPECT_EQ(info.m_fSpacing[3], 0.5f);
  EXPECT_EQ(info.m_fOrigin[3], 7.0f);
  EXPECT_EQ(info.m_iByteOfDataType, 4);
}

TEST_F(GiplTest, PlacementsComeBackThroughTheirRule) {
  struct Case {
    const char *name;
    int size[4];
    float spacing[4];
    float qb, qc, qd, qfac;
    float offset[3];
    int method;         // orientation method after reading
    bool directions;    // file holds rule 2 (m8..m10 zero)
  };
  const Case cases[] = {
      {"right-handed oblique", {5, 4, 3, 1}, {2, 1.5f, 3, 1}, 0.1f, -0.2f, 0.3f, 1, {-10, 20, 5}, 2, true},
      {"right-handed single slice off z 0", {4, 3, 1, 1}, {1, 2, 4, 1}, 0.0f, 0.0f, 0.2f, 1, {3, -4, 17}, 2,
       true},
      {"left-handed oblique", {5, 4, 3, 1}, {2, 1.5f, 3, 1}, 0.1f, -0.2f, 0.3f, -1, {-10, 20, 5}, 3, false},
      {"left-handed axis-aligned", {6, 6, 6, 1}, {1, 1, 1, 1}, 0, 0, 0, -1, {0, 0, 0}, 3, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    nuqImageDataT<float> volume;
    MakeVolume(volume, c.size, c.spacing, c.qb, c.qc, c.qd, c.qfac, c.offset);
    const std::string name = dir.File("place.gipl");
    testing::internal::CaptureStdout();
    ASSERT_TRUE(WriteGiplImage(&volume, 64, name));
    testing::internal::GetCapturedStdout();
    const std::string bytes = ReadWholeFile(name);
    const bool thirdRowZero = GetBE(bytes, 138, 12) == 0;
    EXPECT_EQ(thirdRowZero, c.directions);

    nuqImageDataT<float> back;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(ReadGiplImage(&back, name));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(back.GetInfo()->m_iOrientationMethod, c.method);
    ExpectMatrixNear(*back.GetInfo(), *volume.GetInfo(), 1e-4f);
    // The corner voxel lands on the same world point.
    float p[4] = {static_cast<float>(c.size[0] - 1), static_cast<float>(c.size[1] - 1),
                  static_cast<float>(c.size[2] - 1), 0};
    float q[4] = {p[0], p[1], p[2], 0};
    volume.GridToWorld(p);
    back.GridToWorld(q);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(p[i], q[i], 1e-3f);
    for (int i = 0; i < volume.GetNumberOfPixels(); i += 7)
      EXPECT_EQ(back.GetPixelGreyscaleByIndex(i), volume.GetPixelGreyscaleByIndex(i));
  }
}

TEST_F(GiplTest, ShearedRightHandedPlacementIsWrittenAsFullMatrix) {
  nuqImageDataT<float> volume;
  const int size[4] = {4, 4, 4, 1};
  const float spacing[4] = {1, 1, 1, 1};
  const float offset[3] = {0, 0, 0};
  MakeVolume(volume, size, spacing, 0, 0, 0, 1, offset);
  nuqImageInfo sheared;
  volume.GetImageInfo(&sheared);
  // x also moves with z: the z column is not the cross product of x and y.
  sheared.m_fImageToWorld[0][2] = 0.5f;
  sheared.m_fImageToWorld[2][3] = 9.0f;
  sheared.UpdateOrientation(3);
  volume.SetImageInfo(&sheared);
  const std::string name = dir.File("shear.gipl");
  testing::internal::CaptureStdout();
  ASSERT_TRUE(WriteGiplImage(&volume, 64, name));
  nuqImageDataT<float> back;
  ASSERT_TRUE(ReadGiplImage(&back, name));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(back.GetInfo()->m_iOrientationMethod, 3);
  ExpectMatrixNear(*back.GetInfo(), sheared, 1e-5f);
}

TEST_F(GiplTest, MatrixRulesOfHandMadeHeaders) {
  // Rule 1: no directions, index 0 at world 0 with the spacing.
  GiplFixture f;
  f.size[0] = 3;
  f.size[1] = 3;
  f.size[2] = 3;
  f.spacing[0] = 2;
  f.spacing[1] = 3;
  f.spacing[2] = 4;
  f.origin[0] = 100;  // ignored without directions
  f.voxels = Raw<std::int16_t>(std::vector<std::int16_t>(27, 1), true);
  WriteWholeFile(dir.File("r1.gipl"), f.Bytes());
  nuqImageInfo info;
  ASSERT_TRUE(ReadGiplHeader<short>(&info, dir.File("r1.gipl"), false));
  EXPECT_EQ(info.m_iOrientationMethod, 1);
  float p[4] = {1, 1, 1, 0};
  info.GridToWorld(p);
  EXPECT_NEAR(p[0], 2, 1e-6);
  EXPECT_NEAR(p[1], 3, 1e-6);
  EXPECT_NEAR(p[2], 4, 1e-6);

  // Rule 2: x axis along world y, y axis along world -x; the grid centre at
  // the origin of the header.
  f.m[1] = 1;
  f.m[4] = -1;
  f.origin[0] = 10;
  f.origin[1] = 20;
  f.origin[2] = 30;
  WriteWholeFile(dir.File("r2.gipl"), f.Bytes());
  nuqImageInfo info2;
  ASSERT_TRUE(ReadGiplHeader<short>(&info2, dir.File("r2.gipl"), false));
  EXPECT_EQ(info2.m_iOrientationMethod, 2);
  float c[4] = {1, 1, 1, 0};
  info2.GridToWorld(c);
  EXPECT_NEAR(c[0], 10, 1e-5);
  EXPECT_NEAR(c[1], 20, 1e-5);
  EXPECT_NEAR(c[2], 30, 1e-5);
  float x[4] = {2, 1, 1, 0};  // one voxel along x: +2 mm along world y
  info2.GridToWorld(x);
  EXPECT_NEAR(x[0], 10, 1e-5);
  EXPECT_NEAR(x[1], 22, 1e-5);
  EXPECT_NEAR(x[2], 30, 1e-5);
  float z[4] = {1, 1, 2, 0};  // z is the cross product (0,1,0) x (-1,0,0) = (0,0,1)
  info2.GridToWorld(z);
  EXPECT_NEAR(z[2], 34, 1e-5);

  // Rule 3: the twelve values are the matrix rows.
  const float rows[12] = {0, 0, -2, 5, 0, 3, 0, 6, 4, 0, 0, 7};
  std::memcpy(f.m, rows, sizeof(rows));
  WriteWholeFile(dir.File("r3.gipl"), f.Bytes());
  nuqImageInfo info3;
  ASSERT_TRUE(ReadGiplHeader<short>(&info3, dir.File("r3.gipl"), false));
  EXPECT_EQ(info3.m_iOrientationMethod, 3);
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 4; ++k) EXPECT_EQ(info3.m_fImageToWorld[r][k], rows[4 * r + k]);
}

TEST_F(GiplTest, FlagsAndHeaderWordSurviveReadAndWrite) {
  GiplFixture f;
  f.code = 64;
  f.flags = 0xBEEF;
  f.tag = 123456789u;
  f.voxels = Raw<float>({1.5f, -2.25f, 8, 0}, true);
  WriteWholeFile(dir.File("in.gipl"), f.Bytes());
  nuqImageDataT<float> volume;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(ReadGiplImage(&volume, dir.File("in.gipl")));
  ASSERT_TRUE(WriteGiplImage(&volume, volume.GetDataType(), dir.File("out.gipl")));
  testing::internal::GetCapturedStdout();
  const std::string bytes = ReadWholeFile(dir.File("out.gipl"));
  EXPECT_EQ(GetBE(bytes, 186, 2), 0xBEEFu);
  EXPECT_EQ(GetBE(bytes, 244, 4), 123456789u);
  EXPECT_EQ(GetF64BE(bytes, 188), -2.25);
  EXPECT_EQ(GetF64BE(bytes, 196), 8.0);
  // The voxels are the same bytes as in the input.
  EXPECT_EQ(bytes.substr(256), f.voxels);
}

TEST_F(GiplTest, OtherVoxelTypesAreConvertedOnReading) {
  struct Case {
    const char *name;
    unsigned code;
    std::string voxels;  // four values
    short asShort[4];
    float asFloat[4];
  };
  const Case cases[] = {
      {"float", 64, Raw<float>({2.5f, -2.5f, 1e6f, -0.4f}, true), {3, -3, 32767, 0}, {2.5f, -2.5f, 1e6f, -0.4f}},
      {"double", 65, Raw<double>({-1e9, 0.49, 40000.5, 7}, true), {-32768, 0, 32767, 7}, {-1e9f, 0.49f, 40000.5f, 7}},
      {"unsigned short", 16, Raw<std::uint16_t>({65535, 32768, 32767, 1}, true), {32767, 32767, 32767, 1},
       {65535, 32768, 32767, 1}},
      {"unsigned char", 8, Raw<std::uint8_t>({255, 0, 128, 9}, true), {255, 0, 128, 9}, {255, 0, 128, 9}},
      {"char", 7, Raw<std::int8_t>({-128, 127, -1, 0}, true), {-128, 127, -1, 0}, {-128, 127, -1, 0}},
      {"int", 32, Raw<std::int32_t>({-70000, 70000, -5, 16777217}, true), {-32768, 32767, -5, 32767},
       {-70000, 70000, -5, 16777216}},
      {"unsigned int", 31, Raw<std::uint32_t>({4294967295u, 0, 12, 40000}, true), {32767, 0, 12, 32767},
       {4294967296.0f, 0, 12, 40000}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    GiplFixture f;
    f.code = c.code;
    f.voxels = c.voxels;
    const std::string name = dir.File("conv.gipl");
    WriteWholeFile(name, f.Bytes());
    nuqImageDataT<short> s;
    nuqImageDataT<float> fl;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(ReadGiplImage(&s, name));
    ASSERT_TRUE(ReadGiplImage(&fl, name));
    testing::internal::GetCapturedStdout();
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(s.GetPixelGreyscaleByIndex(i), c.asShort[i]) << i;
      EXPECT_EQ(fl.GetPixelGreyscaleByIndex(i), c.asFloat[i]) << i;
    }
    // The file's own type stays recorded.
    EXPECT_EQ(s.GetDataType(), static_cast<short>(c.code));
    EXPECT_EQ(fl.GetDataType(), static_cast<short>(c.code));
  }
}

TEST_F(GiplTest, WritingConvertsIntoTheTypeAskedFor) {
  nuqImageDataT<float> volume;
  const int size[4] = {4, 1, 1, 1};
  const float spacing[4] = {1, 1, 1, 1};
  const float offset[3] = {0, 0, 0};
  MakeVolume(volume, size, spacing, 0, 0, 0, 1, offset);
  const float values[4] = {2.5f, -1.0f, 70000.0f, 12.5f};
  for (int i = 0; i < 4; ++i) volume.SetPixelGreyscaleByIndex(i, values[i]);
  struct Case {
    int code;
    const char *typeLine;
    std::string expected;
  };
  const Case cases[] = {
      {16, "success: image data type GIPL_U_SHORT\n", Raw<std::uint16_t>({3, 0, 65535, 13}, true)},
      {15, "success: image data type GIPL_SHORT\n", Raw<std::int16_t>({3, -1, 32767, 13}, true)},
      {32, "success: image data type GIPL_INT\n", Raw<std::int32_t>({3, -1, 70000, 13}, true)},
      {8, "success: image data type GIPL_U_CHAR\n", Raw<std::uint8_t>({3, 0, 255, 13}, true)},
      {65, "success: image data type GIPL_DOUBLE (long double 64bits)\n",
       Raw<double>({2.5, -1.0, 70000.0, 12.5}, true)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.code);
    const std::string name = dir.File("typed.gipl");
    testing::internal::CaptureStdout();
    ASSERT_TRUE(WriteGiplImage(&volume, c.code, name));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(c.typeLine) + "success: Save image " + name + "\n");
    const std::string bytes = ReadWholeFile(name);
    EXPECT_EQ(GetBE(bytes, 8, 2), static_cast<std::uint64_t>(c.code));
    EXPECT_EQ(bytes.substr(256), c.expected);
    // Read back, the values agree with what the file holds.
    nuqImageDataT<float> back;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(ReadGiplImage(&back, name));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(back.GetDataType(), c.code);
  }
  // Slope and intercept of the header: stored values are (v - b) / s.
  nuqImageInfo scaled;
  volume.GetImageInfo(&scaled);
  scaled.m_fSlope = 2;
  scaled.m_fIntercept = 1;
  volume.SetImageInfo(&scaled);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(WriteGiplImage(&volume, 64, dir.File("scaled.gipl")));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadWholeFile(dir.File("scaled.gipl")).substr(256),
            Raw<float>({0.75f, -1.0f, 34999.5f, 5.75f}, true));
}

TEST_F(GiplTest, WriterRefusesCodesItCannotName) {
  nuqImageDataT<float> volume;
  const int size[4] = {2, 2, 1, 1};
  const float spacing[4] = {1, 1, 1, 1};
  const float offset[3] = {0, 0, 0};
  MakeVolume(volume, size, spacing, 0, 0, 0, 1, offset);
  struct Case {
    int code;
    const char *err;
  };
  const Case cases[] = {
      {0, "set idatatype before save image\n"},
      {66, "set idatatype before save image\n"},
      {1, "Error: unrecognized image data type\n"},
      {20, "Error: unrecognized image data type\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.code);
    const std::string name = dir.File("bad.gipl");
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(WriteGiplImage(&volume, c.code, name));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_FALSE(nuqtest::FileExists(name));
  }
  // A folder that does not exist.
  const std::string name = dir.File("no/such/folder.gipl");
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  EXPECT_FALSE(WriteGiplImage(&volume, 64, name));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: Open File " + name + " as gipl file name Failed!\n");
  // A volume without voxels has nothing to write.
  nuqImageDataT<float> empty;
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  EXPECT_FALSE(WriteGiplImage(&empty, 64, dir.File("empty.gipl")));
  testing::internal::GetCapturedStdout();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("error: "), std::string::npos);
  EXPECT_FALSE(nuqtest::FileExists(dir.File("empty.gipl")));
}

TEST_F(GiplTest, MalformedFilesAreRefusedAndLeaveTheVolumeEmpty) {
  const std::string name = dir.File("bad.gipl");
  GiplFixture good;
  good.voxels = Raw<std::int16_t>({1, 2, 3, 4}, true);
  struct Case {
    const char *title;
    std::string bytes;
    std::string err;
    bool headerRead;  // a failure after the header empties the volume
  };
  GiplFixture unknown = good;
  unknown.code = 99;
  GiplFixture huge = good;  // 10^9 voxels claimed, a few bytes present
  huge.size[0] = huge.size[1] = huge.size[2] = 1000;
  GiplFixture overflow = good;  // 65535^4 does not fit a voxel count
  overflow.size[0] = overflow.size[1] = overflow.size[2] = overflow.size[3] = 65535;
  GiplFixture badMagic = good;
  badMagic.magic = 0x01020304u;
  const std::string truncatedMsg =
      "error: Open Image:" + name + " Failed because the image raw data size inconsistent with Header! (truncated: ";
  const Case cases[] = {
      {"data one byte short", good.Bytes().substr(0, 256 + 7), truncatedMsg + "7 of 8 voxel bytes)\n", true},
      {"header only", good.Bytes().substr(0, 256), truncatedMsg + "0 of 8 voxel bytes)\n", true},
      {"huge sizes", huge.Bytes(), truncatedMsg + "8 of 2000000000 voxel bytes)\n", true},
      {"overflowing sizes", overflow.Bytes(),
       "error: Open Image:" + name + " failed because the sizes in its header overflow the voxel count!\n", true},
      {"unknown type code", unknown.Bytes(),
       "error: Open Image:" + name + " failed because unrecoginised data type !\n", true},
      {"wrong magic", badMagic.Bytes(),
       "error: Open Image:" + name + " Failed due to wrong header -- magic 67305985\n", false},
      {"shorter than a header", good.Bytes().substr(0, 100),
       "error: Open Image:" + name +
           " Failed because the file is shorter than its 256-byte header! (truncated: 100 bytes)\n",
       false},
      {"empty file", std::string(),
       "error: Open Image:" + name +
           " Failed because the file is shorter than its 256-byte header! (truncated: 0 bytes)\n",
       false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.title);
    WriteWholeFile(name, c.bytes);
    for (int pass = 0; pass < 2; ++pass) {
      nuqImageDataT<short> volume;
      if (pass == 1) {  // a volume that held voxels before
        const int size[4] = {2, 2, 2, 1};
        const float spacing[4] = {1, 1, 1, 1};
        nuqImageInfo placement;
        ASSERT_TRUE(volume.NewImage(3, size, spacing, &placement));
      }
      testing::internal::CaptureStderr();
      testing::internal::CaptureStdout();
      EXPECT_FALSE(ReadGiplImage(&volume, name));
      EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
      EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
      EXPECT_EQ(volume.IsEmpty(), c.headerRead || pass == 0);
    }
  }
  // Missing file.
  nuqImageDataT<float> volume;
  const std::string missing = dir.File("missing.gipl");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ReadGiplImage(&volume, missing));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: open file " + missing + " failed! (No such file or directory)\n");
  nuqImageInfo info;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ReadGiplHeader<float>(&info, missing, false));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: open file " + missing + " failed! (No such file or directory)\n");
  // A folder opens as a stream, but it is not a file.
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ReadGiplImage(&volume, dir.Path() + "/"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: open file " + dir.Path() + "/ failed! (Is a directory)\n");
}

TEST_F(GiplTest, HeaderReportAtVerbosityOne) {
  GiplFixture f;
  f.code = 65;
  f.voxels = Raw<double>({1, 2, 3, 4}, true);
  const std::string name = dir.File("report.gipl");
  WriteWholeFile(name, f.Bytes());
  nuqImageInfo info;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(ReadGiplHeader<float>(&info, name, true));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "success: image data type GIPL_DOUBLE (long double 64bits) \n" + info.GetInfoText() +
                     "success: check header over !\n");
  // Silent at verbosity 0; refused for an unknown code when reporting.
  g_nVerbose = 0;
  f.code = 3;
  WriteWholeFile(name, f.Bytes());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ReadGiplHeader<float>(&info, name, true));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: unrecognized data type !\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(ReadGiplHeader<float>(&info, name, false));
  EXPECT_EQ(info.m_usDataType, 3);
}

// Big-endian Analyze 7.5 pair of int16 voxels, rows given top to bottom.
void WriteAnalyzePair(const TempDir &dir, const std::string &base, int nx, int ny, int nz,
                      const std::vector<std::int16_t> &voxels, float sx, float sy, float sz) {
  std::string h(348, '\0');
  Put(h, 0, 348, 4, true);
  Put(h, 40, 4, 2, true);
  Put(h, 42, nx, 2, true);
  Put(h, 44, ny, 2, true);
  Put(h, 46, nz, 2, true);
  Put(h, 48, 1, 2, true);
  Put(h, 70, 4, 2, true);   // datatype: signed 16-bit
  Put(h, 72, 16, 2, true);  // bits per voxel
  PutF32(h, 80, sx, true);
  PutF32(h, 84, sy, true);
  PutF32(h, 88, sz, true);
  PutF32(h, 92, 1, true);
  WriteWholeFile(dir.File(base + ".hdr"), h);
  WriteWholeFile(dir.File(base + ".img"), Raw<std::int16_t>(voxels, true));
}

TEST_F(GiplTest, AnalyzePairsThroughTheGiplReader) {
  WriteAnalyzePair(dir, "pair", 3, 2, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 2, 3, 4);
  for (const char *ext : {".hdr", ".img"}) {
    SCOPED_TRACE(ext);
    const std::string name = dir.File(std::string("pair") + ext);
    nuqImageDataT<short> volume;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(ReadGiplImage(&volume, name));
    testing::internal::GetCapturedStdout();
    int nx, ny, nz, nt;
    volume.GetImageSize(nx, ny, nz, nt);
    EXPECT_EQ(nx, 3);
    EXPECT_EQ(ny, 2);
    EXPECT_EQ(nz, 2);
    EXPECT_EQ(volume.GetDimension(), 3);
    // Rows y and ny - 1 - y exchanged in every slice.
    const short expected[12] = {4, 5, 6, 1, 2, 3, 10, 11, 12, 7, 8, 9};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(volume.GetPixelGreyscaleByIndex(i), expected[i]) << i;
    EXPECT_EQ(volume.GetInfo()->m_strFileFormat, "hdr");
    EXPECT_EQ(volume.GetDataType(), 15);
    // Axis-aligned with index 0 at world 0.
    float p[4] = {1, 1, 1, 0};
    volume.GridToWorld(p);
    EXPECT_NEAR(p[0], 2, 1e-6);
    EXPECT_NEAR(p[1], 3, 1e-6);
    EXPECT_NEAR(p[2], 4, 1e-6);

    nuqImageInfo info;
    ASSERT_TRUE(ReadGiplHeader<short>(&info, name, false));
    EXPECT_EQ(info.m_iSize[0], 3);
    EXPECT_EQ(info.m_iSize[1], 2);
    EXPECT_EQ(info.m_iSize[2], 2);
    EXPECT_EQ(info.m_fSpacing[2], 4.0f);
    EXPECT_EQ(info.m_strFileFormat, "hdr");
    EXPECT_EQ(info.m_usDataType, 15);
    EXPECT_EQ(info.m_iByteOfDataType, 2);
    nuqImageInfo asFloat;  // the reader's width, not the file's
    ASSERT_TRUE(ReadGiplHeader<float>(&asFloat, name, false));
    EXPECT_EQ(asFloat.m_iByteOfDataType, 4);
    EXPECT_EQ(asFloat.m_usDataType, 15);
  }
  // A pair whose image file is missing is refused.
  WriteAnalyzePair(dir, "lonely", 2, 2, 1, {1, 2, 3, 4}, 1, 1, 1);
  std::remove(dir.File("lonely.img").c_str());
  nuqImageDataT<short> volume;
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  EXPECT_FALSE(ReadGiplImage(&volume, dir.File("lonely.hdr")));
  testing::internal::GetCapturedStdout();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("error: "), std::string::npos);
}

}  // namespace

namespace {

TEST(GiplDispatch, ImageFilesByExtensionReachTheGiplReaderAndWriter) {
  TempDir dir;
  nuqImageDataT<float> volume;
  const int size[4] = {3, 2, 2, 1};
  const float spacing[4] = {1, 2, 3, 1};
  const float offset[3] = {1, 2, 3};
  MakeVolume(volume, size, spacing, 0, 0.1f, 0, 1, offset);
  testing::internal::CaptureStdout();
  // Saving lower-cases the extension and keeps the name.
  ASSERT_TRUE(SaveImageFile(&volume, dir.File("up.GIPL")));
  EXPECT_EQ(GetBE(ReadWholeFile(dir.File("up.GIPL")), 252, 4), 719555000u);
  nuqImageDataT<float> back;
  // Reading compares case-sensitively: "GIPL" is not a known extension.
  EXPECT_FALSE(ReadImageFile(&back, dir.File("up.GIPL")));
  ASSERT_TRUE(SaveImageFile(&volume, dir.File("low.gipl")));
  ASSERT_TRUE(ReadImageFile(&back, dir.File("low.gipl")));
  testing::internal::GetCapturedStdout();
  ExpectMatrixNear(*back.GetInfo(), *volume.GetInfo(), 1e-4f);
  EXPECT_EQ(back.GetDataType(), 64);
  for (int i = 0; i < volume.GetNumberOfPixels(); ++i)
    EXPECT_EQ(back.GetPixelGreyscaleByIndex(i), volume.GetPixelGreyscaleByIndex(i));

  WriteAnalyzePair(dir, "pair", 2, 2, 1, {1, 2, 3, 4}, 1, 1, 1);
  for (const char *name : {"pair.hdr", "pair.img"}) {
    SCOPED_TRACE(name);
    nuqImageDataT<short> analyze;
    ASSERT_TRUE(ReadImageFile(&analyze, dir.File(name)));
    EXPECT_EQ(analyze.GetPixelGreyscaleByIndex(0), 3);
    EXPECT_EQ(analyze.GetPixelGreyscaleByIndex(3), 2);
  }
}

}  // namespace
