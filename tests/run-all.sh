#!/usr/bin/env bash
# Builds everything and runs every test: a normal release build, then the same
# suite under AddressSanitizer and UndefinedBehaviorSanitizer, then with clang,
# then the static analysers. Installs what a fresh Debian machine lacks first.
#
#   bash tests/run-all.sh
#
# Build folders: build/, build-asan/, build-tsan/ and build-clang/ in the repository.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make libgtest-dev libjpeg62-turbo-dev clang clang-tidy cppcheck)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi

jobs=$(nproc)

echo "== release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBLOCKWRIGHT_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DBLOCKWRIGHT_SANITIZE=ON \
  -DBLOCKWRIGHT_TESTS=ON -DBLOCKWRIGHT_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j"$jobs" --output-on-failure

echo "== ThreadSanitizer build: the threads tests"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBLOCKWRIGHT_SANITIZE=OFF \
  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
  -DBLOCKWRIGHT_TESTS=ON -DBLOCKWRIGHT_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target threads_tests
TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/threads_tests

echo "== clang build and tests"
CXX=clang++ cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=Release -DBLOCKWRIGHT_TESTS=ON \
  -DBLOCKWRIGHT_BENCH=OFF >/dev/null
cmake --build build-clang -j"$jobs"
ctest --test-dir build-clang -j"$jobs" --output-on-failure

if [ -x tests/static-analysis.sh ]; then
  echo "== static analysis"
  bash tests/static-analysis.sh build
fi
