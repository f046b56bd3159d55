#!/usr/bin/env bash
# The element's tests, one case a run, under CTest (gst/tests/CMakeLists.txt
# sets the environment: GST_PLUGIN_PATH at the build, a registry file of the
# build's own, and the variables below).
#
#   run.sh inspect|bytes|containers|refused|failure|install
#
# BW_FRAMES: the bw_gst_frames helper; BW_PICTURE: a binary PGM; BW_WORK: a
# scratch folder for this case; BW_BUILD and BW_CMAKE: for the install case.
# Pipelines are word-split on purpose ($src, $props, $mux); the folders
# listed hold only the names multifilesink gives.
# shellcheck disable=SC2086,SC2012
set -uo pipefail
case_name=$1
work=$BW_WORK
rm -rf "$work" && mkdir -p "$work" || exit 1
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# make_frames FORMAT W H PAD OFFSET FRAMES QUALITY RESTART DIR: DIR/raw and
# the library's files DIR/expected/%05d.jpg (bw_gst_frames); prints the
# source of a pipeline that reads DIR/raw.
make_frames() {
  local dir=$9 layout
  mkdir -p "$dir/expected" "$dir/out"
  layout=$("$BW_FRAMES" "$1" "$BW_PICTURE" "$2" "$3" "$4" "$5" "$6" "$7" "$8" "$dir/raw" \
           "$dir/expected") || return 1
  echo "filesrc location=$dir/raw ! rawvideoparse format=$1 width=$2 height=$3 framerate=30/1 $layout"
}

# same_files EXPECTED_DIR OUT_DIR WHAT: every file alike, and no more of them.
same_files() {
  local n_expected n_out f
  n_expected=$(ls "$1" | wc -l)
  n_out=$(ls "$2" | wc -l)
  [ "$n_expected" = "$n_out" ] || { fail "$3: $n_out files, expected $n_expected"; return; }
  for f in "$1"/*; do
    cmp -s "$f" "$2/${f##*/}" || fail "$3: ${f##*/} differs from the library's bytes"
  done
}

# gst-launch-1.0 with FLAGS (default -q), given at most LIMIT seconds
# (default 120), then killed.
# Its messages go through a file, so that nothing it may leave running can
# hold the caller's command substitution open.
launch() {
  local log status
  log=$(mktemp "$work/launch.XXXXXX")
  timeout -k 5 "${LIMIT:-120}" gst-launch-1.0 "${FLAGS:--q}" "$@" >"$log" 2>&1 </dev/null
  status=$?
  cat "$log"
  rm -f "$log"
  return $status
}

case $case_name in
inspect)
  out=$(gst-inspect-1.0 blockwrightenc 2>&1) || fail "gst-inspect-1.0 blockwrightenc: $out"
  # property | its range and default, as gst-inspect prints them
  while IFS='|' read -r name range; do
    grep -A2 "^  $name *:" <<<"$out" | grep -q "$range" || fail "property $name: no '$range'"
  done <<'EOF'
quality|Unsigned Integer. Range: 1 - 100 Default: 85
restart-interval|Unsigned Integer. Range: 0 - 65535 Default: 0
threads|Unsigned Integer. Range: 1 - 64 Default: 1
EOF
  formats='format: { (string)GRAY8, (string)I420, (string)NV12, (string)Y42B, (string)Y444, (string)YUY2, (string)UYVY, (string)RGB, (string)BGR, (string)RGBx, (string)BGRx }'
  for want in "Klass  *Codec/Encoder/Image" "Name  *blockwright$" "libgstblockwright.so" \
              "$formats" "sof-marker: 0"; do
    grep -q "$want" <<<"$out" || fail "gst-inspect-1.0 blockwrightenc shows no '$want'"
  done
  ;;

