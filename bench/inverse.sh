#!/usr/bin/env bash
# Times the inverse action (-inv and -invsdi):
#   (e) a 10 mm free-form deformation (offsets in [-3, 3] mm, as in
#       bench/ffd.sh) on a 128x128x96 1 mm int16 reference;
#   (f) the chain of an affine (the tilt of bench/field.sh) and a 10 mm FFD
#       on a 256x256x180 1 mm reference: the joint field is sampled first,
#       then inverted (skipped with SIZES=small).
# Every case runs RUNS times under /usr/bin/time -v (with -o, so the inverse
# field files are written); the medians of wall time, processor time and
# peak resident memory are printed as a Markdown table.
#
# Usage: bench/inverse.sh [path to nuqtransformvector] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$(realpath "${1:-build/nuqtransformvector}")
runs=${2:-3}
[ -x "$tool" ] || { echo "error: no tool at $tool (build it first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Reference (NIfTI-1, int16, 1 mm axis-aligned grid centred on world 0) and
# an FFD with 10 mm control spacing covering it, pseudo-random offsets.
make_case() {  # folder nx ny nz
  mkdir -p "$1"
  /usr/bin/python3 - "$@" <<'PY'
import math, struct, sys
d = sys.argv[1]
nx, ny, nz = (int(v) for v in sys.argv[2:5])
h = bytearray(348)
struct.pack_into('<i', h, 0, 348)
struct.pack_into('<8h', h, 40, 3, nx, ny, nz, 1, 1, 1, 1)
struct.pack_into('<hh', h, 70, 4, 16)
struct.pack_into('<8f', h, 76, 1, 1, 1, 1, 1, 1, 1, 1)
struct.pack_into('<f', h, 108, 352.0)
struct.pack_into('<f', h, 112, 1.0)
struct.pack_into('<hh', h, 252, 1, 0)
origin = (-(nx - 1) / 2, -(ny - 1) / 2, -(nz - 1) / 2)
struct.pack_into('<6f', h, 256, 0, 0, 0, *origin)
h[344:348] = b'n+1\0'
row = struct.pack('<%dh' % nx, *range(nx))
with open(d + '/ref.nii', 'wb') as f:
    f.write(h + b'\0' * 4)
    f.write(row * (ny * nz))
s = 10.0
n = [math.ceil((m - 1) / s) + 1 for m in (nx, ny, nz)]
seed = 12345
lines = ['#dimension#', '3', '#one to one#', '1', '#control grid size#']
lines += ['%d' % v for v in n] + ['#control grid spacing#'] + ['%15f' % s] * 3
lines += ['#offsets of the control points#']
for z in range(n[2]):
    for y in range(n[1]):
        vals = []
        for x in range(n[0]):
            for c in range(3):
                seed = (seed * 1103515245 + 12345) % 2 ** 31
                vals.append('%f' % (6.0 * seed / 2 ** 31 - 3.0))
        lines.append(' '.join(vals))
    lines.append('')
lines += ['#quaternion qf,qb,qc,qd,qx,qy,qz#', '1\t 0\t0\t0\t %f\t%f\t%f' % origin]
open(d + '/warp.FFD', 'w').write('\n'.join(lines) + '\n')
open(d + '/tilt.AFF', 'w').write('''#dimension#
3
#one to one#
1
#rotation center#
0	0	0
#rotation angle#
4	-3	6
#scaling#
1.02	0.98	1.01
#translation#
2.5	-1.5	3
''')
PY
}

median() {
  printf '%s\n' "$@" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'
}

measure() {  # name, folder, then the tool's arguments
  local name=$1 dir=$2; shift 2
  local times=() cpus=() mems=()
  for _ in $(seq "$runs"); do
    (cd "$dir" && /usr/bin/time -v "$tool" "$@" >/dev/null 2>"$dir/time.txt") ||
      { cat "$dir/time.txt" >&2; exit 1; }
    local wall cpu mem
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$dir/time.txt" |
      awk -F: '{s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s}')
    cpu=$(awk -F': ' '/User time|System time/ {s += $2} END {print s}' "$dir/time.txt")
    mem=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$dir/time.txt")
    times+=("$wall"); cpus+=("$cpu"); mems+=("$mem")
  done
  local mt mc mm
  mt=$(median "${times[@]}"); mc=$(median "${cpus[@]}"); mm=$(median "${mems[@]}")
  printf '| %s | %s | %.2f | %.2f | %.0f |\n' "$name" "$*" "$mt" "$mc" "$((mm / 1024))"
}

echo "| case | arguments | wall time (s) | user + system (s) | peak memory (MiB) |"
echo "|---|---|---|---|---|"
make_case "$work/e" 128 128 96
measure "(e) FFD -inv, 128x128x96" "$work/e" ref.nii -o inv -n 1 -t warp.FFD -inv
measure "(e) FFD -invsdi, 128x128x96" "$work/e" ref.nii -o sdi -n 1 -t warp.FFD -invsdi
if [ "${SIZES:-all}" != small ]; then
  make_case "$work/f" 256 256 180
  measure "(f) AFF+FFD -inv, 256x256x180" "$work/f" ref.nii -o inv -n 2 -t tilt.AFF -t warp.FFD -inv
  measure "(f) AFF+FFD -invsdi, 256x256x180" "$work/f" ref.nii -o sdi -n 2 -t tilt.AFF -t warp.FFD -invsdi
fi
echo
echo "control grids at 10 mm; runs per case: $runs"
