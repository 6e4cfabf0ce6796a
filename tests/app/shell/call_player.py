#!/usr/bin/python3
"""A microphone and a speaker in one room, for call_test.py: writes into a pipe source on the clock, as a
microphone captures (silence unless something is queued), from when a program records that source; and plays
into a sink through a playback stream of small latency (libpulse's simple API, whose writes wait for room).
A click goes to the speaker and reaches the microphone when the speaker plays it.

    call_player.py FIFO SOURCE    commands on standard input, one JSON array a line, each answered by a line:
        ["open", SINK]                   start playing into SINK
        ["queue", MICROPHONE, OUTPUT]    samples for each, after what is queued
        ["click", MICROPHONE, OUTPUT]    OUTPUT next, MICROPHONE when the speaker plays it
        ["captured"]                     seconds written into the pipe
        ["close"]
"""
import ctypes
import json
import os
import struct
import subprocess
import sys
import threading
import time

RATE = 44100
CHUNK_FRAMES = RATE // 100


def pactl(listing):
    return subprocess.run(['pactl', 'list', 'short', listing], check=True, capture_output=True,
                          text=True).stdout.splitlines()


class SampleSpec(ctypes.Structure):
    _fields_ = [('format', ctypes.c_int), ('rate', ctypes.c_uint32), ('channels', ctypes.c_uint8)]


class BufferAttributes(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint32) for name in ('maxlength', 'tlength', 'prebuf', 'minreq', 'fragsize')]


class Player:
    def __init__(self, fifo, source):
        self.source = source
        self.pulse = ctypes.CDLL('libpulse-simple.so.0')
        self.pulse.pa_simple_new.restype = ctypes.c_void_p
        self.pulse.pa_simple_get_latency.restype = ctypes.c_uint64
        self.pipe = os.open(fifo, os.O_WRONLY)
        self.lock = threading.Lock()
        self.queued = {'microphone': [], 'output': []}
        self.clicks = None
        self.captured = 0  # samples written into the pipe
        self.started = time.monotonic()
        self.stopping = threading.Event()
        self.threads = [threading.Thread(target=self.capture, daemon=True)]
        self.threads[0].start()

    def open(self, sink):
        """Starts playing into `sink` (silence until something is queued)."""
        format = SampleSpec(3, RATE, 1)  # PA_SAMPLE_S16LE, mono
        buffer = BufferAttributes(0xFFFFFFFF, 2 * RATE * 60 // 1000, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF)
        error = ctypes.c_int()
        stream = self.pulse.pa_simple_new(None, b'CallPlayer', 1, sink.encode(), b'Call', ctypes.byref(format), None,
                                          ctypes.byref(buffer), ctypes.byref(error))
        assert stream, f'cannot play into {sink}: {error.value}'
        self.threads.append(threading.Thread(target=self.play, args=(ctypes.c_void_p(stream),), daemon=True))
        self.threads[-1].start()

    def queue(self, microphone=(), output=()):
        with self.lock:
            self.queued['microphone'].extend(microphone)
            self.queued['output'].extend(output)

    def click(self, microphone, output):
        """Plays `output` next, and the microphone captures `microphone` when the speaker plays it."""
        with self.lock:
            self.clicks = (list(microphone), list(output))

    def recorded(self):
        sources = [line.split('\t') for line in pactl('sources')]
        index = next((fields[0] for fields in sources if fields[1] == self.source), None)
        return any(line.split('\t')[1] == index for line in pactl('source-outputs'))

    def seconds_captured(self):
        return self.captured / RATE

    def take(self, side):
        with self.lock:
            chunk, self.queued[side] = self.queued[side][:CHUNK_FRAMES], self.queued[side][CHUNK_FRAMES:]
        return struct.pack(f'<{CHUNK_FRAMES}h', *(chunk + [0] * (CHUNK_FRAMES - len(chunk))))

    def capture(self):
        # From when the program records it (what the pipe held before would come at once, as no microphone
        # delivers), on the clock, each chunk once its time has passed: a late turn writes what it owes at
        # once, as a microphone loses nothing.
        while not self.stopping.is_set() and not self.recorded():
            time.sleep(0.01)
        self.started = time.monotonic()
        while not self.stopping.is_set():
            while self.captured + CHUNK_FRAMES <= (time.monotonic() - self.started) * RATE:
                os.write(self.pipe, self.take('microphone'))
                self.captured += CHUNK_FRAMES
            time.sleep(CHUNK_FRAMES / RATE / 2)

    def play(self, stream):
        error = ctypes.c_int()
        while not self.stopping.is_set():
            with self.lock:
                clicks, self.clicks = self.clicks, None
                if clicks:
                    self.queued['output'][:0] = clicks[1]
            chunk = self.take('output')
            self.pulse.pa_simple_write(stream, chunk, len(chunk), ctypes.byref(error))
            if clicks:
                # The chunk just written plays from the latency less its own length on.
                heard = time.monotonic() + self.pulse.pa_simple_get_latency(stream, ctypes.byref(error)) / 1e6 - \
                    CHUNK_FRAMES / RATE
                with self.lock:
                    at = max(0, round((heard - self.started) * RATE) - self.captured)
                    waiting = self.queued['microphone']
                    waiting.extend([0] * (at + len(clicks[0]) - len(waiting)))
                    waiting[at:at + len(clicks[0])] = clicks[0]
        self.pulse.pa_simple_free(stream)

    def close(self):
        self.stopping.set()
        for thread in self.threads:
            thread.join(5)
        os.close(self.pipe)


def main():
    player = Player(sys.argv[1], sys.argv[2])
    for line in sys.stdin:
        command, *arguments = json.loads(line)
        answer = None
        if command == 'open':
            player.open(*arguments)
        elif command == 'queue':
            player.queue(*arguments)
        elif command == 'click':
            player.click(*arguments)
        elif command == 'captured':
            answer = player.seconds_captured()
        print(json.dumps(answer), flush=True)
        if command == 'close':
            player.close()
            return


if __name__ == '__main__':
    main()
