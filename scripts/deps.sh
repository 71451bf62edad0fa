#!/usr/bin/env bash
# Installs what building and testing tarsk needs from Debian's packages,
# and only what is missing: where everything is installed it does nothing.
set -euo pipefail

packages=(
  cmake make g++ pkg-config   # build
  libpopt-dev                 # dv.h publishes popt option tables
  libpng-dev libsndfile1-dev  # the tarsk command's picture and sound files
  libjpeg-dev                 # the tarsk command's JPEG pictures (libjpeg-turbo)
  libsoxr-dev                 # the tarsk command's sound resampled between recordings
  libavformat-dev             # the tarsk command's containers (AVI, QuickTime, Matroska)
  libgtest-dev                # tests
  abigail-tools               # the ABI check against the last release (abidiff)
  ffmpeg                      # the independent DV peer of the interop tests
  libbenchmark-dev            # bench/
  clang libclang-rt-14-dev    # fuzz targets (scripts/fuzz.sh)
)

missing=()
for p in "${packages[@]}"; do
  # A line per architecture where the package is of more than one.
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -x "install ok installed" >/dev/null ||
    missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
