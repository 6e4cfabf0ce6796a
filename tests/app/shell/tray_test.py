#!/usr/bin/python3
"""Tempolis in a system tray, as a tray host meets it: the real program in the test session, a stand-in tray
registry (tray_stand_in) on the session bus, and this test playing the tray's host through the bus (the item's
properties, Activate, the menu's GetLayout and Event), the pointer and keyboard through the X server, the save
dialog through the accessibility bus and the clips through ffprobe.

    tray_test.py PROGRAM TRAY_STAND_IN    (inside scripts/test-session)
"""
import os
import queue
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'support'))
from desktop_session import (POPUPS, RATE, Pointer, ProgramTestCase, clip_frames, near, pixels,  # noqa: E402
                             pyatspi, run, seconds_in, wait_for)
from gi.repository import Gio, GLib  # noqa: E402

PROGRAM = sys.argv.pop(1) if len(sys.argv) > 1 else ''
STAND_IN = sys.argv.pop(1) if len(sys.argv) > 1 else ''
MENU = ['Save the Last 30 Seconds', 'Save the Last 5 Minutes', 'Save the Last 30 Minutes', 'Save Everything Held',
        'Settings…', 'Pause Recording', 'Quit Tempolis']
KNOB_WHITE = (255, 255, 255)  # the band's handle: a white knob ringed in green (popups are greyer)


class StandInTray:
    """The tray's registry, played by tray_stand_in: started, stopped and asked through its input."""

    def __init__(self):
        self.process = subprocess.Popen([STAND_IN], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self.read, daemon=True).start()
        self.expect('started')

    def read(self):
        for line in self.process.stdout:
            self.lines.put(line.strip())

    def expect(self, prefix, timeout=10.0):
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError(f'the stand-in tray never said "{prefix}"')
            if line.startswith(prefix):
                return line[len(prefix):].strip()

    def command(self, text, answer):
        self.process.stdin.write(text + '\n')
        self.process.stdin.flush()
        return self.expect(answer)

    def close(self):
        self.process.stdin.close()
        self.process.wait(10)


class Host:
    """A tray host's side of one item: its properties, its requests and its menu."""

    def __init__(self, registered):
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION)
        self.service, _, path = registered.partition('/')
        self.path = '/' + path

    def call(self, path, interface, method, signature, arguments, reply=None):
        return self.bus.call_sync(self.service, path, interface, method, GLib.Variant(signature, arguments),
                                  GLib.VariantType(reply) if reply else None, Gio.DBusCallFlags.NONE, 10000,
                                  None).unpack()

    def property(self, name):
        return self.call(self.path, 'org.freedesktop.DBus.Properties', 'Get', '(ss)',
                         ('org.kde.StatusNotifierItem', name))[0]

    def activate(self, x, y):
        self.call(self.path, 'org.kde.StatusNotifierItem', 'Activate', '(ii)', (x, y))

    def menu(self):
        """What a host shows after asking AboutToShow: [(id, label, enabled)] without the separators."""
        menu_path = self.property('Menu')
        self.call(menu_path, 'com.canonical.dbusmenu', 'AboutToShow', '(i)', (0,))
        _, (_, _, children) = self.call(menu_path, 'com.canonical.dbusmenu', 'GetLayout', '(iias)', (0, -1, []),
                                        '(u(ia{sv}av))')
        return [(child[0], child[1].get('label', ''), child[1].get('enabled', True)) for child in children
                if child[1].get('type') != 'separator']

    def choose(self, label):
        menu_path = self.property('Menu')
        item = next(id_ for id_, text, _ in self.menu() if text == label)
        self.call(menu_path, 'com.canonical.dbusmenu', 'Event', '(isvu)', (item, 'clicked', GLib.Variant('s', ''), 0))




