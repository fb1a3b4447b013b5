#!/usr/bin/env bash
# What ebbcast costs while it only waits, beside what any Qt tray program costs and a common tray applet, in one
# run on a private Xvfb, PulseAudio (scripts/test-services.sh: null sinks, the remapped microphone, silence
# flowing through both) and session bus, with trayer as the system tray and a private HOME and XDG folders:
#   ebbcast (tray)       `ebbcast`, its icon in trayer
#   ebbcast --headless   the same application without tray or windows
#   minimal Qt tray      bench/ebbcast_bench_minimal_tray: QApplication, one tray icon with a menu, nothing else
#   pasystray            the PulseAudio tray applet (GTK 3), a tray program that also watches PulseAudio
# ebbcast runs with autoStartRecording and promptWhenMicrophoneIsUsed on, so the microphone level monitor and
# the microphone usage poll both run; recordingFolderPath is in the sandbox and clock sync is off. Nothing
# plays, so nothing should record; a session folder made meanwhile is reported, as the figures are then not
# those of an idle program.
# Each program in turn: start, wait for its tray icon (tray programs), settle, then sample:
#   CPU      % of one core: utime + stime of /proc/PID/stat (all threads) over the sample, in clock ticks
#            (10 ms each: 0.02 % resolution over 60 s)
#   RSS, Pss the largest of the samples taken every second: VmRSS of /proc/PID/status, Pss of
#            /proc/PID/smaps_rollup (Pss divides the Qt and system libraries among the processes mapping them,
#            so it moves with whatever else runs)
#   wakeups  per second: voluntary + nonvoluntary context switches summed over /proc/PID/task/*/status, the
#            times a thread went to sleep or was taken off the CPU (the kernel forgets the counts of a thread
#            that ends, so one that ends during the sample is not counted); for ebbcast also per thread, the
#            busiest four by name
#   launch to icon  from starting the program until trayer holds a window of it: trayer embeds each icon in
#            a socket window inside its "panel" window, so the icon is there when `xwininfo -id PANEL -tree`
#            lists more windows than before the start (polled every 20 ms). The private bus has no
#            StatusNotifierWatcher, so Qt and GTK both dock through the XEmbed tray protocol trayer speaks.
# Then ebbcast's quit latency while recording: `ebbcast --headless` again, a tone played into the microphone
# until its level monitor starts a recording (a session folder holding .ebbcast_recording_active), a few
# seconds of recording, SIGTERM; the time from SIGTERM until the process has exited, and whether the session
# was completed. When the headless application does not record within 20 s, `ebbcast record` is measured the
# same way instead, and the output says so.
# A program that does not start (or ends by itself) is reported as not run, with the first line it printed.
# Usage: bench/idle_footprint.sh [--settle SECONDS] [--sample SECONDS] [--recording SECONDS] [EBBCAST]
#   defaults: settle 10, sample 60, recording 5, EBBCAST = the build's app/ebbcast; builds first.
#   Installs trayer, pasystray and x11-utils with apt-get when missing (as root, or through sudo); without
#   them the programs that need them are not run. Run it on a quiet machine: the figures are small.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${EBBCAST_BUILD_DIR:-$root/build}"
settle=10
sample=60
recording=5
ebbcast=""
while [ "$#" -gt 0 ]; do
    case "$1" in
        --settle) settle="$2"; shift 2 ;;
        --sample) sample="$2"; shift 2 ;;
        --recording) recording="$2"; shift 2 ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        -*) echo "unknown option $1 (see --help)" >&2; exit 2 ;;
        *) ebbcast="$1"; shift ;;
    esac
done
ebbcast="$(realpath -m "${ebbcast:-$build/app/ebbcast}")"
minimal="$build/bench/ebbcast_bench_minimal_tray"

