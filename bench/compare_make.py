#!/usr/bin/python3
"""Inputs of bench/compare, written into the folder given as the argument.

- ref.nii: 256x256x180, 1 mm, int16, qform only (code 1), the grid turned a
  few degrees about z and x so that direction matrices matter;
- affine.AFF and affine_tp.txt: one affine (rotation, scaling, skew,
  translation about a centre) as our AFF file and as an elastix
  TransformParameters file;
- bspline.FFD and bspline_tp.txt: a cubic B-spline with 10 mm control
  spacing covering the reference, offsets uniform in [-4, 4] mm.

elastix works in ITK's LPS world: x and y of points, of translations and of
B-spline coefficients change sign against the RAS world of NIfTI and of our
files, and a matrix A becomes F A F with F = diag(-1, -1, 1). It lists
direction matrices column by column. Its B-spline grid gets three extra rings
of zero coefficients: it leaves a point unmoved unless all 4x4x4 nodes around
it lie in the grid, while our nodes outside the grid count as zero.
"""
import math
import sys

import nibabel as nib
import numpy as np

out = sys.argv[1]
size = (256, 256, 180)
F = np.diag([-1.0, -1.0, 1.0])


def rot(axis, deg):
    a = math.radians(deg)
    c, s = math.cos(a), math.sin(a)
    m = np.eye(3)
    i, j = [(1, 2), (0, 2), (0, 1)][axis]
    m[i, i], m[i, j], m[j, i], m[j, j] = c, -s, s, c
    return m


def nums(values, fmt='%.10g'):
    return ' '.join(fmt % v for v in values)


# Reference: grid centre near world 0.
R = rot(2, 7.0) @ rot(0, -4.0)
centre = (np.array(size) - 1) / 2.0
aff = np.eye(4)
aff[:3, :3] = R
aff[:3, 3] = np.array([3.0, -12.0, 20.0]) - R @ centre
ramp = np.arange(size[0], dtype=np.int16)[:, None, None]
img = nib.Nifti1Image(np.broadcast_to(ramp, size).copy(), None)
img.set_qform(aff, code=1)
img.set_sform(None, code=0)
nib.save(img, out + '/ref.nii')
# The grid as every reader sees it: the matrix rebuilt from the stored
# quaternion, not the one handed in.
q = nib.load(out + '/ref.nii').header.get_qform()
ref_origin_lps = F @ q[:3, 3]
ref_dir_lps = F @ q[:3, :3]


def grid_lines(origin, direction):
    return ['(Size %s)' % nums(size, '%d'), '(Index 0 0 0)',
            '(Spacing 1 1 1)', '(Origin %s)' % nums(origin),
            '(Direction %s)' % nums(direction.T.ravel()),  # column by column
            '(UseDirectionCosines "true")']


common = ['(FixedImageDimension 3)', '(MovingImageDimension 3)',
          '(FixedInternalImagePixelType "float")',
          '(MovingInternalImagePixelType "float")',
          '(InitialTransformParametersFileName "NoInitialTransform")',
          '(HowToCombineTransforms "Compose")',
          '(ResampleInterpolator "FinalBSplineInterpolator")',
          '(FinalBSplineInterpolationOrder 3)',
          '(Resampler "DefaultResampler")', '(DefaultPixelValue 0)',
          '(ResultImageFormat "nii.gz")', '(ResultImagePixelType "float")',
          '(CompressResultImage "true")'] + grid_lines(ref_origin_lps,
                                                       ref_dir_lps)

# Affine, built the way our AFF reader rebuilds its matrix: x maps to
# L (x - c) + c + t.
c = np.array([10.0, -20.0, 5.0])
angles = [3.0, -2.0, 5.0]
scaling = [1.05, 0.97, 1.02]
t = np.array([4.0, -3.0, 2.0])
skew = [1.0, 0.5, 0.0, 0.0, 0.0, 0.0]
d2r = float(np.float32(3.14159)) / 180.0
cx, cy, cz = (math.cos(a * d2r) for a in angles)
sx, sy, sz = (math.sin(a * d2r) for a in angles)
Rot = np.array([[cy * cz, cy * sz, -sy],
                [sx * sy * cz - cx * sz, sx * sy * sz + cx * cz, sx * cy],
                [cx * sy * cz + sx * sz, cx * sy * sz - sx * cz, cx * cy]])
