// NIfTI-1 reading and writing. Fixture files are built byte by byte here
// (header struct, optional byte swap, optional gzip), so the reader is not
// only checked against files from the writer it shares a library with.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <nifti1_io.h>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "nuqConsole.h"
#include "nuqImageData.h"
#include "nuqImageIO.h"
#include "nuqTestSupport.h"

namespace {

// Everything a fixture file needs; voxel bytes are given in host order.
struct NiftiFixture {
  int ndim = 3;
  int dims[7] = {4, 3, 2, 1, 1, 1, 1};
  float pixdim[7] = {1, 1, 1, 1, 0, 0, 0};
  short datatype = DT_INT16;
  short qform = 0, sform = 0;
  float qb = 0, qc = 0, qd = 0, qx = 0, qy = 0, qz = 0, qfac = 1;
  float srow[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
  float slope = 0, inter = 0;
  bool bigEndian = false;
  bool gzip = false;
  std::string data;
  size_t truncateTo = std::string::npos;  // cut the file after this many bytes
};

template <class S>
std::string Bytes(const std::vector<S> &values) {
  return std::string(reinterpret_cast<const char *>(values.data()), values.size() * sizeof(S));
}

std::string FileBytes(const NiftiFixture &f) {
  nifti_1_header h;
  std::memset(&h, 0, sizeof(h));
  h.sizeof_hdr = 348;
  h.dim[0] = static_cast<short>(f.ndim);
  for (int i = 0; i < 7; ++i) h.dim[i + 1] = static_cast<short>(f.dims[i]);
  h.pixdim[0] = f.qfac;
  for (int i = 0; i < 7; ++i) h.pixdim[i + 1] = f.pixdim[i];
  h.datatype = f.datatype;
  int nbyper = 0, swapsize = 0;
  nifti_datatype_sizes(f.datatype, &nbyper, &swapsize);
  h.bitpix = static_cast<short>(8 * nbyper);
  h.vox_offset = 352;
  h.scl_slope = f.slope;
  h.scl_inter = f.inter;
  h.qform_code = f.qform;
  h.sform_code = f.sform;
  h.quatern_b = f.qb;
  h.quatern_c = f.qc;
  h.quatern_d = f.qd;
  h.qoffset_x = f.qx;
  h.qoffset_y = f.qy;
  h.qoffset_z = f.qz;
  std::memcpy(h.srow_x, f.srow[0], sizeof(h.srow_x));
  std::memcpy(h.srow_y, f.srow[1], sizeof(h.srow_y));
  std::memcpy(h.srow_z, f.srow[2], sizeof(h.srow_z));
  h.xyzt_units = 2 | 8;
  std::memcpy(h.magic, "n+1\0", 4);
  std::string data = f.data;
  if (f.bigEndian) {
    swap_nifti_header(&h, 1);
    if (swapsize > 1)
      for (size_t i = 0; i + swapsize <= data.size(); i += swapsize)
        std::reverse(data.begin() + i, data.begin() + i + swapsize);
  }
  std::string bytes(reinterpret_cast<const char *>(&h), sizeof(h));
  bytes += std::string(4, '\0');
  bytes += data;
  if (f.truncateTo < bytes.size()) bytes.resize(f.truncateTo);
  return bytes;
}

void WriteFixture(const std::string &path, const NiftiFixture &f) {
  const std::string bytes = FileBytes(f);
  if (!f.gzip) {
    nuqtest::WriteWholeFile(path, bytes);
    return;
  }
  gzFile gz = gzopen(path.c_str(), "wb");
  ASSERT_NE(gz, nullptr);
  ASSERT_EQ(gzwrite(gz, bytes.data(), static_cast<unsigned>(bytes.size())), static_cast<int>(bytes.size()));
  ASSERT_EQ(gzclose(gz), Z_OK);
}

std::vector<int16_t> Ramp16(int n) {
  std::vector<int16_t> v(n);
  for (int i = 0; i < n; ++i) v[i] = static_cast<int16_t>(i * 7 - 50);
  return v;
}

std::vector<float> World(const nuqImageInfo *info, float x, float y, float z) {
  float p[4] = {x, y, z, 0};
  info->GridToWorld(p);
  return {p[0], p[1], p[2]};
}

// Runs f with standard error captured and returns what it printed.
std::string CaptureErr(const std::function<void()> &f) {
  testing::internal::CaptureStderr();
  f();
  return testing::internal::GetCapturedStderr();
}

class NiftiTest : public testing::Test {
 protected:
  void SetUp() override {
    m_nSavedVerbose = g_nVerbose;
    g_nVerbose = 0;
  }
  void TearDown() override { g_nVerbose = m_nSavedVerbose; }
  nuqtest::TempDir m_Dir;
  int m_nSavedVerbose = 1;
};

// A 90 degree turn about z (x -> y, y -> -x), spacing (2, 3, 4), index 0 at
// (10, 20, 30): expected world points derived by hand.
NiftiFixture TurnedQform() {
  NiftiFixture f;
  f.pixdim[0] = 2;
  f.pixdim[1] = 3;
  f.pixdim[2] = 4;
  f.qform = 1;
  f.qd = std::sqrt(0.5f);
  f.qx = 10;
  f.qy = 20;
  f.qz = 30;
  f.data = Bytes(Ramp16(24));
  return f;
}

}  // namespace

TEST_F(NiftiTest, ReadsLayoutAndPlacementOfEachKindOfFile) {
  struct Case {
    const char *name;
    std::function<void(NiftiFixture &)> edit;
    int dimension;
    int size[4];
    int method;
    // grid point and its expected world point
    float grid[3], world[3];
  };
  const std::vector<Case> cases = {
      {"qform.nii", [](NiftiFixture &) {}, 3, {4, 3, 2, 1}, -2, {1, 0, 0}, {10, 22, 30}},
      {"qform_y.nii", [](NiftiFixture &) {}, 3, {4, 3, 2, 1}, -2, {0, 1, 0}, {7, 20, 30}},
      {"qform_big.nii", [](NiftiFixture &f) { f.bigEndian = true; }, 3, {4, 3, 2, 1}, -2,
       {1, 1, 1}, {7, 22, 34}},
      {"qform.nii.gz", [](NiftiFixture &f) { f.gzip = true; }, 3, {4, 3, 2, 1}, -2, {1, 1, 1},
       {7, 22, 34}},
      {"qform_big.nii.gz", [](NiftiFixture &f) { f.gzip = f.bigEndian = true; }, 3, {4, 3, 2, 1},
       -2, {1, 1, 1}, {7, 22, 34}},
      {"qfac.nii", [](NiftiFixture &f) { f.qfac = -1; }, 3, {4, 3, 2, 1}, -2, {0, 0, 1},
       {10, 20, 26}},
      {"sform.nii",
       [](NiftiFixture &f) {
         f.qform = 0;
         f.sform = 1;
         const float s[3][4] = {{0, -3, 0, 5}, {2, 0, 0, 6}, {0, 0, 4, 7}};
         std::memcpy(f.srow, s, sizeof(s));
       },
       3, {4, 3, 2, 1}, 3, {1, 1, 1}, {2, 8, 11}},
      {"sform_under_qform.nii",  // qform wins when both are set
       [](NiftiFixture &f) {
         f.sform = 1;
         const float s[3][4] = {{0, -3, 0, 5}, {2, 0, 0, 6}, {0, 0, 4, 7}};
         std::memcpy(f.srow, s, sizeof(s));
       },
       3, {4, 3, 2, 1}, -2, {1, 0, 0}, {10, 22, 30}},
      {"four_d.nii",
       [](NiftiFixture &f) {
         f.ndim = 4;
         f.dims[0] = 2, f.dims[1] = 2, f.dims[2] = 2, f.dims[3] = 3;
       },
       4, {2, 2, 2, 3}, -2, {0, 0, 0}, {10, 20, 30}},
      {"five_d.nii",
       [](NiftiFixture &f) {
         f.ndim = 5;
         f.dims[0] = 2, f.dims[1] = 1, f.dims[2] = 2, f.dims[3] = 3, f.dims[4] = 2;
       },
       4, {2, 1, 2, 6}, -2, {0, 0, 0}, {10, 20, 30}},
      {"four_d_single_t.nii",
       [](NiftiFixture &f) {
         f.ndim = 4;
         f.dims[3] = 1;
       },
       3, {4, 3, 2, 1}, -2, {0, 0, 0}, {10, 20, 30}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    NiftiFixture f = TurnedQform();
    c.edit(f);
    const std::string path = m_Dir.File(c.name);
    WriteFixture(path, f);
    nuqImageDataT<short> volume;
    ASSERT_TRUE(ReadNiftiImage(&volume, path));
    const nuqImageInfo *info = volume.GetInfo();
    EXPECT_EQ(info->m_iDimension, c.dimension);
    for (int d = 0; d < 4; ++d) EXPECT_EQ(info->m_iSize[d], c.size[d]) << "dimension " << d;
    EXPECT_EQ(info->m_iOrientationMethod, c.method);
    EXPECT_EQ(info->m_strFileFormat, "nii");
    EXPECT_EQ(info->m_usDataType, 15);
    EXPECT_FLOAT_EQ(info->m_fSpacing[0], 2);
    EXPECT_FLOAT_EQ(info->m_fSpacing[2], 4);
    const std::vector<float> w = World(info, c.grid[0], c.grid[1], c.grid[2]);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(w[i], c.world[i], 1e-4) << "axis " << i;
    // Voxels in file order, whatever the byte order, packing or dimension.
    const std::vector<int16_t> ramp = Ramp16(24);
    ASSERT_EQ(volume.GetNumberOfPixels(), 24);
    for (int i = 0; i < 24; ++i) ASSERT_EQ(volume.GetPixelGreyscaleByIndex(i), ramp[i]) << i;
  }
}

TEST_F(NiftiTest, FiveDimensionalVoxelsFoldIntoTime) {
  NiftiFixture f = TurnedQform();
  f.ndim = 5;
  f.dims[0] = 2, f.dims[1] = 2, f.dims[2] = 1, f.dims[3] = 3, f.dims[4] = 2;
  const std::string path = m_Dir.File("fold.nii");
  WriteFixture(path, f);
  nuqImageDataT<short> volume;
  ASSERT_TRUE(ReadNiftiImage(&volume, path));
  // Voxel (x, y, 0, t) with t = t4 + 3 * t5 is file index x + 2y + 4t.
  EXPECT_EQ(volume.GetPixelGreyscale(1, 0, 0, 4), Ramp16(24)[1 + 16]);
  EXPECT_EQ(volume.GetPixelGreyscale(0, 1, 0, 5), Ramp16(24)[2 + 20]);
}

TEST_F(NiftiTest, DefaultPlacementAndSpacingRules) {
  NiftiFixture f;
  f.dims[0] = f.dims[1] = f.dims[2] = 11;
  f.data = Bytes(std::vector<int16_t>(11 * 11 * 11, 1));
  const std::string path = m_Dir.File("plain.nii");
  WriteFixture(path, f);
  nuqImageDataT<float> volume;
  ASSERT_TRUE(ReadNiftiImage(&volume, path));
  const nuqImageInfo *info = volume.GetInfo();
  EXPECT_EQ(info->m_iOrientationMethod, 3);
  std::vector<float> centre = World(info, 5, 5, 5);
  for (float v : centre) EXPECT_NEAR(v, 0.0f, 1e-6);
  std::vector<float> step = World(info, 6, 6, 6);
  EXPECT_NEAR(step[0], -1.0f, 1e-6);  // x reversed
  EXPECT_NEAR(step[1], 1.0f, 1e-6);
  EXPECT_NEAR(step[2], 1.0f, 1e-6);

  // pixdim (-2, 3, 0, 0): absolute values, zeros become 1.
  NiftiFixture g;
  g.pixdim[0] = -2, g.pixdim[1] = 3, g.pixdim[2] = 0, g.pixdim[3] = 0;
  g.data = Bytes(Ramp16(24));
  WriteFixture(m_Dir.File("pixdim.nii"), g);
  ASSERT_TRUE(ReadNiftiImage(&volume, m_Dir.File("pixdim.nii")));
  const float expected[4] = {2, 3, 1, 1};
  for (int d = 0; d < 4; ++d) EXPECT_EQ(volume.GetInfo()->m_fSpacing[d], expected[d]);
}

namespace {

// One stored type, its values, and what each volume type must hold after reading.
struct ConversionCase {
  const char *name;
  short datatype;
  std::string data;
  float slope, inter;
  std::vector<double> asShort, asFloat, asChar;
  int code;
};

template <class T>
void CheckConversion(const std::string &path, const std::vector<double> &expected, int code) {
  nuqImageDataT<T> volume;
  ASSERT_TRUE(ReadNiftiImage(&volume, path));
  ASSERT_EQ(volume.GetNumberOfPixels(), static_cast<int>(expected.size()));
  EXPECT_EQ(volume.GetDataType(), code) << "the file's own type is recorded";
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(static_cast<double>(volume.GetPixelGreyscaleByIndex(static_cast<int>(i))), expected[i])
        << "voxel " << i;
}

}  // namespace

TEST_F(NiftiTest, ConvertsEveryStoredTypeIntoEachVolumeType) {
  const float fmax = std::numeric_limits<float>::max();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<ConversionCase> cases = {
      {"uint8", DT_UINT8, Bytes<uint8_t>({0, 200, 255}), 0, 0, {0, 200, 255}, {0, 200, 255},
       {0, 127, 127}, 8},
      {"int8", DT_INT8, Bytes<int8_t>({-128, -1, 127}), 0, 0, {-128, -1, 127}, {-128, -1, 127},
       {-128, -1, 127}, 7},
      {"uint16", DT_UINT16, Bytes<uint16_t>({0, 40000, 65535}), 0, 0, {0, 32767, 32767},
       {0, 40000, 65535}, {0, 127, 127}, 16},
      {"int16", DT_INT16, Bytes<int16_t>({-32768, 5, 32767}), 0, 0, {-32768, 5, 32767},
       {-32768, 5, 32767}, {-128, 5, 127}, 15},
      {"uint32", DT_UINT32, Bytes<uint32_t>({4000000000u, 7}), 0, 0, {32767, 7},
       {4000000000.0, 7}, {127, 7}, 31},
      {"int32", DT_INT32, Bytes<int32_t>({-100000, 70000, 3}), 0, 0, {-32768, 32767, 3},
       {-100000, 70000, 3}, {-128, 127, 3}, 32},
      {"float", DT_FLOAT32, Bytes<float>({2.5f, -2.5f, -0.4f, 1e10f, nan}), 0, 0,
       {3, -3, 0, 32767, 0}, {2.5, -2.5, static_cast<double>(-0.4f), 1e10, nan}, {3, -3, 0, 127, 0}, 64},
      {"double", DT_FLOAT64, Bytes<double>({1.5, -1.5, 1e300}), 0, 0, {2, -2, 32767},
       {1.5, -1.5, fmax}, {2, -2, 127}, 65},
      // scl_slope 2, scl_inter 0.4: 10 -> 20.4, -10 -> -19.6
      {"scaled_int16", DT_INT16, Bytes<int16_t>({10, -10}), 2.0f, 0.4f, {20, -20},
       {20.0 + static_cast<double>(0.4f), -20.0 + static_cast<double>(0.4f)}, {20, -20}, 15},
  };
  for (const ConversionCase &c : cases) {
    SCOPED_TRACE(c.name);
    NiftiFixture f;
    const int count = static_cast<int>(c.asShort.size());
    f.dims[0] = count, f.dims[1] = 1, f.dims[2] = 1;
    f.datatype = c.datatype;
    f.data = c.data;
    f.slope = c.slope;
    f.inter = c.inter;
    const std::string path = m_Dir.File(std::string(c.name) + ".nii");
    WriteFixture(path, f);
    CheckConversion<short>(path, c.asShort, c.code);
    CheckConversion<char>(path, c.asChar, c.code);
    // Float targets: compared as floats, NaN kept as NaN.
    nuqImageDataT<float> volume;
    ASSERT_TRUE(ReadNiftiImage(&volume, path));
    for (int i = 0; i < count; ++i) {
      const float want = static_cast<float>(c.asFloat[i]);
      const float got = volume.GetPixelGreyscaleByIndex(i);
      if (std::isnan(want))
        EXPECT_TRUE(std::isnan(got)) << "voxel " << i;
      else
        EXPECT_EQ(got, want) << "voxel " << i;
    }
  }
}

TEST_F(NiftiTest, RefusesBrokenAndHostileFiles) {
  struct Case {
    const char *name;
    std::function<void(NiftiFixture &)> edit;
    const char *message;  // expected part of the error line
  };
  const std::vector<Case> cases = {
      {"truncated_header.nii", [](NiftiFixture &f) { f.truncateTo = 100; },
       "failed (truncated: 100 of 348 header bytes)\n"},
      {"short_data.nii", [](NiftiFixture &f) { f.truncateTo = 352 + 20; },
       "is shorter than its header says (truncated: 372 bytes, 400 needed)\n"},
      {"short_data.nii.gz",
       [](NiftiFixture &f) {
         f.gzip = true;
         f.truncateTo = 352 + 20;
       },
       "is shorter than its header says (truncated: 20 of 48 voxel bytes)\n"},
      {"binary.nii", [](NiftiFixture &f) { f.datatype = DT_BINARY; }, "un-recognized data type"},
      {"rgb.nii", [](NiftiFixture &f) { f.datatype = DT_RGB24; }, "un-recognized data type"},
      {"overflow.nii",
       [](NiftiFixture &f) {
         f.ndim = 7;
         for (int &d : f.dims) d = 32000;
       },
       "error: "},
      {"overflow_3d.nii",
       [](NiftiFixture &f) { f.dims[0] = f.dims[1] = f.dims[2] = 30000; }, "error: "},
      {"zero_dim0.nii", [](NiftiFixture &f) { f.ndim = 0; }, "error: "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    NiftiFixture f;
    f.data = Bytes(Ramp16(24));
    c.edit(f);
    const std::string path = m_Dir.File(c.name);
    WriteFixture(path, f);
    nuqImageDataT<short> volume;
    bool ok = true;
    const std::string err = CaptureErr([&] { ok = ReadNiftiImage(&volume, path); });
    EXPECT_FALSE(ok);
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_NE(err.find(c.name), std::string::npos) << "names the file: " << err;
    EXPECT_EQ(err.find("**"), std::string::npos) << "nifticlib's own lines stay silent: " << err;
    EXPECT_EQ(err.compare(0, 7, "error: "), 0) << err;
    EXPECT_TRUE(volume.IsEmpty());
  }
  // A missing file.
  nuqImageDataT<float> volume;
  const std::string missing = m_Dir.File("none.nii");
  std::string err = CaptureErr([&] { EXPECT_FALSE(ReadNiftiImage(&volume, missing)); });
  EXPECT_EQ(err, "error: Open nifti image " + missing + " failed (No such file or directory)\n");
  // A folder with a NIfTI name.
  const std::string folder = m_Dir.File("folder.nii");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  err = CaptureErr([&] { EXPECT_FALSE(ReadImageFile(&volume, folder)); });
  EXPECT_EQ(err, "error: Open nifti image " + folder + " failed (Is a directory)\n");
}

// A NIfTI-2 header (540 bytes, either byte order) is named as such, not as a
// broken NIfTI-1 file, for single files and pairs, plain and compressed.
TEST_F(NiftiTest, RefusesNifti2InEitherByteOrder) {
  for (const char *name : {"two.nii", "two.nii.gz", "two.hdr", "two.img"}) {
    for (bool swapped : {false, true}) {
      SCOPED_TRACE(std::string(name) + (swapped ? " swapped" : ""));
      std::string h(544, '\0');
      const uint32_t size = swapped ? 0x1C020000u : 540u;
      std::memcpy(&h[0], &size, 4);
      std::memcpy(&h[4], "n+2\0\r\n\032\n", 8);
      const std::string file = m_Dir.File(name);
      const std::string header = std::string(name) == "two.img" ? m_Dir.File("two.hdr") : file;
      if (std::string(name) == "two.nii.gz") {
        gzFile gz = gzopen(file.c_str(), "wb");
        ASSERT_NE(gz, nullptr);
        gzwrite(gz, h.data(), static_cast<unsigned>(h.size()));
        gzclose(gz);
      } else {
        nuqtest::WriteWholeFile(header, h);
      }
      nuqImageDataT<short> volume;
      const std::string err = CaptureErr([&] { EXPECT_FALSE(ReadImageFile(&volume, file)); });
      EXPECT_EQ(err, "error: Open nifti image " + header +
                         " failed (NIfTI-2 is not read; convert it to NIfTI-1)\n");
    }
  }
}

TEST_F(NiftiTest, FloatVolumeRoundTripsBitForBit) {
  for (const char *name : {"round.nii", "round.nii.gz"}) {
    SCOPED_TRACE(name);
    nuqImageInfo grid;
    grid.m_iDimension = 3;
    const int size[4] = {5, 4, 3, 1};
    const float spacing[4] = {1.5f, 2.25f, 3.0f, 1.0f};
    // Oblique, left-handed placement.
    grid.m_fQuaternB = 0.1f;
    grid.m_fQuaternC = -0.3f;
    grid.m_fQuaternD = 0.2f;
    grid.m_fQuaternQf = -1.0f;
    grid.m_fQuaternOffset[0] = -12.5f;
    grid.m_fQuaternOffset[1] = 40.0f;
    grid.m_fQuaternOffset[2] = 3.75f;
    nuqImageDataT<float> volume;
    ASSERT_TRUE(volume.NewImage(3, size, spacing, &grid));
    const int n = volume.GetNumberOfPixels();
    for (int i = 0; i < n; ++i) volume.SetPixelGreyscaleByIndex(i, std::sin(i * 0.7f) * 1e3f / (i + 1));
    volume.SetPixelGreyscaleByIndex(0, std::numeric_limits<float>::quiet_NaN());
    volume.SetPixelGreyscaleByIndex(1, -0.0f);
    volume.SetPixelGreyscaleByIndex(2, std::numeric_limits<float>::denorm_min());
    volume.SetPixelGreyscaleByIndex(3, -std::numeric_limits<float>::infinity());

    const std::string path = m_Dir.File(name);
    ASSERT_TRUE(SaveImageFile(&volume, path));
    nuqImageDataT<float> back;
    ASSERT_TRUE(ReadImageFile(&back, path));
    ASSERT_EQ(back.GetNumberOfPixels(), n);
    EXPECT_EQ(std::memcmp(back.GetImageData(), volume.GetImageData(), n * sizeof(float)), 0);
    EXPECT_TRUE(back.IsSameGrid(&volume));
    EXPECT_EQ(back.GetDataType(), 64);
    EXPECT_EQ(back.GetInfo()->m_iOrientationMethod, -2);
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j)
        EXPECT_NEAR(back.GetInfo()->m_fImageToWorld[i][j], volume.GetInfo()->m_fImageToWorld[i][j], 1e-5)
            << i << "," << j;
  }
}

TEST_F(NiftiTest, FourDimensionalVolumeRoundTrips) {
  nuqImageInfo grid;
  const int size[4] = {3, 2, 2, 4};
  const float spacing[4] = {1, 2, 3, 0.5f};
  nuqImageDataT<short> volume;
  ASSERT_TRUE(volume.NewImage(4, size, spacing, &grid));
  for (int i = 0; i < volume.GetNumberOfPixels(); ++i) volume.SetPixelGreyscaleByIndex(i, static_cast<short>(i - 20));
  const std::string path = m_Dir.File("t.nii.gz");
  ASSERT_TRUE(SaveImageFile(&volume, path));
  nuqImageDataT<short> back;
  ASSERT_TRUE(ReadImageFile(&back, path));
  EXPECT_EQ(back.GetDimension(), 4);
  EXPECT_EQ(back.GetSizeArray()[3], 4);
  EXPECT_EQ(back.GetSpacingArray()[3], 0.5f);
  EXPECT_EQ(std::memcmp(back.GetImageData(), volume.GetImageData(), 48 * sizeof(short)), 0);
}

namespace {

// Header and raw voxels of a written file, read without conversion.
struct RawNifti {
  int datatype = 0;
  float slope = 0, inter = 0;
  std::vector<unsigned char> data;
};

RawNifti ReadRaw(const std::string &path) {
  RawNifti raw;
  nifti_image *nim = nifti_image_read(path.c_str(), 1);
  if (nim == nullptr) return raw;
  raw.datatype = nim->datatype;
  raw.slope = nim->scl_slope;
  raw.inter = nim->scl_inter;
  const unsigned char *p = static_cast<const unsigned char *>(nim->data);
  raw.data.assign(p, p + nim->nvox * nim->nbyper);
  nifti_image_free(nim);
  return raw;
}

template <class S>
std::vector<S> As(const RawNifti &raw) {
  std::vector<S> v(raw.data.size() / sizeof(S));
  std::memcpy(v.data(), raw.data.data(), v.size() * sizeof(S));
  return v;
}

}  // namespace

TEST_F(NiftiTest, WritesTheTypeOfTheDataTypeCodeConverted) {
  const std::vector<float> values = {2.5f, -2.5f, 40000.0f, -1e9f,
                                     std::numeric_limits<float>::quiet_NaN(), 7.25f};
  nuqImageInfo grid;
  const int size[4] = {6, 1, 1, 1};
  const float spacing[4] = {1, 1, 1, 1};
  nuqImageDataT<float> volume;
  ASSERT_TRUE(volume.NewImage(3, size, spacing, &grid));
  for (int i = 0; i < 6; ++i) volume.SetPixelGreyscaleByIndex(i, values[i]);

  volume.SetDataType(15);
  ASSERT_TRUE(SaveImageFile(&volume, m_Dir.File("as_short.nii")));
  RawNifti raw = ReadRaw(m_Dir.File("as_short.nii"));
  EXPECT_EQ(raw.datatype, DT_INT16);
  EXPECT_EQ(As<int16_t>(raw), (std::vector<int16_t>{3, -3, 32767, -32768, 0, 7}));

  volume.SetDataType(8);
  ASSERT_TRUE(SaveImageFile(&volume, m_Dir.File("as_uchar.nii")));
  raw = ReadRaw(m_Dir.File("as_uchar.nii"));
  EXPECT_EQ(raw.datatype, DT_UINT8);
  EXPECT_EQ(As<uint8_t>(raw), (std::vector<uint8_t>{3, 0, 255, 0, 0, 7}));

  volume.SetDataType(65);
  ASSERT_TRUE(SaveImageFile(&volume, m_Dir.File("as_double.nii")));
  raw = ReadRaw(m_Dir.File("as_double.nii"));
  EXPECT_EQ(raw.datatype, DT_FLOAT64);
  EXPECT_EQ(As<double>(raw)[5], 7.25);

  // Code outside 1..255 is saved as float.
  volume.SetDataType(0);
  ASSERT_TRUE(SaveImageFile(&volume, m_Dir.File("as_float.nii")));
  raw = ReadRaw(m_Dir.File("as_float.nii"));
  EXPECT_EQ(raw.datatype, DT_FLOAT32);
  EXPECT_EQ(As<float>(raw)[5], 7.25f);

  // Slope 2, intercept 1: stored (v - 1) / 2, and reading restores v.
  volume.SetDataType(64);
  volume.GetInfo()->m_fSlope = 2.0f;
  volume.GetInfo()->m_fIntercept = 1.0f;
  ASSERT_TRUE(SaveImageFile(&volume, m_Dir.File("scaled.nii")));
  raw = ReadRaw(m_Dir.File("scaled.nii"));
  EXPECT_EQ(raw.slope, 2.0f);
  EXPECT_EQ(raw.inter, 1.0f);
  EXPECT_EQ(As<float>(raw)[5], (7.25f - 1.0f) / 2.0f);
  nuqImageDataT<float> back;
  ASSERT_TRUE(ReadImageFile(&back, m_Dir.File("scaled.nii")));
  EXPECT_EQ(back.GetPixelGreyscaleByIndex(5), 7.25f);
  EXPECT_EQ(back.GetInfo()->m_fSlope, 2.0f);

  // Binary and unknown codes have no stored type and are refused.
  for (short code : {1, 3}) {
    volume.SetDataType(code);
    const std::string name = m_Dir.File("bad_code.nii");
    const std::string err = CaptureErr([&] { EXPECT_FALSE(SaveImageFile(&volume, name)); });
    EXPECT_NE(err.find("error: "), std::string::npos);
    EXPECT_NE(err.find(name), std::string::npos);
    EXPECT_FALSE(nuqtest::FileExists(name));
  }
}

TEST_F(NiftiTest, SaveImageFileNamesOutputsByExtension) {
  struct Case {
    const char *given, *written;
  };
  const std::vector<Case> cases = {{"out", "out.nii.gz"},
                                   {"out.", "out.nii.gz"},
                                   {"out.img", "out.img.nii.gz"},
                                   {"result.NII", "result.NII"},
                                   {"plain.nii", "plain.nii"},
                                   {"packed.nii.gz", "packed.nii.gz"},
                                   {"a.b.gz", "a.b.gz.nii.gz"}};
  nuqImageInfo grid;
  const int size[4] = {2, 2, 2, 1};
  const float spacing[4] = {1, 1, 1, 1};
  nuqImageDataT<float> volume;
  ASSERT_TRUE(volume.NewImage(3, size, spacing, &grid));
  for (const Case &c : cases) {
    SCOPED_TRACE(c.given);
    ASSERT_TRUE(SaveImageFile(&volume, m_Dir.File(c.given)));
    EXPECT_TRUE(nuqtest::FileExists(m_Dir.File(c.written)));
    const std::string bytes = nuqtest::ReadWholeFile(m_Dir.File(c.written));
    const bool gz = bytes.size() > 2 && static_cast<unsigned char>(bytes[0]) == 0x1f &&
                    static_cast<unsigned char>(bytes[1]) == 0x8b;
    EXPECT_EQ(gz, std::string(c.written).find(".gz") != std::string::npos);
  }
}

TEST_F(NiftiTest, DispatchByExtension) {
  nuqImageDataT<float> volume;
  // Names without a known extension are refused with the extensions that
  // are read, and the reason when the file cannot be opened either.
  nuqtest::WriteWholeFile(m_Dir.File("x.png"), "png");
  const char *const list =
      ": no image reader takes its extension (the extensions read are .gipl, .nii, .nii.gz, .hdr, "
      ".img, .hdr.gz, .img.gz)";
  const struct {
    const char *name;
    const char *reason;
  } unknown[] = {{"case.NII", " (No such file or directory)"},
                 {"noext", " (No such file or directory)"},
                 {"x.png", ""},
                 {"", " (Is a directory)"}};
  for (const auto &c : unknown) {
    SCOPED_TRACE(c.name);
    const std::string name = m_Dir.File(c.name);
    const std::string err = CaptureErr([&] { EXPECT_FALSE(ReadImageFile(&volume, name)); });
    EXPECT_EQ(err, "error: cannot read image " + name + list + c.reason + "\n");
  }
  nuqImageInfo grid;
  const int size[4] = {2, 2, 2, 1};
  const float spacing[4] = {1, 1, 1, 1};
  ASSERT_TRUE(volume.NewImage(3, size, spacing, &grid));
  std::string err;
  err = CaptureErr([&] { EXPECT_FALSE(SaveImageFile<float>(nullptr, "x.nii")); });
  EXPECT_EQ(err, "error: try to save zero pointer image\n");

  nuqImageDataT<float> empty;
  err = CaptureErr([&] { EXPECT_FALSE(SaveImageFile(&empty, m_Dir.File("e.nii"))); });
  EXPECT_NE(err.find("error: "), std::string::npos);
  EXPECT_NE(err.find("e.nii"), std::string::npos);

  const std::string unwritable = m_Dir.File("no/such/folder/x.nii.gz");
  err = CaptureErr([&] { EXPECT_FALSE(SaveImageFile(&volume, unwritable)); });
  EXPECT_EQ(err.compare(0, 7, "error: "), 0) << err;
  EXPECT_NE(err.find(unwritable), std::string::npos) << err;
}

TEST_F(NiftiTest, ResolvesTheOtherNiftiName) {
  nuqImageInfo grid;
  const int size[4] = {2, 2, 1, 1};
  const float spacing[4] = {1, 1, 1, 1};
  nuqImageDataT<float> volume;
  ASSERT_TRUE(volume.NewImage(3, size, spacing, &grid));
  const std::string packed = m_Dir.File("a.nii.gz");
  const std::string plain = m_Dir.File("b.nii");
  ASSERT_TRUE(SaveImageFile(&volume, packed));
  ASSERT_TRUE(SaveImageFile(&volume, plain));
  EXPECT_EQ(ResolveNiftiFileName(m_Dir.File("a.nii")), packed);
  EXPECT_EQ(ResolveNiftiFileName(packed), packed);
  EXPECT_EQ(ResolveNiftiFileName(m_Dir.File("b.nii.gz")), plain);
  EXPECT_EQ(ResolveNiftiFileName(m_Dir.File("c.nii")), m_Dir.File("c.nii"));

  // The success line names the file actually read.
  g_nVerbose = 1;
  nuqImageDataT<float> back;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(ReadImageFile(&back, m_Dir.File("a.nii")));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "success: open image " + packed + " !\n");
  testing::internal::CaptureStdout();
  EXPECT_TRUE(SaveImageFile(&volume, m_Dir.File("c")));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "success: Save image " + m_Dir.File("c.nii.gz") + "\n");
  g_nVerbose = 0;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(ReadImageFile(&back, plain));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(NiftiTest, NibabelReadsWhatIsWritten) {
  const std::string python = nuqtest::PythonWithNibabel();
  if (python.empty()) GTEST_SKIP() << "no python3 with nibabel and numpy: independent reader check skipped";

  nuqImageInfo grid;
  grid.m_fQuaternB = 0.2f;
  grid.m_fQuaternC = 0.1f;
  grid.m_fQuaternD = -0.4f;
  grid.m_fQuaternQf = -1.0f;
  grid.m_fQuaternOffset[0] = 5.5f;
  grid.m_fQuaternOffset[1] = -7.0f;
  grid.m_fQuaternOffset[2] = 11.0f;
  const int size[4] = {4, 3, 2, 1};
  const float spacing[4] = {1.25f, 2.0f, 2.5f, 1.0f};
  nuqImageDataT<float> fvol;
  ASSERT_TRUE(fvol.NewImage(3, size, spacing, &grid));
  nuqImageDataT<short> svol;
  ASSERT_TRUE(svol.NewImage(3, size, spacing, &grid));
  for (int i = 0; i < 24; ++i) {
    fvol.SetPixelGreyscaleByIndex(i, i * 0.5f - 3.25f);
    svol.SetPixelGreyscaleByIndex(i, static_cast<short>(i * 1000 - 12000));
  }
  const std::string fname = m_Dir.File("f.nii.gz");
  const std::string sname = m_Dir.File("s.nii");
  ASSERT_TRUE(SaveImageFile(&fvol, fname));
  ASSERT_TRUE(SaveImageFile(&svol, sname));

  const std::string script = m_Dir.File("check.py");
  nuqtest::WriteWholeFile(script,
                          "import sys\nimport nibabel as nib\nimport numpy as np\n"
                          "for name in sys.argv[1:]:\n"
                          "    img = nib.load(name)\n"
                          "    d = np.asanyarray(img.dataobj)\n"
                          "    q, code = img.header.get_qform(coded=True)\n"
                          "    v = d.flatten(order='F')\n"
                          "    print(d.shape, d.dtype, int(code))\n"
                          "    print(' '.join('%.6g' % x for x in v))\n"
                          "    print(' '.join('%.6f' % x for x in q[:3].flatten()))\n");
  const std::string command = python + " " + script + " " + fname + " " + sname + " 2>&1";
  FILE *pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[4096];
  while (size_t got = fread(buffer, 1, sizeof(buffer), pipe)) output.append(buffer, got);
  ASSERT_EQ(pclose(pipe), 0) << output;

  std::istringstream lines(output);
  std::string line;
  auto expectVolume = [&](const nuqImageInfo *info, const char *header, auto value) {
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, header);
    ASSERT_TRUE(std::getline(lines, line));
    std::istringstream voxels(line);
    for (int i = 0; i < 24; ++i) {
      double v = 0;
      ASSERT_TRUE(voxels >> v) << i;
      EXPECT_NEAR(v, value(i), 1e-4) << "voxel " << i;
    }
    ASSERT_TRUE(std::getline(lines, line));
    std::istringstream matrix(line);
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) {
        double m = 0;
        ASSERT_TRUE(matrix >> m);
        EXPECT_NEAR(m, info->m_fImageToWorld[r][c], 1e-4) << r << "," << c;
      }
  };
  expectVolume(fvol.GetInfo(), "(4, 3, 2) float32 1", [](int i) { return i * 0.5 - 3.25; });
  expectVolume(svol.GetInfo(), "(4, 3, 2) int16 1", [](int i) { return i * 1000.0 - 12000.0; });
}

