#include "nuqCliFixtures.h"

#include "nuqConsole.h"
#include "nuqImageIO.h"

#include <nifti1_io.h>

#include <cstdio>
#include <stdexcept>

namespace nuqclitest {

std::string WriteShortNifti(const std::string &fileName, const std::vector<int> &sizes,
                            short value) {
  if (sizes.size() < 2 || sizes.size() > 4) throw std::invalid_argument("2 to 4 sizes");
  int dims[8] = {static_cast<int>(sizes.size()), 1, 1, 1, 1, 1, 1, 1};
  for (size_t k = 0; k < sizes.size(); ++k) dims[k + 1] = sizes[k];
  nifti_image *nim = nifti_make_new_nim(dims, NIFTI_TYPE_INT16, 1);
  if (!nim) throw std::runtime_error("nifti_make_new_nim failed");
  short *voxels = static_cast<short *>(nim->data);
  for (size_t i = 0; i < nim->nvox; ++i) voxels[i] = value;
  nim->qform_code = NIFTI_XFORM_SCANNER_ANAT;
  nim->quatern_b = nim->quatern_c = nim->quatern_d = 0.0f;
  nim->qoffset_x = -2.0f;
  nim->qoffset_y = -3.0f;
  nim->qoffset_z = -1.0f;
  nim->qfac = 1.0f;
  nim->qto_xyz = nifti_quatern_to_mat44(nim->quatern_b, nim->quatern_c, nim->quatern_d,
                                        nim->qoffset_x, nim->qoffset_y, nim->qoffset_z, nim->dx,
                                        nim->dy, nim->dz, nim->qfac);
  nim->qto_ijk = nifti_mat44_inverse(nim->qto_xyz);
  if (nifti_set_filenames(nim, fileName.c_str(), 0, 1) != 0) {
    nifti_image_free(nim);
    throw std::runtime_error("nifti_set_filenames failed for " + fileName);
  }
  nifti_image_write(nim);  // reports nothing back; check the file instead
  nifti_image_free(nim);
  std::FILE *check = std::fopen(fileName.c_str(), "rb");
  if (!check) throw std::runtime_error("could not write " + fileName);
  std::fclose(check);
  return fileName;
}

std::string Echo(const std::vector<std::string> &args) {
  std::string line = std::string(NUQ_TOOL_PATH) + " ";
  for (const std::string &a : args) line += a + " ";
  return line + "\n";
}

std::vector<float> ReadFloatVoxels(const std::string &fileName) {
  const int saved = g_nVerbose;
  g_nVerbose = 0;
  nuqImageDataT<float> volume;
  const bool read = ReadImageFile(&volume, fileName);
  g_nVerbose = saved;
  if (!read) return {};
  const float *data = volume.GetImageData();
  return std::vector<float>(data, data + volume.GetNumberOfPixels());
}

}  // namespace nuqclitest
