// FFD transform files loaded by extension, as the option scan loads them.
#include "nuqFuzzTransformFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  nuqfuzz::Setup();
  nuqfuzz::LoadTransformFile("FFD", data, size);
  return 0;
}
