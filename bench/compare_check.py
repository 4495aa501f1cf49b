#!/usr/bin/python3
"""Helpers of bench/compare (nibabel + numpy).

  field PREFIX DEF     our PREFIX_x/_y/_z.nii.gz against transformix's
                       deformationField (LPS vectors: x and y change sign);
                       prints the largest difference in mm
  jac OURS PEER        largest difference of two Jacobian maps
  stack PREFIX OUT     our three components as one 4-D displacement image
  split IN PREFIX      a 4-D displacement image as PREFIX_x/_y/_z.nii.gz and
                       the PREFIX.FLD that lists them
  stats MAG            mean, p99 and max of a magnitude image over its
                       finite voxels, and the count of the others
The first two exit with status 1 when the largest difference is 1e-3 or more
or the grids differ.
"""
import os
import sys

import nibabel as nib
import numpy as np

TOL = 1e-3


def load(name):
    img = nib.load(name)
    return img, np.asarray(img.dataobj, dtype=np.float64)


def components(prefix):
    imgs = [load('%s_%s.nii.gz' % (prefix, a)) for a in 'xyz']
    return imgs[0][0], np.stack([v for _, v in imgs], -1)


def same_grid(a, b):
    return (a.shape[:3] == b.shape[:3]
            and np.abs(a.affine - b.affine).max() < 1e-4)


def verdict(what, diff, grid_ok):
    ok = diff < TOL and grid_ok
    print('%s: max difference %.3g%s -> %s' % (
        what, diff, '' if grid_ok else ' (grids differ)',
        'same' if ok else 'DIFFERENT'))
    sys.exit(0 if ok else 1)


cmd = sys.argv[1]
if cmd == 'field':
    ref, ours = components(sys.argv[2])
    peer, v = load(sys.argv[3])
    v = v.reshape(v.shape[:3] + (3,)) * np.array([-1.0, -1.0, 1.0])
    verdict('field (mm)', float(np.abs(v - ours).max()), same_grid(ref, peer))
elif cmd == 'jac':
    a, va = load(sys.argv[2])
    b, vb = load(sys.argv[3])
    verdict('jacobian', float(np.abs(va - vb.reshape(va.shape)).max()),
            same_grid(a, b))
elif cmd == 'stack':
    ref, ours = components(sys.argv[2])
    out = nib.Nifti1Image(ours.astype(np.float32), ref.affine)
    out.set_qform(ref.affine, code=1)
    out.set_sform(None, code=0)
    nib.save(out, sys.argv[3])
elif cmd == 'split':
    img, v = load(sys.argv[2])
    prefix = sys.argv[3]
    v = v.reshape(v.shape[:3] + (3,))
    base = os.path.basename(prefix)
    text = '#dimension#\n3\n#one to one#\n1\n'
    for k, a in enumerate('xyz'):
        out = nib.Nifti1Image(v[..., k].astype(np.float32), img.affine)
        out.set_qform(img.affine, code=1)
        out.set_sform(None, code=0)
        nib.save(out, '%s_%s.nii.gz' % (prefix, a))
        text += '\n#transformation fields in dimension %s#\n%s_%s.nii.gz\n' % (
            a, base, a)
    open(prefix + '.FLD', 'w').write(text)
elif cmd == 'stats':
    _, m = load(sys.argv[2])
    ok = np.isfinite(m)
    f = m[ok]
    print('%.4f\t%.4f\t%.4f\t(%d voxels not finite, left out)' % (
        f.mean(), np.percentile(f, 99), f.max(), m.size - ok.sum()))
else:
    sys.exit('usage: compare_check.py field|jac|stack|split|stats ...')