# Outside: build, install what is missing, make the sandbox and run again inside a private session bus.
if [ -z "${EBBCAST_BENCH_INSIDE:-}" ]; then
    "$root/scripts/build.sh" >/dev/null
    missing=()
    for pair in trayer:trayer pasystray:pasystray xwininfo:x11-utils; do
        command -v "${pair%%:*}" >/dev/null || missing+=("${pair#*:}")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        sudo=()
        [ "$(id -u)" -eq 0 ] || sudo=(sudo)
        echo "Installing: ${missing[*]}"
        { "${sudo[@]}" apt-get update && DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y \
            --no-install-recommends "${missing[@]}"; } >/dev/null ||
            echo "Could not install them; as root: apt-get install ${missing[*]}" >&2
    fi
    sandbox="$(mktemp -d -t ebbcast-bench.XXXXXX)"
    trap 'rm -rf "$sandbox"' EXIT
    # shellcheck source=bench/sandbox.sh
    . "$root/bench/sandbox.sh"
    enter_sandbox "$sandbox"
    status=0
    # Without the chatter of the bus daemon and of the accessibility bus that GTK and Qt start on it. The
    # report goes to a file, so nothing left holding the output (a daemon that lost its bus) keeps us waiting.
    EBBCAST_BENCH_INSIDE=1 EBBCAST_BENCH_SANDBOX="$sandbox" dbus-run-session -- \
        "$0" --settle "$settle" --sample "$sample" --recording "$recording" "$ebbcast" >"$sandbox/report" \
        2> >(grep --line-buffered -vE '^(dbus-daemon\[|X connection to)' >&2) || status=$?
    grep -v '^SpiRegistry daemon' "$sandbox/report" || true
    exit "$status"
fi

sandbox="$EBBCAST_BENCH_SANDBOX"
results="$sandbox/results"
mkdir -p "$results"
program_pid=""
trayer_pid=""
tone_pid=""
cleanup() {
    for pid in $program_pid $tone_pid $trayer_pid; do kill "$pid" 2>/dev/null || true; done
    "$root/scripts/test-services.sh" stop
}
trap cleanup EXIT
"$root/scripts/test-services.sh" start
hz=$(getconf CLK_TCK)
now_ms() { date +%s%3N; }

# --- the tray --------------------------------------------------------------------------------------------

panel=""
if command -v trayer >/dev/null && command -v xwininfo >/dev/null; then
    trayer --edge top --align right --widthtype request --height 24 --SetDockType true --transparent false \
        >"$sandbox/trayer.log" 2>&1 &
    trayer_pid=$!
    for _ in $(seq 200); do
        panel=$(xwininfo -root -children 2>/dev/null | awk '/"panel": \("panel" "trayer"\)/ { print $1; exit }')
        [ -n "$panel" ] && break
        sleep 0.05
    done
    [ -n "$panel" ] || echo "trayer did not show its panel (see its log below); tray programs are not run" >&2
fi
panel_windows() { xwininfo -id "$panel" -tree 2>/dev/null | grep -c '^ *0x' || true; }

# --- sampling --------------------------------------------------------------------------------------------

