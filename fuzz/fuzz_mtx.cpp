// Matrix files: the first byte picks the extension (MTX, MAT or MATRIX), the
// rest is the file.
#include "nuqFuzzTransformFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  nuqfuzz::Setup();
  if (size == 0) return 0;
  static const char *const kExtensions[] = {"MTX", "MAT", "MATRIX"};
  nuqfuzz::LoadTransformFile(kExtensions[data[0] % 3], data + 1, size - 1);
  return 0;
}
