#!/usr/bin/python3
"""The settings as a user meets them: the real program in the test session with three microphones, its
popovers driven through the accessibility bus and the keyboard, what it records from checked on the audio
server, the ring checked on disk.

    settings_test.py PROGRAM    (inside scripts/test-session)
"""
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'support'))
from desktop_session import (POPUPS, Pointer, ProgramTestCase, loudness, pixels, pyatspi,  # noqa: E402
                             recording_sources, run, wait_for, write_tone)

PROGRAM = sys.argv.pop(1) if len(sys.argv) > 1 else ''
EXTRA_SOURCES = (('extra_a', 'Extra-A'), ('extra_b', 'Extra-B'))
BYTES_PER_MINUTE = 60 * 44100 * 2


def click_on(node):
    box = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    Pointer.move(box.x + box.width / 2, box.y + box.height / 2)
    run('xdotool', 'click', '1')


class SettingsTest(ProgramTestCase):
    program_path = PROGRAM
    settings = {'Preferred Audio Device': 'extra_a'}  # the second of the three microphones, chosen before

    def prepare_folders(self):
        # An output that feeds no microphone, and the session's own output as the default one.
        modules = [run('pactl', 'load-module', 'module-null-sink', 'sink_name=speaker_b',
                       'sink_properties=device.description=Speaker-B').strip()]
        self.addCleanup(run, 'pactl', 'set-default-sink', 'rec_sink')
        for name, description in EXTRA_SOURCES:  # microphones as the session's own: a sink's sound, remapped
            modules.append(run('pactl', 'load-module', 'module-null-sink', f'sink_name={name}_sink').strip())
            modules.append(run('pactl', 'load-module', 'module-remap-source', f'master={name}_sink.monitor',
                               f'source_name={name}', 'channels=1',
                               f'source_properties=device.description={description}').strip())
        self.addCleanup(lambda: [subprocess.run(['pactl', 'unload-module', module]) for module in reversed(modules)])
    def ring_bytes(self):
        ring = os.path.join(self.folder.name, 'cache', 'Tempolis', 'Recording.data')
        return os.path.getsize(ring) if os.path.exists(ring) else None

    def control(self, popup_name, role, name):
        popup = wait_for(lambda: POPUPS.showing(popup_name), what=f'the {popup_name} popover')
        return wait_for(lambda: self.find(lambda node: node.getRoleName() == role and node.name == name, popup),
                        what=f'"{name}" in {popup_name}')

    def pop_up(self, description):
        popup = wait_for(lambda: POPUPS.showing('Settings'), what='the settings popover')
        return self.find(lambda node: node.getRoleName() == 'combo box' and node.description == description, popup)

    def press(self, popup_name, name):
        self.control(popup_name, 'push button', name).queryAction().doAction(0)

    def choose(self, combo, item_name):
        """Opens a pop-up with the pointer and picks one of its items with the arrow keys and Return, as its
        list opens around the current choice (and is moved to fit on the screen)."""
        choices = [node.name for node in pyatspi.findAllDescendants(
            combo, lambda node: node.getRoleName() == 'list item') if node.name]
        steps = choices.index(item_name) - choices.index(combo.name)
        click_on(combo)
        wait_for(lambda: pyatspi.findDescendant(combo, lambda node: node.getRoleName() == 'list item' and
                                                node.getState().contains(pyatspi.STATE_SHOWING)),
                 what='the list of choices')
        for _ in range(abs(steps)):
            run('xdotool', 'key', 'Down' if steps > 0 else 'Up')
        run('xdotool', 'key', 'Return')

    def open_settings(self, x, y):
        Pointer.move(x, y)
        run('xdotool', 'click', '1')
        return wait_for(lambda: POPUPS.showing('Settings'), what='the settings popover')

    def test_settings_change_what_and_how_long_tempolis_records(self):
        x, y, icon = self.icon_centre()
        pid = self.program.pid
        wait_for(lambda: recording_sources(pid) == ['extra_a'], what='recording from the chosen microphone')

        # The menu: the default entry, a separator, then the three microphones in the server's order, the
        # stored one selected.
        self.open_settings(x, y)
        devices = self.pop_up('Microphone')
        items = [item.name or item.description for item in pyatspi.findAllDescendants(
            devices, lambda node: node.getRoleName() == 'list item')]
        self.assertEqual(items[:8], ['System Default', 'separator', 'Virtual-Microphone', 'Extra-A', 'Extra-B',
                                     'separator', 'System audio', 'Microphone and system audio'])
        self.assertIn('Monitor of Speaker-B', items[8:])  # what each output plays
        self.assertEqual(devices.name, 'Extra-A')  # the pop-up's name is its choice: index 3 here

        # Another microphone: recording moves to it.
        self.choose(devices, 'Virtual-Microphone')
        wait_for(lambda: recording_sources(pid) == ['rec_mic'], what='recording from the virtual microphone')

        # A shorter past: the ring shrinks to 15 minutes.
        self.assertEqual(self.ring_bytes(), 60 * BYTES_PER_MINUTE)
        self.choose(self.pop_up('Keep the last'), '15 minutes')
        wait_for(lambda: self.ring_bytes() == 15 * BYTES_PER_MINUTE, what='the ring of 15 minutes')
        wait_for(lambda: recording_sources(pid) == ['rec_mic'], what='recording again')

        # What the computer plays: an output's sound, or "System audio", which follows the default output (and
        # a tone played there comes out of a clip saved from a script).
        self.choose(self.pop_up('Microphone'), 'Monitor of Speaker-B')
        wait_for(lambda: recording_sources(pid) == ['speaker_b.monitor'], what="recording Speaker-B's sound")
        self.choose(self.pop_up('Microphone'), 'System audio')
        wait_for(lambda: recording_sources(pid) == ['rec_sink.monitor'], what='recording the default output')
        run('pactl', 'set-default-sink', 'speaker_b')
        wait_for(lambda: recording_sources(pid) == ['speaker_b.monitor'], what='following the new default output')
        tone = os.path.join(self.folder.name, 'tone.wav')
        write_tone(tone, 6)
        run('paplay', '--device=speaker_b', tone)
        saved = subprocess.run([PROGRAM, 'save', '5', '--output', self.folder.name], capture_output=True,
                               text=True, timeout=60)
        self.assertEqual(saved.returncode, 0, saved.stderr)
        self.assertGreater(loudness(saved.stdout.strip(), 1, 3), 3000, 'the played tone is not in the clip')
        wait_for(lambda: not POPUPS.showing('Saved Popup'), what='the saved popup to go')  # it hangs over these
        # Both sides of a call: the default input and the default output's sound, two streams.
        self.choose(self.pop_up('Microphone'), 'Microphone and system audio')
        wait_for(lambda: sorted(recording_sources(pid)) == ['rec_mic', 'speaker_b.monitor'], what='both sides')
        self.choose(self.pop_up('Microphone'), 'Virtual-Microphone')
        wait_for(lambda: recording_sources(pid) == ['rec_mic'], what='the microphone again')

        # Pause stops recording, resume starts it again; launch at login on then off leaves no entry.
        self.press('Settings', 'More Settings…')
        self.press('More Settings', 'Pause Recording')
        wait_for(lambda: recording_sources(pid) == [], what='recording to stop')
        # Paused is a state of its own: the button says so, and a blue pause mark replaces the red dot.
        wait_for(lambda: self.icon_state() == 'Paused.', what='the paused state on the button')
        shown = wait_for(lambda: (found := pixels(icon.x, icon.y, icon.width, icon.height)) and not any(
            r > 180 and g < 90 and b < 90 for r, g, b in found.values()) and found, what='the red dot to go')
        self.assertTrue(any(b > 180 and r < 100 for (px, py), (r, g, b) in shown.items()
                            if px >= icon.x + icon.width / 2 and py >= icon.y + icon.height / 2), 'no pause mark')
        self.press('More Settings', 'Resume Recording')
        wait_for(lambda: recording_sources(pid) == ['rec_mic'], what='recording to resume')
        wait_for(lambda: self.icon_state() == 'Recording.', what='the recording state again')
        autostart = os.path.join(self.folder.name, 'config', 'autostart', 'com.Orvane.Tempolis.Launcher.desktop')
        def checkmark():
            return self.find_showing('Launches at Login', 'label', POPUPS.showing('More Settings'))
        self.assertIsNone(checkmark())
        self.press('More Settings', 'Launch at Login')
        wait_for(lambda: os.path.exists(autostart) and checkmark(), what='the login item and its checkmark')
        self.press('More Settings', 'Launch at Login')
        wait_for(lambda: not os.path.exists(autostart) and not checkmark(), what='the login item to go')

        # A press elsewhere closes both popovers; then the icon answers clicks again.
        Pointer.move(x - 400, y + 400)
        run('xdotool', 'click', '1')
        wait_for(lambda: not POPUPS.showing('More Settings') and not POPUPS.showing('Settings'),
                 what='the popovers to close')
        self.open_settings(x, y)

        # Quit ends the program the ordinary way and leaves no audio behind.
        self.press('Settings', 'More Settings…')
        self.press('More Settings', 'Quit Tempolis')
        self.assertEqual(self.program.wait(10), 0, self.program_log())
        self.assertIsNone(self.ring_bytes())


if __name__ == '__main__':
    unittest.main()