namespace {

// A big-endian Analyze 7.5 pair with int16 voxels (or another datatype).
void WriteAnalyze(const std::string &base, const int dims[4], const float pixdim[4], short datatype,
                  const std::string &hostOrderData, int width, bool bigEndian = true) {
  std::string h(348, '\0');
  auto put16 = [&](int offset, int16_t v) {
    uint16_t u = static_cast<uint16_t>(v);
    if (bigEndian) {
      h[offset] = static_cast<char>(u >> 8), h[offset + 1] = static_cast<char>(u & 0xff);
    } else {
      h[offset] = static_cast<char>(u & 0xff), h[offset + 1] = static_cast<char>(u >> 8);
    }
  };
  auto put32 = [&](int offset, uint32_t u) {
    for (int i = 0; i < 4; ++i) {
      const int shift = bigEndian ? 24 - 8 * i : 8 * i;
      h[offset + i] = static_cast<char>((u >> shift) & 0xff);
    }
  };
  put32(0, 348);
  put16(40, 4);
  for (int d = 0; d < 4; ++d) put16(42 + 2 * d, static_cast<int16_t>(dims[d]));
  put16(70, datatype);
  for (int d = 0; d < 4; ++d) {
    uint32_t bits;
    std::memcpy(&bits, &pixdim[d], 4);
    put32(80 + 4 * d, bits);
  }
  nuqtest::WriteWholeFile(base + ".hdr", h);
  std::string data = hostOrderData;
  if (bigEndian && width > 1)
    for (size_t i = 0; i + width <= data.size(); i += width) std::reverse(data.begin() + i, data.begin() + i + width);
  nuqtest::WriteWholeFile(base + ".img", data);
}

}  // namespace

