// NIfTI-1 single files: the header checks, the data type dispatch and the
// voxel read of ReadImageFile, as short and as float volumes.
#include "nuqFuzzSupport.h"
#include "nuqImageData.h"
#include "nuqImageIO.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  nuqfuzz::Setup();
  if (!nuqfuzz::WriteBytes("in.nii", data, size)) return 0;
  nuqImageDataT<short> shortVolume;
  ReadImageFile(&shortVolume, "in.nii");
  nuqImageDataT<float> floatVolume;
  ReadImageFile(&floatVolume, "in.nii");
  return 0;
}
