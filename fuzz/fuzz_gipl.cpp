// GIPL images through ReadImageFile, as short and as float volumes.
#include "nuqFuzzSupport.h"
#include "nuqImageData.h"
#include "nuqImageIO.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  nuqfuzz::Setup();
  if (!nuqfuzz::WriteBytes("in.gipl", data, size)) return 0;
  nuqImageDataT<short> shortVolume;
  ReadImageFile(&shortVolume, "in.gipl");
  nuqImageDataT<float> floatVolume;
  ReadImageFile(&floatVolume, "in.gipl");
  return 0;
}
