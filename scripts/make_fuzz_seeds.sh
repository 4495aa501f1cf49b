#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/:
# small transform texts made with the built tool, and tiny images written by
# Debian's nibabel (NIfTI, big-endian Analyze) or packed here (GIPL).
# Usage: scripts/make_fuzz_seeds.sh [path of the built nuqtransformvector]
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$(realpath "${1:-build/nuqtransformvector}")
corpus=$PWD/fuzz/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for t in nifti analyze gipl aff mtx affs ffd fld scan; do mkdir -p "$corpus/$t"; done

/usr/bin/python3 - "$corpus" "$work" <<'PY'
import struct, sys, numpy as np, nibabel as nib
corpus, work = sys.argv[1], sys.argv[2]
def nifti(name, data, dtype, **kw):
    img = nib.Nifti1Image(np.asarray(data, dtype=dtype), np.diag([1.5, 2.0, 1.0, 1.0]))
    if 'slope' in kw: img.header.set_slope_inter(kw['slope'], kw.get('inter', 0))
    img.header.set_qform(img.affine, 1); img.header.set_sform(img.affine, 1)
    nib.save(img, f"{corpus}/nifti/{name}.nii")
    if name == 'short3d': nib.save(img, f"{work}/ref.nii")
nifti('short3d', np.arange(24).reshape(4, 3, 2) % 5, np.int16)
nifti('float2d', [[0.5, -1.0], [2.0, 3.5], [1e3, -7.0]], np.float32)
nifti('uint8_4d', np.arange(16).reshape(2, 2, 2, 2), np.uint8)
nifti('int32_scaled', np.arange(8).reshape(2, 2, 2), np.int32, slope=0.5, inter=-1)
nifti('double3d', np.linspace(-1, 1, 8).reshape(2, 2, 2), np.float64)
for name, data, dtype in [('short3d', np.arange(12).reshape(3, 2, 2), '>i2'),
                          ('float3d', np.linspace(0, 1, 8).reshape(2, 2, 2), '>f4'),
                          ('uint8_2d', np.arange(6).reshape(3, 2, 1), 'u1')]:
    img = nib.AnalyzeImage(np.asarray(data).astype(dtype), np.diag([2.0, 1.0, 1.0, 1.0]))
    img.header.set_data_dtype(np.dtype(dtype))
    hdr = img.header.copy()
    hdr_bytes = hdr.as_byteswapped('>').binaryblock if hdr.endianness != '>' else hdr.binaryblock
    vox = np.asarray(data).astype(np.dtype(dtype).newbyteorder('>')).tobytes(order='F')
    open(f"{corpus}/analyze/{name}", 'wb').write(hdr_bytes + vox)
def gipl(name, sizes, code, fmt, values, spacing=(1.0, 1.0, 1.0, 1.0)):
    h = bytearray(256)
    struct.pack_into('>4H', h, 0, *sizes)
    struct.pack_into('>H', h, 8, code)
    struct.pack_into('>4f', h, 10, *spacing)
    struct.pack_into('>dd', h, 188, min(values), max(values))
    struct.pack_into('>I', h, 252, 719555000)
    open(f"{corpus}/gipl/{name}", 'wb').write(bytes(h) + struct.pack('>%d%s' % (len(values), fmt), *values))
gipl('short3d', (3, 2, 2, 1), 15, 'h', list(range(12)), (1.5, 1.0, 2.0, 1.0))
gipl('float2d', (2, 2, 1, 1), 64, 'f', [0.5, -1.0, 2.0, 3.0])
gipl('uchar3d', (2, 2, 2, 1), 8, 'B', list(range(8)))
gipl('double4d', (2, 1, 1, 2), 65, 'd', [1.0, 2.0, 3.0, 4.0])
PY

cp examples/tilt.AFF "$corpus/aff/tilt"
printf '#dimension#\n2\n#one to one#\n0\n#rotation center#\n0 0\n#rotation angle#\n10\n#scaling#\n1 1\n#translation#\n1 2\n' >"$corpus/aff/plane"
printf '#dimension#\n3\n#one to one#\n1\n' >"$corpus/aff/header_only"

cd "$work"
cp "$OLDPWD/examples/tilt.AFF" a.AFF
"$tool" ref.nii -o m.MTX -n 1 -t a.AFF -matrix >/dev/null
"$tool" ref.nii -o m.MAT -n 1 -t a.AFF -matrix >/dev/null
{ printf '\0'; cat m.MTX; } >"$corpus/mtx/mtx"
{ printf '\1'; cat m.MAT; } >"$corpus/mtx/mat"
{ printf '\2'; cat m.MAT; } >"$corpus/mtx/matrix"

cp ref.nii r.nii
cp a.AFF l.AFF
"$tool" ref.nii -o affs -n 1 -locaff 2 a.AFF l.AFF -loc 2 r.nii r.nii -savenewAFFS >/dev/null || true
cp affs.AFFS "$corpus/affs/two_regions"
printf '#dimension#\n3\n#one to one#\n1\n# No. of Local Affine Transformations #\n0\n' >"$corpus/affs/none"

cat >"$corpus/ffd/grid3d" <<'FFD'
#dimension#
3
#one to one#
1
#control grid size#
2
2
1
#control grid spacing#
10
10
10
#offsets of the control points#
0 0 0	1 0 0
0 0.5 0	0 0 -1

#quaternion qf,qb,qc,qd,qx,qy,qz#
1 0 0 0 -5 -5 0
FFD
printf '#dimension#\n2\n#one to one#\n1\n#control grid size#\n2\n1\n#control grid spacing#\n4\n4\n#offsets#\n0.5 0 -0.5 1\n\n' >"$corpus/ffd/grid2d"

printf '#dimension#\n3\n#one to one#\n1\n\n#transformation fields in dimension x#\nfx.nii\n\n#transformation fields in dimension y#\nfy.nii\n\n#transformation fields in dimension z#\nfz.nii\n' >"$corpus/fld/three"
printf '#dimension#\n2\n#one to one#\n1\nfx.nii\nfy.nii\n' >"$corpus/fld/two"
printf '#dimension#\n3\n#one to one#\n1\n' >"$corpus/fld/header_only"

s=$corpus/scan
printf -- '-o\nout\n-n\n1\n-t\na.AFF\n-mag\n' >"$s/field"
printf -- '-n\n2\n-t\nb.MTX\n-t\nc.MAT\n-jac\n-mask\nm.nii\n' >"$s/jac_mask"
printf -- '-n\n1\n-d\nfx.nii\nfy.nii\nfz.nii\n-inv\n5\n' >"$s/field_images"
printf -- '-v\n2\n-locaff\n2\na.AFF\nb.MTX\n-loc\n2\nm.nii\nm.nii\n-facet\n0\n0\n0\n3\n2\n1\n' >"$s/locaff"
printf -- '-n\n1\n-t\na.AFF\n-sqrt\n2\n-diff\n-ic\n-invsdi\n0.5\n-inverr\n' >"$s/actions"
echo "seeds: $(find "$corpus" -type f | wc -l) files"