class TrayTestCase(ProgramTestCase):
    program_path = PROGRAM if STAND_IN else ''

    def start_tray(self):
        tray = StandInTray()
        self.addCleanup(tray.close)
        return tray

    def held_seconds(self):
        bus = Gio.bus_get_sync(Gio.BusType.SESSION)
        return bus.call_sync('com.Orvane.Tempolis', '/com/Orvane/Tempolis', 'org.freedesktop.DBus.Properties', 'Get',
                             GLib.Variant('(ss)', ('com.Orvane.Tempolis.Recorder', 'HeldSeconds')), None,
                             Gio.DBusCallFlags.NONE, 5000, None).unpack()[0]

    def floating_item_shown(self):
        """Whether the floating item's window is on the screen (asked of the X server: quicker than the
        accessibility bus)."""
        found = subprocess.run(['xdotool', 'search', '--onlyvisible', '--pid', str(self.program.pid), '--name',
                                '^Tempolis$'], capture_output=True, text=True).stdout.split()
        return any(int(run('xwininfo', '-id', window).split('Height: ')[1].split()[0]) == 22 for window in found)

    def struts(self):
        """The struts the program's windows reserve, mapped or not."""
        found = subprocess.run(['xdotool', 'search', '--pid', str(self.program.pid)], capture_output=True,
                               text=True).stdout.split()
        return [window for window in found if 'not found' not in run('xprop', '-id', window, '_NET_WM_STRUT_PARTIAL')]

    def press(self, popup_name, name):
        popup = wait_for(lambda: POPUPS.showing(popup_name), what=f'the {popup_name} popover')
        wait_for(lambda: self.find(lambda node: node.getRoleName() == 'push button' and node.name == name, popup),
                 what=f'"{name}" in {popup_name}').queryAction().doAction(0)

    def save_through_dialog(self, name):
        dialog = wait_for(lambda: self.find_showing('Save Recording', 'dialog'), what='the save dialog')
        clip = os.path.join(self.folder.name, name)
        self.find(lambda node: node.getRoleName() == 'text' and node.getState().contains(pyatspi.STATE_EDITABLE),
                  dialog).queryEditableText().setTextContents(clip)
        self.find(lambda node: node.getRoleName() == 'push button' and node.name == 'Save',
                  dialog).queryAction().doAction(0)
        wait_for(lambda: os.path.exists(clip) and not self.find_showing('Save Recording', 'dialog'),
                 what='the saved clip')
        return clip

    def steady_duration(self, at):
        """The time popup's duration once it stays the same for half a second (the pointer held still)."""
        last, since, deadline = None, time.monotonic(), time.monotonic() + 20
        while time.monotonic() < deadline:
            Pointer.move(at[0] + 1, at[1])
            Pointer.move(at[0], at[1])
            text = self.label('Time Popup', 'Duration')
            if text != last:
                last, since = text, time.monotonic()
            elif text and time.monotonic() - since >= 0.5:
                return text
            time.sleep(0.1)
        raise AssertionError(f'the time popup never settled (last "{last}")')


