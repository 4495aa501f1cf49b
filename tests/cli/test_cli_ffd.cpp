// Free-form deformations through the tool: the field of an FFD file against
// an independent B-spline evaluation, control points stored as images, and
// refused or malformed FFD inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "nuqConsole.h"
#include "nuqCliFixtures.h"
#include "nuqImageIO.h"
#include "nuqTestSupport.h"
#include "nuqTransformFFD.h"

namespace {

using nuqclitest::ReadFloatVoxels;

using nuqtest::RunTool;
using nuqtest::TempDir;

using nuqtest::QuietSuccess;

// A 3-D deformation on a rotated grid with deterministic offsets.
void MakeDeformation(nuqTransformFFD &ffd) {
  nuqImageInfo placement;
  placement.SetDimension(3);
  placement.m_fQuaternB = 0.1f;
  placement.m_fQuaternC = 0.25f;
  placement.m_fQuaternD = -0.15f;
  placement.m_fQuaternOffset[0] = -6.0f;
  placement.m_fQuaternOffset[1] = -4.0f;
  placement.m_fQuaternOffset[2] = -3.0f;
  placement.UpdateOrientation(-2);
  ffd.SetDimension(3);
  ASSERT_TRUE(ffd.MallocForControlPoints(5, 3.0f, 4, 3.5f, 4, 2.5f, 1, 1.0f));
  ffd.SetControlGridOrientation(&placement);
  unsigned seed = 777u;
  for (int i = 0; i < ffd.GetNumberOfParameters(); ++i) {
    seed = seed * 1103515245u + 12345u;
    ffd.SetParameterValue(i, 1.5f * (static_cast<float>((seed >> 8) & 0xFFFF) / 32767.5f - 1.0f));
  }
}

}  // namespace

