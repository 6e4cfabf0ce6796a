#pragma once

#include "CaptureSession.h"
#include "CaptureTimeEstimator.h"
#include "PulseMainloop.h"

#include <QObject>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

// A capture session on PulseAudio: one record stream (S16LE, mono, the requested rate) on a context and
// threaded mainloop of its own. The mainloop thread is the capture queue: blocks are handed to the block
// handler there, unchanged, as libpulse delivers them.
//
// With a timed output each block comes with the time its first frame was captured. For what an output plays
// (a monitor) that is when the output plays it: the server's timing of the stream (asked for every
// timingUpdateInterval), carried over the bytes between the stream's write position then and the block. For
// a microphone a CaptureTimeEstimator tells it from when the blocks arrive.
//
// Events reach the event handler through the event loop of the thread that created the session, which must
// also be the thread that destroys it: started (the stream runs), interrupted / interruptionEnded (the source
// was suspended / resumed: the stream stays and delivers again by itself), runtimeError followed by stopped
// (the stream failed, its source went away, or the server was lost; the session does not move to another
// source nor reconnect by itself). stopRunning() delivers no event: nothing at all is delivered after it
// returns.
//
// setInput(), setOutput(), startRunning() and stopRunning() may be called from any thread (see
// CaptureSession); stopRunning() may also be called while setInput() or startRunning() waits on another
// thread, which then fails at once. setInput() and startRunning() block the calling thread, at most
// inputTimeout and startTimeout, also against a server that accepts connections and never answers. None of
// the calls may be made from the block handler.
class PulseCaptureSession : public CaptureSession {
public:
    static constexpr std::chrono::milliseconds inputTimeout{2000};
    static constexpr std::chrono::milliseconds startTimeout{5000};
    // The most audio the server gathers before waking us: a fifth of a second wakes the capture thread five
    // times a second, and a save still has everything up to that long before it was asked for.
    static constexpr std::chrono::milliseconds fragmentDuration{200};
    // How often the server's timing of a monitor's stream is asked for.
    static constexpr std::chrono::milliseconds timingUpdateInterval{2000};

    PulseCaptureSession();
    ~PulseCaptureSession() override;

    bool setInput(const CaptureDevice& device, std::string* error) override;
    void setOutput(double sampleRate, BlockHandler blockHandler) override;
    bool setTimedOutput(double sampleRate, TimedBlockHandler blockHandler) override;
    void setEventHandler(EventHandler eventHandler) override;
    bool startRunning(std::string* error) override;
    void stopRunning() override;
    bool isRunning() const override;
    bool isInterrupted() const override;
    double fragmentSeconds() const override {
        return std::chrono::duration<double>(fragmentDuration).count();
    }

private:
    // With the mainloop lock held.
    bool connectContext(pa_usec_t deadline, std::string* error);
    void releaseStream();
    std::string serverError() const;
    // On the mainloop thread, with the lock held.
    void post(Event event, std::string detail);
    void fail(std::string detail);

    static void onContextState(pa_context* context, void* userdata);
    static void onStreamState(pa_stream* stream, void* userdata);
    static void onSuspended(pa_stream* stream, void* userdata);
    static void onReadable(pa_stream* stream, size_t byteCount, void* userdata);
    // On the mainloop thread: when the first frame of the block about to be peeked was captured.
    std::chrono::steady_clock::time_point captureTimeOfNextBlock(pa_stream* stream, std::size_t byteCount);

    PulseMainloop loop_;
    // Events are queued to this object; destroying it (with the session) drops those still in flight.
    std::unique_ptr<QObject> eventContext_;

    std::mutex eventHandlerMutex_;
    EventHandler eventHandler_; // guarded by eventHandlerMutex_

    // Guarded by the mainloop lock.
    std::string sourceName_;
    bool monitor_ = false; // the source is what an output plays
    double sampleRate_ = 0;
    BlockHandler blockHandler_;
    TimedBlockHandler timedBlockHandler_;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    BlockHandler activeBlockHandler_;
    TimedBlockHandler activeTimedBlockHandler_;
    // The bytes of this run read so far (holes included), and when its frames were captured.
    int64_t readBytes_ = 0;
    CaptureTimeEstimator captureTimes_{44'100};
    std::optional<std::chrono::steady_clock::time_point> lastTimingRequest_;
    bool started_ = false; // the stream of this run reached READY
    bool failed_ = false;
    bool suspended_ = false;
    bool holeLogged_ = false; // a hole the server reported is told once per start
    std::vector<uint8_t> silence_;

    // Written under the mainloop lock, read without it: the main thread checks queued events against it
    // without waiting for that lock. One per start and stop; queued events of an older one are dropped.
    std::atomic<unsigned> generation_{0};
    std::atomic<bool> running_{false};
    std::atomic<bool> interrupted_{false};
};