TEST_F(NiftiTest, ReadsAnalyzePairsOfEitherByteOrder) {
  const int dims[4] = {3, 4, 2, 1};
  const float pixdim[4] = {1.5f, 2, -1, 0};
  for (bool bigEndian : {true, false}) {
  SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
  const std::string base = m_Dir.File(bigEndian ? "scan" : "little");
  WriteAnalyze(base, dims, pixdim, DT_INT16, Bytes(Ramp16(24)), 2, bigEndian);

  nuqImageDataT<short> volume;
  ASSERT_EQ(ReadAnalyzeImage(base + ".hdr", &volume, true), 0);
  EXPECT_EQ(volume.GetDimension(), 3);
  EXPECT_EQ(volume.GetInfo()->m_strFileFormat, "hdr");
  EXPECT_EQ(volume.GetDataType(), 15);
  const float spacing[4] = {1.5f, 2, 1, 1};
  for (int d = 0; d < 4; ++d) EXPECT_EQ(volume.GetSpacingArray()[d], spacing[d]);
  // Rows are stored bottom-up: file row y is volume row ny - 1 - y.
  const std::vector<int16_t> ramp = Ramp16(24);
  for (int z = 0; z < 2; ++z)
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 3; ++x)
        ASSERT_EQ(volume.GetPixelGreyscale(x, y, z), ramp[x + 3 * (3 - y) + 12 * z]) << x << y << z;
  // Axis-aligned, index 0 at world 0.
  std::vector<float> w = World(volume.GetInfo(), 0, 0, 0);
  for (float v : w) EXPECT_NEAR(v, 0, 1e-6);
  w = World(volume.GetInfo(), 1, 1, 1);
  EXPECT_NEAR(w[0], 1.5f, 1e-6);
  EXPECT_NEAR(w[1], 2.0f, 1e-6);

  // Header only, and the pair named by its image file.
  nuqImageDataT<short> header;
  EXPECT_EQ(ReadAnalyzeImage(base + ".img", &header, false), 1);
  EXPECT_EQ(header.GetSizeArray()[1], 4);
  EXPECT_TRUE(header.IsEmpty());

  // A float pair converts into a short volume.
  WriteAnalyze(m_Dir.File("f"), dims, pixdim, DT_FLOAT32, Bytes(std::vector<float>(24, 2.5f)), 4,
               bigEndian);
  ASSERT_EQ(ReadAnalyzeImage(m_Dir.File("f.hdr"), &volume, true), 0);
  EXPECT_EQ(volume.GetPixelGreyscale(1, 1, 1), 3);
  EXPECT_EQ(volume.GetDataType(), 64);
  }
}

