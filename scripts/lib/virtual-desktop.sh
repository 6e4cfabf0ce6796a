# Pieces of a desktop session for machines without one (CI, servers) and for tests: a virtual display with
# a window manager, a session bus with a notification daemon, and a PulseAudio server whose default input is
# a virtual microphone ("rec_mic", fed by whatever is played into the sink "rec_sink").
# Source this file, set VD_DIR to a private folder, call the vd_start_* functions, and vd_stop at the end.
# Every server runs in a session of its own (setsid), out of the terminal's process group: Ctrl-C reaches the
# program in the foreground, not the display under it, and vd_stop ends the servers after the program.

vd_pids=()

vd_log() { echo "${VD_NAME:-virtual-desktop}: $*" >&2; }

vd_wait_for() { # vd_wait_for SECONDS COMMAND...: retry a check until it succeeds
    local deadline=$((SECONDS + $1)); shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.05
    done
}

vd_start_audio() {
    export PULSE_RUNTIME_PATH="$VD_DIR/pulse" PULSE_STATE_PATH="$VD_DIR/pulse-state"
    mkdir -p "$PULSE_RUNTIME_PATH" "$PULSE_STATE_PATH"
    cat > "$VD_DIR/pulse.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 auth-cookie-enabled=0 socket=$PULSE_RUNTIME_PATH/native
load-module module-null-sink sink_name=rec_sink sink_properties=device.description=Virtual-Speaker
load-module module-remap-source master=rec_sink.monitor source_name=rec_mic channels=1 source_properties=device.description=Virtual-Microphone
set-default-source rec_mic
set-default-sink rec_sink
PA
    # The audio server must see neither the display nor the bus.
    setsid env -u DISPLAY -u DBUS_SESSION_BUS_ADDRESS pulseaudio --daemonize=yes -n -F "$VD_DIR/pulse.pa" \
        --exit-idle-time=-1 --log-target=file:"$VD_DIR/pulse.log" >/dev/null 2>&1 ||
        { vd_log "PulseAudio did not start:"; cat "$VD_DIR/pulse.log" >&2; return 1; }
    export PULSE_SERVER="unix:$PULSE_RUNTIME_PATH/native"
    vd_wait_for 10 pactl info || { vd_log "PulseAudio does not answer"; return 1; }
    vd_audio_started=1
}

vd_start_display() {
    exec {vd_display_fd}<> "$VD_DIR/display"
    setsid Xvfb -displayfd "$vd_display_fd" -screen 0 1920x1080x24 -nolisten tcp >"$VD_DIR/xvfb.log" 2>&1 &
    vd_pids+=($!)
    vd_wait_for 10 test -s "$VD_DIR/display" || { vd_log "Xvfb did not start"; cat "$VD_DIR/xvfb.log" >&2; return 1; }
    export DISPLAY=":$(head -n1 "$VD_DIR/display")"
    exec {vd_display_fd}>&-
    setsid openbox --sm-disable >"$VD_DIR/openbox.log" 2>&1 &
    vd_pids+=($!)
    # openbox announces itself before it manages windows; _NET_CLIENT_LIST appears once it does.
    vd_wait_for 10 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id" &&
        xprop -root _NET_CLIENT_LIST | grep -q "window id"' ||
        { vd_log "openbox did not start"; return 1; }
}

vd_start_bus() {
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$VD_DIR/bus"
    setsid dbus-daemon --session --fork --address="$DBUS_SESSION_BUS_ADDRESS" --print-pid=1 >"$VD_DIR/bus.pid"
    vd_pids+=("$(cat "$VD_DIR/bus.pid")")
}

vd_start_accessibility() { # the accessibility bus, where tests find controls by name (needs the session bus)
    setsid /usr/libexec/at-spi-bus-launcher --launch-immediately >"$VD_DIR/at-spi.log" 2>&1 &
    vd_pids+=($!)
    vd_wait_for 10 sh -c 'dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.NameHasOwner string:org.a11y.Bus | grep -q "boolean true"' ||
        { vd_log "the accessibility bus did not start"; cat "$VD_DIR/at-spi.log" >&2; return 1; }
}

vd_start_notifications() {
    setsid dunst >"$VD_DIR/dunst.log" 2>&1 &
    vd_pids+=($!)
    vd_wait_for 10 sh -c 'dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Notifications | grep -q "boolean true"' ||
        { vd_log "dunst did not start"; return 1; }
}

vd_stop() {
    [ -n "${vd_audio_started:-}" ] && pulseaudio --kill >/dev/null 2>&1 || true
    local pid
    for pid in "${vd_pids[@]}"; do kill "$pid" >/dev/null 2>&1 || true; done
    for pid in "${vd_pids[@]}"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" >/dev/null 2>&1 || true
    done
    vd_pids=()
}
