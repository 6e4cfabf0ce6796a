#pragma once

#include "CaptureDevice.h"

#include <functional>
#include <optional>

class SerialQueue;

// One run of capture into the rolling buffer, as the recording controller drives it: made for a start,
// stopped once, dropped after; never started again. AudioCapture records one input; CallCapture records the
// microphone and what the computer plays into one track. Both tell their AudioCaptureDelegate whenever their
// status may have changed, and live on the main thread.
class CaptureRun {
public:
    using StartCompletion = std::function<void(bool started)>;

    virtual ~CaptureRun() = default;

    // Starts recording, the slow part on `worker`; `completion` runs on the main thread with the outcome,
    // unless the run was stopped or destroyed first.
    virtual void start(SerialQueue& worker, StartCompletion completion) = 0;
    // Stops recording (or abandons a start under way), closes the ring (queued) and tells the delegate, which
    // may destroy the run.
    virtual void stop() = 0;

    virtual bool isStarting() const = 0;
    virtual bool hasSession() const = 0;
    virtual bool isRunning() const = 0;
    virtual bool isInterrupted() const = 0;
    // What is recorded, once the start succeeded.
    virtual const std::optional<CaptureDevice>& captureDevice() const = 0;
    // A save was asked for just now: audio that is held back on its way into the buffer goes in first, as far
    // as that can be done without waiting.
    virtual void prepareForSave() {}
};
