#!/usr/bin/env bash
# Blockwright as other projects and machines take it:
#  1. vendored: a C application (tests/vendor/) builds it with add_subdirectory
#     and, in a git checkout, with FetchContent from a file:// URL; only the
#     library and recipgen are built, the application runs, and neither
#     Blockwright's flags nor its files reach the application's build or
#     install;
#  2. the Debian packages of BUILD (configured with -DCMAKE_INSTALL_PREFIX=/usr):
#     made with cpack, their fields and files checked with dpkg-deb, a C
#     program built with pkg-config against the unpacked -dev and runtime
#     packages, and lintian without errors.
#
#   bash tests/packaging.sh BUILD
#
# Work folder: BUILD/packaging/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "$1" && pwd)
work=$build/packaging
sample=$root/samples/camera.y
expected=052723da0e6ba6444e05e1f071af63375c930565e4865f3aea5bdfef8eac28dd
rm -rf "$work"
mkdir -p "$work"

fail() { echo "packaging: $*" >&2; exit 1; }
encodes() {  # encodes <program> [env...]: the sample, to the known bytes
  local program=$1; shift
  env "$@" "$program" "$sample" "$work/out.jpg"
  [ "$(sha256sum < "$work/out.jpg" | cut -d' ' -f1)" = "$expected" ] || fail "$program: wrong output"
}

# 1. Vendored.
vendor() {  # vendor <name> <cmake options...>
  local name=$1 dir=$work/$1; shift
  cmake -S tests/vendor -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)" >/dev/null
  encodes "$dir/app_shared"
  encodes "$dir/app_static"
  # Blockwright's tests, benchmarks, fuzz targets and programs are not even
  # defined, or not built.
  local targets bw
  targets=$(cmake --build "$dir" --target help)
  ! grep -Eq '(_tests|bw_bench|bw_threads|bw_path_run|replay_|fuzz_|testsupport|sample)$' <<<"$targets" ||
    fail "$name: test or benchmark targets defined"
  bw=$dir/blockwright
  [ -d "$bw" ] || bw=$dir/_deps/blockwright-build
  [ -x "$bw/programs/recipgen" ] || fail "$name: recipgen not built"
  [ ! -e "$bw/programs/blockwright" ] || fail "$name: the program was built"
  [ ! -e "$bw/tests" ] || fail "$name: tests configured"
  [ ! -e "$bw/bench" ] || fail "$name: benchmark configured"
  # No flag of Blockwright's on the application, no build type forced on it.
  ! grep '"command"' "$dir/compile_commands.json" | grep encode_frame |
    grep -Eq -- ' -(W|std=|f|O|m)' || fail "$name: Blockwright's flags reach the application"
  grep -qx 'CMAKE_BUILD_TYPE:STRING=' "$dir/CMakeCache.txt" || fail "$name: build type forced"
  # Its install is the application alone.
  cmake --install "$dir" --prefix "$dir/prefix" >/dev/null
  [ "$(cd "$dir/prefix" && find . -type f)" = "./bin/app_static" ] ||
    fail "$name: the application's install holds Blockwright's files"
}
echo "== vendored with add_subdirectory"
vendor subdirectory -DBLOCKWRIGHT_DIR="$root"
if commit=$(git rev-parse -q --verify HEAD 2>/dev/null); then
  echo "== vendored with FetchContent from file://$root at $commit"
  vendor fetch -DBLOCKWRIGHT_GIT="file://$root" -DBLOCKWRIGHT_TAG="$commit"
fi

# 2. Debian packages.
echo "== Debian packages"
grep -qx 'CMAKE_INSTALL_PREFIX:PATH=/usr' "$build/CMakeCache.txt" ||
  fail "$build is not configured with -DCMAKE_INSTALL_PREFIX=/usr"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
soname=$(readelf -d "$build"/lib/libblockwright.so | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
runtime=libblockwright${soname#libblockwright.so.}
lib=usr/lib/$triplet

# package  field  expected value (a regular expression)
fields="
$runtime Depends ^libc6 \\(>= [0-9.]+\\)$
libblockwright-dev Depends ^$runtime \\(= $version\\)$
blockwright Depends ^libc6 \\(>= [0-9.]+\\)$"
# package  files it holds, each under ./
files="
$runtime $lib/$soname usr/share/doc/$runtime/copyright
libblockwright-dev usr/include/blockwright.h $lib/libblockwright.a $lib/libblockwright.so $lib/pkgconfig/blockwright.pc $lib/cmake/Blockwright/BlockwrightConfig.cmake usr/share/doc/libblockwright-dev/changelog.gz
blockwright usr/bin/blockwright usr/bin/recipgen"
if [ -e "$build/gst/libgstblockwright.so" ]; then
  fields+="
gstreamer1.0-blockwright Depends libgstreamer1.0-0 "
  files+="
gstreamer1.0-blockwright $lib/gstreamer-1.0/libgstblockwright.so"
fi

debs=()
while read -r package wanted; do
  [ -n "$package" ] || continue
  deb=$build/${package}_${version}_$arch.deb
  [ -f "$deb" ] || fail "$deb not made"
  debs+=("$deb")
  for f in Package:"$package" Version:"$version" Architecture:"$arch"; do
    [ "$(dpkg-deb -f "$deb" "${f%%:*}")" = "${f#*:}" ] || fail "$package: ${f%%:*} is not ${f#*:}"
  done
  listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for f in $wanted; do grep -qx "\./$f" <<<"$listing" || fail "$package lacks /$f"; done
  ! grep -v '^\./usr/' <<<"$listing" | grep -q . || fail "$package has files outside /usr"
  dpkg-deb -x "$deb" "$work/root"
  echo "$package $(stat -c %s "$deb") bytes; Depends: $(dpkg-deb -f "$deb" Depends)"
done <<<"$files"
made=("$build"/*.deb)
[ "${#made[@]}" -eq "${#debs[@]}" ] || fail "unexpected packages: ${made[*]}"
while read -r package field pattern; do
  [ -n "$package" ] || continue
  value=$(dpkg-deb -f "$build/${package}_${version}_$arch.deb" "$field")
  grep -Eq "$pattern" <<<"$value" || fail "$package: $field '$value'"
done <<<"$fields"

# A C program against the unpacked packages, through pkg-config; one version
# everywhere.
export PKG_CONFIG_SYSROOT_DIR=$work/root PKG_CONFIG_LIBDIR=$work/root/$lib/pkgconfig
[ "$(pkg-config --modversion blockwright)" = "$version" ] || fail "blockwright.pc version"
"$work/root/usr/bin/blockwright" --version | grep -Fqw "$version" || fail "program version"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Werror examples/encode_frame.c $(pkg-config --cflags --libs blockwright) \
  -o "$work/pc_shared"
LD_LIBRARY_PATH=$work/root/$lib ldd "$work/pc_shared" | grep -q "$soname => $work/root/$lib/" ||
  fail "pc_shared does not load the unpacked library"
encodes "$work/pc_shared" LD_LIBRARY_PATH="$work/root/$lib"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Werror examples/encode_frame.c -Wl,-Bstatic \
  $(pkg-config --static --cflags --libs blockwright) -Wl,-Bdynamic -o "$work/pc_static"
encodes "$work/pc_static"
unset PKG_CONFIG_SYSROOT_DIR PKG_CONFIG_LIBDIR

echo "== lintian"
lintian --fail-on error "${debs[@]}"
