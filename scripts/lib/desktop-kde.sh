# KDE Plasma 5.27 on X11 for tests (KWin on a virtual X screen, kded5, the activity manager and plasmashell),
# inside the private folders, buses and audio server of scripts/desktop-session. Source after
# virtual-desktop.sh; needs VD_DIR, HOME and the XDG folders set. Plasma's default layout: one panel along the
# bottom with the launcher, task bar, tray and clock. Ready when the desktop and the panel are mapped, KWin
# has left the panel out of the work area and the tray has registered as the status notifier host.
# The start functions add the desktop's own processes to desktop_pids (scripts/desktop-session).

kde_has_window_of_type() { # kde_has_window_of_type DOCK|DESKTOP: plasmashell has mapped its panel or desktop
    local window
    for window in $(xprop -root _NET_CLIENT_LIST | grep -o '0x[0-9a-f]*'); do
        xprop -id "$window" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -q "_NET_WM_WINDOW_TYPE_$1" && return 0
    done
    return 1
}

kde_work_area_leaves_out_a_panel() { # KWin has published a work area smaller than the screen
    local area
    area=$(xprop -root _NET_WORKAREA | grep -o '= [0-9, ]*') || return 1
    [ "$(echo "$area" | cut -d, -f4)" -lt "$(xwininfo -root | awk '/Height:/ {print $2}')" ]
}

kde_tray_is_hosted() { # the panel's tray has registered with the status notifier watcher (in kded5)
    dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
        org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher \
        string:IsStatusNotifierHostRegistered 2>/dev/null | grep -q "boolean true"
}

kde_is_ready() {
    kde_has_window_of_type DESKTOP && kde_has_window_of_type DOCK && kde_work_area_leaves_out_a_panel &&
        kde_tray_is_hosted
}

kde_prepare() { # before the session bus starts (what it starts inherits this)
    export XDG_CURRENT_DESKTOP=KDE XDG_SESSION_DESKTOP=KDE DESKTOP_SESSION=plasma KDE_FULL_SESSION=true
    export KDE_SESSION_VERSION=5 XDG_SESSION_TYPE=x11 QT_QPA_PLATFORM=xcb
}

kde_start_x11() { # on DISPLAY
    setsid kwin_x11 --replace >"$VD_DIR/kwin.log" 2>&1 &
    vd_pids+=($!)
    desktop_pids+=($!)
    vd_wait_for 30 vd_bus_has_name org.kde.KWin ||
        { vd_log "KWin did not start:"; tail -n 20 "$VD_DIR/kwin.log" >&2; return 1; }
    setsid kded5 >"$VD_DIR/kded5.log" 2>&1 &
    vd_pids+=($!)
    # plasmashell aborts with "kactivitymanagerd is not running" unless it runs first.
    local activities
    activities=$(compgen -G '/usr/lib/*/libexec/kactivitymanagerd' | head -n1)
    setsid "$activities" >"$VD_DIR/kactivitymanagerd.log" 2>&1 &
    vd_pids+=($!)
    vd_wait_for 30 vd_bus_has_name org.kde.ActivityManager ||
        { vd_log "the activity manager did not start"; tail -n 20 "$VD_DIR/kactivitymanagerd.log" >&2; return 1; }
    setsid plasmashell --no-respawn >"$VD_DIR/plasmashell.log" 2>&1 &
    vd_pids+=($!)
    desktop_pids+=($!)
    if ! vd_wait_for 60 kde_is_ready; then
        vd_log "Plasma did not get ready:"
        tail -n 30 "$VD_DIR/plasmashell.log" >&2
        return 1
    fi
}
