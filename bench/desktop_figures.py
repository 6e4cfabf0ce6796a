#!/usr/bin/python3
"""Figures of the status item on a desktop, measured inside scripts/desktop-session (bench/desktops runs it):
how often the work area changes in the 20 s after the launch, where the item was in that time, what the
desktop's compositor and shell processes use of a core from 10 s to 20 s after the launch, and whether a
window maximized then covers the item. Prints one line of name=value pairs; takes a screenshot.

    desktop_figures.py PROGRAM SCREENSHOT.png
"""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'support'))
from desktop_session import (PlaceWatch, WorkAreaWatch, cpu_seconds, desktop_processes,  # noqa: E402
                             maximized_window_frame, overlap, private_program_environment, run, wait_for,
                             window_geometry)

WATCH_SECONDS = 20
SETTLED_SECONDS = 10
ITEM_HEIGHT_PIXELS = 22


def item_window(pid):
    """The program's window along the top edge that is as tall as a status item, the rightmost one."""
    listed = subprocess.run(['xdotool', 'search', '--onlyvisible', '--pid', str(pid)], capture_output=True,
                            text=True).stdout.split()
    items = [(geometry, window) for window in listed
             if (geometry := window_geometry(window)) and geometry[3] == ITEM_HEIGHT_PIXELS]
    return max(items)[1] if items else None


def screenshot(path):
    # On Wayland the X root window shows X windows only: GNOME Shell's own screenshot shows the screen.
    if os.environ.get('TEMPOLIS_DESKTOP') == 'gnome-wayland':
        run('gnome-screenshot', '-f', path)
    else:
        run('import', '-window', 'root', path)


def main():
    program, shot = sys.argv[1], sys.argv[2]
    work_area = WorkAreaWatch()
    wait_for(work_area.values, what='the work area')
    with tempfile.TemporaryDirectory() as folder, open(os.path.join(folder, 'log'), 'w') as log:
        environment = private_program_environment(os.path.join(folder, 'program'))
        launched = time.monotonic()
        process = subprocess.Popen([program], env=environment, stderr=log)
        try:
            window = wait_for(lambda: item_window(process.pid), timeout=20, what='the status item')
            found = time.monotonic() - launched
            places = PlaceWatch(window)
            processes = desktop_processes()
            time.sleep(max(0.0, launched + SETTLED_SECONDS - time.monotonic()))
            used = {pid: cpu_seconds(pid) for pid in processes}
            measured = time.monotonic()
            time.sleep(max(0.0, launched + WATCH_SECONDS - time.monotonic()))
            elapsed = time.monotonic() - measured
            shares = {name: (cpu_seconds(pid) - used[pid]) / elapsed for pid, name in processes.items()}
            changes = work_area.changes(launched + WATCH_SECONDS)
            places.stop()
            item = window_geometry(window)
            frame = maximized_window_frame()
            screenshot(shot)
        finally:
            process.terminate()
            process.wait(10)
            work_area.stop()
    figures = {'work_area_changes_20s': changes, 'work_areas': len(set(work_area.values(launched + WATCH_SECONDS))),
               'item_found_s': f'{found:.1f}', 'item_places': len(places.places),
               'item': 'x'.join(map(str, item)), 'maximized_frame': 'x'.join(map(str, frame)),
               'maximized_covers_item': overlap(frame, item)}
    figures.update({f'cpu_{name}': f'{share:.1%}' for name, share in shares.items()})
    print(' '.join(f'{key}={value}' for key, value in figures.items()))


if __name__ == '__main__':
    main()
