#!/usr/bin/env bash
# Installs what `make test-cross` needs from Debian's packages, and only
# what is missing: the cross compiler for a Debian architecture (arm64 by
# default, or the one named as the first argument, e.g. s390x) and qemu's
# user-mode emulator to run its programs.
#
# The target's popt, GoogleTest and C++ runtime come one of two ways:
#   deps-cross.sh ARCH        through multiarch (the architecture is added to
#                             dpkg's list first). The programs run on the
#                             multiarch libc that popt brings, not the cross
#                             compiler's copy, whose version may differ.
#   deps-cross.sh ARCH ROOT   into the folder ROOT, nothing of the target
#                             installed: popt's packages unpacked there and
#                             GoogleTest built there from Debian's source
#                             package with the cross compiler. For an
#                             architecture whose multiarch packages lag
#                             behind the build machine's (multiarch needs
#                             the very same versions), as s390x's may.
set -euo pipefail

arch=${1:-arm64}
root=${2:-}

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

packages=(
  cmake make pkg-config            # build
  "crossbuild-essential-$arch"     # the cross compiler and the target's libc
  qemu-user                        # runs the target's programs here
)
if [[ -z $root ]]; then
  packages+=(
    "libpopt-dev:$arch"            # the library's one dependency beyond libc
    "libgtest-dev:$arch"           # tests
    "libstdc++6:$arch"             # the C++ runtime beside the target's libc
  )
else
  packages+=(googletest)           # GoogleTest's source, built for the target
fi

missing=()
for p in "${packages[@]}"; do
  # A line per architecture where the package is of more than one.
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -x "install ok installed" >/dev/null ||
    missing+=("$p")
done
need_arch=false
dpkg --print-foreign-architectures | grep -qx "$arch" || need_arch=true
if [[ -n $root && -f $root/.done ]]; then
  # Everything of the target is in place already.
  need_arch=false
fi

if [[ ${#missing[@]} -gt 0 || $need_arch == true ]]; then
  if [[ $need_arch == true ]]; then
    echo "Adding the $arch architecture to dpkg"
    $sudo dpkg --add-architecture "$arch"
  fi
  $sudo apt-get update -qq
  if [[ ${#missing[@]} -gt 0 ]]; then
    echo "Installing: ${missing[*]}"
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
fi

[[ -z $root || -f $root/.done ]] && exit 0

case $arch in
  arm64) triplet=aarch64-linux-gnu ;;
  *) triplet=$arch-linux-gnu ;;  # s390x, ppc64 and the like
esac
mkdir -p "$root/debs"
root=$(cd "$root" && pwd)
(cd "$root/debs" && apt-get download "libpopt0:$arch" "libpopt-dev:$arch")
for deb in "$root"/debs/*.deb; do dpkg-deb -x "$deb" "$root"; done
cat >"$root/gtest.cmake" <<TOOLCHAIN
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER $triplet-gcc)
set(CMAKE_CXX_COMPILER $triplet-g++)
TOOLCHAIN
cmake -S /usr/src/googletest -B "$root/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$root/gtest.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$root/usr" >/dev/null
cmake --build "$root/gtest-build" -j "$(nproc)" >/dev/null
cmake --install "$root/gtest-build" >/dev/null
touch "$root/.done"
