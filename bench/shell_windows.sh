#!/usr/bin/env bash
# What the shell windows (dashboard, mini controller, recording overlay) cost, in one run on a private Xvfb
# (1920x1080, no window manager), PulseAudio (scripts/test-services.sh: null sinks, the remapped microphone) and
# session bus, with a private HOME and XDG folders. A 440 Hz tone whose loudness swings once every two seconds
# (tremolo 0.5 Hz, depth 90 %) plays into the microphone and the speaker throughout, so both meters move.
# bench/ebbcast_bench_shell_windows runs the windows on a model fed as a recording feeds it: state Recording, the
# elapsed timer running, and the levels read live from the PulseAudio sources the recorder reads, computed as
# the recorder computes them (its output says at what rate they came).
#   recording  `ebbcast record --duration SAMPLE+10 --no-wait` records the screen meanwhile, once with the
#              bench's three windows shown and once with them made but hidden; CPU % of the bench, of the
#              recorder (it encodes the screen, so what moves on it costs the recorder too) and of Xvfb
#   meters     the bench with only the dashboard shown against pavucontrol on its Input Devices tab
#              (--tab=4), which meters the same microphone, both running over the same sample
#   open time  the dashboard's first show() to its first paint done on the exposed window, and the median of
#              ten more show()s after hide()
# CPU is % of one core: utime + stime of /proc/PID/stat (all threads) over the sample, in clock ticks.
# pavucontrol is installed with apt-get when it is missing (a dependency of this bench only).
# Builds the recorder and the bench first (under the build lock); the runs hold no lock.
# Usage: bench/shell_windows.sh [SAMPLE]   (seconds, default 30; about 4 x SAMPLE plus a minute in all)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${EBBCAST_BUILD_DIR:-$root/build}"
sample="${1:-30}"
ebbcast="$build/app/ebbcast"
bench="$build/bench/ebbcast_bench_shell_windows"

