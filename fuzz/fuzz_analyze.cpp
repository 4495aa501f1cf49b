// Analyze 7.5 pairs: the first 348 bytes become the .hdr file, the rest the
// .img file, read through ReadImageFile by the header's name.
#include <algorithm>

#include "nuqFuzzSupport.h"
#include "nuqImageData.h"
#include "nuqImageIO.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  nuqfuzz::Setup();
  const std::size_t header = std::min<std::size_t>(size, 348);
  if (!nuqfuzz::WriteBytes("in.hdr", data, header)) return 0;
  if (!nuqfuzz::WriteBytes("in.img", data + header, size - header)) return 0;
  nuqImageDataT<short> volume;
  ReadImageFile(&volume, "in.hdr");
  return 0;
}
