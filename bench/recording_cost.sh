#!/usr/bin/env bash
# What a whole recording costs, against the one ffmpeg command a user would run for the same three files, on a
# still screen and on a moving one, in one run on a private Xvfb and PulseAudio (scripts/test-services.sh):
#   ebbcast: `ebbcast record --duration SECONDS` (screen.mov, microphone.wav, system_audio.m4a, and the chunks)
#   ffmpeg:  x11grab of the display + pulse (the default source, the default sink's monitor) into
#            libx264 superfast High 12 Mb/s yuv420p .mov, pcm_f32le .wav and AAC 192 kb/s .m4a
# A tone plays into both sinks throughout. "still" is a bare desktop (a plain background), "moving" the test
# pattern (tests/ebbcast_test_pattern) over the whole screen. Reports CPU seconds (user + system) of each process and the ratio, per
# content, plus what the sound and display servers spent meanwhile (not counted in the ratio).
# Usage: bench/recording_cost.sh [SECONDS] [OTHER_EBBCAST...]   (default 20; builds first)
#   OTHER_EBBCAST: more ebbcast executables (an older build, say) measured in the same rounds.
# Repeat with EBBCAST_BENCH_ROUNDS=N (default 1); each round measures every program once per content.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-20}"
shift || true
"$root/scripts/build.sh" >/dev/null
build="${EBBCAST_BUILD_DIR:-$root/build}"
programs=("$build/app/ebbcast" "$@")
rounds="${EBBCAST_BENCH_ROUNDS:-1}"
preset=$(grep -oP 'preset = "\K[a-z]+' "$root/capture/linux/FfmpegH264Writer.h")

sandbox="$(mktemp -d -t ebbcast-bench.XXXXXX)"
export HOME="$sandbox/home" XDG_RUNTIME_DIR="$sandbox/runtime"
export XDG_CONFIG_HOME="$HOME/.config" XDG_STATE_HOME="$HOME/.local/state" XDG_DATA_HOME="$HOME/.local/share"
export XDG_CACHE_HOME="$HOME/.cache"
unset PULSE_SERVER PULSE_COOKIE WAYLAND_DISPLAY XAUTHORITY
for number in $(seq 500 599); do
    if [ ! -e "/tmp/.X$number-lock" ] && [ ! -e "/tmp/.X11-unix/X$number" ]; then
        export DISPLAY=":$number"
        break
    fi
done
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 0700 "$XDG_RUNTIME_DIR"
cleanup() {
    for pid in ${pattern:-} ${tones:-}; do kill "$pid" 2>/dev/null || true; done
    "$root/scripts/test-services.sh" stop
    rm -rf "$sandbox"
}
trap cleanup EXIT
"$root/scripts/test-services.sh" start

xsetroot -solid '#3a6ea5'
sox -n -r 48000 -c 2 -b 16 "$sandbox/tone.wav" synth 3600 sine 440 vol 0.3
tones=""
for sink in ebbcast_speaker ebbcast_mic_feed; do
    paplay -d "$sink" "$sandbox/tone.wav" &
    tones="$tones $!"
done
sleep 1

for program in "${programs[@]}"; do
    "$program" settings set recordingFolderPath "$sandbox/Recordings" >/dev/null
    "$program" settings set clockSyncEnabled false >/dev/null
done

# The microphone as the default source offers it; ffmpeg asks for the same rate and channels.
microphone=$(pactl get-default-source)
read -r mic_rate mic_channels < <(pactl list short sources |
    awk -v name="$microphone" '$2 == name { sub("ch", "", $5); sub("Hz", "", $6); print $6, $5 }')
monitor="$(pactl get-default-sink).monitor"

cpu_of() { # in a subshell: the CPU of its children, from `times` written to a file
    ( "$@"; times >"$sandbox/times" )
    tail -n 1 "$sandbox/times" | awk '{ split($1, u, "m"); split($2, s, "m");
        printf "%.2f\n", u[1] * 60 + u[2] + s[1] * 60 + s[2] }'
}