TEST_F(NiftiTest, RefusesBadAnalyzePairs) {
  const int dims[4] = {3, 4, 2, 1};
  const float pixdim[4] = {1, 1, 1, 1};
  nuqImageDataT<short> volume;

  // A header size that is 348 in neither byte order.
  WriteAnalyze(m_Dir.File("odd"), dims, pixdim, DT_INT16, Bytes(Ramp16(24)), 2, false);
  std::string odd = nuqtest::ReadWholeFile(m_Dir.File("odd.hdr"));
  odd[0] = 0x5d;
  nuqtest::WriteWholeFile(m_Dir.File("odd.hdr"), odd);
  std::string err = CaptureErr([&] { EXPECT_EQ(ReadAnalyzeImage(m_Dir.File("odd.hdr"), &volume, true), -1); });
  EXPECT_EQ(err, "error: magic number didn't match ANALYZE image (349, 1560346624)\n");

  err = CaptureErr([&] { EXPECT_EQ(ReadAnalyzeImage(m_Dir.File("none.hdr"), &volume, true), -1); });
  EXPECT_EQ(err, "error: couldn't open " + m_Dir.File("none.hdr") + " for read  (No such file or directory)\n");

  std::string cut = nuqtest::ReadWholeFile(m_Dir.File("odd.hdr")).substr(0, 200);
  nuqtest::WriteWholeFile(m_Dir.File("cut.hdr"), cut);
  err = CaptureErr([&] { EXPECT_EQ(ReadAnalyzeImage(m_Dir.File("cut.hdr"), &volume, true), -1); });
  EXPECT_EQ(err, "error: Analyze header " + m_Dir.File("cut.hdr") +
                     " is shorter than 348 bytes (truncated: 200 bytes)\n");

  WriteAnalyze(m_Dir.File("short"), dims, pixdim, DT_INT16, Bytes(Ramp16(20)), 2);
  err = CaptureErr([&] { EXPECT_EQ(ReadAnalyzeImage(m_Dir.File("short.hdr"), &volume, true), -1); });
  EXPECT_EQ(err, "error: image " + m_Dir.File("short.img") +
                     " is shorter than its header says (truncated: 40 bytes, 48 needed)\n");

  WriteAnalyze(m_Dir.File("rgb"), dims, pixdim, DT_RGB24, Bytes(Ramp16(36)), 1);
  err = CaptureErr([&] { EXPECT_EQ(ReadAnalyzeImage(m_Dir.File("rgb.hdr"), &volume, true), -1); });
  EXPECT_EQ(err, "error: unknown image type from Analyze header \n");

  const int huge[4] = {32000, 32000, 32000, 2};
  WriteAnalyze(m_Dir.File("huge"), huge, pixdim, DT_INT16, "", 2);
  err = CaptureErr([&] { EXPECT_EQ(ReadAnalyzeImage(m_Dir.File("huge.hdr"), &volume, true), -1); });
  EXPECT_NE(err.find("huge.hdr"), std::string::npos);

  nuqtest::WriteWholeFile(m_Dir.File("tiny.hdr"), "abc");
  err = CaptureErr([&] { EXPECT_EQ(ReadAnalyzeImage(m_Dir.File("tiny.hdr"), &volume, true), -1); });
  EXPECT_NE(err.find("tiny.hdr"), std::string::npos);
}

