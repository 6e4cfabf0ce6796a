#include "MixLane.h"

#include <algorithm>

namespace {

// The read frames are cut off the front once there are this many, and more of them than held frames.
constexpr std::size_t compactionFrames = 8'192;

} // namespace

void MixLane::write(int64_t position, const float* samples, std::size_t frameCount) {
    if (position < readPosition_) {
        const auto late = static_cast<std::size_t>(readPosition_ - position);
        if (late >= frameCount) {
            return;
        }
        samples += late;
        frameCount -= late;
        position = readPosition_;
    }
    const std::size_t first = head_ + static_cast<std::size_t>(position - readPosition_);
    if (first + frameCount > frames_.size()) {
        frames_.resize(first + frameCount, 0.0f);
    }
    std::copy(samples, samples + frameCount, frames_.begin() + static_cast<std::ptrdiff_t>(first));
}

void MixLane::readAdding(float* mix, std::size_t frameCount) {
    const std::size_t available = std::min(frameCount, frames_.size() - head_);
    const float* held = frames_.data() + head_;
    for (std::size_t i = 0; i < available; ++i) {
        mix[i] += held[i];
    }
    head_ += available;
    readPosition_ += static_cast<int64_t>(frameCount);
    if (head_ == frames_.size()) {
        frames_.clear();
        head_ = 0;
    } else if (head_ >= compactionFrames && head_ > frames_.size() - head_) {
        frames_.erase(frames_.begin(), frames_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

void MixLane::skipTo(int64_t position) {
    if (position <= readPosition_) {
        return;
    }
    const auto skipped = static_cast<std::size_t>(position - readPosition_);
    if (skipped >= frames_.size() - head_) {
        frames_.clear();
        head_ = 0;
    } else {
        head_ += skipped;
    }
    readPosition_ = position;
}
