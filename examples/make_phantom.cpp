// Writes the example reference image examples/phantom.nii.gz: a 64x64x48
// int16 head-like phantom (an ellipsoidal shell around a brain-like
// ellipsoid with two ventricle-like holes and a bright lesion) on a 3 mm grid
// with an oblique qform, rotated 12 degrees about the axis (0.8, 0, 0.6) and
// placed so that the grid centre lies at world (0, -10, 5) mm.
//
// Usage: make_phantom [output name]   (default examples/phantom.nii.gz)
#include <nifti1_io.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace {

// Inside the ellipsoid with centre c and semi-axes r (all in voxels)?
bool Inside(float x, float y, float z, const float c[3], const float r[3]) {
  const float dx = (x - c[0]) / r[0], dy = (y - c[1]) / r[1], dz = (z - c[2]) / r[2];
  return dx * dx + dy * dy + dz * dz <= 1.0f;
}

short PhantomValue(int x, int y, int z) {
  const float centre[3] = {31.5f, 31.5f, 23.5f};
  const float head[3] = {28.0f, 30.0f, 21.0f}, brain[3] = {24.0f, 26.0f, 17.0f};
  const float ventricleL[3] = {26.0f, 33.0f, 24.0f}, ventricleR[3] = {37.0f, 33.0f, 24.0f};
  const float ventricleSize[3] = {3.0f, 8.0f, 4.0f};
  const float lesion[3] = {40.0f, 20.0f, 30.0f}, lesionSize[3] = {3.0f, 3.0f, 3.0f};
  if (!Inside(x, y, z, centre, head)) return 0;
  if (!Inside(x, y, z, centre, brain)) return 300;  // skull-like shell
  if (Inside(x, y, z, ventricleL, ventricleSize) || Inside(x, y, z, ventricleR, ventricleSize))
    return 40;
  if (Inside(x, y, z, lesion, lesionSize)) return 900;
  return 500;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string name = argc > 1 ? argv[1] : "examples/phantom.nii.gz";
  int dims[8] = {3, 64, 64, 48, 1, 1, 1, 1};
  nifti_image *nim = nifti_make_new_nim(dims, NIFTI_TYPE_INT16, 1);
  if (!nim) {
    std::fprintf(stderr, "error: cannot create the phantom image\n");
    return 1;
  }
  short *voxels = static_cast<short *>(nim->data);
  for (int z = 0; z < 48; ++z)
    for (int y = 0; y < 64; ++y)
      for (int x = 0; x < 64; ++x) voxels[x + 64 * (y + 64 * z)] = PhantomValue(x, y, z);

  nim->dx = nim->pixdim[1] = 3.0f;
  nim->dy = nim->pixdim[2] = 3.0f;
  nim->dz = nim->pixdim[3] = 3.0f;
  nim->xyz_units = NIFTI_UNITS_MM;

  // Quaternion of a 12 degree rotation about the unit axis (0.8, 0, 0.6).
  const double half = 0.5 * 12.0 * 3.14159265358979 / 180.0;
  nim->quatern_b = static_cast<float>(0.8 * std::sin(half));
  nim->quatern_c = 0.0f;
  nim->quatern_d = static_cast<float>(0.6 * std::sin(half));
  nim->qfac = 1.0f;
  nim->qform_code = NIFTI_XFORM_SCANNER_ANAT;
  nim->sform_code = NIFTI_XFORM_UNKNOWN;

  // Offset that puts the grid centre at world (0, -10, 5).
  const mat44 rs = nifti_quatern_to_mat44(nim->quatern_b, nim->quatern_c, nim->quatern_d, 0.0f,
                                          0.0f, 0.0f, nim->dx, nim->dy, nim->dz, nim->qfac);
  const float centre[3] = {31.5f, 31.5f, 23.5f}, target[3] = {0.0f, -10.0f, 5.0f};
  float offset[3];
  for (int r = 0; r < 3; ++r)
    offset[r] = target[r] - (rs.m[r][0] * centre[0] + rs.m[r][1] * centre[1] + rs.m[r][2] * centre[2]);
  nim->qoffset_x = offset[0];
  nim->qoffset_y = offset[1];
  nim->qoffset_z = offset[2];
  nim->qto_xyz = nifti_quatern_to_mat44(nim->quatern_b, nim->quatern_c, nim->quatern_d,
                                        nim->qoffset_x, nim->qoffset_y, nim->qoffset_z, nim->dx,
                                        nim->dy, nim->dz, nim->qfac);
  nim->qto_ijk = nifti_mat44_inverse(nim->qto_xyz);
  std::snprintf(nim->descrip, sizeof(nim->descrip), "nuqkit example phantom");

  if (nifti_set_filenames(nim, name.c_str(), 0, 1) != 0) {
    std::fprintf(stderr, "error: bad output name %s\n", name.c_str());
    nifti_image_free(nim);
    return 1;
  }
  nifti_image_write(nim);  // reports nothing back; check the file instead
  nifti_image_free(nim);
  std::FILE *check = std::fopen(name.c_str(), "rb");
  if (!check) {
    std::fprintf(stderr, "error: could not write %s\n", name.c_str());
    return 1;
  }
  std::fclose(check);
  std::printf("success: wrote %s\n", name.c_str());
  return 0;
}
