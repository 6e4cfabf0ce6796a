#include "CaptureTimeEstimator.h"

#include <algorithm>

namespace {

using Seconds = std::chrono::duration<double>;

} // namespace

CaptureTimeEstimator::Clock::duration CaptureTimeEstimator::lengthOf(int64_t frames) const {
    return std::chrono::duration_cast<Clock::duration>(Seconds(static_cast<double>(frames) / sampleRate_));
}

CaptureTimeEstimator::Clock::time_point
CaptureTimeEstimator::captureTime(int64_t firstFrame, int64_t frameCount, Clock::time_point arrival) {
    // Frame 0 was captured no later than this block's end allows.
    const Clock::time_point latest = arrival - lengthOf(firstFrame + frameCount);
    if (!frameZero_ || latest - *frameZero_ >= Seconds(restartSeconds)) {
        frameZero_ = latest;
    } else {
        const auto rise =
            std::chrono::duration_cast<Clock::duration>((arrival - lastArrival_) * riseSecondsPerSecond);
        frameZero_ = std::min(latest, *frameZero_ + rise);
    }
    lastArrival_ = arrival;
    return *frameZero_ + lengthOf(firstFrame);
}
