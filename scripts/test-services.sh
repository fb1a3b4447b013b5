#!/usr/bin/env bash
# Starts and stops the real services the integration tests use, inside the caller's private HOME and
# XDG_RUNTIME_DIR (scripts/test.sh sets them up):
#   PulseAudio without a sound card: the null sink "ebbcast_speaker" is the default output (its monitor is the
#   system audio), and "ebbcast_microphone", remapped from the monitor of the null sink "ebbcast_mic_feed", is
#   the default input. Sound played into ebbcast_mic_feed reaches the microphone.
#   Xvfb on $DISPLAY (1920x1080, 24-bit), one RandR monitor.
#   GNOME Keyring as the Secret Service on the session bus (run under dbus-run-session), its login keyring
#   created in the private home and unlocked with a throw-away password.
# Usage: test-services.sh start | stop
set -euo pipefail

: "${XDG_RUNTIME_DIR:?set XDG_RUNTIME_DIR to a private folder first}"

wait_for() { # seconds command...
    local deadline=$((SECONDS + $1)); shift
    until "$@" >/dev/null 2>&1; do
        if [ "$SECONDS" -ge "$deadline" ]; then return 1; fi
        sleep 0.05
    done
}

start_pulseaudio() {
    pulseaudio --daemonize=yes --exit-idle-time=-1 --disallow-exit -n \
        --load=module-native-protocol-unix --log-target=stderr 2>"$XDG_RUNTIME_DIR/pulseaudio.log" || true
    if ! wait_for 10 pactl info; then
        echo "PulseAudio did not start:" >&2
        cat "$XDG_RUNTIME_DIR/pulseaudio.log" >&2 || true
        return 1
    fi
    pactl load-module module-null-sink sink_name=ebbcast_speaker \
        sink_properties=device.description=Test_Speaker >/dev/null
    pactl load-module module-null-sink sink_name=ebbcast_mic_feed \
        sink_properties=device.description=Test_Microphone_Feed >/dev/null
    pactl load-module module-remap-source master=ebbcast_mic_feed.monitor source_name=ebbcast_microphone \
        source_properties=device.description=Test_Microphone >/dev/null
    pactl set-default-sink ebbcast_speaker
    pactl set-default-source ebbcast_microphone
    # An idle null sink renders up to 2 s ahead in one burst, so its monitor delivers in irregular lumps that
    # no real device produces. A low-latency stream of silence on each keeps the monitors flowing in real time.
    for sink in ebbcast_speaker ebbcast_mic_feed; do
        pacat --playback --latency-msec=10 --raw --format=s16le --rate=48000 --channels=2 \
            --client-name=ebbcast-test-clock -d "$sink" </dev/zero >/dev/null 2>&1 &
        echo $! >>"$XDG_RUNTIME_DIR/ebbcast-feeders.pid"
    done
    feeders_connected() { [ "$(pactl list short sink-inputs | wc -l)" -ge 2 ]; }
    if ! wait_for 10 feeders_connected; then
        echo "The silence feeders did not connect to PulseAudio" >&2
        return 1
    fi
    # A new null sink has already rendered 2 s ahead and sleeps until then: wait that out once.
    sleep 2.5
}

start_xvfb() {
    : "${DISPLAY:?set DISPLAY to a free display number first}"
    Xvfb "$DISPLAY" -screen 0 1920x1080x24 -nolisten tcp -noreset >"$XDG_RUNTIME_DIR/xvfb.log" 2>&1 &
    echo $! >"$XDG_RUNTIME_DIR/xvfb.pid"
    if ! wait_for 10 xdpyinfo; then
        echo "Xvfb did not start:" >&2
        cat "$XDG_RUNTIME_DIR/xvfb.log" >&2 || true
        return 1
    fi
}

secret_service_owned() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets | grep -q "boolean true"
}

start_keyring() {
    if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
        echo "No session bus (run under dbus-run-session): no Secret Service started." >&2
        return 0
    fi
    head -c 24 /dev/urandom | base64 | tr -d '\n' |
        gnome-keyring-daemon --foreground --unlock --components=secrets \
            >"$XDG_RUNTIME_DIR/keyring.env" 2>"$XDG_RUNTIME_DIR/keyring.log" &
    echo $! >"$XDG_RUNTIME_DIR/keyring.pid"
    if ! wait_for 10 secret_service_owned; then
        echo "GNOME Keyring did not take the Secret Service name:" >&2
        cat "$XDG_RUNTIME_DIR/keyring.log" >&2 || true
        return 1
    fi
}

stop_keyring() {
    if [ -f "$XDG_RUNTIME_DIR/keyring.pid" ]; then
        kill "$(cat "$XDG_RUNTIME_DIR/keyring.pid")" 2>/dev/null || true
        rm -f "$XDG_RUNTIME_DIR/keyring.pid"
    fi
}

stop_xvfb() {
    if [ -f "$XDG_RUNTIME_DIR/xvfb.pid" ]; then
        kill "$(cat "$XDG_RUNTIME_DIR/xvfb.pid")" 2>/dev/null || true
        rm -f "$XDG_RUNTIME_DIR/xvfb.pid"
    fi
}

stop_pulseaudio() {
    if [ -f "$XDG_RUNTIME_DIR/ebbcast-feeders.pid" ]; then
        xargs -r kill <"$XDG_RUNTIME_DIR/ebbcast-feeders.pid" 2>/dev/null || true
        rm -f "$XDG_RUNTIME_DIR/ebbcast-feeders.pid"
    fi
    pulseaudio --kill >/dev/null 2>&1 || true
}

case "${1:-}" in
    start) start_xvfb && start_pulseaudio && start_keyring ;;
    stop) stop_keyring; stop_pulseaudio; stop_xvfb ;;
    *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
