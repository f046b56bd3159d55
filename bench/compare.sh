#!/usr/bin/env bash
# Whole-process comparison: blockwright against libjpeg-turbo's cjpeg on the
# same image.y, for each sample picture.
#
#   bench/compare.sh [BLOCKWRIGHT] [IMAGES-FOLDER] [RUNS]
#
# Wall time: RUNS runs of each program, alternating, median of each.
# Instructions: one run of each under valgrind --tool=callgrind (the whole
# process: loader, startup, reading, encoding, writing).
# cjpeg runs as `cjpeg -grayscale -quality 75 -dct fast image.y`: one
# component, quality 75, fast integer DCT, no Huffman optimisation. The
# sample pictures are PGM files, which cjpeg reads as they are.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bw=$(realpath "${1:-$here/../build/programs/blockwright}")
images=$(realpath "${2:-$here/../../shared/images}")
runs=${3:-21}

fail() { echo "compare.sh: $1: $2" >&2; exit 1; }
[[ -x $bw ]] || fail "$bw" "no such program (build the project first)"
cjpeg=$(command -v cjpeg) || fail cjpeg "not found (apt-get install libjpeg-turbo-progs)"
command -v valgrind >/dev/null || fail valgrind "not found (apt-get install valgrind)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }
instructions() { valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null | awk '/Collected/ {print $4}'; }

printf '%-12s %9s %9s %7s %12s %12s %7s\n' picture "bw ms" "cjpeg ms" ratio "bw instr" "cjpeg instr" ratio
for img in "$images"/*.y; do
  cp "$img" image.y
  "$bw" && "$cjpeg" -grayscale -quality 75 -dct fast image.y >c.jpg  # warm the page cache
  : >bw.t; : >cj.t
  for ((i = 0; i < runs; i++)); do
    t0=$EPOCHREALTIME; "$bw"; t1=$EPOCHREALTIME
    "$cjpeg" -grayscale -quality 75 -dct fast image.y >c.jpg; t2=$EPOCHREALTIME
    echo "$t0 $t1" | awk '{printf "%.3f\n", ($2 - $1) * 1000}' >>bw.t
    echo "$t1 $t2" | awk '{printf "%.3f\n", ($2 - $1) * 1000}' >>cj.t
  done
  bw_ms=$(median <bw.t); cj_ms=$(median <cj.t)
  bw_i=$(instructions "$bw")
  cj_i=$(instructions "$cjpeg" -grayscale -quality 75 -dct fast -outfile c.jpg image.y)
  awk -v n="$(basename "$img")" -v a="$bw_ms" -v b="$cj_ms" -v c="$bw_i" -v d="$cj_i" 'BEGIN {
    gsub(",", "", c); gsub(",", "", d)
    printf "%-12s %9.2f %9.2f %6.2fx %12d %12d %6.2fx\n", n, a, b, a / b, c, d, c / d }'
done
