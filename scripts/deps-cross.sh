#!/usr/bin/env bash
# Installs what `make test-cross` needs from Debian's packages, and only
# what is missing: the cross compiler for a Debian architecture (arm64 by
# default, or the one named as the argument, e.g. s390x), qemu's user-mode
# emulator to run its programs, and the target's own popt, GoogleTest and
# C++ runtime through multiarch (the architecture is added to dpkg's list
# first). The programs run on the multiarch libc that popt brings, not the
# cross compiler's copy, whose version may differ from it.
set -euo pipefail

arch=${1:-arm64}

packages=(
  cmake make pkg-config            # build
  "crossbuild-essential-$arch"     # the cross compiler and the target's libc
  qemu-user                        # runs the target's programs here
  "libpopt-dev:$arch"              # the library's one dependency beyond libc
  "libgtest-dev:$arch"             # tests
  "libstdc++6:$arch"               # the C++ runtime beside the target's libc
)

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  echo "Adding the $arch architecture to dpkg"
  $sudo dpkg --add-architecture "$arch"
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
