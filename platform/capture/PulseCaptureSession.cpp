#include "PulseCaptureSession.h"

#include "Log.h"

#include <QMetaObject>
#include <cmath>
#include <sys/time.h>

namespace {

struct SourceAnswer {
    bool found = false;
    bool monitor = false;
};

std::string describe(std::chrono::milliseconds timeout) {
    return std::to_string(timeout.count()) + " ms";
}

} // namespace

PulseCaptureSession::PulseCaptureSession()
    : loop_("TempolisCapture")
    , eventContext_(std::make_unique<QObject>()) {}

PulseCaptureSession::~PulseCaptureSession() {
    stopRunning();
    // The members go next: eventContext_ takes its queued events with it, then loop_ stops its idle thread.
}

void PulseCaptureSession::setOutput(double sampleRate, BlockHandler blockHandler) {
    PulseMainloop::Locker lock(loop_);
    sampleRate_ = sampleRate;
    blockHandler_ = std::move(blockHandler);
    timedBlockHandler_ = nullptr;
}

bool PulseCaptureSession::setTimedOutput(double sampleRate, TimedBlockHandler blockHandler) {
    PulseMainloop::Locker lock(loop_);
    sampleRate_ = sampleRate;
    timedBlockHandler_ = std::move(blockHandler);
    blockHandler_ = nullptr;
    return true;
}

void PulseCaptureSession::setEventHandler(EventHandler eventHandler) {
    std::lock_guard lock(eventHandlerMutex_);
    eventHandler_ = std::move(eventHandler);
}

bool PulseCaptureSession::isRunning() const {
    return running_.load();
}

bool PulseCaptureSession::isInterrupted() const {
    return interrupted_.load();
}

std::string PulseCaptureSession::serverError() const {
    return context_ != nullptr ? pa_strerror(pa_context_errno(context_)) : "no connection";
}

bool PulseCaptureSession::setInput(const CaptureDevice& device, std::string* error) {
    auto failWith = [error](std::string text) {
        if (error != nullptr) {
            *error = std::move(text);
        }
        return false;
    };
    if (!loop_.start()) {
        return failWith("Cannot start the audio thread");
    }
    PulseMainloop::Locker lock(loop_);
    const pa_usec_t deadline = PulseMainloop::deadlineIn(inputTimeout);
    std::string connectError;
    if (!connectContext(deadline, &connectError)) {
        return failWith(connectError);
    }
    SourceAnswer answer;
    pa_operation* operation = pa_context_get_source_info_by_name(
        context_, device.uniqueID.c_str(),
        [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
            if (eol == 0 && info != nullptr) {
                auto* answer = static_cast<SourceAnswer*>(userdata);
                answer->found = true;
                answer->monitor = info->monitor_of_sink != PA_INVALID_INDEX;
            }
        },
        &answer);
    if (!loop_.finish(context_, operation, deadline)) {
        return failWith("The audio server did not answer within " + describe(inputTimeout));
    }
    if (!answer.found) {
        return failWith("No audio input named \"" + device.uniqueID + "\"");
    }
    sourceName_ = device.uniqueID;
    monitor_ = answer.monitor;
    return true;
}

bool PulseCaptureSession::connectContext(pa_usec_t deadline, std::string* error) {
    if (context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY) {
        return true;
    }
    // A failed context cannot be reused.
    PulseMainloop::release(context_);
    context_ = pa_context_new(loop_.api(), "Tempolis");
    if (context_ == nullptr) {
        *error = "Cannot create a connection to the audio server";
        return false;
    }
    pa_context* const context = context_;
    pa_context_set_state_callback(context, &PulseCaptureSession::onContextState, this);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        // Bounded: a frozen server would keep libpulse waiting for 30 s. A stopRunning() on another thread
        // releases the context meanwhile.
        loop_.waitUntil(context, deadline, [this, context] {
            if (context_ != context) {
                return true;
            }
            const pa_context_state_t state = pa_context_get_state(context);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        });
    }
    if (context_ != context) {
        *error = "Stopped while connecting to the audio server";
        return false;
    }
    const pa_context_state_t state = pa_context_get_state(context_);
    if (state == PA_CONTEXT_READY) {
        return true;
    }
    *error = PA_CONTEXT_IS_GOOD(state) ? std::string("The audio server did not answer in time")
                                       : "Cannot connect to the audio server: " + serverError();
    PulseMainloop::release(context_);
    return false;
}