# utime + stime in clock ticks; the name in parentheses may hold spaces, so count fields after it.
cpu_ticks() {
    local stat
    stat=$(<"/proc/$1/stat") || return 1
    stat="${stat##*) }"
    awk '{ print $12 + $13 }' <<<"$stat"
}
# "TID SWITCHES" for each thread; the kernel keeps no count for threads that have ended, so the sample adds
# up each thread's own difference (all of a thread started meanwhile) and never goes negative.
context_switches() {
    local status
    for status in "/proc/$1"/task/*/status; do
        awk '/^Pid:/ { tid = $2 } /^(non)?voluntary_ctxt_switches:/ { sum += $2 } END { if (tid) print tid, sum }' \
            "$status" 2>/dev/null || true
    done
}
switches_between() { # first-snapshot second-snapshot
    awk 'NR == FNR { before[$1] = $2; next } { sum += $2 - ($1 in before ? before[$1] : 0) } END { print sum + 0 }' \
        <(echo "$1") <(echo "$2")
}
thread_names() { # "TID NAME" for each thread
    local task
    for task in "/proc/$1"/task/*; do echo "${task##*/} $(<"$task/comm")"; done 2>/dev/null || true
}
# The threads that woke most, per second: "WAKEUPS NAME (TID)", most first.
busiest_threads() { # first-snapshot second-snapshot names milliseconds
    awk -v ms="$4" 'FILENAME == ARGV[1] { before[$1] = $2; next }
        FILENAME == ARGV[2] { after[$1] = $2; next }
        { tid = $1; $1 = ""; if (tid in after) printf "%.1f %s (%s)\n",
              (after[tid] - (tid in before ? before[tid] : 0)) / (ms / 1000), substr($0, 2), tid }' \
        <(echo "$1") <(echo "$2") <(echo "$3") | sort -rn | head -n 4
}
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
pss_kb() { awk '/^Pss:/ { print $2 }' "/proc/$1/smaps_rollup"; }

not_run() { # label reason log
    local line=""
    [ -f "$3" ] && line=$(grep -m 1 -v '^\s*$' "$3" || true)
    echo "not run: $2${line:+: $line}" >"$results/$1.note"
    echo "$1: not run: $2${line:+: $line}" >&2
}

stop_program() {
    [ -n "$program_pid" ] || return 0
    kill -TERM "$program_pid" 2>/dev/null || true
    for _ in $(seq 100); do
        kill -0 "$program_pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -KILL "$program_pid" 2>/dev/null || true
    wait "$program_pid" 2>/dev/null || true
    program_pid=""
}

# Starts a program, waits for its icon if it is a tray program, settles, samples, stops it.
measure() { # label tray|headless command...
    local label="$1" kind="$2"
    shift 2
    local log="$sandbox/$label.log"
    echo "$label: settle ${settle} s, sample ${sample} s" >&2
    if ! command -v "$1" >/dev/null; then
        not_run "$label" "$1 was not found" ""
        return 0
    fi
    if [ "$kind" = tray ] && [ -z "$panel" ]; then
        not_run "$label" "no system tray" ""
        return 0
    fi
    local before launched icon=""
    [ "$kind" = tray ] && before=$(panel_windows)
    launched=$(now_ms)
    "$@" >"$log" 2>&1 &
    program_pid=$!
    if [ "$kind" = tray ]; then
        while [ $(($(now_ms) - launched)) -lt 20000 ] && kill -0 "$program_pid" 2>/dev/null; do
            if [ "$(panel_windows)" -gt "$before" ]; then
                icon=$(($(now_ms) - launched))
                break
            fi
            sleep 0.02
        done
    fi
    sleep "$settle"
    if ! kill -0 "$program_pid" 2>/dev/null; then
        local status=0
        wait "$program_pid" || status=$?
        program_pid=""
        not_run "$label" "it ended by itself (exit status $status)" "$log"
        return 0
    fi

    local pid="$program_pid" ticks0 switches0 start ticks1 switches1 names end rss=0 pss=0 value
    ticks0=$(cpu_ticks "$pid")
    switches0=$(context_switches "$pid")
    start=$(now_ms)
    for _ in $(seq "$sample"); do
        sleep 1
        value=$(rss_kb "$pid" 2>/dev/null) || break
        [ "$value" -gt "$rss" ] && rss=$value
        value=$(pss_kb "$pid" 2>/dev/null) || break
        [ "$value" -gt "$pss" ] && pss=$value
    done
    ticks1=$(cpu_ticks "$pid" 2>/dev/null) || ticks1=""
    switches1=$(context_switches "$pid")
    names=$(thread_names "$pid")
    end=$(now_ms)
    if [ -z "$ticks1" ]; then
        program_pid=""
        not_run "$label" "it ended while being measured" "$log"
        return 0
    fi
    stop_program
    busiest_threads "$switches0" "$switches1" "$names" $((end - start)) >"$results/$label.threads"
    awk -v ticks=$((ticks1 - ticks0)) -v switches="$(switches_between "$switches0" "$switches1")" \
        -v ms=$((end - start)) -v hz="$hz" -v rss="$rss" -v pss="$pss" -v icon="$icon" -v kind="$kind" 'BEGIN {
            printf "cpu %.3f\nrss %.1f\npss %.1f\nwakeups %.1f\n", ticks / hz / (ms / 1000) * 100, rss / 1024,
                   pss / 1024, switches / (ms / 1000)
            if (kind == "tray") print "icon " (icon == "" ? "none" : icon)
        }' >"$results/$label"
    if [ "$kind" = tray ] && [ -z "$icon" ]; then
        echo "$label: no icon in the tray within 20 s" >&2
    fi
    sleep 1
}

