#pragma once

#include <chrono>
#include <cstddef>

// Where the blocks of an AudioCapture go: the rolling buffer, or one side of a call.
class CaptureOutput {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~CaptureOutput() = default;

    // On the main thread: before the first block of a run can arrive, and after its last one has.
    virtual void open() = 0;
    virtual void close() = 0;
    // On the capture queue, one block at a time: signed 16-bit mono PCM and when its first frame was captured
    // (only estimated from the arrival unless wantsCaptureTimes()).
    virtual void append(const void* bytes, std::size_t byteCount, Clock::time_point captureTime) = 0;
    // Whether the session should tell when each block was captured (it costs the audio server's timing).
    virtual bool wantsCaptureTimes() const { return false; }
};
