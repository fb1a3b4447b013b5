#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds everything and runs the whole test suite in a private home folder, so
# that no test reads or writes the user's own settings, log or recordings. Exits non-zero on any failure.
# Arguments are passed to ctest (for example: -L unit, -R Logger).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${EBBCAST_BUILD_DIR:-$root/build}"
"$root/scripts/install-dependencies.sh" --test
"$root/scripts/build.sh"

sandbox="$(mktemp -d -t ebbcast-tests.XXXXXX)"
cleanup() {
    "$root/scripts/test-services.sh" stop || true
    rm -rf "$sandbox"
}
trap cleanup EXIT

export HOME="$sandbox/home"
export XDG_CONFIG_HOME="$HOME/.config"
export XDG_STATE_HOME="$HOME/.local/state"
export XDG_DATA_HOME="$HOME/.local/share"
export XDG_CACHE_HOME="$HOME/.cache"
export XDG_RUNTIME_DIR="$sandbox/runtime"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 0700 "$XDG_RUNTIME_DIR"

# A private sound server and X display instead of the user's own; tests never reach a real device.
unset PULSE_SERVER PULSE_COOKIE WAYLAND_DISPLAY XAUTHORITY
for number in $(seq 99 199); do
    if [ ! -e "/tmp/.X$number-lock" ] && [ ! -e "/tmp/.X11-unix/X$number" ]; then
        export DISPLAY=":$number"
        break
    fi
done
export QT_QPA_PLATFORM=xcb
"$root/scripts/test-services.sh" start

cd "$build"
ctest --output-on-failure --parallel "$(nproc)" --timeout 300 "$@"