bool PulseCaptureSession::startRunning(std::string* error) {
    auto failWith = [error](std::string text) {
        if (error != nullptr) {
            *error = std::move(text);
        }
        return false;
    };
    if (!loop_.start()) {
        return failWith("Cannot start the audio thread");
    }
    PulseMainloop::Locker lock(loop_);
    if (sourceName_.empty()) {
        return failWith("No audio input chosen");
    }
    const bool rateIsFinite = std::isfinite(sampleRate_);
    const pa_sample_spec sampleFormat{PA_SAMPLE_S16LE,
                                      rateIsFinite ? static_cast<uint32_t>(std::lround(sampleRate_)) : 0, 1};
    if (!rateIsFinite || pa_sample_spec_valid(&sampleFormat) == 0) {
        return failWith("Unsupported sample rate " + std::to_string(sampleRate_));
    }
    if (stream_ != nullptr && started_ && !failed_) {
        return true;
    }
    releaseStream();
    const unsigned generation = ++generation_;
    started_ = failed_ = suspended_ = false;
    holeLogged_ = false;
    interrupted_ = false;

    const pa_usec_t deadline = PulseMainloop::deadlineIn(startTimeout);
    std::string connectError;
    if (!connectContext(deadline, &connectError)) {
        return failWith(connectError);
    }
    stream_ = pa_stream_new(context_, "Recording", &sampleFormat, nullptr);
    if (stream_ == nullptr) {
        return failWith("Cannot create a record stream: " + serverError());
    }
    activeBlockHandler_ = blockHandler_;
    activeTimedBlockHandler_ = timedBlockHandler_;
    readBytes_ = 0;
    lastTimingRequest_.reset();
    captureTimes_ = CaptureTimeEstimator(sampleRate_);
    pa_stream_set_state_callback(stream_, &PulseCaptureSession::onStreamState, this);
    pa_stream_set_suspended_callback(stream_, &PulseCaptureSession::onSuspended, this);
    pa_stream_set_read_callback(stream_, &PulseCaptureSession::onReadable, this);

    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1); // the default, ~47 s: a stalled consumer loses nothing
    attributes.tlength = static_cast<uint32_t>(-1);
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(
        pa_usec_to_bytes(static_cast<pa_usec_t>(fragmentDuration.count()) * PA_USEC_PER_MSEC, &sampleFormat));
    // DONT_MOVE: a chosen device must never silently become another one when it goes away.
    // START_UNMUTED: otherwise stream-restore can start the stream muted, recording zeros without a word.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY |
                                                      PA_STREAM_START_UNMUTED);
    if (pa_stream_connect_record(stream_, sourceName_.c_str(), &attributes, flags) >= 0) {
        loop_.waitUntil(context_, deadline, [this, generation] {
            if (generation_ != generation) {
                return true; // stopped on another thread: stream_ is gone
            }
            const pa_stream_state_t state = pa_stream_get_state(stream_);
            return state != PA_STREAM_UNCONNECTED && state != PA_STREAM_CREATING;
        });
    }
    if (generation_ != generation) {
        return failWith("Stopped before recording started");
    }
    const pa_stream_state_t state = pa_stream_get_state(stream_);
    if (state == PA_STREAM_READY) {
        return true;
    }
    const bool timedOut = state == PA_STREAM_CREATING;
    std::string text = timedOut ? "The audio server did not start recording within " + describe(startTimeout)
                                : "Cannot record from \"" + sourceName_ + "\": " + serverError();
    releaseStream();
    if (timedOut) {
        PulseMainloop::release(context_);
    }
    // Whatever this attempt queued (a start followed at once by a failure) is not delivered.
    ++generation_;
    running_ = false;
    interrupted_ = false;
    return failWith(std::move(text));
}

void PulseCaptureSession::stopRunning() {
    // Under the lock no callback runs, and after releaseStream() none will: no block and no event follows.
    PulseMainloop::Locker lock(loop_);
    releaseStream();
    PulseMainloop::release(context_);
    ++generation_;
    started_ = failed_ = suspended_ = false;
    running_ = false;
    interrupted_ = false;
    activeBlockHandler_ = nullptr;
    activeTimedBlockHandler_ = nullptr;
    // A setInput() or startRunning() waiting on another thread sees that it was stopped.
    loop_.signal();
}

void PulseCaptureSession::releaseStream() {
    if (stream_ == nullptr) {
        return;
    }
    // Callbacks first: otherwise they can fire after the unref into freed memory.
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

void PulseCaptureSession::post(Event event, std::string detail) {
    QMetaObject::invokeMethod(
        eventContext_.get(),
        [this, generation = generation_.load(), event, detail = std::move(detail)] {
            if (generation != generation_.load()) {
                return;
            }
            // A copy: the handler may destroy this session.
            EventHandler handler;
            {
                std::lock_guard lock(eventHandlerMutex_);
                handler = eventHandler_;
            }
            if (handler) {
                handler(event, detail);
            }
        },
        Qt::QueuedConnection);
}

void PulseCaptureSession::fail(std::string detail) {
    if (failed_) {
        return;
    }
    failed_ = true;
    running_ = false;
    interrupted_ = false;
    post(Event::runtimeError, std::move(detail));
    post(Event::stopped, {});
}

void PulseCaptureSession::onContextState(pa_context* context, void* userdata) {
    auto* self = static_cast<PulseCaptureSession*>(userdata);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) && self->started_) {
        self->fail("Lost the connection to the audio server: " + self->serverError());
    }
    self->loop_.signal();
}

