#!/usr/bin/env bash
# What recording through the running application costs beside `ebbcast record`, in one run: the same SECONDS of
# recording, a tone playing into the microphone and the speakers throughout, on a private session bus
# (dbus-run-session), private HOME and the test services (scripts/test-services.sh: Xvfb, PulseAudio, keyring).
#   application  `ebbcast --headless` (its monitors on: autoStartRecording off, the microphone usage poll on),
#                `ebbcast ctl start`, SECONDS, `ebbcast ctl stop`; the CPU the process spent between the two
#   record       `ebbcast record --duration SECONDS`; the CPU of the whole process
# CPU is utime + stime of /proc/PID/stat (all threads), in seconds; the application's is the difference of
# two readings, so its start-up is not counted, while `record`'s includes its own start and stop.
# Usage: bench/application_recording.sh [SECONDS]   (default 60; builds ebbcast first under the build lock)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${EBBCAST_BUILD_DIR:-$root/build}"
seconds="${1:-60}"
ebbcast="$build/app/ebbcast"

# shellcheck source=bench/sandbox.sh
. "$root/bench/sandbox.sh"
rerun_in_session_sandbox "$root" "$build" "$0" "paplay sox" "$seconds"

trap '"$root/scripts/test-services.sh" stop >/dev/null 2>&1 || true; kill $(jobs -p) 2>/dev/null || true' EXIT
"$root/scripts/test-services.sh" start >/dev/null
"$ebbcast" settings set clockSyncEnabled false >/dev/null
"$ebbcast" settings set recordingFolderPath "$HOME/Recordings" >/dev/null

# A tone for as long as both recordings take, into the default sink (its monitor is the system audio) and into
# the sink the test microphone is made from.
tone="$XDG_RUNTIME_DIR/tone.wav"
sox -n -r 48000 -c 2 "$tone" synth $((seconds * 2 + 60)) sine 440 vol 0.3
paplay "$tone" &
paplay --device=ebbcast_mic_feed "$tone" &

cpu_seconds() { # pid
    awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f\n", ($14 + $15) / hz }' "/proc/$1/stat"
}

"$ebbcast" --headless 2>"$XDG_RUNTIME_DIR/application.err" &
application=$!
wait_until_ctl_answers "$ebbcast" "$application" "$XDG_RUNTIME_DIR/application.err"
sleep 2
before=$(cpu_seconds "$application")
"$ebbcast" ctl start >/dev/null
sleep "$seconds"
"$ebbcast" ctl stop >/dev/null
after=$(cpu_seconds "$application")
kill -TERM "$application"
wait "$application" || true
ours=$(awk -v a="$before" -v b="$after" 'BEGIN { printf "%.2f\n", b - a }')

TIMEFORMAT='%U %S'
if ! { time "$ebbcast" record --duration "$seconds" >/dev/null 2>"$XDG_RUNTIME_DIR/record.err"; } \
    2>"$XDG_RUNTIME_DIR/record.time"; then
    echo "ebbcast record failed:" >&2
    cat "$XDG_RUNTIME_DIR/record.err" >&2
    exit 1
fi
theirs=$(awk '{ printf "%.2f\n", $1 + $2 }' "$XDG_RUNTIME_DIR/record.time")

printf '%-40s %10s\n' "${seconds} s recording" "CPU s"
printf '%-40s %10s\n' "application (ctl start .. ctl stop)" "$ours"
printf '%-40s %10s\n' "ebbcast record --duration $seconds" "$theirs"
printf '%-40s %10s\n' "ratio application / record" "$(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.3f\n", a / b }')"