# --- the programs ------------------------------------------------------------------------------------------

recordings="$sandbox/Recordings"
ebbcast_configured=no
if [ -x "$ebbcast" ]; then
    ebbcast_configured=yes
    for setting in "recordingFolderPath $recordings" "clockSyncEnabled false" "autoStartRecording true" \
        "promptWhenMicrophoneIsUsed true"; do
        # shellcheck disable=SC2086 # the key and its value
        "$ebbcast" settings set $setting >"$sandbox/settings.log" 2>&1 || {
            echo "ebbcast settings set $setting failed: $(head -n 1 "$sandbox/settings.log")" >&2
            ebbcast_configured=no
        }
    done
fi
session_folders() { { find "$recordings" -mindepth 1 -maxdepth 1 -type d 2>/dev/null || true; } | wc -l; }

labels=("ebbcast (tray)" "ebbcast --headless" "minimal Qt tray" "pasystray")
for label in "${labels[@]}"; do
    folders_before=$(session_folders)
    case "$label" in
        "ebbcast (tray)") measure "$label" tray "$ebbcast" ;;
        "ebbcast --headless") measure "$label" headless "$ebbcast" --headless ;;
        "minimal Qt tray") measure "$label" tray "$minimal" ;;
        pasystray) measure "$label" tray pasystray --notify=none ;;
    esac
    if [ "$(session_folders)" -gt "$folders_before" ]; then
        echo "$label recorded while it should have been idle: its figures include a recording" >&2
        echo "recorded" >"$results/$label.recorded"
    fi
done

# --- quit latency while recording ------------------------------------------------------------------------

active_session() {
    { find "$recordings" -mindepth 2 -maxdepth 2 -name .ebbcast_recording_active -printf '%h\n' 2>/dev/null ||
        true; } | head -n 1
}

# Runs `ebbcast ARGS` until it records (the session folder appears; at most 20 s), records, then SIGTERM.
quit_latency() { # description ebbcast-arguments...
    local description="$1" folder="" started requested stopped status=0
    shift
    echo "quit while recording: $description" >&2
    rm -rf "$recordings"
    "$ebbcast" "$@" >"$sandbox/quit.log" 2>&1 &
    program_pid=$!
    started=$(now_ms)
    while [ $(($(now_ms) - started)) -lt 20000 ] && kill -0 "$program_pid" 2>/dev/null; do
        folder=$(active_session)
        [ -n "$folder" ] && break
        sleep 0.1
    done
    if [ -z "$folder" ]; then
        stop_program
        return 1
    fi
    sleep "$recording"
    requested=$(now_ms)
    kill -TERM "$program_pid"
    wait "$program_pid" || status=$?
    stopped=$(now_ms)
    program_pid=""
    local completed="completed"
    [ ! -e "$folder/.ebbcast_recording_active" ] || completed="NOT completed"
    echo "quit while recording ($description, after ${recording} s): SIGTERM to exit $((stopped - requested)) ms," \
        "exit status $status, session $completed" >"$results/quit"
}

