#pragma once

#include "CaptureDevice.h"

#include <cstddef>
#include <functional>
#include <string>

// One run of capture from one device: a record stream of signed 16-bit little-endian mono PCM.
class CaptureSession {
public:
    enum class Event { started, stopped, interrupted, interruptionEnded, runtimeError };

    // Called on the session's own delivery thread (the capture queue) with each block of PCM as it
    // arrives; the bytes are only valid during the call.
    using BlockHandler = std::function<void(const void* bytes, std::size_t byteCount)>;
    // Called on the thread that created the session (the main thread), through its event loop.
    using EventHandler = std::function<void(Event event, const std::string& detail)>;

    virtual ~CaptureSession() = default;

    // Chooses the input. False (with `error` set) when the device cannot be opened as an input.
    virtual bool setInput(const CaptureDevice& device, std::string* error) = 0;
    // Chooses the output: the sample rate to record at and where blocks go.
    virtual void setOutput(double sampleRate, BlockHandler blockHandler) = 0;
    virtual void setEventHandler(EventHandler eventHandler) = 0;

    // Starts recording and returns once the stream runs or has failed; never waits without bound.
    // False (with `error` set) when it could not start.
    virtual bool startRunning(std::string* error) = 0;
    // Stops recording. No block and no event is delivered after it returns.
    virtual void stopRunning() = 0;
    // True from a successful start until it stops, fails, or is suspended.
    virtual bool isRunning() const = 0;
};
