#include "AudioCapture.h"

#include "Log.h"
#include "RecentGaps.h"
#include "SerialQueue.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <optional>

namespace {

// The usual output: the rolling buffer, whose ring is open while the capture runs.
class BufferOutput : public CaptureOutput {
public:
    explicit BufferOutput(AudioBuffer& buffer)
        : buffer_(buffer) {}
    void open() override { buffer_.start(); }
    void close() override { buffer_.stop(); }
    void append(const void* bytes, std::size_t byteCount, Clock::time_point) override {
        buffer_.append(std::make_shared<SampleBlock>(bytes, byteCount));
    }

private:
    AudioBuffer& buffer_;
};

} // namespace

// What the capture queue touches: whether blocks are wanted, and when they came.
struct AudioCapture::Delivery {
    using Clock = std::chrono::steady_clock;
    Delivery(std::shared_ptr<CaptureOutput> output, double sampleRate)
        : output(std::move(output))
        , sampleRate(sampleRate) {}

    // `captureTime` is none when the session does not tell it: then the block is taken as just captured.
    void deliver(const void* bytes, std::size_t byteCount, std::optional<Clock::time_point> captureTime) {
        // Checked and handed on under one lock: once stop() has switched delivery off, no block of this
        // capture reaches the output, which the stop is closing.
        std::lock_guard lock(mutex);
        if (!active) {
            Log::write("Error: AudioCapture: captureOutput:didOutput:from: (captureSession == nil)");
            return;
        }
        const Clock::time_point now = Clock::now();
        if (lastBlock) {
            gaps.note(now, now - *lastBlock);
        }
        lastBlock = now;
        if (!captureTime) {
            captureTime = now - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                    static_cast<double>(byteCount / 2) / sampleRate));
        }
        output->append(bytes, byteCount, *captureTime);
    }

    void setActive(bool on) {
        std::lock_guard lock(mutex);
        active = on;
    }

    // Counting starts again from now: a start, or a suspended source that came back, is no stall.
    void forgetTiming() {
        std::lock_guard lock(mutex);
        lastBlock.reset();
        waitingSince = Clock::now();
        gaps.clear();
    }

    // How long nothing has come: since the last block, or since timing began when none came yet; and the
    // longest gap between blocks in the recent stretches.
    struct Silence {
        Clock::duration silent;
        Clock::duration longestRecentGap;
        bool anyBlock;
    };
    Silence silence() {
        std::lock_guard lock(mutex);
        const Clock::time_point now = Clock::now();
        return {now - lastBlock.value_or(waitingSince), gaps.longest(now), lastBlock.has_value()};
    }

    const std::shared_ptr<CaptureOutput> output;

private:
    const double sampleRate;
    std::mutex mutex;
    bool active = false;
    std::optional<Clock::time_point> lastBlock;
    Clock::time_point waitingSince = Clock::now();
    // One long gap (a busy machine, a server restart) stops counting after a minute or two.
    RecentGaps gaps{std::chrono::seconds(60)};
};

// A start under way: what the worker needs and what it found.
struct AudioCapture::Start {
    // Held by the worker while it starts the session, and by the main thread when the session comes back:
    // the hand-over goes through Qt's event queue, whose locking ThreadSanitizer cannot see
    // (tests/tsan.supp).
    std::mutex handOver;
    std::unique_ptr<CaptureSession> session;
    std::optional<std::string> preferredDeviceID;
    StartCompletion completion;
    std::optional<CaptureDevice> device;
    bool started = false;
};

AudioCapture::AudioCapture(AudioBuffer& audioBuffer, std::optional<std::string> preferredDeviceID,
                           AudioCaptureDelegate* delegate, double sampleRate, CaptureSystem& captureSystem)
    : AudioCapture(std::make_shared<BufferOutput>(audioBuffer), std::move(preferredDeviceID), delegate,
                   sampleRate, captureSystem) {}

AudioCapture::AudioCapture(std::shared_ptr<CaptureOutput> output,
                           std::optional<std::string> preferredDeviceID, AudioCaptureDelegate* delegate,
                           double sampleRate, CaptureSystem& captureSystem)
    : output(output)
    , delegate(delegate)
    , preferredDeviceID(std::move(preferredDeviceID))
    , sampleRate(sampleRate)
    , captureSystem(captureSystem)
    , delivery(std::make_shared<Delivery>(std::move(output), sampleRate)) {
    silenceTimer.setInterval(silenceCheckInterval);
    // On whole seconds: the watchdogs of both sides of a call wake the main thread together.
    silenceTimer.setTimerType(Qt::VeryCoarseTimer);
    QObject::connect(&silenceTimer, &QTimer::timeout, [this] { checkForSilence(); });
}

AudioCapture::~AudioCapture() {
    // A capture that ends its session on the way out stops first; one already stopped (the usual way: quit,
    // pause, a restart) has nothing to stop, which is no error.
    if (captureSession || pendingStart) {
        stop();
    }
}

