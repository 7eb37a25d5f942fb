#!/usr/bin/env bash
# Install the Debian packages the build needs, only those that are missing.
set -euo pipefail
need=(cmake ninja-build g++ clang clang-format libclang-rt-14-dev libgtest-dev libbenchmark-dev
      nlohmann-json3-dev libpugixml-dev libhdf5-dev zlib1g-dev libdeflate-dev time gcovr
      help2man dpkg-dev file lintian
      python3 python3-h5py python3-silx python3-numpy python3-pandas
      python3-xarray python3-h5netcdf
      python3-jsonschema
      python3-xarray python3-dask python3-distributed python3-pytest python3-h5netcdf
      python3-psutil python3-setuptools python3-pip
      python3-matplotlib chromium chromium-driver python3-selenium
      snakemake slurm-wlm munge)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