# Outside: build, install what is missing, make the sandbox and run again inside a private session bus.
if [ -z "${EBBCAST_BENCH_INSIDE:-}" ]; then
    [ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    flock "${EBBCAST_BUILD_LOCK:-/tmp/ebbcast-build.lock}" \
        cmake --build "$build" --target ebbcast ebbcast_bench_shell_windows >/dev/null
    if ! command -v pavucontrol >/dev/null; then
        sudo=()
        [ "$(id -u)" -eq 0 ] || sudo=(sudo)
        echo "Installing: pavucontrol"
        { "${sudo[@]}" apt-get update && DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y \
            --no-install-recommends pavucontrol; } >/dev/null ||
            echo "Could not install it; as root: apt-get install pavucontrol" >&2
    fi
    for tool in sox paplay dbus-run-session; do
        command -v "$tool" >/dev/null || { echo "shell_windows.sh needs $tool" >&2; exit 1; }
    done
    sandbox="$(mktemp -d -t ebbcast-bench.XXXXXX)"
    trap 'rm -rf "$sandbox"' EXIT
    # shellcheck source=bench/sandbox.sh
    . "$root/bench/sandbox.sh"
    enter_sandbox "$sandbox"
    status=0
    # Without the chatter of the bus daemon and of the accessibility bus that GTK and Qt start on it.
    EBBCAST_BENCH_INSIDE=1 EBBCAST_BENCH_SANDBOX="$sandbox" dbus-run-session -- "$0" "$sample" \
        >"$sandbox/report" 2> >(grep --line-buffered -vE '^(dbus-daemon\[|X connection to)' >&2) || status=$?
    grep -v '^SpiRegistry daemon' "$sandbox/report" || true
    exit "$status"
fi

sandbox="$EBBCAST_BENCH_SANDBOX"
recordings="$sandbox/Recordings"
bench_pid=""
record_pid=""
pavucontrol_pid=""
tone_pids=""
cleanup() {
    for pid in $bench_pid $record_pid $pavucontrol_pid $tone_pids; do kill "$pid" 2>/dev/null || true; done
    "$root/scripts/test-services.sh" stop
}
trap cleanup EXIT
load=$(cut -d' ' -f1-3 /proc/loadavg)
"$root/scripts/test-services.sh" start
hz=$(getconf CLK_TCK)
xvfb_pid=$(cat "$XDG_RUNTIME_DIR/xvfb.pid")

"$ebbcast" settings set recordingFolderPath "$recordings" >/dev/null
"$ebbcast" settings set clockSyncEnabled false >/dev/null

# The tone into each sink, long enough for the whole run (replayed should it end); whole swings, so a replay
# joins on.
sox -n -r 48000 -c 2 -b 16 "$sandbox/tone.wav" synth $((4 * sample + 120)) sine 440 vol 0.1 tremolo 0.5 90
for sink in ebbcast_mic_feed ebbcast_speaker; do
    (
        trap 'kill "$player" 2>/dev/null; exit 0' TERM
        while :; do
            paplay --latency-msec=20 -d "$sink" "$sandbox/tone.wav" &
            player=$!
            wait "$player" || sleep 0.5
        done
    ) &
    tone_pids="$tone_pids $!"
done
sleep 1

# utime + stime in clock ticks; the name in parentheses may hold spaces, so count fields after it.
cpu_ticks() {
    local stat
    stat=$(<"/proc/$1/stat") || return 1
    stat="${stat##*) }"
    awk '{ print $12 + $13 }' <<<"$stat"
}
now_ms() { date +%s%3N; }
percent() { awk -v t="$1" -v ms="$2" -v hz="$hz" 'BEGIN { printf "%.2f\n", t / hz / (ms / 1000) * 100 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
fail() { echo "$1" >&2; for file in "${@:2}"; do [ -f "$file" ] && sed 's/^/  /' "$file" >&2; done; exit 1; }

declare -A cpu figures
wait_for_output() { # file pid seconds: true once the file has a line (while pid lives)
    local deadline=$((SECONDS + $3))
    until [ -s "$1" ]; do
        kill -0 "$2" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

start_bench() { # mode
    "$bench" "$1" --recordings "$recordings" >"$sandbox/$1.bench" 2>"$sandbox/$1.bench.err" &
    bench_pid=$!
    wait_for_output "$sandbox/$1.bench" "$bench_pid" 30 ||
        fail "the bench ($1) did not show its windows within 30 s" "$sandbox/$1.bench.err"
}

stop_bench() { # mode: stops it and keeps its figures line
    kill -TERM "$bench_pid"
    wait "$bench_pid" || fail "the bench ($1) failed" "$sandbox/$1.bench.err"
    bench_pid=""
    figures[$1]=$(tail -n 1 "$sandbox/$1.bench")
}

# Samples the CPU of the named processes over SAMPLE seconds; prints one % per pid, in order.
sample_cpu() { # pid...
    local before=() after=() pid start end i
    for pid in "$@"; do before+=("$(cpu_ticks "$pid")"); done
    start=$(now_ms)
    sleep "$sample"
    for pid in "$@"; do after+=("$(cpu_ticks "$pid")"); done
    end=$(now_ms)
    for i in "${!before[@]}"; do percent $((after[i] - before[i])) $((end - start)); done
}

# --- recording, windows shown and hidden -------------------------------------------------------------------

for mode in shown hidden; do
    echo "recording, windows $mode: ${sample} s" >&2
    start_bench "$mode"
    "$ebbcast" record --duration $((sample + 10)) --no-wait >"$sandbox/$mode.record" 2>"$sandbox/$mode.record.err" &
    record_pid=$!
    wait_for_output "$sandbox/$mode.record" "$record_pid" 30 ||
        fail "ebbcast record did not start recording within 30 s" "$sandbox/$mode.record.err"
    sleep 2
    mapfile -t values < <(sample_cpu "$bench_pid" "$record_pid" "$xvfb_pid")
    cpu[bench.$mode]=${values[0]} cpu[record.$mode]=${values[1]} cpu[xvfb.$mode]=${values[2]}
    stop_bench "$mode"
    status=0
    wait "$record_pid" || status=$?
    record_pid=""
    figures[record.$mode]="exit status $status"
    [ "$status" -eq 0 ] || sed 's/^/  /' "$sandbox/$mode.record.err" >&2
done

# --- the dashboard's meters against pavucontrol's ------------------------------------------------------------

echo "meters: the dashboard against pavucontrol --tab=4, ${sample} s" >&2
pavucontrol_cpu="not run"
start_bench dashboard
if command -v pavucontrol >/dev/null; then
    pavucontrol --tab=4 >"$sandbox/pavucontrol.log" 2>&1 &
    pavucontrol_pid=$!
    sleep 3
    kill -0 "$pavucontrol_pid" 2>/dev/null || fail "pavucontrol ended by itself" "$sandbox/pavucontrol.log"
    mapfile -t values < <(sample_cpu "$bench_pid" "$pavucontrol_pid")
    cpu[dashboard]=${values[0]} pavucontrol_cpu=${values[1]}
    kill -TERM "$pavucontrol_pid"
    wait "$pavucontrol_pid" 2>/dev/null || true
    pavucontrol_pid=""
else
    mapfile -t values < <(sample_cpu "$bench_pid")
    cpu[dashboard]=${values[0]}
fi
stop_bench dashboard

# --- the dashboard's open time -------------------------------------------------------------------------------

echo "open time: the dashboard's first show and ten more" >&2
"$bench" open-time --recordings "$recordings" >"$sandbox/open-time.bench" 2>"$sandbox/open-time.bench.err" ||
    fail "the bench (open-time) failed" "$sandbox/open-time.bench.err"
field() { grep -oP "(^| )$1=\K[^ ]+" <<<"$2"; }
opened=$(tail -n 1 "$sandbox/open-time.bench")
first=$(field first_ms "$opened")
later=$(field later_median_ms "$opened")

# --- the table -----------------------------------------------------------------------------------------------

sessions=$(find "$recordings" -mindepth 1 -maxdepth 1 -type d | wc -l)
echo
echo "shell windows: Xvfb 1920x1080 without a window manager, private PulseAudio; a 440 Hz tone (tremolo 0.5 Hz)" \
    "into the microphone and the speaker; samples of ${sample} s; load average before: ${load}"
echo "levels: read live from the PulseAudio sources as the recorder reads them (not synthesized):" \
    "microphone $(field mic_updates_per_s "${figures[shown]}")/s, system audio" \
    "$(field system_updates_per_s "${figures[shown]}")/s reached the model (windows shown); meters moved" \
    "$(field mic_meter_min "${figures[shown]}")-$(field mic_meter_max "${figures[shown]}") and" \
    "$(field system_meter_min "${figures[shown]}")-$(field system_meter_max "${figures[shown]}")"
printf '%-52s %12s %12s %8s\n' "figure (CPU: % of one core)" "A" "B" "A/B"
row() { printf '%-52s %12s %12s %8s\n' "$1" "$2" "$3" "$(ratio "$2" "$3")"; }
row "bench while recording: A windows shown, B hidden" "${cpu[bench.shown]}" "${cpu[bench.hidden]}"
row "ebbcast record: A windows shown, B hidden" "${cpu[record.shown]}" "${cpu[record.hidden]}"
row "Xvfb: A windows shown, B hidden" "${cpu[xvfb.shown]}" "${cpu[xvfb.hidden]}"
row "A dashboard bench, B pavucontrol --tab=4" "${cpu[dashboard]}" "$pavucontrol_cpu"
row "dashboard open ms: A first, B later (median of 10)" "$first" "$later"
echo "ebbcast record: windows shown ${figures[record.shown]}, hidden ${figures[record.hidden]};" \
    "later opens $(field later_min_ms "$opened")-$(field later_max_ms "$opened") ms;" \
    "the dashboard listed ${sessions} recent session(s)"
