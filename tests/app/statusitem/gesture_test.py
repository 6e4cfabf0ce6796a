#!/usr/bin/python3
"""The status item's gesture as a user meets it: the real program in the test session, real pointer and
keyboard input (xdotool), controls read and pressed through the accessibility bus, screenshots checked by
pixel, and the saved clip decoded with ffprobe.

    gesture_test.py PROGRAM    (inside scripts/test-session)
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import pyatspi
from gi.repository import GLib

PROGRAM = sys.argv.pop(1) if len(sys.argv) > 1 else ''
DESKTOP_COLOR = (0x33, 0x66, 0xAA)  # the root window's colour during the test: what an empty panel shows
BEAM_GREEN = (126, 217, 87)


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


class Popups:
    """Popups (windows that close on a click outside) are not children of the application on the
    accessibility bus: they announce themselves when they show. This keeps the ones still showing."""

    def __init__(self):
        self.seen = []
        pyatspi.Registry.registerEventListener(self.changed, 'object:state-changed:showing')

    def changed(self, event):
        if event.detail1:
            self.seen.append(event.source)

    def showing(self, name):
        for popup in self.seen:
            try:
                if popup.name == name and popup.getState().contains(pyatspi.STATE_SHOWING):
                    return popup
            except GLib.GError:  # gone
                pass
        return None

    @staticmethod
    def pump():
        context = GLib.MainContext.default()
        while context.iteration(False):
            pass


POPUPS = Popups()


def wait_for(condition, timeout=10.0, what='the condition'):
    deadline = time.monotonic() + timeout
    while True:
        POPUPS.pump()
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f'waited {timeout} s for {what}')
        time.sleep(0.05)


def pixels(x, y, width=1, height=1):
    """What the screen shows in a rectangle: {(x, y): (r, g, b)}."""
    text = run('import', '-window', 'root', '-crop', f'{width}x{height}+{x}+{y}', '-depth', '8', 'txt:-')
    found = {}
    for line in text.splitlines()[1:]:
        match = re.match(r'(\d+),(\d+):\s*\((\d+),(\d+),(\d+)', line)
        if match:
            px, py, r, g, b = map(int, match.groups())
            found[(x + px, y + py)] = (r, g, b)
    return found


def near(color, expected, tolerance=12):
    return all(abs(a - b) <= tolerance for a, b in zip(color, expected))


def seconds_in(text):
    """'Keep the last 1 minute, 5 seconds' -> 65."""
    minutes = re.search(r'(\d+) minutes?', text)
    seconds = re.search(r'(\d+) seconds?', text)
    return (int(minutes.group(1)) * 60 if minutes else 0) + (int(seconds.group(1)) if seconds else 0)


class Pointer:
    @staticmethod
    def move(x, y):
        run('xdotool', 'mousemove', str(round(x)), str(round(y)))

    @staticmethod
    def press():
        run('xdotool', 'mousedown', '1')

    @staticmethod
    def release():
        run('xdotool', 'mouseup', '1')


class GestureTest(unittest.TestCase):
    def setUp(self):
        if not PROGRAM or not os.environ.get('DISPLAY'):
            self.skipTest('needs the program and the test session (scripts/test-session)')
        self.folder = tempfile.TemporaryDirectory()
        environment = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON='1')
        for name in ('config', 'cache', 'data'):
            path = os.path.join(self.folder.name, name)
            os.mkdir(path)
            environment[f'XDG_{name.upper()}_HOME'] = path
        run('xsetroot', '-solid', '#%02x%02x%02x' % DESKTOP_COLOR)
        self.addCleanup(run, 'xsetroot', '-solid', 'black')
        self.log = open(os.path.join(self.folder.name, 'program.log'), 'w+')
        self.program = subprocess.Popen([PROGRAM], env=environment, stderr=self.log)
        self.addCleanup(self.stop_program)

    def stop_program(self):
        run('pactl', 'suspend-source', 'rec_mic', '0')
        if self.program.poll() is None:
            self.program.send_signal(signal.SIGTERM)
            self.program.wait(10)
        self.log.close()
        self.folder.cleanup()

    def program_log(self):
        self.log.seek(0)
        return self.log.read()

    # The program's controls, through the accessibility bus.

    def application(self):
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.get_process_id() == self.program.pid:
                return app
        return None

    def find(self, predicate, root=None):
        root = root or self.application()
        if root is None:
            return None
        return pyatspi.findDescendant(root, lambda node: node is not None and predicate(node))

    def find_showing(self, name, role=None, root=None):
        return self.find(lambda node: node.name == name and (role is None or node.getRoleName() == role) and
                         node.getState().contains(pyatspi.STATE_SHOWING), root)

    def label(self, popup_name, description):
        popup = POPUPS.showing(popup_name) or self.find(lambda node: node.name == popup_name)
        found = popup and self.find(lambda node: node.description == description, popup)
        return found.name if found else ''

    def icon_centre(self):
        view = wait_for(lambda: self.find(lambda node: node.name == 'Tempolis' and node.getRoleName() == 'filler'
                                          and node.description), what='the status icon')
        box = view.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        return box.x + box.width / 2, box.y + box.height / 2, box

    @staticmethod
    def recording_icon(icon):
        """The icon's pixels when they show the red recording indicator."""
        shown = pixels(icon.x, icon.y, icon.width, icon.height)
        return shown if any(r > 180 and g < 90 and b < 90 for r, g, b in shown.values()) else None

    def pull(self, x, y, to):
        """Presses on (x, y) and pulls the pointer to `to` in steps, as a hand would."""
        Pointer.move(x, y)
        Pointer.press()
        steps = 8
        for step in range(1, steps + 1):
            Pointer.move(x + (to[0] - x) * step / steps, y + (to[1] - y) * step / steps)

    def popup_duration(self, at):
        """The time popup's duration for the pointer at `at`, recomputed for what is held now."""
        Pointer.move(at[0] + 1, at[1])
        Pointer.move(at[0], at[1])
        return self.label('Time Popup', 'Duration')

    def steady_duration(self, at):
        """The time popup's duration once it stays the same for half a second (the pointer held still)."""
        last, since = None, time.monotonic()
        while True:
            text = self.popup_duration(at)
            if text != last:
                last, since = text, time.monotonic()
            elif text and time.monotonic() - since >= 0.5:
                return text
            time.sleep(0.1)

    def test_drag_keeps_the_recent_past(self):
        x, y, icon = self.icon_centre()

        # A quick click opens the settings; another one closes them.
        Pointer.move(x, y)
        run('xdotool', 'click', '1')
        wait_for(lambda: POPUPS.showing('Settings'), what='the settings popover')
        run('xdotool', 'click', '1')
        wait_for(lambda: not POPUPS.showing('Settings'), what='the settings popover to close')

        # Pulled all the way, the popup offers everything held: wait until that is 8 seconds.
        full = (x - 40, y + 420)
        self.pull(x, y, full)
        wait_for(lambda: seconds_in(self.popup_duration(full)) >= 8, timeout=30, what='8 seconds of audio')
        # Escape cancels: the band goes back and nothing is saved.
        run('xdotool', 'key', 'Escape')
        Pointer.release()
        time.sleep(1.0)  # the band retracts in 0.4 s; a save would ask where to put the clip by now
        self.assertIsNone(self.find_showing('Save Recording', 'dialog'))

        # The input pauses, so what is held stays put while we read the popup.
        run('pactl', 'suspend-source', 'rec_mic', '1')
        target = (x - 60, y + 200)
        self.pull(x, y, target)
        promised = self.steady_duration(target)
        seconds = seconds_in(promised)
        self.assertGreaterEqual(seconds, 5, promised)

        # The panel shows the beam and lets the desktop show through everywhere else.
        shot = pixels(round(x) - 300, round(y), 300, 260)
        middle = (round((x + target[0]) / 2), round((y + target[1]) / 2))
        self.assertTrue(any(near(color, BEAM_GREEN, 40) for (px, py), color in shot.items()
                            if abs(px - middle[0]) <= 3 and abs(py - middle[1]) <= 3), 'no beam drawn')
        self.assertTrue(near(shot[(round(x) - 280, round(y) + 240)], DESKTOP_COLOR), 'the panel is opaque')
        self.assertTrue(near(shot[(round(x) - 150, round(y) + 30)], DESKTOP_COLOR), 'the panel is opaque')

        Pointer.release()
        dialog = wait_for(lambda: self.find_showing('Save Recording', 'dialog'), what='the save dialog')
        clip = os.path.join(self.folder.name, 'clip.m4a')
        name_field = self.find(lambda node: node.getRoleName() == 'text' and node.getState().contains(
            pyatspi.STATE_EDITABLE), dialog)
        name_field.queryEditableText().setTextContents(clip)
        self.find(lambda node: node.getRoleName() == 'push button' and node.name == 'Save',
                  dialog).queryAction().doAction(0)
        wait_for(lambda: os.path.exists(clip), what='the saved clip')
        frames = run('ffprobe', '-v', 'error', '-select_streams', 'a:0', '-show_entries', 'stream=duration_ts',
                     '-of', 'default=noprint_wrappers=1:nokey=1', clip).strip()
        self.assertEqual(int(frames), seconds * 44100, f'the popup promised "{promised}"')
        saved = wait_for(lambda: self.label('Saved Popup', 'Duration'), what='the saved popup')
        self.assertEqual(seconds_in(saved), seconds, saved)

        # A cancelled dialog leaves a steady icon, with its recording indicator back once the input resumes.
        self.pull(x, y, target)
        Pointer.release()
        dialog = wait_for(lambda: self.find_showing('Save Recording', 'dialog'), what='the save dialog')
        self.find(lambda node: node.getRoleName() == 'push button' and node.name == 'Cancel',
                  dialog).queryAction().doAction(0)
        wait_for(lambda: not self.find_showing('Save Recording', 'dialog'), what='the dialog to close')
        run('pactl', 'suspend-source', 'rec_mic', '0')
        Pointer.move(x - 200, y + 300)
        first = wait_for(lambda: self.recording_icon(icon), what='the recording indicator')
        time.sleep(0.4)  # longer than one pulse
        self.assertEqual(first, pixels(icon.x, icon.y, icon.width, icon.height), 'the icon still pulses')

        self.program.send_signal(signal.SIGTERM)
        self.assertEqual(self.program.wait(10), 0, self.program_log())


if __name__ == '__main__':
    unittest.main()
