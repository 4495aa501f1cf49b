#!/usr/bin/env bash
# Builds into build/ (Release) or, with "sanitize", into build-sanitize/.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "sanitize" ]; then
  dir=build-sanitize; extra=(-DNUQ_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
else
  dir=build; extra=()
fi
cmake -S . -B "$dir" -G Ninja "${extra[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
