#!/usr/bin/env bash
# Static analysis of the project's own code (lib/, programs/, bench/):
# clang-tidy with the checks in .clang-tidy, and cppcheck. Any finding fails.
#
#   bash tests/static-analysis.sh BUILD-FOLDER
#
# BUILD-FOLDER is a configured build (it holds compile_commands.json and the
# generated tables the sources include).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

sources=(lib/*.cpp lib/x86/*.cpp programs/*.cpp)
[ -d bench ] && sources+=($(ls bench/*.cpp 2>/dev/null))

# clang-tidy reads the build's commands without g++'s own tuning options,
# which clang does not know.
tidy_db=$(mktemp -d)
trap 'rm -rf "$tidy_db"' EXIT
sed -E 's/ (\\")?-mtune-ctrl=[^ "\\]*(\\")?//g' "$build/compile_commands.json" > "$tidy_db/compile_commands.json"

echo "clang-tidy: ${#sources[@]} files"
status=0
for f in "${sources[@]}"; do
  # clang-tidy counts the (suppressed) warnings of system headers on stderr.
  clang-tidy -p "$tidy_db" --quiet "$f" 2> >(grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated' >&2) || status=1
done

# Left out, with the reason:
# - useStlAlgorithm: plain loops are this code's style, many run at compile time;
# - missingIncludeSystem: system headers are not analysed;
# - shiftTooManyBitsSigned: v >> 31 of a negative int is an arithmetic shift,
#   defined since C++20, and the coders rely on it for the sign;
# - ctuArrayIndex in dct_sse41.cpp: cppcheck does not model the vector
#   intrinsics that fill the arrays it then calls uninitialised.
echo "cppcheck"
cppcheck --std=c++20 --enable=warning,style,performance,portability \
  --suppress=useStlAlgorithm --suppress=missingIncludeSystem --suppress=shiftTooManyBitsSigned \
  --suppress=ctuArrayIndex:lib/x86/dct_sse41.cpp \
  --inline-suppr --error-exitcode=1 --quiet \
  -I include -I lib -I programs -I "$build/lib/generated" -DBLOCKWRIGHT_BUILTIN_QUALITY=75 -DBLOCKWRIGHT_VERSION=\"0\" \
  lib programs $( [ -d bench ] && echo bench ) || status=1

exit $status