ticks_of() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# The private servers' own CPU: PulseAudio wakes for every fragment a stream asks for, Xvfb for every grab.
server_ticks() {
    echo $(($(ticks_of "$(cat "$XDG_RUNTIME_DIR/pulse/pid")") + $(ticks_of "$(cat "$XDG_RUNTIME_DIR/xvfb.pid")")))
}

run_ebbcast() { # program
    "$1" record --duration "$seconds" >"$sandbox/folder" 2>"$sandbox/err" || {
        echo "ebbcast record failed:" >&2
        cat "$sandbox/err" >&2
        return 1
    }
}

run_ffmpeg() {
    local folder="$sandbox/ffmpeg"
    rm -rf "$folder" && mkdir -p "$folder"
    ffmpeg -nostdin -loglevel error \
        -f x11grab -framerate 30 -video_size 1920x1080 -i "$DISPLAY" \
        -f pulse -sample_rate "$mic_rate" -channels "$mic_channels" -i "$microphone" \
        -f pulse -sample_rate 48000 -channels 2 -i "$monitor" \
        -map 0:v -c:v libx264 -preset "$preset" -profile:v high -pix_fmt yuv420p -b:v 12M -t "$seconds" \
        "$folder/screen.mov" \
        -map 1:a -c:a pcm_f32le -t "$seconds" "$folder/microphone.wav" \
        -map 2:a -c:a aac -b:a 192k -t "$seconds" "$folder/system_audio.m4a"
}

run_labelled() { # label: one measurement, appended to the content's results
    local before after cpu
    before=$(server_ticks)
    if [ "$1" = ffmpeg ]; then cpu=$(cpu_of run_ffmpeg); else cpu=$(cpu_of run_ebbcast "${programs[${1#ebbcast#}]}"); fi
    after=$(server_ticks)
    echo "$1 $cpu $((after - before))" >>"$sandbox/results.$content"
    rm -rf "$sandbox/Recordings"
}

labels=()
for index in "${!programs[@]}"; do labels+=("ebbcast#$index"); done
labels+=(ffmpeg)
for round in $(seq "$rounds"); do
    order=("${labels[@]}")
    if [ $((round % 2)) -eq 0 ]; then # every other round in reverse, so neither side always goes first
        order=()
        for ((i = ${#labels[@]} - 1; i >= 0; i--)); do order+=("${labels[$i]}"); done
    fi
    for content in still moving; do
        if [ "$content" = moving ]; then
            QT_QPA_PLATFORM=xcb "$build/tests/ebbcast_test_pattern" >/dev/null 2>&1 &
            pattern=$!
        fi
        sleep 1
        for label in "${order[@]}"; do run_labelled "$label"; done
        if [ "$content" = moving ]; then
            kill "$pattern"
            wait "$pattern" 2>/dev/null || true
            pattern=""
        fi
    done
done

echo "recording ${seconds} s: 1920x1080 at 30 fps (libx264 ${preset}), microphone ${mic_rate} Hz ${mic_channels} ch," \
    "system audio 48 kHz 2 ch; ${rounds} round(s), CPU seconds (user + system) per run"
for index in "${!programs[@]}"; do echo "ebbcast#$index = ${programs[$index]}"; done
for content in still moving; do
    awk -v content="$content" -v hz="$(getconf CLK_TCK)" '
        { cpu[$1] = cpu[$1] (cpu[$1] == "" ? "" : " ") $2; sum[$1] += $2; n[$1]++; server[$1] += $3
          if (!($1 in seen)) { seen[$1] = 1; order[++count] = $1 } }
        END {
            for (i = 1; i <= count; i++) {
                label = order[i]; mean = sum[label] / n[label]
                line = sprintf("%-7s %-9s %6.2f CPU s (runs: %s), servers %.2f s", content, label, mean,
                               cpu[label], server[label] / n[label] / hz)
                if (label != "ffmpeg") line = line sprintf(", ratio to ffmpeg %.2f", mean / (sum["ffmpeg"] / n["ffmpeg"]))
                print line
            }
        }' "$sandbox/results.$content"
done