bytes)
  # Each frame gives exactly the library's file for its format and settings,
  # read in place: tightly packed rows with an odd width (video meta), padded
  # rows, offset planes, the smallest frame, frames whose bound is too large
  # to allocate at once (the growing output), all settings.
  # format width height pad offset frames quality restart threads ("-": property not set)
  while read -r format w h pad offset frames quality restart threads; do
    what="$format ${w}x$h pad $pad offset $offset q$quality r$restart t$threads"
    dir=$work/${format}_${w}x${h}_$pad
    props=""
    [ "$quality" = - ] && quality=85 || props+=" quality=$quality"
    [ "$restart" = - ] && restart=0 || props+=" restart-interval=$restart"
    [ "$threads" = - ] || props+=" threads=$threads"
    src=$(make_frames "$format" "$w" "$h" "$pad" "$offset" "$frames" "$quality" "$restart" "$dir") ||
      { fail "$what: no frames"; continue; }
    out=$(launch $src ! blockwrightenc $props ! multifilesink location="$dir/out/%05d.jpg") ||
      fail "$what: $out"
    same_files "$dir/expected" "$dir/out" "$what"
  done <<'EOF'
gray8 333 250 0 0 3 - - -
gray8 333 250 3 0 3 50 7 2
gray8 333 250 8 123 2 95 0 1
gray8 1 1 0 0 2 1 1 1
gray8 1281 17 9 5 2 100 65535 64
gray8 4100 4100 0 0 1 75 160 2
i420 333 251 0 0 2 - - -
i420 1 1 0 0 1 100 1 1
i420 4100 4100 0 0 1 75 0 2
nv12 333 251 5 17 2 90 3 2
y42b 333 250 1 0 2 75 0 1
y444 333 250 0 9 2 60 5 1
yuy2 333 250 0 0 2 85 0 1
uyvy 334 17 2 0 1 95 2 1
rgb 333 250 0 0 2 - - -
bgr 333 250 7 0 1 80 0 2
rgbx 333 250 0 0 1 85 0 1
bgrx 15 9 4 3 1 85 1 1
EOF
  ;;

containers)
  # jpegdec decodes every frame; each muxer takes the stream as it is, and
  # its demuxer gives back the library's files.
  # format | what jpegdec gives (it turns 4:2:2 and 4:4:4 into I420)
  while IFS='|' read -r format decoded; do
    src=$(make_frames "$format" 333 250 0 0 2 85 0 "$work/$format") || exit 1
    mkdir -p "$work/$format/decoded"
    out=$(launch $src ! blockwrightenc ! jpegdec ! "video/x-raw,format=$decoded,width=333,height=250" \
          ! multifilesink location="$work/$format/decoded/%05d.raw") || fail "$format, jpegdec: $out"
    [ "$(ls "$work/$format/decoded" | wc -l)" = 2 ] || fail "$format, jpegdec: not 2 frames decoded"
  done <<'EOF'
gray8|GRAY8
i420|I420
y42b|I420
y444|I420
rgb|I420
EOF
  src=$(make_frames gray8 333 250 0 0 3 85 0 "$work") || exit 1
  # Every buffer is a key frame (none flagged delta-unit).
  out=$(FLAGS=-v launch $src ! blockwrightenc ! fakesink silent=false) || fail "fakesink: $out"
  [ "$(grep -c 'chain.*flags:' <<<"$out")" = 3 ] || fail "not 3 buffers: $out"
  grep 'chain' <<<"$out" | grep -q delta-unit && fail "a buffer is not a key frame: $out"
  while read -r mux demux; do
    rm -rf "$work/out" && mkdir "$work/out"
    out=$(launch $src ! blockwrightenc ! $mux ! filesink location="$work/file") ||
      { fail "$mux: $out"; continue; }
    out=$(launch filesrc location="$work/file" ! $demux ! multifilesink location="$work/out/%05d.jpg") ||
      { fail "$demux: $out"; continue; }
    same_files "$work/expected" "$work/out" "$mux then $demux"
  done <<'EOF'
avimux avidemux
matroskamux matroskademux
qtmux qtdemux
multipartmux multipartdemux
EOF
  ;;

