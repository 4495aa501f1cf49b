// AFFS transform files loaded by extension, as the option scan loads them;
// the working folder holds a region image r.nii and an affine l.AFF that
// seeds name.
#include "nuqFuzzTransformFile.h"

static const char kAffine[] = "#dimension#\n3\n#one to one#\n1\n";

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  nuqfuzz::Setup();
  static const bool s_bFixtures =
      nuqfuzz::WriteTinyNifti("r.nii") &&
      nuqfuzz::WriteBytes("l.AFF", reinterpret_cast<const std::uint8_t *>(kAffine),
                          sizeof(kAffine) - 1);
  (void)s_bFixtures;
  nuqfuzz::LoadTransformFile("AFFS", data, size);
  return 0;
}
