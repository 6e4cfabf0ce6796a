#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

// Keeps a sum of two full-scale sources inside 16 bits without touching anything that already fits: the gain
// is exactly 1 (every sample passes bit for bit) until a sample would exceed `ceiling`, then drops smoothly
// just enough ahead of it (a look-ahead of `lookAheadFrames`) and comes back over `releaseFrames`.
//
// The gain is the running mean, over the look-ahead, of the lowest gain any sample within the look-ahead
// needs (then slowed on its way back up), which is never more than the sample itself needs: nothing is ever
// cut off. Output lags input by lookAheadFrames - 1 frames; drain() hands out what is held, its gain worked
// out from what has come so far.
class PeakLimiter {
public:
    PeakLimiter(std::size_t lookAheadFrames, double releaseFrames, float ceiling);

    // Appends the frames that are ready, as 16-bit samples, to `output`.
    void process(const float* input, std::size_t frameCount, std::vector<int16_t>& output);
    void drain(std::vector<int16_t>& output);

    // Frames whose gain was below 1.
    int64_t limitedFrameCount() const { return limitedFrames_; }
    std::size_t delayFrames() const { return lookAhead_ - 1; }

private:
    // Moves the oldest held frame out: its look-ahead is complete (or, when draining, as complete as it
    // gets).
    void releaseOldest(std::vector<int16_t>& output);

    std::size_t lookAhead_;
    std::size_t ringMask_; // the rings below hold a power of two >= lookAhead_ entries
    double releaseStep_;
    float ceiling_;

    int64_t received_ = 0; // frames taken in
    int64_t released_ = 0; // frames handed out
    // The frames not yet out and the gain each needs, by frame number.
    std::vector<float> held_;
    std::vector<float> heldNeeded_;
    // The lowest needed gain within the look-ahead: (frame, gain) with rising gains, only gains below 1.
    std::deque<std::pair<int64_t, float>> lowest_;
    // The gains of the last look-ahead of released frames, how many are below 1 and by how much in all.
    std::vector<double> recentGains_;
    std::size_t recentBelowOne_ = 0;
    double recentShortfall_ = 0;
    double envelope_ = 1;
    int64_t limitedFrames_ = 0;
};