// The expected field is the B-spline sum written out in numpy: world points
// from the reference's qform, control-grid indices from the quaternion of
// the FFD file, weights of the 4 x 4 x 4 neighbouring nodes, offsets turned
// from the grid's axes into world axes.
TEST(CliFFD, FieldMatchesIndependentBSplineOnObliqueReference) {
  const std::string python = nuqtest::PythonWithNibabel();
  if (python.empty()) GTEST_SKIP() << "nibabel and numpy are not available";
  TempDir dir;
  const std::string make = R"PY(
import sys, numpy as np, nibabel as nib
d = sys.argv[1]
ax = np.array([0.4, 0.2, -0.7]); ax /= np.linalg.norm(ax); a = 0.5
K = np.array([[0, -ax[2], ax[1]], [ax[2], 0, -ax[0]], [-ax[1], ax[0], 0]])
R = np.eye(3) + np.sin(a) * K + (1 - np.cos(a)) * K @ K
A = np.eye(4); A[:3, :3] = R @ np.diag([1.5, 2.0, 2.5]); A[:3, 3] = [-8.0, -10.0, -6.0]
img = nib.Nifti1Image(np.zeros((12, 10, 9), dtype=np.int16), None)
img.set_qform(A, code=1); img.set_sform(None, code=0)
nib.save(img, d + '/ref.nii.gz')
rng = np.random.default_rng(7)
n = (6, 5, 5); s = (4.0, 5.0, 4.5)
o = rng.uniform(-2, 2, size=(n[2], n[1], n[0], 3))
q = (-1.0, 0.15, -0.2, 0.3, -6.0, -16.0, 14.0)
L = ['#dimension#', '3', '#one to one#', '1', '#control grid size#'] + ['%d' % v for v in n]
L += ['#control grid spacing#'] + ['%15f' % v for v in s] + ['#offsets of the control points#']
for z in range(n[2]):
    for y in range(n[1]):
        L.append(''.join('%f %f %f\t' % tuple(o[z, y, x]) for x in range(n[0])))
    L.append('')
L += ['#quaternion qf,qb,qc,qd,qx,qy,qz#', '%f\t %f\t%f\t%f\t %f\t%f\t%f' % q]
open(d + '/warp.FFD', 'w').write('\n'.join(L) + '\n')
)PY";
  nuqtest::WriteWholeFile(dir.File("make.py"), make);
  ASSERT_EQ(std::system((python + " " + dir.File("make.py") + " " + dir.Path()).c_str()), 0);
  const auto r = RunTool({"ref.nii.gz", "-o", "out", "-n", "1", "-t", "warp.FFD"}, dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");

  const std::string check = R"PY(
import sys, numpy as np, nibabel as nib
d = sys.argv[1]
ref = nib.load(d + '/ref.nii.gz')
txt = [l.split('#')[0].strip() for l in open(d + '/warp.FFD')]
txt = [l for l in txt if l]
n = [int(v) for v in txt[2:5]]; s = np.array([float(v) for v in txt[5:8]])
rows = txt[8:8 + n[1] * n[2]]
o = np.array([[float(v) for v in r.split()] for r in rows]).reshape(n[2], n[1], n[0], 3)
qf, b, c, dd, qx, qy, qz = [float(v) for v in txt[8 + n[1] * n[2]].split()]
aa = np.sqrt(max(0.0, 1 - b * b - c * c - dd * dd))
Rq = np.array([[aa*aa + b*b - c*c - dd*dd, 2*(b*c - aa*dd), 2*(b*dd + aa*c)],
               [2*(b*c + aa*dd), aa*aa + c*c - b*b - dd*dd, 2*(c*dd - aa*b)],
               [2*(b*dd - aa*c), 2*(c*dd + aa*b), aa*aa + dd*dd - c*c - b*b]])
Rq[:, 2] *= -1 if qf < 0 else 1
off = np.array([qx, qy, qz])
i, j, k = np.meshgrid(*[np.arange(m) for m in ref.shape], indexing='ij')
g = np.stack([i, j, k, np.ones_like(i)], -1).reshape(-1, 4).T.astype(float)
p = (ref.get_qform() @ g)[:3]
u = (np.linalg.inv(Rq @ np.diag(s)) @ (p - off[:, None]))
def basis(m, f):
    return [(1 - f) ** 3 / 6, (3 * f ** 3 - 6 * f ** 2 + 4) / 6,
            (-3 * f ** 3 + 3 * f ** 2 + 3 * f + 1) / 6, f ** 3 / 6][m]
fl = np.floor(u); fr = u - fl; fl = fl.astype(int)
disp = np.zeros_like(u)
for mx in range(4):
    for my in range(4):
        for mz in range(4):
            idx = fl + np.array([mx, my, mz])[:, None] - 1
            inside = np.all((idx >= 0) & (idx < np.array(n)[:, None]), axis=0)
            w = basis(mx, fr[0]) * basis(my, fr[1]) * basis(mz, fr[2]) * inside
            ci = np.where(inside[None, :], idx, 0)
            disp += w * o[ci[2], ci[1], ci[0]].T
expected = (Rq @ disp).T.reshape(ref.shape + (3,))
got = np.stack([nib.load(d + '/out_' + a + '.nii.gz').get_fdata() for a in 'xyz'], -1)
assert got.shape == expected.shape, (got.shape, expected.shape)
err = np.abs(got - expected).max()
moved = np.linalg.norm(expected, axis=-1)
print('max error %.3g mm, max displacement %.3g mm, still %d of %d' %
      (err, moved.max(), (moved == 0).sum(), moved.size))
sys.exit(0 if err < 1e-4 and moved.max() > 1 and (moved == 0).any() else 1)
)PY";
  nuqtest::WriteWholeFile(dir.File("check.py"), check);
  EXPECT_EQ(std::system((python + " " + dir.File("check.py") + " " + dir.Path()).c_str()), 0);
}

