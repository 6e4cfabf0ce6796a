#!/usr/bin/python3
"""The popups as someone working in another program meets them: the real program in the test session, a
terminal (xterm running `cat > FILE`) that has the keyboard, real typing and clicks (xdotool). What informs (the
saved popup of a save from a script, the disk-space alert at launch) takes nothing: every key typed lands in
FILE and a click on another window reaches it. The settings take the keyboard while open and give it back.

    popups_test.py PROGRAM    (inside scripts/test-session; the alert's test needs root for a small tmpfs)
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'support'))
from desktop_session import (POPUPS, Pointer, ProgramTestCase, held_seconds_of, run, tempolis_command,  # noqa: E402
                             wait_for)

PROGRAM = sys.argv.pop(1) if len(sys.argv) > 1 else ''


def active_window():
    result = subprocess.run(['xdotool', 'getactivewindow'], capture_output=True, text=True)
    return result.stdout.strip()


def click(x, y):
    Pointer.move(x, y)
    run('xdotool', 'click', '1')


def type_text(text):
    run('xdotool', 'type', '--delay', '15', text)


class Terminal:
    """An xterm at (100, 300) whose keyboard input goes to FILE (line by line: the terminal hands `cat` a
    line at its end)."""
    centre = (250, 350)

    def __init__(self, test):
        self.path = os.path.join(test.folder.name, 'typed.txt')
        self.process = subprocess.Popen(['xterm', '-fa', 'DejaVu Sans Mono', '-geometry', '40x8+100+300',
                                         '-e', 'sh', '-c', f'exec cat > "{self.path}"'])
        test.addCleanup(self.process.wait, 10)
        test.addCleanup(self.process.terminate)
        self.window = run('xdotool', 'search', '--sync', '--pid', str(self.process.pid)).split()[0]

    def focus(self):
        click(*self.centre)
        wait_for(lambda: active_window() == self.window, what='the terminal to be active')

    def text(self):
        with open(self.path) as typed:
            return typed.read()


class PopupsLeaveTheKeyboardAndThePointerTest(ProgramTestCase):
    program_path = PROGRAM

    def test_typing_goes_on_around_the_settings_and_a_saved_popup(self):
        terminal = Terminal(self)
        x, y, _ = self.icon_centre()
        terminal.focus()
        # Two presses on one spot within 0.4 s make a double click; these clicks on the icon are single ones.
        spots = [(x - 6, y), (x + 6, y)]

        def click_icon():
            spots.reverse()
            click(*spots[0])

        # The settings take the keyboard while they are open; a click on the terminal closes them, reaches it
        # and typing goes there again. Escape closes them as well.
        def open_settings():
            click_icon()
            wait_for(lambda: POPUPS.showing('Settings'), what='the settings')
            wait_for(lambda: active_window() not in ('', terminal.window) and
                     run('xdotool', 'getwindowpid', active_window()).strip() == str(self.program.pid),
                     what='the settings to have the keyboard')
        open_settings()
        click(*terminal.centre)
        wait_for(lambda: not POPUPS.showing('Settings'), what='the settings to close')
        wait_for(lambda: active_window() == terminal.window, what='the terminal to be active again')
        type_text('one ')
        open_settings()
        run('xdotool', 'key', 'Escape')
        wait_for(lambda: not POPUPS.showing('Settings'), what='Escape to close the settings')
        # The press on the icon that closes them only closes them: the next one opens them again.
        open_settings()
        click_icon()
        wait_for(lambda: not POPUPS.showing('Settings'), what='the icon to close the settings')
        click_icon()
        wait_for(lambda: POPUPS.showing('Settings'), what='the settings after a closing click')
        click(*terminal.centre)
        wait_for(lambda: active_window() == terminal.window, what='the terminal to be active again')

        # A save from a script, as a key binding runs it, while the user types.
        clicks_seen = os.path.join(self.folder.name, 'clicks.txt')
        with open(clicks_seen, 'w') as output:
            clicks = subprocess.Popen(['xev', '-geometry', '300x200+700+600', '-name', 'clicks', '-event', 'button'],
                                      stdout=output)
        self.addCleanup(clicks.wait, 10)
        self.addCleanup(clicks.terminate)
        other = run('xdotool', 'search', '--sync', '--name', '^clicks$').split()[0]
        terminal.focus()
        wait_for(lambda: held_seconds_of(PROGRAM) >= 5, timeout=30, what='5 seconds held')
        type_text('before ')
        saved = tempolis_command(PROGRAM, 'save', '5', '--output', self.folder.name)
        self.assertEqual(saved.returncode, 0, saved.stderr)
        wait_for(lambda: POPUPS.showing('Saved Popup'), what='the saved popup')
        self.assertEqual(active_window(), terminal.window)
        type_text('during ')
        self.assertTrue(POPUPS.showing('Saved Popup'), 'typed after the popup went: make the text shorter')
        type_text('after\n')
        wait_for(lambda: terminal.text() == 'one before during after\n', what='every key in the terminal')

        # A click on another window while the popup shows reaches that window, and closes the popup.
        self.assertTrue(POPUPS.showing('Saved Popup'), 'typed after the popup went: make the text shorter')
        click(850, 700)
        wait_for(lambda: not POPUPS.showing('Saved Popup'), what='the click to close the popup')
        wait_for(lambda: 'ButtonPress' in open(clicks_seen).read(), what='the click to reach the other window')
        wait_for(lambda: active_window() == other, what='the clicked window to be active')
        self.program.terminate()
        self.assertEqual(self.program.wait(10), 0, self.program_log())


class AlertAtLaunchTest(ProgramTestCase):
    """The cache folder on a 2 MB file system: the ring does not fit, which the program says at launch."""
    program_path = PROGRAM

    def prepare_folders(self):
        if os.geteuid() != 0:
            self.skipTest('mounting a small file system needs root')
        self.cache = tempfile.mkdtemp()
        run('mount', '-t', 'tmpfs', '-o', 'size=2m', 'none', self.cache)
        self.addCleanup(os.rmdir, self.cache)
        self.addCleanup(run, 'umount', self.cache)
        self.terminal = Terminal(self)
        self.terminal.focus()
        type_text('before ')

    def environment(self):
        return {'XDG_CACHE_HOME': self.cache}

    def test_typing_goes_on_while_the_alert_shows(self):
        wait_for(lambda: POPUPS.showing('Alert'), what='the disk-space alert')
        type_text('during ')
        self.assertTrue(POPUPS.showing('Alert'), 'typed after the alert went')
        # A click elsewhere closes it and reaches the window clicked: the terminal keeps the keyboard.
        click(*Terminal.centre)
        wait_for(lambda: not POPUPS.showing('Alert'), what='the click to close the alert')
        type_text('after\n')
        wait_for(lambda: self.terminal.text() == 'before during after\n', what='every key in the terminal')
        self.assertEqual(active_window(), self.terminal.window)
        self.program.terminate()
        self.assertEqual(self.program.wait(10), 0, self.program_log())


if __name__ == '__main__':
    import unittest
    unittest.main()
