# GNOME Shell 43 (mutter) for tests, inside the private folders, buses and audio server of
# scripts/desktop-session: on a virtual X screen (gnome_start_x11) or as a headless Wayland compositor with
# XWayland (gnome_start_wayland). Source after virtual-desktop.sh; needs VD_DIR, HOME and the XDG folders set.
#
# The shell keeps its settings in a key file instead of dconf (nothing to start, nothing of the user's read),
# and loads one extension of ours (gnome-shell-extension/): it hides the overview the shell opens at start and
# lets org.gnome.Shell.Eval answer (gnome_eval), which is how the harness knows the shell is ready and where
# XWayland is; a test can drive the shell through it too (on Wayland, X input reaches X windows only). The start
# functions add the shell's process to desktop_pids (scripts/desktop-session).

gnome_extension_uuid=session-harness@tempolis.invalid

gnome_prepare() { # gnome_prepare x11|wayland, before the session bus starts (what it starts inherits this)
    export GSETTINGS_BACKEND=keyfile XDG_CURRENT_DESKTOP=GNOME XDG_SESSION_DESKTOP=gnome DESKTOP_SESSION=gnome
    export XDG_SESSION_TYPE=$1
    mkdir -p "$XDG_CONFIG_HOME/glib-2.0/settings" "$XDG_DATA_HOME/gnome-shell/extensions"
    cp -r "$(dirname "${BASH_SOURCE[0]}")/gnome-shell-extension" \
        "$XDG_DATA_HOME/gnome-shell/extensions/$gnome_extension_uuid"
    # Without GDM the shell warns once, in a banner over the top of the screen, that it cannot lock it.
    touch "$XDG_DATA_HOME/gnome-shell/lock-warning-shown"
    # No welcome tour, no screen lock or blanking during a test, no animations (less work for the software
    # renderer, and the pointer never meets a window still moving), and no notification banners over the top
    # of the screen (GNOME 43 warns in one that a session runs as root).
    cat > "$XDG_CONFIG_HOME/glib-2.0/settings/keyfile" <<EOF
[org/gnome/shell]
enabled-extensions=['$gnome_extension_uuid']
welcome-dialog-last-shown-version='99'

[org/gnome/desktop/interface]
enable-animations=false

[org/gnome/desktop/notifications]
show-banners=false

[org/gnome/desktop/screensaver]
lock-enabled=false
idle-activation-enabled=false

[org/gnome/desktop/session]
idle-delay=uint32 0
EOF
}

# gnome_eval JAVASCRIPT: the value the shell gives it, as JSON (a string without its quotes); fails when the
# shell does not answer or the code throws.
gnome_eval() {
    local reply
    reply=$(gdbus call --session --timeout 5 --dest org.gnome.Shell --object-path /org/gnome/Shell \
        --method org.gnome.Shell.Eval "$1" 2>/dev/null) || return 1
    [[ $reply == "(true, '"*"')" ]] || return 1
    reply=${reply#"(true, '"}
    reply=${reply%"')"}
    reply=${reply#\"}
    printf '%s\n' "${reply%\"}"
}

gnome_is_ready() { # started, overview closed and settled
    [ "$(gnome_eval '!Main.layoutManager._startingUp && !Main.overview.visible &&
        !Main.overview.animationInProgress')" = true ]
}

gnome_wait_until_ready() {
    if ! vd_wait_for 60 gnome_is_ready; then
        vd_log "GNOME Shell did not get ready:"
        tail -n 30 "$VD_DIR/gnome-shell.log" >&2
        return 1
    fi
}

gnome_start_x11() { # on DISPLAY
    setsid gnome-shell --x11 --replace >"$VD_DIR/gnome-shell.log" 2>&1 &
    vd_pids+=($!)
    desktop_pids+=($!)
    gnome_wait_until_ready
}

gnome_start_wayland() {
    setsid gnome-shell --headless --wayland --virtual-monitor 1280x800 >"$VD_DIR/gnome-shell.log" 2>&1 &
    vd_pids+=($!)
    desktop_pids+=($!)
    gnome_wait_until_ready || return 1
    # X clients reach XWayland with the display and authority the shell gave itself.
    export WAYLAND_DISPLAY=wayland-0
    if ! DISPLAY=$(gnome_eval 'imports.gi.GLib.getenv("DISPLAY")') ||
        ! XAUTHORITY=$(gnome_eval 'imports.gi.GLib.getenv("XAUTHORITY")'); then
        vd_log "GNOME Shell did not say where XWayland is"
        return 1
    fi
    export DISPLAY XAUTHORITY
}
