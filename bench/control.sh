#!/usr/bin/env bash
# What asking the running application costs: `ebbcast ctl status` against `gdbus call` on the same
# com.tavilon.Ebbcast.Control1.Status (what a script would otherwise use), CALLS of each, wall time per call,
# in one run. A headless Ebbcast runs on a private session bus (dbus-run-session) with a private HOME and the
# test services (scripts/test-services.sh: PulseAudio, Xvfb, keyring). Both clients start a process per call,
# as a desktop action or a hotkey does.
# Usage: bench/control.sh [CALLS]   (default 50; builds ebbcast first under the build lock)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${EBBCAST_BUILD_DIR:-$root/build}"
calls="${1:-50}"
ebbcast="$build/app/ebbcast"

# shellcheck source=bench/sandbox.sh
. "$root/bench/sandbox.sh"
rerun_in_session_sandbox "$root" "$build" "$0" "gdbus" "$calls"

trap '"$root/scripts/test-services.sh" stop >/dev/null 2>&1 || true' EXIT
"$root/scripts/test-services.sh" start >/dev/null
"$ebbcast" settings set clockSyncEnabled false >/dev/null
"$ebbcast" --headless 2>"$XDG_RUNTIME_DIR/ebbcast.err" &
application=$!
wait_until_ctl_answers "$ebbcast" "$application" "$XDG_RUNTIME_DIR/ebbcast.err"

per_call_ms() { # command...
    local start end
    start=$(date +%s%N)
    for _ in $(seq "$calls"); do "$@" >/dev/null; done
    end=$(date +%s%N)
    awk -v ns="$((end - start))" -v n="$calls" 'BEGIN { printf "%.2f\n", ns / 1e6 / n }'
}

"$ebbcast" ctl status >/dev/null # warm caches for both
ours=$(per_call_ms "$ebbcast" ctl status)
theirs=$(per_call_ms gdbus call --session --dest com.tavilon.Ebbcast --object-path /com/tavilon/Ebbcast \
    --method com.tavilon.Ebbcast.Control1.Status)
kill -TERM "$application"
wait "$application" || true

printf '%-34s %10s\n' "Status, $calls calls" "ms / call"
printf '%-34s %10s\n' "ebbcast ctl status" "$ours"
printf '%-34s %10s\n' "gdbus call ... Control1.Status" "$theirs"
printf '%-34s %10s\n' "ratio ebbcast / gdbus" "$(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.2f\n", a / b }')"
