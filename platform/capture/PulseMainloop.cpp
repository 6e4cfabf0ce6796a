#include "PulseMainloop.h"

#include <stdexcept>

PulseMainloop::PulseMainloop(const char* threadName)
    : loop_(pa_threaded_mainloop_new()) {
    if (loop_ == nullptr) {
        throw std::runtime_error("pa_threaded_mainloop_new failed");
    }
    pa_threaded_mainloop_set_name(loop_, threadName);
}

PulseMainloop::~PulseMainloop() {
    if (started_) {
        pa_threaded_mainloop_stop(loop_);
    }
    pa_threaded_mainloop_free(loop_);
}

bool PulseMainloop::start() {
    std::lock_guard lock(startMutex_);
    if (!started_) {
        started_ = pa_threaded_mainloop_start(loop_) >= 0;
    }
    return started_;
}

pa_usec_t PulseMainloop::deadlineIn(std::chrono::milliseconds timeout) {
    return pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC;
}

namespace {
struct Expiry {
    PulseMainloop* loop;
    bool expired = false;
};
} // namespace

bool PulseMainloop::waitUntil(const pa_context* context, pa_usec_t deadline,
                              const std::function<bool()>& done) {
    if (done()) {
        return true;
    }
    if (inLoopThread() || pa_rtclock_now() >= deadline) {
        return false;
    }
    Expiry expiry{this};
    pa_time_event* timer = pa_context_rttime_new(
        context, deadline,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
            auto* expiry = static_cast<Expiry*>(userdata);
            expiry->expired = true;
            expiry->loop->signal();
        },
        &expiry);
    if (timer == nullptr) {
        return false;
    }
    while (!done() && !expiry.expired) {
        pa_threaded_mainloop_wait(loop_);
    }
    // Freed under the lock, so its callback cannot run after `expiry` is gone.
    api()->time_free(timer);
    return done();
}

bool PulseMainloop::finish(const pa_context* context, pa_operation* operation, pa_usec_t deadline) {
    if (operation == nullptr) {
        return false;
    }
    // A context that fails cancels its operations without calling their callbacks: the state callback
    // wakes the waiter then too.
    pa_operation_set_state_callback(
        operation, [](pa_operation*, void* userdata) { static_cast<PulseMainloop*>(userdata)->signal(); },
        this);
    waitUntil(context, deadline,
              [operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        pa_operation_cancel(operation);
    }
    const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
    pa_operation_set_state_callback(operation, nullptr, nullptr);
    pa_operation_unref(operation);
    return done;
}

void PulseMainloop::release(pa_context*& context) {
    if (context == nullptr) {
        return;
    }
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_set_event_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
}
