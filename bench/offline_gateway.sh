#!/usr/bin/env bash
# The offline transcription gateway (ebbcast-gateway) side by side with the speech engine's own command-line
# decoder, `pocketsphinx_continuous -infile FILE` (16 kHz mono 16-bit WAV only), in one run:
#  1. Audio: the sentences of tests/data/speech/sentences.txt spoken by espeak-ng (the voice and rate of its
#     header line), and a chunk of CHUNK_SECONDS (default 300) of speech with pauses: the sentences in order,
#     0.5-2.5 s of silence before each, as many whole sentences as fit, padded with silence to the exact length.
#     Each as the recorders write it for the gateway (48 kHz 32-bit float WAV; AAC in .m4a) and as sox's
#     16 kHz WAV for the decoder (that conversion is timed on its own).
#  2. Engine: `ebbcast-gateway --transcribe` (one process per form) against the decoder (one process per file):
#     real-time factor per core (CPU seconds of the whole process per audio second; the gateway's own
#     recognition-only figure beside it), wall time, peak RSS (GNU time) and word error rate (word edit
#     distance after lower-casing and removing punctuation, over all words). The decoder's figure on the
#     sentences includes a model load per file; on the chunk that load is negligible.
#  3. Server: the gateway with 1 worker, then with one per core, each with its own data folder: four jobs (the
#     chunk as WAV and as m4a, twice each with another chunk_index) uploaded as ebbcast does (multipart, bearer
#     token); wall time from the first 202 to the last COMPLETE (polled every 0.5 s), VmRSS of the idle gateway
#     (the cost of a worker is the difference over the extra workers) and VmHWM after the jobs.
#  4. Under a recording, in a private session (bench/sandbox.sh, scripts/test-services.sh: Xvfb 1920x1080 and
#     PulseAudio) with the test pattern over the screen: `ebbcast record --duration RECORD_SECONDS` (default 60)
#     alone, then again while the gateway (one worker per core) transcribes the WAV and m4a chunks uploaded at
#     the recording's start, polled as ebbcast polls (every 5 s). Frames of screen.mov (ffprobe -count_frames)
#     both times, and each job's latency from its acceptance to COMPLETE (its job document) against the
#     client's wait of 300 s (60 polls 5 s apart).
# Goals stated in the output: a real-time factor no worse than the decoder's, latencies well inside the wait
# (at most half of it), no frame lost to the transcription.
# Usage: bench/offline_gateway.sh [CHUNK_SECONDS] [RECORD_SECONDS]   (defaults 300 and 60; about 16 minutes)
# Builds ebbcast, ebbcast-gateway and the test pattern, and measures, holding the build lock (taken here unless
# the caller already holds it: `flock /tmp/ebbcast-build.lock bench/offline_gateway.sh`).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${EBBCAST_BUILD_DIR:-$root/build}"
chunk_seconds="${1:-300}"
record_seconds="${2:-60}"
ebbcast="$build/app/ebbcast"
gateway="$build/app/ebbcast-gateway"
sentences_file="$root/tests/data/speech/sentences.txt"
wait_window=300 # what ebbcast waits for a job: 60 polls 5 s apart
cores="$(nproc)"

# shellcheck source=bench/sandbox.sh
. "$root/bench/sandbox.sh"

# Whether a process this script runs under (as in `flock LOCK bench/offline_gateway.sh`) holds the lock LOCK.
held_above() { # lock
    [ -e "$1" ] || return 1
    local inode holders pid holder
    inode="$(stat -L -c %i "$1")"
    holders="$(awk -v inode="$inode" '$2 == "FLOCK" { n = split($6, id, ":"); if (id[n] == inode) print $5 }' \
        /proc/locks)"
    pid=$PPID
    while [ "${pid:-0}" -gt 1 ]; do
        for holder in $holders; do [ "$holder" = "$pid" ] && return 0; done
        pid="$(awk '/^PPid:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)"
    done
    return 1
}

