#!/usr/bin/env bash
# Installs what is missing, builds, and runs the tool's main job on the
# project's example data: the displacement field of examples/tilt.AFF sampled
# on the grid of examples/phantom.nii.gz, written into examples/out/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
mkdir -p examples/out
status=0
./build/nuqtransformvector examples/phantom.nii.gz -o examples/out/field -n 1 \
  -t examples/tilt.AFF -mag || status=$?
echo "main job: nuqtransformvector exited with status $status"
ls -l examples/out
exit "$status"
