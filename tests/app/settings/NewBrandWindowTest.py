#!/usr/bin/python3
"""The new-brand announcement as a user meets it: the real program in the test session, its window and
controls found by name on the accessibility bus, the button pressed with the real pointer, the window closed
through the window manager, and the notification read from the notification daemon.

    NewBrandWindowTest.py PROGRAM    (inside scripts/test-session)
"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import pyatspi

PROGRAM = sys.argv.pop(1) if len(sys.argv) > 1 else ''
WINDOW = 'New brand, same time travel'
PAGE = 'https://tempolis.app/?ref=LegacyNotif'
BETA = ('Tempolis beta now available', 'Click here to try it first')
TWO_DAYS = 172800


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def wait_for(condition, timeout=15.0, what='the condition'):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f'waited {timeout} s for {what}')
        time.sleep(0.05)


def history():
    """(summary, body) of every notification the daemon has shown and closed, newest first."""
    entries = json.loads(run('dunstctl', 'history'))['data'][0]
    return [(entry['summary']['data'], entry['body']['data']) for entry in entries]


class NewBrandWindowTest(unittest.TestCase):
    def setUp(self):
        if not PROGRAM or not os.environ.get('DISPLAY'):
            self.skipTest('needs the program and the test session (scripts/test-session)')
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.environment = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON='1')
        for name in ('config', 'cache', 'data'):
            path = os.path.join(self.folder.name, name)
            os.mkdir(path)
            self.environment[f'XDG_{name.upper()}_HOME'] = path
        # The user's browser: a stand-in that writes down the pages it was asked to open.
        self.opened = os.path.join(self.folder.name, 'opened')
        bin_folder = os.path.join(self.folder.name, 'bin')
        os.mkdir(bin_folder)
        with open(os.path.join(bin_folder, 'xdg-open'), 'w') as browser:
            browser.write(f'#!/bin/sh\necho "$1" >> "{self.opened}"\n')
        os.chmod(os.path.join(bin_folder, 'xdg-open'), 0o755)
        self.environment['PATH'] = bin_folder + os.pathsep + os.environ['PATH']
        self.settings = os.path.join(self.folder.name, 'config', 'Orvane', 'Tempolis.conf')
        run('dunstctl', 'close-all')
        self.earlier_notifications = len(history())

    def start(self):
        self.log = open(os.path.join(self.folder.name, 'program.log'), 'a+')
        self.program = subprocess.Popen([PROGRAM], env=self.environment, stderr=self.log)
        self.addCleanup(self.stop)

    def stop(self):
        if self.program.poll() is None:
            self.program.send_signal(signal.SIGTERM)
            self.program.wait(10)
        self.log.close()

    def settings_value(self, key):
        with open(self.settings) as file:
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

    def showing(self, name, role, root=None):
        return self.find(lambda node: node.name == name and node.getRoleName() == role and
                         node.getState().contains(pyatspi.STATE_SHOWING), root)

    def announcement(self):
        app = self.application()
        return [window for window in (app or []) if window.name == WINDOW and window.getRoleName() == 'frame']

    def shown_announcement(self):
        window = wait_for(lambda: self.showing(WINDOW, 'frame'), what='the announcement window')
        for text in (WINDOW, 'Coming Soon', 'Can’t wait? Join the beta'):
            self.assertIsNotNone(self.showing(text, 'heading', window), text)
        self.assertIsNotNone(self.showing('• Access to Zonderia', 'label', window))
        return window

    def close(self, window):
        """Closes the window as its close button does: the window manager asks the program to close it."""
        wait_for(lambda: window.getState().contains(pyatspi.STATE_ACTIVE), what='the window to be active')
        run('xdotool', 'key', 'alt+F4')
        wait_for(lambda: not self.announcement(), what='the window to go')
        self.assertIsNone(self.program.poll(), 'closing the window ended the program')

    def test_first_launch_shows_the_announcement_once_and_its_button_opens_the_product_page(self):
        self.start()
        window = self.shown_announcement()
        self.assertEqual(self.settings_value('Final Update Launch Count'), '1')
        self.assertAlmostEqual(float(self.settings_value('Final Update Launch Date')), time.time(), delta=60)
        self.assertEqual(len(self.announcement()), 1)

        button = self.showing('GET EARLY ACCESS', 'push button', window)
        box = button.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        self.assertEqual((box.width, box.height), (363, 60))
        run('xdotool', 'mousemove', str(box.x + box.width // 2), str(box.y + box.height // 2), 'click', '1')
        self.assertEqual(wait_for(self.pages_opened, what='the product page'), [PAGE])

        # Within two days of the first showing, closing sends nothing: give the notification its second of
        # delay and a margin to show up before concluding it did not.
        self.close(window)
        with self.assertRaises(AssertionError):
            wait_for(lambda: self.notifications() or run('dunstctl', 'count', 'displayed').strip() != '0',
                     timeout=2.5, what='no notification')

    def test_closing_after_two_days_announces_the_beta_and_its_click_opens_the_product_page(self):
        os.makedirs(os.path.dirname(self.settings))
        with open(self.settings, 'w') as file:
            # First shown a little more than two days ago.
            file.write('[General]\nFinal%20Update%20Launch%20Count=1\n'
                       f'Final%20Update%20Launch%20Date={time.time() - TWO_DAYS - 5}\n')
        self.start()
        window = self.shown_announcement()
        self.assertEqual(len(self.announcement()), 1)
        self.close(window)

        # The daemon keeps what it shows; a click on the notification (its default action) comes back to the
        # program, which opens the product page.
        wait_for(lambda: run('dunstctl', 'count', 'displayed').strip() == '1', what='the beta notification')
        run('dunstctl', 'action', '0')
        self.assertEqual(wait_for(self.pages_opened, what='the product page'), [PAGE])
        self.assertEqual(wait_for(self.notifications, what='the notification in the history'), [BETA])


if __name__ == '__main__':
    unittest.main()
