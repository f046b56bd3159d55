#!/usr/bin/env bash
# Frames per second of the GStreamer element against GStreamer's jpegenc, on
# frames of the sample pictures, in the same run: 1280 x 1024 GRAY8 (the
# four .y pictures), or 1920 x 1080 I420 (the three .ppm pictures, scaled
# and converted by GStreamer's pnmdec, videoscale and videoconvert first):
#
#   multifilesrc (the pictures' samples, in turn) ! rawvideoparse ! ENCODER ! fakesink
#
# with ENCODER each of
#   identity                                (the source alone)
#   blockwrightenc quality=75               (the peer's quality)
#   blockwrightenc                          (the element's defaults: quality 85)
#   blockwrightenc quality=75 threads=2
#   jpegenc quality=75 idct-method=ifast    (the peer: libjpeg-turbo's fast DCT)
# one after the other in each round, ROUNDS rounds; the time of a run is the
# pipeline's own, as gst-launch-1.0 prints it (playing to EOS), so starting
# the process and loading plugins are left out. Prints the median frames per
# second of each and its ratio to jpegenc; then each encoder's own processor
# time a frame (the process's user and system time less the source-alone
# run's of the same round, divided by the frames), which a loaded machine
# disturbs less than wall time, and its ratio to jpegenc's.
#
#   bench/gst_speed.sh [BUILD-FOLDER] [IMAGES-FOLDER] [ROUNDS] [FRAMES] [gray8|i420]
#
# (defaults: build, ../shared/images, 15, 400, gray8). Uses the build's
# plugin (GST_PLUGIN_PATH) and a registry file in a temporary folder.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-$here/../build}")
images=$(realpath "${2:-$here/../../shared/images}")
rounds=${3:-15}
frames=${4:-400}
format=${5:-gray8}

fail() { echo "gst_speed.sh: $1: $2" >&2; exit 1; }
[ -e "$build/gst/libgstblockwright.so" ] ||
  fail "$build/gst/libgstblockwright.so" "no such plugin (build with -DBLOCKWRIGHT_GSTREAMER=ON)"
command -v gst-launch-1.0 >/dev/null || fail gst-launch-1.0 "not found (apt-get install gstreamer1.0-tools)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export GST_PLUGIN_PATH=$build/gst GST_PLUGIN_PATH_1_0=$build/gst
export GST_REGISTRY=$work/registry.bin GST_REGISTRY_1_0=$work/registry.bin

# The samples of each picture, one file each.
n=0
case $format in
gray8)
  width=1280 height=1024
  for img in "$images"/{astronaut,camera,coffee,gravel}.y; do
    [ -r "$img" ] || fail "$img" "cannot read"
    tail -c $((width * height)) "$img" >"$work/$n.raw"  # after the three header lines
    n=$((n + 1))
  done
  ;;
i420)
  width=1920 height=1080
  for img in "$images"/{astronaut,chelsea,coffee}.ppm; do
    gst-launch-1.0 -q filesrc location="$img" ! pnmdec ! videoconvert ! videoscale \
      ! "video/x-raw,format=I420,width=$width,height=$height" ! filesink location="$work/$n.raw" ||
      fail "$img" "cannot convert"
    n=$((n + 1))
  done
  ;;
*) fail "$format" "not gray8 or i420" ;;
esac

encoders=(
  "identity"
  "blockwrightenc quality=75"
  "blockwrightenc"
  "blockwrightenc quality=75 threads=2"
  "jpegenc quality=75 idct-method=ifast"
)

# One pipeline run: its wall seconds (playing to EOS), then the process's
# processor seconds.
run() {
  local TIMEFORMAT='%3U %3S'
  # shellcheck disable=SC2086
  { time gst-launch-1.0 multifilesrc location="$work/%d.raw" index=0 stop-index=$((n - 1)) \
      loop=true num-buffers="$frames" ! rawvideoparse format="$format" width=$width height=$height \
      framerate=30/1 ! $1 ! fakesink >"$work/out" 2>&1; } 2>"$work/cpu" || return 0
  awk '/Execution ended after/ {split($4, t, ":"); printf "%s ", t[1] * 3600 + t[2] * 60 + t[3]}' "$work/out"
  awk '{print $1 + $2}' "$work/cpu"
}

median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }

run "${encoders[1]}" >/dev/null  # the registry, the page cache
for ((r = 0; r < rounds; r++)); do
  for i in "${!encoders[@]}"; do
    read -r wall cpu < <(run "${encoders[$i]}")
    if [ -z "${cpu:-}" ] || [ -z "${wall:-}" ]; then fail "${encoders[$i]}" "the pipeline failed"; fi
    [ "$i" = 0 ] && source_cpu=$cpu
    awk -v f="$frames" -v t="$wall" 'BEGIN {printf "%.1f\n", f / t}' >>"$work/fps.$i"
    awk -v f="$frames" -v c="$cpu" -v s="$source_cpu" 'BEGIN {printf "%.3f\n", (c - s) * 1000 / f}' \
      >>"$work/ms.$i"
  done
done

last=$((${#encoders[@]} - 1))
peer_fps=$(median <"$work/fps.$last")
peer_ms=$(median <"$work/ms.$last")
echo "$frames frames of $width x $height $format a run, medians of $rounds interleaved rounds"
printf '%-38s %9s %10s %13s %10s\n' encoder "frames/s" "vs jpegenc" "encoder ms/f" "vs jpegenc"
for i in "${!encoders[@]}"; do
  fps=$(median <"$work/fps.$i")
  ms=$(median <"$work/ms.$i")
  if [ "$i" = 0 ]; then
    printf '%-38s %9s %9.2fx\n' "${encoders[$i]}" "$fps" "$(awk -v a="$fps" -v b="$peer_fps" 'BEGIN {print a / b}')"
    continue
  fi
  printf '%-38s %9s %9.2fx %13s %9.2fx\n' "${encoders[$i]}" "$fps" \
    "$(awk -v a="$fps" -v b="$peer_fps" 'BEGIN {print a / b}')" "$ms" \
    "$(awk -v a="$ms" -v b="$peer_ms" 'BEGIN {r = (a > 0) ? b / a : 0; print r}')"
done
