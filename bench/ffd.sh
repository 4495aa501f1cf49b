#!/usr/bin/env bash
# Times a 3-D free-form deformation with 10 mm control spacing covering a
# 256x256x180 1 mm int16 reference (27x27x19 control points, offsets of a
# few millimetres):
#   (c) the displacement field, "compute" without -o (reading the inputs, the
#       field and its statistics) and "full" with the .nii.gz outputs;
#   (d) the Jacobian map (-jac) of the same deformation, when this build has
#       the action.
# Every case runs RUNS times under /usr/bin/time -v; the medians of wall
# time, processor time (user + system) and peak resident memory are printed
# as a Markdown table. On a shared machine the wall time includes waiting for
# a core; the processor time does not.
#
# Usage: bench/ffd.sh [path to nuqtransformvector] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$(realpath "${1:-build/nuqtransformvector}")
runs=${2:-5}
[ -x "$tool" ] || { echo "error: no tool at $tool (build it first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The reference as in bench/field.sh: NIfTI-1, int16, qform of a 1 mm
# axis-aligned grid centred on world 0. Then the FFD: control index 0 on
# reference index 0, the same axes, offsets from a fixed pseudo-random
# sequence in [-3, 3] mm.
/usr/bin/python3 - "$work/ref.nii" "$work/warp.FFD" <<'PY'
import math, struct, sys
nx, ny, nz = 256, 256, 180
h = bytearray(348)
struct.pack_into('<i', h, 0, 348)
struct.pack_into('<8h', h, 40, 3, nx, ny, nz, 1, 1, 1, 1)
struct.pack_into('<hh', h, 70, 4, 16)                      # int16
struct.pack_into('<8f', h, 76, 1, 1, 1, 1, 1, 1, 1, 1)     # qfac, spacing
struct.pack_into('<f', h, 108, 352.0)                      # vox_offset
struct.pack_into('<f', h, 112, 1.0)                        # scl_slope
struct.pack_into('<hh', h, 252, 1, 0)                      # qform, sform
origin = (-(nx - 1) / 2, -(ny - 1) / 2, -(nz - 1) / 2)
struct.pack_into('<6f', h, 256, 0, 0, 0, *origin)
h[344:348] = b'n+1\0'
row = struct.pack('<%dh' % nx, *range(nx))
with open(sys.argv[1], 'wb') as f:
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
lines += ['#quaternion qf,qb,qc,qd,qx,qy,qz#',
          '1\t 0\t0\t0\t %f\t%f\t%f' % origin]
open(sys.argv[2], 'w').write('\n'.join(lines) + '\n')
PY

median() {
  printf '%s\n' "$@" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'
}

measure() {  # name, then the tool's arguments
  local name=$1; shift
  local times=() cpus=() mems=()
  for _ in $(seq "$runs"); do
    (cd "$work" && /usr/bin/time -v "$tool" "$@" >/dev/null 2>"$work/time.txt") ||
      { cat "$work/time.txt" >&2; exit 1; }
    local wall cpu mem
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$work/time.txt" |
      awk -F: '{s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s}')
    cpu=$(awk -F': ' '/User time|System time/ {s += $2} END {print s}' "$work/time.txt")
    mem=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
    times+=("$wall"); cpus+=("$cpu"); mems+=("$mem")
  done
  local mt mc mm
  mt=$(median "${times[@]}"); mc=$(median "${cpus[@]}"); mm=$(median "${mems[@]}")
  printf '| %s | %s | %.2f | %.2f | %.0f |\n' "$name" "$*" "$mt" "$mc" "$((mm / 1024))"
}

echo "| case | arguments | wall time (s) | user + system (s) | peak memory (MiB) |"
echo "|---|---|---|---|---|"
measure "(c) FFD field, compute" ref.nii -n 1 -t warp.FFD -mag
measure "(c) FFD field, full" ref.nii -o outc -n 1 -t warp.FFD -mag
if (cd "$work" && "$tool" ref.nii -n 1 -t warp.FFD -jac >/dev/null 2>&1); then
  measure "(d) FFD -jac, compute" ref.nii -n 1 -t warp.FFD -jac
  measure "(d) FFD -jac, full" ref.nii -o outd -n 1 -t warp.FFD -jac
else
  echo "| (d) FFD -jac | ref.nii -n 1 -t warp.FFD -jac | not available in this build | | |"
fi
echo
echo "control grid 27x27x19 at 10 mm; runs per case: $runs"