void PulseCaptureSession::onStreamState(pa_stream* stream, void* userdata) {
    auto* self = static_cast<PulseCaptureSession*>(userdata);
    switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
        self->started_ = true;
        self->suspended_ = pa_stream_is_suspended(stream) > 0;
        self->running_ = !self->suspended_;
        self->interrupted_ = self->suspended_;
        self->post(Event::started, {});
        if (self->suspended_) {
            self->post(Event::interrupted, {});
        }
        break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
        if (self->started_) {
            self->fail("The audio input stopped: " + self->serverError());
        }
        break;
    default:
        break;
    }
    self->loop_.signal();
}

void PulseCaptureSession::onSuspended(pa_stream* stream, void* userdata) {
    auto* self = static_cast<PulseCaptureSession*>(userdata);
    const bool suspended = pa_stream_is_suspended(stream) > 0;
    if (suspended == self->suspended_ || self->failed_) {
        return;
    }
    self->suspended_ = suspended;
    if (!suspended) {
        self->captureTimes_.reset(); // the suspended time is missing from the stream
    }
    self->running_ = self->started_ && !suspended;
    self->interrupted_ = self->started_ && suspended;
    self->post(suspended ? Event::interrupted : Event::interruptionEnded, {});
}

void PulseCaptureSession::onReadable(pa_stream* stream, size_t, void* userdata) {
    auto* self = static_cast<PulseCaptureSession*>(userdata);
    // What an output plays is timed by the server's timing of the stream: asked for now and then while the
    // thread is awake anyway (libpulse's automatic updates woke it about once more a second).
    const auto now = std::chrono::steady_clock::now();
    if (self->monitor_ && self->activeTimedBlockHandler_ &&
        (!self->lastTimingRequest_ || now - *self->lastTimingRequest_ >= timingUpdateInterval)) {
        self->lastTimingRequest_ = now;
        if (pa_operation* operation = pa_stream_update_timing_info(stream, nullptr, nullptr)) {
            pa_operation_unref(operation);
        }
    }
    while (pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        size_t byteCount = 0;
        if (pa_stream_peek(stream, &data, &byteCount) < 0) {
            return;
        }
        if (byteCount == 0) {
            break; // nothing peeked: there is nothing to drop either
        }
        if (data == nullptr) {
            // A hole the server knows of (lost audio): silence of its length keeps what follows in time.
            if (!self->holeLogged_) {
                self->holeLogged_ = true;
                Log::write("Error: PulseCaptureSession: The audio server reported " +
                           std::to_string(byteCount) + " bytes of lost audio; they are kept as silence.");
            }
            self->silence_.assign(byteCount - byteCount % 2, 0);
            data = self->silence_.data();
            byteCount = self->silence_.size();
        }
        if (byteCount > 0 && self->activeBlockHandler_) {
            self->activeBlockHandler_(data, byteCount);
        } else if (byteCount > 0 && self->activeTimedBlockHandler_) {
            self->activeTimedBlockHandler_(data, byteCount, self->captureTimeOfNextBlock(stream, byteCount));
        }
        self->readBytes_ += static_cast<int64_t>(byteCount);
        pa_stream_drop(stream);
    }
}

std::chrono::steady_clock::time_point PulseCaptureSession::captureTimeOfNextBlock(pa_stream* stream,
                                                                                  std::size_t byteCount) {
    using namespace std::chrono;
    const auto now = steady_clock::now();
    const pa_sample_spec* format = pa_stream_get_sample_spec(stream);
    const pa_timing_info* timing = monitor_ ? pa_stream_get_timing_info(stream) : nullptr;
    if (timing != nullptr && timing->read_index_corrupt == 0 && timing->write_index_corrupt == 0) {
        // The snapshot's timestamp is on the wall clock (the server's, when the clocks agree): only its age
        // is taken over to the steady clock.
        timeval wallNow{};
        gettimeofday(&wallNow, nullptr);
        const auto age = seconds(wallNow.tv_sec - timing->timestamp.tv_sec) +
                         microseconds(wallNow.tv_usec - timing->timestamp.tv_usec);
        // Then the server had written write_index bytes of the stream, which the output plays sink_usec later
        // (a monitor's data is mixed ahead of playing by the output's latency, which changes as programs
        // play with other latencies: the time it plays is the steady one). The block starts at read_index.
        const double queuedSeconds = static_cast<double>(timing->write_index - timing->read_index) /
                                     static_cast<double>(pa_bytes_per_second(format));
        return now - age - microseconds(timing->source_usec) + microseconds(timing->sink_usec) -
               duration_cast<steady_clock::duration>(duration<double>(queuedSeconds));
    }
    const auto frameBytes = static_cast<int64_t>(pa_frame_size(format));
    return captureTimes_.captureTime(readBytes_ / frameBytes, static_cast<int64_t>(byteCount) / frameBytes,
                                     now);
}
