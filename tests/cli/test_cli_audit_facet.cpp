// -facet takes physical coordinates of the reference (index times spacing);
// the corners the local-affine transform keeps, and -savenewAFFS writes, are
// world points of the reference: here physical / spacing, then grid to world.
#include <gtest/gtest.h>

#include <string>

#include "nuqTestSupport.h"

#include <nifti1_io.h>

namespace {

// int16 NIfTI-1, axis-aligned qform with the given spacing and offset.
void WriteNifti(const std::string &name, const int size[3], const float spacing[3], const float offset[3],
                short value) {
  int dims[8] = {3, size[0], size[1], size[2], 1, 1, 1, 1};
  nifti_image *nim = nifti_make_new_nim(dims, DT_INT16, 1);
  ASSERT_NE(nim, nullptr);
  nim->dx = nim->pixdim[1] = spacing[0];
  nim->dy = nim->pixdim[2] = spacing[1];
  nim->dz = nim->pixdim[3] = spacing[2];
  nim->qform_code = NIFTI_XFORM_SCANNER_ANAT;
  nim->quatern_b = nim->quatern_c = nim->quatern_d = 0.0f;
  nim->qoffset_x = offset[0];
  nim->qoffset_y = offset[1];
  nim->qoffset_z = offset[2];
  nim->qfac = 1;
  nim->qto_xyz =
      nifti_quatern_to_mat44(0, 0, 0, offset[0], offset[1], offset[2], spacing[0], spacing[1], spacing[2], 1);
  nim->qto_ijk = nifti_mat44_inverse(nim->qto_xyz);
  short *data = static_cast<short *>(nim->data);
  for (int i = 0; i < size[0] * size[1] * size[2]; ++i) data[i] = value;
  ASSERT_EQ(nifti_set_filenames(nim, name.c_str(), 0, 1), 0);
  nifti_image_write(nim);
  nifti_image_free(nim);
}

TEST(CliAuditFacet, PhysicalCornersBecomeWorldPointsOfTheReference) {
  nuqtest::TempDir dir;
  const int size[3] = {8, 8, 8};
  const float spacing[3] = {2, 2, 2}, offset[3] = {-2, -3, -1};
  WriteNifti(dir.File("ref.nii.gz"), size, spacing, offset, 1);
  WriteNifti(dir.File("r.nii.gz"), size, spacing, offset, 1);
  nuqtest::WriteWholeFile(dir.File("a.AFF"),
                          "#dimension#\n3\n#one to one#\n1\n#rotation center#\n0\t0\t0\n#rotation angle#\n0\t0\t0\n"
                          "#scaling#\n1\t1\t1\n#translation#\n1\t0\t0\n");
  const auto r = nuqtest::RunTool({"ref.nii.gz", "-locaff", "1", "a.AFF", "-loc", "1", "r.nii.gz", "-facet", "2", "4",
                                   "6", "10", "12", "14", "-savenewAFFS", "-n", "1", "-o", "new"},
                                  dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("success: save new format AFFS with file names of local regions\n"), std::string::npos)
      << r.out;
  // Physical (2, 4, 6) is voxel (1, 2, 3), world (0, 1, 5); physical
  // (10, 12, 14) is voxel (5, 6, 7), world (8, 9, 13).
  const std::string text = nuqtest::ReadWholeFile(dir.File("new.AFFS"));
  EXPECT_NE(text.find("# Corner coordinates x y z t, from#\n 0.000000\n 1.000000\n 5.000000\n 0.000000\n"
                      "# Corner coordinates x y z t, to#\n 8.000000\n 9.000000\n 13.000000\n 0.000000 \n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("r.nii.gz\n"), std::string::npos) << text;
}

}  // namespace
