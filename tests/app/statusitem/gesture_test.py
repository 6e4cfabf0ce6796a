#!/usr/bin/python3
"""The status item's gesture as a user meets it: the real program in the test session, real pointer and
keyboard input (xdotool), controls read and pressed through the accessibility bus, screenshots checked by
pixel, and the saved clip decoded with ffprobe.

    gesture_test.py PROGRAM    (inside scripts/test-session)
"""
import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'support'))
from desktop_session import (DESKTOP_COLOR, POPUPS, Pointer, ProgramTestCase, clip_frames, near,  # noqa: E402
                             pixels, run, seconds_in, wait_for)

PROGRAM = sys.argv.pop(1) if len(sys.argv) > 1 else ''
BEAM_GREEN = (126, 217, 87)


class GestureTest(ProgramTestCase):
    program_path = PROGRAM

    def test_drag_keeps_the_recent_past(self):
        x, y, icon = self.icon_centre()
        # A screen reader announces the button by name, what pressing it does and the state.
        self.assertTrue(self.status_button().description.startswith('Press and pull down'))
        wait_for(lambda: self.icon_state() == 'Recording.', what='the recording state on the button')

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
        clip = self.save_through_dialog('clip.m4a')
        self.assertEqual(clip_frames(clip), seconds * 44100, f'the popup promised "{promised}"')
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
