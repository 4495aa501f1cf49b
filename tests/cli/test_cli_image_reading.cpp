// Reading images and transform images on the command line: every refusal
// says why (the system's reason, the extensions that are read, NIfTI-2,
// truncation, a displacement field given to -t), and the NIfTI-1 pairs and
// Analyze pairs of either byte order that other tools write are read like
// the files this toolkit knows.
#include <gtest/gtest.h>
#include <nifti1_io.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "nuqCliFixtures.h"
#include "nuqTestSupport.h"

namespace {

using nuqtest::FileExists;
using nuqtest::ReadWholeFile;
using nuqtest::RunTool;
using nuqtest::TempDir;
using nuqtest::WriteWholeFile;

const std::string kImageList =
    " (the extensions read are .gipl, .nii, .nii.gz, .hdr, .img, .hdr.gz, .img.gz)";
const std::string kTransformList =
    " (the transform extensions read are AFF, MTX, MAT, AFFS, FFD, NII, GIPL, FFDMI, FLD, MATRIX)";
const std::string kIdentity =
    "#dimension#\n3\n#one to one#\n1\n#rotation center#\n0\t0\t0\t\n#rotation angle#\n0\t0\t0\t\n"
    "#scaling#\n1\t2\t1\t\n#translation#\n0\t0\t0\t\n";

// A float NIfTI-1 image of the given dim[] entries (dim[0] first), zero
// offsets, with an intent code.
void WriteFloatNifti(const std::string &fileName, const std::vector<int> &dim, int intent) {
  int dims[8] = {0, 1, 1, 1, 1, 1, 1, 1};
  for (size_t k = 0; k < dim.size() && k < 8; ++k) dims[k] = dim[k];
  nifti_image *nim = nifti_make_new_nim(dims, NIFTI_TYPE_FLOAT32, 1);
  if (!nim) throw std::runtime_error("nifti_make_new_nim failed");
  nim->intent_code = intent;
  if (nifti_set_filenames(nim, fileName.c_str(), 0, 1) != 0) throw std::runtime_error(fileName);
  nifti_image_write(nim);
  nifti_image_free(nim);
  if (!FileExists(fileName)) throw std::runtime_error("could not write " + fileName);
}

void WriteGzip(const std::string &fileName, const std::string &bytes) {
  gzFile gz = gzopen(fileName.c_str(), "wb");
  if (!gz) throw std::runtime_error(fileName);
  gzwrite(gz, bytes.data(), static_cast<unsigned>(bytes.size()));
  gzclose(gz);
}

struct ReadCase {
  const char *title;
  std::vector<std::string> args;
  std::string err;
  int status;
};

class CliImageReading : public testing::Test {
 protected:
  void SetUp() override {
    nuqclitest::WriteShortNifti(dir.File("ref.nii"), {4, 3, 2});
    WriteWholeFile(dir.File("s.AFF"), kIdentity);
    ASSERT_EQ(mkdir(dir.File("folder.nii").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.File("folder").c_str(), 0755), 0);
    WriteWholeFile(dir.File("ref.png"), "not an image");

    // NIfTI-2: a 540-byte header, here in the other byte order too.
    std::string two(544, '\0');
    const uint32_t size = 540;
    std::memcpy(&two[0], &size, 4);
    std::memcpy(&two[4], "n+2\0\r\n\032\n", 8);
    WriteWholeFile(dir.File("two.nii"), two);
    std::swap(two[0], two[3]);
    std::swap(two[1], two[2]);
    WriteWholeFile(dir.File("owt.hdr"), two);
    // A header size of 349 is 348 in neither byte order.
    std::string odd(348, '\0');
    odd[0] = 0x5d;
    odd[1] = 0x01;
    WriteWholeFile(dir.File("odd.hdr"), odd);
    WriteWholeFile(dir.File("odd.img"), std::string(2, '\0'));

    // Truncated: a .nii short of voxels, the same file compressed whole, and
    // a gzip stream cut in the middle.
    nuqclitest::WriteShortNifti(dir.File("whole.nii"), {40, 30, 20});
    const std::string whole = ReadWholeFile(dir.File("whole.nii"));
    WriteWholeFile(dir.File("short.nii"), whole.substr(0, 352 + 20));
    WriteGzip(dir.File("short.nii.gz"), whole.substr(0, 352 + 20));
    // Voxels that do not compress away, so that the cut falls among them.
    std::string noisy = whole;
    uint32_t seed = 12345u;
    for (size_t i = 352; i < noisy.size(); ++i) {
      seed = seed * 1103515245u + 12345u;
      noisy[i] = static_cast<char>(seed >> 24);
    }
    WriteGzip(dir.File("cut.nii.gz"), noisy);
    const std::string packed = ReadWholeFile(dir.File("cut.nii.gz"));
    WriteWholeFile(dir.File("cut.nii.gz"), packed.substr(0, packed.size() / 2));
    WriteWholeFile(dir.File("head.nii"), whole.substr(0, 200));

    // Vector fields as ITK/ANTs write them, and by intent; and a plain 4-D
    // image of three volumes, the control-point image.
    WriteFloatNifti(dir.File("v5.nii"), {5, 4, 3, 2, 1, 3}, 0);
    WriteFloatNifti(dir.File("v5.nii.gz"), {5, 4, 3, 2, 1, 3}, 0);
    WriteFloatNifti(dir.File("v2.nii.gz"), {5, 4, 3, 1, 1, 2}, 0);
    WriteFloatNifti(dir.File("v4.nii"), {4, 4, 3, 2, 3}, NIFTI_INTENT_VECTOR);
    WriteFloatNifti(dir.File("d4.nii.gz"), {4, 4, 3, 2, 3}, NIFTI_INTENT_DISPVECT);
    WriteFloatNifti(dir.File("cp4.nii"), {4, 4, 3, 2, 3}, 0);
  }
  TempDir dir;
};

TEST_F(CliImageReading, EachRefusalSaysWhy) {
  const std::string dispTail =
      "), not B-spline control points; -t does not read displacement-field images yet\n";
  auto refusedField = [&](const std::string &name, const std::string &what) {
    return "error: " + name + " is a displacement field (" + what + dispTail +
           "error: reading transform file:" + name + "\nerror: read transforamtion file " + name + "\n";
  };
  const ReadCase cases[] = {
      {"missing reference",
       {"nothere.nii", "-n", "1", "-t", "s.AFF"},
       "error: Open nifti image nothere.nii failed (No such file or directory)\n"
       "error: open reference image nothere.nii\n",
       254},
      {"folder with a NIfTI name as reference",
       {"folder.nii", "-n", "1", "-t", "s.AFF"},
       "error: Open nifti image folder.nii failed (Is a directory)\n"
       "error: open reference image folder.nii\n",
       254},
      {"folder as reference",
       {"folder", "-n", "1", "-t", "s.AFF"},
       "error: cannot read image folder: no image reader takes its extension" + kImageList +
           " (Is a directory)\nerror: open reference image folder\n",
       254},
      {"unknown image extension",
       {"ref.png", "-n", "1", "-t", "s.AFF"},
       "error: cannot read image ref.png: no image reader takes its extension" + kImageList +
           "\nerror: open reference image ref.png\n",
       254},
      {"missing Analyze or NIfTI pair",
       {"none.hdr", "-n", "1", "-t", "s.AFF"},
       "error: couldn't open none.hdr for read  (No such file or directory)\n"
       "error: open reference image none.hdr\n",
       254},
      {"Analyze header size in neither byte order",
       {"odd.hdr", "-n", "1", "-t", "s.AFF"},
       "error: magic number didn't match ANALYZE image (349, 1560346624)\n"
       "error: open reference image odd.hdr\n",
       254},
      {"NIfTI-2 file",
       {"two.nii", "-n", "1", "-t", "s.AFF"},
       "error: Open nifti image two.nii failed (NIfTI-2 is not read; convert it to NIfTI-1)\n"
       "error: open reference image two.nii\n",
       254},
      {"NIfTI-2 pair in the other byte order, named by its image",
       {"owt.img", "-n", "1", "-t", "s.AFF"},
       "error: Open nifti image owt.hdr failed (NIfTI-2 is not read; convert it to NIfTI-1)\n"
       "error: open reference image owt.img\n",
       254},
      {"header cut short",
       {"head.nii", "-n", "1", "-t", "s.AFF"},
       "error: Open nifti image head.nii failed (truncated: 200 of 348 header bytes)\n"
       "error: open reference image head.nii\n",
       254},
      {"truncated .nii",
       {"short.nii", "-n", "1", "-t", "s.AFF"},
       "error: image short.nii is shorter than its header says (truncated: 372 bytes, 48352 needed)\n"
       "error: open reference image short.nii\n",
       254},
      {"truncated .nii inside a whole gzip stream",
       {"short.nii.gz", "-n", "1", "-t", "s.AFF"},
       "error: image short.nii.gz is shorter than its header says (truncated: 20 of 48000 voxel bytes)\n"
       "error: open reference image short.nii.gz\n",
       254},
      {"missing mask",
       {"ref.nii", "-mask", "nomask.nii", "-n", "0"},
       "error: Open nifti image nomask.nii failed (No such file or directory)\n",
       255},
      {"missing control-point image",
       {"ref.nii", "-n", "1", "-t", "none.nii"},
       "error: Open nifti image none.nii failed (No such file or directory)\n"
       "error: cannot read control-point image none.nii\n"
       "error: reading transform file:none.nii\nerror: read transforamtion file none.nii\n",
       250},
      {"unknown transform extension lists those read",
       {"ref.nii", "-n", "1", "-t", "warp.xyz"},
       "error: unknown transform file type:XYZ" + kTransformList +
           "\nerror: unknown transform file:warp.xyz\nerror: read transforamtion file warp.xyz\n",
       250},
      {"5-D vector field .nii",
       {"ref.nii", "-n", "1", "-t", "v5.nii"},
       refusedField("v5.nii", "5-D NIfTI with 3 components in its fifth dimension"),
       250},
      {"5-D vector field .nii.gz",
       {"ref.nii", "-n", "1", "-t", "v5.nii.gz"},
       refusedField("v5.nii.gz", "5-D NIfTI with 3 components in its fifth dimension"),
       250},
      {"5-D 2-component field",
       {"ref.nii", "-n", "1", "-t", "v2.nii.gz"},
       refusedField("v2.nii.gz", "5-D NIfTI with 2 components in its fifth dimension"),
       250},
      {"4-D field with the vector intent",
       {"ref.nii", "-n", "1", "-t", "v4.nii"},
       refusedField("v4.nii", "NIfTI intent code 1007, vector"),
       250},
      {"4-D field with the displacement intent",
       {"ref.nii", "-n", "1", "-t", "d4.nii.gz"},
       refusedField("d4.nii.gz", "NIfTI intent code 1006, displacement vector"),
       250},
      {"plain 4-D control-point image", {"ref.nii", "-o", "cp", "-n", "1", "-t", "cp4.nii"}, "", 0},
  };
  for (const ReadCase &c : cases) {
    SCOPED_TRACE(c.title);
    const nuqtest::ToolResult r = RunTool(c.args, dir.Path());
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
  }
  EXPECT_TRUE(FileExists(dir.File("cp.FLD")));
}

// A gzip stream that ends early: the count of bytes zlib hands back before
// the end depends on zlib, the word "truncated" does not.
TEST_F(CliImageReading, GzipStreamEndingEarlyIsTruncated) {
  const nuqtest::ToolResult r = RunTool({"cut.nii.gz", "-n", "1", "-t", "s.AFF"}, dir.Path());
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.err.find("error: image cut.nii.gz is shorter than its header says (truncated: "), 0u) << r.err;
  EXPECT_NE(r.err.find(" of 48000 voxel bytes)\nerror: open reference image cut.nii.gz\n"), std::string::npos)
      << r.err;
}

