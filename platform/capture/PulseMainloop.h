#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <mutex>

// A pa_threaded_mainloop used the way libpulse 16 requires:
// - every call into libpulse from another thread holds the loop's lock (Locker);
// - waits are bounded: a time event on the loop ends them, because pa_threaded_mainloop_wait() has no
// timeout;
// - stop and free happen without the lock and never on the loop's own thread (both hang or abort there).
class PulseMainloop {
public:
    explicit PulseMainloop(const char* threadName);
    ~PulseMainloop();

    PulseMainloop(const PulseMainloop&) = delete;
    PulseMainloop& operator=(const PulseMainloop&) = delete;

    // Starts the loop's thread once; later calls do nothing. False when the thread cannot start. Safe from
    // any thread.
    bool start();

    pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(loop_); }
    bool inLoopThread() const { return pa_threaded_mainloop_in_thread(loop_) != 0; }
    // Wakes every waiter; callbacks call it whenever they change what a waiter looks at.
    void signal() { pa_threaded_mainloop_signal(loop_, 0); }

    class Locker {
    public:
        explicit Locker(PulseMainloop& loop)
            : loop_(loop.loop_) {
            pa_threaded_mainloop_lock(loop_);
        }
        ~Locker() { pa_threaded_mainloop_unlock(loop_); }
        Locker(const Locker&) = delete;
        Locker& operator=(const Locker&) = delete;

    private:
        pa_threaded_mainloop* loop_;
    };

    // A point in time on libpulse's monotonic clock, `timeout` from now.
    static pa_usec_t deadlineIn(std::chrono::milliseconds timeout);

    // With the lock held and not on the loop thread: waits until `done()` is true or `deadline` passes.
    // `context` is any context of this loop; it only converts the deadline for the timer.
    bool waitUntil(const pa_context* context, pa_usec_t deadline, const std::function<bool()>& done);

    // With the lock held and not on the loop thread: waits for `operation` (which may be null) to finish,
    // cancels it when `deadline` passes first (its callback then never runs), and drops the reference.
    // True when it ran to its end.
    bool finish(const pa_context* context, pa_operation* operation, pa_usec_t deadline);

    // With the lock held: clears the context's callbacks (so none fires into a freed owner), disconnects it
    // and drops the reference. Its pending operations are cancelled with it. Safe with null.
    static void release(pa_context*& context);

private:
    pa_threaded_mainloop* loop_;
    std::mutex startMutex_;
    bool started_ = false; // guarded by startMutex_
};
