#!/usr/bin/env bash
# Builds everything and runs every test: a normal release build (and the
# vendored builds and Debian packages, tests/packaging.sh), the Python package
# installed into a new venv and its tests, then the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, then with clang, then the
# threads tests under ThreadSanitizer, then cross builds for aarch64 and s390x
# run under qemu-user (tests/cross.sh), then the static analysers.
# Installs what a fresh Debian machine lacks first.
#
#   bash tests/run-all.sh
#
# Build folders: build/ (with build/python-venv; the package builds the
# library in python/build/), build-asan/, build-clang/, build-tsan/ (the
# threads tests alone, under ThreadSanitizer) and build-cross-*/ in the
# repository.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make pkg-config libgtest-dev libjpeg62-turbo-dev clang clang-tidy cppcheck
  python3-dev python3-numpy python3-pytest python3-setuptools python3-wheel python3-venv
  python3-dask python3-distributed git file dpkg-dev lintian
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools gstreamer1.0-plugins-base
  gstreamer1.0-plugins-good gstreamer1.0-plugins-bad)
mapfile -t missing < <(bash tests/missing-packages.sh "${packages[@]}")
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi

jobs=$(nproc)

echo "== release build and tests (with the GStreamer element)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBLOCKWRIGHT_TESTS=ON -DBLOCKWRIGHT_GSTREAMER=ON \
  -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

echo "== vendored builds, and the Debian packages of the release build"
bash tests/packaging.sh build

echo "== Python package: installed offline into a new venv, then its tests"
rm -rf build/python-venv
/usr/bin/python3 -m venv --system-site-packages build/python-venv
build/python-venv/bin/pip install --no-build-isolation --no-index ./python
BLOCKWRIGHT_PROGRAM="$PWD/build/programs/blockwright" \
  build/python-venv/bin/python -m pytest -p no:cacheprovider python/tests

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DBLOCKWRIGHT_SANITIZE=ON \
  -DBLOCKWRIGHT_TESTS=ON -DBLOCKWRIGHT_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j"$jobs" --output-on-failure

echo "== clang build and tests"
CXX=clang++ cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=Release -DBLOCKWRIGHT_TESTS=ON \
  -DBLOCKWRIGHT_BENCH=OFF >/dev/null
cmake --build build-clang -j"$jobs"
ctest --test-dir build-clang -j"$jobs" --output-on-failure

echo "== ThreadSanitizer: one frame on several threads, encoders in four threads at once"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBLOCKWRIGHT_SANITIZE=OFF \
  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
  -DBLOCKWRIGHT_TESTS=ON -DBLOCKWRIGHT_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target threads_tests api_threads_tests
TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/threads_tests
TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/api_threads_tests

echo "== cross builds for aarch64 and s390x (big-endian), run under qemu-user"
bash tests/cross.sh aarch64-linux-gnu s390x-linux-gnu

if [ -x tests/static-analysis.sh ]; then
  echo "== static analysis"
  bash tests/static-analysis.sh build
fi