// The same control points stored as an FFD file and as a control-point
// image give the same field; names with other image endings are refused.
TEST(CliFFD, ControlPointImageLoadsLikeTheFFDFile) {
  TempDir dir;
  {
    QuietSuccess quiet;
    nuqTransformFFD ffd;
    MakeDeformation(ffd);
    nuqImageDataT<float> image;
    ASSERT_TRUE(ffd.ConvertControlPointsWithImage(&image, false));
    ASSERT_TRUE(SaveImageFile(&image, dir.File("warp.nii")));
    ASSERT_TRUE(SaveImageFile(&image, dir.File("warp.nii.gz")));
    ASSERT_TRUE(SaveImageFile(&image, dir.File("warp.gipl")));
    ASSERT_TRUE(ffd.SaveToFile(dir.File("warp.FFD")));
  }
  nuqclitest::WriteShortNifti(dir.File("ref.nii"), {9, 8, 7});
  const auto a = RunTool({"ref.nii", "-o", "a", "-n", "1", "-t", "warp.FFD"}, dir.Path());
  ASSERT_EQ(a.status, 0) << a.err;
  float largest = 0.0f;
  for (const char *name : {"warp.nii", "warp.gipl"}) {
    SCOPED_TRACE(name);
    const auto b = RunTool({"ref.nii", "-o", "b", "-n", "1", "-t", name}, dir.Path());
    ASSERT_EQ(b.status, 0) << b.err;
    std::string type = GetExtension(name);
    EXPECT_NE(b.out.find("success: new transform " + ToUpperCase(type) + "\n"), std::string::npos);
    for (const char *axis : {"x", "y", "z"}) {
      SCOPED_TRACE(axis);
      const auto va = ReadFloatVoxels(dir.File(std::string("a_") + axis + ".nii.gz"));
      const auto vb = ReadFloatVoxels(dir.File(std::string("b_") + axis + ".nii.gz"));
      ASSERT_EQ(va.size(), 9u * 8u * 7u);
      ASSERT_EQ(vb.size(), va.size());
      for (size_t i = 0; i < va.size(); ++i) {
        ASSERT_NEAR(va[i], vb[i], 1e-4f) << i;
        largest = std::max(largest, std::fabs(va[i]));
      }
    }
  }
  EXPECT_GT(largest, 0.5f);

  const auto gz = RunTool({"ref.nii", "-o", "c", "-n", "1", "-t", "warp.nii.gz"}, dir.Path());
  EXPECT_EQ(gz.status, 250);
  EXPECT_NE(gz.err.find("error: unknown transform file type:NII.GZ (the transform extensions read are AFF, MTX, MAT, AFFS, FFD, NII, GIPL, FFDMI, FLD, MATRIX)\n"
                        "error: unknown transform file:warp.nii.gz\n"),
            std::string::npos)
      << gz.err;
}

TEST(CliFFD, UnreadableDeformationsFailWithStatusMinusSix) {
  TempDir dir;
  nuqclitest::WriteShortNifti(dir.File("ref.nii"), {4, 4, 4});
  const std::string header =
      "#dimension#\n3\n#one to one#\n1\n#control grid size#\n2\n2\n2\n#control grid spacing#\n"
      "1\n1\n1\n#offsets of the control points#\n";
  nuqtest::WriteWholeFile(dir.File("short.FFD"), header + "0 0 0\t0 0 0\t\n0 0 0\n");
  nuqtest::WriteWholeFile(dir.File("huge.FFD"),
                          "#dimension#\n3\n#one to one#\n1\n2000000\n2000000\n2000000\n1\n1\n1\n");
  nuqtest::WriteWholeFile(dir.File("plain.ffdmi"), "not an image\n");
  struct Case {
    const char *file;
    const char *message;
  } cases[] = {
      {"short.FFD", "error: Open FFD Transformation Failed in reading base stream!\n"},
      {"huge.FFD", "error: Open FFD Transformation Failed in reading base stream!\n"},
      {"missing.FFD", "error: fail in opening transformation file missing.FFD! (No such file or directory)\n"},
      {"plain.ffdmi", "error: cannot read control-point image plain.ffdmi\n"},
      {"ref.nii", "error: control-point image ref.nii has 1 components for 3-D control points\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.file);
    const auto r = RunTool({"ref.nii", "-o", "out", "-n", "1", "-t", c.file}, dir.Path());
    EXPECT_EQ(r.status, 250);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(std::string("error: reading transform file:") + c.file + "\n"),
              std::string::npos)
        << r.err;
  }
}

