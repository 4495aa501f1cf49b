// The minimum and maximum of a written GIPL header are those of the whole
// volume, wherever its extremes lie (not its first and last voxels).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "nuqConsole.h"
#include "nuqGiplIO.h"
#include "nuqImageData.h"
#include "nuqTestSupport.h"

namespace {

double F64BigEndian(const std::string &bytes, size_t offset) {
  std::uint64_t u = 0;
  for (int i = 0; i < 8; ++i) u = (u << 8) | static_cast<unsigned char>(bytes[offset + i]);
  double d;
  std::memcpy(&d, &u, sizeof d);
  return d;
}

template <class T>
std::string WriteAndRead(const nuqtest::TempDir &dir, const std::vector<T> &values, int code) {
  nuqImageInfo info;
  const int size[4] = {3, 2, 1, 1};
  const float spacing[4] = {1, 1, 1, 1};
  nuqImageDataT<T> volume;
  const int saved = g_nVerbose;
  g_nVerbose = 0;
  const bool made = volume.NewImage(3, size, spacing, &info);
  for (size_t i = 0; i < values.size(); ++i) volume.SetPixelGreyscaleByIndex(int(i), values[i]);
  const bool written = made && WriteGiplImage(&volume, code, dir.File("m.gipl"));
  g_nVerbose = saved;
  EXPECT_TRUE(written);
  return nuqtest::ReadWholeFile(dir.File("m.gipl"));
}

TEST(GiplAuditHeader, MinimumAndMaximumAreTheVolumesExtremes) {
  nuqtest::TempDir dir;
  const std::string f = WriteAndRead<float>(dir, {5, -7.5f, 12.25f, 0, 3, -1}, 64);
  ASSERT_EQ(f.size(), 256u + 6 * 4);
  EXPECT_EQ(F64BigEndian(f, 188), -7.5);
  EXPECT_EQ(F64BigEndian(f, 196), 12.25);

  const std::string s = WriteAndRead<short>(dir, {4, 9, -2, 30000, -31000, 1}, 15);
  ASSERT_EQ(s.size(), 256u + 6 * 2);
  EXPECT_EQ(F64BigEndian(s, 188), -31000.0);
  EXPECT_EQ(F64BigEndian(s, 196), 30000.0);
}

}  // namespace
