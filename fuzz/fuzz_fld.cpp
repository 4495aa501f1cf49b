// FLD files; the working folder holds small component images fx.nii,
// fy.nii and fz.nii that seeds name, so the component reads are reached.
#include "nuqFuzzTransformFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  nuqfuzz::Setup();
  static const bool s_bFixtures = nuqfuzz::WriteTinyNifti("fx.nii") &&
                                  nuqfuzz::WriteTinyNifti("fy.nii") &&
                                  nuqfuzz::WriteTinyNifti("fz.nii");
  (void)s_bFixtures;
  nuqfuzz::LoadTransformFile("FLD", data, size);
  return 0;
}
