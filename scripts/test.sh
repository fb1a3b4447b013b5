#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds everything and runs the whole test suite in a private home folder, so
# that no test reads or writes the user's own settings, log or recordings. Exits non-zero on any failure.
# Arguments are passed to ctest (for example: -L unit, -R Logger). The first one may choose a sanitizer build:
#   --sanitize  AddressSanitizer and UndefinedBehaviorSanitizer (leaks included) in build-sanitize/ beside the
#               build folder (EBBCAST_SANITIZE_BUILD_DIR), the whole suite; any report fails the run.
#   --tsan      ThreadSanitizer in build-tsan/ (EBBCAST_TSAN_BUILD_DIR), the unit tests unless ctest arguments
#               choose others; any report fails the run.
# Under a sanitizer the programs run several times slower: EBBCAST_TIMING_SCALE tells the tests that measure
# time how much longer to allow (3 for --sanitize, 5 for --tsan).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${EBBCAST_BUILD_DIR:-$root/build}"
sanitizer=""
case "${1:-}" in
    --sanitize)
        shift
        sanitizer="address,undefined"
        build="${EBBCAST_SANITIZE_BUILD_DIR:-$build-sanitize}"
        ;;
    --tsan)
        shift
        sanitizer="thread"
        build="${EBBCAST_TSAN_BUILD_DIR:-$build-tsan}"
        [ "$#" -gt 0 ] || set -- -L unit
        ;;
esac

"$root/scripts/install-dependencies.sh" --test
if [ -n "$sanitizer" ]; then
    # A folder configured before (or without) the option gets it now; a matching one is left alone.
    if [ -f "$build/CMakeCache.txt" ] && ! grep -qx "EBBCAST_SANITIZE:STRING=$sanitizer" "$build/CMakeCache.txt"; then
        cmake "$build" "-DEBBCAST_SANITIZE=$sanitizer" >/dev/null
    fi
    EBBCAST_BUILD_DIR="$build" "$root/scripts/build.sh" "-DEBBCAST_SANITIZE=$sanitizer"
else
    EBBCAST_BUILD_DIR="$build" "$root/scripts/build.sh"
fi

sandbox="$(mktemp -d -t ebbcast-tests.XXXXXX)"
cleanup() {
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
# No test reaches Google or the relay: the addresses point at a closed loopback port unless a test names its own fake, and
# the sign-in callback takes any free port so that tests running side by side never compete for one.
export EBBCAST_GOOGLE_AUTH_URL="http://127.0.0.1:9/o/oauth2/v2/auth"
export EBBCAST_GOOGLE_TOKEN_URL="http://127.0.0.1:9/token"
export EBBCAST_GOOGLE_API_URL="http://127.0.0.1:9"
export EBBCAST_DRIVE_WEB_URL="http://127.0.0.1:9"
export EBBCAST_OAUTH_REDIRECT_PORT=0
export EBBCAST_RELAY_URL="http://127.0.0.1:9/corvane/api/v1/pelko/notify"
unset CORVANE_PELKO_RELAY_TOKEN

# Every instrumented process, the test programs and the ebbcast processes they start alike, writes its
# AddressSanitizer, LeakSanitizer and ThreadSanitizer reports to files named after its executable and pid: a
# child whose exit status a test does not look at cannot hide one, and a test that compares standard error is
# not disturbed by one. GCC's UndefinedBehaviorSanitizer, a library of its own beside AddressSanitizer, ignores
# log_path: its report goes to standard error and the process ends with status 1, which the tests check for
# every program they start.
reports="$sandbox/sanitizer-reports"
mkdir -p "$reports"
case "$sanitizer" in
    address,undefined)
        export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan:log_exe_name=1"
        export LSAN_OPTIONS="suppressions=$root/scripts/lsan-suppressions.txt:print_suppressions=0"
        export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:report_error_type=1:log_path=$reports/ubsan:log_exe_name=1"
        export EBBCAST_TIMING_SCALE="${EBBCAST_TIMING_SCALE:-3}"
        ;;
    thread)
        export TSAN_OPTIONS="ignore_noninstrumented_modules=1:die_after_fork=0:second_deadlock_stack=1:suppressions=$root/scripts/tsan-suppressions.txt:log_path=$reports/tsan:log_exe_name=1"
        export EBBCAST_TIMING_SCALE="${EBBCAST_TIMING_SCALE:-5}"
        ;;
esac

# The tests and the services run on a private session bus (with the Secret Service on it), which ends with them.
export EBBCAST_SANITIZER_REPORTS="$reports"
status=0
dbus-run-session -- "$root/scripts/test-session.sh" "$build" "$@" || status=$?
exit "$status"
