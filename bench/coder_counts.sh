#!/usr/bin/env bash
# Instructions of the block coder per nonzero coefficient, for every path
# valgrind can run (all but avx512: valgrind has no AVX-512, nor has qemu,
# and the virtual machine this was written on shows no performance
# counters to perf), on the sample
# pictures and a frame of uniform random samples (the same frame bw_bench
# makes).
#
#   bash bench/coder_counts.sh [BUILD_DIR]      (default build)
#
# One run of bw_path_run under callgrind per path and picture; the coder is
# the self cost of the path's loop over blocks, into which the block coder,
# the bit writer and the stuffing are inlined: code_blocks for scalar,
# sse4.1 and avx2 (their transform kernels are called through a pointer),
# code_blocks_pair for avx2-pair less its transform, which the compiler
# inlines there for most pairs (a straight run of instructions, counted
# from the calls it left out of line; 10240 pairs a frame). Per nonzero AC
# coefficient, as bw_bench counts them (20480 blocks a frame); the DC and
# EOB of each block are part of the cost.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
images=${BW_IMAGES_DIR:-$PWD/../shared/images}
command -v valgrind >/dev/null || { echo "coder_counts.sh: valgrind: not found (apt-get install valgrind)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 - "$work/noise.y" <<'EOF'
import sys
x = 2463534242
out = bytearray()
for _ in range(1280 * 1024):
    x ^= (x << 13) & 0xFFFFFFFF
    x ^= x >> 17
    x ^= (x << 5) & 0xFFFFFFFF
    out.append(x >> 24)
with open(sys.argv[1], "wb") as f:
    f.write(b"P5\n1280 1024\n255\n" + bytes(out))
EOF

# Nonzero AC coefficients per block, as bw_bench reports them.
declare -A nz
while read -r name _ per _; do nz[$name]=$per; done < <(
  "$build/bench/bw_bench" --rounds 1 --path scalar "$images" | awk '$2 == "scalar" {print $1, $2, $3, $4}')

printf '%-12s %-10s %12s %14s\n' picture path "coder insns" "per nonzero"
for pic in "$images"/*.y "$work/noise.y"; do
  name=$(basename "$pic")
  [ "$name" = noise.y ] && name=noise
  for path in scalar sse4.1 avx2 avx2-pair; do
    valgrind --tool=callgrind --callgrind-out-file="$work/cg" "$build/bench/bw_path_run" "$path" "$pic" "$work/out.jpg" \
      >/dev/null 2>&1 || { echo "$name $path: no such path here" >&2; continue; }
    callgrind_annotate --inclusive=no --tree=caller "$work/cg" > "$work/annotated"
    # With --tree=caller each function's callers ("<", with their calls)
    # come just before its own line ("*").
    insns=$(awk -v path="$path" '
      function count(s) { gsub(",", "", s); return s + 0 }
      /^ *[0-9,]+ .* < / {
        calls = $0; sub(/.*\(/, "", calls); sub(/x\).*/, "", calls); caller_calls += calls + 0; next
      }
      /^ *[0-9,]+ .* \* / {
        if (path == "avx2-pair" && /code_blocks_pair\(/) self = count($1)
        if (path != "avx2-pair" && /[^_]code_blocks\(/) self = count($1)
        if (/dct_quant_pair_avx2\(/) { kernel = count($1); kernel_calls = caller_calls }
      }
      { caller_calls = 0 }
      END {
        if (path == "avx2-pair" && kernel_calls == 0) { print "inlined"; exit }  # no out-of-line copy to count
        if (path == "avx2-pair") self -= (10240 - kernel_calls) * kernel / kernel_calls
        print int(self)
      }' "$work/annotated")
    if [ "$insns" = inlined ]; then
      printf '%-12s %-10s %12s %14s\n' "$name" "$path" "n/a" "(transform inlined everywhere)"
      continue
    fi
    awk -v n="$name" -v p="$path" -v i="$insns" -v z="${nz[$name]}" \
      'BEGIN {printf "%-12s %-10s %12d %14.1f\n", n, p, i, i / (20480 * z)}'
  done
done
