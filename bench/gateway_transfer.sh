#!/usr/bin/env bash
# Gateway transfers with the client against curl, in one run, to the fake gateway (ebbcast_fake_gateway) on
# 127.0.0.1: a 300-s microphone chunk (32-bit float WAV, 48 kHz stereo, about 110 MiB), a 300-s system-audio
# chunk (AAC 192 kb/s, about 7 MiB) and a 1 MiB artifact download. Reports wall time, CPU seconds and peak
# resident memory of each program (GNU time), the median of ROUNDS runs (default 3), and the client's ratio
# to curl. Usage: bench/gateway_transfer.sh [ROUNDS]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
rounds="${1:-3}"
"$root/scripts/build.sh" >/dev/null
build="${EBBCAST_BUILD_DIR:-$root/build}"
client="$build/bench/ebbcast_bench_gateway_transfer"
work="$(mktemp -d -t ebbcast-gateway-bench.XXXXXX)"
gateway_pid=""
cleanup() {
    [ -n "$gateway_pid" ] && kill "$gateway_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

export EBBCAST_BENCH_GATEWAY_TOKEN="bench-token-$RANDOM$RANDOM"
echo '{"default_job": {"artifacts": [{"id": 1, "artifact_type": "transcript", "generated_bytes": 1048576}]}}' \
    >"$work/scenario.json"
# curl's multipart boundary is its own, hence --any-boundary; both programs talk to the same gateway.
"$build/tests/ebbcast_fake_gateway" --token "$EBBCAST_BENCH_GATEWAY_TOKEN" --prefix /gw --any-boundary \
    --port-file "$work/port" --scenario "$work/scenario.json" 2>"$work/gateway.err" &
gateway_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
base="http://127.0.0.1:$(cat "$work/port")/gw"

sox -n -r 48000 -c 2 -e floating-point -b 32 "$work/mic_chunk_0000.wav" synth 300 pinknoise vol 0.3
ffmpeg -v error -f lavfi -i "sine=frequency=440:duration=300:sample_rate=48000" -ac 2 -c:a aac -b:a 192k \
    "$work/system_chunk_0000.m4a"
cat >"$work/metadata.json" <<JSON
{"recorder_id":"bench","recorder_name":"bench","session_id":"s-1","recording_name":"bench",
"thread_key":"ebbcast:bench:s-1","chunk_index":0,"chunk_kind":"microphone",
"chunk_start_time":"2026-01-01T10:00:00Z","chunk_end_time":"2026-01-01T10:05:00Z","chunk_duration":300,
"local_file_name":"chunk"}
JSON

measure() { # label command...: appends "label wall cpu maxrss_kib"
    local label="$1"
    shift
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >/dev/null
    awk -v label="$label" '{ printf "%s %.3f %.3f %d\n", label, $1, $2 + $3, $4 }' "$work/time" >>"$work/results"
}

header="Authorization: Bearer $EBBCAST_BENCH_GATEWAY_TOKEN"
for _ in $(seq "$rounds"); do
    for file in mic_chunk_0000.wav system_chunk_0000.m4a; do
        type=audio/wav
        [ "${file##*.}" = m4a ] && type=audio/mp4
        measure "ebbcast:upload:$file" "$client" upload "$base" s-1 "$work/$file"
        measure "curl:upload:$file" curl -sS -f -o /dev/null -H @- \
            -F "metadata=<$work/metadata.json;type=application/json" -F "file=@$work/$file;type=$type" \
            "$base/v1/ebbcast/sessions/s-1/chunks" <<<"$header"
    done
    job=$("$client" upload "$base" s-1 "$work/system_chunk_0000.m4a")
    measure "ebbcast:download:1MiB" "$client" download "$base" "$job" 1 "$work/artifact.ebbcast"
    measure "curl:download:1MiB" curl -sS -f -H @- -o "$work/artifact.curl" "$base/v1/jobs/$job/artifacts/1/download" \
        <<<"$header"
    cmp -s "$work/artifact.ebbcast" "$work/artifact.curl" || { echo "downloads differ" >&2; exit 1; }
done

echo "gateway transfers to ebbcast_fake_gateway on 127.0.0.1, median of $rounds run(s): wall s, CPU s, peak RSS MiB"
sort "$work/results" | awk '
    function median(list,   n, a, i, j, t) { n = split(list, a, " ")
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
        return a[int((n + 1) / 2)] }
    { split($1, k, ":"); key = k[2] ":" k[3]; tool = k[1]
      wall[tool, key] = wall[tool, key] " " $2; cpu[tool, key] = cpu[tool, key] " " $3; rss[tool, key] = rss[tool, key] " " $4
      keys[key] = 1 }
    END {
        for (key in keys) {
            ew = median(wall["ebbcast", key]); cw = median(wall["curl", key])
            printf "%-30s ebbcast %6.3f s %6.3f CPU s %6.1f MiB | curl %6.3f s %6.3f CPU s %6.1f MiB | time ratio %.2f\n",
                key, ew, median(cpu["ebbcast", key]), median(rss["ebbcast", key]) / 1024,
                cw, median(cpu["curl", key]), median(rss["curl", key]) / 1024, (cw > 0 ? ew / cw : 0)
        }
    }'
kill "$gateway_pid"
wait "$gateway_pid" 2>/dev/null || true
gateway_pid=""
if [ -s "$work/gateway.err" ]; then
    echo "the gateway reported:" >&2
    cat "$work/gateway.err" >&2
fi
