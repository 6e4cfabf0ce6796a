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
import threading
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


def seconds_in(text):
    """'Keep the last 1 minute, 5 seconds' -> 65."""
    minutes = re.search(r'(\d+) minutes?', text)
    seconds = re.search(r'(\d+) seconds?', text)
    return (int(minutes.group(1)) * 60 if minutes else 0) + (int(seconds.group(1)) if seconds else 0)


def clip_frames(path):
    """The exact number of sample frames of a clip's audio, as its container states it."""
    return int(run('ffprobe', '-v', 'error', '-select_streams', 'a:0', '-show_entries', 'stream=duration_ts',
                   '-of', 'default=noprint_wrappers=1:nokey=1', path).strip())


def tempolis_command(program, *arguments):
    """Runs the `tempolis` command of `program` (bounded); its completed process."""
    return subprocess.run([program, *arguments], capture_output=True, text=True, timeout=60)


def held_seconds_of(program):
    """How many seconds of audio the running program holds, as `tempolis status` says (0 before it answers)."""
    status = tempolis_command(program, 'status').stdout
    return float(status.split('Held: ')[1].split(' ')[0]) if 'Held: ' in status else 0


def recording_sources(pid):
    """The names of the sources the program records from, per the audio server ('#N' for a source the server
    did not list a moment before: one that came meanwhile)."""
    outputs = run('pactl', 'list', 'source-outputs')
    sources = {line.split('\t')[0]: line.split('\t')[1]
               for line in run('pactl', 'list', 'short', 'sources').splitlines()}
    found = []
    for block in outputs.split('Source Output #')[1:]:
        if re.search(rf'application\.process\.id = "{pid}"', block):
            index = re.search(r'Source: (\d+)', block).group(1)
            found.append(sources.get(index, f'#{index}'))
    return found


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


class WorkAreaWatch:
    """Every value the root window's _NET_WORKAREA takes, with when it came (time.monotonic()); xprop prints
    the first one at once."""

    def __init__(self):
        # Line-buffered: xprop uses stdio, which holds back what goes to a pipe.
        self.process = subprocess.Popen(['stdbuf', '-oL', 'xprop', '-root', '-spy', '_NET_WORKAREA'],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.lines = []
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        for line in self.process.stdout:
            self.lines.append((time.monotonic(), line.split('=', 1)[-1].strip()))

    def values(self, until=None):
        return [value for at, value in self.lines if until is None or at <= until]

    def changes(self, until=None):
        return max(0, len(self.values(until)) - 1)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)
        self.thread.join(10)


class PlaceWatch:
    """Where an X window is on the screen, looked at five times a second: the places it took, in order."""

    def __init__(self, window):
        self.window = window
        self.places = []
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.look, daemon=True)
        self.thread.start()

    def look(self):
        while not self.stopping.wait(0.2):
            place = window_geometry(self.window)
            if place and (not self.places or self.places[-1] != place):
                self.places.append(place)

    def stop(self):
        self.stopping.set()
        self.thread.join(10)


def cpu_seconds(pid):
    """The processor time a process has used so far, user and system."""
    with open(f'/proc/{pid}/stat') as stat:
        fields = stat.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def desktop_processes():
    """{pid: name} of the desktop's own compositor and shell processes that scripts/desktop-session started,
    with their XWayland."""
    pids = [int(pid) for pid in os.environ.get('TEMPOLIS_DESKTOP_PIDS', '').split()]
    found = {}
    for pid in pids:
        with open(f'/proc/{pid}/comm') as comm:
            found[pid] = comm.read().strip()
        children = subprocess.run(['ps', '-o', 'pid=,comm=', '--ppid', str(pid)], capture_output=True, text=True)
        for line in children.stdout.splitlines():
            child, name = line.split(None, 1)
            if name == 'Xwayland':
                found[int(child)] = name
    return found


def window_geometry(window):
    """(x, y, width, height) of an X window on the screen, or None when it is gone."""
    return xwininfo_geometry('-id', str(window))


def screen_geometry():
    return xwininfo_geometry('-root')


