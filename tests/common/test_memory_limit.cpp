// Allocation requests beyond the machine's memory are refused with a message.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "nuqImageData.h"
#include "nuqMemoryLimit.h"

TEST(MemoryLimit, RequestsBeyondTheAvailableMemoryAreRefused) {
  const std::uint64_t available = GetAvailableMemoryBytes();
  ASSERT_GT(available, 0u) << "the machine reports no memory";
  EXPECT_TRUE(CheckAllocation(1024, "small buffer"));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(CheckAllocation(std::numeric_limits<std::uint64_t>::max(), "image big.nii"));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.compare(0, 30, "error: image big.nii needs 184"), 0) << err;
  EXPECT_NE(err.find(" bytes of memory available\n"), std::string::npos) << err;
}

TEST(MemoryLimit, NewImageRefusesAGridLargerThanTheMemory) {
  // 2^31 - 1 doubles of voxels would not fit; this build has no double
  // volume, so a float grid just under the voxel limit is asked for only when
  // the machine cannot hold it.
  const std::uint64_t bytes = static_cast<std::uint64_t>(std::numeric_limits<int>::max()) * 4;
  if (GetAvailableMemoryBytes() >= bytes) GTEST_SKIP() << "enough memory for the largest grid";
  nuqImageDataT<float> image;
  const int size[4] = {1290, 1290, 1290, 1};
  const float spacing[4] = {1, 1, 1, 1};
  nuqImageInfo placement;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(image.NewImage(3, size, spacing, &placement));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("bytes of memory available"),
            std::string::npos);
}