if [ -z "${EBBCAST_BENCH_INSIDE:-}" ]; then
    lock="${EBBCAST_BUILD_LOCK:-/tmp/ebbcast-build.lock}"
    if ! held_above "$lock"; then
        exec 9>"$lock"
        flock 9
    fi
    [ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" --target ebbcast ebbcast-gateway ebbcast_test_pattern >/dev/null
    # The lock is ours already: the sandbox's own (no-op) build of ebbcast gets a lock that nobody holds.
    EBBCAST_BUILD_LOCK=/dev/null rerun_in_session_sandbox "$root" "$build" "$0" \
        "espeak-ng sox soxi ffmpeg ffprobe curl pocketsphinx_continuous /usr/bin/time Xvfb pulseaudio" \
        "$chunk_seconds" "$record_seconds"
fi

# Inside the sandbox from here on.
python="$(command -v /usr/bin/python3 || command -v python3)"
work="$HOME/bench"
mkdir -p "$work"
gateway_pid="" pattern_pid="" record_pid="" services=""
cleanup() {
    local pid
    for pid in $gateway_pid $pattern_pid $record_pid; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ -z "$services" ] || "$root/scripts/test-services.sh" stop >/dev/null 2>&1 || true
}
trap cleanup EXIT
say() { echo "[$(date +%T)] $*" >&2; }

token="bench-$(head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n')"
export EBBCAST_GATEWAY_TOKEN="$token"
printf 'Authorization: Bearer %s\n' "$token" >"$work/auth-header" # curl -H @file: the token is no argument
chmod 0600 "$work/auth-header"

# ---------------------------------------------------------------------------------------------------- audio
voice="$(sed -n 's/^# voice \([^ ]*\) rate \([0-9]*\);.*/\1/p' "$sentences_file" | head -n 1)"
rate="$(sed -n 's/^# voice \([^ ]*\) rate \([0-9]*\);.*/\2/p' "$sentences_file" | head -n 1)"
mapfile -t sentences < <(grep -v '^#' "$sentences_file" | sed '/^[[:space:]]*$/d')
[ -n "$voice" ] && [ "${#sentences[@]}" -gt 0 ] || { echo "no voice line or no sentences in $sentences_file" >&2; exit 1; }

say "speaking ${#sentences[@]} sentences ($voice, rate $rate) and a ${chunk_seconds} s chunk"
audio="$work/audio"
mkdir -p "$audio"
: >"$audio/sentences.ref"
for index in "${!sentences[@]}"; do
    name="$(printf 's%02d' "$index")"
    espeak-ng -v "$voice" -s "$rate" -w "$audio/$name.wav" "${sentences[$index]}"
    echo "${sentences[$index]}" >>"$audio/sentences.ref"
done
espeak_rate="$(soxi -r "$audio/s00.wav")"

# The chunk: before each sentence (in order, cycled) a pause of 0.5, 2.0, 1.0, 2.5 or 1.5 s; whole sentences
# as long as they fit, then silence to exactly CHUNK_SECONDS.
for step in 1 2 3 4 5; do
    sox -r "$espeak_rate" -c 1 -n -b 16 "$audio/pause$step.wav" trim 0 "$((step * espeak_rate / 2))s"
