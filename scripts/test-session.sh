#!/usr/bin/env bash
# The part of scripts/test.sh that runs on the private session bus it starts: the real services, then ctest in
# the build folder, then the sanitizer reports. Not meant to be called on its own.
# Usage: test-session.sh BUILD_FOLDER [ctest arguments...]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$1"
shift
reports="${EBBCAST_SANITIZER_REPORTS:?set by scripts/test.sh}"

trap '"$root/scripts/test-services.sh" stop || true' EXIT
"$root/scripts/test-services.sh" start

cd "$build"
status=0
ctest --output-on-failure --parallel "$(nproc)" --timeout 300 "$@" || status=$?
if [ -n "$(ls -A "$reports")" ]; then
    for report in "$reports"/*; do
        echo "=== sanitizer report $(basename "$report")"
        cat "$report"
    done
    echo "The sanitizer reported the problems above." >&2
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