def xwininfo_geometry(*which):
    result = subprocess.run(['xwininfo', *which], capture_output=True, text=True)
    if result.returncode != 0:
        return None
    numbers = {label: int(value) for label, value in
               re.findall(r'(Absolute upper-left X|Absolute upper-left Y|Width|Height):\s+(-?\d+)', result.stdout)}
    return (numbers['Absolute upper-left X'], numbers['Absolute upper-left Y'], numbers['Width'], numbers['Height'])


def frame_geometry(window):
    """A managed window's rectangle with the frame its window manager draws around it."""
    x, y, width, height = window_geometry(window)
    extents = re.findall(r'\d+', run('xprop', '-id', str(window), '_NET_FRAME_EXTENTS').split('=')[-1])
    left, right, top, bottom = map(int, extents) if len(extents) == 4 else (0, 0, 0, 0)
    return x - left, y - top, width + left + right, height + top + bottom


def maximized_window_frame():
    """Maximizes another program's window through the window manager and returns its frame once it fills the
    area the window manager leaves to windows (more than half the screen each way)."""
    title = 'AnotherProgram'
    other = subprocess.Popen(['xmessage', '-title', title, '-geometry', '300x200+100+300', 'another program'])
    try:
        window = wait_for(lambda: subprocess.run(['xdotool', 'search', '--onlyvisible', '--name', title],
                                                 capture_output=True, text=True).stdout.split(), what=title)[0]
        run('wmctrl', '-i', '-r', window, '-b', 'add,maximized_vert,maximized_horz')
        _, _, width, height = screen_geometry()

        def maximized():
            frame = frame_geometry(window)
            return frame if frame[2] > width / 2 and frame[3] > height / 2 else None
        return wait_for(maximized, what='the window to be maximized')
    finally:
        other.kill()
        other.wait()


def overlap(a, b):
    return a[0] < b[0] + b[2] and b[0] < a[0] + a[2] and a[1] < b[1] + b[3] and b[1] < a[1] + a[3]


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


def private_program_environment(folder, settings=None):
    """The environment for the program with its settings, cache and data folders in `folder`. The settings say
    the announcement window was seen just now (it has tests of its own), plus what `settings` adds (None leaves
    a key out)."""
    environment = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON='1')
    for name in ('config', 'cache', 'data'):
        path = os.path.join(folder, name)
        os.makedirs(path, exist_ok=True)
        environment[f'XDG_{name.upper()}_HOME'] = path
    os.makedirs(os.path.join(folder, 'config', 'Orvane'))
    with open(os.path.join(folder, 'config', 'Orvane', 'Tempolis.conf'), 'w') as conf:
        values = {'Final Update Launch Count': 1, 'Final Update Launch Date': time.time(), **(settings or {})}
        conf.write('[General]\n' + ''.join(f'{key.replace(" ", "%20")}={value}\n'
                                           for key, value in values.items() if value is not None))
    return environment


class ProgramTestCase(unittest.TestCase):
    """Starts `program` (set by the test module) with private settings, cache and data folders
    (private_program_environment)."""
    program_path = ''
    arguments = []
    settings = {}

    def environment(self):
        return {}

    def setUp(self):
        if not self.program_path or not os.environ.get('DISPLAY'):
            self.skipTest('needs the program and the test session (scripts/test-session)')
        self.folder = tempfile.TemporaryDirectory()
        environment = private_program_environment(self.folder.name, self.settings)
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

    # The status item's gesture.

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

    def save_through_dialog(self, name):
        """Saves the clip the save dialog offers as `name` in the test's folder; returns its path once there."""
        dialog = wait_for(lambda: self.find_showing('Save Recording', 'dialog'), what='the save dialog')
        clip = os.path.join(self.folder.name, name)
        name_field = self.find(lambda node: node.getRoleName() == 'text' and node.getState().contains(
            pyatspi.STATE_EDITABLE), dialog)
        name_field.queryEditableText().setTextContents(clip)
        self.find(lambda node: node.getRoleName() == 'push button' and node.name == 'Save',
                  dialog).queryAction().doAction(0)
        wait_for(lambda: os.path.exists(clip), what='the saved clip')
        return clip

    @staticmethod
    def recording_icon(icon):
        """The icon's pixels when they show the red recording indicator."""
        shown = pixels(icon.x, icon.y, icon.width, icon.height)
        return shown if any(r > 180 and g < 90 and b < 90 for r, g, b in shown.values()) else None