// Pairs written by nibabel hold the same voxels as the files they stand for:
// a NIfTI-1 pair (plain and compressed, named by either file) reads like the
// .nii of the same array and affine; Analyze pairs of both byte orders read
// like the hand-written big-endian pair of the same voxels and spacing. The
// values use both bytes and the sign, so a missed or extra swap shows.
TEST_F(NiftiTest, NibabelPairsReadLikeTheirTwins) {
  const std::string python = nuqtest::PythonWithNibabel();
  if (python.empty()) GTEST_SKIP() << "nibabel and numpy are not available in /usr/bin/python3";
  const std::string make = R"PY(
import sys, numpy as np, nibabel as nib
d = sys.argv[1]
v = (np.arange(24, dtype=np.int16) * 1111 - 12000).reshape(2, 4, 3).transpose(2, 1, 0)
A = np.diag([1.5, 2.0, 3.0, 1.0]); A[:3, 3] = [4.0, -5.0, 6.0]
nib.save(nib.Nifti1Image(v, A), d + '/single.nii')
nib.save(nib.Nifti1Pair(v, A), d + '/pair.hdr')
nib.save(nib.Nifti1Pair(v, A), d + '/zpair.hdr.gz')
for order, name in (('<', 'little'), ('>', 'big')):
    h = nib.AnalyzeImage(v, None).header
    if h.endianness != order:
        h = h.as_byteswapped(order)
    nib.save(nib.AnalyzeImage(v, np.diag([1.5, 2.0, 3.0, 1.0]), header=h), d + '/' + name + '.hdr')
)PY";
  nuqtest::WriteWholeFile(m_Dir.File("make.py"), make);
  ASSERT_EQ(std::system((python + " " + m_Dir.File("make.py") + " " + m_Dir.Path()).c_str()), 0);
  ASSERT_EQ(nuqtest::ReadWholeFile(m_Dir.File("little.hdr")).substr(0, 4), std::string("\x5c\x01\0\0", 4));
  ASSERT_EQ(nuqtest::ReadWholeFile(m_Dir.File("big.hdr")).substr(0, 4), std::string("\0\0\x01\x5c", 4));

  std::vector<int16_t> ramp(24);
  for (int i = 0; i < 24; ++i) ramp[i] = static_cast<int16_t>(i * 1111 - 12000);
  const int dims[4] = {3, 4, 2, 1};
  const float pixdim[4] = {1.5f, 2, 3, 1};
  WriteAnalyze(m_Dir.File("hand"), dims, pixdim, DT_INT16, Bytes(ramp), 2);

  auto same = [&](const std::string &name, const std::string &twin) {
    SCOPED_TRACE(name);
    const nuqtest::QuietSuccess quiet;
    nuqImageDataT<short> a, b;
    ASSERT_TRUE(ReadImageFile(&a, m_Dir.File(name)));
    ASSERT_TRUE(ReadImageFile(&b, m_Dir.File(twin)));
    EXPECT_EQ(a.GetDimension(), b.GetDimension());
    EXPECT_EQ(a.GetDataType(), 15);
    for (int d = 0; d < 4; ++d) {
      EXPECT_EQ(a.GetSizeArray()[d], b.GetSizeArray()[d]);
      EXPECT_EQ(a.GetSpacingArray()[d], b.GetSpacingArray()[d]);
    }
    ASSERT_EQ(a.GetNumberOfPixels(), 24);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(a.GetPixelGreyscaleByIndex(i), b.GetPixelGreyscaleByIndex(i)) << i;
    for (float corner : {0.0f, 1.0f}) {
      const std::vector<float> wa = World(a.GetInfo(), corner, 2 * corner, 3 * corner);
      const std::vector<float> wb = World(b.GetInfo(), corner, 2 * corner, 3 * corner);
      for (size_t k = 0; k < wa.size(); ++k) EXPECT_NEAR(wa[k], wb[k], 1e-5) << k;
    }
  };
  same("pair.hdr", "single.nii");
  same("pair.img", "single.nii");
  same("zpair.img.gz", "single.nii");
  same("big.hdr", "hand.hdr");
  same("little.hdr", "hand.hdr");
  same("little.img", "hand.hdr");
  // The file voxels themselves, not only agreement: .nii voxel x + 3 y + 12 z
  // is ramp[x + 3 y + 12 z]; Analyze rows are reversed in y.
  const nuqtest::QuietSuccess quiet;
  nuqImageDataT<short> single, little;
  ASSERT_TRUE(ReadImageFile(&single, m_Dir.File("single.nii")));
  ASSERT_TRUE(ReadImageFile(&little, m_Dir.File("little.hdr")));
  EXPECT_EQ(single.GetPixelGreyscale(2, 1, 1), ramp[2 + 3 + 12]);
  EXPECT_EQ(little.GetPixelGreyscale(2, 1, 1), ramp[2 + 3 * 2 + 12]);
}

