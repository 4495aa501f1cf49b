#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# into build-fuzz/, replays the saved regression inputs and the seed corpus of
# each target, then fuzzes each target for a bounded time.
# Usage: scripts/fuzz.sh [seconds per target]   (default: $NUQ_FUZZ_SECONDS or 30)
# The runs are reproducible: a fixed seed, a fixed number of inputs
# ($NUQ_FUZZ_RUNS, default 10000) and a fresh working corpus, so a slower
# machine runs a prefix of the same inputs and CI never meets an input that
# was not tried before it landed; the seconds only cap the time.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-${NUQ_FUZZ_SECONDS:-30}}
runs=${NUQ_FUZZ_RUNS:-10000}
seed=${NUQ_FUZZ_SEED:-1}
dir=${NUQ_FUZZ_BUILD:-build-fuzz}
targets=(nifti analyze gipl aff mtx affs ffd fld scan)

CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DNUQ_FUZZ=ON -DNUQ_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j "$(nproc)" --target fuzz_all

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Large allocations from small inputs are findings: a reader must refuse a
# header whose sizes its file cannot back before it allocates.
limits=(-rss_limit_mb=2048 -malloc_limit_mb=512 -timeout=20)
failed=0
summary=""
for t in "${targets[@]}"; do
  # Absolute paths: each target works inside its own temporary folder.
  bin=$PWD/$dir/fuzz/fuzz_$t
  seeds=$PWD/fuzz/corpus/$t
  regression=$PWD/fuzz/regression/$t
  work=$PWD/$dir/corpus/$t
  artifacts=$PWD/$dir/artifacts/$t/
  rm -rf "$work"
  mkdir -p "$work" "$artifacts" "$regression"
  echo "== fuzz_$t: regression and seed inputs"
  if ! "$bin" "${limits[@]}" -runs=0 "$regression" "$seeds" >"$dir/fuzz_$t.replay.log" 2>&1; then
    tail -n 40 "$dir/fuzz_$t.replay.log"
    echo "fuzz_$t: a saved input fails"
    failed=1
    continue
  fi
  echo "== fuzz_$t: $runs inputs from seed $seed, at most ${seconds}s"
  if ! "$bin" "${limits[@]}" -seed="$seed" -runs="$runs" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$artifacts" "$work" "$seeds" "$regression" >"$dir/fuzz_$t.log" 2>&1; then
    tail -n 40 "$dir/fuzz_$t.log"
    echo "fuzz_$t: finding saved under $artifacts"
    failed=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/fuzz_$t.log" | tail -n 1)
  summary+="fuzz_$t: ${execs:-?} executions, corpus $(find "$work" -type f | wc -l) inputs"$'\n'
done
printf '%s' "$summary"
exit "$failed"
