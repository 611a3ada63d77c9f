#!/usr/bin/env bash
# Installs the Debian packages the build needs when any is missing.
set -euo pipefail
pkgs=(cmake g++ ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev libzstd-dev libtiff-dev libgeotiff-dev libtiff-tools geotiff-bin proj-data libproj-dev proj-bin python3-dev pybind11-dev python3-numpy python3-dask python3-distributed python3-pytest)
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
