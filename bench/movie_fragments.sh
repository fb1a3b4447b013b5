#!/usr/bin/env bash
# The cost and the benefit of writing the movie in short fragments flushed as they complete.
# 1. Bytes on disk per second and CPU seconds of screen.mov for a still and for a moving 1920x1080 screen,
#    recorded side by side in one run by ebbcast's screen recorder (screen only) and by the ffmpeg command a
#    user would otherwise run for a crash-safe movie (same encoder settings, fragments at every keyframe, one a
#    second, and FFmpeg's own output buffering).
# 2. The worst loss over N kills (default 20) of a still and of a moving session: how much of each track is
#    missing at the kill, measured by the end-to-end crash trials (a core kept busy meanwhile).
# Usage: bench/movie_fragments.sh [SECONDS] [KILLS]   (defaults 30 and 20; builds first)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-30}"
kills="${2:-20}"
"$root/scripts/build.sh" >/dev/null
build="${EBBCAST_BUILD_DIR:-$root/build}"
preset=$(grep -oP 'preset = "\K[a-z]+' "$root/capture/linux/FfmpegH264Writer.h")

sandbox="$(mktemp -d -t ebbcast-bench.XXXXXX)"
export HOME="$sandbox/home" XDG_RUNTIME_DIR="$sandbox/runtime" DISPLAY=":$((RANDOM % 100 + 300))"
export XDG_CONFIG_HOME="$HOME/.config" XDG_STATE_HOME="$HOME/.local/state" QT_QPA_PLATFORM=xcb
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 0700 "$XDG_RUNTIME_DIR"
trap '"$root/scripts/test-services.sh" stop; kill "${pattern:-0}" 2>/dev/null; rm -rf "$sandbox"' EXIT
"$root/scripts/test-services.sh" start

cpu_of() { # in a subshell: the CPU of its children, from `times` written to a file
    ( "$@"; times >"$sandbox/times" )
    tail -n 1 "$sandbox/times" | awk '{ split($1, u, "m"); split($2, s, "m");
        printf "%.2f\n", u[1] * 60 + u[2] + s[1] * 60 + s[2] }'
}

run_ours() { # FOLDER
    mkdir -p "$1"
    "$build/tests/ebbcast_recording_probe" "$1" 0 --screen-only >/dev/null &
    local pid=$!
    sleep "$seconds"
    kill -TERM "$pid"
    wait "$pid"
}

run_ffmpeg() { # FILE
    ffmpeg -nostdin -loglevel error -f x11grab -framerate 30 -video_size 1920x1080 -i "$DISPLAY" \
        -c:v libx264 -preset "$preset" -tune zerolatency -profile:v high -pix_fmt yuv420p -b:v 12M -g 30 \
        -bf 0 -movflags +frag_keyframe+empty_moov+default_base_moof "$1" &
    local pid=$!
    sleep "$seconds"
    kill -INT "$pid"
    wait "$pid" || true
}

per_second() { stat -c %s "$1" | awk -v s="$seconds" '{ printf "%.1f kB/s", $1 / s / 1000 }'; }

measure() { # CONTENT
    local ours theirs
    ours=$(cpu_of run_ours "$sandbox/$1")
    theirs=$(cpu_of run_ffmpeg "$sandbox/$1-ffmpeg.mov")
    echo "$1 screen, ${seconds} s: ebbcast $(per_second "$sandbox/$1/screen.mov"), ${ours} CPU s;" \
        "ffmpeg $(per_second "$sandbox/$1-ffmpeg.mov"), ${theirs} CPU s"
    awk -v a="$(stat -c %s "$sandbox/$1/screen.mov")" -v b="$(stat -c %s "$sandbox/$1-ffmpeg.mov")" \
        -v c="$ours" -v d="$theirs" \
        'BEGIN { printf "  ratios ebbcast/ffmpeg: size %.2f, CPU %.2f\n", a / b, c / d }'
}

measure still
"$build/tests/ebbcast_test_pattern" >/dev/null 2>&1 &
pattern=$!
sleep 1
measure moving
kill "$pattern"
pattern=

echo "worst loss over ${kills} kills (every track, from the session's start):"
EBBCAST_CRASH_TRIALS="$kills" "$build/tests/ebbcast_record_e2e_tests" --gtest_filter='CrashTrials.*' |
    grep -E '^worst|^\[ +(OK|FAILED)'