done
parts=() total=0 spoken=0 speech=0 k=0
: >"$audio/chunk.ref"
limit=$((chunk_seconds * espeak_rate))
while :; do
    index=$((k % ${#sentences[@]}))
    step=$((1 + (k * 3) % 5))
    sentence_samples="$(soxi -s "$audio/$(printf 's%02d' "$index").wav")"
    next=$((total + step * espeak_rate / 2 + sentence_samples))
    [ "$next" -lt "$limit" ] || break
    parts+=("$audio/pause$step.wav" "$audio/$(printf 's%02d' "$index").wav")
    printf '%s ' "${sentences[$index]}" >>"$audio/chunk.ref"
    total=$next speech=$((speech + sentence_samples)) spoken=$((spoken + 1)) k=$((k + 1))
done
echo >>"$audio/chunk.ref"
sox -r "$espeak_rate" -c 1 -n -b 16 "$audio/pad.wav" trim 0 "$((limit - total))s"
sox "${parts[@]}" "$audio/pad.wav" "$audio/chunk.wav"

# As the recorders write them: the microphone's 48 kHz float WAV, the system audio's AAC.
names=()
for index in "${!sentences[@]}"; do names+=("$(printf 's%02d' "$index")"); done
for name in "${names[@]}" chunk; do
    sox -R "$audio/$name.wav" -r 48000 -e floating-point -b 32 "$audio/$name.mic.wav"
    ffmpeg -nostdin -v error -i "$audio/$name.wav" -ar 48000 -c:a aac -b:a 128k "$audio/$name.m4a"
done
# The decoder's input, timed: what a user of the decoder pays before it can start.
/usr/bin/time -f '%e %U %S' -o "$work/convert-sentences.time" bash -c '
    for name in "${@:2}"; do sox -R "$1/$name.wav" -r 16000 -c 1 -b 16 "$1/$name.16k.wav"; done' \
    _ "$audio" "${names[@]}"
/usr/bin/time -f '%e %U %S' -o "$work/convert-chunk.time" sox -R "$audio/chunk.wav" -r 16000 -c 1 -b 16 \
    "$audio/chunk.16k.wav"

# Word error rate over pairs of files, line N of REF against line N of HYP: total edits / total words.
wer() { # ref hyp [ref hyp ...]
    "$python" - "$@" <<'EOF'
import re, sys
def words(text):
    return re.sub(r"[^a-z0-9' ]+", " ", text.lower()).replace("'", "").split()
def distance(a, b):
    row = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        previous, row[0] = row[0], i
        for j, y in enumerate(b, 1):
            previous, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, previous + (x != y))
    return row[-1]
edits = total = 0
paths = sys.argv[1:]
for ref_path, hyp_path in zip(paths[::2], paths[1::2]):
    refs = open(ref_path, encoding="utf-8").read().splitlines()
    hyps = open(hyp_path, encoding="utf-8").read().splitlines()
    hyps += [""] * (len(refs) - len(hyps))
    for ref, hyp in zip(refs, hyps):
        edits += distance(words(ref), words(hyp))
        total += len(words(ref))
print(f"{edits / total:.3f}")
EOF
}
word_count() { # file: its words as wer counts them
    "$python" -c 'import re, sys
print(len(re.sub(r"[^a-z0-9'"'"' ]+", " ", open(sys.argv[1]).read().lower()).replace("'"'"'", "").split()))' "$1"
}
duration_of() { ffprobe -v error -show_entries format=duration -of csv=p=0 "$1"; }
audio_of() { # files: their total duration
    local sum=0 file
    for file in "$@"; do sum="$(awk -v a="$sum" -v b="$(duration_of "$file")" 'BEGIN { print a + b }')"; done
    echo "$sum"
}

# ---------------------------------------------------------------------------------------------------- engine
# One row of the engine table into $work/engine.rows:
#   label audio_s cpu_s process_rtf recognition_rtf wall_s peak_MiB wer
run_ours() { # label ref files...
    local label="$1" ref="$2"
    shift 2
    say "engine: ebbcast-gateway --transcribe ($label)"
    /usr/bin/time -f '%e %U %S %M' -o "$work/$label.time" "$gateway" --transcribe "$@" \
        >"$work/$label.hyp" 2>"$work/$label.err" || { cat "$work/$label.err" >&2; exit 1; }
    local audio_s recognition
    read -r audio_s recognition < <(awk '/: audio / { for (i = 1; i <= NF; i++) { if ($i == "audio") a += $(i + 1)
        if ($i == "(cpu") c += $(i + 1) } } END { printf "%.1f %.3f\n", a, c / a }' "$work/$label.err")
    tail -n 1 "$work/$label.time" | awk -v label="$label" -v a="$audio_s" -v r="$recognition" -v w="$(wer "$ref" "$work/$label.hyp")" \
        '{ printf "%s %.1f %.1f %.3f %s %.1f %.0f %s\n", label, a, $2 + $3, ($2 + $3) / a, r, $1, $4 / 1024, w }' \
        >>"$work/engine.rows"
}
run_decoder() { # label ref files...
    local label="$1" ref="$2" file
    shift 2
    say "engine: pocketsphinx_continuous -infile ($label, $# process(es))"
    : >"$work/$label.hyp"
    : >"$work/$label.times"
    for file in "$@"; do
        /usr/bin/time -f '%e %U %S %M' -o "$work/$label.time" pocketsphinx_continuous -infile "$file" \
            2>/dev/null | tr '\n' ' ' >>"$work/$label.hyp"
        echo >>"$work/$label.hyp"
        tail -n 1 "$work/$label.time" >>"$work/$label.times"
    done
    awk -v label="$label" -v a="$(audio_of "$@")" -v w="$(wer "$ref" "$work/$label.hyp")" \
        '{ wall += $1; cpu += $2 + $3; if ($4 > peak) peak = $4 }
         END { printf "%s %.1f %.1f %.3f - %.1f %.0f %s\n", label, a, cpu, cpu / a, wall, peak / 1024, w }' \
        "$work/$label.times" >>"$work/engine.rows"
}
: >"$work/engine.rows"
mic=() m4a=() pcm=()
for name in "${names[@]}"; do
    mic+=("$audio/$name.mic.wav") m4a+=("$audio/$name.m4a") pcm+=("$audio/$name.16k.wav")
