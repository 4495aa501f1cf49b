#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, only when missing.
set -euo pipefail
pkgs=(g++ cmake ninja-build make libniftiio-dev libnifti2-dev libznz-dev zlib1g-dev libgtest-dev
      python3-nibabel python3-numpy ccache clang libclang-rt-14-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
