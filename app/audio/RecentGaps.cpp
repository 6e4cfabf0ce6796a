#include "RecentGaps.h"

#include <algorithm>

void RecentGaps::moveTo(Clock::time_point now) {
    const int64_t stretch = now.time_since_epoch() / window_;
    if (stretch == stretch_) {
        return;
    }
    previous_ = stretch == stretch_ + 1 ? current_ : Clock::duration::zero();
    current_ = Clock::duration::zero();
    stretch_ = stretch;
}

void RecentGaps::note(Clock::time_point now, Clock::duration gap) {
    moveTo(now);
    current_ = std::max(current_, gap);
}

RecentGaps::Clock::duration RecentGaps::longest(Clock::time_point now) {
    moveTo(now);
    return std::max(current_, previous_);
}

void RecentGaps::clear() {
    current_ = previous_ = Clock::duration::zero();
}
