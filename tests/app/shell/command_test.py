#!/usr/bin/python3
"""The `tempolis` command against the real program in the test session: a clip saved from a script holds
exactly what was asked and what was played, every failure has its own exit status, and the bus announces
saves and pauses.

    command_test.py PROGRAM    (inside scripts/test-session)
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'support'))
from desktop_session import RATE, POPUPS, ProgramTestCase, loudness, run, wait_for, write_tone  # noqa: E402
from gi.repository import Gio  # noqa: E402

PROGRAM = sys.argv.pop(1) if len(sys.argv) > 1 else ''


def tempolis(*arguments):
    return subprocess.run([PROGRAM, *arguments], capture_output=True, text=True, timeout=60)


def held_seconds():
    status = tempolis('status').stdout
    return float(status.split('Held: ')[1].split(' ')[0]) if 'Held: ' in status else 0


class CommandTest(ProgramTestCase):
    program_path = PROGRAM

    def test_scripts_save_pause_and_hear_about_it(self):
        result = tempolis('status')
        if result.returncode == 3:  # the program is still starting
            wait_for(lambda: tempolis('status').returncode == 0, what='the program on the bus')
        self.assertEqual(tempolis('save', '7', '--output', self.folder.name).returncode, 4, 'nothing held yet')

        events = []
        bus = Gio.bus_get_sync(Gio.BusType.SESSION)
        for member in ('ClipSaved', 'PropertiesChanged'):
            bus.signal_subscribe('com.Orvane.Tempolis', None, member, '/com/Orvane/Tempolis', None,
                                 Gio.DBusSignalFlags.NONE, lambda *args: events.append((args[4], args[5].unpack())))

        # Three seconds of a tone after seven of silence.
        tone = os.path.join(self.folder.name, 'tone.wav')
        write_tone(tone, 3)
        wait_for(lambda: held_seconds() >= 7, what='7 seconds held')
        run('paplay', '--device=rec_sink', tone)
        result = tempolis('save', '7', '--output', self.folder.name)
        self.assertEqual(result.returncode, 0, result.stderr)
        clip = result.stdout.strip()
        self.assertEqual(os.path.dirname(clip), self.folder.name)
        frames = run('ffprobe', '-v', 'error', '-select_streams', 'a:0', '-show_entries', 'stream=duration_ts',
                     '-of', 'default=noprint_wrappers=1:nokey=1', clip).strip()
        self.assertEqual(int(frames), 7 * RATE)
        self.assertGreater(loudness(clip, 4.5, 1.5), 3000, 'the played tone is not in the clip')
        wait_for(lambda: POPUPS.pump() or any(name == 'ClipSaved' for name, _ in events), what='ClipSaved')
        self.assertEqual([tuple(values) for name, values in events if name == 'ClipSaved'], [(clip, 7.0)])

        # The same name again in that folder is never replaced; a file path that exists is refused.
        again = tempolis('save', '7', '--output', self.folder.name)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertNotEqual(again.stdout.strip(), clip)
        self.assertEqual(tempolis('save', '7', '--output', clip).returncode, 6)
        self.assertEqual(tempolis('save', '2', '--output', self.folder.name).returncode, 5)
        self.assertEqual(tempolis('save', 'soon').returncode, 2)

        # Pause is announced; while paused there is nothing to save; resume records again.
        self.assertEqual(tempolis('pause').returncode, 0)
        wait_for(lambda: POPUPS.pump() or ('PropertiesChanged', False) in
                 [(name, values[1].get('Recording')) for name, values in events if name == 'PropertiesChanged'],
                 what='Recording false announced')
        self.assertIn('Recording: no', tempolis('status').stdout)
        self.assertEqual(tempolis('save', '5', '--output', self.folder.name).returncode, 4)
        self.assertEqual(tempolis('resume').returncode, 0)
        wait_for(lambda: 'Recording: yes' in tempolis('status').stdout, what='recording again')

        self.program.terminate()
        self.assertEqual(self.program.wait(10), 0)
        self.assertEqual(tempolis('status').returncode, 3, 'no running Tempolis')


if __name__ == '__main__':
    import unittest
    unittest.main()