class TrayTest(TrayTestCase):
    def prepare_folders(self):
        self.tray = self.start_tray()  # the panel runs before Tempolis starts

    def test_the_tray_shows_the_icon_its_menu_and_the_gesture(self):
        tray = self.tray
        registered = tray.expect('registered')
        host = Host(registered)
        self.assertEqual(tray.command('items', 'items').split(), [registered], 'one item, registered once')

        # The item names itself and says its state; the floating item is gone and reserves no strip.
        self.assertEqual(host.property('Title'), 'Tempolis')
        wait_for(lambda: host.property('ToolTip')[2] == 'Tempolis', what='the tooltip')
        self.assertFalse(self.floating_item_shown())
        self.assertEqual(self.struts(), [])
        workarea = run('xprop', '-root', '_NET_WORKAREA')
        self.assertRegex(workarea, r'= 0, 0, 1920, 1080', 'the work area is the whole screen')

        # Under five seconds held the save entries are off; the rest is there.
        menu = host.menu()
        self.assertEqual([label for _, label, _ in menu], MENU)
        if self.held_seconds() < 5:
            self.assertEqual([enabled for _, _, enabled in menu], [False] * 4 + [True] * 3)

        # The click on the icon at (x, y): the band starts there, not where the pointer is parked.
        wait_for(lambda: self.held_seconds() >= 8, timeout=30, what='8 seconds of audio')
        wait_for(lambda: host.property('ToolTip')[3].startswith('Recording.'), what='the recording state')
        run('pactl', 'suspend-source', 'rec_mic', '1')  # what is held stays put while the popup is read
        x, y = 1800, 1060
        Pointer.move(1400, 600)
        activated = time.monotonic()
        host.activate(x, y)
        knob = wait_for(lambda: self.knob_centre(x, y), what='the band at the click')
        print(f'Activate to band shown: {time.monotonic() - activated:.3f} s', file=sys.stderr)
        self.assertLessEqual(abs(knob[0] - x), 4, knob)
        self.assertLessEqual(abs(knob[1] - y), 4, knob)
        self.assertIsNone(self.knob_centre(1400, 600), 'a band at the parked pointer')

        # Pulled 200 pixels up and clicked: saves what the popup promised, through the save dialog.
        target = (x, y - 200)
        for step in range(1, 9):
            Pointer.move(1400 + (target[0] - 1400) * step / 8, 600 + (target[1] - 600) * step / 8)
        promised = self.steady_duration(target)
        seconds = seconds_in(promised)
        self.assertGreaterEqual(seconds, 5, promised)
        beam = pixels(x - 3, y - 120, 7, 1)
        self.assertTrue(any(near(color, (126, 217, 87), 40) for color in beam.values()), 'no band above the click')
        run('xdotool', 'click', '1')
        clip = self.save_through_dialog('gesture.m4a')
        self.assertEqual(clip_frames(clip), seconds * RATE, f'the popup promised "{promised}"')

        # A second click on the icon cancels: nothing is saved.
        host.activate(x, y)
        wait_for(lambda: self.knob_centre(x, y), what='the band again')
        host.activate(x, y)
        wait_for(lambda: not self.knob_centre(x, y), what='the band to go')
        time.sleep(1.0)  # a save would ask where to put the clip by now
        self.assertIsNone(self.find_showing('Save Recording', 'dialog'))

        # Popovers hang where the user acted: a middle click opens the settings above it; from the menu, which
        # has no position, they go to the end of the panel's edge (the top right without a panel). Always fully
        # on the screen.
        host.call(host.path, 'org.kde.StatusNotifierItem', 'SecondaryActivate', '(ii)', (x, y))
        box = self.settings_extents()
        self.assertLessEqual(box.y + box.height, y, 'above the click')
        self.assertTrue(box.x <= x <= box.x + box.width, 'over the click')
        run('xdotool', 'key', 'Escape')
        wait_for(lambda: not POPUPS.showing('Settings'), what='the settings popover to close')
        host.choose('Settings…')
        box = self.settings_extents()
        self.assertGreaterEqual(box.x + box.width, 1920 - 12, 'at the right end')
        self.assertLessEqual(box.y, 12, 'at the top')
        run('xdotool', 'key', 'Escape')
        wait_for(lambda: not POPUPS.showing('Settings'), what='the settings popover to close')

        # From the menu: exactly the last 30 seconds.
        run('pactl', 'suspend-source', 'rec_mic', '0')
        wait_for(lambda: self.held_seconds() >= 31, timeout=60, what='31 seconds of audio')
        self.assertEqual([enabled for _, _, enabled in host.menu()], [True] * 7)
        host.choose('Save the Last 30 Seconds')
        self.assertEqual(clip_frames(self.save_through_dialog('menu.m4a')), 30 * RATE)

        # Pause from the menu, as More Settings pauses: the state and the entry follow.
        host.choose('Pause Recording')
        wait_for(lambda: host.property('ToolTip')[3].startswith('Paused.'), what='the paused state')
        menu = host.menu()
        self.assertIn('Resume Recording', [label for _, label, _ in menu])
        self.assertEqual([enabled for _, _, enabled in menu][:4], [False] * 4, 'nothing held while paused')
        host.choose('Resume Recording')
        wait_for(lambda: host.property('ToolTip')[3].startswith('Recording.'), what='recording again')

        host.choose('Quit Tempolis')
        self.assertEqual(self.program.wait(10), 0, self.program_log())

    def settings_extents(self):
        popover = wait_for(lambda: POPUPS.showing('Settings'), what='the settings popover')
        box = popover.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        self.assertTrue(box.x > 0 and box.y >= 0 and box.x + box.width <= 1920 and box.y + box.height <= 1080,
                        f'on the screen: {box.x},{box.y} {box.width}x{box.height}')
        return box

    def knob_centre(self, x, y):
        """The centre of the band's handle if it shows within 60 pixels of (x, y)."""
        shown = pixels(x - 60, y - 60, 121, 121)
        white = [point for point, color in shown.items() if near(color, KNOB_WHITE, 6)]
        if len(white) < 200:  # the knob is a disc of radius 17
            return None
        xs, ys = [px for px, _ in white], [py for _, py in white]
        return (min(xs) + max(xs)) / 2, (min(ys) + max(ys)) / 2


class TrayComesAndGoesTest(TrayTestCase):
    def test_the_icon_follows_the_tray(self):
        # Started before the panel: the floating item shows, and moves into the tray when it comes.
        wait_for(self.floating_item_shown, what='the floating item')
        self.assertNotEqual(self.struts(), [])
        tray = self.start_tray()
        tray.expect('registered')
        wait_for(lambda: not self.floating_item_shown(), what='the floating item to go')
        self.assertEqual(self.struts(), [])

        # The panel quits: the floating item is back within 2 s. It comes back: the icon registers again.
        tray.command('stop', 'stopped')
        wait_for(self.floating_item_shown, timeout=2.0, what='the floating item within 2 s')
        tray.command('start', 'started')
        host = Host(tray.expect('registered'))
        wait_for(lambda: not self.floating_item_shown(), what='the floating item to go again')

        # "Show in System Tray" (on by default) applies at once: off, the icon leaves the tray and the floating
        # item is back; on again, the icon returns.
        host.choose('Settings…')
        self.press('Settings', 'More Settings…')
        more = wait_for(lambda: POPUPS.showing('More Settings'), what='the more-settings popover')
        self.assertIsNotNone(self.find_showing('Shows in System Tray', 'label', more))
        self.press('More Settings', 'Show in System Tray')
        wait_for(self.floating_item_shown, what='the floating item')
        wait_for(lambda: tray.command('items', 'items') == '', what='the icon to leave the tray')
        self.assertIsNone(self.find_showing('Shows in System Tray', 'label', more))
        self.press('More Settings', 'Show in System Tray')
        tray.expect('registered')
        wait_for(lambda: not self.floating_item_shown(), what='the floating item to go')


if __name__ == '__main__':
    unittest.main()
