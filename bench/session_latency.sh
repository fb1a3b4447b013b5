#!/usr/bin/env bash
# Start and stop latency of a recording session, as a user sees them, on a private Xvfb and PulseAudio with
# clock sync off: start = launching `ebbcast record` until it prints the session folder (everything records);
# stop = SIGTERM until the process has completed the document and exited.
# Usage: bench/session_latency.sh [SECONDS...]   (default: 60 600; builds first)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/build.sh" >/dev/null
ebbcast="${EBBCAST_BUILD_DIR:-$root/build}/app/ebbcast"
pattern_program="${EBBCAST_BUILD_DIR:-$root/build}/tests/ebbcast_test_pattern"

sandbox="$(mktemp -d -t ebbcast-bench.XXXXXX)"
export HOME="$sandbox/home" XDG_RUNTIME_DIR="$sandbox/runtime" DISPLAY=":$((RANDOM % 100 + 400))"
export XDG_CONFIG_HOME="$sandbox/config" XDG_STATE_HOME="$sandbox/state"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 0700 "$XDG_RUNTIME_DIR"
trap '"$root/scripts/test-services.sh" stop; kill "${pattern:-0}" 2>/dev/null; rm -rf "$sandbox"' EXIT
"$root/scripts/test-services.sh" start
QT_QPA_PLATFORM=xcb "$pattern_program" >/dev/null 2>&1 &
pattern=$!
"$ebbcast" settings set recordingFolderPath "$sandbox/Recordings"

now_ms() { date +%s%3N; }

for seconds in "${@:-60 600}"; do
    for length in $seconds; do
        fifo="$sandbox/out.$length"
        mkfifo "$fifo"
        launched=$(now_ms)
        "$ebbcast" record >"$fifo" 2>"$sandbox/err.$length" &
        pid=$!
        read -r folder <"$fifo"
        recording=$(now_ms)
        sleep "$length"
        requested=$(now_ms)
        kill -TERM "$pid"
        wait "$pid"
        stopped=$(now_ms)
        rm -f "$fifo"
        test ! -e "$folder/.ebbcast_recording_active" || echo "session $folder was not completed" >&2
        echo "${length} s session: start $((recording - launched)) ms, stop $((stopped - requested)) ms"
    done
done
