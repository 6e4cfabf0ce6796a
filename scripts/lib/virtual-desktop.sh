# Pieces of a desktop session for machines without one (CI, servers) and for tests: a virtual display with
# a window manager, a session bus with a notification daemon, and an audio server whose default input is
# a virtual microphone ("rec_mic", fed by whatever is played into the sink "rec_sink").
# The audio server is PulseAudio, or PipeWire with its PulseAudio server (pipewire-pulse) and the WirePlumber
# session manager when TEMPOLIS_AUDIO_SERVER=pipewire; either way clients reach it through PULSE_SERVER.
# Source this file, set VD_DIR to a private folder, call the vd_start_* functions, and vd_stop at the end.
# Every server runs in a session of its own (setsid), out of the terminal's process group: Ctrl-C reaches the
# program in the foreground, not the display under it, and vd_stop ends the servers after the program.

vd_pids=()
vd_audio_pids=() # pipewire, wireplumber, pipewire-pulse

vd_log() { echo "${VD_NAME:-virtual-desktop}: $*" >&2; }

vd_wait_for() { # vd_wait_for SECONDS COMMAND...: retry a check until it succeeds
    local deadline=$((SECONDS + $1)); shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.05
    done
}

# The virtual speaker and microphone, loaded into a running server through its PulseAudio protocol.
vd_audio_devices=(
    "load-module module-null-sink sink_name=rec_sink sink_properties=device.description=Virtual-Speaker"
    "load-module module-remap-source master=rec_sink.monitor source_name=rec_mic channels=1 source_properties=device.description=Virtual-Microphone"
    "set-default-source rec_mic"
    "set-default-sink rec_sink"
)

vd_start_audio() {
    case "${TEMPOLIS_AUDIO_SERVER:-pulseaudio}" in
        pulseaudio) vd_start_pulseaudio ;;
        pipewire) vd_start_pipewire ;;
        *) vd_log "TEMPOLIS_AUDIO_SERVER=$TEMPOLIS_AUDIO_SERVER: expected pulseaudio or pipewire"; return 1 ;;
    esac
}

vd_start_pulseaudio() {
    export PULSE_RUNTIME_PATH="$VD_DIR/pulse" PULSE_STATE_PATH="$VD_DIR/pulse-state"
    mkdir -p "$PULSE_RUNTIME_PATH" "$PULSE_STATE_PATH"
    {
        echo "load-module module-native-protocol-unix auth-anonymous=1 auth-cookie-enabled=0 socket=$PULSE_RUNTIME_PATH/native"
        printf '%s\n' "${vd_audio_devices[@]}"
    } > "$VD_DIR/pulse.pa"
    # The audio server must see neither the display nor the bus.
    setsid env -u DISPLAY -u DBUS_SESSION_BUS_ADDRESS pulseaudio --daemonize=yes -n -F "$VD_DIR/pulse.pa" \
        --exit-idle-time=-1 --log-target=file:"$VD_DIR/pulse.log" >/dev/null 2>&1 ||
        { vd_log "PulseAudio did not start:"; cat "$VD_DIR/pulse.log" >&2; return 1; }
    export PULSE_SERVER="unix:$PULSE_RUNTIME_PATH/native"
    vd_wait_for 10 pactl info || { vd_log "PulseAudio does not answer"; return 1; }
    vd_audio_started=pulseaudio
}

# Whether the server answers with these defaults (WirePlumber decides them, after pipewire-pulse answers).
vd_audio_defaults_are() {
    local info
    info=$(pactl info) || return 1
    grep -qx "Default Sink: $1" <<<"$info" && grep -qx "Default Source: $2" <<<"$info"
}

