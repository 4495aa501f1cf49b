// Small fixtures for the command-line tests, written with nifticlib directly
// so that they do not depend on the toolkit's own image writer.
#pragma once

#include <string>
#include <vector>

namespace nuqclitest {

// Writes an int16 NIfTI-1 image of the given sizes (2 to 4 entries), spacing
// 1 mm, an axis-aligned qform, voxels set to `value`. Returns the file name.
std::string WriteShortNifti(const std::string &fileName, const std::vector<int> &sizes,
                            short value = 1);

// Voxels of an image file read as floats (quietly); empty when unreadable.
std::vector<float> ReadFloatVoxels(const std::string &fileName);

// The echo line of a run: tool path and every argument, each with a blank.
std::string Echo(const std::vector<std::string> &args);

}  // namespace nuqclitest
