#!/usr/bin/python3
"""The status item on the desktops people use, GNOME Shell and KDE Plasma, as a user meets it there: the real
program in a private desktop session (scripts/desktop-session), the desktop's own window manager and work area,
real pointer input (xdotool), controls found through the accessibility bus, the screen checked by pixel and
the saved clip decoded with ffprobe.

    desktop_test.py gnome-x11|kde-x11 PROGRAM

The desktops are big (scripts/setup --desktops installs them) and take a while to start, so the test runs only
when TEMPOLIS_DESKTOP_TESTS=1 (the desktop stage of scripts/test); otherwise it exits with 77, which CTest
reports as skipped. It starts the desktop session itself and runs again inside it. With TEMPOLIS_SCREENSHOTS
naming a folder it leaves screenshots there.
"""
import os
import shutil
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SKIPPED = 77
# What each desktop needs installed, from scripts/setup --desktops.
DESKTOP_PROGRAMS = {'gnome-x11': 'gnome-shell', 'kde-x11': 'plasmashell'}
DESKTOP = sys.argv.pop(1) if len(sys.argv) > 1 else ''
PROGRAM = sys.argv.pop(1) if len(sys.argv) > 1 else ''


def run_in_a_desktop_session():
    if os.environ.get('TEMPOLIS_DESKTOP_TESTS') != '1':
        print(f'skipped: set TEMPOLIS_DESKTOP_TESTS=1 to run the test on {DESKTOP} (scripts/test does)')
        sys.exit(SKIPPED)
    if DESKTOP not in DESKTOP_PROGRAMS:
        sys.exit(f'usage: desktop_test.py {"|".join(DESKTOP_PROGRAMS)} PROGRAM')
    if not shutil.which(DESKTOP_PROGRAMS[DESKTOP]):
        sys.exit(f'{DESKTOP_PROGRAMS[DESKTOP]} is missing: run scripts/setup --desktops')
    session = os.path.join(HERE, '..', '..', '..', 'scripts', 'desktop-session')
    os.execv(session, [session, DESKTOP, sys.executable, '-W', 'ignore::DeprecationWarning', __file__, DESKTOP,
                       PROGRAM, *sys.argv[1:]])


if os.environ.get('TEMPOLIS_DESKTOP') != DESKTOP:
    run_in_a_desktop_session()

sys.path.insert(0, os.path.join(HERE, '..', '..', 'support'))
from desktop_session import (POPUPS, PlaceWatch, Pointer, ProgramTestCase, WorkAreaWatch,  # noqa: E402
                             clip_frames, cpu_seconds, desktop_processes, maximized_window_frame, overlap, run,
                             screen_geometry, seconds_in, wait_for, window_geometry)

WATCH_SECONDS = 20  # after the launch: the work area changes at most twice and the item never moves
SETTLED_SECONDS = 10  # after the launch: from then on the desktop is idle again
CPU_SHARE_MAX = 0.10  # of one core, for each of the desktop's compositor and shell processes
PULL_PIXELS = 100


