#!/usr/bin/env bash
# Times the displacement-field action on a 256x256x180 1 mm int16 reference:
#   (a) one affine, (b) one FLD field of the same size (the field written by
#   (a)), each with -mag;
# "compute" runs have no -o (no file is written: reading the inputs, the
# field and its statistics), "full" runs also write the .nii.gz outputs.
# Every case runs RUNS times under /usr/bin/time -v; the medians of wall
# time, processor time (user + system) and peak resident memory are printed
# as a Markdown table. On a shared machine the wall time includes waiting for
# a core; the processor time does not.
#
# Usage: bench/field.sh [path to nuqtransformvector] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$(realpath "${1:-build/nuqtransformvector}")
runs=${2:-5}
[ -x "$tool" ] || { echo "error: no tool at $tool (build it first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The reference: a single-file NIfTI-1, int16, qform of a 1 mm axis-aligned
# grid centred on world 0, voxels a smooth ramp (values do not matter here).
/usr/bin/python3 - "$work/ref.nii" <<'PY'
import struct, sys
nx, ny, nz = 256, 256, 180
h = bytearray(348)
struct.pack_into('<i', h, 0, 348)
struct.pack_into('<8h', h, 40, 3, nx, ny, nz, 1, 1, 1, 1)
struct.pack_into('<hh', h, 70, 4, 16)                      # int16
struct.pack_into('<8f', h, 76, 1, 1, 1, 1, 1, 1, 1, 1)     # qfac, spacing
struct.pack_into('<f', h, 108, 352.0)                      # vox_offset
struct.pack_into('<f', h, 112, 1.0)                        # scl_slope
struct.pack_into('<hh', h, 252, 1, 0)                      # qform, sform
struct.pack_into('<6f', h, 256, 0, 0, 0, -(nx - 1) / 2, -(ny - 1) / 2, -(nz - 1) / 2)
h[344:348] = b'n+1\0'
row = struct.pack('<%dh' % nx, *range(nx))
with open(sys.argv[1], 'wb') as f:
    f.write(h + b'\0' * 4)
    f.write(row * (ny * nz))
PY

cat > "$work/tilt.AFF" <<'EOF'
#dimension#
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
EOF

median() {
  printf '%s\n' "$@" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'
}

measure() {  # name, then the tool's arguments
  local name=$1; shift
  local times=() cpus=() mems=()
  for _ in $(seq "$runs"); do
    local status=0
    (cd "$work" && /usr/bin/time -v "$tool" "$@" >/dev/null 2>"$work/time.txt") || status=$?
    [ "$status" = "${expect_status:-0}" ] || { cat "$work/time.txt" >&2; exit 1; }
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

# The FLD input of (b) is the field that (a) writes.
(cd "$work" && "$tool" ref.nii -o field -n 1 -t tilt.AFF >/dev/null)

echo "| case | arguments | wall time (s) | user + system (s) | peak memory (MiB) |"
echo "|---|---|---|---|---|"
# Reading the reference and creating the output images only: the run stops
# at the transform-count check (status 255) before any field is computed.
expect_status=255 measure "(0) reference and images only" ref.nii -n 1
measure "(a) affine, compute" ref.nii -n 1 -t tilt.AFF -mag
measure "(a) affine, full" ref.nii -o outa -n 1 -t tilt.AFF -mag
measure "(b) FLD, compute" ref.nii -n 1 -t field.FLD -mag
measure "(b) FLD, full" ref.nii -o outb -n 1 -t field.FLD -mag
float_mib=$(( 256 * 256 * 180 * 4 / 1048576 ))
ref_mib=$(( 256 * 256 * 180 * 2 / 1048576 ))
echo
echo "float volume ${float_mib} MiB, reference ${ref_mib} MiB;" \
  "memory budget 6 x float + reference = $(( 6 * float_mib + ref_mib )) MiB; runs per case: $runs"
