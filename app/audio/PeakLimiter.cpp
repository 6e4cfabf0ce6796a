#include "PeakLimiter.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace {

// Once the gain has come back this close to 1 it is 1 again, and samples pass unchanged. (The gains are
// doubles: in floats the way back would stall short of this, where each step is below float resolution.)
constexpr double backToUnity = 1e-6;

// Rounds to the nearest step (a sample within the ceiling never needs the clamp; a drain can leave one
// above it).
int16_t toSample(float value) {
    const float scaled = std::clamp(value * 32'768.0f, -32'768.0f, 32'767.0f);
    return static_cast<int16_t>(scaled >= 0 ? scaled + 0.5f : scaled - 0.5f);
}

} // namespace

PeakLimiter::PeakLimiter(std::size_t lookAheadFrames, double releaseFrames, float ceiling)
    : lookAhead_(std::max<std::size_t>(lookAheadFrames, 1))
    , ringMask_(std::bit_ceil(lookAhead_ + 1) - 1)
    , releaseStep_(1 - std::exp(-1 / std::max(releaseFrames, 1.0)))
    , ceiling_(ceiling)
    , held_(ringMask_ + 1)
    , heldNeeded_(ringMask_ + 1)
    , recentGains_(ringMask_ + 1, 1.0) {}

void PeakLimiter::process(const float* input, std::size_t frameCount, std::vector<int16_t>& output) {
    const auto lookAhead = static_cast<int64_t>(lookAhead_);
    output.reserve(output.size() + frameCount);
    for (std::size_t i = 0; i < frameCount; ++i) {
        const float sample = input[i];
        const float magnitude = std::fabs(sample);
        const int64_t frame = received_++;
        const std::size_t slot = static_cast<std::size_t>(frame) & ringMask_;
        held_[slot] = sample;
        if (magnitude <= ceiling_) {
            heldNeeded_[slot] = 1;
            if (lowest_.empty() && envelope_ == 1 && recentBelowOne_ == 0) {
                // Nothing within the look-ahead needs limiting: the oldest frame goes out unchanged.
                if (frame - released_ + 1 == lookAhead) {
                    output.push_back(toSample(held_[static_cast<std::size_t>(released_++) & ringMask_]));
                }
                continue;
            }
        } else {
            const float needed = ceiling_ / magnitude;
            heldNeeded_[slot] = needed;
            while (!lowest_.empty() && lowest_.back().second >= needed) {
                lowest_.pop_back();
            }
            lowest_.emplace_back(frame, needed);
        }
        if (received_ - released_ == lookAhead) {
            releaseOldest(output);
        }
    }
}

void PeakLimiter::drain(std::vector<int16_t>& output) {
    while (released_ < received_) {
        releaseOldest(output);
    }
}

void PeakLimiter::releaseOldest(std::vector<int16_t>& output) {
    const int64_t frame = released_++;
    const std::size_t slot = static_cast<std::size_t>(frame) & ringMask_;
    while (!lowest_.empty() && lowest_.front().first < frame) {
        lowest_.pop_front();
    }
    const double lowest = lowest_.empty() ? 1.0 : lowest_.front().second;
    double envelope = std::min(lowest, envelope_ + (1 - envelope_) * releaseStep_);
    if (envelope > 1 - backToUnity) {
        envelope = 1;
    }
    envelope_ = envelope;

    // The mean of the envelope over the last look-ahead, counting only the shortfalls below 1.
    const double oldest =
        recentGains_[static_cast<std::size_t>(frame - static_cast<int64_t>(lookAhead_)) & ringMask_];
    if (oldest < 1) {
        --recentBelowOne_;
        recentShortfall_ -= 1 - oldest;
    }
    recentGains_[slot] = envelope;
    if (envelope < 1) {
        ++recentBelowOne_;
        recentShortfall_ += 1 - envelope;
    }
    if (recentBelowOne_ == 0 && oldest < 1) {
        // Unity is exact again, and the gains the unchanged frames to come leave unwritten read as 1.
        recentShortfall_ = 0;
        std::fill(recentGains_.begin(), recentGains_.end(), 1.0);
    }
    const float smoothed = recentBelowOne_ == 0
                               ? 1.0f
                               : static_cast<float>(1 - recentShortfall_ / static_cast<double>(lookAhead_));
    // The needed gain matters only where a drain cut a look-ahead short.
    const float gain = std::min(smoothed, heldNeeded_[slot]);
    float sample = held_[slot];
    if (gain < 1) {
        ++limitedFrames_;
        sample *= gain;
    }
    output.push_back(toSample(sample));
}