TEST_F(CliImageReading, PermissionDeniedIsGivenAsTheReason) {
  if (geteuid() == 0) GTEST_SKIP() << "running as root: every file can be read";
  ASSERT_EQ(chmod(dir.File("ref.nii").c_str(), 0), 0);
  const nuqtest::ToolResult r = RunTool({"ref.nii", "-n", "1", "-t", "s.AFF"}, dir.Path());
  EXPECT_EQ(r.err,
            "error: Open nifti image ref.nii failed (Permission denied)\nerror: open reference image ref.nii\n");
  EXPECT_EQ(r.status, 254);
}

// Pairs written by nibabel read like the files they stand for: a NIfTI-1
// pair (plain and compressed) like the .nii of the same array and affine,
// Analyze pairs of both byte orders like the hand-written big-endian pair of
// the same voxels and spacing. Each file is the reference and the mask of a
// run; the component images and the masked statistics must agree byte for
// byte.
TEST(CliImageReadingNibabel, PairsReadLikeTheirSingleFileOrBigEndianTwin) {
  const std::string python = nuqtest::PythonWithNibabel();
  if (python.empty()) GTEST_SKIP() << "nibabel and numpy are not available in /usr/bin/python3";
  TempDir dir;
  const std::string make = R"PY(
import sys, numpy as np, nibabel as nib
d = sys.argv[1]
# file order: x fastest; rows are 1 only in the first file row of each slice
v = np.zeros((4, 3, 2), dtype=np.int16); v[:, 0, :] = 1; v[3, 2, 1] = 1
A = np.diag([2.0, 3.0, 4.0, 1.0]); A[:3, 3] = [-1.0, 2.0, 0.5]
nib.save(nib.Nifti1Image(v, A), d + '/single.nii')
nib.save(nib.Nifti1Pair(v, A), d + '/pair.hdr')
nib.save(nib.Nifti1Pair(v, A), d + '/zpair.hdr.gz')
for order, name in (('<', 'little'), ('>', 'big')):
    img = nib.AnalyzeImage(v, np.diag([2.0, 3.0, 4.0, 1.0]))
    h = img.header
    if h.endianness != order:
        h = h.as_byteswapped(order)
    nib.save(nib.AnalyzeImage(v, np.diag([2.0, 3.0, 4.0, 1.0]), header=h), d + '/' + name + '.hdr')
    assert open(d + '/' + name + '.hdr', 'rb').read(4) == (b'\x5c\x01\x00\x00' if order == '<' else b'\x00\x00\x01\x5c')
nib.save(nib.Nifti2Image(v, A), d + '/two.nii')
)PY";
  WriteWholeFile(dir.File("make.py"), make);
  ASSERT_EQ(std::system((python + " " + dir.File("make.py") + " " + dir.Path()).c_str()), 0);
  WriteWholeFile(dir.File("s.AFF"), kIdentity);

  // The big-endian pair as the tests write it by hand: same voxels, same
  // spacing.
  std::string h(348, '\0');
  auto put = [&](int at, unsigned v, int bytes) {
    for (int i = 0; i < bytes; ++i) h[at + i] = static_cast<char>((v >> (8 * (bytes - 1 - i))) & 0xff);
  };
  put(0, 348, 4);
  put(40, 3, 2);
  const int size[3] = {4, 3, 2};
  const float spacing[3] = {2, 3, 4};
  for (int d = 0; d < 3; ++d) {
    put(42 + 2 * d, static_cast<unsigned>(size[d]), 2);
    uint32_t bits;
    std::memcpy(&bits, &spacing[d], 4);
    put(80 + 4 * d, bits, 4);
  }
  put(48, 1, 2);
  put(70, 4, 2);
  put(72, 16, 2);
  WriteWholeFile(dir.File("hand.hdr"), h);
  std::string voxels(24 * 2, '\0');
  for (int k = 0; k < 2; ++k)
    for (int j = 0; j < 3; ++j)
      for (int i = 0; i < 4; ++i) {
        const bool one = j == 0 || (i == 3 && j == 2 && k == 1);
        voxels[2 * (i + 4 * (j + 3 * k)) + 1] = one ? 1 : 0;
      }
  WriteWholeFile(dir.File("hand.img"), voxels);

  struct Run {
    std::string stats;
    std::string x, y, z;
  };
  auto run = [&](const std::string &image, const std::string &out) {
    const nuqtest::ToolResult r =
        RunTool({image, "-mask", image, "-o", out, "-n", "1", "-t", "s.AFF"}, dir.Path());
    EXPECT_EQ(r.status, 0) << image << ": " << r.err;
    EXPECT_EQ(r.err, "") << image;
    const std::string key = "success: warping_index mean std max min =";
    const size_t at = r.out.find(key);
    Run result;
    if (at != std::string::npos) result.stats = r.out.substr(at, r.out.find('\n', at) - at);
    result.x = ReadWholeFile(dir.File(out + "_x.nii.gz"));
    result.y = ReadWholeFile(dir.File(out + "_y.nii.gz"));
    result.z = ReadWholeFile(dir.File(out + "_z.nii.gz"));
    return result;
  };
  auto same = [](const Run &a, const Run &b, const std::string &what) {
    SCOPED_TRACE(what);
    EXPECT_FALSE(a.stats.empty());
    EXPECT_EQ(a.stats, b.stats);
    EXPECT_FALSE(a.x.empty());
    EXPECT_TRUE(a.x == b.x && a.y == b.y && a.z == b.z);
  };
  const Run single = run("single.nii", "single");
  same(run("pair.hdr", "pair"), single, "NIfTI pair named by its header");
  same(run("pair.img", "pairimg"), single, "NIfTI pair named by its image");
  same(run("zpair.hdr.gz", "zpair"), single, "compressed NIfTI pair");
  const Run hand = run("hand.hdr", "hand");
  same(run("big.hdr", "big"), hand, "big-endian Analyze pair from nibabel");
  same(run("little.hdr", "little"), hand, "little-endian Analyze pair from nibabel");
  same(run("little.img", "littleimg"), hand, "little-endian Analyze pair named by its image");
  // The placements differ (qform against index 0 at world 0), so the fields do.
  EXPECT_NE(single.y, hand.y);

  // A NIfTI pair without its image file names the file that is missing.
  std::remove(dir.File("pair.img").c_str());
  const nuqtest::ToolResult lone = RunTool({"pair.hdr", "-n", "1", "-t", "s.AFF"}, dir.Path());
  EXPECT_EQ(lone.err,
            "error: Open nifti image pair.img failed (No such file or directory)\n"
            "error: open reference image pair.hdr\n");
  EXPECT_EQ(lone.status, 254);

  const nuqtest::ToolResult two = RunTool({"two.nii", "-n", "1", "-t", "s.AFF"}, dir.Path());
  EXPECT_EQ(two.err,
            "error: Open nifti image two.nii failed (NIfTI-2 is not read; convert it to NIfTI-1)\n"
            "error: open reference image two.nii\n");
  EXPECT_EQ(two.status, 254);
}

}  // namespace
