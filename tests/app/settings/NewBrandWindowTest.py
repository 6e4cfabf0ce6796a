#!/usr/bin/python3
"""The new-brand announcement as a user meets it: the real program in the test session, its window and
controls found by name on the accessibility bus, the button pressed with the real pointer, the window closed
through the window manager, and the notification read from the notification daemon. The window belongs to a
helper process that the program starts, so the program itself never loads Qt Quick.

    NewBrandWindowTest.py PROGRAM    (inside scripts/test-session)
"""
import json
import os
import signal
import sys
import time
import unittest

from gi.repository import GLib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'support'))
from desktop_session import ProgramTestCase, near, pixels, pyatspi, run, wait_for  # noqa: E402

PROGRAM = sys.argv.pop(1) if len(sys.argv) > 1 else ''
WINDOW = 'New brand, same time travel'
PAGE = 'https://tempolis.app/?ref=LegacyNotif'
BETA = ('Tempolis beta now available', 'Click here to try it first')
TWO_DAYS = 172800
BUTTON_GREEN = (126, 217, 87)
WHITE = (255, 255, 255)


def history():
    """(summary, body) of every notification the daemon has shown and closed, newest first."""
    entries = json.loads(run('dunstctl', 'history'))['data'][0]
    return [(entry['summary']['data'], entry['body']['data']) for entry in entries]


class NewBrandWindowTest(ProgramTestCase):
    program_path = PROGRAM

    @property
    def settings(self):
        if 'after_two_days' in self._testMethodName:  # first shown a little more than two days ago
            return {'Final Update Launch Date': time.time() - TWO_DAYS - 5}
        return {'Final Update Launch Count': None, 'Final Update Launch Date': None}  # never shown

    def prepare_folders(self):
        # The user's browser: a stand-in that writes down the pages it was asked to open.
        self.opened = os.path.join(self.folder.name, 'opened')
        bin_folder = os.path.join(self.folder.name, 'bin')
        os.mkdir(bin_folder)
        with open(os.path.join(bin_folder, 'xdg-open'), 'w') as browser:
            browser.write(f'#!/bin/sh\necho "$1" >> "{self.opened}"\n')
        os.chmod(os.path.join(bin_folder, 'xdg-open'), 0o755)
        self.settings_file = os.path.join(self.folder.name, 'config', 'Orvane', 'Tempolis.conf')
        run('dunstctl', 'close-all')
        self.earlier_notifications = len(history())

    def environment(self):
        return {'PATH': os.path.join(self.folder.name, 'bin') + os.pathsep + os.environ['PATH']}

    def settings_value(self, key):
        with open(self.settings_file) as file:
            for line in file:
                name, _, value = line.strip().partition('=')
                if name == key.replace(' ', '%20'):
                    return value
        return None

    def notifications(self):
        """What the daemon has shown since the test began (and closed since), newest first."""
        entries = history()
        return entries[:len(entries) - self.earlier_notifications]

    def pages_opened(self):
        if not os.path.exists(self.opened):
            return []
        with open(self.opened) as file:
            return file.read().split()

    def application(self):
        """The announcement's helper: the application on the accessibility bus that the program started."""
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and parent_process(app.get_process_id()) == self.program.pid:
                return app
        return None

    def program_maps(self, name):
        with open(f'/proc/{self.program.pid}/maps') as maps:
            return name in maps.read()

    def announcement(self):
        app = self.application()
        try:
            return [window for window in (app or [])
                    if window is not None and window.name == WINDOW and window.getRoleName() == 'frame']
        except GLib.GError:  # the helper ended while it was asked
            return []

    def shown_announcement(self):
        window = wait_for(lambda: self.find_showing(WINDOW, 'frame'), what='the announcement window')
        for text in (WINDOW, 'Coming Soon', 'Can’t wait? Join the beta'):
            self.assertIsNotNone(self.find_showing(text, 'heading', window), text)
        self.assertIsNotNone(self.find_showing('• Access to Zonderia', 'label', window))
        self.assertFalse(self.program_maps('libQt6Quick'), 'the program itself loaded Qt Quick')
        return window

    def close(self, window):
        """Closes the window as its close button does: the window manager asks the program to close it."""
        helper = self.application().get_process_id()
        wait_for(lambda: window.getState().contains(pyatspi.STATE_ACTIVE), what='the window to be active')
        run('xdotool', 'key', 'alt+F4')
        wait_for(lambda: not self.announcement(), what='the window to go')
        wait_for(lambda: not running(helper), what='the helper to end')
        self.assertIsNone(self.program.poll(), 'closing the window ended the program')

    def test_first_launch_shows_the_announcement_once_and_its_button_opens_the_product_page(self):
        window = self.shown_announcement()
        self.assertEqual(self.settings_value('Final Update Launch Count'), '1')
        self.assertAlmostEqual(float(self.settings_value('Final Update Launch Date')), time.time(), delta=60)
        self.assertEqual(len(self.announcement()), 1)

        button = self.find_showing('GET EARLY ACCESS', 'push button', window)
        box = button.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        self.assertEqual((box.width, box.height), (363, 60))
        # On screen: the button's green beside its label, and the window's white beside the button.
        y = box.y + box.height // 2
        wait_for(lambda: near(pixels(box.x + 12, y)[(box.x + 12, y)], BUTTON_GREEN) and
                 near(pixels(box.x - 12, y)[(box.x - 12, y)], WHITE), what='the button drawn on the screen')
        run('xdotool', 'mousemove', str(box.x + box.width // 2), str(box.y + box.height // 2), 'click', '1')
        self.assertEqual(wait_for(self.pages_opened, what='the product page'), [PAGE])

        # Within two days of the first showing, closing sends nothing: give the notification its second of
        # delay and a margin to show up before concluding it did not.
        self.close(window)
        with self.assertRaises(AssertionError):
            wait_for(lambda: self.notifications() or run('dunstctl', 'count', 'displayed').strip() != '0',
                     timeout=2.5, what='no notification')

    def test_closing_after_two_days_announces_the_beta_and_its_click_opens_the_product_page(self):
        window = self.shown_announcement()
        self.assertEqual(len(self.announcement()), 1)
        self.close(window)

        # The daemon keeps what it shows; a click on the notification (its default action) comes back to the
        # program, which opens the product page.
        wait_for(lambda: run('dunstctl', 'count', 'displayed').strip() == '1', what='the beta notification')
        run('dunstctl', 'action', '0')
        self.assertEqual(wait_for(self.pages_opened, what='the product page'), [PAGE])
        self.assertEqual(wait_for(self.notifications, what='the notification in the history'), [BETA])

    def test_the_window_goes_with_the_program(self):
        self.shown_announcement()
        helper = self.application().get_process_id()
        self.program.send_signal(signal.SIGKILL)
        self.program.wait(10)
        wait_for(lambda: not running(helper), what='the helper to end')


def process_status(pid):
    """(state, parent) of a process, or None once it is gone."""
    try:
        with open(f'/proc/{pid}/stat') as stat:
            state, parent = stat.read().rpartition(')')[2].split()[:2]
            return state, int(parent)
    except (OSError, ValueError):
        return None


def parent_process(pid):
    status = process_status(pid)
    return status and status[1]


def running(pid):
    """An ended process that nobody has reaped yet (its parent was killed) counts as ended."""
    status = process_status(pid)
    return status is not None and status[0] != 'Z'


if __name__ == '__main__':
    unittest.main()
