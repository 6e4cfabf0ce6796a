#pragma once

#include "AudioBuffer.h"
#include "AudioCaptureDelegate.h"
#include "CaptureSession.h"
#include "CaptureSystem.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>

// One run of capture: connects an input device to the rolling buffer and reports the session's life to its
// delegate. Used once: created for a start, dropped when capture ends, never restarted after stop().
//
// Blocks arrive on the session's delivery thread (the capture queue) and are handed to the buffer unchanged.
// Session events arrive on the main thread; start(), stop() and destruction happen there too.
class AudioCapture {
public:
    AudioCapture(AudioBuffer& audioBuffer, std::optional<std::string> preferredDeviceID,
                 AudioCaptureDelegate* delegate, double sampleRate, CaptureSystem& captureSystem);
    // Stops the capture (see stop()).
    ~AudioCapture();

    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;

    // Opens the preferred device (else the system's default input) and starts the session. Every failure
    // logs one line and answers false with nothing kept.
    bool start();
    // Stops and drops the session, closes the ring (queued) and tells the delegate.
    void stop();

    bool hasSession() const { return captureSession != nullptr; }
    bool isRunning() const { return captureSession && captureSession->isRunning(); }
    const std::optional<CaptureDevice>& captureDevice() const { return captureDevice_; }

private:
    void captureOutput(const void* bytes, std::size_t byteCount);
    void handleSessionEvent(CaptureSession::Event event);
    void captureSessionError();
    void notifyDelegate();

    std::optional<CaptureDevice> captureDevice_;
    AudioBuffer& audioBuffer;
    std::unique_ptr<CaptureSession> captureSession;
    AudioCaptureDelegate* delegate;
    std::optional<std::string> preferredDeviceID;
    double sampleRate;
    CaptureSystem& captureSystem;
    // Read on the capture queue while the main thread may drop the session.
    std::atomic<bool> sessionActive{false};
    // Lets events queued to the main thread notice that this capture is gone.
    std::shared_ptr<int> alive = std::make_shared<int>(0);
};
