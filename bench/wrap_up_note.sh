#!/usr/bin/env bash
# A wrap-up note recorded from the stand-in camera (FFmpeg's lavfi test pattern, yuyv422 at 30 fps in real
# time) and the microphone of a private PulseAudio, into which a 440 Hz tone plays throughout, at 640x480 and at
# 1280x720; per size, one after another in the same run:
#   ebbcast, preview shown:  bench/ebbcast_bench_wrap_up_note --preview (QApplication on a private Xvfb)
#   ebbcast, preview hidden: the same without --preview (QCoreApplication)
#   ffmpeg: the command line a user would run for the same movie, with the writer's preset and bit rate:
#     ffmpeg -f lavfi -i GRAPH -f pulse -i default -t SECONDS -c:v libx264 -preset P -profile:v high
#       -pix_fmt yuv420p -b:v RATE -c:a aac -b:a 128k -movflags +frag_keyframe+empty_moov out.mov
#     (-pix_fmt, since libx264 would otherwise keep the camera's 4:2:2; ffmpeg's other x264 settings are its
#     defaults: B-frames, look-ahead, frame threads, where the note's writer encodes with zero latency)
# Reports CPU seconds (user + system, bash's `times` of a subshell) and the ratio to ffmpeg, frames written
# against SECONDS x 30 (ffprobe), peak resident memory (GNU time), and for ebbcast the note's start latency
# (start() to the first picture written, and to the camera's first frame) and, with the preview, how many
# pictures were painted and the capture-to-painted latency. The load average before the runs is printed:
# the figures mean little on a machine that is busy with something else.
# Builds first (under the build lock); the runs hold no lock.
# Usage: bench/wrap_up_note.sh [SECONDS]   (default 60; about 6 x SECONDS plus a minute in all)
# EBBCAST_BENCH_KEEP=1 keeps the work folder (the movies, the logs) and names it on standard error.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
flock "${EBBCAST_BUILD_LOCK:-/tmp/ebbcast-build.lock}" "$root/scripts/build.sh" >/dev/null
build="${EBBCAST_BUILD_DIR:-$root/build}"
bench="$build/bench/ebbcast_bench_wrap_up_note"
preset=$(grep -oP 'preset = "\K[a-z]+' "$root/capture/linux/FfmpegWrapUpMovieWriter.h")
for tool in ffmpeg ffprobe sox paplay /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "wrap_up_note.sh needs $tool" >&2; exit 1; }
done

sandbox="$(mktemp -d -t ebbcast-bench.XXXXXX)"
export HOME="$sandbox/home" XDG_RUNTIME_DIR="$sandbox/runtime" DISPLAY=":$((RANDOM % 100 + 300))"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 0700 "$XDG_RUNTIME_DIR"
tone_pid=""
cleanup() {
    if [ -n "$tone_pid" ]; then kill "$tone_pid" 2>/dev/null || true; wait "$tone_pid" 2>/dev/null || true; fi
    "$root/scripts/test-services.sh" stop
    if [ -n "${EBBCAST_BENCH_KEEP:-}" ]; then echo "work folder kept: $sandbox" >&2; else rm -rf "$sandbox"; fi
}
trap cleanup EXIT
load=$(cut -d' ' -f1-3 /proc/loadavg)
"$root/scripts/test-services.sh" start

# The tone, played into the sink whose monitor is the microphone, again and again until the end.
sox -n -r 48000 -c 2 -b 16 "$sandbox/tone.wav" synth 30 sine 440 vol 0.5
(
    trap 'kill "$player" 2>/dev/null; exit 0' TERM
    while :; do
        paplay --latency-msec=20 -d ebbcast_mic_feed "$sandbox/tone.wav" &
        player=$!
        wait "$player" || sleep 0.5
    done
) &
tone_pid=$!
sleep 1

cpu_of() { # in a subshell: the CPU of its children, from `times` written to a file
    ( "$@"; times >"$sandbox/times" )
    tail -n 1 "$sandbox/times" | awk '{ split($1, u, "m"); split($2, s, "m");
        printf "%.2f\n", u[1] * 60 + u[2] + s[1] * 60 + s[2] }'
}

frames_of() {
    ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$1"
}

figure() { # name file: the value of name= in the figures line
    grep -oP "(^| )$1=\K[^ ]+" "$2"
}

run_ours() { # name graph [--preview]
    local name="$1" graph="$2"
    shift 2
    /usr/bin/time -f %M -o "$sandbox/$name.rss" \
        "$bench" "$sandbox/$name" "$seconds" "$graph" "$@" >"$sandbox/$name.out"
}

run_ffmpeg() { # name graph bit-rate
    /usr/bin/time -f %M -o "$sandbox/$1.rss" \
        ffmpeg -nostdin -loglevel error -f lavfi -i "$2" -f pulse -i default -t "$seconds" \
        -c:v libx264 -preset "$preset" -profile:v high -pix_fmt yuv420p -b:v "$3" \
        -c:a aac -b:a 128k -movflags +frag_keyframe+empty_moov "$sandbox/$1.mov"
}

rss_of() { awk '{ printf "%.0f MiB", $1 / 1024 }' "$sandbox/$1.rss"; }

expected=$((seconds * 30))
rows=()
for size in 640x480 1280x720; do
    graph="testsrc2=size=${size}:rate=30,format=yuyv422,realtime"
    shown=$(cpu_of run_ours "shown-$size" "$graph" --preview)
    hidden=$(cpu_of run_ours "hidden-$size" "$graph")
    rate=$(figure video_bit_rate "$sandbox/hidden-$size.out")
    theirs=$(cpu_of run_ffmpeg "ffmpeg-$size" "$graph" "$rate")
    for name in shown hidden; do
        out="$sandbox/$name-$size.out"
        cpu=$([ "$name" = shown ] && echo "$shown" || echo "$hidden")
        rows+=("$(printf '%-9s  %-15s %7s  %5s  %4s/%-4s  %7s  %8s  %9s  %7s  %s / %s' "$size" \
            "ebbcast $name" "$cpu" "$(awk -v a="$cpu" -v b="$theirs" 'BEGIN { printf "%.2f", a / b }')" \
            "$(frames_of "$sandbox/$name-$size/wrap_up.mov")" "$expected" "$(rss_of "$name-$size")" \
            "$(figure start_ms "$out")" "$(figure camera_first_frame_ms "$out")" \
            "$(figure preview_frames "$out")" "$(figure latency_median_ms "$out")" \
            "$(figure latency_p95_ms "$out")")")
    done
    rows+=("$(printf '%-9s  %-15s %7s  %5s  %4s/%-4s  %7s' "$size" "ffmpeg" "$theirs" "1.00" \
        "$(frames_of "$sandbox/ffmpeg-$size.mov")" "$expected" "$(rss_of "ffmpeg-$size")")")
done

echo "wrap-up note, ${seconds} s a run: lavfi testsrc2 yuyv422 30 fps (realtime) + PulseAudio tone;" \
    "libx264 preset ${preset}, High, the writer's bit rate; AAC 128 kb/s; load average before: ${load}"
printf '%-9s  %-15s %7s  %5s  %9s  %7s  %8s  %9s  %7s  %s\n' "size" "recorder" "CPU s" "ratio" "frames" \
    "peak" "start ms" "camera ms" "painted" "latency ms median / p95"
printf '%s\n' "${rows[@]}"
