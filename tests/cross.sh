#!/usr/bin/env bash
# Cross builds run under qemu-user: for each CPU named, a Release build with
# the toolchain file in cmake/toolchains/, its in-process tests under CTest
# (through the emulator the toolchain file names), and the blockwright
# program on the four sample pictures, each output's SHA-256 checked.
#
#   bash tests/cross.sh [TRIPLE...]      (default: aarch64-linux-gnu s390x-linux-gnu)
#
# Build folders: build-cross-<triple>/ in the repository. Installs what it
# lacks: qemu-user and Debian's cross compiler. The target's GoogleTest and
# libjpeg (for the tests' decoder) are downloaded as Debian packages and
# unpacked into the build folder rather than installed, so that nothing of
# the machine's own libraries and programs is replaced.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
images=${BW_IMAGES_DIR:-$root/../shared/images}
[ $# -gt 0 ] || set -- aarch64-linux-gnu s390x-linux-gnu

as_root=()
[ "$(id -u)" -ne 0 ] && as_root=(sudo)
updated=0
apt_update() {
  if [ $updated -eq 0 ]; then
    "${as_root[@]}" apt-get update -qq
    updated=1
  fi
}

# The Debian architecture, its folder name in /usr/include and /usr/lib, and
# the qemu-user program of a target.
target_of() {
  multiarch=$1
  case $1 in
    aarch64-linux-gnu) arch=arm64 qemu=qemu-aarch64 ;;
    arm-linux-gnueabihf) arch=armhf qemu=qemu-arm ;;
    s390x-linux-gnu) arch=s390x qemu=qemu-s390x ;;
    i686-linux-gnu) arch=i386 qemu=qemu-i386 multiarch=i386-linux-gnu ;;
    *) echo "no toolchain file for $1" >&2; exit 2 ;;
  esac
}

# Expected outputs of the program at the default settings.
declare -A expected=(
  [camera]=052723da0e6ba6444e05e1f071af63375c930565e4865f3aea5bdfef8eac28dd
  [coffee]=0d59d82951c0c0a31349e80c1df712d676c05ce0b95e01343569ed2f2b182c96
  [astronaut]=10f2628f2e5023a715e9eb7c3817da47c246e656a1d2cb2ee83dfae8b107086d
  [gravel]=1b13d3e5ed48e64604d550aa943c1e795eb9cc607b2808d18c080913c1a956da
)

jobs=$(nproc)
for triple in "$@"; do
  target_of "$triple"
  build=build-cross-$triple
  deps=$root/$build/deps

  missing=()
  for p in qemu-user "crossbuild-essential-$arch" cmake; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt_update
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "${missing[@]}"
  fi
  if [ ! -e "$deps/usr/include/jconfig.h" ]; then
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      "${as_root[@]}" dpkg --add-architecture "$arch"
      updated=0
    fi
    apt_update
    debs=$(mktemp -d)
    (cd "$debs" && apt-get download -q "libgtest-dev:$arch" "libjpeg62-turbo-dev:$arch" \
      "libjpeg62-turbo:$arch" >/dev/null 2>&1) || {
      echo "cannot download the $arch packages of GoogleTest and libjpeg" >&2
      exit 1
    }
    mkdir -p "$deps"
    for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$deps"; done
    rm -rf "$debs"
    # jpeglib.h includes jconfig.h, which Debian keeps in the folder of the
    # architecture.
    cp "$deps/usr/include/$multiarch/jconfig.h" "$deps/usr/include/jconfig.h"
  fi

  echo "== $triple: cross build and tests under qemu-user"
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$triple.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$deps/usr" -DBLOCKWRIGHT_TESTS=ON \
    -DBLOCKWRIGHT_BENCH=OFF -DBLOCKWRIGHT_IMAGES_DIR="$images" >/dev/null
  cmake --build "$build" -j"$jobs"
  ctest --test-dir "$build" -j"$jobs" --output-on-failure

  echo "== $triple: the program on the sample pictures"
  # The target's own libraries before any the machine's loader cache lists
  # (see cmake/toolchains/i686-linux-gnu.cmake).
  emulator=("$qemu" -L "/usr/$triple" -E "LD_LIBRARY_PATH=/usr/$triple/lib")
  work=$(mktemp -d)
  failed=0
  for name in camera coffee astronaut gravel; do
    cp "$images/$name.y" "$work/image.y"
    (cd "$work" && "${emulator[@]}" "$root/$build/programs/blockwright")
    sum=$(sha256sum "$work/testout.jpg" | cut -d' ' -f1)
    if [ "$sum" = "${expected[$name]}" ]; then
      echo "$name: ok"
    else
      echo "$name: SHA-256 $sum, expected ${expected[$name]}" >&2
      failed=1
    fi
  done
  rm -rf "$work"
  [ $failed -eq 0 ] || exit 1
done
