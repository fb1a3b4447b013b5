# Sourced by the benchmarks that sign in to Google: runs the calling script in a private HOME on a private
# session bus, with GNOME Keyring unlocked by a throw-away password (as scripts/test-services.sh does).
# The caller sets `root` and `build` first, then calls
#   enter_private_keyring_session NAME "$@"
# which, the first time, builds, makes the work folder, runs the script again inside dbus-run-session and
# exits with its status; inside, it sets `work`, starts the keyring and returns. `fake_pid` (the caller's
# fake server, if any) and the keyring are stopped when the script ends. EBBCAST_BENCH_KEEP=1 keeps the work
# folder.

fake_pid=""
keyring_pid=""

stop_bench_servers() {
    [ -n "$fake_pid" ] && kill "$fake_pid" 2>/dev/null || true
    [ -n "$keyring_pid" ] && kill "$keyring_pid" 2>/dev/null || true
}

enter_private_keyring_session() {
    local name="$1"
    shift
    if [ -z "${EBBCAST_BENCH_INSIDE:-}" ]; then
        "$root/scripts/build.sh" >/dev/null
        work="$(mktemp -d -t "$name.XXXXXX")"
        [ -n "${EBBCAST_BENCH_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT
        export HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/home/.config"
        export XDG_STATE_HOME="$work/home/.local/state" XDG_DATA_HOME="$work/home/.local/share"
        mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
        chmod 0700 "$XDG_RUNTIME_DIR"
        local status=0
        EBBCAST_BENCH_INSIDE=1 EBBCAST_BENCH_WORK="$work" dbus-run-session -- "$0" "$@" || status=$?
        exit "$status"
    fi

    work="$EBBCAST_BENCH_WORK"
    trap stop_bench_servers EXIT
    head -c 24 /dev/urandom | base64 | tr -d '\n' |
        gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null 2>"$work/keyring.log" &
    keyring_pid=$!
    for _ in $(seq 100); do
        dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q true && return 0
        sleep 0.1
    done
    echo "GNOME Keyring did not start (see $work/keyring.log)" >&2
    exit 1
}
