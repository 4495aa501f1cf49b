#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite, first in the
# Release build, then under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j "$(nproc)"
bash scripts/build.sh sanitize
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure -j "$(nproc)"
# Fuzz smoke runs: every reader for a bounded time plus the saved regression inputs.
bash scripts/fuzz.sh "${NUQ_FUZZ_SECONDS:-30}"