tn = [math.tan(a * d2r) for a in skew]
Kxy, Kyz, Kzx = np.eye(3), np.eye(3), np.eye(3)
Kxy[1, 0], Kxy[0, 1] = tn[0], tn[1]
Kyz[1, 2], Kyz[2, 1] = tn[2], tn[3]
Kzx[2, 0], Kzx[0, 2] = tn[4], tn[5]
L = Rot @ (((Kyz @ Kzx) @ Kxy) @ np.diag(scaling))
T = t + c - L @ c
M = np.eye(4)
M[:3, :3], M[:3, 3] = L, T
aff_lines = ['#dimension#', '3', '#one to one#', '1',
             '#rotation center#', '\t'.join('%f' % v for v in c),
             '#rotation angle#', '\t'.join('%f' % v for v in angles),
             '#scaling#', '\t'.join('%f' % v for v in scaling),
             '#translation#', '\t'.join('%f' % v for v in t)]
for i in range(3):
    aff_lines += ['#skew#', '%f' % skew[2 * i], '%f' % skew[2 * i + 1]]
aff_lines += ['#matrix#'] + ['\t'.join('%f' % v for v in row) for row in M]
open(out + '/affine.AFF', 'w').write('\n'.join(aff_lines) + '\n')
A = F @ L @ F
open(out + '/affine_tp.txt', 'w').write('\n'.join(
    ['(Transform "AffineTransform")', '(NumberOfParameters 12)',
     '(TransformParameters %s %s)' % (nums(A.ravel()), nums(F @ T)),
     '(CenterOfRotationPoint 0 0 0)'] + common) + '\n')

# B-spline: control grid on the world axes (quaternion identity), node 0 one
# spacing below the reference's world bounding box.
corners = np.array([[i, j, k, 1] for i in (0, size[0] - 1)
                    for j in (0, size[1] - 1) for k in (0, size[2] - 1)])
world = (q @ corners.T)[:3].T
lo, hi = world.min(0), world.max(0)
s = 10.0
node0 = np.floor(lo) - s
n = [int(math.ceil((hi[a] - node0[a]) / s)) + 2 for a in range(3)]
rng = np.random.RandomState(20261210)
off = rng.uniform(-4.0, 4.0, size=(n[2], n[1], n[0], 3))
off = np.array([[[[float('%f' % v) for v in p] for p in row] for row in sl]
                for sl in off])
lines = ['#dimension#', '3', '#one to one#', '1', '#control grid size#']
lines += ['%d' % v for v in n] + ['#control grid spacing#'] + ['%15f' % s] * 3
lines += ['#offsets of the control points#']
for z in range(n[2]):
    for y in range(n[1]):
        lines.append('\t'.join(' '.join('%f' % v for v in off[z, y, x])
                               for x in range(n[0])))
    lines.append('')
lines += ['#quaternion qf,qb,qc,qd,qx,qy,qz#',
          '1.000000\t 0.000000\t0.000000\t0.000000\t %f\t%f\t%f' % tuple(node0)]
open(out + '/bspline.FFD', 'w').write('\n'.join(lines) + '\n')

pad = 3
big = np.zeros((n[2] + 2 * pad, n[1] + 2 * pad, n[0] + 2 * pad, 3))
big[pad:-pad, pad:-pad, pad:-pad] = off
coef = big.copy()
coef[..., 0] *= -1.0
coef[..., 1] *= -1.0
params = np.concatenate([coef[..., k].ravel() for k in range(3)])
gsize = [v + 2 * pad for v in n]
gorigin = F @ (node0 - pad * s)
open(out + '/bspline_tp.txt', 'w').write('\n'.join(
    ['(Transform "BSplineTransform")',
     '(NumberOfParameters %d)' % params.size,
     '(TransformParameters %s)' % nums(params, '%.6f'),
     '(GridSize %s)' % nums(gsize, '%d'), '(GridIndex 0 0 0)',
     '(GridSpacing %s)' % nums([s] * 3),
     '(GridOrigin %s)' % nums(gorigin),
     '(GridDirection %s)' % nums(F.T.ravel()),
     '(BSplineTransformSplineOrder 3)', '(UseCyclicTransform "false")']
    + common) + '\n')
print('control grid %dx%dx%d, node 0 at %s' % (n[0], n[1], n[2], node0))
