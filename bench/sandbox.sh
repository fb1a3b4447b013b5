# Sourced by the benches that run Ebbcast as a desktop session would: enter_sandbox FOLDER points HOME, the XDG
# folders and XDG_RUNTIME_DIR into FOLDER, forgets the caller's sound server, Wayland and session manager, and
# picks a free X display number (:500 to :599) for scripts/test-services.sh to start Xvfb on.
enter_sandbox() { # folder
    export HOME="$1/home" XDG_RUNTIME_DIR="$1/runtime"
    export XDG_CONFIG_HOME="$HOME/.config" XDG_STATE_HOME="$HOME/.local/state" XDG_DATA_HOME="$HOME/.local/share"
    export XDG_CACHE_HOME="$HOME/.cache" QT_QPA_PLATFORM=xcb
    unset PULSE_SERVER PULSE_COOKIE WAYLAND_DISPLAY XAUTHORITY SESSION_MANAGER
    mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 0700 "$XDG_RUNTIME_DIR"
    local number
    for number in $(seq 500 599); do
        if [ ! -e "/tmp/.X$number-lock" ] && [ ! -e "/tmp/.X11-unix/X$number" ]; then
            export DISPLAY=":$number"
            return 0
        fi
    done
    echo "no free X display number between :500 and :599" >&2
    return 1
}

# For a bench that runs ebbcast on a private session bus and needs nothing installed besides TOOLS. Outside
# (EBBCAST_BENCH_INSIDE unset): builds ebbcast under the build lock, checks the tools, runs SCRIPT again with
# ARGUMENTS in a fresh sandbox under dbus-run-session, removes the sandbox and exits with the script's status.
# Inside: returns at once.
# Usage: rerun_in_session_sandbox ROOT BUILD SCRIPT "TOOL..." ARGUMENTS...
rerun_in_session_sandbox() {
    [ -z "${EBBCAST_BENCH_INSIDE:-}" ] || return 0
    local root="$1" build="$2" script="$3" tools="$4"
    shift 4
    [ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    flock "${EBBCAST_BUILD_LOCK:-/tmp/ebbcast-build.lock}" cmake --build "$build" --target ebbcast >/dev/null
    local tool
    for tool in dbus-run-session $tools; do
        command -v "$tool" >/dev/null || { echo "$(basename "$script") needs $tool" >&2; exit 1; }
    done
    bench_sandbox="$(mktemp -d -t ebbcast-bench.XXXXXX)"
    trap 'rm -rf "$bench_sandbox"' EXIT
    enter_sandbox "$bench_sandbox"
    local status=0
    EBBCAST_BENCH_INSIDE=1 dbus-run-session -- "$script" "$@" \
        2> >(grep --line-buffered -v '^dbus-daemon\[' >&2) || status=$?
    exit "$status"
}

# Waits (up to 60 s) until the headless application started as PID answers `ebbcast ctl status`; on time-out
# shows its standard error (ERRORS) and exits 1.
# Usage: wait_until_ctl_answers EBBCAST PID ERRORS
wait_until_ctl_answers() {
    local deadline=$((SECONDS + 60))
    until "$1" ctl status >/dev/null 2>&1; do
        if [ "$SECONDS" -ge "$deadline" ] || ! kill -0 "$2" 2>/dev/null; then
            echo "Ebbcast did not come up:" >&2
            cat "$3" >&2
            exit 1
        fi
        sleep 0.1
    done
}
