#pragma once

#include "AudioBuffer.h"
#include "AudioCaptureDelegate.h"
#include "CaptureOutput.h"
#include "CaptureRun.h"
#include "CaptureSession.h"
#include "CaptureSystem.h"

#include <QPointer>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

class SerialQueue;

// One run of capture: connects an input device to the rolling buffer (or to another output: one side of a
// call) and reports the session's life to its delegate. Used once: created for a start, dropped when capture
// ends, never restarted after stop().
//
// The start runs in two halves: the session is made on the main thread, then the device is looked up, opened
// and started on a worker queue (a slow or frozen audio server can take seconds to answer, and the user
// interface must not wait for it), and the outcome comes back to the main thread. Blocks arrive on the
// session's delivery thread (the capture queue) and are handed to the buffer unchanged (or to the output,
// with the time each was captured when it wants that). Session events arrive on the main thread; start(),
// stop() and destruction happen there too.
//
// A session that says it runs but delivers nothing (a frozen device or server) is a failure: when no block
// has come for the larger of `minimumSilenceSeconds` and `silenceGapFactor` times the longest gap of the
// last minute or two, or, before the first block, for the larger of `minimumSilenceSeconds` and three of the
// session's fragments, the capture stops as on a runtime error. A suspended source is no failure: the
// capture waits for it (isInterrupted()).
class AudioCapture : public CaptureRun {
public:
    static constexpr double minimumSilenceSeconds = 3.0;
    static constexpr double silenceGapFactor = 2.5;
    // The one timer of a running capture: seldom, for a program that records all day.
    static constexpr std::chrono::milliseconds silenceCheckInterval{2000};

    AudioCapture(AudioBuffer& audioBuffer, std::optional<std::string> preferredDeviceID,
                 AudioCaptureDelegate* delegate, double sampleRate, CaptureSystem& captureSystem);
    // The same into `output`, which a start opens and a stop closes.
    AudioCapture(std::shared_ptr<CaptureOutput> output, std::optional<std::string> preferredDeviceID,
                 AudioCaptureDelegate* delegate, double sampleRate, CaptureSystem& captureSystem);
    // Stops the capture (see stop()); a start still under way is abandoned, its session closed when the
    // worker is done with it.
    ~AudioCapture() override;

    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;

    // Opens the preferred device (else the system's default input) and starts the session, the slow part on
    // `worker`. `completion` runs on the main thread with the outcome, unless the capture was stopped or
    // destroyed first. Every failure logs one line and keeps nothing.
    void start(SerialQueue& worker, StartCompletion completion) override;
    // Stops and drops the session (or abandons a start under way), closes the ring (queued) and tells the
    // delegate.
    void stop() override;

    bool isStarting() const override { return static_cast<bool>(pendingStart); }
    bool hasSession() const override { return captureSession != nullptr; }
    bool isRunning() const override { return captureSession && captureSession->isRunning(); }
    bool isInterrupted() const override { return captureSession && captureSession->isInterrupted(); }
    const std::optional<CaptureDevice>& captureDevice() const override { return captureDevice_; }

private:
    struct Delivery;
    struct Start;

    void startFinished(const std::shared_ptr<Start>& start);
    void handleSessionEvent(CaptureSession::Event event);
    void captureSessionError();
    void checkForSilence();
    void notifyDelegate();

    std::optional<CaptureDevice> captureDevice_;
    std::shared_ptr<CaptureOutput> output;
    std::unique_ptr<CaptureSession> captureSession;
    AudioCaptureDelegate* delegate;
    std::optional<std::string> preferredDeviceID;
    double sampleRate;
    CaptureSystem& captureSystem;
    // Shared with the capture queue, which may still deliver while the main thread drops the session.
    std::shared_ptr<Delivery> delivery;
    std::shared_ptr<Start> pendingStart;
    QTimer silenceTimer;
    // Lets events queued to the main thread notice that this capture is gone.
    std::shared_ptr<int> alive = std::make_shared<int>(0);
};
