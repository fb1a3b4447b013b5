#!/usr/bin/env bash
# CPU seconds for recording both audio tracks from a private PulseAudio daemon, side by side in one run with
# the command-line tools a user would use for the same files:
#   ours:  ebbcast_recording_probe (microphone.wav + system_audio.m4a, each also cut into chunks)
#   ours, no chunks: the same files without chunks, which is what the tools produce
#   tools: parecord --format=float32le (the WAV) and ffmpeg -f pulse ... -c:a aac -b:a 192k (the m4a)
# Usage: bench/audio_capture_cpu.sh [SECONDS]   (default 60; builds first)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
"$root/scripts/build.sh" >/dev/null
probe="${EBBCAST_BUILD_DIR:-$root/build}/tests/ebbcast_recording_probe"

sandbox="$(mktemp -d -t ebbcast-bench.XXXXXX)"
export HOME="$sandbox/home" XDG_RUNTIME_DIR="$sandbox/runtime"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 0700 "$XDG_RUNTIME_DIR"
trap '"$root/scripts/test-services.sh" stop; rm -rf "$sandbox"' EXIT
"$root/scripts/test-services.sh" start
sox -n -r 48000 -c 2 -b 16 "$sandbox/tone.wav" synth "$((seconds * 3 + 30))" sine 440 vol 0.5
paplay --latency-msec=20 -d ebbcast_speaker "$sandbox/tone.wav" &
paplay --latency-msec=20 -d ebbcast_mic_feed "$sandbox/tone.wav" &

# CPU seconds (user + system) of the commands run in a subshell, from bash's `times` of that subshell
# (written to a file: in a pipeline `times` would run in a fresh process that has no children yet).
cpu_of() {
    (
        "$@"
        times >"$sandbox/times"
    )
    tail -n 1 "$sandbox/times" | awk '{
        split($1, u, "m"); split($2, s, "m");
        printf "%.2f\n", u[1] * 60 + u[2] + s[1] * 60 + s[2] }'
}

run_ours() { # chunk seconds
    local folder="$sandbox/ours-$1"
    mkdir -p "$folder"
    "$probe" "$folder" "$1" >/dev/null &
    local pid=$!
    sleep "$seconds"
    kill -TERM "$pid"
    wait "$pid"
}

run_tools() {
    local folder="$sandbox/tools"
    mkdir -p "$folder"
    parecord --format=float32le -d ebbcast_microphone "$folder/microphone.wav" &
    local mic=$!
    ffmpeg -nostdin -loglevel error -f pulse -i ebbcast_speaker.monitor -c:a aac -b:a 192k \
        "$folder/system_audio.m4a" &
    local sys=$!
    sleep "$seconds"
    kill -INT "$mic" "$sys"
    wait "$mic" "$sys" || true
}

ours=$(cpu_of run_ours 300)
ours_whole=$(cpu_of run_ours 0)
tools=$(cpu_of run_tools)
echo "recording ${seconds} s of microphone and system audio"
echo "ebbcast (full files + 300 s chunks): ${ours} CPU s"
echo "ebbcast (full files, no chunks):     ${ours_whole} CPU s"
echo "parecord + ffmpeg (full files only): ${tools} CPU s"
awk -v a="$ours" -v b="$ours_whole" -v t="$tools" \
    'BEGIN { printf "ratio ebbcast/tools: %.2f (with chunks), %.2f (same files)\n", a / t, b / t }'
