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