vd_start_pipewire() {
    # Debian 12's configuration as installed, but WirePlumber leaves the machine's sound cards, cameras and
    # Bluetooth alone (the real session may be using them) and needs no bus: without these lines it quits with
    # "Error acquiring bus address: Cannot autolaunch D-Bus without X11 $DISPLAY" (0.4.13).
    local pw="$VD_DIR/pipewire"
    mkdir -p "$pw/config/wireplumber/main.lua.d" "$pw/config/wireplumber/bluetooth.lua.d" "$pw/state" \
        "$pw/runtime" "$VD_DIR/pulse"
    chmod 0700 "$pw/runtime"
    # After the 50-*-config.lua files, before 90-enable-all.lua, which starts what is enabled.
    cat > "$pw/config/wireplumber/main.lua.d/60-test-session.lua" <<'LUA'
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
default_access.properties["enable-flatpak-portal"] = false
LUA
    echo 'bluez_monitor.enabled = false' > "$pw/config/wireplumber/bluetooth.lua.d/60-test-session.lua"
    # Nothing of the caller's: no display, bus or PipeWire/PulseAudio address, private configuration and state.
    # The PipeWire socket lives in our folder (not XDG_RUNTIME_DIR, which scripts/run leaves as the user's);
    # pipewire-pulse puts its socket "native" into PULSE_RUNTIME_PATH.
    local daemon_env=(env -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS -u PIPEWIRE_REMOTE
        -u PIPEWIRE_CONFIG_DIR -u PULSE_SERVER HOME="$pw" XDG_CONFIG_HOME="$pw/config"
        XDG_STATE_HOME="$pw/state" PIPEWIRE_RUNTIME_DIR="$pw/runtime" PULSE_RUNTIME_PATH="$VD_DIR/pulse")
    export PIPEWIRE_RUNTIME_DIR="$pw/runtime" PULSE_RUNTIME_PATH="$VD_DIR/pulse"
    export PULSE_SERVER="unix:$PULSE_RUNTIME_PATH/native"
    unset PIPEWIRE_REMOTE
    vd_audio_started=pipewire
    setsid "${daemon_env[@]}" pipewire >"$VD_DIR/pipewire.log" 2>&1 &
    vd_audio_pids=($!)
    vd_wait_for 10 test -S "$pw/runtime/pipewire-0" ||
        { vd_log "PipeWire did not start:"; cat "$VD_DIR/pipewire.log" >&2; return 1; }
    setsid "${daemon_env[@]}" wireplumber >"$VD_DIR/wireplumber.log" 2>&1 &
    vd_audio_pids+=($!)
    setsid "${daemon_env[@]}" pipewire-pulse >"$VD_DIR/pipewire-pulse.log" 2>&1 &
    vd_audio_pids+=($!)
    # pipewire-pulse's own "auto_null" sink (module-always-sink) as the default: WirePlumber is working.
    vd_wait_for 10 vd_audio_defaults_are auto_null auto_null.monitor ||
        { vd_log "PipeWire does not answer:"; tail -n 20 "$VD_DIR"/{pipewire,wireplumber,pipewire-pulse}.log >&2
          return 1; }
    local line
    for line in "${vd_audio_devices[@]}"; do
        # shellcheck disable=SC2086 # each line is a pactl command with its arguments
        pactl $line >/dev/null || { vd_log "pactl $line failed"; return 1; }
    done
    # WirePlumber links the microphone to the speaker's monitor and makes both the defaults.
    if ! vd_wait_for 10 vd_audio_defaults_are rec_sink rec_mic ||
        ! vd_wait_for 10 sh -c 'pw-link --links --input | grep -A1 "^input.rec_mic:input_FL" |
            grep -q "|<- rec_sink:monitor_FL"'; then
        vd_log "PipeWire did not set up the virtual devices"
        return 1
    fi
}

vd_start_xvfb() { # vd_start_xvfb WIDTHxHEIGHT: a virtual screen on the first free display number
    exec {vd_display_fd}<> "$VD_DIR/display"
    setsid Xvfb -displayfd "$vd_display_fd" -screen 0 "$1x24" -nolisten tcp >"$VD_DIR/xvfb.log" 2>&1 &
    vd_pids+=($!)
    vd_wait_for 10 test -s "$VD_DIR/display" || { vd_log "Xvfb did not start"; cat "$VD_DIR/xvfb.log" >&2; return 1; }
    export DISPLAY=":$(head -n1 "$VD_DIR/display")"
    exec {vd_display_fd}>&-
}

vd_start_display() {
    vd_start_xvfb 1920x1080 || return 1
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

vd_start_system_bus() {
    # A stand-in for the system bus, which containers and CI machines often lack: programs that look for a
    # service there (logind) get a clean "not there" instead of failing to connect.
    export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$VD_DIR/system-bus"
    setsid dbus-daemon --session --fork --address="$DBUS_SYSTEM_BUS_ADDRESS" --print-pid=1 >"$VD_DIR/system-bus.pid"
    vd_pids+=("$(cat "$VD_DIR/system-bus.pid")")
}

vd_bus_has_name() { # vd_bus_has_name NAME: something owns NAME on the session bus
    dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
        "string:$1" 2>/dev/null | grep -q "boolean true"
}

vd_start_accessibility() { # the accessibility bus, where tests find controls by name (needs the session bus)
    setsid /usr/libexec/at-spi-bus-launcher --launch-immediately >"$VD_DIR/at-spi.log" 2>&1 &
    vd_pids+=($!)
    vd_wait_for 10 vd_bus_has_name org.a11y.Bus ||
        { vd_log "the accessibility bus did not start"; cat "$VD_DIR/at-spi.log" >&2; return 1; }
}

vd_start_notifications() {
    setsid dunst >"$VD_DIR/dunst.log" 2>&1 &
    vd_pids+=($!)
    vd_wait_for 10 vd_bus_has_name org.freedesktop.Notifications ||
        { vd_log "dunst did not start"; return 1; }
}

vd_stop_pids() { # TERM, then KILL what is still there after 5 s
    local pid
    for pid in "$@"; do kill "$pid" >/dev/null 2>&1 || true; done
    for pid in "$@"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" >/dev/null 2>&1 || true
    done
}

vd_descendants() { # vd_descendants PID: every process under PID, parents before their children
    ps -e -o pid=,ppid= | awk -v root="$1" '
        { children[$2] = children[$2] " " $1 }
        END {
            queue = children[root]
            while (split(queue, next_pids, " ") > 0) {
                queue = ""
                for (i in next_pids) { print next_pids[i]; queue = queue " " children[next_pids[i]] }
            }
        }'
}

vd_stop() {
    case "${vd_audio_started:-}" in
        pulseaudio) pulseaudio --kill >/dev/null 2>&1 || true ;;
        # One by one, the PulseAudio server first and the core last: no client sees the core vanish under it.
        pipewire)
            local i
            for ((i = ${#vd_audio_pids[@]} - 1; i >= 0; i--)); do vd_stop_pids "${vd_audio_pids[i]}"; done ;;
    esac
    vd_audio_started=
    vd_audio_pids=()
    vd_stop_pids "${vd_pids[@]}"
    vd_pids=()
}
