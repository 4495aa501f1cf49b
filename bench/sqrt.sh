#!/usr/bin/env bash
# Times the square-root action: -sqrt 1 of a 10 mm free-form deformation
# (offsets in [-3, 3] mm from the pseudo-random sequence of bench/ffd.sh) on
# a 96x96x72 2 mm int16 reference, with -o (the root is saved).
# The case runs RUNS times under /usr/bin/time -v; the medians of wall time,
# processor time (user + system) and peak resident memory are printed as a
# Markdown table. One more run at -v 2 counts the optimiser steps and the
# line-search evaluations of every level, and prints how each level ended.
#
# Usage: bench/sqrt.sh [path to nuqtransformvector] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$(realpath "${1:-build/nuqtransformvector}")
runs=${2:-3}
[ -x "$tool" ] || { echo "error: no tool at $tool (build it first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Reference: NIfTI-1, int16, 2 mm axis-aligned grid centred on world 0.
# FFD: control index 0 on reference index 0, the same axes, 10 mm spacing.
/usr/bin/python3 - "$work" <<'PY'
import math, struct, sys
d = sys.argv[1]
nx, ny, nz, sp = 96, 96, 72, 2.0
h = bytearray(348)
struct.pack_into('<i', h, 0, 348)
struct.pack_into('<8h', h, 40, 3, nx, ny, nz, 1, 1, 1, 1)
struct.pack_into('<hh', h, 70, 4, 16)
struct.pack_into('<8f', h, 76, 1, sp, sp, sp, 1, 1, 1, 1)
struct.pack_into('<f', h, 108, 352.0)
struct.pack_into('<f', h, 112, 1.0)
struct.pack_into('<hh', h, 252, 1, 0)
origin = (-(nx - 1) * sp / 2, -(ny - 1) * sp / 2, -(nz - 1) * sp / 2)
struct.pack_into('<6f', h, 256, 0, 0, 0, *origin)
h[344:348] = b'n+1\0'
row = struct.pack('<%dh' % nx, *range(nx))
with open(d + '/ref.nii', 'wb') as f:
    f.write(h + b'\0' * 4)
    f.write(row * (ny * nz))
s = 10.0
n = [math.ceil((m - 1) * sp / s) + 1 for m in (nx, ny, nz)]
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
PY

median() {
  printf '%s\n' "$@" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'
}

times=() cpus=() mems=()
for _ in $(seq "$runs"); do
  (cd "$work" && /usr/bin/time -v "$tool" ref.nii -o root -n 1 -t warp.FFD -sqrt 1 \
    >/dev/null 2>"$work/time.txt") || { cat "$work/time.txt" >&2; exit 1; }
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$work/time.txt" |
    awk -F: '{s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s}')
  cpu=$(awk -F': ' '/User time|System time/ {s += $2} END {print s}' "$work/time.txt")
  mem=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
  times+=("$wall"); cpus+=("$cpu"); mems+=("$mem")
done
echo "| case | arguments | wall time (s) | user + system (s) | peak memory (MiB) |"
echo "|---|---|---|---|---|"
printf '| -sqrt 1 of a 10 mm FFD | ref.nii -o root -n 1 -t warp.FFD -sqrt 1 | %.2f | %.2f | %.0f |\n' \
  "$(median "${times[@]}")" "$(median "${cpus[@]}")" "$(($(median "${mems[@]}") / 1024))"
echo
echo "runs: $runs"
echo

# Steps per level: "Optimisation Step" lines; metric values of the line
# searches: "test roi" debug lines (one per value, gradient steps included).
(cd "$work" && "$tool" ref.nii -o root -n 1 -t warp.FFD -sqrt 1 -v 2) | awk '
  /success: Optimization [0-9]+ of/ { level = $3; grid[level] = $0; sub(/^.*with /, "", grid[level]) }
  /Optimisation Step:/ { steps[level]++ }
  /test roi/ { values[level]++ }
  /Reach zero gradient/ { end[level] = "zero gradient" }
  /Reach a local optimum/ { end[level] = "local optimum" }
  /can not be optimized/ { end[level] = "no improvement" }
  END {
    print "| level | grid | optimiser steps | metric values | end |"
    print "|---|---|---|---|---|"
    for (l = 1; l <= level; l++)
      printf "| %d | %s | %d | %d | %s |\n", l, grid[l], steps[l], values[l], (l in end ? end[l] : "step limit")
  }'