done
run_ours sentences-ours-wav "$audio/sentences.ref" "${mic[@]}"
run_ours sentences-ours-m4a "$audio/sentences.ref" "${m4a[@]}"
run_decoder sentences-decoder "$audio/sentences.ref" "${pcm[@]}"
run_ours chunk-ours-wav "$audio/chunk.ref" "$audio/chunk.mic.wav"
run_ours chunk-ours-m4a "$audio/chunk.ref" "$audio/chunk.m4a"
run_decoder chunk-decoder "$audio/chunk.ref" "$audio/chunk.16k.wav"

# ---------------------------------------------------------------------------------------------------- server
rss_of() { awk -v key="$2:" '$1 == key { printf "%.0f\n", $2 / 1024 }' "/proc/$1/status"; } # pid VmRSS|VmHWM

start_gateway() { # folder workers: sets gateway_pid and port
    mkdir -p "$1"
    if [ "$2" = default ]; then
        "$gateway" --data-dir "$1/data" --port-file "$1/port" 2>"$1/stderr" &
    else
        "$gateway" --workers "$2" --data-dir "$1/data" --port-file "$1/port" 2>"$1/stderr" &
    fi
    gateway_pid=$!
    local deadline=$((SECONDS + 30))
    until [ -s "$1/port" ] && curl -sf -H @"$work/auth-header" "http://127.0.0.1:$(head -n 1 "$1/port")/v1/health" \
        >/dev/null 2>&1; do
        if [ "$SECONDS" -ge "$deadline" ] || ! kill -0 "$gateway_pid" 2>/dev/null; then
            echo "ebbcast-gateway did not come up:" >&2
            cat "$1/stderr" >&2
            exit 1
        fi
        sleep 0.1
    done
    port="$(head -n 1 "$1/port")"
    sleep 3 # the workers load their models in their own threads
}
stop_gateway() {
    kill -TERM "$gateway_pid"
    wait "$gateway_pid" || true
    gateway_pid=""
}