class StatusItemOnADesktopTest(ProgramTestCase):
    program_path = PROGRAM
    # The floating item: what GNOME Shell shows without an AppIndicator extension, and what every desktop shows
    # once the user turns the tray off.
    settings = {'Show In System Tray': 'false'}

    def setUp(self):
        # From before the launch: what the work area was and every change the program's strip brings.
        self.work_area = WorkAreaWatch()
        self.addCleanup(self.work_area.stop)
        wait_for(self.work_area.values, what='the work area')
        self.launched = time.monotonic()
        super().setUp()

    def screenshot(self, name):
        folder = os.environ.get('TEMPOLIS_SCREENSHOTS')
        if folder:
            run('import', '-window', 'root', os.path.join(folder, f'{DESKTOP}-{name}.png'))

    def item_window(self, box):
        """The X window of the program that is where the accessibility bus says the icon is."""
        def search():
            listed = subprocess.run(['xdotool', 'search', '--onlyvisible', '--pid', str(self.program.pid)],
                                    capture_output=True, text=True).stdout.split()
            return next((window for window in listed if window_geometry(window) == box), None)
        return wait_for(search, what='the status item window')

    def test_item_keeps_its_place_and_the_gesture_works(self):
        x, y, icon = self.icon_centre()
        box = (icon.x, icon.y, icon.width, icon.height)
        places = PlaceWatch(self.item_window(box))
        self.addCleanup(places.stop)
        # At the top right, under what the desktop reserves up there (GNOME's top bar), and shown: the
        # recording indicator's red is on the screen where the item is.
        self.assertEqual(box[0] + box[2], screen_geometry()[2], box)
        wait_for(lambda: self.recording_icon(icon), what='the recording indicator on the screen')
        self.screenshot('item')

        frame = maximized_window_frame()
        self.assertFalse(overlap(frame, box), f'a maximized window {frame} covers the item {box}')

        # The desktop is idle again once the item has its place: measure what it uses from then on.
        processes = desktop_processes()
        self.assertTrue(processes, 'no desktop processes named by scripts/desktop-session')
        time.sleep(max(0.0, self.launched + SETTLED_SECONDS - time.monotonic()))
        used = {pid: cpu_seconds(pid) for pid in processes}
        measured = time.monotonic()
        time.sleep(max(0.0, self.launched + WATCH_SECONDS - time.monotonic()))
        for pid, name in processes.items():
            share = (cpu_seconds(pid) - used[pid]) / (time.monotonic() - measured)
            self.assertLess(share, CPU_SHARE_MAX, f'{name} used {share:.0%} of a core')
        self.assertLessEqual(self.work_area.changes(self.launched + WATCH_SECONDS), 2, self.work_area.values())
        places.stop()
        self.assertEqual(places.places, [box], 'the item moved')

        # A quick click opens the settings, another one closes them: the icon is where the pointer goes.
        Pointer.move(x, y)
        run('xdotool', 'click', '1')
        wait_for(lambda: POPUPS.showing('Settings'), what='the settings popover')
        run('xdotool', 'click', '1')
        wait_for(lambda: not POPUPS.showing('Settings'), what='the settings popover to close')

        # Pulled 100 pixels down with the input paused (what is held stays put while we read the popup), the
        # item saves exactly what the popup promised.
        run('pactl', 'suspend-source', 'rec_mic', '1')
        target = (x, y + PULL_PIXELS)
        self.pull(x, y, target)
        promised = self.steady_duration(target)
        seconds = seconds_in(promised)
        self.assertGreaterEqual(seconds, 5, promised)
        self.screenshot('pull')
        Pointer.release()
        clip = self.save_through_dialog('clip.m4a')
        self.assertEqual(clip_frames(clip), seconds * 44100, f'the popup promised "{promised}"')
        saved = wait_for(lambda: self.label('Saved Popup', 'Duration'), what='the saved popup')
        self.assertEqual(seconds_in(saved), seconds, saved)


PANEL_PIXELS = 48  # Plasma's panel along the bottom of the screen, and more


class Box:
    """A rectangle as the accessibility bus gives extents."""

    def __init__(self, x, y, width, height):
        self.x, self.y, self.width, self.height = x, y, width, height


def registered_tray_items():
    """The items the desktop's tray registry (org.kde.StatusNotifierWatcher) lists, as gdbus prints them."""
    return subprocess.run(['gdbus', 'call', '--session', '--dest', 'org.kde.StatusNotifierWatcher',
                           '--object-path', '/StatusNotifierWatcher', '--method',
                           'org.freedesktop.DBus.Properties.Get', 'org.kde.StatusNotifierWatcher',
                           'RegisteredStatusNotifierItems'], capture_output=True, text=True).stdout


@unittest.skipUnless(DESKTOP == 'kde-x11', 'GNOME Shell has no tray without an extension')
class TrayOnKdeTest(ProgramTestCase):
    """With the tray on (the default), Plasma's tray shows the icon and the floating item keeps out of the way."""
    program_path = PROGRAM

    def setUp(self):
        self.work_area = WorkAreaWatch()
        self.addCleanup(self.work_area.stop)
        self.before = wait_for(self.work_area.values, what='the work area')[-1]
        super().setUp()

    def test_the_icon_goes_into_the_tray_and_the_floating_item_keeps_away(self):
        wait_for(lambda: f'org.kde.StatusNotifierItem-{self.program.pid}-' in registered_tray_items(),
                 timeout=20, what="the program's icon in the tray's registry")
        # Plasma's panel takes the item from the registry; the floating item then hides and gives its strip back.
        wait_for(lambda: self.status_button() is None and self.work_area.values()[-1] == self.before,
                 timeout=20, what='the floating item to hide and its strip to go')
        # The tray draws the icon: the recording indicator's red is in the panel along the bottom.
        _, _, width, height = screen_geometry()
        wait_for(lambda: self.recording_icon(Box(0, height - PANEL_PIXELS, width, PANEL_PIXELS)),
                 what="the recording indicator in Plasma's panel")
        if os.environ.get('TEMPOLIS_SCREENSHOTS'):
            run('import', '-window', 'root', os.path.join(os.environ['TEMPOLIS_SCREENSHOTS'], 'kde-x11-tray.png'))
        self.assertIsNone(self.status_button(), 'the floating item came back')
        self.assertIsNone(self.program.poll(), self.program_log())


if __name__ == '__main__':
    unittest.main()