refused)
  # A value out of range is refused with GLib's warning and leaves the
  # default: the frames are still the library's at quality 85.
  src=$(make_frames gray8 333 250 0 0 1 85 0 "$work") || exit 1
  for prop in quality=0 quality=101 restart-interval=65536 threads=0 threads=65; do
    rm -rf "$work/out" && mkdir "$work/out"
    out=$(launch $src ! blockwrightenc "$prop" ! multifilesink location="$work/out/%05d.jpg")
    grep -q "out of range for property '${prop%=*}'" <<<"$out" || fail "$prop accepted: $out"
    same_files "$work/expected" "$work/out" "after $prop"
  done
  # Caps it cannot take: refused at link time, or at run time upstream
  # stops with not-negotiated; the pipeline fails either way. (After that
  # error from rawvideoparse, gst-launch-1.0 now and then hangs instead of
  # exiting, with jpegenc as well: the message is out by then.)
  # pipeline | what its messages must say
  while IFS='|' read -r pipeline message; do
    out=$(LIMIT=10 launch $pipeline) && fail "$pipeline ran"
    grep -q "$message" <<<"$out" || fail "$pipeline: no '$message' in: $out"
  done <<EOF
videotestsrc num-buffers=1 ! video/x-raw,format=RGBA,width=64,height=64 ! blockwrightenc ! fakesink|blockwrightenc0 can't handle caps video/x-raw, format=(string)RGBA
videotestsrc num-buffers=1 ! video/x-raw,format=GRAY8,width=65536,height=8 ! blockwrightenc ! fakesink|blockwrightenc0 can't handle caps
filesrc location=$work/raw ! rawvideoparse format=gray16-le width=64 height=64 ! blockwrightenc ! fakesink|reason not-negotiated
EOF
  ;;

failure)
  # A frame the library cannot encode stops the pipeline with its reason and
  # pushes nothing: 64 threads' stacks of 8 MiB cannot be had within 150 MB
  # of address space (a library that falls back to fewer threads there gives
  # its bytes instead; either way no broken file). One thread within the same
  # limits encodes as usual.
  src=$(make_frames gray8 1280 1024 0 0 2 85 0 "$work") || exit 1
  for threads in 64 1; do
    rm -rf "$work/out" && mkdir "$work/out"
    out=$(ulimit -s 8192 && ulimit -v 150000 &&
          launch $src ! blockwrightenc threads=$threads ! multifilesink location="$work/out/%05d.jpg")
    status=$?
    if [ $status = 0 ]; then
      same_files "$work/expected" "$work/out" "$threads threads within 150 MB"
    elif [ $threads = 1 ]; then
      fail "one thread within 150 MB: $out"
    else
      grep -q "Could not encode the frame: out of memory" <<<"$out" || fail "no reason given: $out"
      [ -z "$(ls "$work/out")" ] || fail "files written for a failed frame: $(ls "$work/out")"
    fi
  done
  # Rows that overlap (a stride below the width) are refused, not read past
  # the frame; nothing is written. (gst-launch-1.0 may hang after the error.)
  rm -rf "$work/out" && mkdir "$work/out"
  out=$(LIMIT=10 launch filesrc location="$work/raw" ! rawvideoparse format=gray8 width=333 height=250 \
        plane-strides="<300>" frame-size=75000 ! blockwrightenc ! multifilesink location="$work/out/%05d.jpg") &&
    fail "a stride below the width was taken"
  grep -q "Could not read the frame" <<<"$out" || fail "no reason given for the stride: $out"
  [ -z "$(ls "$work/out")" ] || fail "files written for an unreadable frame"
  ;;

install)
  # The plugin installs under the prefix given, in its GStreamer folder, and
  # exports its description alone.
  out=$("$BW_CMAKE" --install "$BW_BUILD" --component gstreamer --prefix "$work/prefix" 2>&1) ||
    fail "install: $out"
  installed=$(cd "$work/prefix" && find . -type f)
  [[ "$installed" =~ ^\./lib[^/]*(/[^/]+)?/gstreamer-1\.0/libgstblockwright\.so$ ]] ||
    fail "installed: $installed"
  exported=$("$BW_NM" -D --defined-only "$work/prefix/${installed#./}" | awk '{print $3}' |
             grep -v '^gst_plugin_blockwright_')
  [ -z "$exported" ] || fail "the plugin exports: $exported"
  ;;

*)
  echo "run.sh: unknown case $case_name" >&2
  exit 2
  ;;
esac
[ $failures -eq 0 ]