upload() { # session file index: prints the job id; appends "id accepted_epoch" to $work/accepted
    local session="$1" file="$2" index="$3" kind duration start end reply
    case "$file" in *.m4a) kind=system_audio ;; *) kind=microphone ;; esac
    duration="$(duration_of "$file")"
    start="$(date -u +%Y-%m-%dT%H:%M:%SZ)"
    end="$(date -u -d "@$(($(date +%s) + ${duration%.*}))" +%Y-%m-%dT%H:%M:%SZ)"
    local metadata
    metadata="$(printf '{"recorder_id":"bench-recorder","recorder_name":"bench","session_id":"%s","recording_name":"bench","thread_key":"bench","chunk_index":%d,"chunk_kind":"%s","chunk_start_time":"%s","chunk_end_time":"%s","chunk_duration":%s,"local_file_name":"%s_%04d.%s"}' \
        "$session" "$index" "$kind" "$start" "$end" "$duration" "$kind" "$index" "${file##*.}")"
    reply="$(curl -sS -w '\n%{http_code}' -H @"$work/auth-header" -F "metadata=$metadata;type=application/json" \
        -F "file=@$file" "http://127.0.0.1:$port/v1/ebbcast/sessions/$session/chunks")"
    if [ "$(tail -n 1 <<<"$reply")" != 202 ]; then
        echo "upload of $file refused: $reply" >&2
        exit 1
    fi
    local id
    id="$(head -n 1 <<<"$reply" | grep -o '"gateway_job_id":"[^"]*"' | cut -d '"' -f 4)"
    echo "$id $EPOCHREALTIME" >>"$work/accepted"
    echo "$id"
}

wait_complete() { # interval ids...: appends "id complete_epoch" to $work/completed
    local interval="$1" id state deadline=$((SECONDS + 1800))
    shift
    local pending=("$@")
    while [ "${#pending[@]}" -gt 0 ]; do
        local still=()
        for id in "${pending[@]}"; do
            state="$(curl -sS -H @"$work/auth-header" "http://127.0.0.1:$port/v1/jobs/$id" |
                grep -o '"state":"[A-Z_]*"' | cut -d '"' -f 4)"
            case "$state" in
            COMPLETE) echo "$id $EPOCHREALTIME" >>"$work/completed" ;;
            PERMANENT_FAILURE) echo "job $id failed" >&2; exit 1 ;;
            *) still+=("$id") ;;
            esac
        done
        pending=("${still[@]}")
        [ "${#pending[@]}" -eq 0 ] && break
        [ "$SECONDS" -lt "$deadline" ] || { echo "jobs still pending after 30 minutes" >&2; exit 1; }
        sleep "$interval"
    done
}

: >"$work/server.rows"
for workers in 1 "$cores"; do
    folder="$work/server-$workers"
    say "server: $workers worker(s), 4 jobs of ${chunk_seconds} s"
    start_gateway "$folder" "$workers"
    idle="$(rss_of "$gateway_pid" VmRSS)"
    : >"$work/accepted"
    : >"$work/completed"
    ids=()
    for index in 1 2; do
        ids+=("$(upload "server-$workers" "$audio/chunk.mic.wav" "$index")")
        ids+=("$(upload "server-$workers" "$audio/chunk.m4a" "$index")")
    done
    wait_complete 0.5 "${ids[@]}"
    peak="$(rss_of "$gateway_pid" VmHWM)"
    cpu="$(awk -v hz="$(getconf CLK_TCK)" '{ printf "%.1f\n", ($14 + $15) / hz }' "/proc/$gateway_pid/stat")"
    stop_gateway
    wall="$(awk 'NR == FNR { if (first == "" || $2 < first) first = $2; next } { if ($2 > last) last = $2 }
        END { printf "%.1f\n", last - first }' "$work/accepted" "$work/completed")"
    pairs=()
    for id in "${ids[@]}"; do # a transcript on one line, as the reference
        { tr '\n' ' ' <"$folder/data/jobs/$id/transcript.txt"; echo; } >"$folder/$id.hyp"
        pairs+=("$audio/chunk.ref" "$folder/$id.hyp")
    done
    echo "$workers $wall $cpu $idle $peak $(wer "${pairs[@]}")" >>"$work/server.rows"