if [ -f "$results/ebbcast --headless" ] && [ "$ebbcast_configured" = yes ]; then
    sox -n -r 48000 -c 2 -b 16 "$sandbox/tone.wav" synth 600 sine 440 vol 0.5
    paplay -d ebbcast_mic_feed "$sandbox/tone.wav" &
    tone_pid=$!
    if ! quit_latency "ebbcast --headless, started by a tone at the microphone" --headless; then
        echo "ebbcast --headless did not start recording within 20 s of a tone at the microphone;" \
            "measuring ebbcast record instead" >&2
        quit_latency "ebbcast record" record ||
            echo "quit while recording: not run: ebbcast record did not start a session within 20 s" >"$results/quit"
    fi
    kill "$tone_pid" 2>/dev/null || true
    tone_pid=""
elif [ -x "$ebbcast" ]; then
    quit_latency "ebbcast record" record ||
        echo "quit while recording: not run: ebbcast record did not start a session within 20 s" >"$results/quit"
fi

# --- the table -------------------------------------------------------------------------------------------

echo
echo "idle footprint: settle ${settle} s, sample ${sample} s; Xvfb 1920x1080, private PulseAudio, trayer"
echo "ebbcast = $ebbcast"
value_of() { [ -f "$results/$1" ] && awk -v key="$2" '$1 == key { print $2 }' "$results/$1"; }
printf '%-22s' ""
for label in "${labels[@]}"; do printf '%22s' "$label"; done
echo
for row in "cpu:%.3f:CPU % of one core" "rss:%.1f:RSS MB (max)" "pss:%.1f:Pss MB (max)" "wakeups:%.1f:wakeups/s" \
    "icon:%d:launch to icon ms"; do
    IFS=: read -r key format title <<<"$row"
    printf '%-22s' "$title"
    base=$(value_of "minimal Qt tray" "$key" || true)
    for label in "${labels[@]}"; do
        value=$(value_of "$label" "$key" || true)
        cell="-"
        if [ ! -f "$results/$label" ]; then
            cell="not run"
        elif [ -n "$value" ]; then
            cell=$(awk -v v="$value" -v b="$base" -v format="$format" \
                -v self="$([ "$label" = "minimal Qt tray" ] && echo 1)" 'BEGIN {
                if (v == "none") { print "no icon"; exit }
                text = sprintf(format, v)
                if (!self && b != "" && b != "none" && b + 0 > 0) text = text sprintf(" (%.2fx)", v / b)
                print text }')
        fi
        printf '%22s' "$cell"
    done
    echo
done
echo "(ratios against the minimal Qt tray)"
for label in "${labels[@]}"; do
    [ -f "$results/$label.note" ] && echo "$label: $(cat "$results/$label.note")"
    [ -f "$results/$label.recorded" ] && echo "$label: recorded during the sample, so it was not idle"
done
for label in "ebbcast (tray)" "ebbcast --headless"; do
    [ -f "$results/$label" ] || continue
    awk -v label="$label" -v cpu="$(value_of "$label" cpu)" -v rss="$(value_of "$label" rss)" 'BEGIN {
        printf "goals for %s: CPU %.3f %% of one core (goal <= 0.2 %%: %s), RSS %.1f MB (goal <= 60 MB: %s)\n",
               label, cpu, cpu <= 0.2 ? "met" : "MISSED", rss, rss <= 60 ? "met" : "MISSED" }'
done
for label in "ebbcast (tray)" "ebbcast --headless"; do
    [ -s "$results/$label.threads" ] || continue
    echo "wakeups/s of the busiest threads of $label: $(paste -sd ',' "$results/$label.threads" | sed 's/,/, /g')"
done
[ -f "$results/quit" ] && cat "$results/quit"
if [ -z "$panel" ] && [ -f "$sandbox/trayer.log" ]; then cat "$sandbox/trayer.log"; fi
exit 0