void AudioCapture::start(SerialQueue& worker, StartCompletion completion) {
    if (captureSession || pendingStart) {
        Log::write("Error: AudioCapture: Error starting capture session because one already exists.");
        if (completion) {
            completion(false);
        }
        return;
    }
    auto start = std::make_shared<Start>();
    start->session = captureSystem.makeSession();
    start->preferredDeviceID = preferredDeviceID;
    start->completion = std::move(completion);
    const bool timed = output->wantsCaptureTimes() &&
                       start->session->setTimedOutput(
                           sampleRate, [delivery = delivery](const void* bytes, std::size_t byteCount,
                                                             Delivery::Clock::time_point captured) {
                               delivery->deliver(bytes, byteCount, captured);
                           });
    if (!timed) {
        start->session->setOutput(sampleRate,
                                  [delivery = delivery](const void* bytes, std::size_t byteCount) {
                                      delivery->deliver(bytes, byteCount, std::nullopt);
                                  });
    }
    // Events are handled one event-loop turn later, never inside the session's own dispatch: a handler may
    // drop the session, or the whole capture.
    start->session->setEventHandler(
        [this, weak = std::weak_ptr<int>(alive)](CaptureSession::Event event, const std::string&) {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [this, weak, event] {
                    // Late events of a session this capture already dropped are not news.
                    if (weak.lock() && captureSession) {
                        handleSessionEvent(event);
                    }
                },
                Qt::QueuedConnection);
        });
    // The ring (or the output) must be open before the first block of this session arrives.
    output->open();
    delivery->setActive(true);
    pendingStart = start;

    CaptureSystem& system = captureSystem;
    worker.async([start, &system, weak = std::weak_ptr<int>(alive), this] {
        std::unique_lock handOver(start->handOver);
        std::optional<CaptureDevice> device;
        const std::optional<std::string>& preferred = start->preferredDeviceID;
        if (preferred) {
            device = system.deviceWithUniqueID(*preferred);
        }
        // The user chose what the computer plays: when that output is gone, what the default output plays,
        // never a microphone (recording their voice instead would be a breach of their privacy).
        if (!device && preferred && CaptureSystem::isOutputMonitorID(*preferred)) {
            if (*preferred != CaptureSystem::defaultOutputMonitorID) {
                device = system.deviceWithUniqueID(CaptureSystem::defaultOutputMonitorID);
            }
        } else if (!device) {
            device = system.defaultDevice();
        }
        std::string error;
        if (!device) {
            Log::write("Error: AudioCapture: Error getting default audio device.");
        } else if (!start->session->setInput(*device, &error)) {
            Log::write("Error: AudioCapture: Error creating audio device input.");
        } else if (!start->session->startRunning(&error)) {
            // A device or server that does not answer is a failed start, not a capture that hangs.
            Log::write("Error: AudioCapture: Error starting capture session. (" + error + ")");
        } else {
            start->device = device;
            start->started = true;
        }
        // The session was made on the main thread and goes back there, started or to be dropped.
        handOver.unlock();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [this, weak, start] {
                std::lock_guard handedOver(start->handOver);
                if (weak.lock() && pendingStart == start) {
                    startFinished(start);
                } else {
                    start->session.reset(); // abandoned: stopped and dropped here, on its own thread
                }
            },
            Qt::QueuedConnection);
    });
}

void AudioCapture::startFinished(const std::shared_ptr<Start>& start) {
    pendingStart.reset();
    StartCompletion completion = std::move(start->completion);
    if (!start->started) {
        delivery->setActive(false);
        start->session->setEventHandler({});
        start->session.reset();
        output->close();
    } else {
        captureSession = std::move(start->session);
        captureDevice_ = start->device;
        // A stream that is ready but never delivers counts as stalled from here.
        delivery->forgetTiming();
        silenceTimer.start();
    }
    if (completion) {
        completion(start->started);
    }
}

void AudioCapture::stop() {
    if (pendingStart) {
        // The worker still has the session: it is dropped when the worker is done with it.
        pendingStart.reset();
        delivery->setActive(false);
        output->close();
        notifyDelegate();
        return;
    }
    if (!captureSession) {
        Log::write("Error: AudioCapture: stop: (captureSession != nil)");
        return;
    }
    silenceTimer.stop();
    // Our own stop is not reported as a session event.
    captureSession->setEventHandler({});
    captureSession->stopRunning();
    delivery->setActive(false);
    captureSession.reset();
    captureDevice_.reset();
    output->close();
    // The delegate may destroy this capture: nothing after this line touches it.
    notifyDelegate();
}

void AudioCapture::handleSessionEvent(CaptureSession::Event event) {
    switch (event) {
    case CaptureSession::Event::runtimeError:
        captureSessionError();
        return;
    case CaptureSession::Event::interruptionEnded:
        // The suspension's silence is no stall: count again from the next block.
        delivery->forgetTiming();
        break;
    default:
        break;
    }
    notifyDelegate();
}

void AudioCapture::checkForSilence() {
    if (!captureSession || captureSession->isInterrupted()) {
        return;
    }
    const Delivery::Silence silence = delivery->silence();
    const double silentSeconds = std::chrono::duration<double>(silence.silent).count();
    // Before the first block: a ready stream gets the larger of the minimum and three fragments.
    const double limitSeconds =
        silence.anyBlock
            ? std::max(minimumSilenceSeconds,
                       silenceGapFactor * std::chrono::duration<double>(silence.longestRecentGap).count())
            : std::max(minimumSilenceSeconds, 3 * captureSession->fragmentSeconds());
    if (silentSeconds > limitSeconds) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", silentSeconds);
        Log::write(std::string("Error: AudioCapture: No audio arrived for ") + seconds +
                   " s although the session runs; restarting capture.");
        captureSessionError();
    }
}

void AudioCapture::captureSessionError() {
    // Whatever the error, the capture ends; the controller decides about restarting.
    stop();
}

void AudioCapture::notifyDelegate() {
    if (delegate) {
        delegate->audioCaptureStatusChanged();
    }
}
