#!/usr/bin/env bash
# The chunk pipeline (GlossenChunkPipeline with the real gateway client, Drive and relay off) against the fake
# gateway (ebbcast_fake_gateway) on 127.0.0.1, whose jobs complete on the first poll with a 4 KiB transcript:
#
#  (a) one 300-s chunk completed during a recording, once a 32-bit float WAV at 48 kHz stereo (about
#      110 MiB) and once AAC in .m4a (about 7 MiB): upload, job, artifacts, download, the documents and the
#      transcript file; beside curl doing the same four exchanges (one -F POST, three GETs). Wall time, CPU
#      seconds and peak resident memory of each program (GNU time), the median of ROUNDS runs (default 3),
#      and the pipeline's ratio to curl.
#  (b) a stopped session of 240 chunks of 2 MiB resumed after a restart: 120 never submitted, 120 "accepted"
#      with a job the gateway knows. Time until every chunk has its outcome, CPU, peak memory, bytes written
#      (/proc/self/io), fsync and fdatasync calls (strace, in a second run on a copy of the session, so the
#      timed run is not traced) and the cost of one read-modify-write of "metadata.json".
#
# Builds first (under the build lock); the runs hold no lock. Usage: bench/chunk_pipeline.sh [ROUNDS]
# EBBCAST_BENCH_KEEP=1 keeps the work folder (the sessions, the outputs) and names it on standard error.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
rounds="${1:-3}"
flock "${EBBCAST_BUILD_LOCK:-/tmp/ebbcast-build.lock}" "$root/scripts/build.sh" >/dev/null
build="${EBBCAST_BUILD_DIR:-$root/build}"
bench="$build/bench/ebbcast_bench_chunk_pipeline"
for tool in sox ffmpeg curl strace /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "chunk_pipeline.sh needs $tool" >&2; exit 1; }
done
work="$(mktemp -d -t ebbcast-chunk-pipeline-bench.XXXXXX)"
gateway_pid=""
cleanup() {
    [ -n "$gateway_pid" ] && kill "$gateway_pid" 2>/dev/null || true
    if [ -n "${EBBCAST_BENCH_KEEP:-}" ]; then
        echo "kept $work" >&2
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

export EBBCAST_BENCH_GATEWAY_TOKEN="bench-token-$RANDOM$RANDOM"
# About 4 KiB of text, what five minutes of speech make.
text="$(awk 'BEGIN { while (length(t) < 4096) t = t "and then we went over the figures for the quarter once more "
    print substr(t, 1, 4095) "." }')"
