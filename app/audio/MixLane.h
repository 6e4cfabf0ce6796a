#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// What one input contributes to a mix, by output frame: written as it arrives, anywhere at or after the read
// position (a gap reads as silence, a later write over an earlier one wins), and read once, in order.
class MixLane {
public:
    // Places `frameCount` samples from output frame `position` on; those before the read position are too
    // late and dropped.
    void write(int64_t position, const float* samples, std::size_t frameCount);
    // Adds the next `frameCount` frames to `mix` (nothing where nothing was written) and moves past them.
    void readAdding(float* mix, std::size_t frameCount);
    // Moves the read position on to `position` (when later), forgetting what lies before it.
    void skipTo(int64_t position);

    int64_t readPosition() const { return readPosition_; }
    // One past the last frame written; the read position when nothing is held.
    int64_t end() const { return readPosition_ + static_cast<int64_t>(frames_.size() - head_); }

private:
    int64_t readPosition_ = 0;
    // Frames from the read position on start at frames_[head_].
    std::vector<float> frames_;
    std::size_t head_ = 0;
};
