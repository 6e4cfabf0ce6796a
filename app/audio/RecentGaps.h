#pragma once

#include <chrono>
#include <cstdint>

// The longest wait between two captured blocks lately: gaps are kept per stretch of `window`, and the answer
// covers the current stretch and the one before (between one and two windows back), so that one long gap
// (a busy machine, a server restart) stops counting after a while. Not thread-safe.
class RecentGaps {
public:
    using Clock = std::chrono::steady_clock;

    explicit RecentGaps(Clock::duration window)
        : window_(window) {}

    // A gap that ended at `now`.
    void note(Clock::time_point now, Clock::duration gap);
    // The longest gap noted in this stretch and the one before, as of `now`.
    Clock::duration longest(Clock::time_point now);
    void clear();

private:
    void moveTo(Clock::time_point now);

    Clock::duration window_;
    int64_t stretch_ = INT64_MIN;
    Clock::duration current_{};
    Clock::duration previous_{};
};
