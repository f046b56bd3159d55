#!/usr/bin/env bash
# Instructions executed on aarch64, counted under qemu-user (there is no ARM
# machine to time): the whole process of the blockwright program (best path,
# NEON), of bw_path_run with the NEON and the scalar path, and of
# libjpeg-turbo's own aarch64 cjpeg (-grayscale -quality 75 -dct fast), on
# each sample picture; then the program and cjpeg (-sample 2x2) on the
# colour pictures at 4:2:0. Prints tables with the ratios the targets name.
#
#   bash bench/arm_counts.sh [BUILD_DIR]     (default build-aarch64)
#
# Counting uses bench/qemu_insn_count.c, a qemu plugin that adds up the
# length of every translated block as it runs; it gives the same totals as
# `qemu-aarch64 -singlestep -d nochain,exec` with one trace line per
# instruction, about a hundred times faster. The peer comes from Debian's
# arm64 packages, unpacked into the build folder (never installed: that
# would replace the machine's own cjpeg).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build-aarch64}
images=${BW_IMAGES_DIR:-$root/../shared/images}
triple=aarch64-linux-gnu
emu=(qemu-aarch64 -L /usr/$triple)

as_root=()
[ "$(id -u)" -ne 0 ] && as_root=(sudo)
missing=()
for p in qemu-user crossbuild-essential-arm64 cmake; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  "${as_root[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "${missing[@]}"
fi

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$triple.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBLOCKWRIGHT_TESTS=OFF -DBLOCKWRIGHT_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target blockwright bw_path_run >/dev/null
cc -O2 -shared -fPIC -o "$build/libinsncount.so" bench/qemu_insn_count.c

peer=$build/peer
if [ ! -x "$peer/usr/bin/cjpeg" ]; then
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    "${as_root[@]}" dpkg --add-architecture arm64
    "${as_root[@]}" apt-get update -qq
  fi
  debs=$(mktemp -d)
  (cd "$debs" && apt-get download libjpeg-turbo-progs:arm64 libjpeg62-turbo:arm64 >/dev/null 2>&1 ||
    { "${as_root[@]}" apt-get update -qq && apt-get download libjpeg-turbo-progs:arm64 libjpeg62-turbo:arm64; })
  for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$peer"; done
  rm -rf "$debs"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
count() {  # count COMMAND...: the instructions of the whole process
  local n
  n=$("${emu[@]}" -plugin "$root/$build/libinsncount.so" "$@" 2>&1 >/dev/null | sed -n 's/^insns: //p')
  if [ -z "$n" ]; then
    # A qemu that refuses the plugin: one trace line per instruction (slow).
    n=$("${emu[@]}" -singlestep -d nochain,exec -D /dev/stdout "$@" | grep -c '^Trace')
  fi
  echo "$n"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

printf '%-10s %12s %12s %12s %12s %9s %9s\n' picture blockwright neon scalar cjpeg \
  bw/cjpeg neon/scal
for name in camera coffee astronaut gravel; do
  cp "$images/$name.y" "$work/image.y"
  bw=$(cd "$work" && count "$root/$build/programs/blockwright")
  neon=$(count "$build/bench/bw_path_run" neon "$work/image.y" "$work/neon.jpg")
  scalar=$(count "$build/bench/bw_path_run" scalar "$work/image.y" "$work/scalar.jpg")
  cjpeg=$(QEMU_SET_ENV=LD_LIBRARY_PATH=$peer/usr/lib/$triple \
    count "$peer/usr/bin/cjpeg" -grayscale -quality 75 -dct fast -outfile "$work/peer.jpg" \
    "$work/image.y")
  cmp -s "$work/testout.jpg" "$work/neon.jpg" && cmp -s "$work/neon.jpg" "$work/scalar.jpg" ||
    { echo "$name: the paths wrote different bytes" >&2; exit 1; }
  printf '%-10s %12s %12s %12s %12s %9s %9s\n' "$name" "$bw" "$neon" "$scalar" "$cjpeg" \
    "$(ratio "$bw" "$cjpeg")" "$(ratio "$neon" "$scalar")"
done

# Colour: the program on the colour pictures at 4:2:0 (its default) against
# cjpeg doing the same job (-sample 2x2, the fast integer DCT).
echo
printf '%-14s %12s %12s %9s\n' picture blockwright cjpeg bw/cjpeg
for name in astronaut coffee chelsea; do
  bw=$(count "$build/programs/blockwright" -o "$work/colour.jpg" "$images/$name.ppm")
  cjpeg=$(QEMU_SET_ENV=LD_LIBRARY_PATH=$peer/usr/lib/$triple \
    count "$peer/usr/bin/cjpeg" -quality 75 -dct fast -sample 2x2 -outfile "$work/peer.jpg" \
    "$images/$name.ppm")
  printf '%-14s %12s %12s %9s\n' "$name.ppm" "$bw" "$cjpeg" "$(ratio "$bw" "$cjpeg")"
done
