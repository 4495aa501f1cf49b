#!/usr/bin/env bash
# Times two builds of nuqtransformvector on the inputs of bench/compare (a
# 256x256x180 1 mm reference, an affine and a 10 mm B-spline) and the second
# build once more on one thread, to show what a change gave and how much of
# it is threads. Cases: the field of the B-spline and of the affine with -o,
# -jac of the B-spline with -o, and -inv of the B-spline's dense field.
# Each case runs RUNS times per build, alternating; printed are the medians
# of the wall time and of the processor time (user + system) and the largest
# peak memory, from /usr/bin/time -v.
#
# Usage: bench/versions.sh OLD_TOOL NEW_TOOL [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
bench=$PWD/bench
old=$(realpath "$1")
new=$(realpath "$2")
runs=${3:-3}
py=/usr/bin/python3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
$py "$bench/compare_make.py" "$work" >/dev/null
# The dense field the inverse starts from: the B-spline's, written by the new build.
"$new" ref.nii -o fwd -n 1 -t bspline.FFD >/dev/null

# once LABEL THREADS TOOL ARGS...: appends "wall kbytes cpu" to LABEL.times.
once() {
  local label=$1 threads=$2; shift 2
  if ! env ${threads:+OMP_NUM_THREADS=$threads} /usr/bin/time -v "$@" >run.out 2>run.time; then
    tail -5 run.out run.time >&2; echo "error: $label failed" >&2; exit 1
  fi
  awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, a, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + a[i]; w = s}
              /Maximum resident/ {m = $2} /User time|System time/ {c += $2}
              END {print w, m, c}' run.time >>"$label.times"
}
median() { sort -g | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

declare -A args=(
  [bspline]="ref.nii -o out -n 1 -t bspline.FFD"
  [affine]="ref.nii -o out -n 1 -t affine.AFF"
  [jac]="ref.nii -o out -n 1 -t bspline.FFD -jac"
  [inv]="ref.nii -o out -n 1 -t fwd.FLD -inv"
)
echo "| case | build | wall (s) | user + system (s) | peak MiB |"
echo "|---|---|---|---|---|"
for c in bspline affine jac inv; do
  for _ in $(seq "$runs"); do
    # shellcheck disable=SC2086
    once "old_$c" "" "$old" ${args[$c]}
    # shellcheck disable=SC2086
    once "new_$c" "" "$new" ${args[$c]}
    # shellcheck disable=SC2086
    once "new1_$c" 1 "$new" ${args[$c]}
  done
  for b in old new new1; do
    name=$b; [ "$b" = new1 ] && name="new, OMP_NUM_THREADS=1"
    echo "| $c | $name | $(awk '{print $1}' "${b}_$c.times" | median) |" \
      "$(awk '{print $3}' "${b}_$c.times" | median) |" \
      "$(awk '$2 > m {m = $2} END {printf "%.0f", m / 1024}' "${b}_$c.times") |"
  done
done