// A gzip-compressed Analyze pair (.hdr.gz/.img.gz) reads like the plain one;
// its stream cut short is reported as truncated.
TEST_F(NiftiTest, CompressedAnalyzePairReadsLikeThePlainOne) {
  const int dims[4] = {3, 4, 2, 1};
  const float pixdim[4] = {1.5f, 2, 3, 1};
  WriteAnalyze(m_Dir.File("plain"), dims, pixdim, DT_INT16, Bytes(Ramp16(24)), 2, false);
  auto pack = [&](const std::string &from, const std::string &to, size_t keep) {
    const std::string bytes = nuqtest::ReadWholeFile(m_Dir.File(from)).substr(0, keep);
    gzFile gz = gzopen(m_Dir.File(to).c_str(), "wb");
    ASSERT_NE(gz, nullptr);
    gzwrite(gz, bytes.data(), static_cast<unsigned>(bytes.size()));
    gzclose(gz);
  };
  pack("plain.hdr", "packed.hdr.gz", 348);
  pack("plain.img", "packed.img.gz", 48);
  const nuqtest::QuietSuccess quiet;
  nuqImageDataT<short> plain, packed;
  ASSERT_TRUE(ReadImageFile(&plain, m_Dir.File("plain.hdr")));
  for (const char *name : {"packed.hdr.gz", "packed.img.gz"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(ReadImageFile(&packed, m_Dir.File(name)));
    ASSERT_EQ(packed.GetNumberOfPixels(), 24);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(packed.GetPixelGreyscaleByIndex(i), plain.GetPixelGreyscaleByIndex(i));
    EXPECT_EQ(packed.GetSpacingArray()[2], 3.0f);
  }
  pack("plain.img", "packed.img.gz", 40);
  const std::string err = CaptureErr([&] { EXPECT_FALSE(ReadImageFile(&packed, m_Dir.File("packed.hdr.gz"))); });
  EXPECT_EQ(err, "error: image " + m_Dir.File("packed.img.gz") +
                     " is shorter than its header says (truncated: 40 bytes, 48 needed)\n");
}
