"""What the end-to-end tests of the real program share: commands, waiting for conditions, popups seen on the
accessibility bus, screen pixels, the pointer, and a test case that starts the program with private folders
inside the test session (scripts/test-session) and finds its controls through the accessibility bus."""
import math
import os
import re
import signal
import struct
import subprocess
import tempfile
import time
import unittest
import wave

import pyatspi
from gi.repository import GLib

DESKTOP_COLOR = (0x33, 0x66, 0xAA)  # the root window's colour during the tests: what an empty panel shows


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


RATE = 44100


def write_tone(path, seconds, frequency=440):
    with wave.open(path, 'wb') as file:
        file.setnchannels(1)
        file.setsampwidth(2)
        file.setframerate(RATE)
        file.writeframes(b''.join(struct.pack('<h', int(12000 * math.sin(2 * math.pi * frequency * i / RATE)))
                                  for i in range(int(seconds * RATE))))


def loudness(path, start_seconds, seconds):
    """Mean absolute sample value of a stretch of a clip."""
    raw = subprocess.run(['ffmpeg', '-v', 'error', '-i', path, '-f', 's16le', '-ac', '1', '-ar', str(RATE), '-'],
                         check=True, capture_output=True).stdout
    samples = struct.unpack(f'<{len(raw) // 2}h', raw)
    stretch = samples[int(start_seconds * RATE):int((start_seconds + seconds) * RATE)]
    return sum(abs(sample) for sample in stretch) / max(1, len(stretch))


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


class ProgramTestCase(unittest.TestCase):
    """Starts `program` (set by the test module) with private settings, cache and data folders. The settings say
    the announcement window was seen just now (it has tests of its own), plus what `settings` adds (None leaves a
    key out)."""
    program_path = ''
    arguments = []
    settings = {}

    def environment(self):
        return {}

    def setUp(self):
        if not self.program_path or not os.environ.get('DISPLAY'):
            self.skipTest('needs the program and the test session (scripts/test-session)')
        self.folder = tempfile.TemporaryDirectory()
        environment = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON='1')
        for name in ('config', 'cache', 'data'):
            path = os.path.join(self.folder.name, name)
            os.makedirs(path, exist_ok=True)
            environment[f'XDG_{name.upper()}_HOME'] = path
        os.makedirs(os.path.join(self.folder.name, 'config', 'Orvane'))
        with open(os.path.join(self.folder.name, 'config', 'Orvane', 'Tempolis.conf'), 'w') as conf:
            values = {'Final Update Launch Count': 1, 'Final Update Launch Date': time.time(), **self.settings}
            conf.write('[General]\n' + ''.join(f'{key.replace(" ", "%20")}={value}\n'
                                               for key, value in values.items() if value is not None))
        self.prepare_folders()
        run('xsetroot', '-solid', '#%02x%02x%02x' % DESKTOP_COLOR)
        self.addCleanup(run, 'xsetroot', '-solid', 'black')
        self.log = open(os.path.join(self.folder.name, 'program.log'), 'w+')
        environment.update(self.environment())
        self.program = subprocess.Popen([self.program_path] + self.arguments, env=environment, stderr=self.log)
        self.addCleanup(self.stop_program)

    def prepare_folders(self):
        """Runs before the program starts: a test may write settings into self.folder here."""

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

    def status_button(self):
        """The floating status item's button, as a screen reader meets it: a push button called Tempolis whose
        description says what pressing does and, last, the state."""
        return self.find_showing('Tempolis', 'push button')

    def icon_centre(self):
        button = wait_for(lambda: (found := self.status_button()) and found.description and found,
                          what='the status icon')
        box = button.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        return box.x + box.width / 2, box.y + box.height / 2, box

    def icon_state(self):
        """The last sentence of the status button's description: 'Recording.', 'Paused.' and so on."""
        button = self.status_button()
        return button.description.rsplit('. ', 1)[-1] if button and button.description else ''

    @staticmethod
    def recording_icon(icon):
        """The icon's pixels when they show the red recording indicator."""
        shown = pixels(icon.x, icon.y, icon.width, icon.height)
        return shown if any(r > 180 and g < 90 and b < 90 for r, g, b in shown.values()) else None