done

# ---------------------------------------------------------------------------------------------------- recording
say "recording: test services, ${record_seconds} s alone, then with the gateway"
"$root/scripts/test-services.sh" start >/dev/null
services=1
"$ebbcast" settings set clockSyncEnabled false >/dev/null
"$ebbcast" settings set enableLiveTranscription false >/dev/null
"$ebbcast" settings set recordingFolderPath "$HOME/Recordings" >/dev/null
"$build/tests/ebbcast_test_pattern" >/dev/null 2>&1 &
pattern_pid=$!
sleep 1

frames_of() {
    ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$1"
}
record() { # label: starts `ebbcast record` in the background, sets record_pid
    "$ebbcast" record --duration "$record_seconds" >"$work/$1.folder" 2>"$work/$1.err" &
    record_pid=$!
}
finish_record() { # label: waits for it and sets frames to the frames of its screen.mov
    if ! wait "$record_pid"; then
        record_pid=""
        echo "ebbcast record failed:" >&2
        cat "$work/$1.err" >&2
        exit 1
    fi
    record_pid=""
    frames="$(frames_of "$(head -n 1 "$work/$1.folder")/screen.mov")"
}

record alone
finish_record alone
frames_alone="$frames"

start_gateway "$work/loaded" default
: >"$work/accepted"
: >"$work/completed"
record loaded
deadline=$((SECONDS + 30))
until [ -s "$work/loaded.folder" ]; do # the folder is printed once it records
    [ "$SECONDS" -lt "$deadline" ] && kill -0 "$record_pid" 2>/dev/null || {
        cat "$work/loaded.err" >&2
        exit 1
    }
    sleep 0.05
done
loaded_ids=("$(upload loaded "$audio/chunk.mic.wav" 1)" "$(upload loaded "$audio/chunk.m4a" 1)")
wait_complete 5 "${loaded_ids[@]}"
finish_record loaded
frames_loaded="$frames"
stop_gateway
latency() { # job id: seconds from created_at to ended_at of its job document
    "$python" - "$work/loaded/data/jobs/$1/job.json" <<'EOF'
import json, sys
from datetime import datetime
job = json.load(open(sys.argv[1]))
at = lambda key: datetime.fromisoformat(job[key].replace("Z", "+00:00"))
print(f"{(at('ended_at') - at('created_at')).total_seconds():.0f}")
EOF
}
latency_wav="$(latency "${loaded_ids[0]}")"
latency_m4a="$(latency "${loaded_ids[1]}")"

# ---------------------------------------------------------------------------------------------------- report
words_sentences="$(word_count "$audio/sentences.ref")"
words_chunk="$(word_count "$audio/chunk.ref")"
field() { awk -v label="$1" -v n="$2" '$1 == label { print $n }' "$work/engine.rows"; }
echo
echo "offline transcription, $(uname -m) ${cores} cores, pocketsphinx $(dpkg-query -W -f '${Version}' pocketsphinx 2>/dev/null || echo '?')"
echo "audio: espeak-ng $voice rate $rate; ${#sentences[@]} sentences ($(field sentences-ours-wav 2) s, $words_sentences words);" \
    "chunk ${chunk_seconds} s = $spoken sentences ($(awk -v s="$speech" -v r="$espeak_rate" 'BEGIN { printf "%.1f", s / r }') s speech, $words_chunk words) with pauses"
