#include "StreamClock.h"

#include <cassert>

StreamClock::StreamClock()
    : StreamClock(Settings{}) {}

StreamClock::StreamClock(const Settings& settings)
    : settings_(settings)
    , priorSecondsPerFrame_(1.0 / settings.nominalFramesPerSecond) {}

void StreamClock::restart() {
    if (hasReadings()) {
        priorSecondsPerFrame_ = secondsPerFrame();
    }
    bins_.clear();
    readingCount_ = 0;
    fitted_ = false;
}

void StreamClock::addReading(double frame, double seconds) {
    if (bins_.empty() || seconds - bins_.back().firstSeconds >= binSeconds) {
        bins_.push_back(Bin{0, 0, 0, 0, 0, seconds, seconds});
    }
    Bin& bin = bins_.back();
    // Welford's update of the means and co-moments.
    bin.count += 1;
    const double frameStep = frame - bin.meanFrame;
    bin.meanFrame += frameStep / bin.count;
    bin.meanSeconds += (seconds - bin.meanSeconds) / bin.count;
    bin.frameFrame += frameStep * (frame - bin.meanFrame);
    bin.frameSeconds += frameStep * (seconds - bin.meanSeconds);
    bin.lastSeconds = seconds;
    ++readingCount_;

    while (bins_.size() > 1 && bins_.front().lastSeconds < seconds - settings_.windowSeconds) {
        readingCount_ -= static_cast<std::size_t>(bins_.front().count);
        bins_.pop_front();
    }
    fitted_ = false;
}

double StreamClock::spanSeconds() const {
    return bins_.empty() ? 0 : bins_.back().lastSeconds - bins_.front().firstSeconds;
}

void StreamClock::fit() const {
    assert(hasReadings());
    double count = 0, frameSum = 0, secondsSum = 0;
    for (const Bin& bin : bins_) {
        count += bin.count;
        frameSum += bin.count * bin.meanFrame;
        secondsSum += bin.count * bin.meanSeconds;
    }
    meanFrame_ = frameSum / count;
    meanSeconds_ = secondsSum / count;
    double frameFrame = 0, frameSeconds = 0;
    for (const Bin& bin : bins_) {
        const double frameOffset = bin.meanFrame - meanFrame_;
        frameFrame += bin.frameFrame + bin.count * frameOffset * frameOffset;
        frameSeconds += bin.frameSeconds + bin.count * frameOffset * (bin.meanSeconds - meanSeconds_);
    }
    // The prior counts as much as readings whose slope is as uncertain as it is: weight = (jitter / slope
    // uncertainty)^2, in the units of frameFrame.
    const double priorSpread = settings_.rateUncertainty * priorSecondsPerFrame_;
    const double priorWeight =
        (settings_.readingJitterSeconds / priorSpread) * (settings_.readingJitterSeconds / priorSpread);
    secondsPerFrame_ = (frameSeconds + priorWeight * priorSecondsPerFrame_) / (frameFrame + priorWeight);
    fitted_ = true;
}

double StreamClock::secondsAt(double frame) const {
    if (!fitted_) {
        fit();
    }
    return meanSeconds_ + (frame - meanFrame_) * secondsPerFrame_;
}

double StreamClock::frameAt(double seconds) const {
    if (!fitted_) {
        fit();
    }
    return meanFrame_ + (seconds - meanSeconds_) / secondsPerFrame_;
}

double StreamClock::secondsPerFrame() const {
    if (!fitted_) {
        fit();
    }
    return secondsPerFrame_;
}