cat >"$work/scenario.json" <<JSON
{"default_job": {"states": ["COMPLETE"], "glossen_job_id": "glossen-bench", "completed_at": "2026-01-01T10:05:00Z",
 "artifacts": [{"id": 1, "artifact_type": "transcript-txt", "size_bytes": ${#text}, "content": "$text"}]}}
JSON
# curl's multipart boundary is its own, hence --any-boundary; the pipeline and curl talk to the same gateway.
"$build/tests/ebbcast_fake_gateway" --token "$EBBCAST_BENCH_GATEWAY_TOKEN" --prefix /gw --any-boundary \
    --port-file "$work/port" --scenario "$work/scenario.json" 2>"$work/gateway.err" &
gateway_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
base="http://127.0.0.1:$(cat "$work/port")/gw"

measure() { # label command...: appends "label wall cpu maxrss_kib" to results, the output to out.<label>
    local label="$1"
    shift
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >"$work/out.$label"
    awk -v label="$label" '{ printf "%s %.3f %.3f %d\n", label, $1, $2 + $3, $4 }' "$work/time" >>"$work/results"
}
value() { # file name: the value of a "name value" line
    awk -v name="$2" '$1 == name { print $2 }' "$1"
}
fsyncs() { # strace -c output: fsync + fdatasync calls
    awk '$NF == "fsync" || $NF == "fdatasync" { n += $4 } END { print n + 0 }' "$1"
}
fsync_seconds() { # strace -c -w output: the time spent in fsync + fdatasync
    awk '$NF == "fsync" || $NF == "fdatasync" { s += $2 } END { print s + 0 }' "$1"
}

# The four exchanges with curl, as one program to time: the POST (streamed with -F), the job, its artifacts,
# the transcript.
cat >"$work/curl_exchanges.sh" <<'SH'
set -euo pipefail
base="$1" session="$2" metadata="$3" file="$4" type="$5"
header="Authorization: Bearer $EBBCAST_BENCH_GATEWAY_TOKEN"
reply=$(curl -sS -f -H @- -F "metadata=<$metadata;type=application/json" -F "file=@$file;type=$type" \
    "$base/v1/ebbcast/sessions/$session/chunks" <<<"$header")
job=$(sed -n 's/.*"gateway_job_id" *: *"\([^"]*\)".*/\1/p' <<<"$reply")
[ -n "$job" ] || { echo "no job in $reply" >&2; exit 1; }
curl -sS -f -o /dev/null -H @- "$base/v1/jobs/$job" <<<"$header"
curl -sS -f -o /dev/null -H @- "$base/v1/jobs/$job/artifacts" <<<"$header"
curl -sS -f -o /dev/null -H @- "$base/v1/jobs/$job/artifacts/1/download" <<<"$header"
SH

# --- (a) one 300-s chunk --------------------------------------------------------------------------------
mic_session=$("$bench" prepare "$work/a-mic" 1 0 16 300)
sox -n -r 48000 -c 2 -e floating-point -b 32 "$mic_session/chunks/mic_chunk_0001.wav" synth 300 pinknoise vol 0.3
system_session=$("$bench" prepare "$work/a-system" 0 1 16 300)
rm "$system_session/chunks/system_chunk_0001.m4a"
ffmpeg -v error -f lavfi -i "sine=frequency=440:duration=300:sample_rate=48000" -ac 2 -c:a aac -b:a 192k \
    "$system_session/chunks/system_chunk_0001.m4a"
for session in "$mic_session" "$system_session"; do
    id=$(basename "$session")
    cat >"$session.upload.json" <<JSON
{"recorder_id":"bench","recorder_name":"Bench","session_id":"$id","recording_name":"$id",
"thread_key":"ebbcast:bench:$id","chunk_index":1,"chunk_kind":"microphone",
"chunk_start_time":"2026-01-01T10:00:00Z","chunk_end_time":"2026-01-01T10:05:00Z","chunk_duration":300,
"local_file_name":"chunk"}
JSON
done

# Each pipeline run gets a fresh copy of the session, written out before the clock starts.
fresh() { # prepared-session copy-name: prints the copy's folder
    mkdir -p "$work/$2"
    rm -rf "${work:?}/$2/$(basename "$1")"
    cp -a "$1" "$work/$2/"
    sync
    echo "$work/$2/$(basename "$1")"
}
chunks=("$mic_session/chunks/mic_chunk_0001.wav" "$system_session/chunks/system_chunk_0001.m4a")
for round in $(seq "$rounds"); do
    for chunk in "${chunks[@]}"; do
        session=$(dirname "$(dirname "$chunk")")
        name=$(basename "$chunk")
        type=audio/wav
        [ "${name##*.}" = m4a ] && type=audio/mp4
        copy=$(fresh "$session" "run-a")
        measure "pipeline:$name:$round" "$bench" run "$base" "$copy" "$copy/chunks/$name"
        measure "curl:$name:$round" bash "$work/curl_exchanges.sh" "$base" "$(basename "$session")" \
            "$session.upload.json" "$chunk" "$type"
    done
done
# The fsyncs of one run of each, traced apart from the timed runs.
for chunk in "${chunks[@]}"; do
    session=$(dirname "$(dirname "$chunk")")
    name=$(basename "$chunk")
    copy=$(fresh "$session" "trace-a")
    strace -f -qq -c -w -o "$work/strace.$name" --seccomp-bpf -e trace=fsync,fdatasync \
        "$bench" run "$base" "$copy" "$copy/chunks/$name" >/dev/null
    echo "$name $(fsyncs "$work/strace.$name")" >>"$work/fsyncs-a"
done

# --- (b) 240 chunks resumed ------------------------------------------------------------------------------
resume_session=$("$bench" prepare "$work/b" 120 120 $((2 * 1024 * 1024)) 300)
accepted=$("$bench" accept "$base" "$resume_session")
before="$work/b-before/$(basename "$resume_session")" # the documents only, for the rewrite's cost
mkdir -p "$before"
cp "$resume_session/metadata.json" "$before/"
traced=$(fresh "$resume_session" "b-trace")
sync
measure "resume" "$bench" run "$base" "$resume_session"
strace -f -qq -c -w -o "$work/strace.resume" --seccomp-bpf -e trace=fsync,fdatasync \
    "$bench" run "$base" "$traced" >"$work/out.resume-traced"
"$bench" rewrite "$before" 20 >"$work/rewrite.before"
"$bench" rewrite "$resume_session" 20 >"$work/rewrite.after"

# --- The tables --------------------------------------------------------------------------------------------
echo "(a) one 300-s chunk, pipeline vs curl (one -F POST, three GETs) to ebbcast_fake_gateway on 127.0.0.1,"
echo "    median of $rounds run(s); goal: at most 10 % more time, at most 32 MiB more memory"
for file in "${chunks[@]}"; do
    name=$(basename "$file")
    grep " " "$work/results" | awk -v name="$name" -v bytes="$(stat -c %s "$file")" \
        -v fsync="$(awk -v n="$name" '$1 == n { print $2 }' "$work/fsyncs-a")" \
        -v written="$(value "$work/out.pipeline:$name:1" write_bytes)" '
        function median(list,   n, a, i, j, t) { n = split(list, a, " ")
            for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] + 0 < a[i] + 0) { t = a[i]; a[i] = a[j]; a[j] = t }
            return a[int((n + 1) / 2)] }
        { split($1, k, ":"); if (k[2] != name) next
          wall[k[1]] = wall[k[1]] " " $2; cpu[k[1]] = cpu[k[1]] " " $3; rss[k[1]] = rss[k[1]] " " $4 }
        END {
            pw = median(wall["pipeline"]); cw = median(wall["curl"])
            pc = median(cpu["pipeline"]); cc = median(cpu["curl"])
            pr = median(rss["pipeline"]) / 1024; cr = median(rss["curl"]) / 1024
            printf "  %s (%.1f MiB)\n", name, bytes / 1048576
            printf "    %-9s %8s %8s %10s\n", "", "wall s", "CPU s", "peak MiB"
            printf "    %-9s %8.3f %8.3f %10.1f   (%d fsyncs, %.1f KiB written)\n", "pipeline", pw, pc, pr, fsync, written / 1024
            printf "    %-9s %8.3f %8.3f %10.1f\n", "curl", cw, cc, cr
            printf "    %-9s %8.2f %8.2f %+9.1f MiB   time %s, memory %s\n", "ratio", (cw > 0 ? pw / cw : 0),
                (cc > 0 ? pc / cc : 0), pr - cr, (cw > 0 && pw / cw <= 1.10 ? "within goal" : "OVER goal"),
                (pr - cr <= 32 ? "within goal" : "OVER goal")
        }'
done

out="$work/out.resume"
outcomes=$(value "$out" outcomes)
traced_fsyncs=$(fsyncs "$work/strace.resume")
traced_outcomes=$(value "$work/out.resume-traced" outcomes)
echo
echo "(b) resuming 240 chunks of 2 MiB ($accepted accepted with a job, the others never submitted), live"
echo "    transcription on, the real pause; one run"
awk -v wall="$(awk '$1 == "resume" { print $2 }' "$work/results")" \
    -v cpu="$(awk '$1 == "resume" { print $3 }' "$work/results")" \
    -v rss="$(awk '$1 == "resume" { print $4 }' "$work/results")" \
    -v fsync="$traced_fsyncs" -v traced_outcomes="$traced_outcomes" \
    -v fsync_s="$(fsync_seconds "$work/strace.resume")" \
    -v traced_wall="$(value "$work/out.resume-traced" wall_s)" \
    -v rewrite_before="$(value "$work/rewrite.before" rewrite_ms)" \
    -v rewrite_after="$(value "$work/rewrite.after" rewrite_ms)" \
    -v cpu_before="$(value "$work/rewrite.before" rewrite_cpu_ms)" \
    -v cpu_after="$(value "$work/rewrite.after" rewrite_cpu_ms)" \
    -v bytes_before="$(value "$work/rewrite.before" metadata_bytes)" '
    { v[$1] = $2 }
    END {
        printf "  process (GNU time)        %8.3f s wall %8.3f CPU s %8.1f MiB peak\n", wall, cpu, rss / 1024
        printf "  until settled (in-process) %7.3f s wall %8.3f CPU s, peak %.1f MiB (%.1f MiB before the run, %.1f MiB at the end)\n",
            v["wall_s"], v["cpu_s"], v["peak_rss_mib"], v["peak_rss_before_mib"], v["rss_end_mib"]
        printf "  outcomes                  %d (%d complete), %d uploads; first 25/50/75/100 %% at %.2f / %.2f / %.2f / %.2f s\n",
            v["outcomes"], v["complete"], v["uploads"], v["outcome_25pct_s"], v["outcome_50pct_s"],
            v["outcome_75pct_s"], v["outcome_100pct_s"]
        printf "  pauses                    %d, %.1f s in all\n", v["pauses"], v["pause_s"]
        printf "  written                   %.1f MiB (%.1f KiB per outcome)\n", v["write_bytes"] / 1048576,
            v["write_bytes"] / 1024 / v["outcomes"]
        printf "  fsync + fdatasync         %d in the traced run, %.2f per outcome, %.2f s inside them (the traced run took %.2f s)\n",
            fsync, (traced_outcomes > 0 ? fsync / traced_outcomes : 0), fsync_s, traced_wall
        printf "  metadata.json             %d live_chunks, %d with text, %d transcript files; %.1f KiB -> %.1f KiB\n",
            v["live_chunks"], v["live_chunks_with_text"], v["transcript_files"], bytes_before / 1024,
            v["metadata_bytes"] / 1024
        est = v["metadata_rewrites"] * (rewrite_before + rewrite_after) / 2 / 1000
        printf "  metadata.json rewrites    %d, each %.2f ms (%.2f ms CPU) at the start, %.2f ms (%.2f ms CPU) at the end:\n",
            v["metadata_rewrites"], rewrite_before, cpu_before, rewrite_after, cpu_after
        printf "                            about %.2f s in all, %.0f %% of the wall time until settled\n", est,
            (v["wall_s"] > 0 ? 100 * est / v["wall_s"] : 0)
    }' "$out"

kill "$gateway_pid"
wait "$gateway_pid" 2>/dev/null || true
gateway_pid=""
if [ -s "$work/gateway.err" ]; then
    echo "the gateway reported:" >&2
    cat "$work/gateway.err" >&2
fi