echo
printf '%-9s %-23s %-11s %7s %7s %8s %9s %7s %7s %6s\n' audio engine input audio_s cpu_s rtf/core recog_rtf wall_s rss_MiB wer
while read -r label audio_s cpu_s rtf recognition wall peak error; do
    case "$label" in
    *-ours-wav) who="ebbcast-gateway" input="48k f32 WAV" ;;
    *-ours-m4a) who="ebbcast-gateway" input="AAC m4a" ;;
    *) who="pocketsphinx_continuous" input="16k s16 WAV" ;;
    esac
    printf '%-9s %-23s %-11s %7s %7s %8s %9s %7s %7s %6s\n' "${label%%-*}" "$who" "$input" "$audio_s" "$cpu_s" "$rtf" \
        "$recognition" "$wall" "$peak" "$error"
done <"$work/engine.rows"
read -r conversion_wall conversion_cpu < <(awk '{ printf "%.2f %.2f\n", $1, $2 + $3 }' "$work/convert-sentences.time")
read -r chunk_conversion_wall chunk_conversion_cpu < <(awk '{ printf "%.2f %.2f\n", $1, $2 + $3 }' "$work/convert-chunk.time")
echo "  rtf/core = CPU s of the whole process per audio s (model load included: the decoder loads once per file," \
    "${#sentences[@]} times on the sentences); recog_rtf = the gateway's recognition alone"
echo "  decoder's 16 kHz conversion (sox, apart): sentences ${conversion_cpu} CPU s / ${conversion_wall} s wall," \
    "chunk ${chunk_conversion_cpu} CPU s / ${chunk_conversion_wall} s wall"
echo
printf '%-30s %8s %7s %9s %9s %6s\n' "server: 4 jobs of ${chunk_seconds} s" wall_s cpu_s idle_MiB hwm_MiB wer
while read -r workers wall cpu idle peak error; do
    printf '%-30s %8s %7s %9s %9s %6s\n' "  --workers $workers" "$wall" "$cpu" "$idle" "$peak" "$error"
done <"$work/server.rows"
idle_one="$(awk 'NR == 1 { print $4 }' "$work/server.rows")"
idle_all="$(awk 'NR == 2 { print $4 }' "$work/server.rows")"
if [ "$cores" -gt 1 ]; then
    echo "  per extra worker: $(awk -v a="$idle_one" -v b="$idle_all" -v n="$cores" 'BEGIN { printf "%.0f", (b - a) / (n - 1) }') MiB;" \
        "speed-up ${cores} workers / 1: $(awk 'NR == 1 { a = $2 } NR == 2 { b = $2 } END { printf "%.2f", a / b }' "$work/server.rows")"
fi
echo "  wall = first 202 to last COMPLETE (polled every 0.5 s)"
echo
expected=$((record_seconds * 30))
echo "recording ${record_seconds} s, 1920x1080 test pattern: screen.mov frames (of $expected)"
printf '  %-44s %s\n' alone "$frames_alone" "with the gateway ($cores workers) on WAV + m4a" "$frames_loaded"
echo "  job latency accepted -> COMPLETE: WAV ${latency_wav} s, m4a ${latency_m4a} s (client waits ${wait_window} s)"
echo
verdict() { if [ "$1" = 1 ]; then echo met; else echo "NOT met"; fi; }
rtf_met="$(awk -v a="$(field chunk-ours-wav 4)" -v b="$(field chunk-ours-m4a 4)" -v c="$(field chunk-decoder 4)" \
    'BEGIN { print (a <= c && b <= c) ? 1 : 0 }')"
worst=$((latency_wav > latency_m4a ? latency_wav : latency_m4a))
echo "goal: rtf/core on the chunk no worse than the decoder's: WAV $(field chunk-ours-wav 4), m4a" \
    "$(field chunk-ours-m4a 4) vs $(field chunk-decoder 4): $(verdict "$rtf_met")"
echo "goal: latency at most half the client's wait (${wait_window} s): worst ${worst} s: $(verdict $((worst * 2 <= wait_window ? 1 : 0)))"
echo "goal: no frame lost to the transcription: $frames_loaded with load vs $frames_alone alone:" \
    "$(verdict $((frames_loaded >= frames_alone ? 1 : 0)))"
