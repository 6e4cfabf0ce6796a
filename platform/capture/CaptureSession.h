#pragma once

#include "CaptureDevice.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

// One run of capture from one device: a record stream of signed 16-bit little-endian mono PCM.
//
// Threads: a session is created, given its event handler and destroyed on one thread (the main thread), whose
// event loop delivers its events. setInput(), setOutput(), startRunning() and stopRunning() may be called
// from any thread (the controller starts capture on a worker so that a stalled audio server never stalls the
// user interface), one call at a time; isRunning() and isInterrupted() from any thread at any time. The
// session must not be destroyed while a call is in progress on another thread.
class CaptureSession {
public:
    enum class Event { started, stopped, interrupted, interruptionEnded, runtimeError };

    // Called on the session's own delivery thread (the capture queue) with each block of PCM as it
    // arrives; the bytes are only valid during the call.
    using BlockHandler = std::function<void(const void* bytes, std::size_t byteCount)>;
    // The same, with the estimated time on the steady clock at which the block's first frame was captured
    // (for what an output plays: when it is heard). Estimates are off by a few milliseconds each; two
    // blocks' times differ by about their distance in frames, until audio is lost.
    using TimedBlockHandler = std::function<void(const void* bytes, std::size_t byteCount,
                                                 std::chrono::steady_clock::time_point captureTime)>;
    // Called on the thread that created the session (the main thread), through its event loop.
    using EventHandler = std::function<void(Event event, const std::string& detail)>;

    virtual ~CaptureSession() = default;

    // Chooses the input. False (with `error` set) when the device cannot be opened as an input.
    virtual bool setInput(const CaptureDevice& device, std::string* error) = 0;
    // Chooses the output: the sample rate to record at and where blocks go.
    virtual void setOutput(double sampleRate, BlockHandler blockHandler) = 0;
    // Chooses the output with capture times: like setOutput, blocks then go to `blockHandler` with the time
    // each was captured. False when this kind of session cannot tell; nothing changes then.
    virtual bool setTimedOutput(double /*sampleRate*/, TimedBlockHandler /*blockHandler*/) { return false; }
    virtual void setEventHandler(EventHandler eventHandler) = 0;

    // Starts recording and returns once the stream runs or has failed; never waits without bound.
    // False (with `error` set) when it could not start.
    virtual bool startRunning(std::string* error) = 0;
    // Stops recording. No block and no event is delivered after it returns (an event handler already
    // running on the main thread when another thread calls it still finishes).
    virtual void stopRunning() = 0;
    // Delivering: true from a successful start until it stops or fails, except while interrupted.
    virtual bool isRunning() const = 0;
    // The most audio one block carries, in seconds, as asked of the device: a ready session that stays silent
    // for several of these is stalled.
    virtual double fragmentSeconds() const { return 0.1; }
    // True while the input is suspended (between `interrupted` and `interruptionEnded`). The session stays
    // alive meanwhile and delivers again, on its own, when the input resumes: an interruption is not a
    // failure and needs no restart.
    virtual bool isInterrupted() const = 0;
};