// -jac of a deformation on an oblique reference: the analytic determinant
// the tool takes on the control grid against central differences of the
// mapping at every reference voxel, and the report against their statistics.
TEST(CliFFD, JacobianMatchesFiniteDifferenceDeterminant) {
  TempDir dir;
  nuqTransformFFD ffd;
  {
    QuietSuccess quiet;
    MakeDeformation(ffd);
    ASSERT_TRUE(ffd.SaveToFile(dir.File("warp.FFD")));
    nuqImageInfo placement;
    placement.SetDimension(3);
    placement.m_fQuaternQf = -1.0f;
    placement.m_fQuaternB = -0.2f;
    placement.m_fQuaternC = 0.1f;
    placement.m_fQuaternD = 0.3f;
    placement.m_fQuaternOffset[0] = -4.0f;
    placement.m_fQuaternOffset[1] = -3.0f;
    placement.m_fQuaternOffset[2] = 6.0f;
    placement.UpdateOrientation(-2);
    nuqImageDataT<short> ref;
    const int size[4] = {10, 9, 8, 1};
    const float spacing[4] = {1.2f, 1.0f, 1.5f, 1.0f};
    ASSERT_TRUE(ref.NewImage(3, size, spacing, &placement));
    ASSERT_TRUE(SaveImageFile(&ref, dir.File("ref.nii.gz")));
  }
  const auto r = RunTool({"ref.nii.gz", "-o", "jac", "-n", "1", "-t", "warp.FFD", "-jac"},
                         dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<float> jac = ReadFloatVoxels(dir.File("jac.nii.gz"));
  ASSERT_EQ(jac.size(), 10u * 9u * 8u);

  nuqImageDataT<short> ref;
  {
    QuietSuccess quiet;
    ASSERT_TRUE(ReadImageFile(&ref, dir.File("ref.nii.gz")));
  }
  const float h = 0.01f;
  double sum = 0, sumSquares = 0, maximum = -1e20, minimum = 1e20, worst = 0;
  size_t index = 0, changed = 0;
  for (int z = 0; z < 8; ++z)
    for (int y = 0; y < 9; ++y)
      for (int x = 0; x < 10; ++x, ++index) {
        float p[4] = {float(x), float(y), float(z), 0};
        ref.ImageToWorld(p);
        double J[3][3];
        for (int c = 0; c < 3; ++c) {
          float a[4] = {p[0], p[1], p[2], 0}, b[4] = {p[0], p[1], p[2], 0};
          a[c] += h;
          b[c] -= h;
          float ya[4], yb[4];
          ffd.TransformWorldToWorld(a, ya);
          ffd.TransformWorldToWorld(b, yb);
          for (int k = 0; k < 3; ++k) J[k][c] = (double(ya[k]) - yb[k]) / (2.0 * h);
        }
        const double det = J[0][0] * (J[1][1] * J[2][2] - J[1][2] * J[2][1]) -
                           J[0][1] * (J[1][0] * J[2][2] - J[1][2] * J[2][0]) +
                           J[0][2] * (J[1][0] * J[2][1] - J[1][1] * J[2][0]);
        worst = std::max(worst, std::fabs(det - jac[index]));
        if (std::fabs(det - 1.0) > 0.05) ++changed;
        sum += det;
        sumSquares += det * det;
        maximum = std::max(maximum, det);
        minimum = std::min(minimum, det);
      }
  EXPECT_LT(worst, 2e-3);
  EXPECT_GT(changed, jac.size() / 4);  // the deformation really varies the volume
  const double n = double(jac.size());
  const std::string key = "\t Mask jacobian (mean, std, max, min)\t";
  const size_t at = r.out.find(key);
  ASSERT_NE(at, std::string::npos) << r.out;
  std::istringstream report(r.out.substr(at + key.size()));
  double mean = 0, std = 0, max = 0, min = 0;
  report >> mean >> std >> max >> min;
  EXPECT_NEAR(mean, sum / n, 1e-3);
  EXPECT_NEAR(std, std::sqrt(sumSquares / n - (sum / n) * (sum / n)), 1e-3);
  EXPECT_NEAR(max, maximum, 2e-3);
  EXPECT_NEAR(min, minimum, 2e-3);
}
