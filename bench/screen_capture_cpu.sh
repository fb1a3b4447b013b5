#!/usr/bin/env bash
# 60 s of 1920x1080 screen with moving content (the test pattern) on a private Xvfb, recorded side by side in
# one run by ebbcast's screen recorder (screen only) and by the ffmpeg command line a user would run for the
# same file (with -pix_fmt yuv420p, which High profile needs for BGRA input). Reports CPU seconds (and the ratio to ffmpeg), frames written against the 1,800 expected, and
# peak memory (VmHWM, read just before each recorder is stopped).
# Usage: bench/screen_capture_cpu.sh [SECONDS]   (default 60; builds first)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
"$root/scripts/build.sh" >/dev/null
build="${EBBCAST_BUILD_DIR:-$root/build}"
preset=$(grep -oP 'preset = "\K[a-z]+' "$root/capture/linux/FfmpegH264Writer.h")

sandbox="$(mktemp -d -t ebbcast-bench.XXXXXX)"
export HOME="$sandbox/home" XDG_RUNTIME_DIR="$sandbox/runtime" DISPLAY=":$((RANDOM % 100 + 300))"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 0700 "$XDG_RUNTIME_DIR"
trap '"$root/scripts/test-services.sh" stop; kill "${pattern:-0}" 2>/dev/null; rm -rf "$sandbox"' EXIT
"$root/scripts/test-services.sh" start
QT_QPA_PLATFORM=xcb "$build/tests/ebbcast_test_pattern" >/dev/null 2>&1 &
pattern=$!
sleep 1

cpu_of() { # in a subshell: the CPU of its children, from `times` written to a file
    ( "$@"; times >"$sandbox/times" )
    tail -n 1 "$sandbox/times" | awk '{ split($1, u, "m"); split($2, s, "m");
        printf "%.2f\n", u[1] * 60 + u[2] + s[1] * 60 + s[2] }'
}

peak_of() { grep VmHWM "/proc/$1/status" | awk '{ printf "%.0f MiB", $2 / 1024 }'; }

run_ours() {
    mkdir -p "$sandbox/ours"
    "$build/tests/ebbcast_recording_probe" "$sandbox/ours" 0 --screen-only >/dev/null &
    local pid=$!
    sleep "$seconds"
    peak_of "$pid" >"$sandbox/ours.peak"
    kill -TERM "$pid"
    wait "$pid"
}

run_ffmpeg() {
    ffmpeg -nostdin -loglevel error -f x11grab -framerate 30 -video_size 1920x1080 -i "$DISPLAY" \
        -c:v libx264 -preset "$preset" -profile:v high -pix_fmt yuv420p -b:v 12M "$sandbox/ffmpeg.mov" &
    local pid=$!
    sleep "$seconds"
    peak_of "$pid" >"$sandbox/ffmpeg.peak"
    kill -INT "$pid"
    wait "$pid" || true
}

frames_of() {
    ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$1"
}

ours=$(cpu_of run_ours)
theirs=$(cpu_of run_ffmpeg)
expected=$((seconds * 30))
echo "recording ${seconds} s of 1920x1080 moving content, libx264 preset ${preset}, High profile, 12 Mb/s"
echo "ebbcast: ${ours} CPU s, $(frames_of "$sandbox/ours/screen.mov") of ${expected} frames, peak $(cat "$sandbox/ours.peak")"
echo "ffmpeg:  ${theirs} CPU s, $(frames_of "$sandbox/ffmpeg.mov") of ${expected} frames, peak $(cat "$sandbox/ffmpeg.peak")"
awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "CPU ratio ebbcast/ffmpeg: %.2f\n", a / b }'
