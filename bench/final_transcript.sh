#!/usr/bin/env bash
# The final transcript set of a ten-hour session (240 chunks, about 5 KB of text each), on a disk folder and on
# tmpfs (/dev/shm), beside a python3 one-liner (and jq, when installed) that joins the chunks' texts into one
# file: the median, fastest and slowest of ROUNDS runs (default 10) of each step and of the whole call, and the
# peak resident memory. Builds the bench program first and measures while holding the build lock, so that no
# build on the machine competes for its two cores; removes its folders after.
# Usage: bench/final_transcript.sh [ROUNDS]   (EBBCAST_BENCH_DISK picks the disk folder's parent, default
# ${TMPDIR:-/tmp}; PYTHON the interpreter, default /usr/bin/python3 where it exists)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
rounds="${1:-10}"
build="${EBBCAST_BUILD_DIR:-$root/build}"
exec 9>/tmp/ebbcast-build.lock
flock 9
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target ebbcast_bench_final_transcript >/dev/null

python="${PYTHON:-}"
if [ -z "$python" ]; then
    python="$(command -v /usr/bin/python3 || command -v python3)"
fi

disk="$(mktemp -d "${EBBCAST_BENCH_DISK:-${TMPDIR:-/tmp}}/ebbcast-final-transcript.XXXXXX")"
memory="$(mktemp -d /dev/shm/ebbcast-final-transcript.XXXXXX)"
trap 'rm -rf "$disk" "$memory"' EXIT

"$build/bench/ebbcast_bench_final_transcript" --rounds "$rounds" --python "$python" "$disk" "$memory"
