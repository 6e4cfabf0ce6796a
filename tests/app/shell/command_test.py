#!/usr/bin/python3
"""The `tempolis` command against the real program in the test session: a clip saved from a script holds
exactly what was asked and what was played, every failure has its own exit status, the bus announces
saves and pauses, saves at the same time never collide or crash the program, and a pause leaves nothing of
the past on disk.

    command_test.py PROGRAM    (inside scripts/test-session)
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'support'))
from desktop_session import (RATE, POPUPS, ProgramTestCase, clip_frames, held_seconds_of, loudness,  # noqa: E402
                             run, tempolis_command, wait_for, write_tone)
from gi.repository import Gio, GLib  # noqa: E402

PROGRAM = sys.argv.pop(1) if len(sys.argv) > 1 else ''


def tempolis(*arguments):
    return tempolis_command(PROGRAM, *arguments)


def held_seconds():
    return held_seconds_of(PROGRAM)


def together(*commands):
    """Runs each `tempolis` command line at the same moment; answers their results in order."""
    started = [subprocess.Popen([PROGRAM, *arguments], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
               for arguments in commands]
    return [(process.wait(60), process.stdout.read().strip(), process.stderr.read()) for process in started]


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
        self.assertNotIn('AudioCapture: stop:', self.program_log(), 'a normal stop is no error')

    def test_what_comes_in_is_checked_before_use(self):
        wait_for(lambda: tempolis('status').returncode == 0, what='the program on the bus')
        for seconds in ('nan', 'inf', '-inf', '-1e300', '4', '86401', '7.5'):
            result = tempolis('save', seconds, '--output', self.folder.name)
            self.assertEqual(result.returncode, 5, f'{seconds}: {result.stderr}')
        bus = Gio.bus_get_sync(Gio.BusType.SESSION)
        with self.assertRaisesRegex(Exception, 'InvalidArgument'):
            bus.call_sync('com.Orvane.Tempolis', '/com/Orvane/Tempolis', 'com.Orvane.Tempolis.Recorder',
                          'SaveClip', GLib.Variant('(ds)', (5.0, 'relative/clip.m4a')), None,
                          Gio.DBusCallFlags.NONE, 10000, None)
        # An unknown verb is a usage error and never a second program.
        result = tempolis('sav', '5')
        self.assertEqual(result.returncode, 2)
        self.assertIn('Usage: tempolis', result.stderr)
        self.assertEqual(self.program.poll(), None, 'the running program is untouched')


def holds_nothing(path):
    with open(path, 'rb') as file:
        contents = file.read()
    return contents.count(0) == len(contents)


class SavesTogetherAndPauseTest(ProgramTestCase):
    """Saves started at the same moment, with the program's temporary folder on a tmpfs and the clips on the
    same file system or another one: each gets its own name and exactly what it asked for, and the program
    lives on. Then a pause forgets what was held on disk too: by the time it answers, the ring and the packet
    file hold nothing of the past and keep their reserved size."""
    program_path = PROGRAM
    settings = {'Capture Maximum Minutes': 15}

    def setUp(self):
        self.temporary = tempfile.mkdtemp(dir='/dev/shm')
        self.addCleanup(lambda: subprocess.run(['rm', '-rf', self.temporary]))
        super().setUp()

    def environment(self):
        return {'TMPDIR': self.temporary}

    def test_saves_together_then_pause(self):
        wait_for(lambda: tempolis('status').returncode == 0, what='the program on the bus')
        # Sound all along, so that the packets of the past fill their file too.
        tone = os.path.join(self.folder.name, 'tone.wav')
        write_tone(tone, 40)
        player = subprocess.Popen(['paplay', '--device=rec_sink', tone])
        self.addCleanup(player.kill)
        wait_for(lambda: held_seconds() >= 8, timeout=20, what='8 seconds held')

        for folder in (self.folder.name, tempfile.mkdtemp(dir=self.temporary)):
            results = together(*[('save', '5', '--output', folder)] * 5)
            self.assertEqual([status for status, _, _ in results], [0] * 5, [error for _, _, error in results])
            clips = [path for _, path, _ in results]
            self.assertEqual(len(set(clips)), 5, clips)
            for clip in clips:
                self.assertEqual(clip_frames(clip), 5 * RATE, clip)
            # One path asked for twice at once: one clip, and the other is told the file exists.
            path = os.path.join(folder, 'chosen.m4a')
            statuses = sorted(status for status, _, _ in together(('save', '5', '--output', path),
                                                                   ('save', '5', '--output', path)))
            self.assertEqual(statuses, [0, 6])
            self.assertEqual(clip_frames(path), 5 * RATE)
        self.assertIsNone(self.program.poll(), 'saves at the same time must not end the program')
        self.assertEqual([name for name in os.listdir(self.temporary) if name.endswith('.m4a')], [],
                         'no temporary clip is left')

        rings = [os.path.join(self.folder.name, 'cache', 'Tempolis', name)
                 for name in ('Recording.data', 'Packets.data')]
        wait_for(lambda: not any(holds_nothing(ring) for ring in rings), timeout=60,
                 what='the past on disk in both files')
        self.assertEqual(tempolis('pause').returncode, 0)
        for ring in rings:
            self.assertTrue(holds_nothing(ring), f'{ring} still holds the past')
            status = os.stat(ring)
            self.assertGreaterEqual(status.st_blocks * 512, status.st_size, f'{ring} is no longer reserved')
        self.assertIn('Recording: no (paused)', tempolis('status').stdout)
        self.assertEqual(tempolis('resume').returncode, 0)
        wait_for(lambda: 'Recording: yes' in tempolis('status').stdout, what='recording again')


if __name__ == '__main__':
    import unittest
    unittest.main()
